// platform/linux/base: errors and text at the platform edge. POSIX calls are allowed here and only
// under platform/linux.
#include "platform/linux/base/errors.h"

#include "platform/linux/base/files.h"
#include "platform/unicode.h"

#include <cerrno>
#include <sys/stat.h>

namespace zcf::linux_platform {

// ---- Errors --------------------------------------------------------------------------------

namespace {
thread_local std::uint32_t LAST_ERROR = 0;
}

void set_last_error(std::uint32_t code) { LAST_ERROR = code; }
std::uint32_t get_last_error() { return LAST_ERROR; }

std::uint32_t win32_from_errno(int err) {
    switch (err) {
        case 0: return win32::ERROR_SUCCESS_CODE;
        case ENOENT: return win32::ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return win32::ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR: return win32::ERROR_ACCESS_DENIED;
        case EROFS: return code::ERROR_WRITE_PROTECT;
        case EEXIST: return win32::ERROR_ALREADY_EXISTS;
        case ENAMETOOLONG: return win32::ERROR_FILENAME_EXCED_RANGE;
        case ELOOP: return code::ERROR_CANT_RESOLVE_FILENAME;
        case ENOSPC:
        case EDQUOT: return code::ERROR_DISK_FULL;
        case EFBIG: return code::ERROR_FILE_TOO_LARGE;
        case EMFILE:
        case ENFILE: return code::ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM: return win32::ERROR_NOT_ENOUGH_MEMORY;
        case ETXTBSY: return win32::ERROR_SHARING_VIOLATION;
        case EBUSY: return code::ERROR_BUSY;
        case ENOTEMPTY: return win32::ERROR_DIR_NOT_EMPTY;
        case EINVAL: return win32::ERROR_INVALID_PARAMETER;
        case EBADF: return win32::ERROR_INVALID_HANDLE;
        case ENOTSUP: return win32::ERROR_NOT_SUPPORTED;
        case EIO: return code::ERROR_IO_DEVICE;
        default: return code::ERROR_GEN_FAILURE;
    }
}

std::uint32_t win32_from_path_errno(int err, const std::string& path) {
    if (err == ENOENT) {
        struct stat st{};
        const std::string parent = parent_directory(path);
        if (::stat(backing(parent).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return win32::ERROR_FILE_NOT_FOUND;
        return win32::ERROR_PATH_NOT_FOUND;
    }
    return win32_from_errno(err);
}

std::uint32_t win32_from_transfer_status(std::int32_t status) {
    // Win32 codes of NTSTATUS 0xC000CF00 + index, as the system maps them (0: no mapping).
    static constexpr std::uint16_t CLOUD[] = {358, 0,   362, 363, 364, 0,   375, 376, 377, 378, 379,
                                              380, 381, 382, 383, 386, 387, 388, 389, 390, 391, 392,
                                              393, 394, 395, 396, 397, 398, 0,   404, 405, 426, 434};
    const auto value = static_cast<std::uint32_t>(status);
    if ((value & 0xFFFFFF00u) == 0xC000CF00u) {
        const std::uint32_t index = value & 0xFFu;
        if (index < std::size(CLOUD) && CLOUD[index] != 0) return CLOUD[index];
    }
    return win32::ERROR_CLOUD_FILE_UNSUCCESSFUL;
}

// ---- Text ----------------------------------------------------------------------------------

bool utf8_from_wide(const char16_t* text, std::string& out) {
    return utf16_to_utf8_strict(null_terminated(text), out);
}

std::string utf8_lossy(const char16_t* text) { return utf16_to_utf8_lossy(null_terminated(text)); }

std::u16string wide_from_utf8(std::string_view text) { return utf8_to_utf16_lossy(text); }

std::uint32_t path_from_wide(const char16_t* text, std::string& out) {
    if (!utf8_from_wide(text, out)) return win32::ERROR_INVALID_NAME;
    if (out.empty()) return win32::ERROR_PATH_NOT_FOUND;
    return 0;
}

}  // namespace zcf::linux_platform
