// The built program as a Windows process, started next to this test's own executable: the
// manifest embedded in it, and how it reads standard input from a pipe whose writer sends an empty
// buffer and from a file.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

constexpr DWORD DEADLINE_MS = 20000;

std::wstring program_path() {
    wchar_t self[4096];
    const DWORD length = GetModuleFileNameW(nullptr, self, 4096);
    std::wstring path(self, length);
    path.erase(path.find_last_of(L'\\'));  // build/windows/tests
    path.erase(path.find_last_of(L'\\'));  // build/windows
    return path + L"\\zembra_cloud_files.exe";
}

bool write_all(HANDLE to, const std::string& text) {
    DWORD written = 0;
    return WriteFile(to, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
}

// The program with the given standard input (inheritable) and a pipe for its output.
class Child {
public:
    explicit Child(HANDLE input) {
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE output_write = nullptr;
        EXPECT_TRUE(CreatePipe(&output_, &output_write, &inherit, 1 << 16));
        SetHandleInformation(output_, HANDLE_FLAG_INHERIT, 0);
        const HANDLE null_device =
            CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = input;
        startup.hStdOutput = output_write;
        startup.hStdError = null_device;
        std::wstring command = L"\"" + program_path() + L"\"";
        PROCESS_INFORMATION started{};
        EXPECT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                                   &started))
            << GetLastError();
        process_ = started.hProcess;
        if (started.hThread != nullptr) CloseHandle(started.hThread);
        CloseHandle(output_write);
        CloseHandle(null_device);
    }
    ~Child() {
        if (process_ != nullptr) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) TerminateProcess(process_, 99);
            CloseHandle(process_);
        }
        CloseHandle(output_);
    }

    // The next output line without its LF; nullopt at the end of output or after the deadline.
    std::optional<std::string> line() {
        const ULONGLONG give_up = GetTickCount64() + DEADLINE_MS;
        for (;;) {
            if (const std::size_t lf = pending_.find('\n'); lf != std::string::npos) {
                std::string text = pending_.substr(0, lf);
                pending_.erase(0, lf + 1);
                return text;
            }
            DWORD available = 0;
            if (!PeekNamedPipe(output_, nullptr, 0, nullptr, &available, nullptr)) return std::nullopt;
            if (available == 0) {
                if (GetTickCount64() > give_up) return std::nullopt;
                Sleep(5);
                continue;
            }
            char buffer[4096];
            DWORD got = 0;
            if (!ReadFile(output_, buffer, sizeof buffer, &got, nullptr)) return std::nullopt;
            pending_.append(buffer, got);
        }
    }

    // The exit code once the program has ended; STILL_ACTIVE when it did not end in time.
    DWORD exit_code() {
        if (WaitForSingleObject(process_, DEADLINE_MS) != WAIT_OBJECT_0) return STILL_ACTIVE;
        DWORD code = STILL_ACTIVE;
        GetExitCodeProcess(process_, &code);
        return code;
    }

private:
    HANDLE process_ = nullptr;
    HANDLE output_ = nullptr;
    std::string pending_;
};

bool is_ready_event(const std::optional<std::string>& line) {
    return line && line->rfind(R"({"event":"ready","pid":)", 0) == 0;
}

std::string answer_to_nothing(int seq) {
    return R"({"ok":true,"result":{"unknown":"nothing"},"seq":)" + std::to_string(seq) + "}";
}

TEST(Program, EmbedsAManifestForLongPathsOnWindows10) {
    const HMODULE image = LoadLibraryExW(program_path().c_str(), nullptr,
                                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(image, nullptr) << GetLastError();
    // Id 1 is the manifest the loader builds the process's activation context from.
    const HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(found, nullptr) << "no RT_MANIFEST resource with id 1";
    const HGLOBAL loaded = LoadResource(image, found);
    const std::string manifest(static_cast<const char*>(LockResource(loaded)), SizeofResource(image, found));
    FreeLibrary(image);
    EXPECT_NE(manifest.find(R"(<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"/>)"), std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find(R"(<windowsSettings xmlns:ws2016="http://schemas.microsoft.com/SMI/2016/WindowsSettings">)"),
              std::string::npos)
        << manifest;
    EXPECT_NE(manifest.find("<ws2016:longPathAware>true</ws2016:longPathAware>"), std::string::npos) << manifest;
}

TEST(Program, AnEmptyWriteOnItsInputPipeIsNotTheEndOfInput) {
    // A message-mode pipe hands each empty write to the reader as a read of 0 bytes (Wine's
    // anonymous pipes drop empty writes, so they cannot show it).
    const std::wstring name = L"\\\\.\\pipe\\zcf-program-test-" + std::to_wstring(GetCurrentProcessId());
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE input = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_INBOUND,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 1 << 16, 1 << 16, 0,
                                          &inherit);
    ASSERT_NE(input, INVALID_HANDLE_VALUE);
    const HANDLE writer = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    ConnectNamedPipe(input, nullptr);
    {
        // The pipe itself: an empty write reads as 0 bytes, or this test shows nothing.
        ASSERT_TRUE(write_all(writer, ""));
        char buffer[16];
        DWORD got = 1;
        ASSERT_TRUE(ReadFile(input, buffer, sizeof buffer, &got, nullptr));
        ASSERT_EQ(got, 0u);
    }

    Child child(input);
    CloseHandle(input);
    ASSERT_TRUE(is_ready_event(child.line()));
    ASSERT_TRUE(write_all(writer, R"({"cmd":"nothing","seq":1})" "\n"));
    EXPECT_EQ(child.line(), answer_to_nothing(1));
    ASSERT_TRUE(write_all(writer, ""));
    ASSERT_TRUE(write_all(writer, R"({"cmd":"nothing","seq":2})" "\n"));
    EXPECT_EQ(child.line(), answer_to_nothing(2)) << "the empty write ended the input";
    // Closing the writing end is the end of input.
    CloseHandle(writer);
    EXPECT_EQ(child.line(), std::nullopt);
    EXPECT_EQ(child.exit_code(), 0u);
}

TEST(Program, InputFromAFileEndsAtTheEndOfTheFile) {
    wchar_t directory[MAX_PATH];
    GetTempPathW(MAX_PATH, directory);
    const std::wstring path =
        std::wstring(directory) + L"zcf-program-input-" + std::to_wstring(GetCurrentProcessId()) + L".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                    CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(write_all(file, R"({"cmd":"nothing","seq":1})" "\n" R"({"cmd":"nothing","seq":2})"));
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);

    Child child(file);
    CloseHandle(file);
    EXPECT_TRUE(is_ready_event(child.line()));
    EXPECT_EQ(child.line(), answer_to_nothing(1));
    EXPECT_EQ(child.line(), answer_to_nothing(2));
    EXPECT_EQ(child.line(), std::nullopt);
    EXPECT_EQ(child.exit_code(), 0u) << "the program kept reading at the end of the file";
}

}  // namespace
