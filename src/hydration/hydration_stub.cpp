// Not built yet: every command answers E_NOTIMPL until its implementation lands.
#include "hydration/hydration.h"

namespace zcf {

Outcome cmd_data(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_fail(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_hydrate(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
void on_fetch_data(const CallbackInfo*, const CallbackParameters*) {}
void on_cancel_fetch(const CallbackInfo*, const CallbackParameters*) {}
void on_open_completion(const CallbackInfo*, const CallbackParameters*) {}

}  // namespace zcf
