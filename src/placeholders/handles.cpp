#include "placeholders/handles.h"

#include "platform/platform.h"

namespace zcf {

namespace {

// E_HANDLE: the protected handle could not be referenced, so its Win32 handle is unusable.
constexpr Hresult E_HANDLE_CODE = hresult_from_win32(win32::ERROR_INVALID_HANDLE);

}  // namespace

ExclusiveFile::~ExclusiveFile() {
    // Released before the protected handle is closed (by its owner, after this body).
    if (referenced_) platform().release_protected_handle(file_.get());
}

std::optional<PlatformError> ExclusiveFile::open(const char16_t* path) {
    Handle opened = INVALID_HANDLE;
    const Hresult status =
        platform().open_file_with_oplock(path, OPEN_FILE_FLAG_EXCLUSIVE | OPEN_FILE_FLAG_WRITE_ACCESS, &opened);
    if (status < 0) return error_from_hresult(status);
    file_.reset(opened);
    referenced_ = platform().reference_protected_handle(opened);
    if (!referenced_) {
        file_.reset();
        return PlatformError{E_HANDLE_CODE, nullptr};
    }
    win32_ = platform().win32_handle_from_protected(opened);
    return std::nullopt;
}

}  // namespace zcf
