// "create": item grouping and the value conversions of the placeholder records.
#pragma once

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

// "mtimeMs" (or null when absent) to a Windows file time: the number as a double, truncated
// toward zero with saturation to signed 64 bits (NaN gives 0), times 10000 plus the 1601-to-1970
// offset, wrapping on overflow. A missing or non-number value gives the 1970 epoch.
std::int64_t file_time_from_ms(const boost::json::value* mtime_ms);

// "size" (or null when absent): a JSON integer that fits signed 64 bits, negative ones included;
// anything else (larger integers, numbers parsed as doubles such as 1024.0 or 1e3, non-numbers) 0.
std::int64_t size_from_json(const boost::json::value* size);

// The routine behind "create": creates the items, one platform call per directory group, and
// returns {"failed": [...]} with one {"dir","error","name"} object per item not created.
boost::json::value create(const boost::json::array& items);

}  // namespace zcf
