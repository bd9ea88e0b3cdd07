// platform/linux/fuse: the FUSE front end (libfuse 3 low-level API, multi-threaded loop).
//
// Every directory the kernel knows is an O_PATH descriptor of the directory beneath the mount,
// reached from the root's descriptor opened before the mount; every other file is a name in such a
// directory, so a tree costs a descriptor per folder, not per file. The front end never names a
// path through the mount, so it cannot wait on itself. Opens of regular files become tracked open
// files of the platform (their reads take the road of a read, fetching what is missing through
// the connected provider; "opened" is reported for placeholders); writes and truncations take the
// file out of sync after bringing in what it lacks. Everything else passes through to the backing
// tree. POSIX and libfuse calls are allowed here and only under platform/linux.
#define FUSE_USE_VERSION 314

#include "platform/linux/fuse/front_end.h"

#include "platform/linux/cloud/engine.h"

#include <fuse_lowlevel.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <list>
#include <mutex>
#include <optional>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace zcf::linux_platform {

namespace {

// How long the kernel may keep names and attributes. The platform's own changes beneath the
// mount drop them at once (forget_cached); a second covers the rest.
constexpr double CACHE_SECONDS = 1.0;
// Reads that wait for their content each hold a thread of the loop.
constexpr unsigned MAX_THREADS = 64;

// Descriptors of folders the front end keeps open at most (and no more than a quarter of what the
// process may open); others are opened again from the nearest folder that is, when they are
// used. A tree of any size costs no more.
constexpr std::size_t CACHED_FOLDERS = 1024;
std::size_t cached_folders_allowed() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return CACHED_FOLDERS;
    return std::max<std::size_t>(16, std::min<std::size_t>(CACHED_FOLDERS, files.rlim_cur / 4));
}

using FolderFd = std::shared_ptr<const UniqueFd>;

// A file the kernel knows. Its address is its node number; it lives while the kernel counts a
// lookup of it, and while a child names itself through it. Every file but the root is a name in
// its folder; a folder's own descriptor is kept while it is used often enough (cache).
struct Inode : std::enable_shared_from_this<Inode> {
    std::shared_ptr<Inode> parent;  // the folder that holds it, and its name there; empty once
    std::string name;               // that name is gone
    UniqueFd anchor;                // once its last name went while the kernel knew it: O_PATH,
                                    // beneath the mount (what reaches it while it is open)
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t type = 0;                  // S_IFMT bits
    // Guarded by the front end's mutex, as are parent, name and the anchor's setting:
    std::uint64_t lookups = 0;
    std::shared_ptr<Inode> self;      // holds the inode while lookups > 0
    FolderFd folder;                  // a folder's descriptor (O_PATH), while cached; the root's always
    std::list<std::weak_ptr<Inode>>::iterator recent;  // its place among the cached, when cached

    bool directory() const { return S_ISDIR(type); }
};

struct InodeKey {
    dev_t dev;
    ino_t ino;
    bool operator==(const InodeKey& o) const { return dev == o.dev && ino == o.ino; }
};
struct InodeKeyHash {
    std::size_t operator()(const InodeKey& k) const { return std::hash<ino_t>()(k.ino) * 31 + std::hash<dev_t>()(k.dev); }
};

// How long a failed read is remembered against the kernel's retry of it (below).
constexpr auto RETRY_MEMORY = std::chrono::seconds(2);

// An open regular file: the platform's open file and the stream its reads belong to.
struct OpenStream {
    std::shared_ptr<OpenFile> file;
    StreamIdentity stream;

    // The kernel reads ahead in requests of its own and, when one fails, asks again for the page
    // its reader wanted: a read of a range that failed a moment ago fails again, so that the
    // provider is asked once per failure, not twice (and a reader waits one time-out, not two).
    std::mutex mutex;
    std::int64_t failed_begin = 0;
    std::int64_t failed_end = 0;
    std::chrono::steady_clock::time_point failed_at;

    bool failed_lately(std::int64_t begin, std::int64_t end) {
        std::lock_guard lock(mutex);
        return begin < failed_end && failed_begin < end && std::chrono::steady_clock::now() - failed_at < RETRY_MEMORY;
    }
    void remember_failure(std::int64_t begin, std::int64_t end) {
        std::lock_guard lock(mutex);
        failed_begin = begin;
        failed_end = end;
        failed_at = std::chrono::steady_clock::now();
    }
};

struct OpenDirectory {
    DIR* dir = nullptr;
    off_t offset = 0;
    ~OpenDirectory() {
        if (dir != nullptr) ::closedir(dir);
    }
};

}  // namespace

class FrontEnd {
public:
    std::string root;
    UniqueFd root_fd;  // opened before the mount: reaches the files beneath it
    std::shared_ptr<Inode> root_inode;
    fuse_session* session = nullptr;
    std::atomic<bool> detached{false};  // by a disconnect (not by the end of the process)
    std::once_flag read_ahead;          // widened once the kernel has taken the mount's INIT
    std::mutex mutex;
    std::unordered_map<InodeKey, Inode*, InodeKeyHash> inodes;  // the current inode of each file
    // The folders whose descriptors are cached, most recently used first (entries of folders
    // gone since are dropped when met), and how many descriptors that is.
    std::list<std::weak_ptr<Inode>> recent_folders;
    std::size_t cached_folders = 0;
    // Threads that looked at files (not folders) lately, and when: their listings carry
    // attributes (list_directory).
    std::unordered_map<pid_t, std::chrono::steady_clock::time_point> examiners;

    ~FrontEnd() {
        // What the kernel did not forget goes with the session.
        std::vector<std::shared_ptr<Inode>> held;
        for (auto& [key, inode] : inodes) held.push_back(std::move(inode->self));
        inodes.clear();
        held.clear();
        if (session != nullptr) fuse_session_destroy(session);
    }
};

namespace {

// The front ends mounted now (for forget_cached and the unmount at exit).
struct Mounted {
    std::mutex mutex;
    std::vector<std::shared_ptr<FrontEnd>> list;
};
Mounted& mounted() {
    static auto* const M = new Mounted();
    return *M;
}

FrontEnd& front(fuse_req_t req) { return *static_cast<FrontEnd*>(fuse_req_userdata(req)); }

Inode& inode_of(fuse_req_t req, fuse_ino_t ino) {
    if (ino == FUSE_ROOT_ID) return *front(req).root_inode;
    return *reinterpret_cast<Inode*>(static_cast<std::uintptr_t>(ino));
}

fuse_ino_t number_of(const FrontEnd& fe, const Inode* inode) {
    return inode == fe.root_inode.get() ? FUSE_ROOT_ID : static_cast<fuse_ino_t>(reinterpret_cast<std::uintptr_t>(inode));
}

// Folders whose descriptor is cached are kept in recent_folders, most recently used first, but
// for the root's and a removed folder's (no place there: they are kept while the inode lives).
// Both below are called with the mutex held.
void touch_folder(FrontEnd& fe, Inode& folder) {
    if (folder.recent != fe.recent_folders.end())
        fe.recent_folders.splice(fe.recent_folders.begin(), fe.recent_folders, folder.recent);
}

// Caches `fd` as the descriptor of `folder` and lets go of the least recently used past
// CACHED_FOLDERS (each closes when its last user lets go).
void cache_folder(FrontEnd& fe, Inode& folder, FolderFd fd) {
    folder.folder = std::move(fd);
    fe.recent_folders.push_front(folder.weak_from_this());
    folder.recent = fe.recent_folders.begin();
    ++fe.cached_folders;
    const std::size_t allowed = cached_folders_allowed();
    while (fe.cached_folders > allowed) {
        const auto oldest = fe.recent_folders.back().lock();
        fe.recent_folders.pop_back();
        --fe.cached_folders;
        if (!oldest) continue;
        oldest->folder.reset();
        oldest->recent = fe.recent_folders.end();
    }
}

// No longer cached (its inode is forgotten, or its descriptor becomes its anchor).
void uncache(FrontEnd& fe, Inode& folder) {
    if (folder.recent == fe.recent_folders.end()) return;
    fe.recent_folders.erase(folder.recent);
    folder.recent = fe.recent_folders.end();
    folder.folder.reset();
    --fe.cached_folders;
}

// The descriptor of the folder `dir` (O_PATH, beneath the mount): cached, or opened again name by
// name from the nearest folder whose descriptor is, never following a link; ESTALE when the
// name now holds another folder, ENOENT once the folder has no name. Held by the caller for its
// call, so a descriptor let go of meanwhile stays open until then.
FolderFd folder_fd(FrontEnd& fe, const Inode& dir, int& err) {
    std::vector<std::string> names;  // from the cached folder down to `dir`
    FolderFd base;
    {
        std::lock_guard lock(fe.mutex);
        const Inode* at = &dir;
        while (!at->folder) {
            if (!at->parent || at->name.empty()) {
                err = ENOENT;
                return nullptr;
            }
            names.push_back(at->name);
            at = at->parent.get();
        }
        base = at->folder;
        touch_folder(fe, const_cast<Inode&>(*at));
        if (names.empty()) return base;
    }
    UniqueFd fd;
    int at = base->get();
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        fd = UniqueFd(::openat(at, it->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) {
            err = errno;
            return nullptr;
        }
        at = fd.get();
    }
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) {
        err = errno;
        return nullptr;
    }
    if (st.st_dev != dir.dev || st.st_ino != dir.ino) {
        err = ESTALE;
        return nullptr;
    }
    auto opened = std::make_shared<const UniqueFd>(std::move(fd));
    std::lock_guard lock(fe.mutex);
    auto& cached = const_cast<Inode&>(dir);
    if (cached.folder) return cached.folder;  // opened meanwhile by another call
    cache_folder(fe, cached, opened);
    return opened;
}

