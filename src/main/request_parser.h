// Parsing one trimmed request line as exactly one JSON value.
#pragma once

#include <boost/json/value.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace zcf {

inline constexpr std::size_t MAX_NESTING = 127;

struct ParsedRequest {
    std::optional<boost::json::value> value;
    // On failure: "<problem> at line 1 column <N>", N the 1-based byte position where the problem
    // was found, or the text's length when it ended too early.
    std::string error;
};

ParsedRequest parse_request(std::string_view text);

// The top-level "seq" of a request line when it is a number, string, boolean or null, found
// without building the value tree (for a line too large to parse in the memory there is).
// Nothing when the line is not one valid JSON value or has no such "seq".
std::optional<boost::json::value> find_seq(std::string_view text);

// The description of the first problem in `text`, or empty when it is one valid JSON value.
std::string describe_json_error(std::string_view text);

}  // namespace zcf
