// "create": placeholders in batches, one platform call per directory.
#include "placeholders/create.h"

#include "common/args.h"
#include "common/outcome.h"
#include "common/text.h"
#include "placeholders/placeholders.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <cmath>
#include <limits>
#include <functional>

namespace zcf {

namespace json = boost::json;

namespace {

// 1970-01-01 in 100-nanosecond units since 1601-01-01.

std::string_view dir_of(const json::value& item) { return text_arg(item, "dir"); }

bool is_folder(const json::value& item) {
    const json::value* v = find_arg(item, "folder");
    return v != nullptr && v->is_bool() && v->get_bool();
}

// The reusable buffers of one group's call. They keep their capacity from group to group.
struct GroupBuffers {
    std::u16string base;
    std::u16string names;              // every item's NUL-terminated name, back to back
    std::vector<std::size_t> name_at;  // where each item's name starts in `names`
    std::vector<PlaceholderCreateInfo> records;
};

// Hash index from a directory string to its group: open addressing with linear probing over
// (hash, group) slots, at most half full. One probe sequence per item touches one or two
// adjacent slots and compares strings only on equal hashes, so a request with a hundred thousand
// directories stays within a few cache misses per item.
class DirIndex {
public:
    // The group of `dir`; a new group (appended to `dirs`) when it has none yet.
    std::size_t find_or_add(std::string_view dir, std::vector<std::string_view>& dirs) {
        if ((dirs.size() + 1) * 2 > slots_.size()) grow();
        const std::uint64_t hash = std::hash<std::string_view>{}(dir);
        const std::size_t mask = slots_.size() - 1;
        for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
            Slot& slot = slots_[at];
            if (slot.group_plus_one == 0) {
                dirs.push_back(dir);
                slot = {hash, dirs.size()};
                return dirs.size() - 1;
            }
            if (slot.hash == hash && dirs[slot.group_plus_one - 1] == dir) return slot.group_plus_one - 1;
        }
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::size_t group_plus_one = 0;  // 0: empty
    };

    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
        const std::size_t mask = slots_.size() - 1;
        for (const Slot& slot : old) {
            if (slot.group_plus_one == 0) continue;
            std::size_t at = slot.hash & mask;
            while (slots_[at].group_plus_one != 0) at = (at + 1) & mask;
            slots_[at] = slot;
        }
    }

    std::vector<Slot> slots_;
};

}  // namespace

DirGroups group_by_dir(const json::array& items) {
    DirGroups groups;
    const std::size_t n = items.size();
    std::vector<std::size_t> group_of(n);
    std::vector<std::size_t> counts;
    DirIndex index;
    for (std::size_t i = 0; i < n; ++i) {
        const std::string_view dir = dir_of(items[i]);
        const std::size_t g = index.find_or_add(dir, groups.dirs);
        if (g == counts.size()) counts.push_back(0);
        group_of[i] = g;
        ++counts[g];
    }
    // Counting sort by group keeps request order within each group.
    groups.starts.resize(groups.dirs.size() + 1);
    std::size_t offset = 0;
    for (std::size_t g = 0; g < counts.size(); ++g) {
        groups.starts[g] = offset;
        offset += counts[g];
    }
    groups.starts[counts.size()] = offset;
    std::vector<std::size_t> next(groups.starts.begin(), groups.starts.end() - 1);
    groups.members.resize(n);
    for (std::size_t i = 0; i < n; ++i) groups.members[next[group_of[i]]++] = i;
    return groups;
}

std::int64_t file_time_from_ms(const json::value* mtime_ms) {
    if (mtime_ms == nullptr || !mtime_ms->is_number()) return FILETIME_UNIX_EPOCH;
    double ms;
    if (mtime_ms->is_uint64()) ms = static_cast<double>(mtime_ms->get_uint64());
    else if (mtime_ms->is_int64()) ms = static_cast<double>(mtime_ms->get_int64());
    else ms = mtime_ms->get_double();
    std::int64_t whole;
    if (std::isnan(ms)) whole = 0;
    else if (ms >= 9223372036854775808.0) whole = std::numeric_limits<std::int64_t>::max();
    else if (ms < -9223372036854775808.0) whole = std::numeric_limits<std::int64_t>::min();
    else whole = static_cast<std::int64_t>(ms);  // truncates toward zero
    // Wrapping arithmetic, done unsigned so overflow is defined.
    const std::uint64_t time =
        static_cast<std::uint64_t>(whole) * 10000u + static_cast<std::uint64_t>(FILETIME_UNIX_EPOCH);
    return static_cast<std::int64_t>(time);
}

