// platform/linux/fuse: the file system's operations, as libfuse's low-level API calls them: each
// reaches the files beneath the mount through the inode table, and what programs do to
// placeholders (reads of missing content, changes, what they are shown) goes to the engine
// (cloud/engine.h). Everything else passes through to the files. POSIX and libfuse calls are
// allowed here and only under platform/linux.
#include "platform/linux/fuse/session.h"

#include "platform/linux/fuse/mount.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace zcf::linux_platform {

static_assert(InodeTable::ROOT_NUMBER == FUSE_ROOT_ID);

namespace {

// How long the kernel may keep names and attributes. The engine's own changes beneath the mount
// drop them at once (FuseFrontEnd::file_changed); a second covers the rest.
constexpr double CACHE_SECONDS = 1.0;

FuseMount& front(fuse_req_t req) { return *static_cast<FuseMount*>(fuse_req_userdata(req)); }

Inode& inode_of(fuse_req_t req, fuse_ino_t ino) { return front(req).table->inode(ino); }

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


// Opens the inode's regular file for a program's open with `flags`. A write-only open is opened
// for reading too where the file allows it: before a placeholder is changed, what it lacks is
// brought in, which reads the file. Direct I/O is the mount's (the page cache is bypassed above,
// FOPEN_DIRECT_IO); beneath, the file is opened for ordinary I/O, which takes the kernel's buffers
// whatever their alignment.
int open_for_program(FuseMount& fe, const Inode& inode, int flags, UniqueFd& fd) {
    flags &= ~(O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC | O_NOFOLLOW | O_APPEND | O_DIRECT);
    if ((flags & O_ACCMODE) == O_WRONLY && fe.table->open_inode(inode, (flags & ~O_ACCMODE) | O_RDWR, fd) == 0) return 0;
    return fe.table->open_inode(inode, flags, fd);
}

// The file's canonical path as the rest of the platform names it (the path it has beneath the
// mount is the path it has through it).
std::string canonical_of(int fd) {
    std::string name;
    return descriptor_name(fd, name) == 0 ? name : std::string();
}


// The entry `name` of the folder `parent`, reached through its descriptor `dir`.
int entry_for(FuseMount& fe, Inode& parent, int dir, const char* name, fuse_entry_param& e) {
    if (is_creation_entry(name)) return ENOENT;  // a placeholder under construction is not there yet
    struct stat st{};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    Inode* inode = fe.table->remember(parent, name, st);
    std::memset(&e, 0, sizeof e);
    e.ino = fe.table->number(*inode);
    Where w;
    w.fd = dir;
    w.name = name;
    e.attr = program_view(w.path(), w.name.empty(), st);
    e.attr_timeout = CACHE_SECONDS;
    e.entry_timeout = CACHE_SECONDS;
    return 0;
}

int entry_for(FuseMount& fe, Inode& parent, const char* name, fuse_entry_param& e) {
    int err = 0;
    const FolderFd dir = fe.table->folder_fd(parent, err);
    return dir ? entry_for(fe, parent, dir->get(), name, e) : err;
}

void reply_attr(fuse_req_t req, const Inode& inode, fuse_file_info* fi) {
    struct stat st{};
    Where w;
    int err = front(req).table->where_of(inode, w);
    if (fi != nullptr && fi->fh != 0 && !inode.directory()) {
        // An open file (fstat): its own descriptor, which reaches it after its name is gone.
        const int fd = reinterpret_cast<const OpenStream*>(fi->fh)->file->fd.get();
        err = ::fstat(fd, &st) == 0 ? 0 : errno;
        w = Where{};
        w.fd = fd;
    } else if (err == 0) {
        err = front(req).table->stat_inode(inode, st);
    }
    if (err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    const struct stat shown = program_view(w.path(), w.name.empty(), st);
    fuse_reply_attr(req, &shown, CACHE_SECONDS);
}


// errno for a failed road of a read: the reader was interrupted, or the content could not be had.
int read_errno(std::uint32_t error, bool interrupted) {
    return interrupted && error == win32::ERROR_CLOUD_FILE_REQUEST_ABORTED ? EINTR : EIO;
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
        if (const int err = program_truncate(o->file, o->stream, 0); err != 0) {
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


// The kernel sends other requests only once it has taken the answer to INIT, which sets the
// mount's read-ahead: the first of them widens it (see widen_read_ahead).
void after_init(fuse_req_t req) {
    FuseMount& fe = front(req);
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
    FuseMount& fe = front(req);
    const fuse_ctx* ctx = fuse_req_ctx(req);
    if (ctx == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(fe.mutex);
    if (fe.examiners.size() >= 256) std::erase_if(fe.examiners, [&](const auto& e) { return now - e.second > EXAMINER_MEMORY; });
    fe.examiners[ctx->pid] = now;
}

bool examines(fuse_req_t req) {
    FuseMount& fe = front(req);
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
    front(req).table->forget(inode_of(req, ino), count);
    fuse_reply_none(req);
}

void op_forget_multi(fuse_req_t req, std::size_t count, fuse_forget_data* forgets) {
    for (std::size_t i = 0; i < count; ++i) front(req).table->forget(inode_of(req, forgets[i].ino), forgets[i].nlookup);
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
    FuseMount& fe = front(req);
    const Inode& inode = inode_of(req, ino);
    OpenStream* open = fi != nullptr && fi->fh != 0 && !inode.directory() ? &stream_in(fi) : nullptr;
    Where w;
    int err = open != nullptr ? 0 : fe.table->where_of(inode, w);
    if (err == 0 && (to_set & FUSE_SET_ATTR_SIZE) != 0) {
        if (open != nullptr) {
            err = program_truncate(open->file, open->stream, attr->st_size);
        } else {
            UniqueFd fd;
            err = open_for_program(fe, inode, O_WRONLY, fd);
            std::uint32_t error = 0;
            const std::string path = err == 0 ? canonical_of(fd.get()) : std::string();
            auto file = err == 0 ? track_open_file(std::move(fd), path, true, error) : nullptr;
            if (err == 0) err = file ? program_truncate(file, stream_of(req), attr->st_size) : EIO;
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
    if (const int err = front(req).table->where_of(inode_of(req, ino), w); err != 0) {
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
    FolderFd fd = front(req).table->folder_fd(dir, err);
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
    if (const int err = front(req).table->where_of(inode_of(req, ino), w); err != 0) {
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


void op_unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    FuseMount& fe = front(req);
    Inode& p = inode_of(req, parent);
    const FolderFd dir = folder_for(req, p);
    if (!dir) return;
    nlink_t links = 0;
    const auto inode = fe.table->named(p, dir->get(), name, links);
    UniqueFd anchor = InodeTable::anchor_of(inode, dir->get(), name, links);
    if (::unlinkat(dir->get(), name, 0) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fe.table->removed(inode, p, name, links, std::move(anchor));
    fuse_reply_err(req, 0);
}

void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
    FuseMount& fe = front(req);
    Inode& p = inode_of(req, parent);
    const FolderFd dir = folder_for(req, p);
    if (!dir) return;
    nlink_t links = 0;
    const auto inode = fe.table->named(p, dir->get(), name, links);
    UniqueFd anchor = InodeTable::anchor_of(inode, dir->get(), name, links);
    if (::unlinkat(dir->get(), name, AT_REMOVEDIR) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fe.table->removed(inode, p, name, 0, std::move(anchor));
    fuse_reply_err(req, 0);
}


void op_rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent, const char* new_name,
               unsigned flags) {
    FuseMount& fe = front(req);
    Inode& from = inode_of(req, parent);
    Inode& to = inode_of(req, new_parent);
    const FolderFd from_dir = folder_for(req, from);
    if (!from_dir) return;
    const FolderFd to_dir = folder_for(req, to);
    if (!to_dir) return;
    nlink_t moving_links = 0;
    nlink_t replaced_links = 0;
    const auto moving = fe.table->named(from, from_dir->get(), name, moving_links);
    const auto replaced = fe.table->named(to, to_dir->get(), new_name, replaced_links);
    UniqueFd anchor = (flags & RENAME_EXCHANGE) == 0 ? InodeTable::anchor_of(replaced, to_dir->get(), new_name, replaced_links) : UniqueFd();
    const std::string noted = (flags & RENAME_EXCHANGE) == 0 ? note_replacement(to_dir->get(), new_name) : std::string();
    if (::renameat2(from_dir->get(), name, to_dir->get(), new_name, flags) != 0) {
        const int err = errno;
        if (!noted.empty()) forget_replaced(noted);
        fuse_reply_err(req, err);
        return;
    }
    // The inodes that were reached through the two names follow the files.
    fe.table->renamed(moving, from, name, replaced, replaced_links, to, new_name, flags, std::move(anchor));
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
        front(req).table->forget(inode_of(req, e.ino), 1);
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
    // Once answered, the kernel may release the open file at once: what outlives the reply is
    // owned here.
    const std::shared_ptr<OpenFile> file = o.file;
    const std::int64_t end = offset + static_cast<std::int64_t>(size);
    // Content on the disk goes to the kernel from the file itself, spliced where it can be. The
    // request is gone once answered.
    auto splice = [&](int fd) {
        fuse_req_interrupt_func(req, nullptr, nullptr);
        fuse_bufvec data = FUSE_BUFVEC_INIT(size);
        data.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        data.buf[0].fd = fd;
        data.buf[0].pos = offset;
        fuse_reply_data(req, &data, FUSE_BUF_SPLICE_MOVE);
    };
    fuse_req_interrupt_func(req, on_interrupt, &o);
    std::vector<std::uint8_t> bytes;
    bool served = false;
    const std::uint32_t error =
        program_read(file, o.stream, offset, static_cast<std::int64_t>(size), !o.failed_lately(offset, end), splice, bytes, served);
    if (served) return;
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
    const OpenStream& o = stream_in(fi);
    if (const int err = program_write(o.file, o.stream, bytes, size, offset, written); err != 0) {
        fuse_reply_err(req, err);
        return;
    }
    fuse_reply_write(req, written);
}

void op_fallocate(fuse_req_t req, fuse_ino_t, int mode, off_t offset, off_t length, fuse_file_info* fi) {
    const OpenStream& o = stream_in(fi);
    fuse_reply_err(req, program_allocate(o.file, o.stream, mode, offset, length));
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
            if (attach && !dots) front(req).table->forget(inode_of(req, e.ino), 1);
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
    int err = !carried(name) ? EOPNOTSUPP : placeholder_state(name) ? EPERM : front(req).table->where_of(inode_of(req, ino), w);
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
    int err = !carried(name) ? EOPNOTSUPP : placeholder_state(name) ? ENODATA : front(req).table->where_of(inode_of(req, ino), w);
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
    int err = front(req).table->where_of(inode_of(req, ino), w);
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
    int err = !carried(name) ? EOPNOTSUPP : placeholder_state(name) ? EPERM : front(req).table->where_of(inode_of(req, ino), w);
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


}  // namespace

const fuse_lowlevel_ops& fuse_operations() { return OPERATIONS; }

}  // namespace zcf::linux_platform
