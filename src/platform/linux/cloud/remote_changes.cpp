// platform/linux/cloud: the file-size query, in-sync state and revert. (Provider progress is a
// matter of the pending fetches and lives with them in hydration.cpp.) POSIX calls are allowed
// here and only under platform/linux.
#include "platform/linux/cloud/linux_platform.h"
#include "platform/linux/registry/registry.h"
#include "platform/linux/cloud/engine.h"

#include <cerrno>
#include <sys/stat.h>

namespace zcf::linux_platform {

namespace {

constexpr std::uint32_t SET_IN_SYNC_FLAGS_ALL = 0;
constexpr std::uint32_t REVERT_FLAGS_ALL = 0;

Hresult from_win32(std::uint32_t code) { return hresult_from_win32(code); }

// The open placeholder of `handle`, checked as the placeholder operations check it; nullptr with
// `error` set otherwise.
std::shared_ptr<OpenFile> placeholder_of(Handle handle, Hresult& error) {
    auto file = lookup_file(handle);
    if (!file) {
        error = from_win32(win32::ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (file->link || !read_state(MetaTarget{file->fd.get(), nullptr})) {
        error = from_win32(win32::ERROR_NOT_A_CLOUD_FILE);
        return nullptr;
    }
    if (!sync_root_containing(file->path)) {
        error = from_win32(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
        return nullptr;
    }
    error = S_OK_CODE;
    return file;
}

}  // namespace

bool LinuxPlatform::file_size(Handle handle, std::int64_t* size) {
    const auto file = lookup_file(handle);
    struct stat st{};
    if (!file || size == nullptr) {
        set_last_error(file ? win32::ERROR_INVALID_PARAMETER : win32::ERROR_INVALID_HANDLE);
        return false;
    }
    if (::fstat(file->fd.get(), &st) != 0) {
        set_last_error(win32_from_errno(errno));
        return false;
    }
    *size = S_ISREG(st.st_mode) ? static_cast<std::int64_t>(st.st_size) : 0;
    return true;
}

Hresult LinuxPlatform::set_in_sync_state(Handle handle, std::uint32_t in_sync_state, std::uint32_t flags,
                                       std::int64_t* in_sync_usn) {
    if (flags != SET_IN_SYNC_FLAGS_ALL || in_sync_state > IN_SYNC_STATE_IN_SYNC) return hr::E_INVALIDARG_CODE;
    Hresult error = S_OK_CODE;
    const auto file = placeholder_of(handle, error);
    if (!file) return error;
    const MetadataLock meta(*file->node, *file);
    auto state = settled_state(meta, error);
    if (!state) return error;
    const MetaTarget target{meta.fd(), nullptr};
    if (const Hresult moved = check_usn(meta, in_sync_usn); moved < 0) return moved;
    state->in_sync = in_sync_state == IN_SYNC_STATE_IN_SYNC;
    if (const int err = write_state(target, *state); err != 0) return hr_from_errno(err);
    const int err = record_change(target, in_sync_usn);
    return err == 0 ? S_OK_CODE : hr_from_errno(err);
}

Hresult LinuxPlatform::revert_placeholder(Handle handle, std::uint32_t flags) {
    if (flags != REVERT_FLAGS_ALL) return hr::E_INVALIDARG_CODE;
    Hresult error = S_OK_CODE;
    const auto file = placeholder_of(handle, error);
    if (!file) return error;
    const MetadataLock meta(*file->node, *file);
    const auto state = settled_state(meta, error);
    if (!state) return error;
    const MetaTarget target{meta.fd(), nullptr};
    struct stat st{};
    if (::fstat(meta.fd(), &st) != 0) return hr_from_errno(errno);
    // Windows would fetch the missing content first; the platform never does, and refuses as
    // Windows refuses when that fetch cannot complete. Nothing is changed.
    if (!file->directory && !wholly_present(*state, st.st_size))
        return from_win32(win32::ERROR_CLOUD_FILE_ACCESS_DENIED);
    // The state attribute last: it is what makes the file a placeholder.
    if (const int err = write_pin(target, pin_state::UNSPECIFIED); err != 0) return hr_from_errno(err);
    if (const int err = remove_placeholder_metadata(target); err != 0) return hr_from_errno(err);
    const int err = record_change(target, nullptr);
    return err == 0 ? S_OK_CODE : hr_from_errno(err);
}

}  // namespace zcf::linux_platform
