// "allow" and "deny": the parent's word on a delete or rename the platform holds until it hears
// it (ACK_DELETE, ACK_RENAME). A refusal carries STATUS_CLOUD_FILE_ACCESS_DENIED, so the program
// that tried sees "Access to the cloud file is denied." (ERROR_CLOUD_FILE_ACCESS_DENIED).
#include "common/args.h"
#include "hydration/hydration.h"
#include "hydration/pending.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <optional>

namespace zcf {

namespace json = boost::json;

namespace {

Outcome answer(const json::value& request, bool allow) {
    const std::uint64_t id = u64_arg(request, "req");
    const std::optional<Pending> record = pending().find(id);
    if (!record) return json::value(json::object{{"stale", true}});
    if (record->kind != RequestKind::remove && record->kind != RequestKind::rename)
        return PlatformError{hr::E_INVALIDARG_CODE, nullptr};
    // One word per request: retired before the platform hears it, whatever the platform answers.
    pending().remove(id);
    const Hresult result = acknowledge(*record, allow);
    if (result < 0) return error_from_hresult(result);
    return json::value(json::object());
}

}  // namespace

Hresult acknowledge(const Pending& record, bool allow) {
    const bool rename = record.kind == RequestKind::rename;
    const OperationInfo info{
        .struct_size = OPERATION_INFO_SIZE,
        .type = rename ? OPERATION_TYPE_ACK_RENAME : OPERATION_TYPE_ACK_DELETE,
        .connection_key = record.connection_key,
        .transfer_key = record.transfer_key,
        .correlation_vector = nullptr,
        .sync_status = nullptr,
        .request_key = record.request_key,
    };
    OperationParameters parameters{};
    parameters.param_size = ACK_PARAM_SIZE;
    OperationParameters::Acknowledgement& ack = rename ? parameters.ack_rename : parameters.ack_delete;
    ack.flags = 0;
    ack.completion_status = allow ? 0 : STATUS_CLOUD_FILE_ACCESS_DENIED_CODE;
    return platform().execute(&info, &parameters);
}

Outcome cmd_allow(const json::value& request) { return answer(request, true); }
Outcome cmd_deny(const json::value& request) { return answer(request, false); }

}  // namespace zcf
