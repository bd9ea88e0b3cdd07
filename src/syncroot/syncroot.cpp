// "register", "unregister": the sync-root registration kept by the operating system.
// "connect", "disconnect": this process as the provider of a registered sync root.
#include "syncroot/syncroot.h"

#include "common/args.h"
#include "common/text.h"
#include "platform/platform.h"

#include <atomic>
#include <memory>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zcf {

namespace json = boost::json;

namespace {

constexpr std::string_view DEFAULT_NAME = "Zembra Sync";
constexpr std::string_view DEFAULT_ICON = "%SystemRoot%\\system32\\imageres.dll,-1043";
constexpr std::string_view DEFAULT_VERSION = "1";
// The registration's context: the ASCII bytes of "zembra", no terminator.
constexpr std::uint8_t CONTEXT[] = {'z', 'e', 'm', 'b', 'r', 'a'};

constexpr std::int32_t HYDRATION_POLICY_PROGRESSIVE = 1;
constexpr std::uint32_t HYDRATION_MODIFIER_AUTO_DEHYDRATION_ALLOWED = 4;
constexpr std::uint32_t IN_SYNC_POLICY_PRESERVE_FOR_SYNC_ENGINE = 0x80000000u;
constexpr std::uint32_t HARDLINK_POLICY_NONE = 0;

constexpr std::uint32_t CONNECT_FLAGS =
    connect_flag::REQUIRE_PROCESS_INFO | connect_flag::REQUIRE_FULL_FILE_PATH;

// The connection key of the last successful "connect", until "disconnect" takes it, with its
// watch when it was asked for. The watches of connections whose keys were forgotten keep running
// (so do those connections) until the process ends.
struct Connection {
    std::mutex lock;
    std::optional<ConnectionKey> key;
    std::unique_ptr<WatchSession> watch;
    std::vector<std::unique_ptr<WatchSession>> earlier_watches;
};

// Never destroyed: it must outlive every thread that might still be running at exit.
Connection& connection() {
    static Connection* const CONNECTION = new Connection();
    return *CONNECTION;
}

// The callback table handed to the platform by one "connect". The platform may call through it
// for the rest of the process's life, so tables are never released; each links to the one built
// before it so that all of them stay reachable.
struct CallbackTable {
    CallbackRegistration entries[8];
    CallbackTable* previous;
};
std::atomic<CallbackTable*> CALLBACK_TABLES{nullptr};

// What "confirm" asks for: the platform's word before a delete, a rename.
struct Confirmations {
    bool deletes = false;
    bool renames = false;
};

Confirmations confirmations_of(const json::value& request) {
    Confirmations c;
    for (const json::value& entry : list_arg(request, "confirm")) {
        if (!entry.is_string()) continue;
        if (entry.get_string() == "delete") c.deletes = true;
        if (entry.get_string() == "rename") c.renames = true;
    }
    return c;
}

const CallbackRegistration* new_callback_table(const ProviderCallbacks& callbacks, Confirmations confirm) {
    auto* table = new CallbackTable{
        {
            {callback_type::FETCH_DATA, callbacks.fetch_data},
            {callback_type::CANCEL_FETCH_DATA, callbacks.cancel_fetch},
            {callback_type::NOTIFY_FILE_OPEN_COMPLETION, callbacks.open_completion},
            {callback_type::FETCH_PLACEHOLDERS, callbacks.fetch_placeholders},
            {callback_type::CANCEL_FETCH_PLACEHOLDERS, callbacks.cancel_fetch_placeholders},
        },
        CALLBACK_TABLES.load(std::memory_order_relaxed)};
    std::size_t end = 5;
    if (confirm.deletes) table->entries[end++] = {callback_type::NOTIFY_DELETE, callbacks.notify_delete};
    if (confirm.renames) table->entries[end++] = {callback_type::NOTIFY_RENAME, callbacks.notify_rename};
    table->entries[end] = {callback_type::NONE, nullptr};
    while (!CALLBACK_TABLES.compare_exchange_weak(table->previous, table, std::memory_order_release,
                                                  std::memory_order_relaxed)) {
    }
    return table->entries;
}

}  // namespace

