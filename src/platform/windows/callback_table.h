// platform/windows: the Cloud Files callback table handed to CfConnectSyncRoot. Its functions are
// trampolines that turn CF_CALLBACK_INFO / CF_CALLBACK_PARAMETERS into the core's portable
// CallbackInfo / CallbackParameters and call the core's function for that callback type. Only the
// callback translation lives here.
#pragma once

#include "platform/cloud_types.h"
#include "platform/windows/cfapi_abi.h"

namespace zcf::windows {

// Builds a fresh native table on the heap for the core's `table` (ended by callback_type::NONE):
// one entry per core entry, same type and order, each with the trampoline of its type, then the
// terminator {CF_CALLBACK_TYPE_NONE, null}. The table is never freed: the platform may use it for
// as long as the process lives. From now on, callbacks of each listed type go to the core function
// given here (the latest connect decides for every connection; the core registers the same
// functions each time). Returns null, building nothing, when a type is not a Cloud Files
// callback type.
const cf::CF_CALLBACK_REGISTRATION* build_callback_table(const CallbackRegistration* table);

}  // namespace zcf::windows
