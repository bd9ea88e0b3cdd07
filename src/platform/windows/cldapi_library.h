// platform/windows: cldapi.dll, loaded at run time from the system directory only and resolved
// once. A system without the Cloud Files API (or without one of its functions) still runs the
// program: each operation then fails with the loader's error. Only the loading lives here.
#pragma once

#include "platform/windows/cfapi_abi.h"

#include <windows.h>

namespace zcf::windows {

// One Cloud Files function: its address, or the loader's error (a Win32 code) when it is missing.
template <typename Fn>
struct CfFunction {
    Fn address = nullptr;
    DWORD error = 0;
    // The HRESULT an operation answers when the function is missing.
    HRESULT missing() const { return HRESULT_FROM_WIN32(error); }
};

// The functions of one loaded library. Constructed once (the process-wide instance by `cldapi`);
// never unloaded, so the addresses stay valid for the rest of the process.
class CldApiLibrary {
public:
    // Loads `dll_name` with LoadLibraryExW(LOAD_LIBRARY_SEARCH_SYSTEM32) and resolves every function.
    explicit CldApiLibrary(const wchar_t* dll_name);
    CldApiLibrary(const CldApiLibrary&) = delete;
    CldApiLibrary& operator=(const CldApiLibrary&) = delete;

    bool loaded() const { return module_ != nullptr; }

    CfFunction<cf::CfConnectSyncRootFn> connect_sync_root;
    CfFunction<cf::CfDisconnectSyncRootFn> disconnect_sync_root;
    CfFunction<cf::CfCreatePlaceholdersFn> create_placeholders;
    CfFunction<cf::CfSetPinStateFn> set_pin_state;
    CfFunction<cf::CfDehydratePlaceholderFn> dehydrate_placeholder;
    CfFunction<cf::CfGetPlaceholderInfoFn> get_placeholder_info;
    CfFunction<cf::CfOpenFileWithOplockFn> open_file_with_oplock;
    CfFunction<cf::CfReferenceProtectedHandleFn> reference_protected_handle;
    CfFunction<cf::CfReleaseProtectedHandleFn> release_protected_handle;
    CfFunction<cf::CfGetWin32HandleFromProtectedHandleFn> win32_handle_from_protected;
    CfFunction<cf::CfCloseHandleFn> close_handle;
    CfFunction<cf::CfConvertToPlaceholderFn> convert_to_placeholder;
    CfFunction<cf::CfUpdatePlaceholderFn> update_placeholder;
    CfFunction<cf::CfExecuteFn> execute;
    CfFunction<cf::CfHydratePlaceholderFn> hydrate_placeholder;
    CfFunction<cf::CfSetInSyncStateFn> set_in_sync_state;
    CfFunction<cf::CfRevertPlaceholderFn> revert_placeholder;
    CfFunction<cf::CfReportProviderProgressFn> report_provider_progress;

private:
    template <typename Fn>
    void resolve(CfFunction<Fn>& function, const char* name);

    HMODULE module_ = nullptr;
    DWORD load_error_ = 0;
};

// The process-wide cldapi.dll, loaded on first use (thread-safe, exactly once).
const CldApiLibrary& cldapi();

}  // namespace zcf::windows
