// platform/linux/state: placeholder metadata in extended attributes, the read guard, update
// sequence numbers and the attribute word. POSIX calls are allowed here and only under
// platform/linux.
#include "platform/linux/state/record.h"

#include "platform/cloud_types.h"
#include "platform/file_types.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <ctime>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace zcf::linux_platform {

namespace {

// Reads one attribute whole; nullopt when absent (or unreadable). A guarded file's attributes are
// read with a moment of owner read access where the process needs one.
std::optional<std::string> get_attr(MetaTarget t, const char* name) {
    // The name calls reach the file by: its own unless it lies beneath a mount (no copy then).
    std::string reached;
    const char* path = t.path;
    if (t.fd < 0 && backing_roots_mounted()) {
        reached = backing(t.path);
        path = reached.c_str();
    }
    auto get = [&](void* buffer, std::size_t size) {
        auto attempt = [&](bool) -> long {
            return t.fd >= 0 ? ::fgetxattr(t.fd, name, buffer, size)
                   : t.follow ? ::getxattr(path, name, buffer, size)
                              : ::lgetxattr(path, name, buffer, size);
        };
        // Most reads succeed at once; a guarded file of this user takes a moment of owner read.
        const long first = attempt(false);
        if (first >= 0 || errno != EACCES) return static_cast<ssize_t>(first);
        return static_cast<ssize_t>(with_owner_read(t.fd >= 0 ? descriptor_path(t.fd) : std::string(path),
                                                    t.fd >= 0 || t.follow, attempt));
    };
    char small[256];
    const ssize_t n = get(small, sizeof small);
    if (n >= 0) return std::string(small, static_cast<std::size_t>(n));
    if (errno != ERANGE) return std::nullopt;
    std::string value;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t size = get(nullptr, 0);
        if (size < 0) return std::nullopt;
        value.resize(static_cast<std::size_t>(size) + 1);
        const ssize_t got = get(value.data(), value.size());
        if (got >= 0) {
            value.resize(static_cast<std::size_t>(got));
            return value;
        }
        if (errno != ERANGE) return std::nullopt;
    }
    return std::nullopt;
}

int set_attr(MetaTarget t, const char* name, const void* data, std::size_t size) {
    const std::string path = t.fd >= 0 ? std::string() : backing(t.path);
    t.path = path.c_str();
    const int rc = t.fd >= 0   ? ::fsetxattr(t.fd, name, data, size, 0)
                   : t.follow ? ::setxattr(t.path, name, data, size, 0)
                              : ::lsetxattr(t.path, name, data, size, 0);
    return rc == 0 ? 0 : errno;
}

int remove_attr(MetaTarget t, const char* name) {
    const std::string path = t.fd >= 0 ? std::string() : backing(t.path);
    t.path = path.c_str();
    const int rc = t.fd >= 0 ? ::fremovexattr(t.fd, name) : t.follow ? ::removexattr(t.path, name) : ::lremovexattr(t.path, name);
    return rc == 0 || errno == ENODATA ? 0 : errno;
}

bool parse_state(std::string_view text, PlaceholderState& out) {
    if (text.substr(0, 3) != "v1;") return false;
    text.remove_prefix(3);
    bool have_sync = false, have_pop = false, have_present = false;
    while (!text.empty()) {
        const auto end = text.find(';');
        const std::string_view field = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (field == "sync=0" || field == "sync=1") {
            out.in_sync = field.back() == '1';
            have_sync = true;
        } else if (field == "pop=0" || field == "pop=1") {
            out.population_enabled = field.back() == '1';
            have_pop = true;
        } else if (field.substr(0, 8) == "present=") {
            if (!RangeSet::decode(field.substr(8), out.present)) return false;
            have_present = true;
        } else if (field.substr(0, 5) == "read=" && field.size() > 5 && field.size() <= 8) {
            mode_t bits = 0;
            for (const char c : field.substr(5)) {
                if (c < '0' || c > '7') return false;
                bits = bits * 8 + static_cast<mode_t>(c - '0');
            }
            if ((bits & ~mode_t{0444}) != 0) return false;
            out.withheld_read = bits;
        } else {
            return false;
        }
    }
    return have_sync && have_pop && have_present;
}

}  // namespace

PlaceholderState storable(const PlaceholderState& state) {
    if (state.present.ranges().size() <= STORED_RANGES) return state;
    auto ranges = state.present.ranges();
    std::partial_sort(ranges.begin(), ranges.begin() + STORED_RANGES, ranges.end(),
                      [](const auto& a, const auto& b) { return a.second - a.first > b.second - b.first; });
    PlaceholderState out = state;
    out.present = RangeSet();
    for (std::size_t i = 0; i < STORED_RANGES; ++i) out.present.add(ranges[i].first, ranges[i].second);
    return out;
}

