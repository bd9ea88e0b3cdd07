// Hydration commands ("data", "fail", "hydrate") and the Cloud Files callbacks.
#pragma once

#include "dispatch/outcome.h"
#include "platform/cloud_types.h"

#include <boost/json/value.hpp>

namespace zcf {

Outcome cmd_data(const boost::json::value& request);
Outcome cmd_fail(const boost::json::value& request);
Outcome cmd_hydrate(const boost::json::value& request);

// The callbacks that "connect" registers.
void on_fetch_data(const CallbackInfo* info, const CallbackParameters* parameters);
void on_cancel_fetch(const CallbackInfo* info, const CallbackParameters* parameters);
void on_open_completion(const CallbackInfo* info, const CallbackParameters* parameters);

}  // namespace zcf
