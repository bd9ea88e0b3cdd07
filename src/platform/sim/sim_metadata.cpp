// platform/sim: placeholder metadata in extended attributes and the attribute word. POSIX calls
// are allowed here and only under platform/sim.
#include "platform/sim/sim_metadata.h"

#include "platform/cloud_types.h"
#include "platform/file_types.h"

#include <algorithm>
#include <cerrno>
#include <sys/xattr.h>

namespace zcf::sim {

namespace {

// Reads one attribute whole; nullopt when absent (or unreadable).
std::optional<std::string> get_attr(MetaTarget t, const char* name) {
    std::string value(256, '\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const ssize_t n = t.fd >= 0 ? ::fgetxattr(t.fd, name, value.data(), value.size())
                                    : ::lgetxattr(t.path, name, value.data(), value.size());
        if (n >= 0) {
            value.resize(static_cast<std::size_t>(n));
            return value;
        }
        if (errno != ERANGE) return std::nullopt;
        const ssize_t size = t.fd >= 0 ? ::fgetxattr(t.fd, name, nullptr, 0) : ::lgetxattr(t.path, name, nullptr, 0);
        if (size < 0) return std::nullopt;
        value.resize(static_cast<std::size_t>(size) + 1);
    }
    return std::nullopt;
}

int set_attr(MetaTarget t, const char* name, const void* data, std::size_t size) {
    const int rc = t.fd >= 0 ? ::fsetxattr(t.fd, name, data, size, 0) : ::lsetxattr(t.path, name, data, size, 0);
    return rc == 0 ? 0 : errno;
}

int remove_attr(MetaTarget t, const char* name) {
    const int rc = t.fd >= 0 ? ::fremovexattr(t.fd, name) : ::lremovexattr(t.path, name);
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

int write_state(MetaTarget target, const PlaceholderState& full) {
    const PlaceholderState state = storable(full);
    const std::string text = std::string("v1;sync=") + (state.in_sync ? "1" : "0") +
                             ";pop=" + (state.population_enabled ? "1" : "0") +
                             ";present=" + state.present.encode();
    return set_attr(target, XATTR_STATE, text.data(), text.size());
}

int remove_placeholder_metadata(MetaTarget target) {
    if (const int err = remove_attr(target, XATTR_STATE); err != 0) return err;
    return remove_attr(target, XATTR_IDENTITY);
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

namespace {

AttributeWord word_of(MetaTarget target, const struct stat& st, bool is_link, bool link_to_directory) {
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
    if (const auto state = read_state(target)) {
        w.attributes |= attr::REPARSE_POINT;
        w.reparse_tag = reparse::TAG_CLOUD;
        if (!directory && !wholly_present(*state, st.st_size)) w.attributes |= attr::RECALL_ON_DATA_ACCESS;
    }
    const std::uint32_t pin = read_pin(target);
    if (pin == pin_state::PINNED) w.attributes |= attr::PINNED;
    if (pin == pin_state::UNPINNED) w.attributes |= attr::UNPINNED;
    return w;
}

}  // namespace

AttributeWord attribute_word(const std::string& path, const struct stat& st) {
    const bool is_link = S_ISLNK(st.st_mode);
    bool link_to_directory = false;
    if (is_link) {
        struct stat target{};
        link_to_directory = ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
    }
    return word_of(MetaTarget{-1, path.c_str()}, st, is_link, link_to_directory);
}

AttributeWord attribute_word_fd(int fd, const struct stat& st) { return word_of(MetaTarget{fd, nullptr}, st, false, false); }

}  // namespace zcf::sim
