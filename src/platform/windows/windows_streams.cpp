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
        const DWORD want = capacity > MAX_IO ? MAX_IO : static_cast<DWORD>(capacity);
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(input_, buffer, want, &got, nullptr)) {
                // A closed pipe is the end of input, not an error.
                return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
            }
            if (got > 0 || !writer_remains()) return static_cast<std::ptrdiff_t>(got);
            // A parent that wrote an empty buffer: nothing has ended, wait for what comes next.
        }
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
    // After a read of 0 bytes: whether input may still come. A file or console is at its end. A
    // pipe hands a 0-byte read to its reader for each empty write; it has ended only when its
    // writing end is closed, which PeekNamedPipe reports as ERROR_BROKEN_PIPE. A pipe that
    // PeekNamedPipe cannot examine (Wine's view of a host pipe, which carries no empty writes and
    // reads 0 bytes at its end) is at its end too.
    bool writer_remains() const {
        if (GetFileType(input_) != FILE_TYPE_PIPE) return false;
        DWORD available = 0;
        return PeekNamedPipe(input_, nullptr, 0, nullptr, &available, nullptr) != 0;
    }

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
