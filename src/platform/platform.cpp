// Selection of the process-wide platform: the build's own, or one a test installed.
#include "platform/platform.h"

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

}  // namespace zcf
