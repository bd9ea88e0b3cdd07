// platform/linux/state: tracked files (nodes) and their file locks, opening paths, and the table of
// handles (file, find and protected handles). POSIX calls are allowed here and only under
// platform/linux.
#include "platform/linux/state/open_files.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <unistd.h>
#include <unordered_map>
#include <variant>

namespace zcf::linux_platform {

std::mutex& state_mutex() {
    static std::mutex* const MUTEX = new std::mutex();
    return *MUTEX;
}

std::condition_variable& state_changed() {
    static std::condition_variable* const CHANGED = new std::condition_variable();
    return *CHANGED;
}

// ---- Nodes ---------------------------------------------------------------------------------

namespace {

struct NodeTable {
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Node>> nodes;
    std::size_t inserts_since_sweep = 0;
};

NodeTable& node_table() {  // guarded by the state lock
    static NodeTable* const TABLE = new NodeTable();
    return *TABLE;
}

// The file locks: one byte each, far past any content a file can hold.
constexpr off_t READER_LOCK_AT = INT64_MAX - 1;
constexpr off_t METADATA_LOCK_AT = INT64_MAX - 2;

// Sets (F_RDLCK, F_WRLCK) or clears (F_UNLCK) the open-file-description lock at `at`; with `wait`
// it blocks until granted. 0 or the errno (EAGAIN when another holds it and `wait` is false).
int file_lock(int fd, short type, off_t at, bool wait) {
    struct flock lock{};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = at;
    lock.l_len = 1;
    for (;;) {
        if (::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return 0;
        if (errno != EINTR) return errno == EACCES ? EAGAIN : errno;
    }
}

int directory_lock(int fd, int operation) {
    for (;;) {
        if (::flock(fd, operation) == 0) return 0;
        if (errno != EINTR) return errno;
    }
}

}  // namespace

std::shared_ptr<Node> node_for(const struct stat& st) {
    std::lock_guard lock(state_mutex());
    NodeTable& table = node_table();
    const auto key = std::make_pair(st.st_dev, st.st_ino);
    if (auto it = table.nodes.find(key); it != table.nodes.end()) {
        if (auto node = it->second.lock()) return node;
    }
    auto node = std::make_shared<Node>();
    node->dev = st.st_dev;
    node->ino = st.st_ino;
    node->directory = S_ISDIR(st.st_mode);
    table.nodes[key] = node;
    if (++table.inserts_since_sweep >= 1024) {
        table.inserts_since_sweep = 0;
        std::erase_if(table.nodes, [](const auto& entry) { return entry.second.expired(); });
    }
    return node;
}

MetadataLock::MetadataLock(Node& node, const OpenFile& file) : node_(node), mutex_(node.meta) {
    if (!node.write_fd) {
        // A directory cannot be opened for writing: its lock is a flock of a descriptor of its own.
        // Write-only: the locks and content writes need no more, and a guarded file (no read
        // permission) opens so for its owner too.
        node.write_fd = node.directory ? UniqueFd(::fcntl(file.fd.get(), F_DUPFD_CLOEXEC, 0))
                                       : reopen_file(file.fd.get(), O_WRONLY | O_NOCTTY);
        if (!node.write_fd) {
            error_ = errno;
            return;
        }
    }
    error_ = node.directory ? directory_lock(fd(), LOCK_EX) : file_lock(fd(), F_WRLCK, METADATA_LOCK_AT, true);
}

MetadataLock::~MetadataLock() {
    if (error_ != 0) return;
    if (node_.directory)
        directory_lock(fd(), LOCK_UN);
    else
        file_lock(fd(), F_UNLCK, METADATA_LOCK_AT, false);
}

ContentRemoval::ContentRemoval(Node& node, const OpenFile& own, const MetadataLock& meta) : node_(node), use_(node.use) {
    const int other_data = node.data_opens - (own.data_access ? 1 : 0);
    const int other_exclusive = node.exclusive - (own.exclusive ? 1 : 0);
    if (node.readers > 0 || other_data > 0 || other_exclusive > 0) {
        error_ = win32::ERROR_CLOUD_FILE_IN_USE;
        return;
    }
    // A read of another process holds the reader lock shared. Never waited for: under the
    // metadata lock, a wait could hold up that very read's transfers.
    if (const int err = file_lock(meta.fd(), F_WRLCK, READER_LOCK_AT, false); err != 0)
        error_ = err == EAGAIN ? win32::ERROR_CLOUD_FILE_IN_USE : win32_from_errno(err);
}

ContentRemoval::~ContentRemoval() {
    if (error_ == 0) file_lock(node_.write_fd.get(), F_UNLCK, READER_LOCK_AT, false);
}

std::optional<PlaceholderState> settled_state(const MetadataLock& meta, Hresult& error) {
    error = S_OK_CODE;
    if (meta.error() != 0) {
        error = hr_from_errno(meta.error());
        return std::nullopt;
    }
    const MetaTarget target{meta.fd(), nullptr};
    auto state = read_state(target);
    if (!state) {
        error = hresult_from_win32(win32::ERROR_NOT_A_CLOUD_FILE);
        return std::nullopt;
    }
    if (const int err = settle_outside_change(target, *state); err != 0) {
        error = hr_from_errno(err);
        return std::nullopt;
    }
    return state;
}

Hresult check_usn(const MetadataLock& meta, const std::int64_t* usn) {
    if (usn == nullptr || *usn == 0) return S_OK_CODE;
    struct stat st{};
    if (::fstat(meta.fd(), &st) != 0) return hr_from_errno(errno);
    return *usn == current_usn(MetaTarget{meta.fd(), nullptr}, st) ? S_OK_CODE
                                                                    : hresult_from_win32(win32::ERROR_CLOUD_FILE_NOT_IN_SYNC);
}

bool changed_outside(const OpenFile& file) {
    struct stat st{};
    return ::fstat(file.fd.get(), &st) == 0 && changed_outside(file, st);
}

bool changed_outside(const OpenFile& file, const struct stat& now) {
    struct stat st = now;
    if (file.directory || file.link) return false;
    const MetaTarget target{file.fd.get(), nullptr};
    if (!changed_since_recorded(target, st)) return false;
    if (file_lock(file.fd.get(), F_RDLCK, METADATA_LOCK_AT, true) != 0) return true;
    const bool changed = ::fstat(file.fd.get(), &st) == 0 && changed_since_recorded(target, st);
    file_lock(file.fd.get(), F_UNLCK, METADATA_LOCK_AT, false);
    return changed;
}

ReadInProgress::ReadInProgress(Node& node, const OpenFile& file) : node_(node) {
    std::lock_guard use(node.use);
    if (node.readers == 0) {
        if (!node.read_fd) node.read_fd = UniqueFd(::fcntl(file.fd.get(), F_DUPFD_CLOEXEC, 0));
        error_ = node.read_fd ? file_lock(node.read_fd.get(), F_RDLCK, READER_LOCK_AT, true) : errno;
        if (error_ == EBADF) {
            // A read lock needs a descriptor open for reading: a write-only open's file is opened
            // again to read (guarded files with a moment of owner read access).
            node.read_fd = open_content(AT_FDCWD, descriptor_path(file.fd.get()).c_str(), O_RDONLY | O_NOCTTY);
            error_ = node.read_fd ? file_lock(node.read_fd.get(), F_RDLCK, READER_LOCK_AT, true) : errno;
        }
        if (error_ != 0) return;
    }
    ++node.readers;
}

ReadInProgress::~ReadInProgress() {
    if (error_ != 0) return;
    std::lock_guard use(node_.use);
    if (--node_.readers == 0) file_lock(node_.read_fd.get(), F_UNLCK, READER_LOCK_AT, false);
}

// ---- Opening -------------------------------------------------------------------------------

UniqueFd open_content(int dir, const char* name, int flags, mode_t mode) {
    const std::string path = dir == AT_FDCWD || name[0] == '/' ? std::string(name) : descriptor_path(dir) + "/" + name;
    const bool follow = (flags & O_NOFOLLOW) == 0;
    return UniqueFd(static_cast<int>(with_owner_read(path, follow, [&](bool moment) -> long {
        if (moment) {
            const auto state = read_state(MetaTarget{-1, path.c_str(), follow});
            if (!state || !state->withheld_read) {
                errno = EACCES;  // not unreadable by the guard: refused as it is
                return -1;
            }
        }
        return ::openat(dir, name, flags | O_CLOEXEC, mode);
    })));
}

OpenFile::~OpenFile() {
    // No lock here: the last reference may be dropped while the state lock is held.
    if (node) {
        if (data_access) --node->data_opens;
        if (exclusive) --node->exclusive;
    }
}

namespace {

// Lists an open file under its node with the access it has.
std::shared_ptr<OpenFile> track(std::shared_ptr<OpenFile> file, const struct stat& st, const OpenRequest& request,
                                std::uint32_t& error) {
    file->node = node_for(st);
    {
        std::lock_guard lock(state_mutex());
        // A share-none open excludes every other open with data access and every other share-none
        // open; opens for attributes only still succeed, as on Windows.
        const bool wants_data = request.data_access || request.write_access || request.exclusive;
        if (file->node->exclusive > 0 && wants_data) {
            error = win32::ERROR_SHARING_VIOLATION;
            file->node.reset();
            return nullptr;
        }
        file->data_access = request.data_access && !file->directory && !file->link;
        file->write_access = request.write_access;
        file->exclusive = request.exclusive;
        if (file->data_access) ++file->node->data_opens;
        if (file->exclusive) ++file->node->exclusive;
    }
    error = 0;
    return file;
}

}  // namespace

std::shared_ptr<OpenFile> open_path(const OpenRequest& request, std::uint32_t& error) {
    auto file = std::make_shared<OpenFile>();
    struct stat st{};
    if (!request.follow_link && ::lstat(backing(request.path).c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        file->fd = UniqueFd(::open(backing(request.path).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        file->link = true;
    } else {
        // Non-blocking so that opening a FIFO cannot hang (cleared below for anything but a
        // regular file, where it means nothing); a directory is opened read-only.
        const std::string reached = backing(request.path);
        const int mode = request.write_access ? O_RDWR : O_RDONLY;
        file->fd = open_content(AT_FDCWD, reached.c_str(), mode | O_NONBLOCK | O_NOCTTY);
        if (!file->fd && errno == EISDIR) file->fd = UniqueFd(::open(reached.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (file->fd && ::fstat(file->fd.get(), &st) == 0) {
            file->directory = S_ISDIR(st.st_mode);
            if (file->directory && !request.directories) {
                error = win32::ERROR_ACCESS_DENIED;
                return nullptr;
            }
            if (!S_ISREG(st.st_mode) && !file->directory)
                ::fcntl(file->fd.get(), F_SETFL, ::fcntl(file->fd.get(), F_GETFL) & ~O_NONBLOCK);
        }
    }
    if (!file->fd) {
        error = win32_from_path_errno(errno, request.path);
        return nullptr;
    }
    if (::fstat(file->fd.get(), &st) != 0) {
        error = win32_from_errno(errno);
        return nullptr;
    }
    // The canonical path: the kernel's name for the descriptor (what resolving the path gives),
    // or the link's own path.
    const int err = request.follow_link ? descriptor_name(file->fd.get(), file->path)
                                        : canonical_path_nofollow(request.path, file->path);
    if (err != 0) {
        error = win32_from_path_errno(err, request.path);
        return nullptr;
    }
    return track(std::move(file), st, request, error);
}

std::shared_ptr<OpenFile> track_open_file(UniqueFd fd, std::string path, bool write_access, std::uint32_t& error) {
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) {
        error = win32_from_errno(errno);
        return nullptr;
    }
    auto file = std::make_shared<OpenFile>();
    file->fd = std::move(fd);
    file->path = std::move(path);
    file->directory = S_ISDIR(st.st_mode);
    OpenRequest request;
    request.write_access = write_access;
    return track(std::move(file), st, request, error);
}

// ---- The handle table ----------------------------------------------------------------------

namespace {

struct ProtectedEntry {
    Handle inner = 0;
    int references = 0;
    bool closed = false;
};

using Entry = std::variant<std::shared_ptr<OpenFile>, std::shared_ptr<FindState>, std::shared_ptr<ProtectedEntry>>;

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<Handle, Entry> entries;
};

HandleTable& handles() {
    static HandleTable* const TABLE = new HandleTable();
    return *TABLE;
}

Handle next_handle() {
    // Handle values look like Windows' (multiples of 4), never 0 and never all ones.
    static std::atomic<Handle> NEXT{0x1000};
    return NEXT.fetch_add(4, std::memory_order_relaxed) + 4;
}

Handle insert(Entry entry) {
    const Handle h = next_handle();
    HandleTable& table = handles();
    std::lock_guard lock(table.mutex);
    table.entries.emplace(h, std::move(entry));
    return h;
}

template <typename T>
std::shared_ptr<T> lookup(Handle h) {
    HandleTable& table = handles();
    std::lock_guard lock(table.mutex);
    const auto it = table.entries.find(h);
    if (it == table.entries.end()) return nullptr;
    if (auto* p = std::get_if<std::shared_ptr<T>>(&it->second)) return *p;
    return nullptr;
}

// Removes the entry unless `refuse` says to keep it; the value is returned so that it is released
// outside the table lock.
template <typename T, typename Refuse>
std::shared_ptr<T> take_unless(Handle h, Refuse refuse) {
    HandleTable& table = handles();
    std::lock_guard lock(table.mutex);
    const auto it = table.entries.find(h);
    if (it == table.entries.end()) return nullptr;
    auto* p = std::get_if<std::shared_ptr<T>>(&it->second);
    if (p == nullptr || refuse(**p)) return nullptr;
    auto value = std::move(*p);
    table.entries.erase(it);
    return value;
}

}  // namespace

Handle insert_file(std::shared_ptr<OpenFile> file) { return insert(Entry(std::move(file))); }

std::shared_ptr<OpenFile> lookup_file_as_listed(Handle handle) { return lookup<OpenFile>(handle); }

std::shared_ptr<OpenFile> lookup_file(Handle handle) {
    auto file = lookup<OpenFile>(handle);
    if (!file || !file->listed) return file;
    OpenRequest request;
    request.path = file->path;
    std::uint32_t error = 0;
    auto opened = open_path(request, error);
    if (!opened) return nullptr;
    HandleTable& table = handles();
    std::lock_guard lock(table.mutex);
    const auto it = table.entries.find(handle);
    if (it == table.entries.end()) return nullptr;
    it->second = opened;
    return opened;
}

bool remove_file(Handle handle) {
    // A file opened through a protected handle is closed with that handle, not on its own.
    return take_unless<OpenFile>(handle, [](const OpenFile& file) { return file.owned_by_protected; }) != nullptr;
}

Handle insert_find(std::shared_ptr<FindState> find) { return insert(Entry(std::move(find))); }
std::shared_ptr<FindState> lookup_find(Handle handle) { return lookup<FindState>(handle); }
bool remove_find(Handle handle) {
    return take_unless<FindState>(handle, [](const FindState&) { return false; }) != nullptr;
}

Handle insert_protected(Handle inner) {
    auto entry = std::make_shared<ProtectedEntry>();
    entry->inner = inner;
    return insert(Entry(std::move(entry)));
}

Handle protected_inner(Handle handle) {
    HandleTable& table = handles();
    std::lock_guard lock(table.mutex);
    const auto it = table.entries.find(handle);
    if (it == table.entries.end()) return INVALID_HANDLE;
    auto* p = std::get_if<std::shared_ptr<ProtectedEntry>>(&it->second);
    if (p == nullptr || (*p)->closed) return INVALID_HANDLE;
    return (*p)->inner;
}

bool reference_protected(Handle handle) {
    HandleTable& table = handles();
    std::lock_guard lock(table.mutex);
    const auto it = table.entries.find(handle);
    if (it == table.entries.end()) return false;
    auto* p = std::get_if<std::shared_ptr<ProtectedEntry>>(&it->second);
    if (p == nullptr || (*p)->closed) return false;
    ++(*p)->references;
    return true;
}

namespace {

// Drops a closed protected handle and its Win32 handle once no reference is left. Returns the
// released file so the caller frees it outside the table lock.
std::shared_ptr<OpenFile> finish_protected(HandleTable& table, Handle handle, ProtectedEntry& entry) {
    if (!entry.closed || entry.references > 0) return nullptr;
    std::shared_ptr<OpenFile> file;
    if (const auto inner = table.entries.find(entry.inner); inner != table.entries.end()) {
        if (auto* f = std::get_if<std::shared_ptr<OpenFile>>(&inner->second)) file = std::move(*f);
        table.entries.erase(inner);
    }
    table.entries.erase(handle);
    return file;
}

}  // namespace

void release_protected(Handle handle) {
    std::shared_ptr<OpenFile> released;
    HandleTable& table = handles();
    std::lock_guard lock(table.mutex);
    const auto it = table.entries.find(handle);
    if (it == table.entries.end()) return;
    auto* p = std::get_if<std::shared_ptr<ProtectedEntry>>(&it->second);
    if (p == nullptr || (*p)->references == 0) return;
    --(*p)->references;
    auto entry = *p;
    released = finish_protected(table, handle, *entry);
}

void close_protected(Handle handle) {
    std::shared_ptr<OpenFile> released;
    {
        HandleTable& table = handles();
        std::lock_guard lock(table.mutex);
        const auto it = table.entries.find(handle);
        if (it == table.entries.end()) return;
        auto* p = std::get_if<std::shared_ptr<ProtectedEntry>>(&it->second);
        if (p == nullptr || (*p)->closed) return;
        auto entry = *p;
        entry->closed = true;
        released = finish_protected(table, handle, *entry);
    }
}

}  // namespace zcf::linux_platform
