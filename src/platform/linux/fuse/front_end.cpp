// platform/linux/fuse: the FUSE front end: sessions over connected roots, their loops, and
// unmounting at a disconnect or at the end of the process. POSIX and libfuse calls are allowed
// here and only under platform/linux.
#include "platform/linux/fuse/front_end.h"

#include "platform/linux/fuse/mount.h"
#include "platform/linux/fuse/session.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <thread>
#include <utility>
#include <vector>

namespace zcf::linux_platform {

namespace {

// Reads that wait for their content each hold a thread of the loop.
constexpr unsigned MAX_THREADS = 64;

// The roots mounted now (for the engine's changes and the unmount at exit).
struct Mounted {
    std::mutex mutex;
    std::vector<std::shared_ptr<FuseMount>> list;
};
Mounted& mounted() {
    static auto* const M = new Mounted();
    return *M;
}

// At the end of the process the mounts are detached; the session stays open to the end, so that
// a reply of a loop thread still at work goes to the device (libfuse would report a failed one on
// standard error, which belongs to the parent) and the kernel ends the connection at exit.
void unmount_all_at_exit() {
    std::vector<std::shared_ptr<FuseMount>> list;
    {
        std::lock_guard lock(mounted().mutex);
        list.swap(mounted().list);
    }
    for (const auto& m : list) {
        fuse_session_exit(m->session);
        detach(m->root);
    }
}

class Root final : public MountedRoot {
public:
    explicit Root(std::shared_ptr<FuseMount> mount) : mount_(std::move(mount)) {}
    ~Root() override { unmount(); }

    // Detached, busy or not (MNT_DETACH, or fusermount3 -z), without closing the session: the loop
    // goes on serving the files still open on it (their waiting reads end with EIO) until the last
    // is closed and the kernel ends the connection.
    void unmount() override {
        bool listed = false;
        {
            std::lock_guard lock(mounted().mutex);
            auto& list = mounted().list;
            const auto it = std::find(list.begin(), list.end(), mount_);
            listed = it != list.end();
            if (listed) list.erase(it);
        }
        if (!listed) return;
        mount_->detached = true;
        detach(mount_->root);
        remove_backing_root(mount_->root);
    }

private:
    std::shared_ptr<FuseMount> mount_;
};

}  // namespace

FuseFrontEnd::FuseFrontEnd() { add_change_observer(this); }

bool FuseFrontEnd::usable() { return fuse_usable(); }

bool FuseFrontEnd::recover_stale(const std::string& path) { return recover_stale_mount(path); }

std::unique_ptr<MountedRoot> FuseFrontEnd::mount(const std::string& root) {
    static const bool AT_EXIT = [] {
        prepare_process_for_mounts();
        return std::atexit(unmount_all_at_exit) == 0;
    }();
    (void)AT_EXIT;
    auto m = std::make_shared<FuseMount>();
    m->root = root;
    m->root_fd = UniqueFd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st{};
    if (!m->root_fd || ::fstat(m->root_fd.get(), &st) != 0) return nullptr;
    m->table = std::make_unique<InodeTable>(UniqueFd(::fcntl(m->root_fd.get(), F_DUPFD_CLOEXEC, 0)), st);

    std::string options = mount_options();
    std::vector<std::string> words = {"zembra_cloud_files", "-o", options};
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
    const fuse_lowlevel_ops& operations = fuse_operations();
    m->session = fuse_session_new(&args, &operations, sizeof operations, m.get());
    fuse_opt_free_args(&args);
    if (m->session == nullptr) return nullptr;
    // The platform's own calls avoid the mount from before it exists.
    add_backing_root(root, m->root_fd.get());
    if (fuse_session_mount(m->session, root.c_str()) != 0) {
        remove_backing_root(root);
        return nullptr;
    }
    {
        std::lock_guard lock(mounted().mutex);
        mounted().list.push_back(m);
    }
    // The loop keeps its mount alive until the kernel ends the connection: after the unmount, or
    // after the last file still open on a detached mount is closed.
    std::thread([m] {
        fuse_loop_config* config = fuse_loop_cfg_create();
        fuse_loop_cfg_set_max_threads(config, MAX_THREADS);
        fuse_session_loop_mt(m->session, config);
        fuse_loop_cfg_destroy(config);
        // After a disconnect the kernel has ended the connection: this only lets go of the device
        // and the session's mount record. At the end of the process that is the exit's work.
        if (m->detached) fuse_session_unmount(m->session);
    }).detach();
    return std::make_unique<Root>(m);
}

void FuseFrontEnd::file_changed(const struct stat& st, bool content) {
    std::vector<std::pair<std::shared_ptr<FuseMount>, fuse_ino_t>> found;
    {
        std::lock_guard lock(mounted().mutex);
        for (const auto& m : mounted().list)
            if (const auto number = m->table->number_of_file(st)) found.emplace_back(m, *number);
    }
    for (const auto& [m, ino] : found) fuse_lowlevel_notify_inval_inode(m->session, ino, content ? 0 : -1, 0);
}

}  // namespace zcf::linux_platform
