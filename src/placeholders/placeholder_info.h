// The in-sync state and identity of one placeholder, and the attribute report built on it.
#pragma once

#include <boost/json/value.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace zcf {

struct PlaceholderInfo {
    bool in_sync = false;
    std::string identity;  // the identity bytes as UTF-8, invalid sequences replaced by U+FFFD
};

// Opens `path` for reading attributes and queries its basic placeholder information. Nothing
// when the open or the query fails; the reason is dropped.
std::optional<PlaceholderInfo> placeholder_info(std::string_view path);
// The same for a NUL-terminated UTF-16 path that is already valid Unicode.
std::optional<PlaceholderInfo> placeholder_info_wide(const char16_t* path);

// The "attrs" result for `path`: attribute word, pin and online flags, in-sync flag, identity.
boost::json::value attrs(std::string_view path);

}  // namespace zcf
