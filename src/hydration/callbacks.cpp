// The Cloud Files callbacks that "connect" registers. They run on threads of the platform's
// choosing, any number at a time: they record or drop outstanding requests and report to the
// parent, and never wait for it.
#include "common/text.h"
#include "hydration/hydration.h"
#include "hydration/pending.h"
#include "common/emitter.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <string>

namespace zcf {

namespace json = boost::json;

namespace {

// Platform text for an event: absent text or text with an unpaired surrogate becomes "".
std::string event_text(const char16_t* text) {
    std::string out;
    if (text != nullptr) utf16_to_utf8_strict(null_terminated(text), out);
    return out;
}

}  // namespace

void on_fetch_data(const CallbackInfo* info, const CallbackParameters* parameters) {
    // The id is taken before the table lock, so ids may enter the table out of order.
    const std::uint64_t id = NEXT_REQUEST.fetch_add(1, std::memory_order_relaxed);
    const Pending record{
        .connection_key = info->connection_key,
        .transfer_key = info->transfer_key,
        .request_key = info->request_key,
        .file_size = info->file_size,
        .offset = parameters->required_file_offset,
        .length = parameters->required_length,
    };
    try {
        // In the table before the event goes out, so that an immediate answer finds it.
        pending().insert(id, record);

        json::object event;
        event["event"] = "fetch";
        event["fileSize"] = record.file_size;
        event["identity"] = decode_utf8_lossy(info->file_identity, info->file_identity_length);
        event["length"] = record.length;
        event["offset"] = record.offset;
        event["path"] = event_text(info->normalized_path);
        event["process"] = info->process_info != nullptr ? event_text(info->process_info->image_path) : std::string();
        event["req"] = id;
        emit(std::move(event));
    } catch (...) {
        // Recording or reporting failed (out of memory): the parent will never answer this request,
        // so it is failed now and the reader gets its error at once instead of at the time-out.
        try {
            pending().remove(id);
            fail_transfer(record);
        } catch (...) {
            // Nothing more to do: the platform's time-out ends the read.
        }
    }
}

void on_cancel_fetch(const CallbackInfo* info, const CallbackParameters*) {
    try {
        // Every outstanding request of the stream goes, whatever range the cancellation names; they
        // are gone before the event is written, so later answers for them are stale.
        const std::vector<std::uint64_t> removed = pending().remove_stream(info->transfer_key);

        json::array reqs;
        reqs.reserve(removed.size());
        for (const std::uint64_t id : removed) reqs.emplace_back(id);
        json::object event;
        event["event"] = "cancel";
        event["path"] = event_text(info->normalized_path);
        event["reqs"] = std::move(reqs);
        emit(std::move(event));
    } catch (...) {
        // Out of memory: the event is lost; the requests it names are stale or, when they could not
        // be taken out, refused by the platform and retired by the parent's "fail".
    }
}

void on_open_completion(const CallbackInfo* info, const CallbackParameters*) {
    try {
        json::object event;
        event["event"] = "opened";
        event["path"] = event_text(info->normalized_path);
        event["pid"] = info->process_info != nullptr ? info->process_info->process_id : std::uint32_t{0};
        emit(std::move(event));
    } catch (...) {
        // Out of memory: the event, informational only, is lost.
    }
}

}  // namespace zcf
