// platform/windows: loading cldapi.dll from the system directory and resolving its functions.
// Win32 loader calls only.
#include "platform/windows/cldapi_library.h"

namespace zcf::windows {

CldApiLibrary::CldApiLibrary(const wchar_t* dll_name) {
    // The system directory only: never the program's folder or the current directory, so a planted
    // cldapi.dll cannot be picked up.
    module_ = LoadLibraryExW(dll_name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module_ == nullptr) {
        load_error_ = GetLastError();
        if (load_error_ == 0) load_error_ = ERROR_MOD_NOT_FOUND;
    }
    resolve(connect_sync_root, "CfConnectSyncRoot");
    resolve(disconnect_sync_root, "CfDisconnectSyncRoot");
    resolve(create_placeholders, "CfCreatePlaceholders");
    resolve(set_pin_state, "CfSetPinState");
    resolve(dehydrate_placeholder, "CfDehydratePlaceholder");
    resolve(get_placeholder_info, "CfGetPlaceholderInfo");
    resolve(open_file_with_oplock, "CfOpenFileWithOplock");
    resolve(reference_protected_handle, "CfReferenceProtectedHandle");
    resolve(release_protected_handle, "CfReleaseProtectedHandle");
    resolve(win32_handle_from_protected, "CfGetWin32HandleFromProtectedHandle");
    resolve(close_handle, "CfCloseHandle");
    resolve(convert_to_placeholder, "CfConvertToPlaceholder");
    resolve(update_placeholder, "CfUpdatePlaceholder");
    resolve(execute, "CfExecute");
    resolve(hydrate_placeholder, "CfHydratePlaceholder");
    resolve(set_in_sync_state, "CfSetInSyncState");
    resolve(revert_placeholder, "CfRevertPlaceholder");
    resolve(report_provider_progress, "CfReportProviderProgress");
}

template <typename Fn>
void CldApiLibrary::resolve(CfFunction<Fn>& function, const char* name) {
    if (module_ == nullptr) {
        function.error = load_error_;
        return;
    }
    const FARPROC address = GetProcAddress(module_, name);
    if (address == nullptr) {
        function.error = GetLastError();
        if (function.error == 0) function.error = ERROR_PROC_NOT_FOUND;
        return;
    }
    function.address = reinterpret_cast<Fn>(reinterpret_cast<void*>(address));
}

const CldApiLibrary& cldapi() {
    // A function-local static is initialised exactly once, even when threads race to it.
    static const CldApiLibrary* const LIBRARY = new CldApiLibrary(L"cldapi.dll");
    return *LIBRARY;
}

}  // namespace zcf::windows
