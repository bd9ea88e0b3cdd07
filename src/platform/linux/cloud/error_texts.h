// platform/linux/cloud: the English system messages Windows gives for the codes this platform
// produces.
#pragma once

#include "platform/error.h"

#include <string>

namespace zcf::linux_platform {

// The message FormatMessageW would return for `code` (with its CR LF), or empty when unknown.
std::u16string system_message_text(Hresult code);

}  // namespace zcf::linux_platform
