// platform/windows: the directory watcher of the Windows build. One thread per watch issues
// ReadDirectoryChangesExW with extended records (attributes come with each change) where the system
// has it, ReadDirectoryChangesW where it does not (before Windows 10 1709, file systems other than
// NTFS, Wine), recursively, on the directory opened for backup semantics and overlapped I/O, and
// waits for the completion or the end of the watch. ERROR_NOTIFY_ENUM_DIR and a completion without
// bytes are overflows. Win32 calls are allowed here and only under platform/windows.
#include "platform/watch.h"

#include "platform/unique_handle.h"

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace zcf::windows {

namespace {

// A kernel object handle: a file, an event.
struct KernelHandleTraits {
    using Value = HANDLE;
    static HANDLE invalid() { return nullptr; }
    static bool valid(HANDLE h) { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static bool close(HANDLE h) { return CloseHandle(h) != 0; }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// ReadDirectoryChangesExW, which mingw-w64 does not declare. Resolved at run time: Wine lacks it,
// and calling a statically imported function that the system lacks aborts the process.
using ReadDirectoryChangesExFn = BOOL(WINAPI*)(HANDLE, LPVOID, DWORD, BOOL, DWORD, LPDWORD, LPOVERLAPPED,
                                               LPOVERLAPPED_COMPLETION_ROUTINE, int);
constexpr int READ_DIRECTORY_NOTIFY_EXTENDED_INFORMATION = 2;

// FILE_NOTIFY_EXTENDED_INFORMATION, which mingw-w64 does not declare.
struct FileNotifyExtendedInformation {
    DWORD NextEntryOffset;
    DWORD Action;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastModificationTime;
    LARGE_INTEGER LastChangeTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER AllocatedLength;
    LARGE_INTEGER FileSize;
    DWORD FileAttributes;
    DWORD ReparsePointTag;
    LARGE_INTEGER FileId;
    LARGE_INTEGER ParentFileId;
    DWORD FileNameLength;
    WCHAR FileName[1];
};
static_assert(offsetof(FileNotifyExtendedInformation, FileAttributes) == 56);
static_assert(offsetof(FileNotifyExtendedInformation, FileNameLength) == 80);
static_assert(offsetof(FileNotifyExtendedInformation, FileName) == 84);
static_assert(sizeof(FileNotifyExtendedInformation) == 88);
static_assert(offsetof(FILE_NOTIFY_INFORMATION, FileName) == 12);

constexpr DWORD NOTIFY_FILTER = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME |
                                FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE |
                                FILE_NOTIFY_CHANGE_LAST_WRITE;
// The most a call may ask for over the network, and room for about 2,000 changes of long names.
constexpr DWORD BUFFER_BYTES = 64 * 1024;

ReadDirectoryChangesExFn read_changes_ex() {
    static const auto FUNCTION = reinterpret_cast<ReadDirectoryChangesExFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "ReadDirectoryChangesExW")));
    return FUNCTION;
}

std::u16string as_u16(const wchar_t* text, std::size_t length) {
    return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

// The records of one completed read of `bytes` bytes.
std::vector<ChangeRecord> parse_records(const unsigned char* buffer, DWORD bytes, bool extended) {
    std::vector<ChangeRecord> records;
    for (DWORD at = 0; at < bytes;) {
        ChangeRecord record;
        DWORD next = 0;
        if (extended) {
            const auto* info = reinterpret_cast<const FileNotifyExtendedInformation*>(buffer + at);
            record.action = info->Action;
            record.name = as_u16(info->FileName, info->FileNameLength / sizeof(WCHAR));
            record.attributes = info->FileAttributes;
            next = info->NextEntryOffset;
        } else {
            const auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + at);
            record.action = info->Action;
            record.name = as_u16(info->FileName, info->FileNameLength / sizeof(WCHAR));
            next = info->NextEntryOffset;
        }
        records.push_back(std::move(record));
        if (next == 0) break;
        at += next;
    }
    return records;
}

// GetFinalPathNameByHandleW into a string; empty when it fails.
std::u16string final_path(HANDLE file, DWORD flags) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()), flags);
        if (length == 0) return {};
        if (length < buffer.size()) return as_u16(buffer.data(), length);
        buffer.resize(length + 1);
    }
}

class ReadChangesWatch final : public DirectoryWatch {
public:
    ReadChangesWatch(KernelHandle directory, KernelHandle io_event, KernelHandle stop_event, ChangeSink& sink)
        : directory_(std::move(directory)), io_event_(std::move(io_event)), stop_event_(std::move(stop_event)),
          sink_(sink), buffer_(BUFFER_BYTES / sizeof(std::uint64_t)), extended_(read_changes_ex() != nullptr) {}

    ~ReadChangesWatch() override {
        SetEvent(stop_event_.get());
        if (thread_.joinable()) thread_.join();
        else if (first_issued_) end_read(overlapped_);  // the thread could not be started
    }

