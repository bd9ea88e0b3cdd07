// platform/linux/watch: the directory watcher behind "connect" with "watch", on inotify. Every directory of the tree
// has a watch of its own (a directory that appears is watched at once, and what was made in it
// before its watch took hold is reported from a listing); inotify's events become the records
// ReadDirectoryChangesW would give: moves within the tree as an old name directly followed by the
// new one (paired by cookie), moves out as removals, moves in as additions. Entries under
// construction by create placeholders (".zcf-create-...") are not reported until they get their
// name, which reports them as added. POSIX calls are allowed here and only under platform/linux.
#include "platform/watch.h"

#include "platform/linux/cloud/engine.h"
#include "platform/linux/base/files.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zcf::linux_platform {

namespace {

// Notes of renames onto placeholders (note_replaced), by the target's canonical path.
struct Replacements {
    std::mutex mutex;
    std::unordered_map<std::string, std::pair<std::string, std::chrono::steady_clock::time_point>> notes;
};
Replacements& replacements() {
    static auto* const R = new Replacements();
    return *R;
}
constexpr auto REPLACEMENT_MEMORY = std::chrono::seconds(10);

}  // namespace

void note_replaced(const std::string& path, std::string identity) {
    Replacements& r = replacements();
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(r.mutex);
    if (r.notes.size() >= 256)
        std::erase_if(r.notes, [&](const auto& n) { return now - n.second.second > REPLACEMENT_MEMORY; });
    r.notes[path] = {std::move(identity), now};
}

void forget_replaced(const std::string& path) {
    Replacements& r = replacements();
    std::lock_guard lock(r.mutex);
    r.notes.erase(path);
}

std::optional<std::string> take_replaced(const std::string& path) {
    Replacements& r = replacements();
    std::lock_guard lock(r.mutex);
    const auto it = r.notes.find(path);
    if (it == r.notes.end()) return std::nullopt;
    auto note = std::move(it->second);
    r.notes.erase(it);
    if (std::chrono::steady_clock::now() - note.second > REPLACEMENT_MEMORY) return std::nullopt;
    return std::move(note.first);
}

