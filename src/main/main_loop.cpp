#include "main/main_loop.h"

#include "common/args.h"
#include "dispatch/dispatch.h"
#include "common/text.h"
#include "common/emitter.h"
#include "main/line_reader.h"
#include "main/request_parser.h"
#include "platform/platform.h"

#include <new>
#include <optional>

namespace zcf {

namespace json = boost::json;

namespace {

// The response to a request; without "seq" when the request's is not known.
void respond(const std::optional<json::value>& seq, Outcome& outcome) {
    json::object response;
    if (seq) response["seq"] = *seq;
    if (outcome.ok()) {
        response["ok"] = true;
        response["result"] = std::move(outcome.value());
    } else {
        const PlatformError& error = outcome.error();
        response["ok"] = false;
        response["error"] = error_message_text(error);
        response["code"] = error_code_text(error.code);
    }
    emit(std::move(response));
}

// Memory ran out while handling a request: it is answered with E_OUTOFMEMORY, with its "seq" when
// the request was read far enough to know it, and the conversation goes on. When even that answer
// cannot be made, the request stays unanswered.
void answer_out_of_memory(const std::optional<json::value>& seq) noexcept {
    try {
        Outcome outcome(PlatformError{hr::E_OUTOFMEMORY_CODE, nullptr});
        respond(seq, outcome);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

bool handle_line(const char* data, std::size_t size, LineReader* reader) {
    const std::string_view raw(data, size);
    if (!is_valid_utf8(raw)) return false;
    const std::string_view text = trim_unicode_whitespace(raw);
    if (text.empty()) return true;

    std::optional<json::value> seq;
    try {
        ParsedRequest parsed = parse_request(text);
        if (!parsed.value) {
            json::object response;
            response["ok"] = false;
            response["error"] = "bad command: " + parsed.error;
            emit(std::move(response));
            return true;
        }
        // The line is no longer needed; a multi-megabyte one should not be held twice.
        if (reader != nullptr) reader->release_large_buffer();

        const json::value& request = *parsed.value;
        seq = seq_of(request);
        Outcome outcome = handle(request);
        if (!outcome.deferred()) respond(seq, outcome);
    } catch (const std::bad_alloc&) {
        // Memory ran out before the request was read whole: its "seq" is looked for in the text,
        // which is still there (the buffer is given back only after a successful parse).
        if (!seq) {
            try {
                seq = find_seq(text);
            } catch (const std::bad_alloc&) {
            }
        }
        answer_out_of_memory(seq);
        if (reader != nullptr) reader->release_large_buffer();
    }
    return true;
}

int run_main_loop() {
    Platform& os = platform();
    os.initialize_process();
    {
        json::object ready;
        ready["event"] = "ready";
        ready["pid"] = os.process_id();
        emit(std::move(ready));
    }
    LineReader reader;
    std::string_view line;
    for (;;) {
        const LineReader::Status status = reader.next(line);
        if (status == LineReader::Status::dropped) {
            answer_out_of_memory(std::nullopt);  // a line too long to hold: its "seq" is unknown
            continue;
        }
        if (status != LineReader::Status::line) break;
        if (!handle_line(line.data(), line.size(), &reader)) break;
    }
    return 0;
}

}  // namespace zcf
