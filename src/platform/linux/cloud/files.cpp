// platform/linux/cloud: the Win32 file calls (CreateFileW, CloseHandle, GetFileAttributesW and
// directory enumeration) over POSIX files, with Windows' attribute words and last-error codes.
// POSIX calls are allowed here and only under platform/linux.
#include "platform/linux/cloud/linux_platform.h"
#include "platform/linux/registry/registry.h"
#include "platform/linux/cloud/engine.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

namespace zcf::linux_platform {

namespace {

// Access rights that read or write a file's content.
constexpr std::uint32_t GENERIC_READ = 0x80000000u;
constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
constexpr std::uint32_t GENERIC_EXECUTE = 0x20000000u;
constexpr std::uint32_t GENERIC_ALL = 0x10000000u;
constexpr std::uint32_t READ_DATA_RIGHTS = access::FILE_READ_DATA | 0x20u /*FILE_EXECUTE*/ | GENERIC_READ |
                                           GENERIC_EXECUTE | GENERIC_ALL;
constexpr std::uint32_t WRITE_DATA_RIGHTS = 0x2u /*FILE_WRITE_DATA*/ | 0x4u /*FILE_APPEND_DATA*/ |
                                            GENERIC_WRITE | GENERIC_ALL;
constexpr std::uint32_t FLAG_OPEN_REPARSE_POINT = 0x00200000u;

constexpr std::uint32_t CREATE_NEW = 1, CREATE_ALWAYS = 2, OPEN_ALWAYS = 4, TRUNCATE_EXISTING = 5;

// The online-only placeholder this thread's listing returned last, with its placeholder
// information: the attribute-only open that asks for it next ("scan" does for each) is answered
// from it, not from the file again.
struct LastListed {
    bool valid = false;
    std::string path;
    ListedPlaceholder facts;
};
thread_local LastListed LAST_LISTED;

// Fills one enumeration entry; false when it vanished since it was listed.
bool fill_entry(const FindState& find, const std::string& name, FindData* entry) {
    const std::string& directory = find.directory;
    const std::string path = directory == "/" ? "/" + name : directory + "/" + name;
    struct stat st{};
    LAST_LISTED.valid = false;
    if (::fstatat(find.dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    bool listed = false;
    const AttributeWord word = attribute_word(path, st, &LAST_LISTED.facts, &listed);
    if (listed) {
        LAST_LISTED.valid = true;
        LAST_LISTED.path = path;
        LAST_LISTED.facts.root_id = find.root_id;
    }
    *entry = FindData{};
    entry->attributes = word.attributes;
    entry->reparse_tag = (word.attributes & attr::REPARSE_POINT) != 0 ? word.reparse_tag : 0;
    const std::u16string wide = wide_from_utf8(name);
    const std::size_t n = std::min(wide.size(), std::size(entry->name) - 1);
    std::copy_n(wide.begin(), n, entry->name);
    entry->name[n] = 0;
    return true;
}

bool next_entry(FindState& find, FindData* entry) {
    while (find.next < find.names.size()) {
        if (fill_entry(find, find.names[find.next++], entry)) return true;
    }
    return false;
}

}  // namespace

Handle LinuxPlatform::create_file(const char16_t* path_text, std::uint32_t access, std::uint32_t /*share*/,
                                std::uint32_t disposition, std::uint32_t flags) {
    std::string path;
    if (const std::uint32_t err = path_from_wide(path_text, path); err != 0) {
        set_last_error(err);
        return INVALID_HANDLE;
    }
    if (disposition == OPEN_EXISTING_DISPOSITION && (access & ~access::FILE_READ_ATTRIBUTES) == 0 &&
        (flags & FLAG_OPEN_REPARSE_POINT) == 0 && LAST_LISTED.valid && LAST_LISTED.path == path) {
        auto file = std::make_shared<OpenFile>();
        file->path = path;
        file->listed = std::move(LAST_LISTED.facts);
        LAST_LISTED.valid = false;
        set_last_error(win32::ERROR_SUCCESS_CODE);
        return insert_file(std::move(file));
    }
    const bool write = (access & WRITE_DATA_RIGHTS) != 0;
    bool existed = true;
    if (disposition == CREATE_NEW || disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) {
        int oflags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY;
        if (disposition == CREATE_NEW) oflags |= O_EXCL;
        struct stat st{};
        existed = ::stat(backing(path).c_str(), &st) == 0;
        if (existed && S_ISDIR(st.st_mode)) {
            set_last_error(win32::ERROR_ACCESS_DENIED);
            return INVALID_HANDLE;
        }
        const UniqueFd fd(::open(backing(path).c_str(), oflags, 0666));
        if (!fd) {
            set_last_error(errno == EEXIST ? win32::ERROR_FILE_EXISTS : win32_from_path_errno(errno, path));
            return INVALID_HANDLE;
        }
        if (disposition == CREATE_ALWAYS && existed && ::ftruncate(fd.get(), 0) != 0) {
            set_last_error(win32_from_errno(errno));
            return INVALID_HANDLE;
        }
    } else if (disposition == TRUNCATE_EXISTING) {
        if (!write) {
            set_last_error(win32::ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE;
        }
    } else if (disposition != OPEN_EXISTING_DISPOSITION) {
        set_last_error(win32::ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE;
    }

    OpenRequest request;
    request.path = path;
    request.data_access = (access & (READ_DATA_RIGHTS | WRITE_DATA_RIGHTS)) != 0;
    request.write_access = write;
    request.directories = (flags & FLAG_BACKUP_SEMANTICS) != 0;
    request.follow_link = (flags & FLAG_OPEN_REPARSE_POINT) == 0;
    std::uint32_t error = 0;
    auto file = open_path(request, error);
    if (!file) {
        set_last_error(error);
        return INVALID_HANDLE;
    }
    if (disposition == TRUNCATE_EXISTING && ::ftruncate(file->fd.get(), 0) != 0) {
        set_last_error(win32_from_errno(errno));
        return INVALID_HANDLE;
    }
    if (file->data_access) {
        // An open that reads or writes content is a stream: the provider is told of the open.
        StreamIdentity stream{new_transfer_key(), static_cast<std::uint32_t>(::getpid()), own_image_path()};
        {
            std::lock_guard lock(state_mutex());
            file->transfer_key = stream.transfer_key;
        }
        notify_open(*file, stream);
    }
    const Handle handle = insert_file(std::move(file));
    set_last_error((disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) && existed
                       ? win32::ERROR_ALREADY_EXISTS
                       : win32::ERROR_SUCCESS_CODE);
    return handle;
}

bool LinuxPlatform::close_handle(Handle handle) {
    if (!remove_file(handle)) {
        set_last_error(win32::ERROR_INVALID_HANDLE);
        return false;
    }
    set_last_error(win32::ERROR_SUCCESS_CODE);
    return true;
}

std::uint32_t LinuxPlatform::file_attributes(const char16_t* path_text) {
    std::string path;
    if (const std::uint32_t err = path_from_wide(path_text, path); err != 0) {
        set_last_error(err);
        return INVALID_FILE_ATTRIBUTES_WORD;
    }
    struct stat st{};
    if (::lstat(backing(path).c_str(), &st) != 0) {
        set_last_error(win32_from_path_errno(errno, path));
        return INVALID_FILE_ATTRIBUTES_WORD;
    }
    set_last_error(win32::ERROR_SUCCESS_CODE);
    return attribute_word(path, st).attributes;
}

Handle LinuxPlatform::find_first(const char16_t* pattern_text, FindData* entry) {
    std::string pattern;
    if (const std::uint32_t err = path_from_wide(pattern_text, pattern); err != 0) {
        set_last_error(err);
        return INVALID_HANDLE;
    }
    if (entry == nullptr) {
        set_last_error(win32::ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE;
    }
    const std::size_t slash = pattern.rfind('/');
    std::string directory(".");
    std::string mask(pattern);
    if (slash != std::string::npos) {
        directory.assign(pattern, 0, slash);
        mask.assign(pattern, slash + 1, std::string::npos);
        if (directory.empty()) directory.assign(1, '/');
    }
    if (mask.empty()) {
        set_last_error(win32::ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE;
    }

    const UniqueDir dir(::opendir(backing(directory).c_str()));
    if (!dir) {
        const int err = errno;
        struct stat st{};
        // A file where the directory should be: Windows answers ERROR_DIRECTORY.
        if (err == ENOTDIR && ::stat(backing(directory).c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
            set_last_error(win32::ERROR_DIRECTORY);
        else
            set_last_error(err == ENOENT ? win32::ERROR_PATH_NOT_FOUND : win32_from_path_errno(err, directory));
        return INVALID_HANDLE;
    }
    auto find = std::make_shared<FindState>();
    find->directory = directory;
    find->dir = UniqueFd(::fcntl(::dirfd(dir.get()), F_DUPFD_CLOEXEC, 0));
    if (const auto root = sync_root_containing(directory)) find->root_id = root->folder_id;
    while (const dirent* d = ::readdir(dir.get())) {
        const std::string_view name = d->d_name;
        if (name == "." || name == ".." || is_creation_entry(name)) continue;
        if (mask != "*" && ::fnmatch(mask.c_str(), d->d_name, 0) != 0) continue;
        find->names.emplace_back(name);
    }
    std::sort(find->names.begin(), find->names.end());
    if (!next_entry(*find, entry)) {
        set_last_error(win32::ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE;
    }
    set_last_error(win32::ERROR_SUCCESS_CODE);
    return insert_find(std::move(find));
}

bool LinuxPlatform::find_next(Handle handle, FindData* entry) {
    auto find = lookup_find(handle);
    if (!find || entry == nullptr) {
        set_last_error(win32::ERROR_INVALID_HANDLE);
        return false;
    }
    if (!next_entry(*find, entry)) {
        set_last_error(code::ERROR_NO_MORE_FILES);
        return false;
    }
    set_last_error(win32::ERROR_SUCCESS_CODE);
    return true;
}

void LinuxPlatform::find_close(Handle handle) { remove_find(handle); }

}  // namespace zcf::linux_platform
