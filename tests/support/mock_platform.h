// A GoogleMock Platform for unit tests of the core: expectations pin the exact arguments the core
// passes to each Win32 and Cloud Files call. Install it with ScopedPlatform.
#pragma once

#include "platform/platform.h"
#include "platform/streams.h"

#include <gmock/gmock.h>

namespace zcf::testing {

class MockPlatform : public Platform {
public:
    MOCK_METHOD(void, initialize_process, (), (override));
    MOCK_METHOD(std::uint32_t, process_id, (), (override));
    MOCK_METHOD(std::string_view, platform_name, (), (override));
    MOCK_METHOD(std::string_view, front_end, (), (override));
    MOCK_METHOD(std::uint32_t, last_error, (), (override));
    MOCK_METHOD(ErrorInfoPtr, take_error_info, (), (override));
    MOCK_METHOD(std::u16string, system_message, (Hresult), (override));
    MOCK_METHOD(Handle, create_file, (const char16_t*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t),
                (override));
    MOCK_METHOD(bool, close_handle, (Handle), (override));
    MOCK_METHOD(std::uint32_t, file_attributes, (const char16_t*), (override));
    MOCK_METHOD(Handle, find_first, (const char16_t*, FindData*), (override));
    MOCK_METHOD(bool, find_next, (Handle, FindData*), (override));
    MOCK_METHOD(void, find_close, (Handle), (override));
    MOCK_METHOD(char16_t, path_separator, (), (override));
    MOCK_METHOD(PlatformError, register_sync_root, (const SyncRootRegistration&), (override));
    MOCK_METHOD(PlatformError, unregister_sync_root, (std::u16string_view), (override));
    MOCK_METHOD(Hresult, connect_sync_root,
                (const char16_t*, const CallbackRegistration*, const void*, std::uint32_t, ConnectionKey*),
                (override));
    MOCK_METHOD(Hresult, disconnect_sync_root, (ConnectionKey), (override));
    MOCK_METHOD(Hresult, create_placeholders,
                (const char16_t*, PlaceholderCreateInfo*, std::uint32_t, std::uint32_t, std::uint32_t*), (override));
    MOCK_METHOD(Hresult, set_pin_state, (Handle, std::uint32_t, std::uint32_t), (override));
    MOCK_METHOD(Hresult, dehydrate_placeholder, (Handle, std::int64_t, std::int64_t, std::uint32_t), (override));
    MOCK_METHOD(Hresult, get_placeholder_info, (Handle, std::uint32_t, void*, std::uint32_t, std::uint32_t*),
                (override));
    MOCK_METHOD(Hresult, open_file_with_oplock, (const char16_t*, std::uint32_t, Handle*), (override));
    MOCK_METHOD(bool, reference_protected_handle, (Handle), (override));
    MOCK_METHOD(void, release_protected_handle, (Handle), (override));
    MOCK_METHOD(Handle, win32_handle_from_protected, (Handle), (override));
    MOCK_METHOD(void, close_protected_handle, (Handle), (override));
    MOCK_METHOD(Hresult, convert_to_placeholder, (Handle, const void*, std::uint32_t, std::uint32_t, std::int64_t*),
                (override));
    MOCK_METHOD(Hresult, update_placeholder,
                (Handle, const FsMetadata*, const void*, std::uint32_t, const FileRange*, std::uint32_t,
                 std::uint32_t, std::int64_t*),
                (override));
    MOCK_METHOD(Hresult, execute, (const OperationInfo*, OperationParameters*), (override));
    MOCK_METHOD(Hresult, hydrate_placeholder, (Handle, std::int64_t, std::int64_t, std::uint32_t), (override));
    MOCK_METHOD(bool, file_size, (Handle, std::int64_t*), (override));
    MOCK_METHOD(Hresult, set_in_sync_state, (Handle, std::uint32_t, std::uint32_t, std::int64_t*), (override));
    MOCK_METHOD(Hresult, revert_placeholder, (Handle, std::uint32_t), (override));
    MOCK_METHOD(Hresult, report_provider_progress, (ConnectionKey, std::int64_t, std::int64_t, std::int64_t),
                (override));
};

// Installs a platform for the lifetime of the scope.
class ScopedPlatform {
public:
    explicit ScopedPlatform(Platform& replacement) { set_platform(&replacement); }
    ~ScopedPlatform() { set_platform(nullptr); }
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;
};

class MockStreams : public Streams {
public:
    MOCK_METHOD(std::ptrdiff_t, read_input, (char*, std::size_t), (override));
    MOCK_METHOD(bool, write_output, (const char*, std::size_t), (override));
};

// Installs standard streams for the lifetime of the scope.
class ScopedStreams {
public:
    explicit ScopedStreams(Streams& replacement) { set_streams(&replacement); }
    ~ScopedStreams() { set_streams(nullptr); }
    ScopedStreams(const ScopedStreams&) = delete;
    ScopedStreams& operator=(const ScopedStreams&) = delete;
};

// A UTF-16 argument as UTF-8, for matchers: up to its terminator, or whole.
std::string utf8(const char16_t* text);
std::string utf8(std::u16string_view text);

}  // namespace zcf::testing
