// platform/linux/cloud: the platform's process, stream and error calls, and the Platform instance
// of the Linux build. POSIX calls are allowed here and only under platform/linux.
#include "platform/linux/cloud/linux_platform.h"

#include "platform/linux/cloud/error_texts.h"
#include "platform/linux/cloud/front_end.h"
#include "platform/linux/registry/registry.h"
#include "platform/linux/cloud/engine.h"
#include "platform/linux/base/files.h"
#include "platform/streams.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace zcf::linux_platform {

void LinuxPlatform::initialize_process() {
    // A parent that closed its end makes writes fail instead of killing the process.
    std::signal(SIGPIPE, SIG_IGN);
#ifdef F_SETPIPE_SZ
    // Large requests arrive faster through a larger pipe; refusal is harmless.
    ::fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);
#endif
    // A front end left over a registered root by a program that ended (killed) answers nothing but
    // ENOTCONN: it goes before the first request, whatever that is. A live one, another
    // program's, answers and stays. (statfs always asks the file system; a stat may be answered
    // from the kernel's cache.)
    for (const auto& root : *load_sync_roots()) {
        struct statfs fs{};
        if (::statfs(root.path.c_str(), &fs) != 0 && errno == ENOTCONN && front_end_ != nullptr)
            front_end_->recover_stale(root.path);
    }
}

std::uint32_t LinuxPlatform::process_id() { return static_cast<std::uint32_t>(::getpid()); }

std::string_view LinuxPlatform::platform_name() { return "linux"; }

std::string_view LinuxPlatform::front_end() {
    // What the connected root got (a mount may have been refused), else what the next connect tries.
    if (const auto mounted = connected_root_mounted()) return *mounted ? "fuse" : "simulated";
    return load_settings().fuse && front_end_ != nullptr && front_end_->usable() ? "fuse" : "simulated";
}

namespace {

// Standard input and output as file descriptors 0 and 1.
class PosixStreams final : public Streams {
public:
    std::ptrdiff_t read_input(char* buffer, std::size_t capacity) override {
        for (;;) {
            const ssize_t n = ::read(STDIN_FILENO, buffer, capacity);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }

    bool write_output(const char* data, std::size_t size) override {
        while (size > 0) {
            const ssize_t n = ::write(STDOUT_FILENO, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return true;
    }
};

}  // namespace

std::uint32_t LinuxPlatform::last_error() { return get_last_error(); }

// The platform's failures carry no error-information objects; their texts are the system's.
ErrorInfoPtr LinuxPlatform::take_error_info() { return nullptr; }

std::u16string LinuxPlatform::system_message(Hresult code) { return system_message_text(code); }

char16_t LinuxPlatform::path_separator() { return u'/'; }

}  // namespace zcf::linux_platform

namespace zcf {

Streams& native_streams() {
    static Streams* const STANDARD = new linux_platform::PosixStreams();
    return *STANDARD;
}

}  // namespace zcf
