// platform/linux/cloud: the engine's entry points for the rest of the platform and the front end:
// who reads (streams), the road of a read, open notifications, cancellation, notes of renames onto
// placeholders, the clock of time-outs and the system settings. POSIX calls are allowed here and
// only under platform/linux.
#pragma once

#include "platform/linux/state/open_files.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zcf::linux_platform {

// ---- The clock of time-outs ----------------------------------------------------------------

using Clock = std::chrono::steady_clock;
// Now: the steady clock, or the manual clock while tests use it (below).
Clock::time_point engine_now();
bool manual_clock();
// How often the manual clock has moved; a waiting read records the value it last looked at.
std::uint64_t clock_ticks();

// ---- Hydration -----------------------------------------------------------------------------

// Who reads: an open stream with its own transfer key, in a process.
struct StreamIdentity {
    std::int64_t transfer_key = 0;
    std::uint32_t process_id = 0;
    std::u16string image_path;
    // Reads that hydrate progressively (the front end's, as the registration's policy asks): a
    // fetch asks for the rest of the file, the read returns when its own range is there, and later
    // reads wait for the fetch on its way instead of asking again.
    bool progressive = false;
};

std::int64_t new_transfer_key();

// After a data open of a placeholder file inside a connected sync root: runs the provider's
// NOTIFY_FILE_OPEN_COMPLETION callback on a thread of the platform and returns when it has returned.
void notify_open(const OpenFile& file, const StreamIdentity& stream);

// The road of a read: returns 0 when [offset, offset+length) (clipped at the end of the file) is
// present, fetching what is missing through the connected provider, or the Win32 failure code.
// With `out`, the bytes are read into it. `known`: the file's state as the caller just read it
// (not read again before the first fetch).
std::uint32_t read_range(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream,
                         std::int64_t offset, std::int64_t length, std::vector<std::uint8_t>* out,
                         const PlaceholderState* known = nullptr);

// Cancels the outstanding fetches of a stream (its readers fail with `error`); returns how many.
std::size_t cancel_stream(std::int64_t transfer_key, std::uint32_t error);

// Whether the root this process connected last (of those still connected) got its front end
// mounted; nullopt when none is connected.
std::optional<bool> connected_root_mounted();

// ---- The clock, for tests ------------------------------------------------------------------

// The clock of the platform's time-outs (fetchTimeoutMs). With `manual`, it stands still from
// now on until advance_clock moves it; without, it is the steady clock again (the default).
void use_manual_clock(bool manual);
// Moves the manual clock forward by `by` and returns when every read waiting for content has
// looked at the new time: a read whose fetch timed out has failed by then (its cancel is on its
// way to the provider), as has a fetch whose read had gone. Does nothing on the steady clock.
void advance_clock(std::chrono::milliseconds by);

// ---- What programs do through a front end ---------------------------------------------------
//
// Each takes the program's open file and its stream; 0 or an errno unless said otherwise.

// A program's change of a placeholder's content or size: what the file lacks is brought in first
// (the whole file; a truncation what it keeps), as Windows does before it lets a write in; then
// what the program wrote (and the zeros between the old end and a write past it, or of a longer
// size) is present, and the file is no longer in sync. A file that is no placeholder is changed
// as it is. Allocation alone changes nothing a program sees, the file's time included.
int program_write(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, const char* bytes,
                  std::size_t size, std::int64_t offset, std::size_t& written);
int program_truncate(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, std::int64_t size);
int program_allocate(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, int mode,
                     std::int64_t offset, std::int64_t length);

// A program's read of [offset, offset+length): when the range is on the disk (or the file is no
// placeholder), `present` is called with the file's descriptor while no dehydration can remove
// it, and `served` is set; otherwise, when `fetch`, the range takes the road of a read and its
// bytes arrive in `bytes` (without: ERROR_CLOUD_FILE_UNSUCCESSFUL). One read of the file's state
// decides. 0 or the Win32 failure.
std::uint32_t program_read(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, std::int64_t offset,
                           std::int64_t length, bool fetch, const std::function<void(int fd)>& present,
                           std::vector<std::uint8_t>& bytes, bool& served);

// What programs are shown of the regular file the path `name` reaches (its final link followed
// when `follow`), whose stat is `st`: a placeholder's blocks are the bytes it has on disk, so that
// an online-only file uses no space (du), its status-change time is its modification time, so
// that content arriving while a program reads (tar, rsync) is no change, and its mode has the
// read permission the read guard withholds beneath; anything else as it is.
struct stat program_view(const std::string& name, bool follow, struct stat st);

// Before a rename onto the entry `name` of the folder `dir`: when it is a placeholder, the watcher
// is told which identity the rename replaces (note_replaced). Returns the noted path, or "".
std::string note_replacement(int dir, const char* name);

// ---- Renames onto placeholders -------------------------------------------------------------

// A rename through the mount onto the placeholder at the canonical `path` notes the identity it
// replaces, before it renames; the directory watcher takes the note with the rename's record
// (saves by replacement: the parent learns which identity the new file takes over). Notes no
// watcher took are dropped after a while.
void note_replaced(const std::string& path, std::string identity);
void forget_replaced(const std::string& path);
std::optional<std::string> take_replaced(const std::string& path);

// ---- Settings ------------------------------------------------------------------------------

struct Settings {
    std::int64_t fetch_timeout_ms = 60000;
    bool sync_transfers = false;  // fdatasync each transfer before its content is marked present
    bool fuse = true;             // "frontEnd": "fuse" (where FUSE can be used) or "simulated"
    // Changes a directory watch holds before the program takes them; more are an overflow. The
    // default is inotify's own default queue length.
    std::int64_t watch_queue_limit = 16384;
};
// Read from $XDG_STATE_HOME/zembra-cloud-files/sim.json; defaults where absent or unreadable.
Settings load_settings();

}  // namespace zcf::linux_platform