std::int64_t size_from_json(const json::value* size) {
    if (size == nullptr) return 0;
    if (size->is_int64()) return size->get_int64();
    if (size->is_uint64() && size->get_uint64() <= std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(size->get_uint64());
    return 0;
}

json::value create(const json::array& items) {
    json::array failed;
    if (items.empty()) return json::object{{"failed", std::move(failed)}};

    const DirGroups groups = group_by_dir(items);
    GroupBuffers buffers;
    // Identities point straight into the request's strings, which outlive every call here; an
    // empty identity still gets a valid pointer, with length 0.

    for (std::size_t g = 0; g < groups.dirs.size(); ++g) {
        const std::size_t first = groups.starts[g];
        const std::size_t count = groups.starts[g + 1] - first;

        buffers.names.clear();
        buffers.name_at.clear();
        buffers.records.assign(count, PlaceholderCreateInfo{});
        for (std::size_t k = 0; k < count; ++k) {
            const json::value& item = items[groups.members[first + k]];
            buffers.name_at.push_back(buffers.names.size());
            append_wide(buffers.names, text_arg(item, "name"));
            buffers.names.push_back(u'\0');

            const std::string_view identity = text_arg(item, "identity");
            const bool folder = is_folder(item);
            const std::int64_t time = file_time_from_ms(find_arg(item, "mtimeMs"));
            PlaceholderCreateInfo& record = buffers.records[k];
            record.fs_metadata.basic_info.creation_time = time;
            record.fs_metadata.basic_info.last_access_time = time;
            record.fs_metadata.basic_info.last_write_time = time;
            record.fs_metadata.basic_info.change_time = time;
            record.fs_metadata.basic_info.file_attributes = folder ? attr::DIRECTORY : attr::NORMAL;
            record.fs_metadata.file_size = folder ? 0 : size_from_json(find_arg(item, "size"));
            record.file_identity = identity.empty() ? NO_IDENTITY : identity.data();
            record.file_identity_length = static_cast<std::uint32_t>(identity.size());
            record.flags = folder ? placeholder_create_flag::MARK_IN_SYNC |
                                        placeholder_create_flag::DISABLE_ON_DEMAND_POPULATION
                                  : placeholder_create_flag::MARK_IN_SYNC;
            record.result = 0;
            record.create_usn = 0;
        }
        // The names buffer is complete: it no longer moves, so the records may point into it.
        for (std::size_t k = 0; k < count; ++k)
            buffers.records[k].relative_file_name = buffers.names.data() + buffers.name_at[k];

        buffers.base.clear();
        append_wide(buffers.base, groups.dirs[g]);
        buffers.base.push_back(u'\0');
        std::uint32_t entries_processed = 0;
        const Hresult call = platform().create_placeholders(buffers.base.c_str(), buffers.records.data(),
                                                            static_cast<std::uint32_t>(count), 0,
                                                            &entries_processed);

        for (std::size_t k = 0; k < count; ++k) {
            const std::int32_t own = buffers.records[k].result;
            if (call >= 0 && own >= 0) continue;
            const json::value& item = items[groups.members[first + k]];
            const json::value* name = find_arg(item, "name");
            json::object failure;
            failure["dir"] = json::string(groups.dirs[g]);
            failure["error"] = error_message_text(error_from_hresult(own < 0 ? own : call));
            failure["name"] = name != nullptr ? json::value(*name) : json::value(nullptr);
            failed.emplace_back(std::move(failure));
        }
    }
    return json::object{{"failed", std::move(failed)}};
}

Outcome cmd_create(const json::value& request) { return create(list_arg(request, "items")); }

}  // namespace zcf
