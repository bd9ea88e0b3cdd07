// Feeds arbitrary bytes through the main loop's line handling (framing, UTF-8 check, trimming,
// parsing, dispatch, answer) against a platform that fails every call and discards output.
#include "common/args.h"
#include "common/text.h"
#include "main/line_reader.h"
#include "main/main_loop.h"
#include "main/request_parser.h"
#include "platform/platform.h"
#include "platform/streams.h"

#include <cstdint>
#include <cstring>
#include <string_view>

namespace {

using namespace zcf;

// Standard input from the fuzzer's bytes; output discarded.
class BufferStreams final : public Streams {
public:
    const std::uint8_t* input = nullptr;
    std::size_t left = 0;

    std::ptrdiff_t read_input(char* buffer, std::size_t capacity) override {
        const std::size_t n = left < capacity ? left : capacity;
        std::memcpy(buffer, input, n);
        input += n;
        left -= n;
        return static_cast<std::ptrdiff_t>(n);
    }
    bool write_output(const char*, std::size_t) override { return true; }
};

class NullPlatform final : public Platform {
public:
    void initialize_process() override {}
    std::uint32_t process_id() override { return 1; }
    std::string_view platform_name() override { return "linux"; }
    std::string_view front_end() override { return "simulated"; }
    std::uint32_t last_error() override { return 2; }
    ErrorInfoPtr take_error_info() override { return nullptr; }
    std::u16string system_message(Hresult) override { return u"Text\r\n"; }
    Handle create_file(const char16_t*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) override {
        return INVALID_HANDLE;
    }
    bool close_handle(Handle) override { return true; }
    std::uint32_t file_attributes(const char16_t*) override { return INVALID_FILE_ATTRIBUTES_WORD; }
    Handle find_first(const char16_t*, FindData*) override { return INVALID_HANDLE; }
    bool find_next(Handle, FindData*) override { return false; }
    void find_close(Handle) override {}
    char16_t path_separator() override { return u'/'; }
    PlatformError register_sync_root(const SyncRootRegistration&) override { return {hr::E_FAIL_CODE, nullptr}; }
    PlatformError unregister_sync_root(std::u16string_view) override { return {hr::E_FAIL_CODE, nullptr}; }
    Hresult connect_sync_root(const char16_t*, const CallbackRegistration*, const void*, std::uint32_t,
                              ConnectionKey*) override { return hr::E_FAIL_CODE; }
    Hresult disconnect_sync_root(ConnectionKey) override { return hr::E_FAIL_CODE; }
    Hresult create_placeholders(const char16_t*, PlaceholderCreateInfo*, std::uint32_t, std::uint32_t,
                                std::uint32_t*) override { return hr::E_FAIL_CODE; }
    Hresult set_pin_state(Handle, std::uint32_t, std::uint32_t) override { return hr::E_FAIL_CODE; }
    Hresult dehydrate_placeholder(Handle, std::int64_t, std::int64_t, std::uint32_t) override { return hr::E_FAIL_CODE; }
    Hresult get_placeholder_info(Handle, std::uint32_t, void*, std::uint32_t, std::uint32_t*) override {
        return hr::E_FAIL_CODE;
    }
    Hresult open_file_with_oplock(const char16_t*, std::uint32_t, Handle*) override { return hr::E_FAIL_CODE; }
    bool reference_protected_handle(Handle) override { return false; }
    void release_protected_handle(Handle) override {}
    Handle win32_handle_from_protected(Handle) override { return INVALID_HANDLE; }
    void close_protected_handle(Handle) override {}
    Hresult convert_to_placeholder(Handle, const void*, std::uint32_t, std::uint32_t, std::int64_t*) override {
        return hr::E_FAIL_CODE;
    }
    Hresult update_placeholder(Handle, const FsMetadata*, const void*, std::uint32_t, const FileRange*,
                               std::uint32_t, std::uint32_t, std::int64_t*) override { return hr::E_FAIL_CODE; }
    Hresult execute(const OperationInfo*, OperationParameters*) override { return hr::E_FAIL_CODE; }
    Hresult hydrate_placeholder(Handle, std::int64_t, std::int64_t, std::uint32_t) override { return hr::E_FAIL_CODE; }
    bool file_size(Handle, std::int64_t*) override { return false; }
    Hresult set_in_sync_state(Handle, std::uint32_t, std::uint32_t, std::int64_t*) override { return hr::E_FAIL_CODE; }
    Hresult revert_placeholder(Handle, std::uint32_t) override { return hr::E_FAIL_CODE; }
    Hresult report_provider_progress(ConnectionKey, std::int64_t, std::int64_t, std::int64_t) override {
        return hr::E_FAIL_CODE;
    }
};

// "hydrate" hands its work to the worker pool; lines that are one, by what "cmd" parses to (escapes
// included), are left out to keep the fuzzer on one thread.
bool is_hydrate(std::string_view line) {
    if (!is_valid_utf8(line)) return false;
    const ParsedRequest parsed = parse_request(trim_unicode_whitespace(line));
    return parsed.value && text_arg(*parsed.value, "cmd") == "hydrate";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static NullPlatform* const PLATFORM = new NullPlatform();
    static BufferStreams* const STREAMS = new BufferStreams();
    set_platform(PLATFORM);
    set_streams(STREAMS);
    STREAMS->input = data;
    STREAMS->left = size;
    LineReader reader;
    std::string_view line;
    for (;;) {
        const LineReader::Status status = reader.next(line);
        if (status == LineReader::Status::dropped) continue;
        if (status != LineReader::Status::line) break;
        if (is_hydrate(line)) continue;
        if (!handle_line(line.data(), line.size(), &reader)) break;
    }
    return 0;
}
