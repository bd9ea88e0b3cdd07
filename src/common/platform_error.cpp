// Turning platform failures into errors, and errors into the "code" and "error" texts.
#include "common/outcome.h"
#include "common/text.h"
#include "platform/platform.h"

#include <cstdio>

namespace zcf {

PlatformError error_from_hresult(Hresult code) { return {code, platform().take_error_info()}; }

PlatformError error_from_last_error() { return {hresult_from_win32(platform().last_error()), nullptr}; }

std::string error_code_text(Hresult code) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%x", static_cast<unsigned>(static_cast<std::uint32_t>(code)));
    return buffer;
}

std::string error_message_text(const PlatformError& error) {
    std::u16string message =
        error.info ? error.info->description() : platform().system_message(error.code);
    // System messages end in CR LF; drop trailing white space of the ASCII range.
    while (!message.empty() && (message.back() == u' ' || (message.back() >= 9 && message.back() <= 13)))
        message.pop_back();
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(static_cast<std::uint32_t>(error.code)));
    if (message.empty()) return code;
    std::string text = utf16_to_utf8_lossy(message);
    text += " (";
    text += code;
    text += ')';
    return text;
}

}  // namespace zcf