std::optional<PlaceholderState> read_state(MetaTarget target) {
    const auto text = get_attr(target, XATTR_STATE);
    if (!text) return std::nullopt;
    PlaceholderState state;
    if (!parse_state(*text, state)) return PlaceholderState{};
    return state;
}

namespace {

int stat_target(MetaTarget target, struct stat& st) {
    const int rc = target.fd >= 0 ? ::fstat(target.fd, &st)
                   : target.follow ? ::stat(backing(target.path).c_str(), &st)
                                   : ::lstat(backing(target.path).c_str(), &st);
    return rc == 0 ? 0 : errno;
}

int set_mode(MetaTarget target, mode_t mode) {
    if (target.fd >= 0) {
        if (::fchmod(target.fd, mode & 07777) == 0) return 0;
        if (errno != EBADF) return errno;
        // An O_PATH descriptor: changed through its name.
        return ::chmod(descriptor_path(target.fd).c_str(), mode & 07777) == 0 ? 0 : errno;
    }
    return ::chmod(backing(target.path).c_str(), mode & 07777) == 0 ? 0 : errno;
}

int store_state(MetaTarget target, const PlaceholderState& state) {
    std::string text = std::string("v1;sync=") + (state.in_sync ? "1" : "0") +
                       ";pop=" + (state.population_enabled ? "1" : "0") + ";present=" + state.present.encode();
    if (state.withheld_read) {
        const char digits[] = {';', 'r', 'e', 'a', 'd', '=', static_cast<char>('0' + ((*state.withheld_read >> 6) & 7)),
                               static_cast<char>('0' + ((*state.withheld_read >> 3) & 7)),
                               static_cast<char>('0' + (*state.withheld_read & 7))};
        text.append(digits, sizeof digits);
    }
    return set_attr(target, XATTR_STATE, text.data(), text.size());
}

// What the record on disk withholds now.
std::optional<mode_t> recorded_withheld(MetaTarget target) {
    const auto state = read_state(target);
    return state ? state->withheld_read : std::nullopt;
}

}  // namespace

int write_state(MetaTarget target, const PlaceholderState& full) {
    PlaceholderState state = storable(full);
    state.withheld_read.reset();
    std::lock_guard lock(mode_mutex());
    struct stat st{};
    if (stat_target(target, st) != 0 || !S_ISREG(st.st_mode)) return store_state(target, state);
    const std::optional<mode_t> recorded = recorded_withheld(target);
    if (!wholly_present(state, st.st_size)) {
        // Read permission found on the file is what it is to have (given it since, or not guarded
        // yet); otherwise the record keeps what it kept.
        const mode_t readable = st.st_mode & 0444;
        state.withheld_read = readable != 0 || !recorded ? readable : *recorded;
        if (const int err = store_state(target, state); err != 0) return err;
        if (readable != 0) set_mode(target, st.st_mode & ~mode_t{0444});
        return 0;
    }
    if (recorded && set_mode(target, st.st_mode | *recorded) != 0) state.withheld_read = recorded;
    return store_state(target, state);
}

int remove_placeholder_metadata(MetaTarget target) {
    {
        std::lock_guard lock(mode_mutex());
        struct stat st{};
        const auto recorded = recorded_withheld(target);
        if (recorded && stat_target(target, st) == 0 && S_ISREG(st.st_mode)) set_mode(target, st.st_mode | *recorded);
    }
    if (const int err = remove_attr(target, XATTR_STATE); err != 0) return err;
    return remove_attr(target, XATTR_IDENTITY);
}

int change_mode(MetaTarget target, mode_t mode) {
    std::lock_guard lock(mode_mutex());
    struct stat st{};
    if (const int err = stat_target(target, st); err != 0) return err;
    auto state = S_ISREG(st.st_mode) ? read_state(target) : std::nullopt;
    if (!state || !state->withheld_read) return set_mode(target, mode);
    if (const int err = set_mode(target, mode & ~mode_t{0444}); err != 0) return err;
    state->withheld_read = mode & 0444;
    return store_state(target, *state);
}

std::vector<std::uint8_t> read_identity(MetaTarget target) {
    const auto text = get_attr(target, XATTR_IDENTITY);
    if (!text) return {};
    return std::vector<std::uint8_t>(text->begin(), text->end());
}

int write_identity(MetaTarget target, const void* bytes, std::uint32_t length) {
    if (length == 0) return remove_attr(target, XATTR_IDENTITY);
    return set_attr(target, XATTR_IDENTITY, bytes, length);
}

std::uint32_t read_pin(MetaTarget target) {
    const auto text = get_attr(target, XATTR_PIN);
    if (!text || text->size() != 1 || (*text)[0] < '0' || (*text)[0] > '3') return 0;
    return static_cast<std::uint32_t>((*text)[0] - '0');
}

