// platform/windows: the Platform instance of the Windows build. Process and Win32 file
// calls are made here; errors, Cloud Files (cldapi.dll) and sync-root registration are delegated to
// their own files in this directory. Win32 and COM calls are allowed here and only under
// platform/windows.
#include "platform/platform.h"

#include "platform/windows/callback_table.h"
#include "platform/windows/cfapi_abi.h"
#include "platform/windows/cldapi_library.h"
#include "platform/windows/error_texts.h"
#include "platform/windows/sync_root_registrar.h"

#include <windows.h>
#include <oleauto.h>
#include <roapi.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace zcf::windows {

namespace {

HANDLE to_native(Handle h) { return reinterpret_cast<HANDLE>(h); }
Handle from_native(HANDLE h) { return reinterpret_cast<Handle>(h); }
const wchar_t* to_wide(const char16_t* s) { return reinterpret_cast<const wchar_t*>(s); }
LARGE_INTEGER large(std::int64_t value) {
    LARGE_INTEGER result;
    result.QuadPart = value;
    return result;
}
bool is_dot_entry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// A Cloud Files function about to be called whose failure the core renders with the thread's
// error object. The thread's object is cleared first: one left by an earlier call (a Windows
// Runtime call may leave one and still succeed) must not describe this call's failure.
template <typename Fn>
const CfFunction<Fn>& fresh(const CfFunction<Fn>& function) {
    SetErrorInfo(0, nullptr);
    return function;
}

class WindowsPlatform final : public Platform {
public:
    void initialize_process() override {
        RoInitialize(RO_INIT_MULTITHREADED);  // failure ignored: registration reports its own
        _setmode(_fileno(stdin), _O_BINARY);
        _setmode(_fileno(stdout), _O_BINARY);
    }
    std::uint32_t process_id() override { return GetCurrentProcessId(); }
    std::string_view platform_name() override { return "windows"; }
    std::string_view front_end() override { return "cloud-files"; }

    std::uint32_t last_error() override { return GetLastError(); }
    ErrorInfoPtr take_error_info() override { return take_thread_error_info(); }
    std::u16string system_message(Hresult code) override { return system_message_text(code); }

