// Opening existing files and directories by path, with an owner that closes them.
#pragma once

#include "dispatch/outcome.h"
#include "platform/file_types.h"

#include <optional>
#include <string_view>

namespace zcf {

// Owns a Win32 file handle. close() reports the close's failure; the destructor closes quietly.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(Handle handle) : handle_(handle) {}
    FileHandle(FileHandle&& other) noexcept : handle_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle();

    Handle get() const { return handle_; }
    Handle release();
    // Closes now; the error made from the last-error code when CloseHandle fails.
    std::optional<PlatformError> close();

private:
    Handle handle_ = INVALID_HANDLE;
};

// CreateFileW(path, access, share all, OPEN_EXISTING, backup semantics): directories open too.
Expected<FileHandle> open(std::string_view path, std::uint32_t access);

}  // namespace zcf
