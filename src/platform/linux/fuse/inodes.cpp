// platform/linux/fuse: the inodes of one mount. POSIX calls are allowed here and only under
// platform/linux.
#include "platform/linux/fuse/inodes.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace zcf::linux_platform {

namespace {

// Descriptors of folders kept open at most (and no more than a quarter of what the process may
// open); others are opened again from the nearest folder that is, when they are used.
constexpr std::size_t CACHED_FOLDERS = 1024;

std::size_t cached_folders_allowed() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur == RLIM_INFINITY) return CACHED_FOLDERS;
    return std::max<std::size_t>(16, std::min<std::size_t>(CACHED_FOLDERS, files.rlim_cur / 4));
}

}  // namespace

InodeTable::InodeTable(UniqueFd root, const struct stat& st) : root_(std::make_shared<Inode>()) {
    root_->folder = std::make_shared<const UniqueFd>(std::move(root));
    root_->dev = st.st_dev;
    root_->ino = st.st_ino;
    root_->type = S_IFDIR;
    root_->recent = recent_folders_.end();
}

InodeTable::~InodeTable() {
    // What the kernel did not forget goes with the table.
    std::vector<std::shared_ptr<Inode>> held;
    for (auto& [key, inode] : inodes_) held.push_back(std::move(inode->self));
    inodes_.clear();
    held.clear();
}

Inode& InodeTable::inode(std::uint64_t number) {
    if (number == ROOT_NUMBER) return *root_;
    return *reinterpret_cast<Inode*>(static_cast<std::uintptr_t>(number));
}

std::uint64_t InodeTable::number(const Inode& inode) const {
    return &inode == root_.get() ? ROOT_NUMBER : static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&inode));
}

std::optional<std::uint64_t> InodeTable::number_of_file(const struct stat& st) {
    if (st.st_dev == root_->dev && st.st_ino == root_->ino) return ROOT_NUMBER;
    std::lock_guard lock(mutex_);
    const auto it = inodes_.find({st.st_dev, st.st_ino});
    if (it == inodes_.end()) return std::nullopt;
    return number(*it->second);
}

// Folders whose descriptor is cached are kept in recent_folders_, most recently used first, but
// for the root's and a removed folder's (no place there: they are kept while the inode lives).
// The four below are called with the mutex held.
void InodeTable::touch_folder(Inode& folder) {
    if (folder.recent != recent_folders_.end()) recent_folders_.splice(recent_folders_.begin(), recent_folders_, folder.recent);
}

// Caches `fd` as the descriptor of `folder` and lets go of the least recently used past the limit
// (each closes when its last user lets go).
void InodeTable::cache_folder(Inode& folder, FolderFd fd) {
    folder.folder = std::move(fd);
    recent_folders_.push_front(folder.weak_from_this());
    folder.recent = recent_folders_.begin();
    ++cached_folders_;
    const std::size_t allowed = cached_folders_allowed();
    while (cached_folders_ > allowed) {
        const auto oldest = recent_folders_.back().lock();
        recent_folders_.pop_back();
        --cached_folders_;
        if (!oldest) continue;
        oldest->folder.reset();
        oldest->recent = recent_folders_.end();
    }
}

// No longer cached (its inode is forgotten, or its descriptor becomes its anchor).
void InodeTable::uncache(Inode& folder) {
    if (folder.recent == recent_folders_.end()) return;
    recent_folders_.erase(folder.recent);
    folder.recent = recent_folders_.end();
    folder.folder.reset();
    --cached_folders_;
}

// It is no longer found by its number, and lives on only while the kernel still counts a lookup.
void InodeTable::unlist(Inode& inode) {
    const auto it = inodes_.find({inode.dev, inode.ino});
    if (it != inodes_.end() && it->second == &inode) inodes_.erase(it);
}

FolderFd InodeTable::folder_fd(const Inode& dir, int& err) {
    std::vector<std::string> names;  // from the cached folder down to `dir`
    FolderFd base;
    {
        std::lock_guard lock(mutex_);
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
        touch_folder(const_cast<Inode&>(*at));
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
    std::lock_guard lock(mutex_);
    auto& cached = const_cast<Inode&>(dir);
    if (cached.folder) return cached.folder;  // opened meanwhile by another call
    cache_folder(cached, opened);
    return opened;
}

int InodeTable::where_of(const Inode& inode, Where& w) {
    int err = 0;
    if (inode.directory()) {
        w.held = folder_fd(inode, err);
        w.fd = w.held ? w.held->get() : -1;
        return err;
    }
    std::shared_ptr<Inode> parent;
    {
        std::lock_guard lock(mutex_);
        if (inode.anchor) {  // its last name gone while it was open
            w.held = std::make_shared<const UniqueFd>(::fcntl(inode.anchor.get(), F_DUPFD_CLOEXEC, 0));
            w.fd = w.held->get();
            return w.fd >= 0 ? 0 : errno;
        }
        if (!inode.parent || inode.name.empty()) return ENOENT;
        parent = inode.parent;
        w.name = inode.name;
    }
    w.held = folder_fd(*parent, err);
    w.fd = w.held ? w.held->get() : -1;
    return err;
}

int InodeTable::stat_inode(const Inode& inode, struct stat& st) {
    Where w;
    if (const int err = where_of(inode, w); err != 0) return err;
    if (::fstatat(w.fd, w.at(), &st, w.empty_flag() | AT_SYMLINK_NOFOLLOW) != 0) return errno;
    return st.st_dev == inode.dev && st.st_ino == inode.ino ? 0 : ESTALE;
}

int InodeTable::open_inode(const Inode& inode, int flags, UniqueFd& fd) {
    Where w;
    if (const int err = where_of(inode, w); err != 0) return err;
    fd = w.name.empty() ? open_content(AT_FDCWD, w.path().c_str(), flags) : open_content(w.fd, w.at(), flags | O_NOFOLLOW);
    if (!fd) return errno;
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) return errno;
    return st.st_dev == inode.dev && st.st_ino == inode.ino ? 0 : ESTALE;
}

