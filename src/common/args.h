// Reading a request's arguments: wrong types fall back to defaults, never to errors.
#pragma once

#include <boost/json/array.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <string_view>

namespace zcf {

// The member `key` of `request`, or null when absent or `request` is not an object.
const boost::json::value* find_arg(const boost::json::value& request, std::string_view key);
// A text argument: the member's string, or `fallback` when missing or not a string.
std::string_view text_arg(const boost::json::value& request, std::string_view key,
                          std::string_view fallback = {});
// Integer arguments: a JSON integer in range, else 0 (fractions, strings, out of range).
std::uint64_t u64_arg(const boost::json::value& request, std::string_view key);
std::int64_t i64_arg(const boost::json::value& request, std::string_view key);
// A list argument: the member's array, or the empty array.
const boost::json::array& list_arg(const boost::json::value& request, std::string_view key);
// The request's "seq" member (copied), or null.
boost::json::value seq_of(const boost::json::value& request);

}  // namespace zcf
