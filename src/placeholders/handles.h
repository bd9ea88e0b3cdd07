// How the placeholder commands hold the file they work on: a handle opened for its attributes, or
// an exclusive protected handle from CfOpenFileWithOplock.
#pragma once

#include "common/open.h"
#include "common/outcome.h"
#include "platform/file_types.h"

#include <optional>
#include <string_view>

namespace zcf {

// FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES (0x180): enough for the Cloud Files calls, which
// check the caller's own rights on the file, and shared with any other opener whatever its mode.
inline constexpr std::uint32_t READ_WRITE_ATTRIBUTES = access::FILE_READ_ATTRIBUTES | access::FILE_WRITE_ATTRIBUTES;

// Opens `path` for READ_WRITE_ATTRIBUTES, runs `operation` (Handle -> Outcome) on the handle and
// closes it. A failed close wins over the operation's outcome, even a success.
template <typename Operation>
Outcome on_opened_path(std::string_view path, Operation operation) {
    Expected<FileHandle> opened = open(path, READ_WRITE_ATTRIBUTES);
    if (!opened.ok()) return std::move(opened.error());
    FileHandle file = std::move(opened.value());
    Outcome outcome = operation(file.get());
    if (std::optional<PlatformError> closed = close_file(file)) return std::move(*closed);
    return outcome;
}

// A file opened exclusively (share-none, with an oplock) through CfOpenFileWithOplock with
// EXCLUSIVE | WRITE_ACCESS. Its protected handle stays referenced while the Win32 handle is in use
// and is released before it is closed, when the object goes.
class ExclusiveFile {
public:
    ExclusiveFile() = default;
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;
    ~ExclusiveFile();

    // Opens `path` (NUL-terminated UTF-16), references the protected handle and takes its Win32
    // handle. The error of the open; E_HANDLE when the reference fails (the handle is closed then).
    std::optional<PlatformError> open(const char16_t* path);
    // The Win32 handle, valid after a successful open.
    Handle win32() const { return win32_; }

private:
    ProtectedHandle file_;
    bool referenced_ = false;
    Handle win32_ = INVALID_HANDLE;
};

}  // namespace zcf
