// platform/linux/cloud: the Linux platform's class: the Win32, Cloud Files and Windows Runtime
// calls the core makes, kept to Windows' rules over POSIX files. Its calls are defined by concern in
// the files beside it: process.cpp (process, streams, errors), files.cpp (Win32 file calls),
// placeholders.cpp (placeholder operations), remote_changes.cpp, hydration.cpp (connections,
// transfers, hydration) and, in registry/, sync-root registration. POSIX calls are allowed only
// under platform/linux.
#pragma once

#include "platform/platform.h"

namespace zcf::linux_platform {

class FrontEnd;

class LinuxPlatform final : public Platform {
public:
    // `front_end`: what "connect" mounts over a root (not owned; nullptr: never mounts).
    explicit LinuxPlatform(FrontEnd* front_end) : front_end_(front_end) {}

    void initialize_process() override;
    std::uint32_t process_id() override;
    std::string_view platform_name() override;
    std::string_view front_end() override;

    std::uint32_t last_error() override;
    ErrorInfoPtr take_error_info() override;
    std::u16string system_message(Hresult code) override;

    Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share,
                       std::uint32_t disposition, std::uint32_t flags) override;
    bool close_handle(Handle handle) override;
    std::uint32_t file_attributes(const char16_t* path) override;
    Handle find_first(const char16_t* pattern, FindData* entry) override;
    bool find_next(Handle find, FindData* entry) override;
    void find_close(Handle find) override;
    char16_t path_separator() override;

    PlatformError register_sync_root(const SyncRootRegistration& registration) override;
    PlatformError unregister_sync_root(std::u16string_view id) override;

    Hresult connect_sync_root(const char16_t* root, const CallbackRegistration* table, const void* context,
                              std::uint32_t flags, ConnectionKey* key) override;
    Hresult disconnect_sync_root(ConnectionKey key) override;
    Hresult create_placeholders(const char16_t* base_directory, PlaceholderCreateInfo* placeholders,
                                std::uint32_t count, std::uint32_t flags, std::uint32_t* entries_processed) override;
    Hresult set_pin_state(Handle file, std::uint32_t pin_state, std::uint32_t flags) override;
    Hresult dehydrate_placeholder(Handle file, std::int64_t offset, std::int64_t length, std::uint32_t flags) override;
    Hresult get_placeholder_info(Handle file, std::uint32_t info_class, void* buffer, std::uint32_t buffer_length,
                                 std::uint32_t* returned_length) override;
    Hresult open_file_with_oplock(const char16_t* path, std::uint32_t flags, Handle* protected_handle) override;
    bool reference_protected_handle(Handle protected_handle) override;
    void release_protected_handle(Handle protected_handle) override;
    Handle win32_handle_from_protected(Handle protected_handle) override;
    void close_protected_handle(Handle protected_handle) override;
    Hresult convert_to_placeholder(Handle file, const void* identity, std::uint32_t identity_length,
                                   std::uint32_t flags, std::int64_t* convert_usn) override;
    Hresult update_placeholder(Handle file, const FsMetadata* metadata, const void* identity,
                               std::uint32_t identity_length, const FileRange* dehydrate_ranges,
                               std::uint32_t range_count, std::uint32_t flags, std::int64_t* update_usn) override;
    Hresult execute(const OperationInfo* info, OperationParameters* parameters) override;
    Hresult hydrate_placeholder(Handle file, std::int64_t offset, std::int64_t length, std::uint32_t flags) override;

    // sim_remote_changes.cpp
    bool file_size(Handle file, std::int64_t* size) override;
    Hresult set_in_sync_state(Handle file, std::uint32_t in_sync_state, std::uint32_t flags,
                              std::int64_t* in_sync_usn) override;
    Hresult revert_placeholder(Handle file, std::uint32_t flags) override;
    Hresult report_provider_progress(ConnectionKey connection_key, std::int64_t transfer_key, std::int64_t total,
                                     std::int64_t completed) override;

private:
    FrontEnd* const front_end_;
};

}  // namespace zcf::linux_platform
