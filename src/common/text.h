// Text conversions shared by every command: UTF-8 in the core, UTF-16 at the platform boundary.
// The conversions themselves (validation, lossy decoding, UTF-16 to UTF-8) live in
// platform/unicode.h, which the platform implementations share; this header adds the command
// channel's helpers.
#pragma once

#include "platform/unicode.h"

#include <string>
#include <string_view>

namespace zcf {

// Removes Unicode White_Space characters from both ends of valid UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);

// Request text to NUL-terminated UTF-16: the units of the text, then one 0 unit (part of the
// returned string's size). Embedded NULs are copied like any other character.
std::u16string wide(std::string_view text);
// Request text to UTF-16 without a terminating 0 unit, for the platform calls that take text with
// its length. Embedded NULs are copied like any other character.
std::u16string wide_counted(std::string_view text);
// Appends the UTF-16 units of `text` to `out`, without a terminating 0 unit.
void append_wide(std::u16string& out, std::string_view text);

}  // namespace zcf