namespace {

constexpr std::uint32_t WATCH_MASK = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY | IN_ATTRIB |
                                     IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK;
// How long the first half of a move, read alone, waits for its second half before it counts as a
// move out of the tree. inotify queues the two halves together, so this is rarely waited.
constexpr int MOVE_PAIR_WAIT_MS = 10;

std::string join(const std::string& folder, std::string_view name) {
    if (folder.empty()) return std::string(name);
    std::string path = folder;
    path += '/';
    path += name;
    return path;
}

// The name inotify gives a file made unnamed (O_TMPFILE), "#<inode>", while it has no name yet:
// create placeholders sets its metadata then. No such entry exists.
bool unnamed_file(std::string_view entry, const std::string& path) {
    if (entry.size() < 2 || entry[0] != '#' || entry.find_first_not_of("0123456789", 1) != std::string_view::npos)
        return false;
    struct stat st{};
    return ::lstat(backing(path).c_str(), &st) != 0 && errno == ENOENT;
}

// An attribute change that was only the platform's moment of owner read access to a guarded
// file (base/files.h): nothing changed.
bool owner_read_moment(std::uint32_t mask, const std::string& path) {
    return (mask & IN_MODIFY) == 0 && only_owner_read_since(backing(path));
}

bool within(const std::string& path, const std::string& folder) {
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

class InotifyWatch final : public DirectoryWatch {
public:
    InotifyWatch(std::string root, ChangeSink& sink, std::size_t queue_limit)
        : root_(std::move(root)), sink_(sink), queue_limit_(queue_limit) {}

    ~InotifyWatch() override {
        if (thread_.joinable()) {
            const std::uint64_t one = 1;
            (void)!::write(stop_.get(), &one, sizeof one);
            thread_.join();
        }
    }

    // 0, or the errno that kept the watch from starting.
    int start() {
        inotify_ = UniqueFd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
        if (!inotify_) return errno;
        stop_ = UniqueFd(::eventfd(0, EFD_CLOEXEC));
        if (!stop_) return errno;
        if (::inotify_add_watch(inotify_.get(), backing(root_).c_str(), WATCH_MASK) < 0) return errno;
        watch_tree();
        overflowed_ = false;  // a tree with more folders than watches: the parent scans it anyway
        thread_ = std::thread([this] { run(); });
        return 0;
    }

private:
    struct Move {
        std::uint32_t cookie = 0;
        std::string name;
        bool directory = false;
    };

    void run() {
        pollfd fds[2] = {{inotify_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        for (;;) {
            const int ready = ::poll(fds, 2, moving_ ? MOVE_PAIR_WAIT_MS : -1);
            if (ready < 0 && errno != EINTR) return;
            if (fds[1].revents != 0) return;
            if (ready == 0) {
                moved_out();
            } else if (ready > 0) {
                read_available();
                // Every event queued before the listings of this round has been read now.
                listed_.clear();
            }
            if (overflowed_) {
                overflowed_ = false;
                batch_.clear();
                moving_.reset();
                sink_.on_overflow();
                watch_tree();
            } else if (!batch_.empty()) {
                sink_.on_changes(std::exchange(batch_, {}));
            }
        }
    }

    void read_available() {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const ssize_t got = ::read(inotify_.get(), buffer, sizeof buffer);
            if (got <= 0) return;  // EAGAIN: all read
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                handle(*event);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
    }

    void handle(const inotify_event& event) {
        if ((event.mask & IN_Q_OVERFLOW) != 0) {
            overflowed_ = true;
            return;
        }
        if ((event.mask & IN_IGNORED) != 0) {
            folders_.erase(event.wd);
            return;
        }
        // Events of a watched directory about itself are reported by its parent's watch.
        if (event.len == 0 || event.name[0] == '\0') return;
        const auto folder = folders_.find(event.wd);
        if (folder == folders_.end()) return;
        const std::string_view entry(event.name);
        const std::string name = join(folder->second, entry);
        const bool directory = (event.mask & IN_ISDIR) != 0;

        if ((event.mask & IN_MOVED_TO) != 0 && moving_ && moving_->cookie == event.cookie) {
            if (is_creation_entry(entry)) {  // a name given up for one under construction: gone
                moved_out();
                return;
            }
            record(change_action::RENAMED_OLD_NAME, moving_->name, moving_->directory);
            record(change_action::RENAMED_NEW_NAME, name, directory);
            if (!batch_.empty() && batch_.back().action == change_action::RENAMED_NEW_NAME)
                batch_.back().replaced_identity = take_replaced(join(root_, name));
            if (directory) rename_folders(moving_->name, name);
            moving_.reset();
            return;
        }
        moved_out();
        // A first sight of an entry that a listing of its new directory already reported.
        if ((event.mask & (IN_CREATE | IN_MOVED_TO)) != 0 && listed_.erase({event.wd, std::string(entry)}) > 0) return;
        if (is_creation_entry(entry)) return;  // not there yet for anyone

        if ((event.mask & IN_CREATE) != 0) {
            record(change_action::ADDED, name, directory);
            if (directory) watch_new_folder(name);
        } else if ((event.mask & IN_MOVED_TO) != 0) {
            // Moved in, or given its name after construction. What it holds came with it.
            record(change_action::ADDED, name, directory);
            if (directory) watch_tree_below(name);
        } else if ((event.mask & IN_MOVED_FROM) != 0) {
            moving_ = Move{event.cookie, name, directory};
        } else if ((event.mask & IN_DELETE) != 0) {
            record(change_action::REMOVED, name, directory);
        } else if ((event.mask & (IN_MODIFY | IN_ATTRIB)) != 0 && !unnamed_file(entry, join(root_, name)) &&
                   !owner_read_moment(event.mask, join(root_, name))) {
            record(change_action::MODIFIED, name, directory);
        }
    }

    // The first half of a move whose second half did not come: the entry left the tree.
    void moved_out() {
        if (!moving_) return;
        record(change_action::REMOVED, moving_->name, moving_->directory);
        if (moving_->directory) unwatch_below(moving_->name);
        moving_.reset();
    }

    void record(std::uint32_t action, const std::string& name, bool directory) {
        if (overflowed_) return;
        if (batch_.size() >= queue_limit_) {
            overflowed_ = true;  // what was gathered goes; the parent reads the tree again
            return;
        }
        batch_.push_back(ChangeRecord{action, wide_from_utf8(name),
                                      directory ? attr::DIRECTORY : INVALID_FILE_ATTRIBUTES_WORD, std::nullopt});
    }

    int add_watch(const std::string& name) {
        const int wd = ::inotify_add_watch(inotify_.get(), backing(join(root_, name)).c_str(), WATCH_MASK);
        if (wd >= 0) folders_[wd] = name;
        else if (errno == ENOSPC) overflowed_ = true;  // no watch left: the parent must look itself
        return wd;
    }

    // Watches `top` and every directory below it; with `report`, each entry found is reported as
    // added (and remembered, so that its own event, if it comes too, is not reported again).
    void watch_below(const std::string& top, bool report) {
        std::vector<std::string> stack{top};
        while (!stack.empty()) {
            const std::string folder = std::move(stack.back());
            stack.pop_back();
            const int wd = add_watch(folder);
            if (wd < 0) continue;
            UniqueDir dir(::opendir(backing(join(root_, folder)).c_str()));
            if (!dir) continue;
            while (const dirent* d = ::readdir(dir.get())) {
                const std::string_view entry(d->d_name);
                if (entry == "." || entry == ".." || is_creation_entry(entry)) continue;
                const std::string name = join(folder, entry);
                bool directory = d->d_type == DT_DIR;
                if (d->d_type == DT_UNKNOWN) {
                    struct stat st{};
                    directory = ::lstat(backing(join(root_, name)).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
                }
                if (report) {
                    record(change_action::ADDED, name, directory);
                    listed_.insert({wd, std::string(entry)});
                }
                if (directory) stack.push_back(name);
            }
        }
    }

    void watch_new_folder(const std::string& name) { watch_below(name, true); }
    void watch_tree_below(const std::string& name) { watch_below(name, false); }

    // The whole tree watched again, at the start and after an overflow: watches of directories
    // that are gone or moved are dropped, every directory there is has one under its current name.
    void watch_tree() {
        std::unordered_map<int, std::string> before = std::move(folders_);
        folders_.clear();
        watch_below(std::string(), false);
        for (const auto& [wd, name] : before)
            if (folders_.count(wd) == 0) ::inotify_rm_watch(inotify_.get(), wd);
        listed_.clear();
    }

    void rename_folders(const std::string& from, const std::string& to) {
        for (auto& [wd, name] : folders_)
            if (within(name, from)) name = to + name.substr(from.size());
    }

    void unwatch_below(const std::string& top) {
        for (auto it = folders_.begin(); it != folders_.end();) {
            if (within(it->second, top)) {
                ::inotify_rm_watch(inotify_.get(), it->first);
                it = folders_.erase(it);
            } else {
                ++it;
            }
        }
    }

    const std::string root_;
    ChangeSink& sink_;
    const std::size_t queue_limit_;
    UniqueFd inotify_;
    UniqueFd stop_;
    std::thread thread_;
    // Below: the watch's thread only (and start, before it runs).
    std::unordered_map<int, std::string> folders_;  // watch descriptor -> directory, relative ("" the root)
    std::set<std::pair<int, std::string>> listed_;  // entries reported from listings this round
    std::vector<ChangeRecord> batch_;
    std::optional<Move> moving_;
    bool overflowed_ = false;
};

class SimDirectoryWatcher final : public DirectoryWatcher {
public:
    Hresult watch(const char16_t* root, ChangeSink& sink, std::unique_ptr<DirectoryWatch>& watch,
                  WatchedRoot& names) override {
        std::string path;
        if (const std::uint32_t code = path_from_wide(root, path); code != 0) return hresult_from_win32(code);
        std::string canonical;
        if (const int err = canonical_path(path, canonical); err != 0)
            return hresult_from_win32(win32_from_path_errno(err, path));
        struct stat st{};
        if (::stat(backing(canonical).c_str(), &st) != 0) return hr_from_errno(errno);
        if (!S_ISDIR(st.st_mode)) return hresult_from_win32(win32::ERROR_DIRECTORY);
        const Settings settings = load_settings();
        auto started = std::make_unique<InotifyWatch>(canonical, sink, static_cast<std::size_t>(settings.watch_queue_limit));
        if (const int err = started->start(); err != 0) return hr_from_errno(err);
        watch = std::move(started);
        names.path = wide_from_utf8(canonical);
        names.event_path = names.path;
        return S_OK_CODE;
    }
};

}  // namespace

}  // namespace zcf::linux_platform

namespace zcf {

DirectoryWatcher& native_directory_watcher() {
    static linux_platform::SimDirectoryWatcher* const WATCHER = new linux_platform::SimDirectoryWatcher();
    return *WATCHER;
}

}  // namespace zcf
