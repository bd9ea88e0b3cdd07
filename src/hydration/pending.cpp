#include "hydration/pending.h"

#include <algorithm>

namespace zcf {

std::atomic<std::uint64_t> NEXT_REQUEST{1};

PendingTable& pending() {
    // Never destroyed: callback threads may still use it while the process exits.
    static PendingTable* const PENDING = new PendingTable();
    return *PENDING;
}

void PendingTable::insert(std::uint64_t id, const Pending& record) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.insert_or_assign(id, Entry{record, {}});
}

std::optional<Pending> PendingTable::find(std::uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return std::nullopt;
    return it->second.record;
}

void PendingTable::remove(std::uint64_t id) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.erase(id);
}

bool PendingTable::deliver(std::uint64_t id, std::int64_t begin, std::int64_t end, std::int64_t required_begin,
                           std::int64_t required_end) {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = entries_.find(id);
    if (it == entries_.end()) return false;
    RangeSet& delivered = it->second.delivered;
    delivered.add(std::max(begin, required_begin), std::min(end, required_end));
    if (!delivered.covers(required_begin, required_end)) return false;
    entries_.erase(it);
    return true;
}

std::vector<std::uint64_t> PendingTable::remove_stream(std::int64_t transfer_key, RequestKind kind) {
    std::vector<std::uint64_t> removed;
    std::lock_guard<std::mutex> guard(lock_);
    // Room for every id first: when it cannot be had, nothing is removed.
    const auto of_stream = [&](const auto& entry) {
        return entry.second.record.transfer_key == transfer_key && entry.second.record.kind == kind;
    };
    removed.reserve(static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), of_stream)));
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (of_stream(*it)) {
            removed.push_back(it->first);
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    return removed;
}

std::size_t PendingTable::size() {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}

}  // namespace zcf
