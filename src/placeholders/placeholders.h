// Placeholder commands: "create", "pin", "dehydrate", "attrs", "adopt", "scan", "update", "insync",
// "revert".
#pragma once

#include "common/outcome.h"

#include <boost/json/value.hpp>

#include <string_view>

namespace zcf {

Outcome cmd_create(const boost::json::value& request);
Outcome cmd_pin(const boost::json::value& request);
Outcome cmd_dehydrate(const boost::json::value& request);
Outcome cmd_attrs(const boost::json::value& request);
Outcome cmd_adopt(const boost::json::value& request);
Outcome cmd_scan(const boost::json::value& request);
Outcome cmd_update(const boost::json::value& request);
Outcome cmd_insync(const boost::json::value& request);
Outcome cmd_revert(const boost::json::value& request);

// The listing behind "scan": {"onlineOnly", "pinned", "unpinned"} of the tree below `root`.
boost::json::value scan(std::string_view root);

}  // namespace zcf
