// Sync-root commands: "register", "unregister", "connect", "disconnect".
#pragma once

#include "dispatch/outcome.h"

#include <boost/json/value.hpp>

namespace zcf {

Outcome cmd_register(const boost::json::value& request);
Outcome cmd_unregister(const boost::json::value& request);
Outcome cmd_connect(const boost::json::value& request);
Outcome cmd_disconnect(const boost::json::value& request);

}  // namespace zcf
