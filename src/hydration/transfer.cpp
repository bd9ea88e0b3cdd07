// "data" and "fail": the parent's answers to fetch requests, handed to the platform as
// TRANSFER_DATA operations with the keys recorded for the request ("fail" of a listing goes to
// the listing's own failure); "progress": the parent's word that a fetch is under way, reported
// with the same keys. An answer meant for another kind of request is refused and changes nothing.
#include "common/args.h"
#include "hydration/base64.h"
#include "hydration/hydration.h"
#include "hydration/pending.h"
#include "platform/platform.h"

#include <boost/json/object.hpp>

#include <limits>
#include <memory>
#include <new>
#include <optional>

namespace zcf {

namespace json = boost::json;

namespace {

constexpr std::int32_t STATUS_SUCCESS_CODE = 0;

// a + b, held at the int64 limits instead of overflowing.
std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t MIN = std::numeric_limits<std::int64_t>::min();
    if (b > 0 && a > MAX - b) return MAX;
    if (b < 0 && a < MIN - b) return MIN;
    return a + b;
}

// Where the platform's need ends: never past the end of the file.
std::int64_t required_end(const Pending& record) {
    return std::min(record.file_size, saturating_add(record.offset, record.length));
}

Hresult execute_transfer(const Pending& record, std::int32_t completion_status, const void* buffer,
                         std::int64_t offset, std::int64_t length) {
    const OperationInfo info{
        .struct_size = OPERATION_INFO_SIZE,
        .type = OPERATION_TYPE_TRANSFER_DATA,
        .connection_key = record.connection_key,
        .transfer_key = record.transfer_key,
        .correlation_vector = nullptr,
        .sync_status = nullptr,
        .request_key = record.request_key,
    };
    OperationParameters parameters{};
    parameters.param_size = TRANSFER_DATA_PARAM_SIZE;
    parameters.transfer_data.flags = 0;
    parameters.transfer_data.completion_status = completion_status;
    parameters.transfer_data.buffer = buffer;
    parameters.transfer_data.offset = offset;
    parameters.transfer_data.length = length;
    return platform().execute(&info, &parameters);
}

json::value stale() {
    json::object result;
    result["stale"] = true;
    return result;
}

json::value done() { return json::object(); }

PlatformError wrong_kind() { return PlatformError{hr::E_INVALIDARG_CODE, nullptr}; }

// A byte count: a JSON integer from 0 to the int64 limit; nothing otherwise (absent included).
std::optional<std::int64_t> byte_count(const json::value& request, std::string_view key) {
    const json::value* v = find_arg(request, key);
    if (v == nullptr) return std::nullopt;
    if (v->is_int64() && v->get_int64() >= 0) return v->get_int64();
    if (v->is_uint64() && v->get_uint64() <= std::uint64_t(std::numeric_limits<std::int64_t>::max()))
        return static_cast<std::int64_t>(v->get_uint64());
    return std::nullopt;
}

}  // namespace

Hresult fail_transfer(const Pending& record) {
    return execute_transfer(record, STATUS_NOT_A_CLOUD_FILE_CODE, nullptr, record.offset, record.length);
}

Outcome cmd_data(const json::value& request) {
    const std::uint64_t id = u64_arg(request, "req");
    const std::optional<Pending> record = pending().find(id);
    if (!record) return stale();
    if (record->kind != RequestKind::fetch) return wrong_kind();

    // Content that is missing or not strict Base64 is refused: sending zero bytes instead could
    // retire a fetch whose bytes never arrived.
    const json::value* b64 = find_arg(request, "b64");
    if (b64 == nullptr || !b64->is_string()) return PlatformError{hr::E_INVALIDARG_CODE, nullptr};
    const json::string& text = b64->get_string();
    const std::string_view symbols(text.data(), text.size());
    const std::optional<std::size_t> size = strict_base64_size(symbols);
    if (!size) return PlatformError{hr::E_INVALIDARG_CODE, nullptr};

    // Decoded once, straight from the request's string into the buffer the platform reads.
    std::unique_ptr<std::uint8_t[]> content(new (std::nothrow) std::uint8_t[*size]);
    if (!content) return PlatformError{hr::E_OUTOFMEMORY_CODE, nullptr};
    if (!strict_base64_decode(symbols, content.get())) return PlatformError{hr::E_INVALIDARG_CODE, nullptr};

    const std::int64_t offset = i64_arg(request, "offset");
    const auto length = static_cast<std::int64_t>(*size);
    const Hresult result = execute_transfer(*record, STATUS_SUCCESS_CODE, content.get(), offset, length);
    if (result < 0) return error_from_hresult(result);  // kept: the chunk may be sent again

    // The request retires once its chunks cover the whole required range. Chunks sent in order
    // retire it at the one that reaches the required end; chunks sent out of order are not
    // turned away as stale while bytes before them are still missing.
    pending().deliver(id, offset, saturating_add(offset, length), record->offset, required_end(*record));
    return done();
}

Outcome cmd_fail(const json::value& request) {
    const std::uint64_t id = u64_arg(request, "req");
    const std::optional<Pending> record = pending().find(id);
    if (!record) return stale();
    if (record->kind != RequestKind::fetch && record->kind != RequestKind::list) return wrong_kind();
    // Retired before the platform hears of it; a fetch's failure covers the whole range asked for.
    pending().remove(id);
    const Hresult result = record->kind == RequestKind::list ? fail_listing(*record) : fail_transfer(*record);
    if (result < 0) return error_from_hresult(result);
    return done();
}

Outcome cmd_progress(const json::value& request) {
    const std::optional<Pending> record = pending().find(u64_arg(request, "req"));
    if (!record) return stale();
    if (record->kind != RequestKind::fetch) return wrong_kind();
    const std::optional<std::int64_t> total = byte_count(request, "total");
    const std::optional<std::int64_t> completed = byte_count(request, "completed");
    if (!total || !completed || *completed > *total) return PlatformError{hr::E_INVALIDARG_CODE, nullptr};
    // Restarts the platform's timeout of the fetch; the request stays outstanding either way.
    const Hresult result =
        platform().report_provider_progress(record->connection_key, record->transfer_key, *total, *completed);
    if (result < 0) return error_from_hresult(result);
    return done();
}

}  // namespace zcf
