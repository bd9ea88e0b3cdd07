// platform/linux/fuse: the inodes of one mount, as the kernel knows them. A node number is the
// address of a record; every record but the root's names its file as an entry of its parent
// folder's record, so a tree of any size costs no descriptor per file, and the descriptors of the
// folders used lately are kept in a bounded cache. The front end never names a path through the
// mount: every call reaches the files beneath it, relative to these descriptors. POSIX calls are
// allowed here and only under platform/linux.
#pragma once

#include "platform/linux/cloud/engine.h"

#include <cstdint>
#include <fcntl.h>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unordered_map>

namespace zcf::linux_platform {

using FolderFd = std::shared_ptr<const UniqueFd>;

// A file the kernel knows. It lives while the kernel counts a lookup of it, and while a child
// names itself through it.
struct Inode : std::enable_shared_from_this<Inode> {
    std::shared_ptr<Inode> parent;  // the folder that holds it, and its name there; empty once
    std::string name;               // that name is gone
    UniqueFd anchor;                // once its last name went while the kernel knew it: O_PATH,
                                    // beneath the mount (what reaches it while it is open)
    dev_t dev = 0;
    ino_t ino = 0;
    mode_t type = 0;  // S_IFMT bits
    // Guarded by the table's mutex, as are parent, name and the anchor's setting:
    std::uint64_t lookups = 0;
    std::shared_ptr<Inode> self;  // holds the inode while lookups > 0
    FolderFd folder;              // a folder's descriptor (O_PATH), while cached; the root's always
    std::list<std::weak_ptr<Inode>>::iterator recent;  // its place among the cached, when cached

    bool directory() const { return S_ISDIR(type); }
};

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

class InodeTable {
public:
    // `root` reaches the root folder beneath the mount (whose stat is `st`).
    InodeTable(UniqueFd root, const struct stat& st);
    ~InodeTable();
    InodeTable(const InodeTable&) = delete;
    InodeTable& operator=(const InodeTable&) = delete;

    // Node numbers: the root is ROOT_NUMBER (the kernel's FUSE_ROOT_ID), every other inode its
    // record's address.
    static constexpr std::uint64_t ROOT_NUMBER = 1;
    Inode& inode(std::uint64_t number);
    std::uint64_t number(const Inode& inode) const;
    // The number of the inode of the file `st` (device and inode), if the kernel knows it.
    std::optional<std::uint64_t> number_of_file(const struct stat& st);

    // The descriptor of the folder `dir`: cached, or opened again name by name from the nearest
    // folder whose descriptor is, never following a link; ESTALE when the name now holds another
    // folder, ENOENT once it has no name.
    FolderFd folder_fd(const Inode& dir, int& err);
    // 0, or ENOENT once the file's name is gone and it is not open.
    int where_of(const Inode& inode, Where& w);
    // The stat of the inode's file; ESTALE when its name now holds another file.
    int stat_inode(const Inode& inode, struct stat& st);
    // Opens the inode's regular file with `flags`; ESTALE when its name now holds another file.
    int open_inode(const Inode& inode, int flags, UniqueFd& fd);

    // Finds or adds the inode of the entry `name` of `parent` (whose stat is `st`) and counts one
    // lookup. A file known under another name (a hard link, a name given beneath the mount) is
    // reached under this one from now on.
    Inode* remember(Inode& parent, const char* name, const struct stat& st);
    void forget(Inode& inode, std::uint64_t count);

    // The inode reached as the entry `name` of `parent` (through `dir`), and the file's link
    // count; nullptr when there is none.
    std::shared_ptr<Inode> named(Inode& parent, int dir, const char* name, nlink_t& links);
    // An O_PATH descriptor of that file if it is `inode`'s and this is its last name (a folder has
    // one): what reaches it after the name goes, while it is open.
    static UniqueFd anchor_of(const std::shared_ptr<Inode>& inode, int dir, const char* name, nlink_t links);
    // After the entry `name` of `parent` that reached `inode` was removed (a folder: links 0).
    void removed(const std::shared_ptr<Inode>& inode, Inode& parent, const char* name, nlink_t links,
                 UniqueFd anchor);
    // After a rename of `name` in `from` to `new_name` in `to` (renameat2 `flags`): the inodes
    // reached through the two names follow the files.
    void renamed(const std::shared_ptr<Inode>& moving, Inode& from, const char* name,
                 const std::shared_ptr<Inode>& replaced, nlink_t replaced_links, Inode& to, const char* new_name,
                 unsigned flags, UniqueFd anchor);

    Inode& root() { return *root_; }

private:
    void touch_folder(Inode& folder);
    void cache_folder(Inode& folder, FolderFd fd);
    void uncache(Inode& folder);
    void unlist(Inode& inode);
    void lose_name(Inode& inode, nlink_t links, UniqueFd anchor);

    struct Key {
        dev_t dev;
        ino_t ino;
        bool operator==(const Key& o) const { return dev == o.dev && ino == o.ino; }
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const { return std::hash<ino_t>()(k.ino) * 31 + std::hash<dev_t>()(k.dev); }
    };

    std::mutex mutex_;
    std::shared_ptr<Inode> root_;
    std::unordered_map<Key, Inode*, KeyHash> inodes_;  // the current inode of each file
    // The folders whose descriptors are cached, most recently used first (entries of folders gone
    // since are dropped when met), and how many descriptors that is.
    std::list<std::weak_ptr<Inode>> recent_folders_;
    std::size_t cached_folders_ = 0;
};

}  // namespace zcf::linux_platform