int write_pin(MetaTarget target, std::uint32_t pin) {
    if (pin == 0) return remove_attr(target, XATTR_PIN);
    const char value = static_cast<char>('0' + pin);
    return set_attr(target, XATTR_PIN, &value, 1);
}

// ---- Update sequence numbers ---------------------------------------------------------------

namespace {

struct UsnRecord {
    std::int64_t usn = 0;
    std::int64_t size = 0;
    std::int64_t mtime_sec = 0;
    std::int64_t mtime_nsec = 0;
};

// What a record keeps of the file: a directory's size and times are not compared.
UsnRecord snapshot(const struct stat& st) {
    UsnRecord r;
    if (!S_ISREG(st.st_mode)) return r;
    r.size = st.st_size;
    r.mtime_sec = st.st_mtim.tv_sec;
    r.mtime_nsec = st.st_mtim.tv_nsec;
    return r;
}

bool same_file_state(const UsnRecord& a, const UsnRecord& b) {
    return a.size == b.size && a.mtime_sec == b.mtime_sec && a.mtime_nsec == b.mtime_nsec;
}

// "v1;usn=N;size=S;mtime=SEC.NSEC"
std::optional<UsnRecord> read_usn_record(MetaTarget target) {
    const auto text = get_attr(target, XATTR_USN);
    if (!text) return std::nullopt;
    UsnRecord r;
    const char* p = text->data();
    const char* end = p + text->size();
    auto field = [&](std::string_view prefix, std::int64_t& out, char stop) {
        if (static_cast<std::size_t>(end - p) < prefix.size() || std::string_view(p, prefix.size()) != prefix)
            return false;
        p += prefix.size();
        const auto [next, ec] = std::from_chars(p, end, out);
        if (ec != std::errc() || (stop != '\0' && (next == end || *next != stop))) return false;
        p = next + (stop != '\0' ? 1 : 0);
        return true;
    };
    if (!field("v1;usn=", r.usn, ';') || !field("size=", r.size, ';') || !field("mtime=", r.mtime_sec, '.') ||
        !field("", r.mtime_nsec, '\0') || p != end)
        return std::nullopt;
    return r;
}

// Milliseconds since 2020 in journal steps: the floor of a new number, so that numbers keep
// growing for a path whose file is deleted and made again, and stay far below 2^53 (parents in
// JavaScript read them as doubles).
std::int64_t clock_floor(const timespec& t) {
    constexpr std::int64_t EPOCH_2020 = 1577836800;
    const std::int64_t ms = (static_cast<std::int64_t>(t.tv_sec) - EPOCH_2020) * 1000 + t.tv_nsec / 1000000;
    return std::max<std::int64_t>(ms, 1) * USN_STEP;
}

int write_usn_record(MetaTarget target, const UsnRecord& r) {
    const std::string text = "v1;usn=" + std::to_string(r.usn) + ";size=" + std::to_string(r.size) +
                             ";mtime=" + std::to_string(r.mtime_sec) + "." + std::to_string(r.mtime_nsec);
    return set_attr(target, XATTR_USN, text.data(), text.size());
}

}  // namespace

std::int64_t current_usn(MetaTarget target, const struct stat& st) {
    const auto record = read_usn_record(target);
    if (!record) return clock_floor(st.st_ctim);
    return same_file_state(*record, snapshot(st)) ? record->usn : record->usn + USN_STEP;
}

bool changed_since_recorded(MetaTarget target, const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return false;
    const auto record = read_usn_record(target);
    return record && !same_file_state(*record, snapshot(st));
}

int record_change(MetaTarget target, std::int64_t* usn) {
    struct stat st{};
    if (const int err = stat_target(target, st); err != 0) return err;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    UsnRecord r = snapshot(st);
    r.usn = std::max(current_usn(target, st) + USN_STEP, clock_floor(now));
    if (const int err = write_usn_record(target, r); err != 0) return err;
    if (usn != nullptr) *usn = r.usn;
    return 0;
}

