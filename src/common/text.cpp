#include "common/text.h"

namespace zcf {

namespace {

bool is_white_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t begin = 0, end = text.size();
    while (begin < end) {
        std::size_t invalid;
        const std::size_t len = utf8_sequence_length(p + begin, end - begin, &invalid);
        if (len == 0 || !is_white_space(decode_utf8_sequence(p + begin, len))) break;
        begin += len;
    }
    while (end > begin) {
        // Step back to the start of the last character.
        std::size_t start = end - 1;
        while (start > begin && (p[start] & 0xC0) == 0x80 && end - start < 4) --start;
        std::size_t invalid;
        const std::size_t len = utf8_sequence_length(p + start, end - start, &invalid);
        if (len != end - start || !is_white_space(decode_utf8_sequence(p + start, len))) break;
        end = start;
    }
    return text.substr(begin, end - begin);
}

std::u16string wide(std::string_view text) {
    std::u16string out;
    out.reserve(text.size() + 1);
    append_wide(out, text);
    out.push_back(u'\0');
    return out;
}

std::u16string wide_counted(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    append_wide(out, text);
    return out;
}

// Request text is valid UTF-8; the replacement of invalid bytes only guards internal callers.
void append_wide(std::u16string& out, std::string_view text) { append_utf8_as_utf16(out, text); }

}  // namespace zcf