Inode* InodeTable::remember(Inode& parent, const char* name, const struct stat& st) {
    const Key key{st.st_dev, st.st_ino};
    if (key == Key{root_->dev, root_->ino}) return root_.get();
    const mode_t type = st.st_mode & S_IFMT;
    std::lock_guard lock(mutex_);
    const auto it = inodes_.find(key);
    if (it != inodes_.end() && it->second->type == type) {
        Inode& known = *it->second;
        if (known.parent.get() != &parent || known.name != name) {
            known.parent = parent.shared_from_this();
            known.name = name;
        }
        ++known.lookups;
        return &known;
    }
    if (it != inodes_.end()) inodes_.erase(it);  // its number now names another file
    auto inode = std::make_shared<Inode>();
    inode->parent = parent.shared_from_this();
    inode->name = name;
    inode->dev = st.st_dev;
    inode->ino = st.st_ino;
    inode->type = type;
    inode->lookups = 1;
    inode->self = inode;
    inode->recent = recent_folders_.end();
    inodes_.emplace(key, inode.get());
    return inode.get();
}

void InodeTable::forget(Inode& inode, std::uint64_t count) {
    if (&inode == root_.get()) return;
    std::shared_ptr<Inode> last;  // let go of outside the lock
    std::lock_guard lock(mutex_);
    if (inode.lookups > count) {
        inode.lookups -= count;
        return;
    }
    inode.lookups = 0;
    unlist(inode);
    uncache(inode);
    last = std::move(inode.self);
}

std::shared_ptr<Inode> InodeTable::named(Inode& parent, int dir, const char* name, nlink_t& links) {
    struct stat st{};
    if (::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
    links = st.st_nlink;
    std::lock_guard lock(mutex_);
    const auto it = inodes_.find({st.st_dev, st.st_ino});
    if (it == inodes_.end()) return nullptr;
    Inode& inode = *it->second;
    if (inode.parent.get() != &parent || inode.name != name) return nullptr;
    return inode.shared_from_this();
}

UniqueFd InodeTable::anchor_of(const std::shared_ptr<Inode>& inode, int dir, const char* name, nlink_t links) {
    if (!inode || (!inode->directory() && links > 1)) return UniqueFd();
    UniqueFd fd(::openat(dir, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat st{};
    if (!fd || ::fstat(fd.get(), &st) != 0 || st.st_dev != inode->dev || st.st_ino != inode->ino) return UniqueFd();
    return fd;
}

// After the entry through which `inode` was reached is gone (the caller holds the mutex). A file
// that had no other name is gone for good: it is reached through `anchor` while it is open, and
// no longer listed, as its number may soon name a new file; one with other names is found again
// by its next lookup. A folder's anchor is its descriptor from now on.
void InodeTable::lose_name(Inode& inode, nlink_t links, UniqueFd anchor) {
    inode.parent.reset();
    inode.name.clear();
    if (links <= 1 || inode.directory()) unlist(inode);
    if (inode.directory()) {
        uncache(inode);
        if (anchor) inode.folder = std::make_shared<const UniqueFd>(std::move(anchor));
    } else if (!inode.anchor) {
        inode.anchor = std::move(anchor);
    }
}

void InodeTable::removed(const std::shared_ptr<Inode>& inode, Inode& parent, const char* name, nlink_t links,
                         UniqueFd anchor) {
    if (!inode) return;
    std::lock_guard lock(mutex_);
    if (inode->parent.get() == &parent && inode->name == name) lose_name(*inode, links, std::move(anchor));
}

void InodeTable::renamed(const std::shared_ptr<Inode>& moving, Inode& from, const char* name,
                         const std::shared_ptr<Inode>& replaced, nlink_t replaced_links, Inode& to,
                         const char* new_name, unsigned flags, UniqueFd anchor) {
    std::lock_guard lock(mutex_);
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
            lose_name(*replaced, replaced->directory() ? 0 : replaced_links, std::move(anchor));
        }
    }
    if (move) {
        moving->parent = to.shared_from_this();
        moving->name = new_name;
    }
}

}  // namespace zcf::linux_platform
