// The table of outstanding requests and the request-id counter, shared by the Cloud Files
// callbacks (which add and cancel entries) and the parent's answers ("data", "fail", "entries",
// "allow", "deny"), which retire them. Fetches, listings and confirmations share ids and table.
#pragma once

#include "platform/range_set.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zcf {

// What the platform waits for: a file's content (FETCH_DATA), a folder's children
// (FETCH_PLACEHOLDERS), or the word to go on with a delete or a rename (NOTIFY_DELETE,
// NOTIFY_RENAME).
enum class RequestKind : std::uint8_t { fetch, list, remove, rename };

// One outstanding request, as its callback described it. A plain value. The range (file size,
// offset, length) is a fetch's only; the path a listing's, as its event named the folder.
struct Pending {
    std::int64_t connection_key;
    std::int64_t transfer_key;
    std::int64_t request_key;
    std::int64_t file_size;
    std::int64_t offset;
    std::int64_t length;
    RequestKind kind = RequestKind::fetch;
    std::string path = {};
};

// Request id to record, behind one mutex that is held for a single map operation at a time, never
// while writing output or calling the platform.
class PendingTable {
public:
    void insert(std::uint64_t id, const Pending& record);
    std::optional<Pending> find(std::uint64_t id);
    // Removing an id that is not there does nothing.
    void remove(std::uint64_t id);
    // Notes that [begin, end) of request `id` was delivered. When the delivered bytes cover
    // [required_begin, required_end), the request is complete: it is removed and true returned.
    // False when it still waits for bytes or is no longer in the table.
    bool deliver(std::uint64_t id, std::int64_t begin, std::int64_t end, std::int64_t required_begin,
                 std::int64_t required_end);
    // Removes every request of `kind` on the stream `transfer_key` (a file's fetches, a folder's
    // listings) and returns their ids.
    std::vector<std::uint64_t> remove_stream(std::int64_t transfer_key, RequestKind kind = RequestKind::fetch);
    std::size_t size();

private:
    struct Entry {
        Pending record;
        RangeSet delivered;  // what successful chunks have brought
    };
    std::mutex lock_;
    std::unordered_map<std::uint64_t, Entry> entries_;
};

// The process-wide table (PENDING), created on first use and never destroyed.
PendingTable& pending();

// The next request id. Starts at 1, so 0 (what an unreadable "req" reads as) is never issued.
extern std::atomic<std::uint64_t> NEXT_REQUEST;

}  // namespace zcf
