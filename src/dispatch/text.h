// Text conversions shared by every command: UTF-8 in the core, UTF-16 at the platform boundary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zcf {

// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// Removes Unicode White_Space characters from both ends of valid UTF-8 text.
std::string_view trim_unicode_whitespace(std::string_view text);

// UTF-8 bytes to UTF-8 text with one U+FFFD for each maximal invalid subsequence.
std::string decode_utf8_lossy(const void* bytes, std::size_t length);

// UTF-16 to UTF-8, each unpaired surrogate replaced by U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);
// Appends the UTF-8 of `text` to `out`, each unpaired surrogate replaced by U+FFFD.
void append_utf16_as_utf8_lossy(std::string& out, std::u16string_view text);
// UTF-16 to UTF-8; false (and `out` empty) when the text holds an unpaired surrogate.
bool utf16_to_utf8_strict(std::u16string_view text, std::string& out);
// A NUL-terminated UTF-16 string; null gives the empty view.
std::u16string_view null_terminated(const char16_t* text);

// Request text to NUL-terminated UTF-16: the units of the text, then one 0 unit (part of the
// returned string's size). Embedded NULs are copied like any other character.
std::u16string wide(std::string_view text);
// Appends the UTF-16 units of `text` to `out`, without a terminating 0 unit.
void append_wide(std::u16string& out, std::string_view text);

}  // namespace zcf
