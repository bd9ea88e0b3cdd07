// Platform failure codes and the error-information objects a failing call may leave behind.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zcf {

// A Windows HRESULT: negative means failure.
using Hresult = std::int32_t;

inline constexpr Hresult S_OK_CODE = 0;

// HRESULT_FROM_WIN32: codes that are 0 or negative as signed 32-bit pass unchanged.
constexpr Hresult hresult_from_win32(std::uint32_t code) {
    return static_cast<std::int32_t>(code) <= 0
               ? static_cast<Hresult>(code)
               : static_cast<Hresult>((code & 0xFFFFu) | 0x80070000u);
}

// Win32 error codes the program and the platform produce.
namespace win32 {
inline constexpr std::uint32_t ERROR_SUCCESS_CODE = 0;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_BUSY = 170;
inline constexpr std::uint32_t ERROR_MOD_NOT_FOUND = 126;
inline constexpr std::uint32_t ERROR_PROC_NOT_FOUND = 127;
inline constexpr std::uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr std::uint32_t ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t ERROR_DIRECTORY = 267;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING = 362;
inline constexpr std::uint32_t ERROR_NOT_A_CLOUD_FILE = 376;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_NOT_IN_SYNC = 377;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_ALREADY_CONNECTED = 378;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_NOT_SUPPORTED = 379;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_INVALID_REQUEST = 380;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_UNSUCCESSFUL = 389;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT = 390;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_IN_USE = 391;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_PINNED = 392;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_ACCESS_DENIED = 395;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_REQUEST_ABORTED = 393;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_REQUEST_CANCELED = 398;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_PROVIDER_TERMINATED = 404;
inline constexpr std::uint32_t ERROR_NOT_A_CLOUD_SYNC_ROOT = 405;
inline constexpr std::uint32_t ERROR_CLOUD_FILE_REQUEST_TIMEOUT = 426;
inline constexpr std::uint32_t ERROR_NOT_FOUND = 1168;
}  // namespace win32

// HRESULTs that are not Win32 codes.
namespace hr {
inline constexpr Hresult E_NOTIMPL_CODE = static_cast<Hresult>(0x80004001u);
inline constexpr Hresult E_NOINTERFACE_CODE = static_cast<Hresult>(0x80004002u);
inline constexpr Hresult E_POINTER_CODE = static_cast<Hresult>(0x80004003u);
inline constexpr Hresult E_FAIL_CODE = static_cast<Hresult>(0x80004005u);
inline constexpr Hresult E_INVALIDARG_CODE = static_cast<Hresult>(0x80070057u);
inline constexpr Hresult E_OUTOFMEMORY_CODE = static_cast<Hresult>(0x8007000Eu);
inline constexpr Hresult REGDB_E_CLASSNOTREG_CODE = static_cast<Hresult>(0x80040154u);
}  // namespace hr

// NTSTATUS completion statuses the program hands to the platform: a failed transfer of content
// (the reader sees 376), a failed listing (389, "The cloud operation was unsuccessful.") and a
// refused delete or rename (395, "Access to the cloud file is denied."). Outside the cloud range
// 0xC000CFxx the platform would turn any failure into the unsuccessful one.
inline constexpr std::int32_t STATUS_NOT_A_CLOUD_FILE_CODE = static_cast<std::int32_t>(0xC000CF07u);
inline constexpr std::int32_t STATUS_CLOUD_FILE_UNSUCCESSFUL_CODE = static_cast<std::int32_t>(0xC000CF12u);
inline constexpr std::int32_t STATUS_CLOUD_FILE_ACCESS_DENIED_CODE = static_cast<std::int32_t>(0xC000CF18u);

// An error-information object (COM IErrorInfo, possibly offering IRestrictedErrorInfo).
class ErrorInfo {
public:
    virtual ~ErrorInfo() = default;
    // The description by the rendering rule: the restricted description when the object offers
    // IRestrictedErrorInfo and it is not empty, else its description, else IErrorInfo's
    // description. May be empty.
    virtual std::u16string description() const = 0;
};
using ErrorInfoPtr = std::unique_ptr<ErrorInfo>;

// A platform failure: its HRESULT and the error information the failing call left, if any. A
// call that captures its own error information returns one; code 0 (or any non-negative code)
// means it succeeded.
struct PlatformError {
    Hresult code = 0;
    ErrorInfoPtr info;
    bool failed() const { return code < 0; }
};

}  // namespace zcf
