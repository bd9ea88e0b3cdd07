// platform: portable text conversions shared by the core and the platform implementations.
// No OS calls live here.
#include "platform/unicode.h"

#include <cstdint>
#include <cstring>

namespace zcf {

namespace {
constexpr const char* REPLACEMENT = "\xEF\xBF\xBD";
}

std::size_t utf8_sequence_length(const unsigned char* p, std::size_t left, std::size_t* invalid_length) {
    const unsigned char b0 = p[0];
    *invalid_length = 1;
    if (b0 < 0x80) return 1;
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < need; ++k) {
        if (k >= left) return 0;
        const unsigned char c = p[k];
        const unsigned char l = k == 1 ? lo : 0x80;
        const unsigned char h = k == 1 ? hi : 0xBF;
        if (c < l || c > h) return 0;
        *invalid_length = k + 1;
    }
    return need;
}

char32_t decode_utf8_sequence(const unsigned char* p, std::size_t n) {
    switch (n) {
        case 1: return p[0];
        case 2: return (char32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
        case 3: return (char32_t(p[0] & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        default:
            return (char32_t(p[0] & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
                   (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    }
}

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        // ASCII fast path, eight bytes at a time: the data path carries long Base64 lines.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        std::size_t invalid;
        const std::size_t len = utf8_sequence_length(p + i, n - i, &invalid);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string decode_utf8_lossy(const void* bytes, std::size_t length) {
    std::string out;
    if (bytes == nullptr || length == 0) return out;
    const auto* p = static_cast<const unsigned char*>(bytes);
    out.reserve(length);
    std::size_t i = 0;
    while (i < length) {
        std::size_t invalid;
        const std::size_t len = utf8_sequence_length(p + i, length - i, &invalid);
        if (len == 0) {
            out += REPLACEMENT;
            i += invalid;
        } else {
            out.append(reinterpret_cast<const char*>(p + i), len);
            i += len;
        }
    }
    return out;
}

void append_utf8_as_utf16(std::u16string& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t invalid;
        const std::size_t len = utf8_sequence_length(p + i, text.size() - i, &invalid);
        if (len == 0) {
            out.push_back(u'\uFFFD');
            i += invalid;
            continue;
        }
        const char32_t c = decode_utf8_sequence(p + i, len);
        if (c >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
        i += len;
    }
}

std::u16string utf8_to_utf16_lossy(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    append_utf8_as_utf16(out, text);
    return out;
}

namespace {
// Appends the conversion of `text` to `out`; in strict mode stops with false at the first unpaired
// surrogate (the caller then discards `out`).
template <bool Strict>
bool convert_utf16(std::u16string_view text, std::string& out) {
    out.reserve(out.size() + text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            if (Strict) return false;
            out += REPLACEMENT;
        } else {
            append_utf8(out, u);
        }
    }
    return true;
}
}  // namespace

std::string utf16_to_utf8_lossy(std::u16string_view text) {
    std::string out;
    convert_utf16<false>(text, out);
    return out;
}

void append_utf16_as_utf8_lossy(std::string& out, std::u16string_view text) {
    convert_utf16<false>(text, out);
}

bool utf16_to_utf8_strict(std::u16string_view text, std::string& out) {
    out.clear();
    if (convert_utf16<true>(text, out)) return true;
    out.clear();
    return false;
}

std::u16string_view null_terminated(const char16_t* text) {
    if (text == nullptr) return {};
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    return {text, n};
}

}  // namespace zcf