// Where calls reach an inode's file: a folder's own descriptor (empty name), a name in the
// descriptor of its folder, or the anchor of a file whose name is gone. The descriptor is held
// for the call.
struct Where {
    FolderFd held;
    int fd = -1;
    std::string name;

    // *at calls: the name, or "" with AT_EMPTY_PATH.
    const char* at() const { return name.c_str(); }
    int empty_flag() const { return name.empty() ? AT_EMPTY_PATH : 0; }
    // Calls that take only a path; the final link of a directory's descriptor path is followed,
    // a name never is (callers use the l* calls for it).
    std::string path() const { return name.empty() ? descriptor_path(fd) : descriptor_path(fd) + "/" + name; }
};

// 0, or ENOENT once the file's name is gone and it is not open.
int where_of(FrontEnd& fe, const Inode& inode, Where& w) {
    int err = 0;
    if (inode.directory()) {
        w.held = folder_fd(fe, inode, err);
        w.fd = w.held ? w.held->get() : -1;
        return err;
    }
    std::shared_ptr<Inode> parent;
    {
        std::lock_guard lock(fe.mutex);
        if (inode.anchor) {  // its last name gone while it was open
            w.held = std::make_shared<const UniqueFd>(::fcntl(inode.anchor.get(), F_DUPFD_CLOEXEC, 0));
            w.fd = w.held->get();
            return w.fd >= 0 ? 0 : errno;
        }
        if (!inode.parent || inode.name.empty()) return ENOENT;
        parent = inode.parent;
        w.name = inode.name;
    }
    w.held = folder_fd(fe, *parent, err);
    w.fd = w.held ? w.held->get() : -1;
    return err;
}

// The stat of the inode's file; ESTALE when its name now holds another file.
int stat_inode(FrontEnd& fe, const Inode& inode, struct stat& st) {
    Where w;
    if (const int err = where_of(fe, inode, w); err != 0) return err;
    if (::fstatat(w.fd, w.at(), &st, w.empty_flag() | AT_SYMLINK_NOFOLLOW) != 0) return errno;
    return st.st_dev == inode.dev && st.st_ino == inode.ino ? 0 : ESTALE;
}

// Opens the inode's regular file with `flags`. ESTALE when its name now holds another file.
int open_inode(FrontEnd& fe, const Inode& inode, int flags, UniqueFd& fd) {
    Where w;
    if (const int err = where_of(fe, inode, w); err != 0) return err;
    fd = w.name.empty() ? open_content(AT_FDCWD, w.path().c_str(), flags) : open_content(w.fd, w.at(), flags | O_NOFOLLOW);
    if (!fd) return errno;
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return errno;
    return st.st_dev == inode.dev && st.st_ino == inode.ino ? 0 : ESTALE;
}

// Opens the inode's regular file for a program's open with `flags`. A write-only open is opened
// for reading too where the file allows it: before a placeholder is changed, what it lacks is
// brought in, which reads the file. Direct I/O is the mount's (the page cache is bypassed above,
// FOPEN_DIRECT_IO); beneath, the file is opened for ordinary I/O, which takes the kernel's buffers
// whatever their alignment.
int open_for_program(FrontEnd& fe, const Inode& inode, int flags, UniqueFd& fd) {
    flags &= ~(O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_NOFOLLOW | O_APPEND | O_DIRECT);
    if ((flags & O_ACCMODE) == O_WRONLY && open_inode(fe, inode, (flags & ~O_ACCMODE) | O_RDWR, fd) == 0) return 0;
    return open_inode(fe, inode, flags, fd);
}

// The file's canonical path as the rest of the platform names it (the path it has beneath the
// mount is the path it has through it).
std::string canonical_of(int fd) {
    std::string name;
    return descriptor_name(fd, name) == 0 ? name : std::string();
}

// What programs see: a placeholder's blocks are the bytes it has on disk, so that an online-only
// file uses no space (du), its status-change time is its modification time, so that content
// arriving while a program reads (tar, rsync) is no change, and its mode has the read permission
// that the read guard withholds from the file beneath; everything else as it is. `w` names the
// file.
struct stat presented(const Where& w, struct stat st) {
    if (!S_ISREG(st.st_mode)) return st;
    const std::string path = w.path();
    const auto state = read_state(MetaTarget{-1, path.c_str(), w.name.empty()});
    if (!state) return st;
    st.st_ctim = st.st_mtim;
    st.st_mode = presented_mode(st.st_mode, *state);
    std::int64_t bytes = 0;
    for (const auto& [b, e] : state->present.ranges()) bytes += std::min<std::int64_t>(e, st.st_size) - std::min<std::int64_t>(b, st.st_size);
    st.st_blocks = (bytes + 4095) / 4096 * 8;
    return st;
}

// Drops the front end's inode of `inode` (the caller holds the mutex): it is no longer found by
// its number, and lives on only while the kernel still counts a lookup of it.
void unlist(FrontEnd& fe, Inode& inode) {
    const auto it = fe.inodes.find({inode.dev, inode.ino});
    if (it != fe.inodes.end() && it->second == &inode) fe.inodes.erase(it);
}

// Finds or adds the inode of the entry `name` of the directory `parent` (whose stat is `st`) and
// counts one lookup.
Inode* remember(FrontEnd& fe, Inode& parent, const char* name, const struct stat& st) {
    const InodeKey key{st.st_dev, st.st_ino};
    if (key == InodeKey{fe.root_inode->dev, fe.root_inode->ino}) return fe.root_inode.get();
    const mode_t type = st.st_mode & S_IFMT;
    std::lock_guard lock(fe.mutex);
    const auto it = fe.inodes.find(key);
    if (it != fe.inodes.end() && it->second->type == type) {
        Inode& known = *it->second;
        // A file reached under another name (a hard link, or a name it was given beneath the
        // mount) is reached under this one from now on.
        if (known.parent.get() != &parent || known.name != name) {
            known.parent = parent.shared_from_this();
            known.name = name;
        }
        ++known.lookups;
        return &known;
    }
    if (it != fe.inodes.end()) fe.inodes.erase(it);  // its number now names another file
    auto inode = std::make_shared<Inode>();
    inode->parent = parent.shared_from_this();
    inode->name = name;
    inode->dev = st.st_dev;
    inode->ino = st.st_ino;
    inode->type = type;
    inode->lookups = 1;
    inode->self = inode;
    inode->recent = fe.recent_folders.end();
    fe.inodes.emplace(key, inode.get());
    return inode.get();
}

