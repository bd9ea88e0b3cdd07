// platform/windows: standard input and output of the Windows build, read and written with
// ReadFile and WriteFile on the process's standard handles. Win32 calls are allowed here and only
// under platform/windows.
#include "platform/streams.h"

#include <windows.h>

namespace zcf::windows {

namespace {

constexpr DWORD MAX_IO = 0x40000000u;

class WindowsStreams final : public Streams {
public:
    std::ptrdiff_t read_input(char* buffer, std::size_t capacity) override {
        DWORD got = 0;
        const DWORD want = capacity > MAX_IO ? MAX_IO : static_cast<DWORD>(capacity);
        if (!ReadFile(input_, buffer, want, &got, nullptr)) {
            // A closed pipe is the end of input, not an error.
            return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
        }
        return static_cast<std::ptrdiff_t>(got);
    }

    bool write_output(const char* data, std::size_t size) override {
        while (size > 0) {
            DWORD written = 0;
            const DWORD chunk = size > MAX_IO ? MAX_IO : static_cast<DWORD>(size);
            if (!WriteFile(output_, data, chunk, &written, nullptr) || written == 0) return false;
            data += written;
            size -= written;
        }
        return true;
    }

private:
    HANDLE input_ = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE output_ = GetStdHandle(STD_OUTPUT_HANDLE);
};

}  // namespace

}  // namespace zcf::windows

namespace zcf {

Streams& native_streams() {
    static Streams* const STANDARD = new windows::WindowsStreams();
    return *STANDARD;
}

}  // namespace zcf
