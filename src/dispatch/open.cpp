#include "dispatch/open.h"

#include "dispatch/text.h"
#include "platform/platform.h"

namespace zcf {

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        if (handle_valid(handle_)) platform().close_handle(handle_);
        handle_ = other.release();
    }
    return *this;
}

FileHandle::~FileHandle() {
    if (handle_valid(handle_)) platform().close_handle(handle_);
}

Handle FileHandle::release() {
    const Handle h = handle_;
    handle_ = INVALID_HANDLE;
    return h;
}

std::optional<PlatformError> FileHandle::close() {
    const Handle h = release();
    if (!handle_valid(h)) return std::nullopt;
    if (!platform().close_handle(h)) return error_from_last_error();
    return std::nullopt;
}

Expected<FileHandle> open(std::string_view path, std::uint32_t access) {
    const std::u16string name = wide(path);
    const Handle h = platform().create_file(name.c_str(), access, SHARE_ALL, OPEN_EXISTING_DISPOSITION,
                                            FLAG_BACKUP_SEMANTICS);
    if (!handle_valid(h)) return error_from_last_error();
    return FileHandle(h);
}

}  // namespace zcf
