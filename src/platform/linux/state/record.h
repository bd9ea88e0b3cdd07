// platform/linux/state: the placeholder record, kept in extended attributes of the file or
// directory itself (present ranges, in-sync state, identity, pin, the read guard, update sequence
// numbers), and the Win32 attribute word derived from it. POSIX calls are allowed here and only
// under platform/linux.
//
//   user.zcf.state     "v1;sync=0|1;pop=0|1;present=b-e,b-e[;read=NNN]"  (present: that a
//                      placeholder is; sync: in-sync state; pop: on-demand population enabled,
//                      directories; present: the byte ranges of a file whose content is on disk;
//                      read: the read permission, octal, withheld from a guarded file, below)
//   user.zcf.identity  the file identity bytes (absent or empty: empty identity)
//   user.zcf.pin       "1" pinned, "2" unpinned, "3" excluded (absent: unspecified); any path
//                      inside a sync root may carry it
//   user.zcf.usn       "v1;usn=N;size=S;mtime=SEC.NSEC": the update sequence number of the last
//                      change the platform made, and the file's size and modification time
//                      then (a later difference is a change by another program)
#pragma once

#include "platform/linux/base/files.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace zcf::linux_platform {

inline constexpr char XATTR_STATE[] = "user.zcf.state";
inline constexpr char XATTR_IDENTITY[] = "user.zcf.identity";
inline constexpr char XATTR_PIN[] = "user.zcf.pin";
inline constexpr char XATTR_USN[] = "user.zcf.usn";

// Content transfers and hydration work in units of this many bytes.
inline constexpr std::int64_t CHUNK_ALIGNMENT = 4096;

struct PlaceholderState {
    bool in_sync = false;
    bool population_enabled = false;
    RangeSet present;
    // The read guard: the read permission (bits of 0444) withheld from a file whose content is not
    // all present; nullopt when the file is not guarded. Read from disk; write_state decides it.
    std::optional<mode_t> withheld_read;
};

// Where metadata is read from or written to: an open descriptor, or a path (never following a
// final symbolic link).
struct MetaTarget {
    int fd = -1;
    const char* path = nullptr;
    bool follow = false;  // the path's final link is followed (a /proc/self/fd name)
};

// At most this many present ranges are stored per file: the longest. Fewer ranges only make the
// file look less present than it is (content is fetched again), never more.
inline constexpr std::size_t STORED_RANGES = 32;
// `state` as it is stored: its present ranges cut to the STORED_RANGES longest.
PlaceholderState storable(const PlaceholderState& state);

// The placeholder state; nullopt when the file is no placeholder. Metadata that cannot be parsed
// is read as a placeholder with nothing present, so content is never taken for present by mistake.
std::optional<PlaceholderState> read_state(MetaTarget target);
// Stores storable(state), and keeps the read guard: a regular file whose content `state` does not
// show wholly present (zero bytes are) is stored without read permission, the permission it had
// kept in the record (state.withheld_read is not looked at: the record on disk says what is
// withheld); a file wholly present gets it back. Its permission is taken away after the record is
// written and given back before, so that a crash in between never loses it. 0 or the errno of the
// failed write (a mode the process may not change is left as it is).
int write_state(MetaTarget target, const PlaceholderState& state);
// Removes the placeholder state and identity; a guarded file gets its read permission back.
int remove_placeholder_metadata(MetaTarget target);
// A program's change of the permission bits `mode` (07777) of a file, as it sees the file: a
// guarded file stays without read permission and the record keeps the read permission asked for.
// 0 or errno.
int change_mode(MetaTarget target, mode_t mode);
// The mode a program is shown: the file's own, with the read permission its guard withholds.
inline mode_t presented_mode(mode_t raw, const PlaceholderState& state) { return raw | state.withheld_read.value_or(0); }

std::vector<std::uint8_t> read_identity(MetaTarget target);
int write_identity(MetaTarget target, const void* bytes, std::uint32_t length);

std::uint32_t read_pin(MetaTarget target);
int write_pin(MetaTarget target, std::uint32_t pin);

// ---- Update sequence numbers ---------------------------------------------------------------
//
// Every change the platform makes to a file (content, size, times, attributes, identity, state,
// pin) records a new number, as the change journal of the volume does on Windows. A change by
// another program is seen by its mark on the file: a regular file whose size or modification time
// is no longer the recorded one has changed since, and counts as one change more. Directories are
// judged by their recorded changes only (their times move with their entries).

// Numbers move in these steps, like the record offsets of a change journal.
inline constexpr std::int64_t USN_STEP = 8;

// The file's number now (`st` is its stat). A file without a record has one derived from its
// change time.
std::int64_t current_usn(MetaTarget target, const struct stat& st);
// Whether another program changed the regular file since the platform recorded its last change
// (false when nothing was recorded).
bool changed_since_recorded(MetaTarget target, const struct stat& st);
// Records a change made just now: a number above the current one and above every number handed
// out before (it follows the clock), with the file's size and time as they are now. 0 or errno.
int record_change(MetaTarget target, std::int64_t* usn);
// Records a change the platform made that kept the file's size and modification time (its pin,
// say): a change by another program before it is settled first (below), so that the new record
// never passes it off as the platform's own. 0 or errno.
int record_own_change(MetaTarget target);
// Brings the state of a file that another program wrote to up to date, as Windows does on the
// write: it is no longer in sync, and the record takes the file as it is under its current
// number. The caller holds the metadata lock and has read `state`, which is updated. 0 or errno.
int settle_outside_change(MetaTarget target, PlaceholderState& state);
// Sets the modification time back to the one in `before` after the platform's own content
// writes (hydration and dehydration do not change a file's times on Windows).
void keep_mtime(int fd, const struct stat& before);

// Content wholly present: a file whose present ranges cover [0, size).
inline bool wholly_present(const PlaceholderState& s, std::int64_t size) { return s.present.covers(0, size); }

struct AttributeWord {
    std::uint32_t attributes = 0;
    std::uint32_t reparse_tag = 0;
};

// What a listing learns of an online-only placeholder file it lists: its placeholder information.
struct ListedPlaceholder {
    dev_t dev = 0;
    ino_t ino = 0;
    std::int64_t root_id = 0;  // the sync root's, filled by the listing
    bool in_sync = false;
    std::uint32_t pin = 0;
    std::vector<std::uint8_t> identity;
};

// The attribute word of the entry `path` whose lstat is `st` (a symbolic link is not followed).
// With `listed`, an online-only placeholder file also has its placeholder information read into
// it (true returned).
AttributeWord attribute_word(const std::string& path, const struct stat& st, ListedPlaceholder* listed = nullptr,
                             bool* filled = nullptr);
// The same for an open descriptor that is not a link.
AttributeWord attribute_word_fd(int fd, const struct stat& st, ListedPlaceholder* listed = nullptr,
                                bool* filled = nullptr);

}  // namespace zcf::linux_platform
