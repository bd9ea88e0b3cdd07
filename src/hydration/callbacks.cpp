// The Cloud Files callbacks that "connect" registers. They run on threads of the platform's
// choosing, any number at a time: they record or drop outstanding requests and report to the
// parent, and never wait for it. Fetches, listings and confirmations take their ids from one
// counter and live in one table, so "cancel" and stale answers work alike for all of them.
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

std::string process_text(const CallbackInfo* info) {
    return info->process_info != nullptr ? event_text(info->process_info->image_path) : std::string();
}

std::string identity_text(const CallbackInfo* info) {
    return decode_utf8_lossy(info->file_identity, info->file_identity_length);
}

Pending record_of(const CallbackInfo* info, RequestKind kind) {
    Pending record{};
    record.connection_key = info->connection_key;
    record.transfer_key = info->transfer_key;
    record.request_key = info->request_key;
    record.kind = kind;
    return record;
}

// Drops every request of `kind` on the cancelled stream and says which, in a "cancel" event.
void report_cancel(const CallbackInfo* info, RequestKind kind) {
    try {
        // Every outstanding request of the stream goes, whatever range the cancellation names; they
        // are gone before the event is written, so later answers for them are stale.
        const std::vector<std::uint64_t> removed = pending().remove_stream(info->transfer_key, kind);

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

// Records a delete or rename that waits for the parent's word and asks for it with `event`
// (completed here with the request id). When that cannot be done, the operation is refused at
// once: the parent never heard of it, and a refusal loses nothing.
void ask_confirmation(Pending record, json::object& event) {
    const std::uint64_t id = NEXT_REQUEST.fetch_add(1, std::memory_order_relaxed);
    try {
        pending().insert(id, record);
        event["req"] = id;
        emit(std::move(event));
    } catch (...) {
        try {
            pending().remove(id);
            acknowledge(record, false);
        } catch (...) {
            // Nothing more to do: the platform's time-out ends the operation.
        }
    }
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
        event["identity"] = identity_text(info);
        event["length"] = record.length;
        event["offset"] = record.offset;
        event["path"] = event_text(info->normalized_path);
        event["process"] = process_text(info);
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

void on_cancel_fetch(const CallbackInfo* info, const CallbackParameters*) { report_cancel(info, RequestKind::fetch); }

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

void on_fetch_placeholders(const CallbackInfo* info, const CallbackParameters* parameters) {
    const std::uint64_t id = NEXT_REQUEST.fetch_add(1, std::memory_order_relaxed);
    Pending record = record_of(info, RequestKind::list);
    try {
        record.path = event_text(info->normalized_path);
        // In the table before the event goes out, so that an immediate answer finds it.
        pending().insert(id, record);

        json::object event;
        event["event"] = "list";
        event["identity"] = identity_text(info);
        event["path"] = record.path;
        event["pattern"] = event_text(parameters != nullptr ? parameters->pattern : nullptr);
        event["process"] = process_text(info);
        event["req"] = id;
        emit(std::move(event));
    } catch (...) {
        // As for a fetch: a listing nobody will answer is failed now, not at the time-out.
        try {
            pending().remove(id);
            fail_listing(record);
        } catch (...) {
        }
    }
}

void on_cancel_fetch_placeholders(const CallbackInfo* info, const CallbackParameters*) {
    report_cancel(info, RequestKind::list);
}

void on_notify_delete(const CallbackInfo* info, const CallbackParameters* parameters) {
    const std::uint32_t flags = parameters != nullptr ? parameters->flags : 0;
    const Pending record = record_of(info, RequestKind::remove);
    try {
        // An undelete takes back a delete that has not happened: nothing for the parent to decide.
        if ((flags & delete_flag::IS_UNDELETE) != 0) {
            acknowledge(record, true);
            return;
        }
        json::object event;
        event["event"] = "deleting";
        event["folder"] = (flags & delete_flag::IS_DIRECTORY) != 0;
        event["identity"] = identity_text(info);
        event["path"] = event_text(info->normalized_path);
        ask_confirmation(record, event);
    } catch (...) {
        try {
            acknowledge(record, false);
        } catch (...) {
        }
    }
}

void on_notify_rename(const CallbackInfo* info, const CallbackParameters* parameters) {
    const std::uint32_t flags = parameters != nullptr ? parameters->flags : 0;
    const Pending record = record_of(info, RequestKind::rename);
    try {
        json::object event;
        event["event"] = "renaming";
        event["folder"] = (flags & rename_flag::IS_DIRECTORY) != 0;
        event["identity"] = identity_text(info);
        event["path"] = event_text(info->normalized_path);
        event["target"] = event_text(parameters != nullptr ? parameters->target_path : nullptr);
        event["targetInRoot"] = (flags & rename_flag::TARGET_IN_SCOPE) != 0;
        ask_confirmation(record, event);
    } catch (...) {
        try {
            acknowledge(record, false);
        } catch (...) {
        }
    }
}

}  // namespace zcf
