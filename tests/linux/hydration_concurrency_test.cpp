// The hydration service under load on the Linux platform, in one process: other
// applications read many placeholders at once (some abort their reads), "hydrate" workers run
// beside them, and the test plays the parent on the main thread, answering fetches in random order
// and random chunks (each fetch's chunks in order or shuffled) through the real main-loop entry,
// sometimes with "fail". Checks that no output line is lost or torn, that every fetch is retired exactly once (completed, failed or cancelled),
// that every hydration writes its late answer, and that every byte read is the parent's byte.
#include "common/args.h"
#include "hydration/pending.h"
#include "main/main_loop.h"
#include "common/json_writer.h"
#include "platform/platform.h"
#include "linux/apps.h"
#include "platform/linux/cloud/engine.h"
#include "support/mock_platform.h"

#include <boost/beast/core/detail/base64.hpp>
#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <ftw.h>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zcf {
namespace {

namespace json = boost::json;
using Clock = std::chrono::steady_clock;

// Standard output collected as lines (standard input is empty).
class CapturingStreams final : public Streams {
public:
    // The next complete line, or nothing after `wait` without one.
    std::optional<std::string> next_line(std::chrono::milliseconds wait) {
        std::unique_lock<std::mutex> guard(lock_);
        if (!changed_.wait_for(guard, wait, [&] { return !lines_.empty(); })) return std::nullopt;
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        return line;
    }
    std::string unterminated() {
        std::lock_guard<std::mutex> guard(lock_);
        return partial_;
    }

