// "scan": walks a directory tree and lists pinned, unpinned and online-only entries.
#include "common/args.h"
#include "common/open.h"
#include "common/text.h"
#include "placeholders/placeholder_info.h"
#include "placeholders/placeholders.h"
#include "platform/platform.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <string>
#include <vector>

namespace zcf {

namespace json = boost::json;

namespace {


// A directory still to be listed: its full path as the platform spells it, and its path
// relative to the root in UTF-8 ("" for the root itself).
struct PendingDirectory {
    std::u16string path;
    std::string relative;
};

bool is_dot_entry(const char16_t* name) {
    return name[0] == u'.' && (name[1] == 0 || (name[1] == u'.' && name[2] == 0));
}

bool is_high_surrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool is_low_surrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// Replaces each unpaired surrogate by U+FFFD, in place.
void make_valid_unicode(std::u16string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_high_surrogate(text[i]) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            ++i;
        } else if (is_high_surrogate(text[i]) || is_low_surrogate(text[i])) {
            text[i] = u'\uFFFD';
        }
    }
}

std::size_t name_length(const FindData& entry) {
    std::size_t n = 0;
    while (n < std::size(entry.name) && entry.name[n] != 0) ++n;
    return n;
}

}  // namespace

json::value scan(std::string_view root) {
    json::array online_only;
    json::array pinned;
    json::array unpinned;

    // An empty root names no directory (the bare pattern would list the file system's root).
    if (!root.empty()) {
        Platform& os = platform();
        const char16_t separator = os.path_separator();
        const char separator_utf8 = static_cast<char>(separator);

        std::vector<PendingDirectory> pending;
        pending.push_back({});
        append_wide(pending.back().path, root);

        // Reused for every entry: the pattern, an entry's full path and its relative path.
        std::u16string pattern;
        std::u16string entry_path;
        std::string relative;
        FindData entry;

        while (!pending.empty()) {
            const PendingDirectory directory = std::move(pending.back());
            pending.pop_back();

            pattern.assign(directory.path);
            pattern.push_back(separator);
            pattern.push_back(u'*');
            FindHandle find(os.find_first(pattern.c_str(), &entry));
            if (!find.valid()) continue;
            do {
                if (is_dot_entry(entry.name)) continue;
                const std::uint32_t word = entry.attributes;
                const bool link = (word & attr::REPARSE_POINT) != 0 &&
                                  (entry.reparse_tag & reparse::NAME_SURROGATE_BIT) != 0;
                if (link && (word & attr::RECALL_ON_DATA_ACCESS) == 0) continue;
                const bool walk = (word & attr::DIRECTORY) != 0 && !link;
                const bool is_pinned = (word & attr::PINNED) != 0;
                const bool is_unpinned = !is_pinned && (word & attr::UNPINNED) != 0;
                const bool offline = !walk && (word & attr::ONLINE_ONLY_MASK) != 0;
                if (!walk && !is_pinned && !is_unpinned && !offline) continue;

                const std::u16string_view name(entry.name, name_length(entry));
                relative.assign(directory.relative);
                if (!relative.empty()) relative.push_back(separator_utf8);
                append_utf16_as_utf8_lossy(relative, name);

                if (is_pinned) pinned.emplace_back(json::string(relative));
                else if (is_unpinned) unpinned.emplace_back(json::string(relative));

                if (walk) {
                    PendingDirectory& below = pending.emplace_back();
                    below.path.reserve(directory.path.size() + 1 + name.size());
                    below.path.assign(directory.path);
                    below.path.push_back(separator);
                    below.path.append(name);
                    below.relative = relative;
                } else if (offline) {
                    entry_path.assign(directory.path);
                    entry_path.push_back(separator);
                    entry_path.append(name);
                    make_valid_unicode(entry_path);
                    std::optional<PlaceholderInfo> info = placeholder_info_wide(entry_path.c_str());
                    json::object item;
                    item["identity"] = info ? json::string(info->identity) : json::string();
                    item["path"] = json::string(relative);
                    online_only.emplace_back(std::move(item));
                }
            } while (os.find_next(find.get(), &entry));
        }
    }

    json::object result;
    result["onlineOnly"] = std::move(online_only);
    result["pinned"] = std::move(pinned);
    result["unpinned"] = std::move(unpinned);
    return result;
}

Outcome cmd_scan(const json::value& request) { return scan(text_arg(request, "root")); }

}  // namespace zcf
