// A set of half-open byte ranges [begin, end), kept sorted, disjoint and merged. Used by the
// core for the chunks a fetch has received and by the platform for a file's present content.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zcf {

class RangeSet {
public:
    void add(std::int64_t begin, std::int64_t end);
    void subtract(std::int64_t begin, std::int64_t end);
    void clip(std::int64_t size) { subtract(size, INT64_MAX); }
    bool covers(std::int64_t begin, std::int64_t end) const;
    // The first byte of [begin, end) not in the set, and the end of the last such byte; nullopt
    // when the set covers the range.
    std::optional<std::pair<std::int64_t, std::int64_t>> missing_span(std::int64_t begin,
                                                                        std::int64_t end) const;
    // The first run of bytes of [begin, limit) not in the set: from the first such byte to the
    // next byte in the set, or `limit`; nullopt when the set covers [begin, limit).
    std::optional<std::pair<std::int64_t, std::int64_t>> first_gap(std::int64_t begin, std::int64_t limit) const;
    std::int64_t total() const;
    bool empty() const { return ranges_.empty(); }
    const std::vector<std::pair<std::int64_t, std::int64_t>>& ranges() const { return ranges_; }
    bool operator==(const RangeSet&) const = default;

    // Text form "b-e,b-e"; parse fails (false) on anything malformed.
    std::string encode() const;
    static bool decode(std::string_view text, RangeSet& out);

private:
    std::vector<std::pair<std::int64_t, std::int64_t>> ranges_;
};

}  // namespace zcf