    std::ptrdiff_t read_input(char*, std::size_t) override { return 0; }
    bool write_output(const char* data, std::size_t size) override {
        std::lock_guard<std::mutex> guard(lock_);
        partial_.append(data, size);
        for (std::size_t lf; (lf = partial_.find('\n')) != std::string::npos;) {
            lines_.push_back(partial_.substr(0, lf));
            partial_.erase(0, lf + 1);
        }
        changed_.notify_all();
        return true;
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::string> lines_;
    std::string partial_;
};

std::u16string utf16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string base64_of(const std::string& bytes, std::size_t offset, std::size_t length) {
    namespace base64 = boost::beast::detail::base64;
    std::string text(base64::encoded_size(length), '\0');
    text.resize(base64::encode(text.data(), bytes.data() + offset, length));
    return text;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

std::string read_file(const std::string& path) {
    std::string out;
    const int fd = ::open(path.c_str(), O_RDONLY);
    char buffer[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
    if (fd >= 0) ::close(fd);
    return out;
}

// One fetch as the parent tracks it.
struct Fetch {
    std::string path;
    std::vector<std::pair<std::int64_t, std::int64_t>> chunks;  // offset and length, in sending order
    std::size_t sent = 0;
    bool will_fail = false;
};

class HydrationConcurrency : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/zcf-hydration-XXXXXX";
        ASSERT_NE(::mkdtemp(templ), nullptr);
        dir_ = templ;
        ::setenv("XDG_STATE_HOME", (dir_ + "/state").c_str(), 1);
        ::mkdir((dir_ + "/state").c_str(), 0700);
        ::mkdir((dir_ + "/state/zembra-cloud-files").c_str(), 0700);
        // The raw files: no file system mounted over the root.
        const std::string settings = R"({"syncTransfers":false,"frontEnd":"simulated"})";
        const int fd = ::open((dir_ + "/state/zembra-cloud-files/sim.json").c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_EQ(::write(fd, settings.data(), settings.size()), static_cast<ssize_t>(settings.size()));
        ::close(fd);
        root_ = dir_ + "/root";
        ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
        // No fetch times out: every one is answered, failed or aborted.
        linux_platform::use_manual_clock(true);
    }
    void TearDown() override {
        linux_platform::use_manual_clock(false);
        ::nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    }

    // Sends one request line through the main loop's entry; its response is written before return.
    json::value request(json::object message) {
        const std::uint64_t seq = ++seq_;
        message["seq"] = seq;
        const std::string line = to_json_text(message);
        EXPECT_TRUE(handle_line(line.data(), line.size(), nullptr));
        for (;;) {
            std::optional<std::string> text = output_.next_line(std::chrono::milliseconds(0));
            if (!text) {
                ADD_FAILURE() << "no response to " << line.substr(0, 200);
                return json::value();
            }
            json::value message_out = observe(*text);
            if (message_out.is_object() && !message_out.as_object().contains("event") &&
                message_out.at("seq") == seq)
                return message_out;
        }
    }

    // Takes note of one output line; returns it parsed.
    json::value observe(const std::string& line) {
        log_.push_back(line.substr(0, 300));
        boost::system::error_code ec;
        json::value message = json::parse(line, ec);
        if (ec || !message.is_object()) {
            ADD_FAILURE() << "torn or invalid line: " << line.substr(0, 200);
            return json::value();
        }
        const json::object& m = message.as_object();
        if (const json::value* event = m.if_contains("event")) {
            if (*event == "fetch") {
                const std::uint64_t id = m.at("req").to_number<std::uint64_t>();
                EXPECT_TRUE(seen_.insert(id).second) << "fetch id issued twice: " << id;
                Fetch fetch;
                fetch.path = std::string(m.at("path").as_string());
                const std::int64_t begin = m.at("offset").to_number<std::int64_t>();
                const std::int64_t end = std::min(m.at("fileSize").to_number<std::int64_t>(),
                                                  begin + m.at("length").to_number<std::int64_t>());
                // Chunks of 4 to 32 KiB, sent in order for half the fetches and shuffled for the rest.
                for (std::int64_t at = begin; at < end;) {
                    const std::int64_t size = 4096 * std::uniform_int_distribution<std::int64_t>(1, 8)(rng_);
                    fetch.chunks.emplace_back(at, std::min(size, end - at));
                    at += size;
                }
                if (rng_() % 2 == 0) std::shuffle(fetch.chunks.begin(), fetch.chunks.end(), rng_);
                fetch.will_fail = std::uniform_int_distribution<int>(0, 9)(rng_) == 0;
                EXPECT_TRUE(content_.count(fetch.path)) << fetch.path;
                if (!cancelled_.count(id)) outstanding_.emplace(id, fetch);
            } else if (*event == "cancel") {
                for (const json::value& v : m.at("reqs").as_array()) {
                    const std::uint64_t id = v.to_number<std::uint64_t>();
                    EXPECT_TRUE(cancelled_.insert(id).second) << "cancelled twice: " << id;
                    outstanding_.erase(id);
                    awaiting_cancel_.erase(id);
                }
            } else if (*event == "opened") {
                ++opened_;
            } else {
                ADD_FAILURE() << "unexpected event " << line;
            }
        } else if (m.at("seq").is_string()) {
            EXPECT_TRUE(late_.emplace(std::string(m.at("seq").as_string()), message).second) << "late answer twice";
        }
        return message;
    }

    // The parent's next move on one outstanding fetch: its next chunk, or a failure.
    void answer_one() {
        auto it = outstanding_.begin();
        std::advance(it, std::uniform_int_distribution<std::size_t>(0, outstanding_.size() - 1)(rng_));
        const std::uint64_t id = it->first;
        const Fetch fetch = it->second;  // a copy: events seen during the request may change the map
        if (fetch.will_fail) {
            const json::value answer = request({{"cmd", "fail"}, {"req", id}});
            outstanding_.erase(id);
            if (answer.at("ok") == true && answer.at("result").as_object().contains("stale")) {
                if (!cancelled_.count(id)) awaiting_cancel_.insert(id);  // its cancel event is on its way
                history_[id] = "fail: " + to_json_text(answer);
            } else {
                failed_.insert(id);  // retired by "fail", whatever the platform said
            }
            return;
        }
        const auto [offset, length] = fetch.chunks[fetch.sent];
        const std::string& bytes = content_.at(fetch.path);
        const json::value answer =
            request({{"cmd", "data"}, {"req", id}, {"offset", offset},
                     {"b64", base64_of(bytes, static_cast<std::size_t>(offset), static_cast<std::size_t>(length))}});
        const json::object& a = answer.as_object();
        if (a.at("ok") == true && a.at("result").as_object().empty()) {
            if (fetch.sent + 1 == fetch.chunks.size()) {
                completed_.insert(id);  // every byte of the required range has been delivered
                outstanding_.erase(id);
            } else if (const auto still = outstanding_.find(id); still != outstanding_.end()) {
                ++still->second.sent;
            }
            return;
        }
        outstanding_.erase(id);
        if (a.at("ok") == false) {
            // Refused: the platform has ended the request. Its cancellation may still be on the way,
            // or may have run before the fetch was recorded and so missed it; the parent retires
            // the request with "fail", as a parent does when a chunk cannot be delivered.
            EXPECT_EQ(a.at("code"), "0x8007017c") << to_json_text(answer);
            ++refused_;
            const json::value failed = request({{"cmd", "fail"}, {"req", id}});
            if (!(failed.at("ok") == true && failed.at("result").as_object().contains("stale"))) {
                failed_.insert(id);
                return;
            }
        }
        // Stale: a cancellation removed it, and its "cancel" event lists it.
        if (!cancelled_.count(id)) awaiting_cancel_.insert(id);
        history_[id] = "data: " + to_json_text(answer) + " at " + std::to_string(offset) + ", chunk " +
                       std::to_string(fetch.sent + 1) + " of " + std::to_string(fetch.chunks.size());
    }

    std::size_t overlap(const std::set<std::uint64_t>& ids) const {
        std::size_t n = 0;
        for (const std::uint64_t id : ids) n += cancelled_.count(id);
        return n;
    }

    CapturingStreams output_;
    std::string dir_, root_;
    std::mt19937_64 rng_{20261208};
    std::uint64_t seq_ = 0;
    std::map<std::string, std::string> content_;  // path -> the parent's bytes
    std::set<std::uint64_t> seen_, completed_, failed_, cancelled_, awaiting_cancel_;
    std::map<std::uint64_t, Fetch> outstanding_;
    std::map<std::string, json::value> late_;
    std::map<std::uint64_t, std::string> history_;
    std::vector<std::string> log_;
    std::size_t opened_ = 0;
    std::size_t refused_ = 0;
};

TEST_F(HydrationConcurrency, ManyReadersHydrationsAndCancelsAgainstARandomParent) {
    testing::ScopedStreams installed(output_);
    constexpr int FILES = 16, READERS = 8, READS_EACH = 24, HYDRATIONS = 6;

    ASSERT_EQ(request({{"cmd", "register"}, {"root", root_}, {"id", "concurrency"}}).at("ok"), true);
    std::vector<std::string> paths;
    for (int i = 0; i < FILES; ++i) {
        const std::int64_t size = std::uniform_int_distribution<std::int64_t>(1, 160 * 1024)(rng_);
        std::string bytes(static_cast<std::size_t>(size), '\0');
        for (char& c : bytes) c = static_cast<char>(rng_());
        const std::string name = "f" + std::to_string(i);
        const std::u16string base = utf16(root_), wname = utf16(name);
        PlaceholderCreateInfo item{};
        item.relative_file_name = wname.c_str();
        item.fs_metadata.basic_info.file_attributes = attr::NORMAL;
        item.fs_metadata.file_size = size;
        item.file_identity = name.data();
        item.file_identity_length = static_cast<std::uint32_t>(name.size());
        item.flags = placeholder_create_flag::MARK_IN_SYNC;
        std::uint32_t processed = 0;
        ASSERT_EQ(platform().create_placeholders(base.c_str(), &item, 1, 0, &processed), 0);
        ASSERT_EQ(item.result, 0);
        paths.push_back(root_ + "/" + name);
        content_.emplace(paths.back(), std::move(bytes));
    }
    ASSERT_EQ(request({{"cmd", "connect"}, {"root", root_}}).at("ok"), true);

    // Simulated applications: random ranges of random files, a third of the reads aborted while
    // they wait.
    std::atomic<int> readers_left{READERS}, opens{0}, good_reads{0}, bad_bytes{0}, odd_errors{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < READERS; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t) * 7919u + 1);
            for (int r = 0; r < READS_EACH; ++r) {
                const std::string& path = paths[rng() % paths.size()];
                const std::string& bytes = content_.at(path);
                auto app = linux_platform::open_as_app(path, 1000 + static_cast<std::uint32_t>(t), "/usr/bin/reader");
                if (app.error != 0) {
                    ++odd_errors;
                    continue;
                }
                ++opens;
                const std::int64_t offset = static_cast<std::int64_t>(rng() % bytes.size());
                const std::int64_t length = 1 + static_cast<std::int64_t>(rng() % (bytes.size() - offset));
                std::thread aborter;
                if (rng() % 3 == 0) {
                    const int delay_us = static_cast<int>(rng() % 3000);
                    aborter = std::thread([&app, delay_us] {
                        std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
                        app.file.abort();
                    });
                }
                const linux_platform::AppReadResult read = app.file.read(offset, length);
                if (aborter.joinable()) aborter.join();
                if (read.error == 0) {
                    ++good_reads;
                    if (std::string(read.bytes.begin(), read.bytes.end()) !=
                        bytes.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(length)))
                        ++bad_bytes;
                } else if (read.error != win32::ERROR_CLOUD_FILE_REQUEST_ABORTED &&
                           read.error != win32::ERROR_NOT_A_CLOUD_FILE) {
                    ++odd_errors;
                }
            }
            --readers_left;
        });
    }
    for (int h = 0; h < HYDRATIONS; ++h) {
        const std::string line = to_json_text(json::object{{"cmd", "hydrate"}, {"seq", "h" + std::to_string(h)},
                                                           {"path", paths[static_cast<std::size_t>(h)]}});
        EXPECT_TRUE(handle_line(line.data(), line.size(), nullptr));
    }

    // The parent: answers until every reader and hydration is done and nothing is outstanding.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < deadline) {
        while (std::optional<std::string> line = output_.next_line(std::chrono::milliseconds(0))) observe(*line);
        if (!outstanding_.empty()) {
            answer_one();
            continue;
        }
        if (readers_left == 0 && late_.size() == HYDRATIONS && awaiting_cancel_.empty()) break;
        if (std::optional<std::string> line = output_.next_line(std::chrono::milliseconds(20))) observe(*line);
    }
    for (std::thread& reader : readers) reader.join();
    ASSERT_EQ(request({{"cmd", "disconnect"}}).at("ok"), true);
    while (std::optional<std::string> line = output_.next_line(std::chrono::milliseconds(0))) observe(*line);

    EXPECT_EQ(output_.unterminated(), "");
    EXPECT_EQ(bad_bytes, 0);
    EXPECT_EQ(odd_errors, 0);
    EXPECT_GT(good_reads, 0);
    EXPECT_EQ(opened_, static_cast<std::size_t>(opens + HYDRATIONS));
    EXPECT_TRUE(outstanding_.empty());
    for (const std::uint64_t id : awaiting_cancel_) {
        ADD_FAILURE() << "no cancel for " << id << ": " << history_[id] << " in table " << pending().find(id).has_value();
        for (const std::string& l : log_)
            if (l.find(std::to_string(id)) != std::string::npos) std::printf("  %s\n", l.c_str());
    }
    // Every fetch was retired: completed by its last chunk, failed, or listed by exactly one
    // cancellation (checked as the events arrived), and the table is empty. A cancellation may
    // overlap a completing chunk or a "fail" that had already looked its record up; it is then the
    // one that removed the record.
    std::set<std::uint64_t> all = completed_;
    all.insert(failed_.begin(), failed_.end());
    all.insert(cancelled_.begin(), cancelled_.end());
    EXPECT_EQ(all, seen_);
    EXPECT_EQ(pending().size(), 0u);
    ASSERT_EQ(late_.size(), static_cast<std::size_t>(HYDRATIONS));
    for (int h = 0; h < HYDRATIONS; ++h) {
        const json::value& late = late_.at("h" + std::to_string(h));
        const std::string& path = paths[static_cast<std::size_t>(h)];
        if (late.at("ok") == true) {
            EXPECT_EQ(to_json_text(late), R"({"ok":true,"result":{},"seq":"h)" + std::to_string(h) + R"("})");
            EXPECT_TRUE(read_file(path) == content_.at(path)) << path;
        } else {
            EXPECT_EQ(late.as_object().size(), 3u) << to_json_text(late);
        }
    }
    std::printf("fetches %zu: completed %zu, failed %zu (%zu after a refused chunk), cancelled %zu (overlapping %zu); "
                "reads ok %d of %d opens\n",
                seen_.size(), completed_.size(), failed_.size(), refused_, cancelled_.size(),
                overlap(completed_) + overlap(failed_), good_reads.load(), opens.load());
}

}  // namespace
}  // namespace zcf
