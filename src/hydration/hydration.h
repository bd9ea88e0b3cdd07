// The provider's service: hydration ("data", "fail", "progress", "hydrate"), folders on demand
// ("entries", and "fail" of a listing), confirmed deletes and renames ("allow", "deny"), and the
// Cloud Files callbacks that ask for them.
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
Outcome cmd_entries(const boost::json::value& request);
Outcome cmd_allow(const boost::json::value& request);
Outcome cmd_deny(const boost::json::value& request);
// The hydrate workers started so far (at most a small fixed number).
std::size_t hydrate_threads();

// Fails the platform's wait for `record` over its whole required range (TRANSFER_DATA with a
// failure status and no data) and returns the platform's answer.
Hresult fail_transfer(const Pending& record);
// Fails the platform's wait for the children of the listed folder of `record`
// (TRANSFER_PLACEHOLDERS with a failure status and no placeholders); the folder stays unfilled.
Hresult fail_listing(const Pending& record);
// Lets the delete or rename of `record` go on, or refuses it (ACK_DELETE / ACK_RENAME).
Hresult acknowledge(const Pending& record, bool allow);

// The callbacks that "connect" registers. No exception leaves them: they run on the platform's
// threads.
void on_fetch_data(const CallbackInfo* info, const CallbackParameters* parameters);
void on_cancel_fetch(const CallbackInfo* info, const CallbackParameters* parameters);
void on_open_completion(const CallbackInfo* info, const CallbackParameters* parameters);
void on_fetch_placeholders(const CallbackInfo* info, const CallbackParameters* parameters);
void on_cancel_fetch_placeholders(const CallbackInfo* info, const CallbackParameters* parameters);
void on_notify_delete(const CallbackInfo* info, const CallbackParameters* parameters);
void on_notify_rename(const CallbackInfo* info, const CallbackParameters* parameters);

}  // namespace zcf
