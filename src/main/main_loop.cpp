#include "main/main_loop.h"

#include "common/args.h"
#include "dispatch/dispatch.h"
#include "common/text.h"
#include "common/emitter.h"
#include "main/line_reader.h"
#include "main/request_parser.h"
#include "platform/platform.h"

namespace zcf {

namespace json = boost::json;

bool handle_line(const char* data, std::size_t size, LineReader* reader) {
    const std::string_view raw(data, size);
    if (!is_valid_utf8(raw)) return false;
    const std::string_view text = trim_unicode_whitespace(raw);
    if (text.empty()) return true;

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
    Outcome outcome = handle(request);
    if (outcome.ok()) {
        json::value& result = outcome.value();
        if (result.is_object() && result.get_object().contains("async")) return true;
        json::object response;
        response["seq"] = seq_of(request);
        response["ok"] = true;
        response["result"] = std::move(result);
        emit(std::move(response));
    } else {
        const PlatformError& error = outcome.error();
        json::object response;
        response["seq"] = seq_of(request);
        response["ok"] = false;
        response["error"] = error_message_text(error);
        response["code"] = error_code_text(error.code);
        emit(std::move(response));
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
    while (reader.next(line) == LineReader::Status::line) {
        if (!handle_line(line.data(), line.size(), &reader)) break;
    }
    return 0;
}

}  // namespace zcf