namespace {

// What another program wrote is its content, on the disk: on Windows a placeholder is whole
// before another program may write to it. Bytes past the recorded end of the file are the
// program's (appended, or zeros of a longer size). Below it, the file system says which blocks
// hold data: content the platform never had is a hole (created sparse, dehydrated by
// punching), so a block that holds data where nothing was present was written by the program. The
// block the old end falls in is the program's only when the file shrank (rewritten from the
// start): an append fills it from the old end, and what lies before stays the store's. A file
// system that reports no holes makes every block count as written. Whether anything changed at
// all is the caller's test. True when `state` grew.
bool take_outside_writes(MetaTarget target, const struct stat& st, PlaceholderState& state) {
    const auto record = read_usn_record(target);
    if (!record) return false;
    const RangeSet before = state.present;
    if (st.st_size > record->size) state.present.add(record->size, st.st_size);
    const std::int64_t block = st.st_blksize > 0 ? st.st_blksize : 4096;
    const std::int64_t written_below = st.st_size < record->size ? st.st_size : record->size / block * block;
    if (!state.present.covers(0, written_below)) {
        UniqueFd opened;
        int fd = target.fd;
        if (fd < 0) {
            // Positioning needs a descriptor that is not O_PATH; a write-only one does, and is
            // what a guarded file still allows.
            const std::string path = backing(target.path);
            opened = UniqueFd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
            if (!opened) opened = UniqueFd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
            fd = opened.get();
        }
        for (off_t at = 0; fd >= 0 && at < written_below;) {
            const off_t data = ::lseek(fd, at, SEEK_DATA);
            if (data < 0 || data >= written_below) break;
            const off_t hole = ::lseek(fd, data, SEEK_HOLE);
            if (hole <= data) break;
            state.present.add(data, std::min<std::int64_t>(hole, written_below));
            at = hole;
        }
    }
    return !(state.present == before);
}

}  // namespace

int settle_outside_change(MetaTarget target, PlaceholderState& state) {
    struct stat st{};
    if (const int err = stat_target(target, st); err != 0) return err;
    if (!changed_since_recorded(target, st)) return 0;
    const bool grew = take_outside_writes(target, st, state);
    if (state.in_sync || grew) {
        state.in_sync = false;
        if (const int err = write_state(target, state); err != 0) return err;
    }
    UsnRecord r = snapshot(st);
    r.usn = current_usn(target, st);
    return write_usn_record(target, r);
}

int record_own_change(MetaTarget target) {
    if (auto state = read_state(target)) {
        if (const int err = settle_outside_change(target, *state); err != 0) return err;
    }
    return record_change(target, nullptr);
}

void keep_mtime(int fd, const struct stat& before) {
    const timespec times[2] = {timespec{0, UTIME_OMIT}, before.st_mtim};
    ::futimens(fd, times);  // at worst the record takes the new time: a change of the platform's own
}

namespace {

AttributeWord word_of(MetaTarget target, const struct stat& st, bool is_link, bool link_to_directory,
                      ListedPlaceholder* listed = nullptr, bool* filled = nullptr) {
    AttributeWord w;
    if (is_link) {
        // A symbolic link: a name-surrogate reparse point, a directory link when its target is one.
        w.attributes = attr::REPARSE_POINT | (link_to_directory ? attr::DIRECTORY : attr::ARCHIVE);
        w.reparse_tag = reparse::TAG_SYMLINK;
        return w;
    }
    const bool directory = S_ISDIR(st.st_mode);
    w.attributes = directory ? attr::DIRECTORY : attr::ARCHIVE;
    if ((st.st_mode & S_IWUSR) == 0) w.attributes |= attr::READONLY;
    bool changed = false;
    if (auto state = read_state(target)) {
        w.attributes |= attr::REPARSE_POINT;
        w.reparse_tag = reparse::TAG_CLOUD;
        // Read as it will be settled: what another program wrote is present.
        changed = !directory && changed_since_recorded(target, st);
        if (changed) take_outside_writes(target, st, *state);
        if (!directory && !wholly_present(*state, st.st_size)) w.attributes |= attr::RECALL_ON_DATA_ACCESS;
        if (listed != nullptr && (w.attributes & attr::RECALL_ON_DATA_ACCESS) != 0) {
            listed->dev = st.st_dev;
            listed->ino = st.st_ino;
            listed->in_sync = state->in_sync && !changed;
            listed->identity = read_identity(target);
            *filled = true;
        }
    }
    const std::uint32_t pin = read_pin(target);
    if (pin == pin_state::PINNED) w.attributes |= attr::PINNED;
    if (pin == pin_state::UNPINNED) w.attributes |= attr::UNPINNED;
    if (listed != nullptr) listed->pin = pin;
    return w;
}

}  // namespace

AttributeWord attribute_word(const std::string& path, const struct stat& st, ListedPlaceholder* listed, bool* filled) {
    const bool is_link = S_ISLNK(st.st_mode);
    bool link_to_directory = false;
    if (is_link) {
        struct stat target{};
        link_to_directory = ::stat(backing(path).c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    }
    if (filled != nullptr) *filled = false;
    return word_of(MetaTarget{-1, path.c_str()}, st, is_link, link_to_directory, is_link ? nullptr : listed, filled);
}

AttributeWord attribute_word_fd(int fd, const struct stat& st, ListedPlaceholder* listed, bool* filled) {
    if (filled != nullptr) *filled = false;
    return word_of(MetaTarget{fd, nullptr}, st, false, false, listed, filled);
}

}  // namespace zcf::linux_platform
