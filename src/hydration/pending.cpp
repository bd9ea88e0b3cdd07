#include "hydration/pending.h"

#include <algorithm>

namespace zcf {

void DeliveredRanges::add(std::int64_t begin, std::int64_t end) {
    if (begin >= end) return;
    // Merge every range that overlaps or touches [begin, end) into it.
    auto first = std::lower_bound(ranges_.begin(), ranges_.end(), begin,
                                  [](const auto& range, std::int64_t at) { return range.second < at; });
    auto last = first;
    while (last != ranges_.end() && last->first <= end) {
        begin = std::min(begin, last->first);
        end = std::max(end, last->second);
        ++last;
    }
    first = ranges_.erase(first, last);
    ranges_.insert(first, {begin, end});
}

bool DeliveredRanges::covers(std::int64_t begin, std::int64_t end) const {
    if (begin >= end) return true;
    const auto it = std::upper_bound(ranges_.begin(), ranges_.end(), begin,
                                     [](std::int64_t at, const auto& range) { return at < range.first; });
    if (it == ranges_.begin()) return false;
    const auto& range = *(it - 1);
    return range.first <= begin && range.second >= end;
}

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
    DeliveredRanges& delivered = it->second.delivered;
    delivered.add(std::max(begin, required_begin), std::min(end, required_end));
    if (!delivered.covers(required_begin, required_end)) return false;
    entries_.erase(it);
    return true;
}

std::vector<std::uint64_t> PendingTable::remove_stream(std::int64_t transfer_key) {
    std::vector<std::uint64_t> removed;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.record.transfer_key == transfer_key) {
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
