// platform/linux/fuse: the FUSE front end. While a provider is connected, a file system is mounted over
// the sync root itself, so that every program's reads of placeholders go through the same road as
// an application's: content that is missing becomes a FETCH_DATA callback, and the
// reader waits for it. The state on disk (extended attributes, sparse content) stays the one
// source of truth; the mount only presents it. POSIX and libfuse calls are allowed here and only
// under platform/linux.
#pragma once

#include <memory>
#include <string>
#include <sys/stat.h>

namespace zcf::linux_platform {

class FrontEnd;

// Whether a front end can be tried on this machine: /dev/fuse opens, and a user who is not root
// has fusermount3.
bool fuse_usable();

// Mounts a front end over the canonical sync root `root`; nullptr when the mount is refused (the
// root then stays as it is, and the platform works on the raw files).
std::shared_ptr<FrontEnd> mount_front_end(const std::string& root);

// Unmounts it, lazily when files on it are in use: what they do then ends with their last close.
void unmount_front_end(const std::shared_ptr<FrontEnd>& front_end);

// Unmounts a front end that a process which ended left on `path` (every access to it fails with
// ENOTCONN). True when there was one and it is gone.
bool recover_stale_mount(const std::string& path);

// Drops what the kernel keeps of the file `st` in every mounted front end after the platform
// changed it beneath the mount: its attributes, and with `content` its cached content too.
void forget_cached(const struct stat& st, bool content);

}  // namespace zcf::linux_platform