    // Issues the first read before it returns: the system keeps the changes from then on, also
    // those made before the thread waits. The Win32 code when the directory cannot be watched.
    DWORD start() {
        if (!issue(overlapped_)) return GetLastError();
        first_issued_ = true;
        thread_ = std::thread([this] { run(); });
        return ERROR_SUCCESS;
    }

private:
    // Issues one read; false when the directory can be watched no more.
    bool issue(OVERLAPPED& overlapped) {
        for (;;) {
            ResetEvent(io_event_.get());
            overlapped = OVERLAPPED{};
            overlapped.hEvent = io_event_.get();
            const ReadDirectoryChangesExFn ex = extended_ ? read_changes_ex() : nullptr;
            const BOOL issued =
                ex != nullptr ? ex(directory_.get(), buffer_.data(), BUFFER_BYTES, TRUE, NOTIFY_FILTER, nullptr,
                                   &overlapped, nullptr, READ_DIRECTORY_NOTIFY_EXTENDED_INFORMATION)
                              : ReadDirectoryChangesW(directory_.get(), buffer_.data(), BUFFER_BYTES, TRUE,
                                                      NOTIFY_FILTER, nullptr, &overlapped, nullptr);
            if (issued) return true;
            const DWORD error = GetLastError();
            if (ex != nullptr && (error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_FUNCTION ||
                                  error == ERROR_NOT_SUPPORTED)) {
                extended_ = false;  // a file system without extended records
                continue;
            }
            if (error != ERROR_NOTIFY_ENUM_DIR) return false;
            sink_.on_overflow();
        }
    }

    // Cancels a pending read and waits for it, since it writes into our buffer.
    void end_read(OVERLAPPED& overlapped) {
        CancelIoEx(directory_.get(), &overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(directory_.get(), &overlapped, &ignored, TRUE);
    }

    void run() {
        OVERLAPPED& overlapped = overlapped_;
        for (bool issued = true; issued; issued = issue(overlapped)) {
            HANDLE waits[2] = {io_event_.get(), stop_event_.get()};
            if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                end_read(overlapped);
                return;
            }
            DWORD bytes = 0;
            if (!GetOverlappedResult(directory_.get(), &overlapped, &bytes, FALSE)) {
                if (GetLastError() != ERROR_NOTIFY_ENUM_DIR) break;  // the directory went away
                sink_.on_overflow();
                continue;
            }
            if (bytes == 0) {
                sink_.on_overflow();
                continue;
            }
            std::vector<ChangeRecord> records =
                parse_records(reinterpret_cast<const unsigned char*>(buffer_.data()), bytes, extended_);
            sink_.on_changes(std::move(records));
        }
        // The directory can no longer be watched: wait for the end.
        WaitForSingleObject(stop_event_.get(), INFINITE);
    }

    KernelHandle directory_;
    KernelHandle io_event_;
    KernelHandle stop_event_;
    ChangeSink& sink_;
    std::vector<std::uint64_t> buffer_;  // 8-byte aligned, as the extended records need
    bool extended_;
    bool first_issued_ = false;
    OVERLAPPED overlapped_{};
    std::thread thread_;
};

class WindowsDirectoryWatcher final : public DirectoryWatcher {
public:
    Hresult watch(const char16_t* root, ChangeSink& sink, std::unique_ptr<DirectoryWatch>& watch,
                  WatchedRoot& names) override {
        KernelHandle directory(CreateFileW(reinterpret_cast<const wchar_t*>(root), FILE_LIST_DIRECTORY,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED,
                                           nullptr));
        if (!directory) return HRESULT_FROM_WIN32(GetLastError());
        KernelHandle io_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        KernelHandle stop_event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!io_event || !stop_event) return HRESULT_FROM_WIN32(GetLastError());

        // "\\?\C:\dir" as the file API opens it; "\dir" as the system names files in callbacks.
        names.path = final_path(directory.get(), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (names.path.starts_with(u"\\\\?\\UNC\\")) names.path = u"\\" + names.path.substr(7);
        else if (names.path.starts_with(u"\\\\?\\")) names.path.erase(0, 4);
        names.event_path = final_path(directory.get(), FILE_NAME_NORMALIZED | VOLUME_NAME_NONE);
        if (names.path.empty() || names.event_path.empty()) {
            names.path = reinterpret_cast<const char16_t*>(root);
            names.event_path = names.path.size() >= 2 && names.path[1] == u':' ? names.path.substr(2) : names.path;
        }
        auto started = std::make_unique<ReadChangesWatch>(std::move(directory), std::move(io_event),
                                                          std::move(stop_event), sink);
        if (const DWORD error = started->start(); error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
        watch = std::move(started);
        return S_OK;
    }
};

}  // namespace

}  // namespace zcf::windows

namespace zcf {

DirectoryWatcher& native_directory_watcher() {
    static windows::WindowsDirectoryWatcher* const WATCHER = new windows::WindowsDirectoryWatcher();
    return *WATCHER;
}

}  // namespace zcf
