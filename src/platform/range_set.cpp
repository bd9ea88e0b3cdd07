// A set of byte ranges, shared by the core (delivered chunks of a fetch) and the platform
// (present content of a placeholder).
#include "platform/range_set.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace zcf {

void RangeSet::add(std::int64_t begin, std::int64_t end) {
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

void RangeSet::subtract(std::int64_t begin, std::int64_t end) {
    if (begin >= end) return;
    std::vector<std::pair<std::int64_t, std::int64_t>> next;
    next.reserve(ranges_.size() + 1);
    for (const auto& r : ranges_) {
        if (r.second <= begin || r.first >= end) {
            next.push_back(r);
            continue;
        }
        if (r.first < begin) next.emplace_back(r.first, begin);
        if (r.second > end) next.emplace_back(end, r.second);
    }
    ranges_ = std::move(next);
}

bool RangeSet::covers(std::int64_t begin, std::int64_t end) const { return !missing_span(begin, end); }

std::optional<std::pair<std::int64_t, std::int64_t>> RangeSet::missing_span(std::int64_t begin,
                                                                             std::int64_t end) const {
    if (begin >= end) return std::nullopt;
    std::int64_t first = -1, last = -1, cursor = begin;
    for (const auto& r : ranges_) {
        if (r.second <= cursor) continue;
        if (r.first >= end) break;
        if (r.first > cursor) {
            if (first < 0) first = cursor;
            last = r.first;
        }
        cursor = std::max(cursor, r.second);
        if (cursor >= end) break;
    }
    if (cursor < end) {
        if (first < 0) first = cursor;
        last = end;
    }
    if (first < 0) return std::nullopt;
    return std::make_pair(first, last);
}

std::optional<std::pair<std::int64_t, std::int64_t>> RangeSet::first_gap(std::int64_t begin,
                                                                           std::int64_t limit) const {
    std::int64_t cursor = begin;
    for (const auto& r : ranges_) {
        if (cursor >= limit) return std::nullopt;
        if (r.second <= cursor) continue;
        if (r.first > cursor) return std::make_pair(cursor, std::min(r.first, limit));
        cursor = r.second;
    }
    if (cursor >= limit) return std::nullopt;
    return std::make_pair(cursor, limit);
}

std::int64_t RangeSet::total() const {
    std::int64_t sum = 0;
    for (const auto& r : ranges_) sum += r.second - r.first;
    return sum;
}

std::string RangeSet::encode() const {
    std::string out;
    for (const auto& r : ranges_) {
        if (!out.empty()) out.push_back(',');
        out += std::to_string(r.first) + "-" + std::to_string(r.second);
    }
    return out;
}

bool RangeSet::decode(std::string_view text, RangeSet& out) {
    out = RangeSet();
    auto number = [](std::string_view& s, std::int64_t& v) {
        std::size_t i = 0;
        std::int64_t n = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            if (n > (INT64_MAX - (s[i] - '0')) / 10) return false;
            n = n * 10 + (s[i] - '0');
            ++i;
        }
        if (i == 0) return false;
        v = n;
        s.remove_prefix(i);
        return true;
    };
    while (!text.empty()) {
        std::int64_t b = 0, e = 0;
        if (!number(text, b) || text.empty() || text[0] != '-') return false;
        text.remove_prefix(1);
        if (!number(text, e) || e < b) return false;
        out.add(b, e);
        if (!text.empty()) {
            if (text[0] != ',') return false;
            text.remove_prefix(1);
            if (text.empty()) return false;
        }
    }
    return true;
}

}  // namespace zcf
