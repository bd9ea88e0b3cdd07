// "create": placeholders in batches, one platform call per directory.
#include "placeholders/create.h"

#include "common/args.h"
#include "common/outcome.h"
#include "common/placeholder_items.h"
#include "common/text.h"
#include "placeholders/placeholders.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <functional>

namespace zcf {

namespace json = boost::json;

namespace {

std::string_view dir_of(const json::value& item) { return text_arg(item, "dir"); }

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

json::value create(const json::array& items) {
    json::array failed;
    if (items.empty()) return json::object{{"failed", std::move(failed)}};

    const DirGroups groups = group_by_dir(items);
    PlaceholderBatch batch;
    std::u16string base;
    for (std::size_t g = 0; g < groups.dirs.size(); ++g) {
        const std::size_t first = groups.starts[g];
        const std::size_t count = groups.starts[g + 1] - first;
        batch.clear();
        for (std::size_t k = 0; k < count; ++k) batch.add(items[groups.members[first + k]]);
        PlaceholderCreateInfo* records = batch.records();

        base.clear();
        append_wide(base, groups.dirs[g]);
        base.push_back(u'\0');
        std::uint32_t entries_processed = 0;
        const Hresult call = platform().create_placeholders(base.c_str(), records, static_cast<std::uint32_t>(count), 0,
                                                            &entries_processed);

        for (std::size_t k = 0; k < count; ++k) {
            const std::int32_t own = records[k].result;
            if (call >= 0 && own >= 0) continue;
            failed.emplace_back(placeholder_failure(groups.dirs[g], items[groups.members[first + k]], own < 0 ? own : call));
        }
    }
    return json::object{{"failed", std::move(failed)}};
}

Outcome cmd_create(const json::value& request) { return create(list_arg(request, "items")); }

}  // namespace zcf