    Handle create_file(const char16_t* path, std::uint32_t access, std::uint32_t share, std::uint32_t disposition,
                       std::uint32_t flags) override {
        return from_native(CreateFileW(to_wide(path), access, share, nullptr, disposition, flags, nullptr));
    }
    bool close_handle(Handle handle) override { return CloseHandle(to_native(handle)) != 0; }
    std::uint32_t file_attributes(const char16_t* path) override { return GetFileAttributesW(to_wide(path)); }
    // The entries "." and ".." are never reported, as in the platform: a walk that took them for
    // subdirectories would never end. A directory holding nothing else cannot be listed.
    Handle find_first(const char16_t* pattern, FindData* entry) override {
        WIN32_FIND_DATAW data;
        const HANDLE find = FindFirstFileExW(to_wide(pattern), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
        if (find == INVALID_HANDLE_VALUE) return INVALID_HANDLE;
        while (is_dot_entry(data.cFileName)) {
            if (!FindNextFileW(find, &data)) {
                const DWORD error = GetLastError();
                FindClose(find);
                SetLastError(error);
                return INVALID_HANDLE;
            }
        }
        copy_entry(data, entry);
        return from_native(find);
    }
    bool find_next(Handle find, FindData* entry) override {
        WIN32_FIND_DATAW data;
        do {
            if (!FindNextFileW(to_native(find), &data)) return false;
        } while (is_dot_entry(data.cFileName));
        copy_entry(data, entry);
        return true;
    }
    void find_close(Handle find) override { FindClose(to_native(find)); }
    char16_t path_separator() override { return u'\\'; }

    PlatformError register_sync_root(const SyncRootRegistration& registration) override {
        return registrar_.register_sync_root(registration);
    }
    PlatformError unregister_sync_root(std::u16string_view id) override {
        return registrar_.unregister_sync_root(id);
    }

    Hresult connect_sync_root(const char16_t* root, const CallbackRegistration* table, const void* context,
                              std::uint32_t flags, ConnectionKey* key) override {
        const auto& function = fresh(cldapi().connect_sync_root);
        if (function.address == nullptr) return function.missing();
        // A fresh table per connect, never freed: the platform may call through it at any time.
        const cf::CF_CALLBACK_REGISTRATION* native_table = build_callback_table(table);
        if (native_table == nullptr) return E_INVALIDARG;
        cf::CF_CONNECTION_KEY native_key{key != nullptr ? *key : 0};
        const HRESULT hr = function.address(to_wide(root), native_table, context, flags,
                                            key != nullptr ? &native_key : nullptr);
        if (key != nullptr) *key = native_key.Internal;
        return hr;
    }
    Hresult disconnect_sync_root(ConnectionKey key) override {
        const auto& function = fresh(cldapi().disconnect_sync_root);
        if (function.address == nullptr) return function.missing();
        return function.address(cf::CF_CONNECTION_KEY{key});
    }
    Hresult create_placeholders(const char16_t* base_directory, PlaceholderCreateInfo* placeholders,
                                std::uint32_t count, std::uint32_t flags, std::uint32_t* entries_processed) override {
        const auto& function = fresh(cldapi().create_placeholders);
        if (function.address == nullptr) return function.missing();
        // Same layout (pinned in cfapi_abi.h): the core's records go to the platform as they are.
        return function.address(to_wide(base_directory), reinterpret_cast<cf::CF_PLACEHOLDER_CREATE_INFO*>(placeholders),
                                count, flags, reinterpret_cast<PDWORD>(entries_processed));
    }
    Hresult set_pin_state(Handle file, std::uint32_t pin_state, std::uint32_t flags) override {
        const auto& function = fresh(cldapi().set_pin_state);
        if (function.address == nullptr) return function.missing();
        return function.address(to_native(file), pin_state, flags, nullptr);
    }
    Hresult dehydrate_placeholder(Handle file, std::int64_t offset, std::int64_t length, std::uint32_t flags) override {
        const auto& function = fresh(cldapi().dehydrate_placeholder);
        if (function.address == nullptr) return function.missing();
        return function.address(to_native(file), large(offset), large(length), flags, nullptr);
    }
    Hresult get_placeholder_info(Handle file, std::uint32_t info_class, void* buffer, std::uint32_t buffer_length,
                                 std::uint32_t* returned_length) override {
        const auto& function = fresh(cldapi().get_placeholder_info);
        if (function.address == nullptr) return function.missing();
        return function.address(to_native(file), info_class, buffer, buffer_length,
                                reinterpret_cast<PDWORD>(returned_length));
    }
    Hresult open_file_with_oplock(const char16_t* path, std::uint32_t flags, Handle* protected_handle) override {
        const auto& function = fresh(cldapi().open_file_with_oplock);
        if (function.address == nullptr) return function.missing();
        HANDLE handle = protected_handle != nullptr ? to_native(*protected_handle) : nullptr;
        const HRESULT hr = function.address(to_wide(path), flags, protected_handle != nullptr ? &handle : nullptr);
        if (protected_handle != nullptr) *protected_handle = from_native(handle);
        return hr;
    }
    bool reference_protected_handle(Handle protected_handle) override {
        const auto& function = cldapi().reference_protected_handle;
        if (function.address == nullptr) {
            SetLastError(function.error);
            return false;
        }
        return function.address(to_native(protected_handle)) != FALSE;
    }
    void release_protected_handle(Handle protected_handle) override {
        const auto& function = cldapi().release_protected_handle;
        if (function.address != nullptr) function.address(to_native(protected_handle));
    }
    Handle win32_handle_from_protected(Handle protected_handle) override {
        const auto& function = cldapi().win32_handle_from_protected;
        if (function.address == nullptr) {
            SetLastError(function.error);
            return INVALID_HANDLE;
        }
        return from_native(function.address(to_native(protected_handle)));
    }
    void close_protected_handle(Handle protected_handle) override {
        // Without CfCloseHandle there is no protected handle to close: CfOpenFileWithOplock
        // cannot have given one either, or it is part of the same missing library.
        const auto& function = cldapi().close_handle;
        if (function.address != nullptr) function.address(to_native(protected_handle));
    }
    Hresult convert_to_placeholder(Handle file, const void* identity, std::uint32_t identity_length,
                                   std::uint32_t flags, std::int64_t* convert_usn) override {
        const auto& function = fresh(cldapi().convert_to_placeholder);
        if (function.address == nullptr) return function.missing();
        return function.address(to_native(file), identity, identity_length, flags,
                                reinterpret_cast<cf::USN_VALUE*>(convert_usn), nullptr);
    }
    Hresult update_placeholder(Handle file, const FsMetadata* metadata, const void* identity,
                               std::uint32_t identity_length, const FileRange* dehydrate_ranges,
                               std::uint32_t range_count, std::uint32_t flags, std::int64_t* update_usn) override {
        const auto& function = fresh(cldapi().update_placeholder);
        if (function.address == nullptr) return function.missing();
        return function.address(to_native(file), reinterpret_cast<const cf::CF_FS_METADATA*>(metadata), identity,
                                identity_length, reinterpret_cast<const cf::CF_FILE_RANGE*>(dehydrate_ranges),
                                range_count, flags, reinterpret_cast<cf::USN_VALUE*>(update_usn), nullptr);
    }
    Hresult execute(const OperationInfo* info, OperationParameters* parameters) override {
        const auto& function = fresh(cldapi().execute);
        if (function.address == nullptr) return function.missing();
        return function.address(reinterpret_cast<const cf::CF_OPERATION_INFO*>(info),
                                reinterpret_cast<cf::CF_OPERATION_PARAMETERS*>(parameters));
    }
    Hresult hydrate_placeholder(Handle file, std::int64_t offset, std::int64_t length, std::uint32_t flags) override {
        const auto& function = fresh(cldapi().hydrate_placeholder);
        if (function.address == nullptr) return function.missing();
        return function.address(to_native(file), large(offset), large(length), flags, nullptr);
    }

    bool file_size(Handle file, std::int64_t* size) override {
        LARGE_INTEGER value{};
        if (!GetFileSizeEx(to_native(file), &value)) return false;
        *size = value.QuadPart;
        return true;
    }
    Hresult set_in_sync_state(Handle file, std::uint32_t in_sync_state, std::uint32_t flags,
                              std::int64_t* in_sync_usn) override {
        const auto& function = cldapi().set_in_sync_state;
        if (function.address == nullptr) return function.missing();
        return function.address(to_native(file), in_sync_state, flags, reinterpret_cast<cf::USN_VALUE*>(in_sync_usn));
    }
    Hresult revert_placeholder(Handle file, std::uint32_t flags) override {
        const auto& function = cldapi().revert_placeholder;
        if (function.address == nullptr) return function.missing();
        return function.address(to_native(file), flags, nullptr);
    }
    Hresult report_provider_progress(ConnectionKey connection_key, std::int64_t transfer_key, std::int64_t total,
                                     std::int64_t completed) override {
        const auto& function = cldapi().report_provider_progress;
        if (function.address == nullptr) return function.missing();
        return function.address(cf::CF_CONNECTION_KEY{connection_key}, large(transfer_key), large(total),
                                large(completed));
    }

private:
    static void copy_entry(const WIN32_FIND_DATAW& data, FindData* entry) {
        entry->attributes = data.dwFileAttributes;
        entry->reparse_tag = data.dwReserved0;
        static_assert(sizeof(entry->name) == sizeof(data.cFileName));
        std::memcpy(entry->name, data.cFileName, sizeof entry->name);
    }

    SyncRootRegistrar registrar_{system_runtime_activation()};
};

}  // namespace

}  // namespace zcf::windows

namespace zcf {

Platform& native_platform() {
    static Platform* const WINDOWS = new windows::WindowsPlatform();
    return *WINDOWS;
}

}  // namespace zcf
