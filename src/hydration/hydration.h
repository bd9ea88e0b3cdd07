// Hydration commands ("data", "fail", "progress", "hydrate") and the Cloud Files callbacks.
#pragma once

#include "common/outcome.h"
#include "platform/cloud_types.h"

#include <boost/json/value.hpp>

#include <cstdint>

namespace zcf {

struct Pending;

Outcome cmd_data(const boost::json::value& request);
Outcome cmd_fail(const boost::json::value& request);
Outcome cmd_progress(const boost::json::value& request);
Outcome cmd_hydrate(const boost::json::value& request);
// The hydrate workers started so far (at most a small fixed number).
std::size_t hydrate_threads();

// Fails the platform's wait for `record` over its whole required range (TRANSFER_DATA with a
// failure status and no data) and returns the platform's answer.
Hresult fail_transfer(const Pending& record);

// The callbacks that "connect" registers. No exception leaves them: they run on the platform's
// threads.
void on_fetch_data(const CallbackInfo* info, const CallbackParameters* parameters);
void on_cancel_fetch(const CallbackInfo* info, const CallbackParameters* parameters);
void on_open_completion(const CallbackInfo* info, const CallbackParameters* parameters);

}  // namespace zcf
