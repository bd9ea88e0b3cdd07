#include "common/open.h"

#include "common/text.h"
#include "platform/platform.h"

namespace zcf {

bool close_file_handle(Handle h) { return platform().close_handle(h); }

bool close_find_handle(Handle h) {
    platform().find_close(h);
    return true;
}

bool close_protected_handle(Handle h) {
    platform().close_protected_handle(h);
    return true;
}

std::optional<PlatformError> close_file(FileHandle& file) {
    if (!file.close()) return error_from_last_error();
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
