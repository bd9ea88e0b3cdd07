// Not built yet: every command answers E_NOTIMPL until its implementation lands.
#include "placeholders/placeholders.h"

namespace zcf {

Outcome cmd_create(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_pin(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_dehydrate(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_attrs(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_adopt(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }
Outcome cmd_scan(const boost::json::value&) { return PlatformError{hr::E_NOTIMPL_CODE, nullptr}; }

}  // namespace zcf