void forget_one(FrontEnd& fe, fuse_ino_t ino, std::uint64_t count) {
    if (ino == FUSE_ROOT_ID) return;
    auto* inode = reinterpret_cast<Inode*>(static_cast<std::uintptr_t>(ino));
    std::shared_ptr<Inode> last;  // let go of outside the lock
    std::lock_guard lock(fe.mutex);
    if (inode->lookups > count) {
        inode->lookups -= count;
        return;
    }
    inode->lookups = 0;
    unlist(fe, *inode);
    uncache(fe, *inode);
    last = std::move(inode->self);
}

// The entry `name` of the folder `parent`, reached through its descriptor `dir`.
int entry_for(FrontEnd& fe, Inode& parent, int dir, const char* name, fuse_entry_param& e) {
    if (is_creation_entry(name)) return ENOENT;  // a placeholder under construction is not there yet
    struct stat st{};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    Inode* inode = remember(fe, parent, name, st);
    std::memset(&e, 0, sizeof e);
    e.ino = number_of(fe, inode);
    Where w;
    w.fd = dir;
    w.name = name;
    e.attr = presented(w, st);
    e.attr_timeout = CACHE_SECONDS;
    e.entry_timeout = CACHE_SECONDS;
    return 0;
}

int entry_for(FrontEnd& fe, Inode& parent, const char* name, fuse_entry_param& e) {
    int err = 0;
    const FolderFd dir = folder_fd(fe, parent, err);
    return dir ? entry_for(fe, parent, dir->get(), name, e) : err;
}

void reply_attr(fuse_req_t req, const Inode& inode, fuse_file_info* fi) {
    struct stat st{};
    Where w;
    int err = where_of(front(req), inode, w);
    if (fi != nullptr && fi->fh != 0 && !inode.directory()) {
        // An open file (fstat): its own descriptor, which reaches it after its name is gone.
        const int fd = reinterpret_cast<const OpenStream*>(fi->fh)->file->fd.get();
        err = ::fstat(fd, &st) == 0 ? 0 : errno;
        w = Where{};
        w.fd = fd;
    } else if (err == 0) {
        err = stat_inode(front(req), inode, st);
    }
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    const struct stat shown = presented(w, st);
    fuse_reply_attr(req, &shown, CACHE_SECONDS);
}

// ---- Content changes by programs -----------------------------------------------------------

// errno for a failed road of a read: the reader was interrupted, or the content could not be had.
int read_errno(std::uint32_t error, bool interrupted) {
    return interrupted && error == win32::ERROR_CLOUD_FILE_REQUEST_ABORTED ? EINTR : EIO;
}

// Brings in what a placeholder lacks of [0, end) before a program changes it, as Windows does
// before it lets a write in. 0 or an errno.
int bring_in(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, std::int64_t end) {
    struct stat st{};
    if (::fstat(file->fd.get(), &st) != 0) return errno;
    const auto state = read_state(MetaTarget{file->fd.get(), nullptr});
    end = std::min<std::int64_t>(end, st.st_size);
    if (!state || end <= 0 || state->present.covers(0, end)) return 0;
    return read_range(file, stream, 0, end, nullptr) == 0 ? 0 : EIO;
}

// After a program's change of [begin, end) of a placeholder (its content is on disk there, and
// nothing beyond `size`): no longer in sync, with a new update sequence number. The caller holds
// the metadata lock.
int mark_changed(const MetadataLock& meta, std::int64_t begin, std::int64_t end, std::int64_t size) {
    const MetaTarget target{meta.fd(), nullptr};
    auto state = read_state(target);
    if (!state) return 0;
    state->present.clip(size);
    if (begin < end) state->present.add(begin, end);
    state->in_sync = false;
    if (const int err = write_state(target, *state); err != 0) return err;
    return record_change(target, nullptr);
}

int write_locally(const OpenStream& o, const char* bytes, std::size_t size, off_t offset, std::size_t& written) {
    const bool placeholder = read_state(MetaTarget{o.file->fd.get(), nullptr}).has_value();
    if (!placeholder) {
        const ssize_t n = ::pwrite(o.file->fd.get(), bytes, size, offset);
        if (n < 0) return errno;
        written = static_cast<std::size_t>(n);
        return 0;
    }
    if (const int err = bring_in(o.file, o.stream, INT64_MAX); err != 0) return err;
    const MetadataLock meta(*o.file->node, *o.file);
    if (meta.error() != 0) return meta.error();
    struct stat before{};
    if (::fstat(meta.fd(), &before) != 0) return errno;
    const ssize_t n = ::pwrite(o.file->fd.get(), bytes, size, offset);
    if (n < 0) return errno;
    written = static_cast<std::size_t>(n);
    struct stat after{};
    if (::fstat(meta.fd(), &after) != 0) return errno;
    // A write past the end leaves zeros between the old end and itself: the program's too.
    return mark_changed(meta, std::min<std::int64_t>(offset, before.st_size), offset + n, after.st_size);
}

// Truncation of a regular file through the mount (`file` open for writing). What the file keeps is
// brought in first, by a fetch of just that (not the rest of the file, which goes).
int truncate_locally(const std::shared_ptr<OpenFile>& file, const StreamIdentity& stream, off_t size) {
    if (!read_state(MetaTarget{file->fd.get(), nullptr})) return ::ftruncate(file->fd.get(), size) == 0 ? 0 : errno;
    StreamIdentity kept = stream;
    kept.progressive = false;
    if (const int err = bring_in(file, kept, size); err != 0) return err;
    const MetadataLock meta(*file->node, *file);
    if (meta.error() != 0) return meta.error();
    struct stat before{};
    if (::fstat(meta.fd(), &before) != 0) return errno;
    if (::ftruncate(meta.fd(), size) != 0) return errno;
    // What a longer size adds is zeros the file now holds.
    return mark_changed(meta, std::min<std::int64_t>(before.st_size, size), size, size);
}

// fallocate of a regular file through the mount (`o` open for writing). Allocation alone changes
// nothing a program sees and passes through; what zeroes, moves or adds content changes a
// placeholder as a write does: what it lacks is brought in first, and the bytes it changes are
// the program's.
int allocate_locally(const OpenStream& o, int mode, off_t offset, off_t length) {
    const int fd = o.file->fd.get();
    struct stat before{};
    if (::fstat(fd, &before) != 0) return errno;
    constexpr int MOVES = FALLOC_FL_COLLAPSE_RANGE | FALLOC_FL_INSERT_RANGE;
    const bool zeroes = (mode & (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_ZERO_RANGE)) != 0;
    const bool grows = (mode & FALLOC_FL_KEEP_SIZE) == 0 && offset + length > before.st_size;
    const bool changes = zeroes || grows || (mode & MOVES) != 0;
    if (!read_state(MetaTarget{fd, nullptr})) return ::fallocate(fd, mode, offset, length) == 0 ? 0 : errno;
    if (!changes) {
        // Allocation alone: the placeholder's content and times stay as they are (the file
        // system would take it for a change).
        if (::fallocate(fd, mode, offset, length) != 0) return errno;
        keep_mtime(fd, before);
        return 0;
    }
    if (const int err = bring_in(o.file, o.stream, INT64_MAX); err != 0) return err;
    const MetadataLock meta(*o.file->node, *o.file);
    if (meta.error() != 0) return meta.error();
    if (::fstat(meta.fd(), &before) != 0) return errno;
    if ((mode & MOVES) != 0) {
        // Content moves: all of it must be on the disk (a dehydration may have come in between).
        const auto state = read_state(MetaTarget{meta.fd(), nullptr});
        if (state && !wholly_present(*state, before.st_size)) return EAGAIN;
    }
    if (::fallocate(meta.fd(), mode, offset, length) != 0) return errno;
    struct stat after{};
    if (::fstat(meta.fd(), &after) != 0) return errno;
    std::int64_t begin = std::min<std::int64_t>(before.st_size, after.st_size);
    std::int64_t end = std::max<std::int64_t>(before.st_size, after.st_size);
    if (zeroes) {
        begin = std::min<std::int64_t>(begin, offset);
        end = std::max<std::int64_t>(end, offset + length);
    }
    if ((mode & MOVES) != 0) begin = 0;
    return mark_changed(meta, begin, end, after.st_size);
}

