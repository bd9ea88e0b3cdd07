// platform/linux/cloud: the Cloud Files placeholder operations: create placeholders (and what a
// creation cut short leaves), pin state, dehydration, placeholder information, protected (oplock)
// handles, conversion and update. POSIX calls are allowed here and only under platform/linux.
#include "platform/linux/cloud/front_end.h"
#include "platform/linux/cloud/linux_platform.h"
#include "platform/linux/registry/registry.h"
#include "platform/linux/cloud/engine.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace zcf::linux_platform {

namespace {

constexpr std::uint32_t SET_PIN_FLAG_RECURSE_ONLY = 0x2;
constexpr std::uint32_t SET_PIN_FLAG_STOP_ON_ERROR = 0x4;
constexpr std::uint32_t PIN_STATE_INHERIT = 4;
constexpr std::uint32_t CREATE_FLAG_STOP_ON_ERROR = 0x1;
constexpr std::uint32_t CONVERT_FLAG_DEHYDRATE = 0x2;
constexpr std::uint32_t CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION = 0x4;
constexpr std::uint32_t UPDATE_FLAG_VERIFY_IN_SYNC = 0x1;
constexpr std::uint32_t UPDATE_FLAG_DEHYDRATE = 0x4;
constexpr std::uint32_t UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION = 0x8;
constexpr std::uint32_t UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION = 0x10;
constexpr std::uint32_t UPDATE_FLAG_REMOVE_FILE_IDENTITY = 0x20;
constexpr std::uint32_t UPDATE_FLAG_CLEAR_IN_SYNC = 0x40;
constexpr std::int32_t HYDRATION_POLICY_ALWAYS_FULL = 3;

Hresult from_win32(std::uint32_t code) { return hresult_from_win32(code); }

// A Windows file time (100 ns since 1601) as a POSIX time.
timespec timespec_from_filetime(std::int64_t filetime) {
    const __int128 ticks = static_cast<__int128>(filetime) - FILETIME_UNIX_EPOCH;
    __int128 seconds = ticks / 10000000;
    __int128 rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds -= 1;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>(rest * 100);
    return ts;
}

// Sets access and modification times from the record (0: leave unchanged).
void apply_times(int fd, const FileBasicInfo& basic) {
    timespec times[2];
    times[0] = basic.last_access_time != 0 ? timespec_from_filetime(basic.last_access_time) : timespec{0, UTIME_OMIT};
    times[1] = basic.last_write_time != 0 ? timespec_from_filetime(basic.last_write_time) : timespec{0, UTIME_OMIT};
    ::futimens(fd, times);  // times the file system cannot hold are left as they are
}

void apply_readonly(int fd, std::uint32_t attributes) {
    std::lock_guard lock(mode_mutex());
    struct stat st{};
    if (attributes == 0 || ::fstat(fd, &st) != 0) return;
    const mode_t mode = (attributes & attr::READONLY) != 0 ? (st.st_mode & ~mode_t{0222}) : (st.st_mode | S_IWUSR);
    if (mode != st.st_mode) ::fchmod(fd, mode & 07777);
}

// The file of a handle, or the failure for an unknown handle.
std::shared_ptr<OpenFile> file_of(Handle handle, Hresult& error) {
    auto file = lookup_file(handle);
    error = file ? S_OK_CODE : from_win32(win32::ERROR_INVALID_HANDLE);
    return file;
}

bool under_sync_root(const std::string& path) { return sync_root_containing(path) != nullptr; }

// Removes content: unmarks `ranges` first, then punches them out. The caller holds the metadata
// lock and the content against reads.
int remove_content(const MetadataLock& meta, PlaceholderState next, const std::vector<FileRange>& ranges) {
    struct stat st{};
    if (::fstat(meta.fd(), &st) != 0) return errno;
    std::vector<std::pair<std::int64_t, std::int64_t>> spans;
    for (const FileRange& r : ranges) {
        const std::int64_t end = r.length < 0 || r.length > st.st_size - r.starting_offset ? st.st_size
                                                                                            : r.starting_offset + r.length;
        if (r.starting_offset < end) spans.emplace_back(r.starting_offset, end);
    }
    for (const auto& [b, e] : spans) next.present.subtract(b, e);
    if (const int err = write_state(MetaTarget{meta.fd(), nullptr}, next); err != 0) return err;
    int err = 0;
    for (const auto& [b, e] : spans) {
        // A range that ends the file takes the file's last block whole.
        const std::int64_t punch_end = e == st.st_size ? (e + CHUNK_ALIGNMENT - 1) / CHUNK_ALIGNMENT * CHUNK_ALIGNMENT : e;
        if (::fallocate(meta.fd(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, b, punch_end - b) != 0) err = errno;
    }
    return err;
}

// Removes `ranges` of a file placeholder whose metadata lock the caller holds and whose content it
// holds against reads; `state` was read under the lock. The file's times stay as they are.
Hresult remove_content_keeping_times(const MetadataLock& meta, const PlaceholderState& state,
                                     const std::vector<FileRange>& ranges) {
    struct stat before{};
    if (::fstat(meta.fd(), &before) != 0) return hr_from_errno(errno);
    const int err = remove_content(meta, state, ranges);
    keep_mtime(meta.fd(), before);
    publish_change(before, true);
    return err == 0 ? S_OK_CODE : hr_from_errno(err);
}

// Dehydrates `ranges` of a file placeholder whose metadata lock the caller holds; `state` was read
// under it.
Hresult dehydrate_locked(const OpenFile& file, const MetadataLock& meta, const PlaceholderState& state,
                         const std::vector<FileRange>& ranges) {
    const ContentRemoval removal(*file.node, file, meta);
    if (removal.error() != 0) return from_win32(removal.error());
    return remove_content_keeping_times(meta, state, ranges);
}

// Whether the file is a placeholder, as its state says now. Looked at before the metadata lock is
// taken, so that a file this process may not write is refused for what it is.
bool is_placeholder(const OpenFile& file) { return read_state(MetaTarget{file.fd.get(), nullptr}).has_value(); }

Hresult check_identity(const void* identity, std::uint32_t length) {
    if (identity == nullptr && length > 0) return hr::E_INVALIDARG_CODE;
    if (length > PLACEHOLDER_MAX_IDENTITY_LENGTH) return from_win32(code::ERROR_CLOUD_FILE_METADATA_TOO_LARGE);
    return S_OK_CODE;
}

// Metadata writes that fail for want of room (ENOSPC, E2BIG from the extended attributes) mean
// the identity does not fit beside the placeholder's other metadata.
Hresult metadata_error(int err) {
    if (err == ENOSPC || err == E2BIG || err == ERANGE) return from_win32(code::ERROR_CLOUD_FILE_METADATA_TOO_LARGE);
    return hr_from_errno(err);
}

// Records the change just made and hands out its number.
Hresult recorded(const MetadataLock& meta, std::int64_t* usn) {
    const int err = record_change(MetaTarget{meta.fd(), nullptr}, usn);
    return err == 0 ? S_OK_CODE : metadata_error(err);
}

// A name Windows accepts for a file or directory: not empty, `.` or `..`, and without control
// characters (1 to 31) or any of < > : " / \ | ? *.
bool valid_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    constexpr std::string_view REFUSED = "<>:\"/\\|?*";
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 32 || REFUSED.find(c) != std::string_view::npos) return false;
    return true;
}

