// Applications of other processes, for the Linux platform's tests. Lets a test act as another process that opens and reads
// placeholders, so that a connected provider's fetch, cancel and open-completion callbacks run just
// as an application's reads make them run on Windows. Only declarations of that API live here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zcf::linux_platform {

struct AppStream;
struct AppOpenResult;

// The outcome of one read: a Win32 code (0 on success) and, on success, the bytes read.
struct AppReadResult {
    std::uint32_t error = 0;
    std::vector<std::uint8_t> bytes;
};

// A file opened by a application: one open stream with its own transfer key. Any number of
// threads may read it and abort its reads at once. Destruction (or close) ends the stream.
class AppFile {
public:
    AppFile() = default;
    AppFile(AppFile&&) noexcept = default;
    AppFile& operator=(AppFile&&) noexcept = default;
    AppFile(const AppFile&) = delete;
    AppFile& operator=(const AppFile&) = delete;
    ~AppFile();

    bool is_open() const { return stream_ != nullptr; }
    void close();

    // Reads `length` bytes at `offset`, clipped at the end of the file. Content that is not present
    // is fetched through the provider connected to the file's sync root (FETCH_DATA on a thread of
    // the platform) and waited for. Fails with ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING when no
    // provider is connected, with the transfer's code when the provider fails it,
    // ERROR_CLOUD_FILE_REQUEST_TIMEOUT after the fetch time-out (the provider gets CANCEL_FETCH_DATA),
    // ERROR_CLOUD_FILE_PROVIDER_TERMINATED when the provider disconnects, and
    // ERROR_CLOUD_FILE_REQUEST_ABORTED when `abort` ends it.
    AppReadResult read(std::int64_t offset, std::int64_t length) const;

    // Gives up every read of this stream that waits for content: the provider gets CANCEL_FETCH_DATA
    // for each of the stream's outstanding fetches, and those reads fail. Returns how many fetches
    // were cancelled (0 when nothing was waiting).
    std::size_t abort() const;

    // The transfer key that the provider's callbacks carry for this stream.
    std::int64_t transfer_key() const;

private:
    friend AppOpenResult open_as_app(const std::string&, std::uint32_t, const std::string&);
    std::shared_ptr<AppStream> stream_;
};

struct AppOpenResult {
    std::uint32_t error = 0;  // Win32 code of a failed open
    AppFile file;
};

// Opens the existing file at `path` (UTF-8) for reading as the process `pid` whose executable is
// `image_path`. For a placeholder inside a connected sync root, the provider's
// NOTIFY_FILE_OPEN_COMPLETION callback has run (on a thread of the platform) when this returns.
AppOpenResult open_as_app(const std::string& path, std::uint32_t pid, const std::string& image_path);

}  // namespace zcf::linux_platform
