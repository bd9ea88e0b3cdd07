#include "support/mock_platform.h"

#include "common/text.h"

namespace zcf::testing {

std::string utf8(const char16_t* text) { return utf16_to_utf8_lossy(null_terminated(text)); }
std::string utf8(std::u16string_view text) { return utf16_to_utf8_lossy(text); }

}  // namespace zcf::testing
