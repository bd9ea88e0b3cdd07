// Placeholder records from the parent's item objects, as "create" and "entries" read them: name,
// identity, folder, populated, size and mtimeMs; and the failure object of an item not created.
#pragma once

#include "common/outcome.h"
#include "platform/cloud_types.h"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zcf {

// "mtimeMs" (or null when absent) to a Windows file time: the number as a double, truncated
// toward zero with saturation to signed 64 bits (NaN gives 0), times 10000 plus the 1601-to-1970
// offset, wrapping on overflow. A missing or non-number value gives the 1970 epoch.
std::int64_t file_time_from_ms(const boost::json::value* mtime_ms);

// "size" (or null when absent): a JSON integer that fits signed 64 bits, negative ones included;
// anything else (larger integers, numbers parsed as doubles such as 1024.0 or 1e3, non-numbers) 0.
std::int64_t size_from_json(const boost::json::value* size);

// The records of one platform call, built item by item. Names go into one UTF-16 buffer;
// identities point into the items' own strings, which must outlive the records. The buffers keep
// their capacity from one batch to the next.
class PlaceholderBatch {
public:
    void clear();
    // Appends the record of `item`: a file (in sync, online-only, its size) or, with "folder"
    // true, a folder (in sync; with "populated" false its first listing asks the provider).
    void add(const boost::json::value& item);
    std::size_t size() const { return records_.size(); }
    // The records, their names pointing into the batch's buffer; valid until the next add or clear.
    PlaceholderCreateInfo* records();

private:
    std::u16string names_;              // every item's NUL-terminated name, back to back
    std::vector<std::size_t> name_at_;  // where each item's name starts in `names_`
    std::vector<PlaceholderCreateInfo> records_;
};

// {"dir","error","name"} for an item that was not created: "name" as the item gave it (null when
// absent), "error" the rendering of `code`.
boost::json::object placeholder_failure(std::string_view dir, const boost::json::value& item, Hresult code);

}  // namespace zcf
