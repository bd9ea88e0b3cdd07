// platform/linux/base: errors (the thread's last-error code, errno to Win32 codes) and text at
// the platform edge (UTF-16 and UTF-8, paths from Win32-style calls). POSIX calls are allowed here
// and only under platform/linux.
#pragma once

#include "platform/error.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace zcf::linux_platform {

// ---- Errors --------------------------------------------------------------------------------

void set_last_error(std::uint32_t code);
std::uint32_t get_last_error();

// Win32 codes the platform produces beyond those of platform/error.h.
namespace code {
inline constexpr std::uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr std::uint32_t ERROR_NO_MORE_FILES = 18;
inline constexpr std::uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_DISK_FULL = 112;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_BUSY = 170;
inline constexpr std::uint32_t ERROR_FILE_TOO_LARGE = 223;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_SYNC_ROOT_METADATA_CORRUPT = 358;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_METADATA_TOO_LARGE = 364;
inline constexpr std::uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr std::uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;
}  // namespace code

// The Win32 code Windows gives for the situation that `err` (an errno value) describes.
std::uint32_t win32_from_errno(int err);
// As above, for a failed lookup of `path`: ENOENT gives ERROR_FILE_NOT_FOUND when the parent
// directory exists and ERROR_PATH_NOT_FOUND when it does not; ENOTDIR gives ERROR_PATH_NOT_FOUND.
std::uint32_t win32_from_path_errno(int err, const std::string& path);
inline Hresult hr_from_errno(int err) { return hresult_from_win32(win32_from_errno(err)); }

// NTSTATUS of a failed transfer to the Win32 code its reader fails with: the cloud range
// 0xC000CFxx maps to its own code, every other failure to ERROR_CLOUD_FILE_UNSUCCESSFUL.
std::uint32_t win32_from_transfer_status(std::int32_t status);

// ---- Text ----------------------------------------------------------------------------------

// NUL-terminated UTF-16 to UTF-8, up to the first NUL. Fails (and `out` is empty) on an unpaired
// surrogate. These are the platform edge's forms of the conversions in platform/unicode.h.
bool utf8_from_wide(const char16_t* text, std::string& out);
// The same with each unpaired surrogate replaced by U+FFFD (texts that are not paths).
std::string utf8_lossy(const char16_t* text);
// UTF-8 to UTF-16, each maximal invalid subsequence replaced by U+FFFD.
std::u16string wide_from_utf8(std::string_view text);

// The path a Win32-style call receives: converted, with the error code Windows gives for an
// unusable one (ERROR_PATH_NOT_FOUND for an empty path, ERROR_INVALID_NAME for an unpaired
// surrogate). Returns 0 and fills `out`, or the code.
std::uint32_t path_from_wide(const char16_t* text, std::string& out);

}  // namespace zcf::linux_platform
