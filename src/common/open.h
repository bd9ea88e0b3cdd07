// Owners of the platform's handles, and opening existing files and directories by path.
#pragma once

#include "common/outcome.h"
#include "platform/file_types.h"
#include "platform/unique_handle.h"

#include <optional>
#include <string_view>

namespace zcf {

// Traits of a platform handle value closed by `Close`; 0 and all ones are never valid.
template <bool (*Close)(Handle)>
struct PlatformHandleTraits {
    using Value = Handle;
    static Handle invalid() { return INVALID_HANDLE; }
    static bool valid(Handle h) { return handle_valid(h); }
    static bool close(Handle h) { return Close(h); }
};

bool close_file_handle(Handle h);       // CloseHandle
bool close_find_handle(Handle h);       // FindClose
bool close_protected_handle(Handle h);  // CfCloseHandle

// A Win32 file handle (CreateFileW), a directory enumeration (FindFirstFileExW), a protected
// handle (CfOpenFileWithOplock).
using FileHandle = UniqueHandle<PlatformHandleTraits<close_file_handle>>;
using FindHandle = UniqueHandle<PlatformHandleTraits<close_find_handle>>;
using ProtectedHandle = UniqueHandle<PlatformHandleTraits<close_protected_handle>>;

// Closes `file` now; the error made from the last-error code when CloseHandle fails.
std::optional<PlatformError> close_file(FileHandle& file);

// CreateFileW(path, access, share all, OPEN_EXISTING, backup semantics): directories open too.
Expected<FileHandle> open(std::string_view path, std::uint32_t access);

}  // namespace zcf
