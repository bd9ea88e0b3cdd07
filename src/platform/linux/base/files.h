// platform/linux/base: what every room of the Linux platform uses: owners of descriptors and
// directory streams, reopening a descriptor's file, moments of owner read access to guarded files,
// paths (beneath a mounted root, canonical forms), the state directory, and reading and writing
// its files. POSIX calls are allowed here and only under platform/linux.
#pragma once

#include "platform/error.h"
#include "platform/linux/base/errors.h"
#include "platform/range_set.h"
#include "platform/unique_handle.h"

#include <boost/json/value.hpp>

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zcf::linux_platform {

// ---- Descriptors ---------------------------------------------------------------------------

struct FdTraits {
    using Value = int;
    static int invalid() { return -1; }
    static bool valid(int fd) { return fd >= 0; }
    static bool close(int fd);
};
// Owns a POSIX file descriptor.
using UniqueFd = UniqueHandle<FdTraits>;

struct DirTraits {
    using Value = DIR*;
    static DIR* invalid() { return nullptr; }
    static bool valid(DIR* dir) { return dir != nullptr; }
    static bool close(DIR* dir);
};
// Owns a directory stream (opendir).
using UniqueDir = UniqueHandle<DirTraits>;

// The path through which the file that `fd` is open on can be named again (/proc/self/fd/N),
// whatever its name is now, or if it has none.
std::string descriptor_path(int fd);
// The kernel's name of the file that `fd` is open on (its canonical path); 0 or errno.
int descriptor_name(int fd, std::string& out);
// A new descriptor of the file that `fd` is open on, with `flags` (close-on-exec added), whatever
// access `fd` itself has; invalid with errno set when the file cannot be opened so.
UniqueFd reopen_file(int fd, int flags);

// ---- Files without read permission --------------------------------------------------------
//
// A placeholder whose content is not all on the disk is stored without read permission (the read
// guard, state/record.h), and the kernel then refuses even its owner its content and its extended
// attributes. Unless it is privileged, the platform reaches its own such files by giving the
// owner read permission for a moment.

// Held around every mode change the platform makes (the guard's, chmod through the front end,
// the read-only attribute) and around each such moment, so that no moment puts back a mode that
// changed meanwhile. Recursive: a guard change reads the metadata it may need a moment for.
std::recursive_mutex& mode_mutex();
// Runs `attempt` (>= 0, or -1 with errno set) on the regular file `name` (a name the platform's
// calls reach it by; its final link followed when `follow`). When it fails with EACCES on a file
// of this user without the owner's read permission, and this process is not privileged, it runs
// again while the owner may read (its argument `moment` true), and the mode is put back. The
// result of the last attempt.
long with_owner_read(const std::string& name, bool follow, const std::function<long(bool moment)>& attempt);
// Whether the last change of the file `name` (not following a final link) was the end of such a
// moment: nothing changed for anyone to hear of (the directory watcher's test of an attribute
// change). Looked at under the mode lock, so never in the middle of a moment.
bool only_owner_read_since(const std::string& name);

// ---- Paths ---------------------------------------------------------------------------------

// While a front end is mounted over a sync root, the platform reaches what lies beneath through a
// descriptor of the root opened before the mount (it sees the files themselves, not the mount),
// never by the root's name: a path through the mount would come back to this process's own file
// system, at best slowly, at worst waiting on itself.
void add_backing_root(const std::string& root, int fd);
void remove_backing_root(const std::string& root);
// The name by which the platform's own calls reach `path`: beneath a mounted root
// /proc/self/fd/<root descriptor>/<the rest>, anything else unchanged. Lexical: `path` is
// canonical or names a root by its canonical name.
std::string backing(const std::string& path);
// Whether any root is mounted now (backing() changes nothing otherwise).
bool backing_roots_mounted();

// The absolute, canonical form of an existing path (symbolic links resolved), or the errno.
int canonical_path(const std::string& path, std::string& out);
// Canonical parent with the last component appended unresolved: the path of a link itself.
int canonical_path_nofollow(const std::string& path, std::string& out);
// `inner` equals `outer` or lies below it (both canonical).
bool path_within(std::string_view inner, std::string_view outer);
std::string parent_directory(const std::string& path);
// The platform's state directory, $XDG_STATE_HOME/zembra-cloud-files (default
// ~/.local/state/zembra-cloud-files), created when missing unless `create` is false (readers of
// what may not be there). Empty when it cannot be made.
std::string state_directory(bool create = true);
// This process's executable, as the image path callbacks report.
const std::u16string& own_image_path();

// ---- State files ---------------------------------------------------------------------------

// A state file's JSON document; nullopt when it is not well-formed. Bytes that are not UTF-8 are
// kept as they are, since the files hold file-system paths.
std::optional<boost::json::value> parse_state_json(std::string_view text);

// Whole-file helpers. read_file: nullopt when the file cannot be read (errno in `err`).
std::optional<std::string> read_file(const std::string& path, int* err = nullptr);
// Replaces `path` atomically: writes a temporary file beside it, syncs it and renames it over.
int write_file_atomic(const std::string& path, const std::string& content);

}  // namespace zcf::linux_platform
