// "create": item grouping and the value conversions of the placeholder records.
#pragma once

#include "common/placeholder_items.h"  // file_time_from_ms, size_from_json

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <string_view>
#include <vector>

namespace zcf {

// Items grouped by their "dir" string (exact bytes), groups in order of first appearance, items
// of a group in request order. Group g holds items[members[starts[g]] .. members[starts[g+1]-1]].
struct DirGroups {
    std::vector<std::string_view> dirs;   // views into the items' strings ("" when no string "dir")
    std::vector<std::size_t> starts;      // dirs.size() + 1 offsets into members
    std::vector<std::size_t> members;     // item indices
};

// Linear in the number of items: each "dir" is found through a hash index.
DirGroups group_by_dir(const boost::json::array& items);

// The routine behind "create": creates the items, one platform call per directory group, and
// returns {"failed": [...]} with one {"dir","error","name"} object per item not created.
boost::json::value create(const boost::json::array& items);

}  // namespace zcf