Outcome cmd_register(const json::value& request) {
    // Whole texts, NULs included: they become Windows Runtime strings, which carry their length.
    const std::u16string root = wide_counted(text_arg(request, "root"));
    const std::u16string id = wide_counted(text_arg(request, "id"));
    const std::u16string name = wide_counted(text_arg(request, "name", DEFAULT_NAME));
    const std::u16string icon = wide_counted(text_arg(request, "icon", DEFAULT_ICON));
    const std::u16string version = wide_counted(text_arg(request, "version", DEFAULT_VERSION));
    const bool on_demand = text_arg(request, "population") == "onDemand";

    const SyncRootRegistration registration{
        .id = id,
        .path = root,
        .display_name_resource = name,
        .icon_resource = icon,
        .hydration_policy = HYDRATION_POLICY_PROGRESSIVE,
        .hydration_policy_modifier = HYDRATION_MODIFIER_AUTO_DEHYDRATION_ALLOWED,
        .population_policy = on_demand ? population_policy::FULL : population_policy::ALWAYS_FULL,
        .in_sync_policy = IN_SYNC_POLICY_PRESERVE_FOR_SYNC_ENGINE,
        .hardlink_policy = HARDLINK_POLICY_NONE,
        .show_siblings_as_group = false,
        .version = version,
        .context = CONTEXT,
        .context_length = sizeof CONTEXT,
    };
    PlatformError status = platform().register_sync_root(registration);
    if (status.failed()) return status;
    return json::value(json::object());
}

Outcome cmd_unregister(const json::value& request) {
    const std::u16string id = wide_counted(text_arg(request, "id"));
    PlatformError status = platform().unregister_sync_root(id);
    if (status.failed()) return status;
    return json::value(json::object());
}

Outcome cmd_connect(const json::value& request, const ProviderCallbacks& callbacks, StateReader read_state) {
    const std::string_view root_text = text_arg(request, "root");
    const std::u16string root = wide(root_text);
    const json::value* watch_arg = find_arg(request, "watch");
    const bool watch = watch_arg != nullptr && watch_arg->is_bool() && watch_arg->get_bool();
    const CallbackRegistration* table = new_callback_table(callbacks, confirmations_of(request));
    ConnectionKey key = 0;
    const Hresult result = platform().connect_sync_root(root.c_str(), table, nullptr, CONNECT_FLAGS, &key);
    if (result < 0) return error_from_hresult(result);
    std::unique_ptr<WatchSession> session;
    if (watch) {
        // All or nothing: a connection whose watch cannot start is ended again.
        Expected<std::unique_ptr<WatchSession>> started = WatchSession::start(root_text, read_state);
        if (!started.ok()) {
            (void)platform().disconnect_sync_root(key);
            return std::move(started.error());
        }
        session = std::move(started.value());
    }
    Connection& c = connection();
    {
        // An earlier connection stays connected; only its key is forgotten.
        std::lock_guard<std::mutex> guard(c.lock);
        c.key = key;
        if (c.watch) c.earlier_watches.push_back(std::move(c.watch));
        c.watch = std::move(session);
    }
    return json::value(json::object());
}

Outcome cmd_info(const json::value&) {
    Platform& os = platform();
    json::object result;
    result["frontEnd"] = json::string(os.front_end());
    result["platform"] = json::string(os.platform_name());
    result["version"] = ZCF_VERSION;
    return json::value(std::move(result));
}

Outcome cmd_disconnect(const json::value&) {
    Connection& c = connection();
    std::lock_guard<std::mutex> guard(c.lock);
    const std::optional<ConnectionKey> key = std::exchange(c.key, std::nullopt);
    if (!key) return json::value(json::object());
    // The watch ends first, its last events written, so that nothing follows the answer.
    c.watch.reset();
    // The key stays taken even when the platform refuses: it is no longer this process's to use.
    const Hresult result = platform().disconnect_sync_root(*key);
    if (result < 0) return error_from_hresult(result);
    return json::value(json::object());
}

}  // namespace zcf
