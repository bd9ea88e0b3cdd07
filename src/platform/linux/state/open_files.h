// platform/linux/state: the process-wide state of open files: tracked files (nodes) and the locks
// that guard a file's state between processes, opening files, the handle table, and the names of
// placeholders under construction. Never destroyed: callback threads may still run while the
// process exits. POSIX calls are allowed here and only under platform/linux.
//
// A file's placeholder state lives on disk only (user.zcf.state): every decision reads it there.
// Two open-file-description locks on the file itself, at fixed offsets far past any content, make
// that state safe between processes:
//   - the metadata lock (exclusive) is held around every read-modify-write of the state, and
//     around the content write or removal that goes with it;
//   - the reader lock is held shared by every read in progress (waiting for content or copying
//     it); a dehydration takes it exclusively without waiting, under the metadata lock, and is
//     refused with ERROR_CLOUD_FILE_IN_USE when it cannot.
// Within a process the node's mutexes serialise the same steps (one open file description per
// node holds each lock for the whole process). Directories cannot be opened for writing: their
// metadata lock is a flock of the directory.
#pragma once

#include "platform/cloud_types.h"
#include "platform/file_types.h"
#include "platform/linux/state/record.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace zcf::linux_platform {

// ---- The state lock ------------------------------------------------------------------------

// One lock guards the shared tables (connections, fetches, waiting reads, nodes' counters). It is
// held only for table work, never across a callback, file I/O or a wait on another lock.
std::mutex& state_mutex();
// Signalled (notify_all) for the rare waits on the tables: a disconnect waiting for its running
// callbacks, a manual clock waiting for reads to look at the new time.
std::condition_variable& state_changed();

// ---- Nodes ---------------------------------------------------------------------------------

struct Reader;

// One file or directory (device and inode) that open handles or streams refer to.
struct Node {
    dev_t dev = 0;
    ino_t ino = 0;
    bool directory = false;
    // The metadata lock in this process; taken before `use` and before the state lock. Guards
    // `write_fd`.
    std::mutex meta;
    // Guards `readers` and `read_fd`; held by a dehydration throughout, so reads of this process
    // wait for it.
    std::mutex use;
    int readers = 0;  // reads of this process in progress
    // The open file descriptions that hold the file locks for this process: `read_fd` the shared
    // reader lock, `write_fd` the metadata lock, a dehydration's exclusive reader lock, and every
    // content write (opened for writing when the file allows it).
    UniqueFd read_fd;
    UniqueFd write_fd;
    // Counted up under the state lock, down without it (an OpenFile may be released anywhere).
    std::atomic<int> data_opens{0};  // open handles and streams with data access
    std::atomic<int> exclusive{0};   // exclusive (share-none) opens
    // Guarded by the state lock: reads of this process waiting for content of this file.
    std::vector<Reader*> waiting;
};

// The node of an open file.
std::shared_ptr<Node> node_for(const struct stat& st);

struct OpenFile;

// The metadata lock of a file held for a read-modify-write of its state: blocks until no other
// thread or process holds it.
class MetadataLock {
public:
    MetadataLock(Node& node, const OpenFile& file);
    ~MetadataLock();
    MetadataLock(const MetadataLock&) = delete;
    MetadataLock& operator=(const MetadataLock&) = delete;

    // 0, or the errno that kept the lock from being taken (nothing may be changed then).
    int error() const { return error_; }
    // The node's descriptor for content writes under the lock (read-only for directories).
    int fd() const { return node_.write_fd.get(); }

private:
    Node& node_;
    std::unique_lock<std::mutex> mutex_;
    int error_ = 0;
};

// The content of a file held against reads while it is removed. The caller holds the metadata
// lock. error() is ERROR_CLOUD_FILE_IN_USE while a read of any process is in progress, or another
// handle of this process than `own` has the file open for data or exclusively; then nothing may
// be removed. Otherwise no read starts, in any process, until the removal ends.
class ContentRemoval {
public:
    ContentRemoval(Node& node, const OpenFile& own, const MetadataLock& meta);
    ~ContentRemoval();
    ContentRemoval(const ContentRemoval&) = delete;
    ContentRemoval& operator=(const ContentRemoval&) = delete;

    std::uint32_t error() const { return error_; }

private:
    Node& node_;
    std::unique_lock<std::mutex> use_;
    std::uint32_t error_ = 0;
};

// A read in progress: holds the reader lock (shared) from construction to destruction. Blocks
// while a dehydration, in any process, removes content. error() is 0 or an errno.
class ReadInProgress {
public:
    ReadInProgress(Node& node, const OpenFile& file);
    ~ReadInProgress();
    ReadInProgress(const ReadInProgress&) = delete;
    ReadInProgress& operator=(const ReadInProgress&) = delete;

