// platform/sim: the simulated platform's process, stream and error calls, and the Platform
// instance of the Linux build. POSIX calls are allowed here and only under platform/sim.
#include "platform/platform.h"
#include "platform/sim/error_texts.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zcf::sim {

namespace {

thread_local std::uint32_t LAST_ERROR = 0;

class SimPlatform final : public Platform {
public:
    void initialize_process() override {
        // A parent that closed its end makes writes fail instead of killing the process.
        std::signal(SIGPIPE, SIG_IGN);
#ifdef F_SETPIPE_SZ
        // Large requests arrive faster through a larger pipe; refusal is harmless.
        ::fcntl(STDIN_FILENO, F_SETPIPE_SZ, 1 << 20);
#endif
    }
    std::uint32_t process_id() override { return static_cast<std::uint32_t>(::getpid()); }
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

    std::uint32_t last_error() override { return LAST_ERROR; }
    ErrorInfoPtr take_error_info() override { return nullptr; }
    std::u16string system_message(Hresult code) override { return system_message_text(code); }

    Handle create_file(const char16_t*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) override {
        LAST_ERROR = 50;
        return INVALID_HANDLE;
    }
    bool close_handle(Handle) override {
        LAST_ERROR = 6;
        return false;
    }
    std::uint32_t file_attributes(const char16_t*) override {
        LAST_ERROR = 50;
        return INVALID_FILE_ATTRIBUTES_WORD;
    }
    Handle find_first(const char16_t*, FindData*) override { return INVALID_HANDLE; }
    bool find_next(Handle, FindData*) override { return false; }
    void find_close(Handle) override {}
    char16_t path_separator() override { return u'/'; }

    PlatformStatus register_sync_root(const SyncRootRegistration&) override { return {hr::E_NOTIMPL_CODE, nullptr}; }
    PlatformStatus unregister_sync_root(const char16_t*) override { return {hr::E_NOTIMPL_CODE, nullptr}; }

    Hresult connect_sync_root(const char16_t*, const CallbackRegistration*, const void*, std::uint32_t,
                              ConnectionKey*) override { return hr::E_NOTIMPL_CODE; }
    Hresult disconnect_sync_root(ConnectionKey) override { return hr::E_NOTIMPL_CODE; }
    Hresult create_placeholders(const char16_t*, PlaceholderCreateInfo*, std::uint32_t, std::uint32_t,
                                std::uint32_t*) override { return hr::E_NOTIMPL_CODE; }
    Hresult set_pin_state(Handle, std::uint32_t, std::uint32_t) override { return hr::E_NOTIMPL_CODE; }
    Hresult dehydrate_placeholder(Handle, std::int64_t, std::int64_t, std::uint32_t) override { return hr::E_NOTIMPL_CODE; }
    Hresult get_placeholder_info(Handle, std::uint32_t, void*, std::uint32_t, std::uint32_t*) override {
        return hr::E_NOTIMPL_CODE;
    }
    Hresult open_file_with_oplock(const char16_t*, std::uint32_t, Handle*) override { return hr::E_NOTIMPL_CODE; }
    bool reference_protected_handle(Handle) override { return false; }
    void release_protected_handle(Handle) override {}
    Handle win32_handle_from_protected(Handle) override { return INVALID_HANDLE; }
    void close_protected_handle(Handle) override {}
    Hresult convert_to_placeholder(Handle, const void*, std::uint32_t, std::uint32_t, std::int64_t*) override {
        return hr::E_NOTIMPL_CODE;
    }
    Hresult update_placeholder(Handle, const FsMetadata*, const void*, std::uint32_t, const FileRange*,
                               std::uint32_t, std::uint32_t, std::int64_t*) override { return hr::E_NOTIMPL_CODE; }
    Hresult execute(const OperationInfo*, OperationParameters*) override { return hr::E_NOTIMPL_CODE; }
    Hresult hydrate_placeholder(Handle, std::int64_t, std::int64_t, std::uint32_t) override { return hr::E_NOTIMPL_CODE; }
};

}  // namespace

}  // namespace zcf::sim

namespace zcf {

Platform& native_platform() {
    // Never destroyed: callback threads may still use it while the process exits.
    static Platform* const SIM = new sim::SimPlatform();
    return *SIM;
}

}  // namespace zcf
