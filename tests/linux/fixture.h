// Shared fixture of the Linux platform's tests: a temporary directory with its own state directory
// ($XDG_STATE_HOME) and sync-root folder, a recording provider whose callbacks can answer fetches,
// and small helpers around the platform calls.
#pragma once

#include "platform/platform.h"
#include "linux/apps.h"
#include "platform/linux/cloud/engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zcf::linux_platformtest {

inline std::u16string w(const std::string& s) {
    std::u16string out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        char32_t cp = c;
        std::size_t len = 1;
        if (c >= 0xF0) cp = c & 0x07, len = 4;
        else if (c >= 0xE0) cp = c & 0x0F, len = 3;
        else if (c >= 0xC0) cp = c & 0x1F, len = 2;
        for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        i += len;
        if (cp >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

inline std::string narrow(const std::u16string& s) {
    std::string out;
    for (const char16_t c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

inline constexpr Hresult hr(std::uint32_t win32_code) { return hresult_from_win32(win32_code); }

// One callback as the provider saw it, with copies of everything it pointed at.
struct Event {
    std::uint32_t type = 0;
    ConnectionKey connection_key = 0;
    std::int64_t file_size = 0;
    std::string identity;
    std::string path;
    std::int64_t transfer_key = 0;
    std::int64_t request_key = 0;
    bool has_process = false;
    std::uint32_t pid = 0;
    std::string image;
    std::int64_t offset = 0;
    std::int64_t length = 0;
    std::thread::id thread;
};

// Records every callback; an optional handler answers fetches (on the callback's thread).
class Recorder {
public:
    void reset() {
        std::lock_guard lock(mutex_);
        events_.clear();
        handler_ = nullptr;
    }
    void set_handler(std::function<void(const Event&)> handler) {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void record(std::uint32_t type, const CallbackInfo* info, const CallbackParameters* params) {
        Event e;
        e.type = type;
        e.connection_key = info->connection_key;
        e.file_size = info->file_size;
        if (info->file_identity != nullptr)
            e.identity.assign(static_cast<const char*>(info->file_identity), info->file_identity_length);
        if (info->normalized_path != nullptr) e.path = narrow(info->normalized_path);
        e.transfer_key = info->transfer_key;
        e.request_key = info->request_key;
        if (info->process_info != nullptr) {
            e.has_process = true;
            e.pid = info->process_info->process_id;
            if (info->process_info->image_path != nullptr) e.image = narrow(info->process_info->image_path);
        }
        e.offset = params->required_file_offset;
        e.length = params->required_length;
        e.thread = std::this_thread::get_id();
        std::function<void(const Event&)> handler;
        {
            std::lock_guard lock(mutex_);
            events_.push_back(e);
            handler = handler_;
            changed_.notify_all();
        }
        if (handler) handler(e);
    }
    std::vector<Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::vector<Event> of_type(std::uint32_t type) {
        std::vector<Event> out;
        for (auto& e : events())
            if (e.type == type) out.push_back(e);
        return out;
    }
    // Waits until `count` callbacks of `type` have arrived; false after a few seconds.
    bool wait_for(std::uint32_t type, std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] {
            std::size_t n = 0;
            for (const auto& e : events_) n += e.type == type;
            return n >= count;
        });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Event> events_;
    std::function<void(const Event&)> handler_;
};

inline Recorder& recorder() {
    static Recorder* const R = new Recorder();
    return *R;
}

inline void on_fetch(const CallbackInfo* i, const CallbackParameters* p) { recorder().record(callback_type::FETCH_DATA, i, p); }
inline void on_cancel(const CallbackInfo* i, const CallbackParameters* p) {
    recorder().record(callback_type::CANCEL_FETCH_DATA, i, p);
}
inline void on_open(const CallbackInfo* i, const CallbackParameters* p) {
    recorder().record(callback_type::NOTIFY_FILE_OPEN_COMPLETION, i, p);
}

inline const CallbackRegistration* callback_table() {
    static const CallbackRegistration TABLE[] = {{callback_type::FETCH_DATA, on_fetch},
                                                 {callback_type::CANCEL_FETCH_DATA, on_cancel},
                                                 {callback_type::NOTIFY_FILE_OPEN_COMPLETION, on_open},
                                                 {callback_type::NONE, nullptr}};
    return TABLE;
}

// TRANSFER_DATA for a fetch: `data` at `offset`, or a failure with `status`.
inline Hresult transfer(const Event& fetch, std::int64_t offset, const void* data, std::int64_t length,
                        std::int32_t status = 0) {
    OperationInfo info{};
    info.struct_size = OPERATION_INFO_SIZE;
    info.type = OPERATION_TYPE_TRANSFER_DATA;
    info.connection_key = fetch.connection_key;
    info.transfer_key = fetch.transfer_key;
    info.request_key = fetch.request_key;
    OperationParameters params{};
    params.param_size = TRANSFER_DATA_PARAM_SIZE;
    params.transfer_data.completion_status = status;
    params.transfer_data.buffer = data;
    params.transfer_data.offset = offset;
    params.transfer_data.length = length;
    return native_platform().execute(&info, &params);
}

inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

class SimTest : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/zcf-sim-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
        ::setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
        root_ = dir_ + "/root";
        ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
        write_state_file("sim.json", "{}");
        recorder().reset();
    }
    void TearDown() override {
        linux_platform::use_manual_clock(false);
        if (connected_) p().disconnect_sync_root(key_);
        recorder().reset();
        ::nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    Platform& p() { return native_platform(); }

    // These tests look at the raw files: sim.json always says "frontEnd": "simulated".
    void write_state_file(const std::string& name, std::string content) {
        if (name == "sim.json") content.insert(1, content.size() > 2 ? R"("frontEnd":"simulated",)" : R"("frontEnd":"simulated")");
        const std::string d = dir_ + "/state/zembra-cloud-files";
        ::mkdir((dir_ + "/state").c_str(), 0700);
        ::mkdir(d.c_str(), 0700);
        write_file(d + "/" + name, content);
    }
    static void write_file(const std::string& path, const std::string& content) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0) << path;
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fd);
    }
    static std::string read_whole(const std::string& path) {
        std::string out;
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0) return out;
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
        ::close(fd);
        return out;
    }

    PlatformError register_root(const std::string& id = "test-root", const std::string& path = "") {
        const std::u16string wid = w(id), wpath = w(path.empty() ? root_ : path), name = u"Zembra Sync",
                             icon = u"icon", version = u"1";
        static const std::uint8_t CONTEXT[] = {'z', 'e', 'm', 'b', 'r', 'a'};
        SyncRootRegistration r{wid.c_str(), wpath.c_str(), name.c_str(), icon.c_str(), 1, 4, 2, 0x80000000u, 0,
                               false,       version.c_str(), CONTEXT, 6};
        return p().register_sync_root(r);
    }
    void connect() {
        ASSERT_EQ(register_root().code, 0);
        const std::u16string r = w(root_);
        ASSERT_EQ(p().connect_sync_root(r.c_str(), callback_table(), nullptr, 6, &key_), 0);
        connected_ = true;
    }
    void disconnect() {
        ASSERT_TRUE(connected_);
        connected_ = false;
        ASSERT_EQ(p().disconnect_sync_root(key_), 0);
    }

    // Creates one placeholder in `dir` (default the root); returns the item's result.
    Hresult create(const std::string& name, std::int64_t size, const std::string& identity = "id",
                   bool folder = false, const std::string& dir = "", std::int64_t filetime = 133444736001230000) {
        const std::u16string wname = w(name), base = w(dir.empty() ? root_ : dir);
        PlaceholderCreateInfo item{};
        item.relative_file_name = wname.c_str();
        item.fs_metadata.basic_info = {filetime, filetime, filetime, filetime, folder ? attr::DIRECTORY : attr::NORMAL};
        item.fs_metadata.file_size = folder ? 0 : size;
        item.file_identity = identity.data();
        item.file_identity_length = static_cast<std::uint32_t>(identity.size());
        item.flags = folder ? 3u : 2u;
        std::uint32_t processed = 0;
        const Hresult call = p().create_placeholders(base.c_str(), &item, 1, 0, &processed);
        return call < 0 ? call : item.result;
    }

    Handle open(const std::string& path, std::uint32_t access = 0x180) {
        const std::u16string wp = w(path);
        return p().create_file(wp.c_str(), access, SHARE_ALL, OPEN_EXISTING_DISPOSITION, FLAG_BACKUP_SEMANTICS);
    }
    std::uint32_t attributes(const std::string& path) {
        const std::u16string wp = w(path);
        return p().file_attributes(wp.c_str());
    }

    std::string dir_;
    std::string root_;
    ConnectionKey key_ = 0;
    bool connected_ = false;
};

// Closes a handle at scope exit.
class HandleGuard {
public:
    explicit HandleGuard(Handle h) : h_(h) {}
    ~HandleGuard() {
        if (handle_valid(h_)) native_platform().close_handle(h_);
    }
    HandleGuard(const HandleGuard&) = delete;
    HandleGuard& operator=(const HandleGuard&) = delete;
    Handle get() const { return h_; }

private:
    Handle h_;
};

}  // namespace zcf::linux_platformtest
