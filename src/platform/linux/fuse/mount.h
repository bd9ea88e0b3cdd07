// platform/linux/fuse: mounting and unmounting: whether FUSE can be used, the options of a mount,
// fusermount3 for a user who is not root, the kernel's mount table, the mount's read-ahead, and
// mounts a program that ended left behind. POSIX calls are allowed here and only under
// platform/linux.
#pragma once

#include <optional>
#include <string>

namespace zcf::linux_platform {

// Whether a mount can be tried on this machine: /dev/fuse opens, and a user who is not root has
// fusermount3.
bool fuse_usable();
// The mount options: default permissions, and other users allowed where this process may allow
// them (root, or user_allow_other in /etc/fuse.conf).
std::string mount_options();
// Detaches the mount at `path`, busy or not (umount2 MNT_DETACH as root, fusermount3 -u -z else).
bool detach(const std::string& path);
// The device ("major:minor") of the last mount of this program's kind at `path`, if there is one.
std::optional<std::string> front_end_device(const std::string& path);
// Raises the read-ahead of the mount at `root` to 1 MiB where this process may (root).
void widen_read_ahead(const std::string& root);
// Detaches the mounts of this program's kind at `path` (left by a program that ended). True when
// there was one and it is gone.
bool recover_stale_mount(const std::string& path);
// Once per process before the first mount: libfuse's messages are kept from standard error, and
// the descriptor limit goes up to the hard limit.
void prepare_process_for_mounts();

}  // namespace zcf::linux_platform
