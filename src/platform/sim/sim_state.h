// platform/sim: the simulation's process-wide state shared between its files: tracked files
// (nodes), the handle table, and the entry points of the hydration engine that file opens,
// placeholder operations and simulated applications use. Never destroyed: callback threads may
// still run while the process exits. POSIX calls are allowed here and only under platform/sim.
#pragma once

#include "platform/cloud_types.h"
#include "platform/file_types.h"
#include "platform/sim/sim_metadata.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace zcf::sim {

// ---- The state lock ------------------------------------------------------------------------

// One lock guards the shared tables (nodes' mirrors and counters, connections, fetches). It is
// held only for table work, never across a callback, file I/O of content or a wait on another lock.
std::mutex& state_mutex();
// Signalled (notify_all) whenever content, a fetch or a connection changes.
std::condition_variable& state_changed();

// ---- Nodes ---------------------------------------------------------------------------------

// One file or directory (device and inode) that open handles or streams refer to.
struct Node {
    dev_t dev = 0;
    ino_t ino = 0;
    // Serialises read-modify-write of this file's metadata; taken before the state lock.
    std::mutex meta;
    // Guarded by the state lock: the placeholder state as the simulation last wrote or read it.
    std::optional<PlaceholderState> state;
    // Counted up under the state lock, down without it (an OpenFile may be released anywhere).
    std::atomic<int> data_opens{0};  // open handles and streams with data access
    std::atomic<int> exclusive{0};   // exclusive (share-none) opens
    int active_reads = 0;      // reads in progress, waiting for content or copying it
    bool dehydrating = false;  // content is being removed: reads wait until it is done
};

// Starts removing content of `node` (the caller holds node.meta): fails with
// ERROR_CLOUD_FILE_IN_USE while a read is in progress or another handle than `own` has the file
// open for data or exclusively; otherwise reads wait until end_dehydration.
std::uint32_t begin_dehydration(Node& node, const struct OpenFile& own);
void end_dehydration(Node& node);

// The node of an open file (loading its metadata when first tracked).
std::shared_ptr<Node> node_for(int fd, const struct stat& st);

// Writes `next` as the file's placeholder state and publishes it to waiting readers. The caller
// holds node.meta. `fd` must be open on the file. Returns 0 or errno.
int publish_state(Node& node, int fd, const std::optional<PlaceholderState>& next);
// The mirrored state (copy), under the state lock.
std::optional<PlaceholderState> mirrored_state(Node& node);

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

    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile();
};

struct OpenRequest {
    std::string path;
    bool data_access = false;
    bool write_access = false;
    bool directories = true;    // a directory may be opened
    bool follow_link = true;    // a final symbolic link is followed
    bool exclusive = false;
};

// Opens an existing path. Returns the file, or nullptr with `error` set to a Win32 code.
std::shared_ptr<OpenFile> open_path(const OpenRequest& request, std::uint32_t& error);

Handle insert_file(std::shared_ptr<OpenFile> file);
std::shared_ptr<OpenFile> lookup_file(Handle handle);
// Removes a file handle; false when `handle` is not one (or is owned by a protected handle).
bool remove_file(Handle handle);

struct FindState {
    std::string directory;
    std::vector<std::string> names;
    std::size_t next = 0;
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

// ---- Hydration -----------------------------------------------------------------------------

// Who reads: an open stream with its own transfer key, in a process.
struct StreamIdentity {
    std::int64_t transfer_key = 0;
    std::uint32_t process_id = 0;
    std::u16string image_path;
};

std::int64_t new_transfer_key();

// After a data open of a placeholder file inside a connected sync root: runs the provider's
// NOTIFY_FILE_OPEN_COMPLETION callback on a simulation thread and returns when it has returned.
void notify_open(const OpenFile& file, const StreamIdentity& stream);

// The road of a read: returns 0 when [offset, offset+length) (clipped at the end of the file) is
// present, fetching what is missing through the connected provider, or the Win32 failure code.
// With `out`, the bytes are read into it.
std::uint32_t read_range(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream,
                         std::int64_t offset, std::int64_t length, std::vector<std::uint8_t>* out);

// Cancels the outstanding fetches of a stream (its readers fail with `error`); returns how many.
std::size_t cancel_stream(std::int64_t transfer_key, std::uint32_t error);

// ---- Settings ------------------------------------------------------------------------------

struct SimSettings {
    std::int64_t fetch_timeout_ms = 60000;
    bool sync_transfers = false;  // fdatasync each transfer before its content is marked present
};
// Read from $XDG_STATE_HOME/zembra-cloud-files/sim.json; defaults where absent or unreadable.
SimSettings load_settings();

}  // namespace zcf::sim
