// Watching a directory tree for changes: the raw records the system reports, before the core
// turns them into events.
//
// The records keep the shape of ReadDirectoryChangesW's FILE_NOTIFY_INFORMATION: an action and a
// name relative to the watched directory, in the order the system reported them. The Windows build
// reads them from ReadDirectoryChanges(Ex)W; the platform translates inotify's events into the
// same records (a rename within the tree is a RENAMED_OLD_NAME record directly followed by its
// RENAMED_NEW_NAME; a move out of the tree is REMOVED, into it ADDED). Apart from `Platform` so
// that a test may install a watcher of its own without standing in for the rest of the system.
#pragma once

#include "platform/error.h"
#include "platform/file_types.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zcf {

// FILE_ACTION_* values.
namespace change_action {
inline constexpr std::uint32_t ADDED = 1;
inline constexpr std::uint32_t REMOVED = 2;
inline constexpr std::uint32_t MODIFIED = 3;  // content, size, times or attributes
inline constexpr std::uint32_t RENAMED_OLD_NAME = 4;
inline constexpr std::uint32_t RENAMED_NEW_NAME = 5;
}  // namespace change_action

struct ChangeRecord {
    std::uint32_t action = 0;
    // Relative to the watched directory, components joined with the platform's separator.
    std::u16string name;
    // The entry's attribute word as the system reported it with the change (the extended records
    // of ReadDirectoryChangesExW, inotify's directory flag), or INVALID_FILE_ATTRIBUTES_WORD.
    std::uint32_t attributes = INVALID_FILE_ATTRIBUTES_WORD;
    // RENAMED_NEW_NAME onto an existing placeholder, where the system can tell: the identity
    // bytes of the placeholder the rename replaced (the Linux mount sees the rename itself;
    // Windows does not say).
    std::optional<std::string> replaced_identity;
};

// Where a watch delivers. Called on the watch's own thread, one call at a time.
class ChangeSink {
public:
    virtual ~ChangeSink() = default;
    // Records in the order the system reported them.
    virtual void on_changes(std::vector<ChangeRecord>&& records) = 0;
    // The system dropped records (its buffer overflowed): the tree must be read again.
    virtual void on_overflow() = 0;
};

// A running watch. Destroying it ends the watch: no sink call is running or comes after.
class DirectoryWatch {
public:
    virtual ~DirectoryWatch() = default;
};

// The watched directory as the file API opens it (`path`) and as the system names files in its
// callbacks (`event_path`: on Windows from the volume root without the drive, in the platform the
// same canonical path). Neither ends with a separator unless it is a volume's root.
struct WatchedRoot {
    std::u16string path;
    std::u16string event_path;
};

class DirectoryWatcher {
public:
    virtual ~DirectoryWatcher() = default;
    // Starts a recursive watch of the directory `root` (NUL-terminated UTF-16) for names, folder
    // names, attributes, sizes and last-write times. On success `watch` holds it and `names` the
    // directory's two forms; on failure nothing is running.
    virtual Hresult watch(const char16_t* root, ChangeSink& sink, std::unique_ptr<DirectoryWatch>& watch,
                          WatchedRoot& names) = 0;
};

// The process-wide watcher: the build's own unless a test installed another.
DirectoryWatcher& directory_watcher();
// Installs `replacement` (not owned) until called again; null restores the build's own.
void set_directory_watcher(DirectoryWatcher* replacement);
// Defined by the build's implementation (platform/windows or platform/linux).
DirectoryWatcher& native_directory_watcher();

}  // namespace zcf
