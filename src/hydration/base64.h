// Strict Base64 (RFC 4648 section 4, standard alphabet) for the content of "data" requests:
// padded to a multiple of four with one or two "=" at the very end only, zero bits after the data
// in the last symbol, nothing outside the alphabet (no white space, no line breaks).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace zcf {

// The number of bytes `text` decodes to, when its length, padding and final symbol are those of
// strict Base64; nullopt otherwise. The symbols before the final one are checked by the decoding.
std::optional<std::size_t> strict_base64_size(std::string_view text);

// Decodes `text`, which strict_base64_size accepted, into `out` (room for exactly that many
// bytes). False when a character outside the alphabet (or a misplaced "=") is met.
bool strict_base64_decode(std::string_view text, void* out);

}  // namespace zcf