std::string join(const std::string& directory, std::string_view name) {
    return (directory == "/" ? std::string() : directory) + "/" + std::string(name);
}

constexpr std::string_view CREATION_PREFIX = ".zcf-create-";
std::atomic<std::uint64_t> NEXT_TEMP{1};

// O_TMPFILE is not supported by the file system (or the kernel).
bool unnamed_files_unsupported(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL; }

// Removes the entries of placeholders under construction whose creating process has ended, once
// per directory (device, inode and path) and process.
void remove_abandoned_entries(const std::string& directory, const struct stat& st) {
    static std::mutex* const MUTEX = new std::mutex();
    static auto* const SWEPT = new std::set<std::tuple<dev_t, ino_t, std::string>>();
    {
        std::lock_guard lock(*MUTEX);
        if (!SWEPT->emplace(st.st_dev, st.st_ino, directory).second) return;
    }
    const UniqueDir dir(::opendir(backing(directory).c_str()));
    if (!dir) return;
    std::vector<std::string> abandoned;
    while (const dirent* d = ::readdir(dir.get())) {
        std::uint32_t creator = 0;
        if (!is_creation_entry(d->d_name, &creator) || creator == static_cast<std::uint32_t>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(creator), 0) != 0 && errno == ESRCH) abandoned.emplace_back(d->d_name);
    }
    for (const std::string& name : abandoned)
        if (::unlinkat(::dirfd(dir.get()), name.c_str(), 0) != 0 && errno == EISDIR)
            ::unlinkat(::dirfd(dir.get()), name.c_str(), AT_REMOVEDIR);
}

