// Not built yet: every command answers E_NOTIMPL until its implementation lands.
#include "syncroot/syncroot.h"

namespace zcf {

Outcome cmd_register(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_unregister(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_connect(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_disconnect(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }

}  // namespace zcf
