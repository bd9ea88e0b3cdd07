#include "hydration/base64.h"

#include <boost/beast/core/detail/base64.hpp>

namespace zcf {

namespace base64 = boost::beast::detail::base64;

namespace {

std::size_t padding_of(std::string_view text) {
    if (text.size() >= 2 && text[text.size() - 2] == '=' && text.back() == '=') return 2;
    if (!text.empty() && text.back() == '=') return 1;
    return 0;
}

}  // namespace

std::optional<std::size_t> strict_base64_size(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    const std::size_t pad = padding_of(text);
    if (pad > 0) {
        // The last data symbol carries 4 (one "=") or 2 (two "=") bits that must be zero.
        const signed char value = base64::get_inverse()[static_cast<unsigned char>(text[text.size() - pad - 1])];
        if (value < 0) return std::nullopt;
        const int unused_bits = pad == 1 ? 0x03 : 0x0F;
        if ((value & unused_bits) != 0) return std::nullopt;
    }
    return base64::decoded_size(text.size()) - pad;
}

bool strict_base64_decode(std::string_view text, void* out) {
    const std::size_t symbols = text.size() - padding_of(text);
    // Beast's decoder stops at the first "=" or character outside the alphabet; the text is strict
    // only when that stop is where the padding begins.
    const auto [written, read] = base64::decode(out, text.data(), symbols);
    return read == symbols && written == base64::decoded_size(text.size()) - padding_of(text);
}

}  // namespace zcf
