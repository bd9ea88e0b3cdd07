// platform/sim: the English system messages Windows gives for the codes the simulation produces.
#pragma once

#include "platform/error.h"

#include <string>

namespace zcf::sim {

// The message FormatMessageW would return for `code` (with its CR LF), or empty when unknown.
std::u16string system_message_text(Hresult code);

}  // namespace zcf::sim
