// platform/linux/fuse: mounting and unmounting. POSIX and libfuse calls are allowed here and only
// under platform/linux.
#define FUSE_USE_VERSION 314

#include "platform/linux/fuse/mount.h"

#include "platform/linux/base/files.h"

#include <fuse_lowlevel.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace zcf::linux_platform {

namespace {

// Whether `predicate` holds for a line of `text` (lines end with LF).
template <typename Predicate>
bool any_line(std::string_view text, Predicate predicate) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        if (predicate(text.substr(0, end))) return true;
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return false;
}

bool run_fusermount(const std::vector<std::string>& args) {
    const pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>("fusermount3"));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        ::execvp("fusermount3", argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// libfuse's messages would land in the parent's standard error; a refused mount is an answer of
// its own (connect works on without the front end).
void quiet_log(fuse_log_level, const char*, va_list) {}

}  // namespace

bool fuse_usable() {
    const UniqueFd fd(::open("/dev/fuse", O_RDWR | O_CLOEXEC));
    if (!fd) return false;
    if (::geteuid() == 0) return true;
    const char* path = std::getenv("PATH");
    std::string_view dirs = path != nullptr ? path : "/usr/bin:/bin";
    while (!dirs.empty()) {
        const auto colon = dirs.find(':');
        const std::string dir(dirs.substr(0, colon));
        dirs = colon == std::string_view::npos ? std::string_view() : dirs.substr(colon + 1);
        if (!dir.empty() && ::access((dir + "/fusermount3").c_str(), X_OK) == 0) return true;
    }
    return false;
}

std::string mount_options() {
    std::string options = "fsname=zembra_cloud_files,subtype=zembra_cloud_files,default_permissions";
    bool others = ::geteuid() == 0;
    if (!others) {
        const auto conf = read_file("/etc/fuse.conf");
        others = conf && any_line(*conf, [](std::string_view line) {
            while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.remove_suffix(1);
            return line == "user_allow_other";
        });
    }
    return others ? options + ",allow_other" : options;
}

bool detach(const std::string& path) {
    if (::geteuid() == 0) return ::umount2(path.c_str(), MNT_DETACH) == 0;
    return run_fusermount({"-u", "-z", "-q", path});
}

// The device is mountinfo's field 3, the mount point field 5, the type follows " - ".
std::optional<std::string> front_end_device(const std::string& path) {
    std::optional<std::string> device;
    const auto info = read_file("/proc/self/mountinfo");
    if (!info) return device;
    any_line(*info, [&](std::string_view line) {
        const auto dash = line.find(" - ");
        if (dash == std::string_view::npos || line.substr(dash + 3, 24) != "fuse.zembra_cloud_files ") return false;
        std::vector<std::string_view> fields;
        for (std::size_t at = 0; at < dash && fields.size() < 5;) {
            const std::size_t next = std::min(line.find(' ', at), dash);
            fields.push_back(line.substr(at, next - at));
            at = next + 1;
        }
        if (fields.size() < 5) return false;
        std::string mount_point;  // spaces and the like are written as \ooo
        for (std::size_t i = 0; i < fields[4].size(); ++i) {
            if (fields[4][i] == '\\' && i + 3 < fields[4].size()) {
                mount_point += static_cast<char>(std::strtol(std::string(fields[4].substr(i + 1, 3)).c_str(), nullptr, 8));
                i += 3;
            } else {
                mount_point += fields[4][i];
            }
        }
        if (mount_point == path) device = std::string(fields[2]);
        return false;  // the last one counts
    });
    return device;
}

// The kernel reads ahead through the mount in windows of its default size (128 KiB), one request
// each; 1 MiB windows (the largest request) make far fewer round trips of a sequential read.
void widen_read_ahead(const std::string& root) {
    const auto device = front_end_device(root);
    if (!device) return;
    const UniqueFd fd(::open(("/sys/class/bdi/" + *device + "/read_ahead_kb").c_str(), O_WRONLY | O_CLOEXEC));
    if (fd) (void)!::write(fd.get(), "1024", 4);
}

bool recover_stale_mount(const std::string& path) {
    bool recovered = false;
    for (int attempt = 0; attempt < 8 && front_end_device(path); ++attempt) {
        if (!detach(path)) break;
        recovered = true;
    }
    return recovered;
}

void prepare_process_for_mounts() {
    static const bool PREPARED = [] {
        fuse_set_log_func(quiet_log);
        // A descriptor per open file and per cached folder: the soft limit (often 1024) goes up
        // to the hard one.
        rlimit files{};
        if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
            files.rlim_cur = files.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &files);
        }
        return true;
    }();
    (void)PREPARED;
}

}  // namespace zcf::linux_platform

// libfuse reports some failures of its own with perror ("fuse: writing device", "fuse: splice from
// pipe": a reply to a request the kernel dropped meanwhile, a reader that was killed); standard
// error belongs to the parent, and the program writes nothing there. This definition takes the
// place of the C library's for the whole process, which itself never calls it.
extern "C" void perror(const char*) {}
