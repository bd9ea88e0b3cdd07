// platform/windows: error texts. The error-information object a failing COM or Windows Runtime
// call leaves on the thread (IErrorInfo, possibly offering IRestrictedErrorInfo), and the system's
// message for an HRESULT (FormatMessageW, with NT-facility codes looked up in ntdll's table).
#pragma once

#include "platform/error.h"

#include <oaidl.h>

#include <string>

namespace zcf::windows {

// Wraps an IErrorInfo whose reference the caller hands over (null gives null).
ErrorInfoPtr wrap_error_info(IErrorInfo* owned);
// GetErrorInfo: takes (and so clears) the calling thread's error-information object, or null.
ErrorInfoPtr take_thread_error_info();
// The system's message for `code`, untrimmed; empty when the system has none.
std::u16string system_message_text(Hresult code);

}  // namespace zcf::windows