// Creates one placeholder and names it when it is complete, without replacing anything: a
// placeholder appears whole or not at all. A file is built unnamed (O_TMPFILE) and linked in, so
// a process that dies half-way leaves nothing; a directory (or a file where the file system cannot
// make unnamed ones) is built under a creation entry's name and renamed.
Hresult create_one(const std::string& base, PlaceholderCreateInfo& item) {
    if (item.relative_file_name == nullptr) return hr::E_INVALIDARG_CODE;
    std::string name;
    if (!utf8_from_wide(item.relative_file_name, name) || !valid_name(name)) return from_win32(win32::ERROR_INVALID_NAME);
    if (name.size() > 255) return from_win32(win32::ERROR_FILENAME_EXCED_RANGE);
    const bool directory = (item.fs_metadata.basic_info.file_attributes & attr::DIRECTORY) != 0;
    if (!directory && item.fs_metadata.file_size < 0) return hr::E_INVALIDARG_CODE;
    if (const Hresult bad = check_identity(item.file_identity, item.file_identity_length); bad < 0) return bad;

    const std::string target = join(base, name);
    struct stat st{};
    if (::lstat(backing(target).c_str(), &st) == 0) return from_win32(win32::ERROR_ALREADY_EXISTS);
    UniqueFd fd;
    std::string temp;  // the creation entry, when the placeholder is built under a name
    if (!directory) fd = UniqueFd(::open(backing(base).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (directory || (!fd && unnamed_files_unsupported(errno))) {
        temp = join(base, creation_entry_name());
        if (!directory) {
            fd = UniqueFd(::open(backing(temp).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        } else if (::mkdir(backing(temp).c_str(), 0777) == 0) {
            fd = UniqueFd(::open(backing(temp).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        } else {
            return hr_from_errno(errno);
        }
    }
    auto fail = [&](Hresult code) {
        fd.reset();
        if (!temp.empty()) (void)(directory ? ::rmdir(backing(temp).c_str()) : ::unlink(backing(temp).c_str()));
        return code;
    };
    if (!fd) return fail(hr_from_errno(errno));
    // Files are sparse: the logical size with no content.
    if (!directory && ::ftruncate(fd.get(), item.fs_metadata.file_size) != 0) return fail(hr_from_errno(errno));
    const MetaTarget meta{fd.get(), nullptr};
    if (item.file_identity_length > 0) {
        if (const int err = write_identity(meta, item.file_identity, item.file_identity_length); err != 0)
            return fail(metadata_error(err));
    }
    PlaceholderState state;
    state.in_sync = (item.flags & placeholder_create_flag::MARK_IN_SYNC) != 0;
    state.population_enabled = directory && (item.flags & placeholder_create_flag::DISABLE_ON_DEMAND_POPULATION) == 0;
    if (const int err = write_state(meta, state); err != 0) return fail(metadata_error(err));
    apply_times(fd.get(), item.fs_metadata.basic_info);
    apply_readonly(fd.get(), item.fs_metadata.basic_info.file_attributes);
    if (const int err = record_change(meta, &item.create_usn); err != 0) return fail(metadata_error(err));
    int rc = 0;
    if (temp.empty()) {
        rc = ::linkat(AT_FDCWD, descriptor_path(fd.get()).c_str(), AT_FDCWD, backing(target).c_str(), AT_SYMLINK_FOLLOW);
    } else {
        fd.reset();
        rc = ::renameat2(AT_FDCWD, backing(temp).c_str(), AT_FDCWD, backing(target).c_str(), RENAME_NOREPLACE);
    }
    if (rc != 0) {
        const int err = errno;
        return fail(err == EEXIST ? from_win32(win32::ERROR_ALREADY_EXISTS) : hr_from_errno(err));
    }
    return S_OK_CODE;
}

}  // namespace

// ---- Create --------------------------------------------------------------------------------

std::string creation_entry_name() {
    return std::string(CREATION_PREFIX) + std::to_string(::getpid()) + "-" + std::to_string(NEXT_TEMP.fetch_add(1));
}

bool is_creation_entry(std::string_view name, std::uint32_t* creator) {
    if (name.substr(0, CREATION_PREFIX.size()) != CREATION_PREFIX) return false;
    name.remove_prefix(CREATION_PREFIX.size());
    const auto dash = name.find('-');
    if (dash == std::string_view::npos || dash == 0 || dash > 10 || dash + 1 == name.size()) return false;
    std::uint64_t pid = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (i == dash) continue;
        if (name[i] < '0' || name[i] > '9') return false;
        if (i < dash) pid = pid * 10 + static_cast<std::uint64_t>(name[i] - '0');
    }
    if (pid > UINT32_MAX) return false;
    if (creator != nullptr) *creator = static_cast<std::uint32_t>(pid);
    return true;
}

Hresult LinuxPlatform::create_placeholders(const char16_t* base_text, PlaceholderCreateInfo* placeholders,
                                         std::uint32_t count, std::uint32_t flags, std::uint32_t* entries_processed) {
    if (entries_processed != nullptr) *entries_processed = 0;
    if (placeholders == nullptr && count > 0) return hr::E_INVALIDARG_CODE;
    std::string base_path;
    if (const std::uint32_t err = path_from_wide(base_text, base_path); err != 0) return from_win32(err);
    struct stat st{};
    if (::stat(backing(base_path).c_str(), &st) != 0) {
        const int err = errno;
        return from_win32(err == ENOENT || err == ENOTDIR ? win32::ERROR_PATH_NOT_FOUND : win32_from_errno(err));
    }
    if (!S_ISDIR(st.st_mode)) return from_win32(win32::ERROR_DIRECTORY);
    std::string base;
    if (const int err = canonical_path(base_path, base); err != 0) return hr_from_errno(err);
    const auto root = sync_root_containing(base);
    if (!root) return from_win32(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    if (root->hydration_policy == HYDRATION_POLICY_ALWAYS_FULL) return from_win32(win32::ERROR_CLOUD_FILE_NOT_SUPPORTED);
    remove_abandoned_entries(base, st);

    std::uint32_t processed = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        PlaceholderCreateInfo& item = placeholders[i];
        item.create_usn = 0;
        item.result = create_one(base, item);
        if (item.result < 0) item.create_usn = 0;
        ++processed;
        if (item.result < 0 && (flags & CREATE_FLAG_STOP_ON_ERROR) != 0) {
            if (entries_processed != nullptr) *entries_processed = processed;
            return item.result;
        }
    }
    if (entries_processed != nullptr) *entries_processed = processed;
    publish_change(st, false);  // the folder's times changed beneath a mounted front end
    return S_OK_CODE;
}

// ---- Pin state -----------------------------------------------------------------------------

Hresult LinuxPlatform::set_pin_state(Handle handle, std::uint32_t pin, std::uint32_t flags) {
    Hresult error = S_OK_CODE;
    const auto file = file_of(handle, error);
    if (!file) return error;
    if (pin > PIN_STATE_INHERIT || (flags & ~std::uint32_t{0x7}) != 0) return hr::E_INVALIDARG_CODE;
    if (!under_sync_root(file->path)) return from_win32(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    if (pin == PIN_STATE_INHERIT) {
        const std::string parent = parent_directory(file->path);
        pin = read_pin(MetaTarget{-1, parent.c_str()});
    }
    if ((flags & SET_PIN_FLAG_RECURSE_ONLY) == 0) {
        if (file->link) {
            if (const int err = write_pin(MetaTarget{-1, file->path.c_str()}, pin); err != 0) return hr_from_errno(err);
        } else {
            // Under the metadata lock where this process may take it, so that the pin's number
            // follows the others; a file it may not write is pinned all the same.
            const MetadataLock meta(*file->node, *file);
            const MetaTarget target = meta.error() == 0 ? MetaTarget{meta.fd(), nullptr} : MetaTarget{file->fd.get(), nullptr};
            if (const int err = write_pin(target, pin); err != 0) return hr_from_errno(err);
            record_own_change(target);
        }
    }
    if ((flags & (SET_PIN_FLAG_RECURSE | SET_PIN_FLAG_RECURSE_ONLY)) == 0 || !file->directory) return S_OK_CODE;

    // Everything below, without following links; the first failure is reported.
    Hresult first_failure = S_OK_CODE;
    std::vector<std::string> pending{file->path};
    while (!pending.empty()) {
        const std::string dir_path = std::move(pending.back());
        pending.pop_back();
        const UniqueDir dir(::opendir(backing(dir_path).c_str()));
        if (!dir) {
            if (first_failure >= 0) first_failure = hr_from_errno(errno);
            if ((flags & SET_PIN_FLAG_STOP_ON_ERROR) != 0) return first_failure;
            continue;
        }
        while (const dirent* d = ::readdir(dir.get())) {
            const std::string_view name = d->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = dir_path == "/" ? "/" + std::string(name) : dir_path + "/" + std::string(name);
            struct stat st{};
            if (::lstat(backing(path).c_str(), &st) != 0 || S_ISLNK(st.st_mode)) continue;
            if (const int err = write_pin(MetaTarget{-1, path.c_str()}, pin); err != 0) {
                if (first_failure >= 0) first_failure = hr_from_errno(err);
                if ((flags & SET_PIN_FLAG_STOP_ON_ERROR) != 0) return first_failure;
            } else {
                record_own_change(MetaTarget{-1, path.c_str()});
            }
            if (S_ISDIR(st.st_mode)) pending.push_back(path);
        }
    }
    return first_failure;
}

// ---- Dehydrate -----------------------------------------------------------------------------

Hresult LinuxPlatform::dehydrate_placeholder(Handle handle, std::int64_t offset, std::int64_t length,
                                           std::uint32_t flags) {
    Hresult error = S_OK_CODE;
    const auto file = file_of(handle, error);
    if (!file) return error;
    if ((flags & ~std::uint32_t{0x1}) != 0 || offset < 0 || length < CF_EOF_LENGTH || length == 0)
        return hr::E_INVALIDARG_CODE;
    if (!under_sync_root(file->path)) return from_win32(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    if (file->link || !is_placeholder(*file)) return from_win32(win32::ERROR_NOT_A_CLOUD_FILE);
    if (file->directory) return from_win32(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
    const MetadataLock meta(*file->node, *file);
    Hresult failure = S_OK_CODE;
    const auto state = settled_state(meta, failure);
    if (!state) return failure;
    if (!state->in_sync) return from_win32(win32::ERROR_CLOUD_FILE_NOT_IN_SYNC);
    if (read_pin(MetaTarget{meta.fd(), nullptr}) == pin_state::PINNED) return from_win32(win32::ERROR_CLOUD_FILE_PINNED);
    if (const Hresult r = dehydrate_locked(*file, meta, *state, {FileRange{offset, length}}); r < 0) return r;
    return recorded(meta, nullptr);
}

// ---- Placeholder information ---------------------------------------------------------------

Hresult LinuxPlatform::get_placeholder_info(Handle handle, std::uint32_t info_class, void* buffer,
                                          std::uint32_t buffer_length, std::uint32_t* returned_length) {
    if (returned_length != nullptr) *returned_length = 0;
    const auto file = lookup_file_as_listed(handle);
    if (!file) return from_win32(win32::ERROR_INVALID_HANDLE);
    if (info_class != PLACEHOLDER_INFO_BASIC || buffer == nullptr) return hr::E_INVALIDARG_CODE;
    if (file->link) return from_win32(win32::ERROR_NOT_A_CLOUD_FILE);
    ListedPlaceholder facts;
    if (file->listed) {
        facts = *file->listed;
    } else {
        if (const auto root = sync_root_containing(file->path)) facts.root_id = root->folder_id;
        const auto state = read_state(MetaTarget{file->fd.get(), nullptr});
        if (!state) return from_win32(win32::ERROR_NOT_A_CLOUD_FILE);
        struct stat st{};
        ::fstat(file->fd.get(), &st);
        facts.ino = st.st_ino;
        facts.identity = read_identity(MetaTarget{file->fd.get(), nullptr});
        facts.pin = read_pin(MetaTarget{file->fd.get(), nullptr});
        facts.in_sync = state->in_sync && !changed_outside(*file, st);
    }
    if (buffer_length < PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET) return from_win32(code::ERROR_INSUFFICIENT_BUFFER);
    const std::int64_t root_id = facts.root_id;
    const std::uint32_t in_sync = facts.in_sync ? IN_SYNC_STATE_IN_SYNC : 0;
    const auto file_id = static_cast<std::int64_t>(facts.ino);
    const auto identity_length = static_cast<std::uint32_t>(facts.identity.size());
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memcpy(out + 0, &facts.pin, 4);
    std::memcpy(out + 4, &in_sync, 4);
    std::memcpy(out + 8, &file_id, 8);
    std::memcpy(out + 16, &root_id, 8);
    std::memcpy(out + 24, &identity_length, 4);
    const std::uint32_t room = buffer_length - PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET;
    const std::uint32_t copied = std::min(room, identity_length);
    if (copied > 0) std::memcpy(out + PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET, facts.identity.data(), copied);
    if (returned_length != nullptr) *returned_length = PLACEHOLDER_BASIC_INFO_IDENTITY_OFFSET + copied;
    return copied < identity_length ? from_win32(win32::ERROR_MORE_DATA) : S_OK_CODE;
}

// ---- Protected handles ---------------------------------------------------------------------

Hresult LinuxPlatform::open_file_with_oplock(const char16_t* path_text, std::uint32_t flags, Handle* protected_handle) {
    if (protected_handle == nullptr) return hr::E_INVALIDARG_CODE;
    *protected_handle = INVALID_HANDLE;
    if ((flags & ~std::uint32_t{0xF}) != 0) return hr::E_INVALIDARG_CODE;
    OpenRequest request;
    if (const std::uint32_t err = path_from_wide(path_text, request.path); err != 0) return from_win32(err);
    request.write_access = (flags & OPEN_FILE_FLAG_WRITE_ACCESS) != 0;
    request.exclusive = (flags & OPEN_FILE_FLAG_EXCLUSIVE) != 0;
    request.follow_link = false;  // the reparse point itself, as the oplock open sees it
    std::uint32_t error = 0;
    auto file = open_path(request, error);
    if (!file) return from_win32(error);
    file->owned_by_protected = true;
    *protected_handle = insert_protected(insert_file(std::move(file)));
    return S_OK_CODE;
}

bool LinuxPlatform::reference_protected_handle(Handle protected_handle) { return reference_protected(protected_handle); }
void LinuxPlatform::release_protected_handle(Handle protected_handle) { release_protected(protected_handle); }
Handle LinuxPlatform::win32_handle_from_protected(Handle protected_handle) { return protected_inner(protected_handle); }
void LinuxPlatform::close_protected_handle(Handle protected_handle) { close_protected(protected_handle); }

// ---- Convert and update --------------------------------------------------------------------

Hresult LinuxPlatform::convert_to_placeholder(Handle handle, const void* identity, std::uint32_t identity_length,
                                            std::uint32_t flags, std::int64_t* convert_usn) {
    Hresult error = S_OK_CODE;
    const auto file = file_of(handle, error);
    if (!file) return error;
    if ((flags & ~std::uint32_t{0x1F}) != 0) return hr::E_INVALIDARG_CODE;
    if (const Hresult bad = check_identity(identity, identity_length); bad < 0) return bad;
    if (file->link) return from_win32(win32::ERROR_NOT_A_CLOUD_FILE);
    if (!under_sync_root(file->path)) return from_win32(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    if (is_placeholder(*file)) return from_win32(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
    const MetadataLock meta(*file->node, *file);
    if (meta.error() != 0) return hr_from_errno(meta.error());
    const MetaTarget target{meta.fd(), nullptr};
    if (read_state(target)) return from_win32(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
    struct stat st{};
    if (::fstat(meta.fd(), &st) != 0) return hr_from_errno(errno);

    // The identity first: the state attribute is what makes the file a placeholder.
    if (const int err = write_identity(target, identity, identity_length); err != 0) return metadata_error(err);
    PlaceholderState state;
    state.in_sync = (flags & CONVERT_FLAG_MARK_IN_SYNC) != 0;
    state.population_enabled = file->directory && (flags & CONVERT_FLAG_ENABLE_ON_DEMAND_POPULATION) != 0;
    if (!file->directory) state.present.add(0, st.st_size);  // the content stays and counts as present
    if (const int err = write_state(target, state); err != 0) {
        remove_placeholder_metadata(target);
        return metadata_error(err);
    }
    if ((flags & CONVERT_FLAG_DEHYDRATE) != 0 && !file->directory) {
        if (const Hresult r = dehydrate_locked(*file, meta, state, {FileRange{0, CF_EOF_LENGTH}}); r < 0) return r;
    }
    return recorded(meta, convert_usn);
}

Hresult LinuxPlatform::update_placeholder(Handle handle, const FsMetadata* metadata, const void* identity,
                                        std::uint32_t identity_length, const FileRange* dehydrate_ranges,
                                        std::uint32_t range_count, std::uint32_t flags, std::int64_t* update_usn) {
    Hresult error = S_OK_CODE;
    const auto file = file_of(handle, error);
    if (!file) return error;
    if ((flags & ~std::uint32_t{0x7FF}) != 0 || (dehydrate_ranges == nullptr && range_count > 0))
        return hr::E_INVALIDARG_CODE;
    if (const Hresult bad = check_identity(identity, identity_length); bad < 0) return bad;
    if (metadata != nullptr && !file->directory && metadata->file_size < 0) return hr::E_INVALIDARG_CODE;
    // A reparse point that is no placeholder (a symbolic link) is not a cloud file.
    if (file->link || !is_placeholder(*file)) return from_win32(win32::ERROR_NOT_A_CLOUD_FILE);
    if (!under_sync_root(file->path)) return from_win32(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT);
    const MetadataLock meta(*file->node, *file);
    auto state = settled_state(meta, error);
    if (!state) return error;
    const MetaTarget target{meta.fd(), nullptr};
    struct stat before{};
    if (::fstat(meta.fd(), &before) != 0) return hr_from_errno(errno);

    // Every refusal comes before the first change.
    if (const Hresult moved = check_usn(meta, update_usn); moved < 0) return moved;
    if ((flags & UPDATE_FLAG_VERIFY_IN_SYNC) != 0 && !state->in_sync)
        return from_win32(win32::ERROR_CLOUD_FILE_NOT_IN_SYNC);
    std::vector<FileRange> ranges(dehydrate_ranges, dehydrate_ranges + range_count);
    if ((flags & UPDATE_FLAG_DEHYDRATE) != 0) ranges.assign(1, FileRange{0, CF_EOF_LENGTH});
    std::optional<ContentRemoval> removal;
    if (!ranges.empty()) {
        if (file->directory) return from_win32(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
        if (read_pin(target) == pin_state::PINNED) return from_win32(win32::ERROR_CLOUD_FILE_PINNED);
        // Content that is not in sync would be lost, even when this update marks the file in sync.
        if (!state->in_sync) return from_win32(win32::ERROR_CLOUD_FILE_NOT_IN_SYNC);
        removal.emplace(*file->node, *file, meta);
        if (removal->error() != 0) return from_win32(removal->error());
    }

    // An update that changes nothing (a condition at most) answers the number the file has.
    if (metadata == nullptr && identity == nullptr && ranges.empty() && (flags & ~UPDATE_FLAG_VERIFY_IN_SYNC) == 0) {
        if (update_usn != nullptr) *update_usn = current_usn(target, before);
        return S_OK_CODE;
    }

    if ((flags & UPDATE_FLAG_REMOVE_FILE_IDENTITY) != 0) {
        if (const int err = write_identity(target, nullptr, 0); err != 0) return hr_from_errno(err);
    } else if (identity != nullptr) {
        if (const int err = write_identity(target, identity, identity_length); err != 0) return metadata_error(err);
    }
    if (metadata != nullptr) {
        if (!file->directory && metadata->file_size != before.st_size) {
            // A new size: what lies beyond it is gone, what it adds is not present (nor was
            // anything past the old end).
            state->present.clip(std::min<std::int64_t>(before.st_size, metadata->file_size));
            if (const int err = write_state(target, *state); err != 0) return hr_from_errno(err);
            if (::ftruncate(meta.fd(), metadata->file_size) != 0) return hr_from_errno(errno);
            keep_mtime(meta.fd(), before);  // a time of 0 below leaves the time the file had
        }
        apply_times(meta.fd(), metadata->basic_info);
        apply_readonly(meta.fd(), metadata->basic_info.file_attributes);
    }
    if (metadata != nullptr) publish_change(before, true);
    if ((flags & UPDATE_FLAG_MARK_IN_SYNC) != 0) state->in_sync = true;
    if ((flags & UPDATE_FLAG_CLEAR_IN_SYNC) != 0) state->in_sync = false;
    if (file->directory && (flags & UPDATE_FLAG_ENABLE_ON_DEMAND_POPULATION) != 0) state->population_enabled = true;
    if (file->directory && (flags & UPDATE_FLAG_DISABLE_ON_DEMAND_POPULATION) != 0) state->population_enabled = false;
    if (const int err = write_state(target, *state); err != 0) return metadata_error(err);
    if (!ranges.empty()) {
        if (const Hresult r = remove_content_keeping_times(meta, *state, ranges); r < 0) return r;
    }
    return recorded(meta, update_usn);
}

}  // namespace zcf::linux_platform