StreamIdentity stream_of(fuse_req_t req) {
    const fuse_ctx* ctx = fuse_req_ctx(req);
    StreamIdentity s;
    s.transfer_key = new_transfer_key();
    s.process_id = ctx != nullptr ? static_cast<std::uint32_t>(ctx->pid) : 0;
    char buffer[PATH_MAX + 1];
    const std::string exe = "/proc/" + std::to_string(s.process_id) + "/exe";
    const ssize_t n = s.process_id != 0 ? ::readlink(exe.c_str(), buffer, PATH_MAX) : -1;
    s.image_path = wide_from_utf8(n > 0 ? std::string_view(buffer, static_cast<std::size_t>(n)) : std::string_view());
    s.progressive = true;
    return s;
}

// Tracks a descriptor of a regular file opened for a program, reports the open of a placeholder,
// and hands the stream to the kernel's file. 0 or an errno.
int start_stream(fuse_req_t req, UniqueFd fd, fuse_file_info* fi) {
    const std::string path = canonical_of(fd.get());
    std::uint32_t error = 0;
    const bool write = (fi->flags & O_ACCMODE) != O_RDONLY;
    auto file = track_open_file(std::move(fd), path, write, error);
    if (!file) return error == win32::ERROR_SHARING_VIOLATION ? EBUSY : EIO;
    auto* o = new OpenStream();
    o->file = std::move(file);
    o->stream = stream_of(req);
    notify_open(*o->file, o->stream);
    if ((fi->flags & O_TRUNC) != 0 && write) {
        if (const int err = truncate_locally(o->file, o->stream, 0); err != 0) {
            delete o;
            return err;
        }
    }
    fi->fh = reinterpret_cast<std::uint64_t>(o);
    if ((fi->flags & O_DIRECT) != 0)
        fi->direct_io = 1;
    else
        fi->keep_cache = 1;  // the platform drops the cache itself when it changes the content
    return 0;
}

OpenStream& stream_in(fuse_file_info* fi) { return *reinterpret_cast<OpenStream*>(fi->fh); }

// ---- Operations ----------------------------------------------------------------------------

// Whether `predicate` holds for a line of `text` (lines end with LF).
template <typename Predicate>
bool any_line(std::string_view text, Predicate predicate) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        if (predicate(text.substr(0, end))) return true;
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return false;
}

// The device ("major:minor", mountinfo field 3) of the last front-end mount of this program at
// `path` (field 5; its type after " - "), if there is one.
std::optional<std::string> front_end_device(const std::string& path) {
    std::optional<std::string> device;
    const auto info = read_file("/proc/self/mountinfo");
    if (!info) return device;
    any_line(*info, [&](std::string_view line) {
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos || line.substr(dash + 3, 24) != "fuse.zembra_cloud_files ") return false;
        std::vector<std::string_view> fields;
        for (std::size_t at = 0; at < dash && fields.size() < 5;) {
            const std::size_t next = std::min(line.find(' ', at), dash);
            fields.push_back(line.substr(at, next - at));
            at = next + 1;
        }
        if (fields.size() < 5) return false;
        std::string mount_point;  // spaces and the like are written as \ooo
        for (std::size_t i = 0; i < fields[4].size(); ++i) {
            if (fields[4][i] == '\\' && i + 3 < fields[4].size()) {
                mount_point += static_cast<char>(std::strtol(std::string(fields[4].substr(i + 1, 3)).c_str(), nullptr, 8));
                i += 3;
            } else {
                mount_point += fields[4][i];
            }
        }
        if (mount_point == path) device = std::string(fields[2]);
        return false;  // the last one counts
    });
    return device;
}

// The kernel reads ahead through the mount in windows of its default size (128 KiB), one request
// each; 1 MiB windows (the largest request) make far fewer round trips of a sequential read.
// Where this process may (root), the mount's own read-ahead is raised; elsewhere it stays.
void widen_read_ahead(const std::string& root) {
    const auto device = front_end_device(root);
    if (!device) return;
    const UniqueFd fd(::open(("/sys/class/bdi/" + *device + "/read_ahead_kb").c_str(), O_WRONLY | O_CLOEXEC));
    if (fd) (void)!::write(fd.get(), "1024", 4);
}


// The kernel sends other requests only once it has taken the answer to INIT, which sets the
// mount's read-ahead: the first of them widens it (see widen_read_ahead).
void after_init(fuse_req_t req) {
    FrontEnd& fe = front(req);
    std::call_once(fe.read_ahead, [&] { widen_read_ahead(fe.root); });
}

void op_init(void*, fuse_conn_info* conn) {
    // Every write reaches the platform at once: it takes the file out of sync.
    conn->want &= ~static_cast<unsigned>(FUSE_CAP_WRITEBACK_CACHE);
    // Present content goes from the backing file to the kernel by splice, not through a buffer.
    conn->want |= conn->capable & (FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE);
    // Every listing may carry attributes; the front end attaches them for the programs that use
    // them (see list_directory).
    conn->want &= ~static_cast<unsigned>(FUSE_CAP_READDIRPLUS_AUTO);
}

// How long a thread that looked at a file counts as one that looks at the files it lists.
constexpr auto EXAMINER_MEMORY = std::chrono::seconds(5);

// Notes that the thread of `req` looked at a file that is not a folder.
void note_examiner(fuse_req_t req) {
    FrontEnd& fe = front(req);
    const fuse_ctx* ctx = fuse_req_ctx(req);
    if (ctx == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(fe.mutex);
    if (fe.examiners.size() >= 256) std::erase_if(fe.examiners, [&](const auto& e) { return now - e.second > EXAMINER_MEMORY; });
    fe.examiners[ctx->pid] = now;
}

bool examines(fuse_req_t req) {
    FrontEnd& fe = front(req);
    const fuse_ctx* ctx = fuse_req_ctx(req);
    if (ctx == nullptr) return true;
    std::lock_guard lock(fe.mutex);
    const auto it = fe.examiners.find(ctx->pid);
    return it != fe.examiners.end() && std::chrono::steady_clock::now() - it->second <= EXAMINER_MEMORY;
}

void op_lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    after_init(req);
    fuse_entry_param e;
    if (const int err = entry_for(front(req), inode_of(req, parent), name, e); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    if (!S_ISDIR(e.attr.st_mode)) note_examiner(req);
    fuse_reply_entry(req, &e);
}

void op_forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t count) {
    forget_one(front(req), ino, count);
    fuse_reply_none(req);
}

