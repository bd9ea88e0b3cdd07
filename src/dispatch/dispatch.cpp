#include "dispatch/dispatch.h"

#include "common/args.h"
#include "hydration/hydration.h"
#include "placeholders/placeholder_info.h"
#include "placeholders/placeholders.h"
#include "syncroot/syncroot.h"

#include <array>

namespace zcf {

namespace json = boost::json;

namespace {

// "connect" registers the hydration service's callbacks; its "changed" events carry what "attrs"
// answers.
Outcome connect(const json::value& request) {
    static constexpr ProviderCallbacks CALLBACKS{on_fetch_data,         on_cancel_fetch,
                                                on_open_completion,    on_fetch_placeholders,
                                                on_cancel_fetch_placeholders, on_notify_delete,
                                                on_notify_rename};
    return cmd_connect(request, CALLBACKS, attrs);
}

// Exact, case-sensitive names. Short enough that a linear pass with the length test first is
// as fast as any map.
constexpr std::array<Command, 21> COMMANDS{{
    {"register", cmd_register},
    {"unregister", cmd_unregister},
    {"connect", connect},
    {"disconnect", cmd_disconnect},
    {"info", cmd_info},
    {"create", cmd_create},
    {"pin", cmd_pin},
    {"dehydrate", cmd_dehydrate},
    {"attrs", cmd_attrs},
    {"adopt", cmd_adopt},
    {"scan", cmd_scan},
    {"update", cmd_update},
    {"insync", cmd_insync},
    {"revert", cmd_revert},
    {"data", cmd_data},
    {"fail", cmd_fail},
    {"progress", cmd_progress},
    {"hydrate", cmd_hydrate},
    {"entries", cmd_entries},
    {"allow", cmd_allow},
    {"deny", cmd_deny},
}};

}  // namespace

const Command* find_command(std::string_view name) {
    if (name.size() < 3 || name.size() > 10) return nullptr;
    for (const Command& command : COMMANDS)
        if (command.name.size() == name.size() && command.name == name) return &command;
    return nullptr;
}

Outcome handle(const json::value& request) {
    const std::string_view name = text_arg(request, "cmd");
    if (const Command* command = find_command(name)) return command->run(request);
    json::object result;
    result["unknown"] = json::string(name);
    return json::value(std::move(result));
}

}  // namespace zcf
