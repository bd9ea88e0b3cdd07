// Selection of the process-wide platform, streams and directory watcher: the build's own, or one a test installed.
#include "platform/platform.h"
#include "platform/streams.h"
#include "platform/watch.h"

#include <atomic>

namespace zcf {

namespace {
std::atomic<Platform*> INSTALLED{nullptr};
}

Platform& platform() {
    Platform* installed = INSTALLED.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : native_platform();
}

void set_platform(Platform* replacement) { INSTALLED.store(replacement, std::memory_order_release); }

namespace {
std::atomic<Streams*> INSTALLED_STREAMS{nullptr};
}

Streams& streams() {
    Streams* installed = INSTALLED_STREAMS.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : native_streams();
}

void set_streams(Streams* replacement) { INSTALLED_STREAMS.store(replacement, std::memory_order_release); }

namespace {
std::atomic<DirectoryWatcher*> INSTALLED_WATCHER{nullptr};
}

DirectoryWatcher& directory_watcher() {
    DirectoryWatcher* installed = INSTALLED_WATCHER.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : native_directory_watcher();
}

void set_directory_watcher(DirectoryWatcher* replacement) {
    INSTALLED_WATCHER.store(replacement, std::memory_order_release);
}

}  // namespace zcf
