// platform/linux/fuse: the FUSE front end. While a provider is connected, a file system is mounted
// over the sync root itself, so that every program's file operations go through the engine's
// rules: content that is missing becomes a FETCH_DATA callback, and the reader waits for it. The
// state on disk (extended attributes, sparse content) stays the one source of truth; the mount
// only presents it. The front end uses the engine through cloud/engine.h alone, and is handed to
// the platform as its cloud/front_end.h. POSIX and libfuse calls are allowed here and only under
// platform/linux.
#pragma once

#include "platform/linux/cloud/front_end.h"

namespace zcf::linux_platform {

class FuseFrontEnd final : public FrontEnd, public ChangeObserver {
public:
    FuseFrontEnd();  // observes the engine's changes from now on

    bool usable() override;
    std::unique_ptr<MountedRoot> mount(const std::string& root) override;
    bool recover_stale(const std::string& path) override;

    // Drops what the kernel keeps of the file in every mounted root.
    void file_changed(const struct stat& st, bool content) override;
};

}  // namespace zcf::linux_platform
