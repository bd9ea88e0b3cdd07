// Owners of the platform's handles, and opening existing files and directories by path.
#pragma once

#include "common/outcome.h"
#include "platform/file_types.h"
#include "platform/unique_handle.h"

#include <optional>
#include <string_view>

namespace zcf {

// A Win32 file handle (CreateFileW), closed with CloseHandle.
struct FileHandleTraits {
    using Value = Handle;
    static Handle invalid() { return INVALID_HANDLE; }
    static bool valid(Handle h) { return handle_valid(h); }
    static bool close(Handle h);
};
using FileHandle = UniqueHandle<FileHandleTraits>;

// A directory enumeration (FindFirstFileExW), closed with FindClose.
struct FindHandleTraits {
    using Value = Handle;
    static Handle invalid() { return INVALID_HANDLE; }
    static bool valid(Handle h) { return handle_valid(h); }
    static bool close(Handle h);
};
using FindHandle = UniqueHandle<FindHandleTraits>;

// A protected handle (CfOpenFileWithOplock), closed with CfCloseHandle.
struct ProtectedHandleTraits {
    using Value = Handle;
    static Handle invalid() { return INVALID_HANDLE; }
    static bool valid(Handle h) { return handle_valid(h); }
    static bool close(Handle h);
};
using ProtectedHandle = UniqueHandle<ProtectedHandleTraits>;

// Closes `file` now; the error made from the last-error code when CloseHandle fails.
std::optional<PlatformError> close_file(FileHandle& file);

// CreateFileW(path, access, share all, OPEN_EXISTING, backup semantics): directories open too.
Expected<FileHandle> open(std::string_view path, std::uint32_t access);

}  // namespace zcf
