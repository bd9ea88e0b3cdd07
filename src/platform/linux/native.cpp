// platform/linux: the Platform instance of the Linux build, made of its rooms: the Cloud Files
// rules (cloud/) handed the FUSE front end (fuse/) to mount over connected roots.
#include "platform/linux/cloud/linux_platform.h"
#include "platform/linux/fuse/front_end.h"

namespace zcf {

Platform& native_platform() {
    // Never destroyed: callback threads may still use them while the process exits.
    static auto* const FUSE = new linux_platform::FuseFrontEnd();
    static Platform* const LINUX = new linux_platform::LinuxPlatform(FUSE);
    return *LINUX;
}

}  // namespace zcf