    int error() const { return error_; }

private:
    Node& node_;
    int error_ = 0;
};

// ---- Handles -------------------------------------------------------------------------------

// An open file or directory.
struct OpenFile {
    UniqueFd fd;
    std::string path;  // canonical path at open time
    bool directory = false;
    bool link = false;  // a symbolic link itself (opened without following it)
    bool data_access = false;
    bool write_access = false;
    bool exclusive = false;
    bool owned_by_protected = false;  // the Win32 handle of a protected handle: never closed alone
    std::shared_ptr<Node> node;
    std::int64_t transfer_key = 0;  // the stream key, set on first hydration (under the state lock)
    // An attribute-only open of the online-only placeholder a listing has just listed: answered
    // from what the listing read (no descriptor, no node) until a call needs the file itself.
    std::optional<ListedPlaceholder> listed;

    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile();
};

// The file's state under its metadata lock `meta`, with a change by another program taken in first
// (read as Windows reads it: no longer in sync). nullopt with `error` set when the lock or state
// cannot be had or the file is no placeholder.
std::optional<PlaceholderState> settled_state(const MetadataLock& meta, Hresult& error);
// A change guarded by an update sequence number: ERROR_CLOUD_FILE_NOT_IN_SYNC (Windows documents no
// code; this is the one of its in-sync guard) when `usn` is given and not 0 and the file's number
// under `meta` has moved on since; S_OK otherwise.
Hresult check_usn(const MetadataLock& meta, const std::int64_t* usn);

// Whether another program changed the open regular file since the platform recorded its last
// change (it is then no longer in sync). Looked at again under the metadata lock, taken shared,
// when it first seems so: the platform's own content writes leave a file briefly unlike its
// record while they hold that lock.
bool changed_outside(const OpenFile& file);
// The same with the file's stat just taken.
bool changed_outside(const OpenFile& file, const struct stat& st);

struct OpenRequest {
    std::string path;
    bool data_access = false;
    bool write_access = false;
    bool directories = true;    // a directory may be opened
    bool follow_link = true;    // a final symbolic link is followed
    bool exclusive = false;
};

// Opens `name` (relative to the directory descriptor `dir`, or AT_FDCWD) with `flags` (and `mode`
// for a file it creates), close-on-exec: every open of a file's content by the platform and the
// front end. A guarded placeholder of this user (state/record.h: stored without read permission
// while content is missing) is opened with a moment of owner read access where the process needs
// one; any other file it may not read stays refused. Invalid with errno set on failure.
UniqueFd open_content(int dir, const char* name, int flags, mode_t mode = 0);

// Opens an existing path. Returns the file, or nullptr with `error` set to a Win32 code.
std::shared_ptr<OpenFile> open_path(const OpenRequest& request, std::uint32_t& error);

// The same for a descriptor opened elsewhere (the front end's opens) on the file whose canonical
// path is `path`. Such an open does not hold off a dehydration (the kernel reports its close only
// later); its reads in progress do.
std::shared_ptr<OpenFile> track_open_file(UniqueFd fd, std::string path, bool write_access, std::uint32_t& error);

Handle insert_file(std::shared_ptr<OpenFile> file);
// The open file of a handle; a listed one (above) is opened for real first.
std::shared_ptr<OpenFile> lookup_file(Handle handle);
// The same, a listed one as it is.
std::shared_ptr<OpenFile> lookup_file_as_listed(Handle handle);
// Removes a file handle; false when `handle` is not one (or is owned by a protected handle).
bool remove_file(Handle handle);

struct FindState {
    std::string directory;
    std::vector<std::string> names;
    std::size_t next = 0;
    std::int64_t root_id = 0;  // of the sync root the directory lies in (0: none)
    UniqueFd dir;              // O_PATH: entries are looked at relative to it
};
Handle insert_find(std::shared_ptr<FindState> find);
std::shared_ptr<FindState> lookup_find(Handle handle);
bool remove_find(Handle handle);

Handle insert_protected(Handle inner);
// The inner Win32 handle, or INVALID_HANDLE when `handle` is no open protected handle.
Handle protected_inner(Handle handle);
bool reference_protected(Handle handle);
void release_protected(Handle handle);
void close_protected(Handle handle);

// ---- Placeholders under construction -------------------------------------------------------

// A fresh name for a placeholder built under a name before it gets its own:
// ".zcf-create-<pid>-<n>". Listings never show such entries.
std::string creation_entry_name();
// Whether `name` is such a name; `creator` receives the process id in it.
bool is_creation_entry(std::string_view name, std::uint32_t* creator = nullptr);

}  // namespace zcf::linux_platform
