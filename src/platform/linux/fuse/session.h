// platform/linux/fuse: one mounted root: its inode table, its libfuse session and what the
// operations keep between requests. POSIX and libfuse calls are allowed here and only under
// platform/linux.
#pragma once

#define FUSE_USE_VERSION 314

#include "platform/linux/fuse/inodes.h"

#include <fuse_lowlevel.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <unordered_map>

namespace zcf::linux_platform {

struct FuseMount {
    std::string root;
    UniqueFd root_fd;  // opened before the mount: reaches the files beneath it
    std::unique_ptr<InodeTable> table;
    fuse_session* session = nullptr;
    std::atomic<bool> detached{false};  // by a disconnect (not by the end of the process)
    std::once_flag read_ahead;          // widened once the kernel has taken the mount's INIT
    // Threads that looked at files (not folders) lately, and when: their listings carry
    // attributes (operations.cpp).
    std::mutex mutex;
    std::unordered_map<pid_t, std::chrono::steady_clock::time_point> examiners;

    ~FuseMount() {
        table.reset();  // what the kernel did not forget goes first
        if (session != nullptr) fuse_session_destroy(session);
    }
};

// The operations of every mount (their requests' user data is the FuseMount).
const fuse_lowlevel_ops& fuse_operations();

}  // namespace zcf::linux_platform
