// The one boundary between the portable core and the operating system.
//
// Everything the core asks of the OS goes through `Platform`: the process, Win32 file
// calls, the Cloud Files API, sync-root registration and error texts. Two implementations exist,
// chosen by the build: platform/windows (the real Win32, cldapi.dll and Windows Runtime calls) and
// platform/linux (the same behaviour kept on POSIX files, with a FUSE file system over connected
// roots). Tests may install a fake.
//
// The calls deliberately keep the shape of the Win32 and Cloud Files functions they stand for
// (same arguments, same HRESULT and last-error conventions), so that the core passes exactly what
// the Windows functions receive and the Windows implementation is a thin, checkable translation.
// Text crosses this boundary as NUL-terminated UTF-16 (`const char16_t*`), as Win32 takes it; the
// texts of sync-root registration, which become Windows Runtime strings, carry their length instead
// (`std::u16string_view`), so that nothing after an embedded NUL is lost.
#pragma once

#include "platform/cloud_types.h"
#include "platform/error.h"
#include "platform/file_types.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zcf {

class Platform {
public:
    virtual ~Platform() = default;

    // ---- Process (the standard streams are in platform/streams.h) ----------------------------------------------------------

    // Prepares the main thread: the Windows Runtime for the multithreaded apartment (failure
    // ignored), binary standard streams; on POSIX, SIGPIPE ignored. Called once, first thing.
    virtual void initialize_process() = 0;
    virtual std::uint32_t process_id() = 0;
    // What the program runs on: "windows" or "linux".
    virtual std::string_view platform_name() = 0;
    // The front end of the sync root connected last, or with none connected the one the next
    // connect tries: "cloud-files" (Windows); on Linux "fuse" where a file system is (or can be)
    // mounted over the sync root, else "simulated" (a mount refused included).
    virtual std::string_view front_end() = 0;

    // ---- Errors --------------------------------------------------------------------------------

    // The calling thread's last-error code (GetLastError) after a failed Win32-style call.
    virtual std::uint32_t last_error() = 0;
    // Takes the error-information object that the last failing call left on this thread
    // (GetErrorInfo), or null. Taking it clears it.
    virtual ErrorInfoPtr take_error_info() = 0;
    // The system's message for `code` (FormatMessageW with the NT-facility rule), untrimmed;
    // empty when the system has none.
    virtual std::u16string system_message(Hresult code) = 0;

    // ---- Win32 file calls ----------------------------------------------------------------------

    // CreateFileW. Returns INVALID_HANDLE (or 0) on failure, with last_error() set.
    virtual Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share,
                               std::uint32_t disposition, std::uint32_t flags) = 0;
    // CloseHandle. False on failure, with last_error() set.
    virtual bool close_handle(Handle handle) = 0;
    // GetFileAttributesW: the attribute word, or INVALID_FILE_ATTRIBUTES with last_error() set.
    virtual std::uint32_t file_attributes(const char16_t* path) = 0;
    // FindFirstFileExW (basic info) / FindNextFileW / FindClose. `pattern` is a directory path
    // followed by the separator and "*". find_first returns INVALID_HANDLE when the directory
    // cannot be listed; find_next returns false at the end (or on error).
    virtual Handle find_first(const char16_t* pattern, FindData* entry) = 0;
    virtual bool find_next(Handle find, FindData* entry) = 0;
    virtual void find_close(Handle find) = 0;
    // The path separator of this platform: u'\\' on Windows, u'/' in the platform.
    virtual char16_t path_separator() = 0;

    // ---- Sync-root registration (Windows Runtime StorageProviderSyncRootManager) ---------------

    // Fills and registers one StorageProviderSyncRootInfo in the order of its fields; stops at
    // the first failing call and returns it with the error information captured at that moment.
    virtual PlatformError register_sync_root(const SyncRootRegistration& registration) = 0;
    // StorageProviderSyncRootManager.Unregister(id).
    virtual PlatformError unregister_sync_root(std::u16string_view id) = 0;

    // ---- Cloud Files API (cldapi.dll) ----------------------------------------------------------

    virtual Hresult connect_sync_root(const char16_t* root, const CallbackRegistration* table,
                                      const void* context, std::uint32_t flags,
                                      ConnectionKey* key) = 0;
    virtual Hresult disconnect_sync_root(ConnectionKey key) = 0;
    virtual Hresult create_placeholders(const char16_t* base_directory,
                                        PlaceholderCreateInfo* placeholders, std::uint32_t count,
                                        std::uint32_t flags, std::uint32_t* entries_processed) = 0;
    virtual Hresult set_pin_state(Handle file, std::uint32_t pin_state, std::uint32_t flags) = 0;
    virtual Hresult dehydrate_placeholder(Handle file, std::int64_t offset, std::int64_t length,
                                          std::uint32_t flags) = 0;
    virtual Hresult get_placeholder_info(Handle file, std::uint32_t info_class, void* buffer,
                                         std::uint32_t buffer_length,
                                         std::uint32_t* returned_length) = 0;
    virtual Hresult open_file_with_oplock(const char16_t* path, std::uint32_t flags,
                                          Handle* protected_handle) = 0;
    // CfReferenceProtectedHandle / CfReleaseProtectedHandle around the use of the Win32 handle.
    virtual bool reference_protected_handle(Handle protected_handle) = 0;
    virtual void release_protected_handle(Handle protected_handle) = 0;
    virtual Handle win32_handle_from_protected(Handle protected_handle) = 0;
    virtual void close_protected_handle(Handle protected_handle) = 0;  // CfCloseHandle
    virtual Hresult convert_to_placeholder(Handle file, const void* identity,
                                           std::uint32_t identity_length, std::uint32_t flags,
                                           std::int64_t* convert_usn) = 0;
    virtual Hresult update_placeholder(Handle file, const FsMetadata* metadata,
                                       const void* identity, std::uint32_t identity_length,
                                       const FileRange* dehydrate_ranges,
                                       std::uint32_t range_count, std::uint32_t flags,
                                       std::int64_t* update_usn) = 0;
    // CfExecute; only TRANSFER_DATA is used.
    virtual Hresult execute(const OperationInfo* info, OperationParameters* parameters) = 0;
    // Synchronous: returns when the range is local or the hydration failed.
    virtual Hresult hydrate_placeholder(Handle file, std::int64_t offset, std::int64_t length,
                                        std::uint32_t flags) = 0;

    // ---- Changes from the remote side and from the parent (synchronous calls) -----------------

    // GetFileSizeEx. False on failure, with last_error() set.
    virtual bool file_size(Handle file, std::int64_t* size) = 0;
    // CfSetInSyncState. `in_sync_usn` (may be null) holds the USN the file must still have (0: no
    // condition) and receives the USN after the change.
    virtual Hresult set_in_sync_state(Handle file, std::uint32_t in_sync_state, std::uint32_t flags,
                                      std::int64_t* in_sync_usn) = 0;
    // CfRevertPlaceholder: the placeholder becomes an ordinary file or directory.
    virtual Hresult revert_placeholder(Handle file, std::uint32_t flags) = 0;
    // CfReportProviderProgress for the fetch of `transfer_key` on the connection `connection_key`.
    virtual Hresult report_provider_progress(ConnectionKey connection_key, std::int64_t transfer_key,
                                             std::int64_t total, std::int64_t completed) = 0;
};

// The process-wide platform: the build's implementation unless a test installed another.
Platform& platform();
// Installs `replacement` (not owned) until called again; null restores the build's own.
void set_platform(Platform* replacement);
// Defined by the build's implementation (platform/windows or platform/linux).
Platform& native_platform();

}  // namespace zcf
