// "entries": the parent's answer to a "list" event, the children of a folder that was not filled,
// handed to the platform as one TRANSFER_PLACEHOLDERS operation that also marks the folder
// filled; "fail" of a listing hands over a failure instead and leaves the folder as it was.
#include "common/args.h"
#include "common/placeholder_items.h"
#include "hydration/hydration.h"
#include "hydration/pending.h"
#include "platform/platform.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <optional>

namespace zcf {

namespace json = boost::json;

namespace {

Hresult transfer_placeholders(const Pending& record, std::int32_t completion_status, std::uint32_t flags,
                              PlaceholderCreateInfo* records, std::uint32_t count) {
    const OperationInfo info{
        .struct_size = OPERATION_INFO_SIZE,
        .type = OPERATION_TYPE_TRANSFER_PLACEHOLDERS,
        .connection_key = record.connection_key,
        .transfer_key = record.transfer_key,
        .correlation_vector = nullptr,
        .sync_status = nullptr,
        .request_key = record.request_key,
    };
    // No children still goes with a valid array pointer, as an empty identity does.
    PlaceholderCreateInfo none{};
    OperationParameters parameters{};
    parameters.param_size = TRANSFER_PLACEHOLDERS_PARAM_SIZE;
    parameters.transfer_placeholders.flags = flags;
    parameters.transfer_placeholders.completion_status = completion_status;
    parameters.transfer_placeholders.placeholder_total_count = count;
    parameters.transfer_placeholders.placeholder_array = count > 0 ? records : &none;
    parameters.transfer_placeholders.placeholder_count = count;
    parameters.transfer_placeholders.entries_processed = 0;
    return platform().execute(&info, &parameters);
}

}  // namespace

Hresult fail_listing(const Pending& record) {
    return transfer_placeholders(record, STATUS_CLOUD_FILE_UNSUCCESSFUL_CODE, 0, nullptr, 0);
}

Outcome cmd_entries(const json::value& request) {
    const std::uint64_t id = u64_arg(request, "req");
    const std::optional<Pending> record = pending().find(id);
    if (!record) return json::value(json::object{{"stale", true}});
    if (record->kind != RequestKind::list) return PlatformError{hr::E_INVALIDARG_CODE, nullptr};

    const json::array& items = list_arg(request, "items");
    PlaceholderBatch batch;
    for (const json::value& item : items) batch.add(item);
    PlaceholderCreateInfo* records = batch.records();
    // Every child in one operation, each with its own result; the folder counts as filled from now
    // on, also when some children failed (the parent may still "create" them).
    const Hresult result = transfer_placeholders(*record, 0, transfer_placeholders_flag::DISABLE_ON_DEMAND_POPULATION,
                                                 records, static_cast<std::uint32_t>(batch.size()));
    if (result < 0) return error_from_hresult(result);  // kept: the parent may answer again or "fail"
    pending().remove(id);

    json::array failed;
    for (std::size_t k = 0; k < batch.size(); ++k)
        if (records[k].result < 0) failed.emplace_back(placeholder_failure(record->path, items[k], records[k].result));
    return json::value(json::object{{"failed", std::move(failed)}});
}

}  // namespace zcf