void op_forget_multi(fuse_req_t req, std::size_t count, fuse_forget_data* forgets) {
    for (std::size_t i = 0; i < count; ++i) forget_one(front(req), forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void op_getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    after_init(req);
    const Inode& inode = inode_of(req, ino);
    if (!inode.directory()) note_examiner(req);
    reply_attr(req, inode, fi);
}

// Mode, owner and times of the file `w` names, or of the open file `fd` (>= 0).
int set_attributes(const Where& w, int fd, bool link, const struct stat& attr, int to_set) {
    if ((to_set & FUSE_SET_ATTR_MODE) != 0 && !link) {
        // Through the read guard: a guarded file keeps no read permission beneath, and its record
        // keeps what it was given.
        const std::string path = fd >= 0 ? std::string() : w.path();
        const MetaTarget target = fd >= 0 ? MetaTarget{fd, nullptr} : MetaTarget{-1, path.c_str(), w.name.empty()};
        if (const int err = change_mode(target, attr.st_mode & 07777); err != 0) return err;
    }
    if ((to_set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) != 0) {
        const uid_t uid = (to_set & FUSE_SET_ATTR_UID) != 0 ? attr.st_uid : static_cast<uid_t>(-1);
        const gid_t gid = (to_set & FUSE_SET_ATTR_GID) != 0 ? attr.st_gid : static_cast<gid_t>(-1);
        const int rc = fd >= 0 ? ::fchown(fd, uid, gid) : ::fchownat(w.fd, w.at(), uid, gid, w.empty_flag() | AT_SYMLINK_NOFOLLOW);
        if (rc != 0) return errno;
    }
    if ((to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) != 0) {
        timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
        if ((to_set & FUSE_SET_ATTR_ATIME_NOW) != 0) times[0].tv_nsec = UTIME_NOW;
        else if ((to_set & FUSE_SET_ATTR_ATIME) != 0) times[0] = attr.st_atim;
        if ((to_set & FUSE_SET_ATTR_MTIME_NOW) != 0) times[1].tv_nsec = UTIME_NOW;
        else if ((to_set & FUSE_SET_ATTR_MTIME) != 0) times[1] = attr.st_mtim;
        const int rc = fd >= 0 ? ::futimens(fd, times)
                       : w.name.empty() ? ::utimensat(AT_FDCWD, w.path().c_str(), times, 0)
                                        : ::utimensat(w.fd, w.at(), times, AT_SYMLINK_NOFOLLOW);
        if (rc != 0) return errno;
    }
    return 0;
}

void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi) {
    FrontEnd& fe = front(req);
    const Inode& inode = inode_of(req, ino);
    OpenStream* open = fi != nullptr && fi->fh != 0 && !inode.directory() ? &stream_in(fi) : nullptr;
    Where w;
    int err = open != nullptr ? 0 : where_of(fe, inode, w);
    if (err == 0 && (to_set & FUSE_SET_ATTR_SIZE) != 0) {
        if (open != nullptr) {
            err = truncate_locally(open->file, open->stream, attr->st_size);
        } else {
            UniqueFd fd;
            err = open_for_program(fe, inode, O_WRONLY, fd);
            std::uint32_t error = 0;
            const std::string path = err == 0 ? canonical_of(fd.get()) : std::string();
            auto file = err == 0 ? track_open_file(std::move(fd), path, true, error) : nullptr;
            if (err == 0) err = file ? truncate_locally(file, stream_of(req), attr->st_size) : EIO;
        }
    }
    if (err == 0) err = set_attributes(w, open != nullptr ? open->file->fd.get() : -1, S_ISLNK(inode.type), *attr, to_set);
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    reply_attr(req, inode, fi);
}

void op_readlink(fuse_req_t req, fuse_ino_t ino) {
    Where w;
    if (const int err = where_of(front(req), inode_of(req, ino), w); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    char buffer[PATH_MAX + 1];
    const ssize_t n = ::readlinkat(w.fd, w.at(), buffer, PATH_MAX);
    if (n < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    buffer[n] = '\0';
    fuse_reply_readlink(req, buffer);
}

// A file made through the mount is made as the kernel would make it for the calling program: with
// the permission bits it asked for (the kernel has applied its umask; this process's own must not
// narrow them again beneath) and, when this process runs as root, owned by the caller's user and
// group (the folder's group where the folder passes it on). The file is `name` in `dir`, or the
// open `fd` when it is >= 0. 0 or an errno.
int make_callers(fuse_req_t req, int dir, const char* name, int fd, mode_t mode) {
    struct stat st{};
    if ((fd >= 0 ? ::fstat(fd, &st) : ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW)) != 0) return errno;
    const fuse_ctx* ctx = fuse_req_ctx(req);
    if (::geteuid() == 0 && ctx != nullptr) {
        struct stat folder{};
        if (::fstat(dir, &folder) != 0) return errno;
        const gid_t gid = (folder.st_mode & S_ISGID) != 0 ? folder.st_gid : ctx->gid;
        if (st.st_uid != ctx->uid || st.st_gid != gid) {
            const int rc = fd >= 0 ? ::fchown(fd, ctx->uid, gid) : ::fchownat(dir, name, ctx->uid, gid, AT_SYMLINK_NOFOLLOW);
            if (rc != 0) return errno;
        }
    }
    if (S_ISLNK(st.st_mode)) return 0;
    // The special bits as they were made (a change of owner may clear set-user-id), the
    // permission bits as asked for.
    const mode_t wanted = (st.st_mode & 07000) | (mode & 0777);
    struct stat now{};
    if ((fd >= 0 ? ::fstat(fd, &now) : ::fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW)) != 0) return errno;
    if ((now.st_mode & 07777) == wanted) return 0;
    return (fd >= 0 ? ::fchmod(fd, wanted) : ::fchmodat(dir, name, wanted, 0)) == 0 ? 0 : errno;
}

// The descriptor of the folder `dir` for an operation; answers the request with the error and
// gives nullptr when it cannot be had.
FolderFd folder_for(fuse_req_t req, const Inode& dir) {
    int err = 0;
    FolderFd fd = folder_fd(front(req), dir, err);
    if (!fd) fuse_reply_err(req, err);
    return fd;
}

// Answers an operation that made the entry `name` of `parent` (reached through `dir`; rc the
// operation's result) with that entry, made the caller's with `mode`.
void reply_made(fuse_req_t req, int rc, Inode& parent, int dir, const char* name, mode_t mode) {
    if (rc != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_entry_param e;
    int err = make_callers(req, dir, name, -1, mode);
    if (err == 0) err = entry_for(front(req), parent, dir, name, e);
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_entry(req, &e);
}

void op_mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
    Inode& p = inode_of(req, parent);
    if (const FolderFd dir = folder_for(req, p)) reply_made(req, ::mknodat(dir->get(), name, mode, rdev), p, dir->get(), name, mode);
}

void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
    Inode& p = inode_of(req, parent);
    if (const FolderFd dir = folder_for(req, p)) reply_made(req, ::mkdirat(dir->get(), name, mode), p, dir->get(), name, mode);
}

void op_symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name) {
    Inode& p = inode_of(req, parent);
    if (const FolderFd dir = folder_for(req, p)) reply_made(req, ::symlinkat(link, dir->get(), name), p, dir->get(), name, 0777);
}

