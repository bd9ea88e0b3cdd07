// Sync-root commands: "register", "unregister", "connect", "disconnect".
#pragma once

#include "common/outcome.h"
#include "syncroot/change_reporter.h"
#include "platform/cloud_types.h"

#include <boost/json/value.hpp>

namespace zcf {

Outcome cmd_register(const boost::json::value& request);
Outcome cmd_unregister(const boost::json::value& request);
// The provider's callbacks that "connect" registers. The dispatcher supplies them (they belong
// to the hydration service), so that this directory depends on no other command's.
struct ProviderCallbacks {
    CallbackFunction fetch_data;
    CallbackFunction cancel_fetch;
    CallbackFunction open_completion;
    CallbackFunction fetch_placeholders;
    CallbackFunction cancel_fetch_placeholders;
    CallbackFunction notify_delete;
    CallbackFunction notify_rename;
};
// With "watch": true, the root's changes are reported as events until "disconnect"; `read_state`
// gives the state that "changed" events carry. The listing callbacks are always registered (only a
// folder that is not filled calls them); the delete and rename notifications only as "confirm"
// asks, since the platform holds the operation until they are answered.
Outcome cmd_connect(const boost::json::value& request, const ProviderCallbacks& callbacks, StateReader read_state);
Outcome cmd_disconnect(const boost::json::value& request);
// {"frontEnd", "platform", "version"}: what the parent may rely on.
Outcome cmd_info(const boost::json::value& request);

}  // namespace zcf
