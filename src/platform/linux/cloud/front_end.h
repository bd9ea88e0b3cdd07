// platform/linux/cloud: what the engine asks of a front end, and what it tells one. A front end is
// a file system over a connected root that every program's file operations go through (the FUSE
// mount); the platform is handed one when it is made, and "connect" mounts it. The engine never
// calls the front end otherwise: it publishes the changes it makes to files to the observers
// front ends register, so that what a kernel caches of them goes. POSIX calls are allowed here
// and only under platform/linux.
#pragma once

#include <memory>
#include <string>
#include <sys/stat.h>

namespace zcf::linux_platform {

// One root mounted by a front end.
class MountedRoot {
public:
    virtual ~MountedRoot() = default;
    // Detaches the mount, lazily when files on it are in use: what they do then ends with their
    // last close (reads of missing content fail).
    virtual void unmount() = 0;
};

class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // Whether a mount can be tried on this machine at all.
    virtual bool usable() = 0;
    // Mounts over the canonical sync root `root`; nullptr when the mount is refused (the root stays
    // as it is, and the platform works on the raw files).
    virtual std::unique_ptr<MountedRoot> mount(const std::string& root) = 0;
    // Removes a mount a program that ended left on `path` (every access fails with ENOTCONN). True
    // when there was one and it is gone.
    virtual bool recover_stale(const std::string& path) = 0;
};

// Told of each change the engine makes to a file (`st`: its stat before the change): its
// attributes, and with `content` its content too.
class ChangeObserver {
public:
    virtual ~ChangeObserver() = default;
    virtual void file_changed(const struct stat& st, bool content) = 0;
};

// Observers are registered for the life of the process.
void add_change_observer(ChangeObserver* observer);
void publish_change(const struct stat& st, bool content);

}  // namespace zcf::linux_platform
