// platform: portable text conversions shared by the core and the platform implementations:
// UTF-8 validation and decoding, UTF-8 to UTF-16 and UTF-16 to UTF-8. No OS calls live here.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zcf {

// Length of the well-formed UTF-8 sequence starting at `p` (`left` bytes available), or 0 when
// the bytes there form a maximal invalid subsequence, whose length is then in `*invalid_length`.
std::size_t utf8_sequence_length(const unsigned char* p, std::size_t left, std::size_t* invalid_length);
// The code point of the well-formed UTF-8 sequence of `n` bytes at `p`.
char32_t decode_utf8_sequence(const unsigned char* p, std::size_t n);
// Appends the UTF-8 encoding of the scalar value `c`.
void append_utf8(std::string& out, char32_t c);

// True when `bytes` is well-formed UTF-8 (no overlongs, surrogates or values above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);
// UTF-8 bytes to UTF-8 text with one U+FFFD for each maximal invalid subsequence.
std::string decode_utf8_lossy(const void* bytes, std::size_t length);

// Appends the UTF-16 units of UTF-8 `text` to `out`, one U+FFFD for each maximal invalid
// subsequence. Embedded NULs are copied like any other character.
void append_utf8_as_utf16(std::u16string& out, std::string_view text);
// UTF-8 to UTF-16, each maximal invalid subsequence replaced by U+FFFD.
std::u16string utf8_to_utf16_lossy(std::string_view text);

// UTF-16 to UTF-8, each unpaired surrogate replaced by U+FFFD.
std::string utf16_to_utf8_lossy(std::u16string_view text);
// Appends the UTF-8 of `text` to `out`, each unpaired surrogate replaced by U+FFFD.
void append_utf16_as_utf8_lossy(std::string& out, std::u16string_view text);
// UTF-16 to UTF-8; false (and `out` empty) when the text holds an unpaired surrogate.
bool utf16_to_utf8_strict(std::u16string_view text, std::string& out);
// A NUL-terminated UTF-16 string; null gives the empty view.
std::u16string_view null_terminated(const char16_t* text);

}  // namespace zcf