void op_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t parent, const char* name) {
    Inode& p = inode_of(req, parent);
    Where w;
    if (const int err = where_of(front(req), inode_of(req, ino), w); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    const FolderFd dir = folder_for(req, p);
    if (!dir) return;
    if (::linkat(w.fd, w.at(), dir->get(), name, w.empty_flag()) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_entry_param e;
    if (const int err = entry_for(front(req), p, dir->get(), name, e); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_entry(req, &e);
}

// The front end's inode that reaches its file as the entry `name` of the folder `parent`
// (reached through `dir`), and the file's link count; nullptr when there is none.
std::shared_ptr<Inode> named(FrontEnd& fe, Inode& parent, int dir, const char* name, nlink_t& links) {
    struct stat st{};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
    links = st.st_nlink;
    std::lock_guard lock(fe.mutex);
    const auto it = fe.inodes.find({st.st_dev, st.st_ino});
    if (it == fe.inodes.end()) return nullptr;
    Inode& inode = *it->second;
    if (inode.parent.get() != &parent || inode.name != name) return nullptr;
    return inode.shared_from_this();
}

// An O_PATH descriptor of the file `name` of `dir` if it is `inode`'s file and this is its last
// name (a folder has one): what reaches it after the name goes, while it is open.
UniqueFd anchor_of(const std::shared_ptr<Inode>& inode, int dir, const char* name, nlink_t links) {
    if (!inode || (!inode->directory() && links > 1)) return UniqueFd();
    UniqueFd fd(::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st{};
    if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_dev != inode->dev || st.st_ino != inode->ino) return UniqueFd();
    return fd;
}

// After the entry through which `inode` was reached is gone (unlinked, or replaced by a rename;
// the caller holds the mutex). A file that had no other name is gone for good: it is reached
// through `anchor` while it is open, and no longer listed, as its number may soon name a new
// file; one with other names is found again by its next lookup. A folder's anchor is its
// descriptor from now on.
void lose_name(FrontEnd& fe, Inode& inode, nlink_t links, UniqueFd anchor) {
    inode.parent.reset();
    inode.name.clear();
    if (links <= 1 || inode.directory()) unlist(fe, inode);
    if (inode.directory()) {
        uncache(fe, inode);
        if (anchor) inode.folder = std::make_shared<const UniqueFd>(std::move(anchor));
    } else if (!inode.anchor) {
        inode.anchor = std::move(anchor);
    }
}

void op_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    FrontEnd& fe = front(req);
    Inode& p = inode_of(req, parent);
    const FolderFd dir = folder_for(req, p);
    if (!dir) return;
    nlink_t links = 0;
    const auto inode = named(fe, p, dir->get(), name, links);
    UniqueFd anchor = anchor_of(inode, dir->get(), name, links);
    if (::unlinkat(dir->get(), name, 0) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    if (inode) {
        std::lock_guard lock(fe.mutex);
        if (inode->parent.get() == &p && inode->name == name) lose_name(fe, *inode, links, std::move(anchor));
    }
    fuse_reply_err(req, 0);
}

void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    FrontEnd& fe = front(req);
    Inode& p = inode_of(req, parent);
    const FolderFd dir = folder_for(req, p);
    if (!dir) return;
    nlink_t links = 0;
    const auto inode = named(fe, p, dir->get(), name, links);
    UniqueFd anchor = anchor_of(inode, dir->get(), name, links);
    if (::unlinkat(dir->get(), name, AT_REMOVEDIR) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    if (inode) {
        std::lock_guard lock(fe.mutex);
        if (inode->parent.get() == &p && inode->name == name) lose_name(fe, *inode, 0, std::move(anchor));
    }
    fuse_reply_err(req, 0);
}

// Before a rename onto the entry `name` of `dir`: when it is a placeholder, the watcher is told
// which identity the rename replaces (note_replaced). Returns the noted path, or "".
std::string note_replacement(int dir, const char* name) {
    const std::string entry = descriptor_path(dir) + "/" + name;
    if (!read_state(MetaTarget{-1, entry.c_str()})) return {};
    const auto identity = read_identity(MetaTarget{-1, entry.c_str()});
    const std::string folder = canonical_of(dir);
    const std::string path = (folder == "/" ? "" : folder) + "/" + name;
    note_replaced(path, std::string(identity.begin(), identity.end()));
    return path;
}

void op_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent, const char* new_name,
               unsigned flags) {
    FrontEnd& fe = front(req);
    Inode& from = inode_of(req, parent);
    Inode& to = inode_of(req, new_parent);
    const FolderFd from_dir = folder_for(req, from);
    if (!from_dir) return;
    const FolderFd to_dir = folder_for(req, to);
    if (!to_dir) return;
    nlink_t moving_links = 0;
    nlink_t replaced_links = 0;
    const auto moving = named(fe, from, from_dir->get(), name, moving_links);
    const auto replaced = named(fe, to, to_dir->get(), new_name, replaced_links);
    UniqueFd anchor = (flags & RENAME_EXCHANGE) == 0 ? anchor_of(replaced, to_dir->get(), new_name, replaced_links) : UniqueFd();
    const std::string noted = (flags & RENAME_EXCHANGE) == 0 ? note_replacement(to_dir->get(), new_name) : std::string();
    if (::renameat2(from_dir->get(), name, to_dir->get(), new_name, flags) != 0) {
        const int err = errno;
        if (!noted.empty()) forget_replaced(noted);
        fuse_reply_err(req, err);
        return;
    }
    // The inodes that were reached through the two names follow the files.
    std::lock_guard lock(fe.mutex);
    auto still = [](const std::shared_ptr<Inode>& inode, const Inode& dir, const char* entry) {
        return inode && inode->parent.get() == &dir && inode->name == entry;
    };
    const bool move = still(moving, from, name);
    const bool replace = replaced != moving && still(replaced, to, new_name);
    if (replace) {
        if ((flags & RENAME_EXCHANGE) != 0) {
            replaced->parent = from.shared_from_this();
            replaced->name = name;
        } else {
            lose_name(fe, *replaced, replaced->directory() ? 0 : replaced_links, std::move(anchor));
        }
    }
    if (move) {
        moving->parent = to.shared_from_this();
        moving->name = new_name;
    }
    fuse_reply_err(req, 0);
}

void op_open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    after_init(req);
    UniqueFd fd;
    int err = open_for_program(front(req), inode_of(req, ino), fi->flags, fd);
    if (err == 0) err = start_stream(req, std::move(fd), fi);
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_open(req, fi);
}

void op_create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
    Inode& p = inode_of(req, parent);
    const FolderFd dir = folder_for(req, p);
    if (!dir) return;
    // As an open (open_for_program): write-only is opened for reading too where it may be, and a
    // truncation is start_stream's. The file is made here unless another made it meanwhile.
    const int flags = (fi->flags & ~(O_NOCTTY | O_NOFOLLOW | O_APPEND | O_DIRECT | O_TRUNC | O_CREAT | O_EXCL)) | O_CLOEXEC;
    auto open_as = [&](int f) {
        UniqueFd fd;
        if ((f & O_ACCMODE) == O_WRONLY) fd = open_content(dir->get(), name, (f & ~O_ACCMODE) | O_RDWR, mode);
        if (!fd) fd = open_content(dir->get(), name, f, mode);
        return fd;
    };
    UniqueFd fd = open_as(flags | O_CREAT | O_EXCL);
    const bool made = static_cast<bool>(fd);
    if (!fd && errno == EEXIST && (fi->flags & O_EXCL) == 0) fd = open_as(flags | O_NOFOLLOW);
    if (!fd) {
        fuse_reply_err(req, errno);
        return;
    }
    if (const int err = made ? make_callers(req, dir->get(), name, fd.get(), mode) : 0; err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_entry_param e;
    if (const int err = entry_for(front(req), p, dir->get(), name, e); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    if (const int err = start_stream(req, std::move(fd), fi); err != 0) {
        forget_one(front(req), e.ino, 1);
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_create(req, &e, fi);
}

// An interrupted read gives up its fetches (the provider is told with a cancel).
void on_interrupt(fuse_req_t, void* data) {
    cancel_stream(static_cast<OpenStream*>(data)->stream.transfer_key, win32::ERROR_CLOUD_FILE_REQUEST_ABORTED);
}

void op_read(fuse_req_t req, fuse_ino_t, std::size_t size, off_t offset, fuse_file_info* fi) {
    OpenStream& o = stream_in(fi);
    {
        // Content on the disk goes to the kernel from the file itself (spliced where it can be),
        // held against a dehydration meanwhile. Once answered, the kernel may release the open
        // file at once: what outlives the reply is owned here.
        const std::shared_ptr<OpenFile> file = o.file;
        const ReadInProgress reading(*file->node, *file);
        struct stat st{};
        if (reading.error() == 0 && ::fstat(file->fd.get(), &st) == 0) {
            const auto state = read_state(MetaTarget{file->fd.get(), nullptr});
            const std::int64_t end = std::min<std::int64_t>(offset + static_cast<std::int64_t>(size), st.st_size);
            if (!state || offset >= st.st_size || state->present.covers(offset, end)) {
                fuse_bufvec data = FUSE_BUFVEC_INIT(size);
                data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
                data.buf[0].fd = file->fd.get();
                data.buf[0].pos = offset;
                fuse_reply_data(req, &data, FUSE_BUF_SPLICE_MOVE);
                return;
            }
        }
    }
    const std::int64_t end = offset + static_cast<std::int64_t>(size);
    if (o.failed_lately(offset, end)) {
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_req_interrupt_func(req, on_interrupt, &o);
    std::vector<std::uint8_t> bytes;
    const std::uint32_t error = read_range(o.file, o.stream, offset, static_cast<std::int64_t>(size), &bytes);
    fuse_req_interrupt_func(req, nullptr, nullptr);
    if (error != 0) {
        const int err = read_errno(error, fuse_req_interrupted(req) != 0);
        if (err == EIO) o.remember_failure(offset, end);
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_buf(req, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void op_write(fuse_req_t req, fuse_ino_t, const char* bytes, std::size_t size, off_t offset, fuse_file_info* fi) {
    std::size_t written = 0;
    if (const int err = write_locally(stream_in(fi), bytes, size, offset, written); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_write(req, written);
}

void op_fallocate(fuse_req_t req, fuse_ino_t, int mode, off_t offset, off_t length, fuse_file_info* fi) {
    fuse_reply_err(req, allocate_locally(stream_in(fi), mode, offset, length));
}

void op_flush(fuse_req_t req, fuse_ino_t, fuse_file_info*) { fuse_reply_err(req, 0); }

void op_release(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    delete reinterpret_cast<OpenStream*>(fi->fh);
    fuse_reply_err(req, 0);
}

void op_fsync(fuse_req_t req, fuse_ino_t, int datasync, fuse_file_info* fi) {
    const int fd = stream_in(fi).file->fd.get();
    fuse_reply_err(req, (datasync != 0 ? ::fdatasync(fd) : ::fsync(fd)) == 0 ? 0 : errno);
}

void op_opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
    const FolderFd held = folder_for(req, inode_of(req, ino));
    if (!held) return;
    const int fd = ::openat(held->get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        const int err = errno;
        if (fd >= 0) ::close(fd);
        fuse_reply_err(req, err);
        return;
    }
    auto* d = new OpenDirectory();
    d->dir = dir;
    fi->fh = reinterpret_cast<std::uint64_t>(d);
    fuse_reply_open(req, fi);
}

// Lists a directory. With `plus`, entries carry their attributes (and count a lookup) when the
// listing thread looked at files lately: that spares a program that stats what it lists (ls -l)
// a lookup per name, and one that only walks names (find) the cost of attributes it never uses.
void list_directory(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info* fi, bool plus) {
    auto& d = *reinterpret_cast<OpenDirectory*>(fi->fh);
    Inode& dir = inode_of(req, ino);
    // Without attributes, a plus entry has node number 0: listed, nothing looked up.
    const bool attach = plus && examines(req);
    if (offset != d.offset) {
        ::seekdir(d.dir, offset);
        d.offset = offset;
    }
    std::vector<char> buffer(size);
    std::size_t used = 0;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(d.dir);
        if (entry == nullptr) {
            if (errno != 0 && used == 0) {
                fuse_reply_err(req, errno);
                return;
            }
            break;
        }
        if (is_creation_entry(entry->d_name)) {
            d.offset = entry->d_off;
            continue;
        }
        fuse_entry_param e{};
        e.attr.st_ino = entry->d_ino;
        e.attr.st_mode = static_cast<mode_t>(entry->d_type) << 12;
        const bool dots = std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
        if (attach && !dots && entry_for(front(req), dir, ::dirfd(d.dir), entry->d_name, e) != 0) {
            d.offset = entry->d_off;  // gone since it was listed
            continue;
        }
        const std::size_t n =
            plus ? fuse_add_direntry_plus(req, buffer.data() + used, size - used, entry->d_name, &e, entry->d_off)
                 : fuse_add_direntry(req, buffer.data() + used, size - used, entry->d_name, &e.attr, entry->d_off);
        if (n > size - used) {
            if (attach && !dots) forget_one(front(req), e.ino, 1);
            ::seekdir(d.dir, d.offset);  // did not fit: the next call starts with it
            break;
        }
        used += n;
        d.offset = entry->d_off;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void op_readdir(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info* fi) {
    list_directory(req, ino, size, offset, fi, false);
}

void op_readdirplus(fuse_req_t req, fuse_ino_t ino, std::size_t size, off_t offset, fuse_file_info* fi) {
    list_directory(req, ino, size, offset, fi, true);
}

void op_releasedir(fuse_req_t req, fuse_ino_t, fuse_file_info* fi) {
    delete reinterpret_cast<OpenDirectory*>(fi->fh);
    fuse_reply_err(req, 0);
}

void op_statfs(fuse_req_t req, fuse_ino_t) {
    struct statvfs sv{};
    if (::fstatvfs(front(req).root_fd.get(), &sv) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_reply_statfs(req, &sv);
}

// Extended attributes: the user and trusted namespaces pass through, but for the platform's
// own. A placeholder's state (user.zcf.state, .identity, .usn) is no attribute of the file as a
// program sees it: it is neither listed, nor read, nor set through the mount, so that copies
// (cp -a, rsync -X, tar --xattrs) are plain files and never claim a placeholder's identity, and
// no program can forge one. The pin (user.zcf.pin) is how a user pins a file: it is read and set
// by its name, but not listed, so copies do not carry it either. The mount enforces no POSIX ACLs
// and keeps no security labels of its own, and says so: those names are "not supported", which
// also spares programs such as ls a question per file (they stop asking a file system that
// answered so once). A name is never followed (the l* calls); a directory is reached through its
// descriptor's path.
bool carried(std::string_view name) { return name.rfind("user.", 0) == 0 || name.rfind("trusted.", 0) == 0; }
bool placeholder_state(std::string_view name) {
    return name == XATTR_STATE || name == XATTR_IDENTITY || name == XATTR_USN;
}
bool listed(std::string_view name) { return carried(name) && !placeholder_state(name) && name != XATTR_PIN; }

void op_setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, std::size_t size, int flags) {
    Where w;
    int err = !carried(name) ? EOPNOTSUPP : placeholder_state(name) ? EPERM : where_of(front(req), inode_of(req, ino), w);
    if (err == 0) {
        const std::string path = w.path();
        const int rc = w.name.empty() ? ::setxattr(path.c_str(), name, value, size, flags) : ::lsetxattr(path.c_str(), name, value, size, flags);
        err = rc == 0 ? 0 : errno;
    }
    fuse_reply_err(req, err);
}

// Answers a getxattr or listxattr of `bytes`: with their size alone when the caller asked for it
// (size 0), ERANGE when they do not fit.
void reply_xattr(fuse_req_t req, const std::vector<char>& bytes, std::size_t size) {
    if (size == 0) fuse_reply_xattr(req, bytes.size());
    else if (bytes.size() > size) fuse_reply_err(req, ERANGE);
    else fuse_reply_buf(req, bytes.data(), bytes.size());
}

// Calls `get(buffer, capacity)` (a getxattr or listxattr) with a buffer that grows until the
// value fits. 0 or an errno.
template <typename Get>
int read_xattr(Get get, std::vector<char>& bytes) {
    for (;;) {
        const ssize_t needed = get(nullptr, 0);
        if (needed < 0) return errno;
        bytes.resize(static_cast<std::size_t>(needed));
        const ssize_t n = needed == 0 ? 0 : get(bytes.data(), bytes.size());
        if (n >= 0) {
            bytes.resize(static_cast<std::size_t>(n));
            return 0;
        }
        if (errno != ERANGE) return errno;  // grown meanwhile: again
    }
}

void op_getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, std::size_t size) {
    Where w;
    int err = !carried(name) ? EOPNOTSUPP : placeholder_state(name) ? ENODATA : where_of(front(req), inode_of(req, ino), w);
    std::vector<char> value;
    if (err == 0) {
        const std::string path = w.path();
        err = read_xattr([&](char* out, std::size_t capacity) {
            return w.name.empty() ? ::getxattr(path.c_str(), name, out, capacity) : ::lgetxattr(path.c_str(), name, out, capacity);
        }, value);
    }
    if (err != 0) fuse_reply_err(req, err);
    else reply_xattr(req, value, size);
}

void op_listxattr(fuse_req_t req, fuse_ino_t ino, std::size_t size) {
    Where w;
    int err = where_of(front(req), inode_of(req, ino), w);
    std::vector<char> names;
    if (err == 0) {
        const std::string path = w.path();
        err = read_xattr([&](char* out, std::size_t capacity) {
            return w.name.empty() ? ::listxattr(path.c_str(), out, capacity) : ::llistxattr(path.c_str(), out, capacity);
        }, names);
    }
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    std::vector<char> shown;
    for (std::size_t i = 0; i < names.size();) {
        const std::string_view name(names.data() + i);
        if (listed(name)) shown.insert(shown.end(), names.data() + i, names.data() + i + name.size() + 1);
        i += name.size() + 1;
    }
    reply_xattr(req, shown, size);
}

void op_removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
    Where w;
    int err = !carried(name) ? EOPNOTSUPP : placeholder_state(name) ? EPERM : where_of(front(req), inode_of(req, ino), w);
    if (err == 0) {
        const std::string path = w.path();
        err = (w.name.empty() ? ::removexattr(path.c_str(), name) : ::lremovexattr(path.c_str(), name)) == 0 ? 0 : errno;
    }
    fuse_reply_err(req, err);
}

// Missing content is no hole: the whole file is data, so that copying programs read it (and so
// fetch it) instead of writing zeros.
void op_lseek(fuse_req_t req, fuse_ino_t, off_t offset, int whence, fuse_file_info* fi) {
    struct stat st{};
    if (::fstat(stream_in(fi).file->fd.get(), &st) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    if (offset < 0 || offset >= st.st_size || (whence != SEEK_DATA && whence != SEEK_HOLE)) {
        fuse_reply_err(req, whence == SEEK_DATA || whence == SEEK_HOLE ? ENXIO : EINVAL);
        return;
    }
    fuse_reply_lseek(req, whence == SEEK_DATA ? offset : st.st_size);
}

const fuse_lowlevel_ops OPERATIONS = [] {
    fuse_lowlevel_ops ops{};
    ops.init = op_init;
    ops.lookup = op_lookup;
    ops.forget = op_forget;
    ops.forget_multi = op_forget_multi;
    ops.getattr = op_getattr;
    ops.setattr = op_setattr;
    ops.readlink = op_readlink;
    ops.mknod = op_mknod;
    ops.mkdir = op_mkdir;
    ops.symlink = op_symlink;
    ops.link = op_link;
    ops.unlink = op_unlink;
    ops.rmdir = op_rmdir;
    ops.rename = op_rename;
    ops.open = op_open;
    ops.create = op_create;
    ops.read = op_read;
    ops.write = op_write;
    ops.flush = op_flush;
    ops.release = op_release;
    ops.fsync = op_fsync;
    ops.fallocate = op_fallocate;
    ops.opendir = op_opendir;
    ops.readdir = op_readdir;
    ops.readdirplus = op_readdirplus;
    ops.releasedir = op_releasedir;
    ops.statfs = op_statfs;
    ops.setxattr = op_setxattr;
    ops.getxattr = op_getxattr;
    ops.listxattr = op_listxattr;
    ops.removexattr = op_removexattr;
    ops.lseek = op_lseek;
    return ops;
}();

// libfuse's messages would land in the parent's standard error; a refused mount is an answer of
// its own (connect works on without the front end).
void quiet_log(fuse_log_level, const char*, va_list) {}

bool allow_other_permitted() {
    if (::geteuid() == 0) return true;
    const auto conf = read_file("/etc/fuse.conf");
    return conf && any_line(*conf, [](std::string_view line) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
        return line == "user_allow_other";
    });
}

bool run_fusermount(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("fusermount3"));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execvp("fusermount3", argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool detach(const std::string& path) {
    if (::geteuid() == 0) return ::umount2(path.c_str(), MNT_DETACH) == 0;
    return run_fusermount({"-u", "-z", "-q", path});
}


// At the end of the process the mounts are detached; the session stays open to the end, so that
// a reply of a loop thread still at work goes to the device (libfuse would report a failed one on
// standard error, which belongs to the parent) and the kernel ends the connection at exit.
void unmount_all_at_exit() {
    std::vector<std::shared_ptr<FrontEnd>> list;
    {
        std::lock_guard lock(mounted().mutex);
        list.swap(mounted().list);
    }
    for (const auto& fe : list) {
        fuse_session_exit(fe->session);
        detach(fe->root);
    }
}

}  // namespace

bool fuse_usable() {
    const UniqueFd fd(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!fd) return false;
    if (::geteuid() == 0) return true;
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const std::string dir(dirs.substr(0, colon));
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
        if (!dir.empty() && ::access((dir + "/fusermount3").c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::shared_ptr<FrontEnd> mount_front_end(const std::string& root) {
    static const bool QUIET = [] {
        fuse_set_log_func(quiet_log);
        // One descriptor per folder the kernel knows, and per open file: the soft limit (often
        // 1024) goes up to the hard one.
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
        return std::atexit(unmount_all_at_exit) == 0;
    }();
    (void)QUIET;
    auto fe = std::make_shared<FrontEnd>();
    fe->root = root;
    fe->root_fd = UniqueFd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st{};
    if (!fe->root_fd || ::fstat(fe->root_fd.get(), &st) != 0) return nullptr;
    fe->root_inode = std::make_shared<Inode>();
    fe->root_inode->folder = std::make_shared<const UniqueFd>(::fcntl(fe->root_fd.get(), F_DUPFD_CLOEXEC, 0));
    fe->root_inode->recent = fe->recent_folders.end();
    fe->root_inode->dev = st.st_dev;
    fe->root_inode->ino = st.st_ino;
    fe->root_inode->type = S_IFDIR;

    std::string options = "fsname=zembra_cloud_files,subtype=zembra_cloud_files,default_permissions";
    if (allow_other_permitted()) options += ",allow_other";
    std::vector<std::string> words = {"zembra_cloud_files", "-o", options};
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    fe->session = fuse_session_new(&args, &OPERATIONS, sizeof OPERATIONS, fe.get());
    fuse_opt_free_args(&args);
    if (fe->session == nullptr) return nullptr;
    // The platform's own calls avoid the mount from before it exists.
    add_backing_root(root, fe->root_fd.get());
    if (fuse_session_mount(fe->session, root.c_str()) != 0) {
        remove_backing_root(root);
        return nullptr;
    }
    {
        std::lock_guard lock(mounted().mutex);
        mounted().list.push_back(fe);
    }
    // The loop keeps its front end alive until the kernel ends the connection: after the unmount,
    // or after the last file still open on a detached mount is closed.
    std::thread([fe] {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, MAX_THREADS);
        fuse_session_loop_mt(fe->session, config);
        fuse_loop_cfg_destroy(config);
        // After a disconnect the kernel has ended the connection: this only lets go of the device
        // and the session's mount record. At the end of the process that is the exit's work.
        if (fe->detached) fuse_session_unmount(fe->session);
    }).detach();
    return fe;
}

void unmount_front_end(const std::shared_ptr<FrontEnd>& fe) {
    if (!fe) return;
    bool listed = false;
    {
        std::lock_guard lock(mounted().mutex);
        auto& list = mounted().list;
        const auto it = std::find(list.begin(), list.end(), fe);
        listed = it != list.end();
        if (listed) list.erase(it);
    }
    if (!listed) return;
    fe->detached = true;
    // Detached, busy or not (MNT_DETACH, or fusermount3 -z), without closing the session: the loop
    // goes on serving the files still open on it (their waiting reads end with EIO) until the last
    // is closed and the kernel ends the connection.
    detach(fe->root);
    remove_backing_root(fe->root);
}

bool recover_stale_mount(const std::string& path) {
    bool recovered = false;
    for (int attempt = 0; attempt < 8 && front_end_device(path); ++attempt) {
        if (!detach(path)) break;
        recovered = true;
    }
    return recovered;
}

void forget_cached(const struct stat& st, bool content) {
    std::vector<std::pair<std::shared_ptr<FrontEnd>, fuse_ino_t>> found;
    {
        std::lock_guard lock(mounted().mutex);
        for (const auto& fe : mounted().list) {
            std::lock_guard inodes(fe->mutex);
            const InodeKey key{st.st_dev, st.st_ino};
            if (key == InodeKey{fe->root_inode->dev, fe->root_inode->ino}) {
                found.emplace_back(fe, FUSE_ROOT_ID);
                continue;
            }
            const auto it = fe->inodes.find(key);
            if (it != fe->inodes.end()) found.emplace_back(fe, number_of(*fe, it->second));
        }
    }
    for (const auto& [fe, ino] : found) fuse_lowlevel_notify_inval_inode(fe->session, ino, content ? 0 : -1, 0);
}

}  // namespace zcf::linux_platform

// libfuse reports some failures of its own with perror ("fuse: writing device", "fuse: splice from
// pipe": a reply to a request the kernel dropped meanwhile, a reader that was killed); standard
// error belongs to the parent, and the program writes nothing there. This definition takes the
// place of the C library's for the whole process, which itself never calls it.
extern "C" void perror(const char*) {}
