// The Linux platform's road of a read: connections, callbacks and what they carry, transfers and their
// validation, failures, time-outs, disconnects, aborts, concurrency and data integrity.
#include "linux/fixture.h"

#include "platform/linux/state/record.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <sys/wait.h>

namespace zcf::linux_platformtest {
namespace {

using SimHydration = SimTest;

std::string pattern_bytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(size, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

std::string as_string(const std::vector<std::uint8_t>& v) { return std::string(v.begin(), v.end()); }

// A provider that answers every fetch from its sources (path -> content), in chunks of random
// multiples of 4 KiB sent in random order; with `fail_after` >= 0 it fails each request after that
// many chunks. Its state is shared with the installed handler, which may outlive the test's scope
// (a fetch whose read was satisfied by other transfers can still be answered afterwards).
struct ProviderState {
    explicit ProviderState(unsigned seed) : rng(seed) {}
    std::mutex mutex;
    std::map<std::string, std::string> sources;
    std::mt19937 rng;
    std::atomic<int> fail_after{-1};
    std::atomic<int> refused{0};

    void answer(const Event& e) {
        std::string content;
        std::vector<std::pair<std::int64_t, std::int64_t>> chunks;
        {
            std::lock_guard lock(mutex);
            content = sources.at(e.path);
            const std::int64_t end = std::min<std::int64_t>(e.offset + e.length, static_cast<std::int64_t>(content.size()));
            for (std::int64_t at = e.offset; at < end;) {
                const std::int64_t len = std::min<std::int64_t>(4096 * (1 + rng() % 5), end - at);
                chunks.emplace_back(at, len);
                at += len;
            }
            std::shuffle(chunks.begin(), chunks.end(), rng);
        }
        int sent = 0;
        for (const auto& [at, len] : chunks) {
            if (fail_after >= 0 && sent == fail_after) {
                transfer(e, e.offset, "", e.length, static_cast<std::int32_t>(0xC000CF07u));
                return;
            }
            if (transfer(e, at, content.data() + at, len) != 0) ++refused;
            ++sent;
        }
    }
};

class Provider {
public:
    explicit Provider(unsigned seed = 1) : state_(std::make_shared<ProviderState>(seed)) {}
    void add(const std::string& path, std::string content) {
        std::lock_guard lock(state_->mutex);
        state_->sources[path] = std::move(content);
    }
    void install() {
        recorder().set_handler([state = state_](const Event& e) {
            if (e.type == callback_type::FETCH_DATA) state->answer(e);
        });
    }
    ProviderState& state() { return *state_; }

private:
    std::shared_ptr<ProviderState> state_;
};

TEST_F(SimHydration, ConnectChecksTheRootAndOneProviderPerRoot) {
    ASSERT_EQ(register_root().code, 0);
    ConnectionKey key = 0;
    const std::u16string outside = w(dir_), inner = w(root_ + "/sub"), missing = w(root_ + "/nope"), root = w(root_);
    ::mkdir((root_ + "/sub").c_str(), 0755);
    EXPECT_EQ(p().connect_sync_root(outside.c_str(), callback_table(), nullptr, 6, &key),
              hr(win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT));
    EXPECT_EQ(p().connect_sync_root(inner.c_str(), callback_table(), nullptr, 6, &key), hr(win32::ERROR_NOT_A_CLOUD_SYNC_ROOT));
    EXPECT_EQ(p().connect_sync_root(missing.c_str(), callback_table(), nullptr, 6, &key), hr(win32::ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(p().connect_sync_root(u"", callback_table(), nullptr, 6, &key), hr(win32::ERROR_PATH_NOT_FOUND));
    connect();
    EXPECT_EQ(p().connect_sync_root(root.c_str(), callback_table(), nullptr, 6, &key),
              hr(win32::ERROR_CLOUD_FILE_ALREADY_CONNECTED));
    // Another process cannot connect either.
    const pid_t child = ::fork();
    if (child == 0) {
        ConnectionKey k = 0;
        ::_exit(p().connect_sync_root(root.c_str(), callback_table(), nullptr, 6, &k) ==
                        hr(win32::ERROR_CLOUD_FILE_ALREADY_CONNECTED)
                    ? 0
                    : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(p().disconnect_sync_root(key_ + 12345), hr::E_INVALIDARG_CODE);
    const ConnectionKey first = key_;
    disconnect();
    EXPECT_EQ(p().disconnect_sync_root(first), hr::E_INVALIDARG_CODE);
    connect();
    EXPECT_NE(key_, first);
}

TEST_F(SimHydration, ReadsNeedAProviderOnlyForMissingContent) {
    ASSERT_EQ(register_root().code, 0);
    ASSERT_EQ(create("f", 5000), 0);
    auto app = linux_platform::open_as_app(root_ + "/f", 7, "/bin/app");
    ASSERT_EQ(app.error, 0u);
    EXPECT_EQ(app.file.read(0, 10).error, win32::ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    HandleGuard h(open(root_ + "/f", 0x81));
    EXPECT_EQ(p().hydrate_placeholder(h.get(), 0, -1, 0), hr(win32::ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING));
    // A plain file, or an adopted one, reads without any provider.
    write_file(root_ + "/plain", "hello world");
    auto plain = linux_platform::open_as_app(root_ + "/plain", 7, "/bin/app");
    EXPECT_EQ(as_string(plain.file.read(6, 100).bytes), "world");
    HandleGuard ph(open(root_ + "/plain", 0x81));
    EXPECT_EQ(p().hydrate_placeholder(ph.get(), 0, -1, 0), hr(win32::ERROR_NOT_A_CLOUD_FILE));
    EXPECT_EQ(linux_platform::open_as_app(root_ + "/missing", 7, "/bin/app").error, win32::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(linux_platform::open_as_app(root_, 7, "/bin/app").error, win32::ERROR_ACCESS_DENIED);
}

TEST_F(SimHydration, CallbacksCarryEverythingAndRunOnTheirOwnThreads) {
    connect();
    ASSERT_EQ(create("f", 10000, "ident"), 0);
    const std::string source = pattern_bytes(10000, 3);
    Provider provider;
    provider.add(root_ + "/f", source);
    provider.install();

    auto app = linux_platform::open_as_app(root_ + "/f", 4242, "/usr/bin/reader");
    ASSERT_EQ(app.error, 0u);
    auto opens = recorder().of_type(callback_type::NOTIFY_FILE_OPEN_COMPLETION);
    ASSERT_EQ(opens.size(), 1u);  // delivered before the open returns
    EXPECT_EQ(opens[0].pid, 4242u);
    EXPECT_EQ(opens[0].image, "/usr/bin/reader");
    EXPECT_EQ(opens[0].path, root_ + "/f");
    EXPECT_EQ(opens[0].transfer_key, app.file.transfer_key());
    EXPECT_EQ(opens[0].connection_key, key_);
    EXPECT_NE(opens[0].thread, std::this_thread::get_id());

    const auto first = app.file.read(100, 50);
    ASSERT_EQ(first.error, 0u);
    EXPECT_EQ(as_string(first.bytes), source.substr(100, 50));
    const auto second = app.file.read(5000, 9000);
    ASSERT_EQ(second.error, 0u);
    EXPECT_EQ(as_string(second.bytes), source.substr(5000));

    const auto fetches = recorder().of_type(callback_type::FETCH_DATA);
    ASSERT_EQ(fetches.size(), 2u);
    EXPECT_EQ(fetches[0].offset, 0);
    EXPECT_EQ(fetches[0].length, 4096);
    EXPECT_EQ(fetches[1].offset, 4096);
    EXPECT_EQ(fetches[1].length, 8192);  // whole units, past the end of the file
    for (const auto& f : fetches) {
        EXPECT_EQ(f.connection_key, key_);
        EXPECT_EQ(f.file_size, 10000);
        EXPECT_EQ(f.identity, "ident");
        EXPECT_EQ(f.path, root_ + "/f");
        EXPECT_EQ(f.transfer_key, app.file.transfer_key());
        EXPECT_TRUE(f.has_process);
        EXPECT_EQ(f.pid, 4242u);
        EXPECT_EQ(f.image, "/usr/bin/reader");
        EXPECT_NE(f.thread, std::this_thread::get_id());
    }
    EXPECT_NE(fetches[0].request_key, fetches[1].request_key);
    EXPECT_EQ(provider.state().refused.load(), 0);
    EXPECT_EQ(read_whole(root_ + "/f"), source);
    EXPECT_EQ(attributes(root_ + "/f") & attr::RECALL_ON_DATA_ACCESS, 0u);

    // A second stream of the same file gets its own transfer key.
    auto other = linux_platform::open_as_app(root_ + "/f", 4243, "/usr/bin/other");
    EXPECT_NE(other.file.transfer_key(), app.file.transfer_key());
}

TEST_F(SimHydration, TransfersAreValidated) {
    connect();
    ASSERT_EQ(create("f", 20000), 0);
    const std::string source = pattern_bytes(20000, 5);
    auto app = linux_platform::open_as_app(root_ + "/f", 1, "/bin/app");
    linux_platform::AppReadResult result;
    std::thread reader([&] { result = app.file.read(0, 20000); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 1));
    const Event fetch = recorder().of_type(callback_type::FETCH_DATA)[0];
    EXPECT_EQ(fetch.offset, 0);
    EXPECT_EQ(fetch.length, 20480);
    const Hresult invalid = hr(win32::ERROR_CLOUD_FILE_INVALID_REQUEST);
    Event wrong = fetch;
    wrong.request_key += 1;
    EXPECT_EQ(transfer(wrong, 0, source.data(), 4096), invalid);
    wrong = fetch;
    wrong.transfer_key += 1;
    EXPECT_EQ(transfer(wrong, 0, source.data(), 4096), invalid);
    wrong = fetch;
    wrong.connection_key += 1;
    EXPECT_EQ(transfer(wrong, 0, source.data(), 4096), invalid);
    EXPECT_EQ(transfer(fetch, 0, source.data(), 0), invalid);
    EXPECT_EQ(transfer(fetch, 100, source.data() + 100, 4096), invalid);
    EXPECT_EQ(transfer(fetch, 0, source.data(), 5000), invalid);
    EXPECT_EQ(transfer(fetch, 16384, source.data(), 8192), invalid);  // past the end of the file
    EXPECT_EQ(transfer(fetch, -4096, source.data(), 4096), invalid);
    // Out of order, the last chunk (ending at the end of the file, not a whole unit) first.
    EXPECT_EQ(transfer(fetch, 16384, source.data() + 16384, 3616), 0);
    EXPECT_EQ(transfer(fetch, 4096, source.data() + 4096, 12288), 0);
    EXPECT_EQ(transfer(fetch, 0, source.data(), 4096), 0);
    reader.join();
    ASSERT_EQ(result.error, 0u);
    EXPECT_EQ(as_string(result.bytes), source);
    // The request is complete: further transfers for it are refused.
    EXPECT_EQ(transfer(fetch, 0, source.data(), 4096), invalid);
}

TEST_F(SimHydration, FailedTransfersFailTheReaderWithTheirCode) {
    connect();
    ASSERT_EQ(create("f", 4096), 0);
    auto app = linux_platform::open_as_app(root_ + "/f", 1, "/bin/app");
    const std::pair<std::uint32_t, std::uint32_t> cases[] = {
        {0xC000CF07u, win32::ERROR_NOT_A_CLOUD_FILE},
        {0xC000CF13u, win32::ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT},
        {0xC0000001u, win32::ERROR_CLOUD_FILE_UNSUCCESSFUL},
        {0xC000CF12u, win32::ERROR_CLOUD_FILE_UNSUCCESSFUL},
    };
    std::size_t n = 0;
    for (const auto& [status, expected] : cases) {
        linux_platform::AppReadResult result;
        std::thread reader([&] { result = app.file.read(0, 10); });
        ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, ++n));
        const Event fetch = recorder().of_type(callback_type::FETCH_DATA).back();
        EXPECT_EQ(transfer(fetch, fetch.offset, "", fetch.length, static_cast<std::int32_t>(status)), 0);
        reader.join();
        EXPECT_EQ(result.error, expected) << std::hex << status;
        EXPECT_TRUE(result.bytes.empty());
        EXPECT_EQ(transfer(fetch, 0, "x", 1), hr(win32::ERROR_CLOUD_FILE_INVALID_REQUEST));
    }
    EXPECT_NE(attributes(root_ + "/f") & attr::RECALL_ON_DATA_ACCESS, 0u);
}

// On the manual clock: a fetch times out after fetchTimeoutMs without a transfer, any transfer
// restarts its clock, and the settings are those read when the provider connected.
TEST_F(SimHydration, TimeOutCancelsTheFetch) {
    linux_platform::use_manual_clock(true);
    write_state_file("sim.json", R"({"fetchTimeoutMs": 150})");
    connect();
    write_state_file("sim.json", R"({"fetchTimeoutMs": 100000})");
    ASSERT_EQ(create("f", 8192), 0);
    auto app = linux_platform::open_as_app(root_ + "/f", 1, "/bin/app");
    linux_platform::AppReadResult result;
    std::thread reader([&] { result = app.file.read(0, 8192); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 1));
    const Event fetch = recorder().of_type(callback_type::FETCH_DATA)[0];
    const std::string chunk(4096, 'x');
    linux_platform::advance_clock(std::chrono::milliseconds(149));
    EXPECT_EQ(transfer(fetch, 0, chunk.data(), 4096), 0);  // not timed out, and the clock starts again
    linux_platform::advance_clock(std::chrono::milliseconds(149));
    EXPECT_TRUE(recorder().of_type(callback_type::CANCEL_FETCH_DATA).empty());
    linux_platform::advance_clock(std::chrono::milliseconds(1));
    ASSERT_TRUE(recorder().wait_for(callback_type::CANCEL_FETCH_DATA, 1));
    reader.join();
    EXPECT_EQ(result.error, win32::ERROR_CLOUD_FILE_REQUEST_TIMEOUT);
    const Event cancel = recorder().of_type(callback_type::CANCEL_FETCH_DATA)[0];
    EXPECT_EQ(cancel.transfer_key, fetch.transfer_key);
    EXPECT_EQ(cancel.request_key, fetch.request_key);
    EXPECT_EQ(cancel.path, root_ + "/f");
    EXPECT_EQ(transfer(fetch, 4096, chunk.data(), 4096), hr(win32::ERROR_CLOUD_FILE_INVALID_REQUEST));
}

TEST_F(SimHydration, EachTransferRestartsTheClock) {
    linux_platform::use_manual_clock(true);
    write_state_file("sim.json", R"({"fetchTimeoutMs": 250})");
    connect();
    const std::string source = pattern_bytes(6 * 4096, 9);
    ASSERT_EQ(create("f", static_cast<std::int64_t>(source.size())), 0);
    auto app = linux_platform::open_as_app(root_ + "/f", 1, "/bin/app");
    linux_platform::AppReadResult result;
    std::thread reader([&] { result = app.file.read(0, static_cast<std::int64_t>(source.size())); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 1));
    const Event fetch = recorder().of_type(callback_type::FETCH_DATA)[0];
    // Six chunks 249 ms apart: 1.5 s in all, never 250 ms without a transfer.
    for (int i = 0; i < 6; ++i) {
        linux_platform::advance_clock(std::chrono::milliseconds(249));
        ASSERT_EQ(transfer(fetch, i * 4096, source.data() + i * 4096, 4096), 0) << i;
    }
    reader.join();
    EXPECT_EQ(result.error, 0u);
    EXPECT_EQ(as_string(result.bytes), source);
    EXPECT_TRUE(recorder().of_type(callback_type::CANCEL_FETCH_DATA).empty());
}

// A fetch whose read was satisfied by other transfers still times out and is cancelled.
TEST_F(SimHydration, AFetchWithoutItsReadStillTimesOut) {
    linux_platform::use_manual_clock(true);
    write_state_file("sim.json", R"({"fetchTimeoutMs": 100})");
    connect();
    ASSERT_EQ(create("f", 8192), 0);
    auto app = linux_platform::open_as_app(root_ + "/f", 1, "/bin/app");
    linux_platform::AppReadResult small, whole;
    std::thread first([&] { small = app.file.read(0, 10); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 1));
    std::thread second([&] { whole = app.file.read(0, 8192); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 2));
    const auto fetches = recorder().of_type(callback_type::FETCH_DATA);
    const Event& wide = fetches[0].length == 8192 ? fetches[0] : fetches[1];
    const Event& narrow_fetch = fetches[0].length == 8192 ? fetches[1] : fetches[0];
    const std::string source = pattern_bytes(8192, 3);
    ASSERT_EQ(transfer(wide, 0, source.data(), 8192), 0);
    first.join();
    second.join();
    EXPECT_EQ(small.error, 0u);
    EXPECT_EQ(whole.error, 0u);
    EXPECT_EQ(as_string(whole.bytes), source);
    linux_platform::advance_clock(std::chrono::milliseconds(100));
    ASSERT_TRUE(recorder().wait_for(callback_type::CANCEL_FETCH_DATA, 1));
    EXPECT_EQ(recorder().of_type(callback_type::CANCEL_FETCH_DATA)[0].request_key, narrow_fetch.request_key);
}

// A transfer wakes the reads whose whole range it makes present, whichever fetch it answers; a
// read whose range is not yet whole goes on waiting.
TEST_F(SimHydration, ATransferCompletesEveryReadItCovers) {
    write_state_file("sim.json", R"({"fetchTimeoutMs": 10000})");
    connect();
    const std::string source = pattern_bytes(4 * 4096, 12);
    ASSERT_EQ(create("f", static_cast<std::int64_t>(source.size())), 0);
    auto app = linux_platform::open_as_app(root_ + "/f", 1, "/bin/app");
    linux_platform::AppReadResult head, tail, whole;
    std::thread whole_reader([&] { whole = app.file.read(0, -1); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 1));
    std::thread head_reader([&] { head = app.file.read(100, 3996); });
    std::thread tail_reader([&] { tail = app.file.read(3 * 4096, 4096); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 3));
    const auto fetches = recorder().of_type(callback_type::FETCH_DATA);
    const Event& wide = *std::find_if(fetches.begin(), fetches.end(), [](const Event& e) { return e.length == 4 * 4096; });
    // Only the whole file's fetch is answered: the head read completes from its first chunk.
    ASSERT_EQ(transfer(wide, 0, source.data(), 4096), 0);
    head_reader.join();
    ASSERT_EQ(head.error, 0u);
    EXPECT_EQ(as_string(head.bytes), source.substr(100, 3996));
    ASSERT_EQ(transfer(wide, 4096, source.data() + 4096, 8192), 0);
    ASSERT_EQ(transfer(wide, 3 * 4096, source.data() + 3 * 4096, 4096), 0);
    tail_reader.join();
    whole_reader.join();
    ASSERT_EQ(tail.error, 0u);
    EXPECT_EQ(as_string(tail.bytes), source.substr(3 * 4096));
    ASSERT_EQ(whole.error, 0u);
    EXPECT_EQ(as_string(whole.bytes), source);
}

TEST_F(SimHydration, DisconnectFailsWaitingReaders) {
    connect();
    ASSERT_EQ(create("f", 4096), 0);
    auto app = linux_platform::open_as_app(root_ + "/f", 1, "/bin/app");
    linux_platform::AppReadResult result;
    std::thread reader([&] { result = app.file.read(0, 4096); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 1));
    const Event fetch = recorder().of_type(callback_type::FETCH_DATA)[0];
    disconnect();
    reader.join();
    EXPECT_EQ(result.error, win32::ERROR_CLOUD_FILE_PROVIDER_TERMINATED);
    EXPECT_EQ(transfer(fetch, 0, std::string(4096, 'x').data(), 4096), hr(win32::ERROR_CLOUD_FILE_INVALID_REQUEST));
    EXPECT_EQ(app.file.read(0, 1).error, win32::ERROR_CLOUD_FILE_PROVIDER_NOT_RUNNING);
    EXPECT_NE(attributes(root_ + "/f") & attr::RECALL_ON_DATA_ACCESS, 0u);
}

TEST_F(SimHydration, AbortCancelsTheStreamsFetches) {
    connect();
    ASSERT_EQ(create("f", 4096), 0);
    auto app = linux_platform::open_as_app(root_ + "/f", 1, "/bin/app");
    EXPECT_EQ(app.file.abort(), 0u);
    linux_platform::AppReadResult result;
    std::thread reader([&] { result = app.file.read(0, 4096); });
    ASSERT_TRUE(recorder().wait_for(callback_type::FETCH_DATA, 1));
    EXPECT_EQ(app.file.abort(), 1u);
    reader.join();
    EXPECT_EQ(result.error, win32::ERROR_CLOUD_FILE_REQUEST_ABORTED);
    ASSERT_TRUE(recorder().wait_for(callback_type::CANCEL_FETCH_DATA, 1));
    EXPECT_EQ(recorder().of_type(callback_type::CANCEL_FETCH_DATA)[0].transfer_key, app.file.transfer_key());
}

TEST_F(SimHydration, HydrateBringsTheWholeFile) {
    connect();
    const std::string source = pattern_bytes(100000, 11);
    ASSERT_EQ(create("f", static_cast<std::int64_t>(source.size())), 0);
    Provider provider;
    provider.add(root_ + "/f", source);
    provider.install();
    HandleGuard h(open(root_ + "/f", 0x81));
    ASSERT_TRUE(handle_valid(h.get()));
    const auto opens = recorder().of_type(callback_type::NOTIFY_FILE_OPEN_COMPLETION);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(opens[0].pid, static_cast<std::uint32_t>(::getpid()));
    // Attribute-only opens do not notify.
    HandleGuard attrs(open(root_ + "/f", 0x180));
    EXPECT_EQ(recorder().of_type(callback_type::NOTIFY_FILE_OPEN_COMPLETION).size(), 1u);

    EXPECT_EQ(p().hydrate_placeholder(h.get(), 0, -1, 0), 0);
    EXPECT_EQ(read_whole(root_ + "/f"), source);
    EXPECT_EQ(attributes(root_ + "/f") & attr::RECALL_ON_DATA_ACCESS, 0u);
    const auto fetches = recorder().of_type(callback_type::FETCH_DATA);
    ASSERT_EQ(fetches.size(), 1u);
    EXPECT_EQ(fetches[0].transfer_key, opens[0].transfer_key);
    // Present already: no further fetch.
    EXPECT_EQ(p().hydrate_placeholder(h.get(), 0, -1, 0), 0);
    EXPECT_EQ(recorder().of_type(callback_type::FETCH_DATA).size(), 1u);
    EXPECT_EQ(p().hydrate_placeholder(h.get(), 0, -1, 1), hr::E_INVALIDARG_CODE);
}

// For random files and random chunkings, the bytes on disk after a read are the source's, byte
// for byte, and a failed read leaves only what was written marked present.
TEST_F(SimHydration, DataIntegrityUnderRandomChunkings) {
    connect();
    std::mt19937 rng(1234);
    Provider provider(99);
    provider.install();
    for (int i = 0; i < 24; ++i) {
        const std::size_t size = rng() % (300 * 1024);
        const std::string name = "file" + std::to_string(i);
        const std::string source = pattern_bytes(size, static_cast<unsigned>(i));
        ASSERT_EQ(create(name, static_cast<std::int64_t>(size)), 0);
        provider.add(root_ + "/" + name, source);
        auto app = linux_platform::open_as_app(root_ + "/" + name, 1, "/bin/app");
        // A few random reads, then the whole file.
        for (int r = 0; r < 3 && size > 0; ++r) {
            const std::int64_t off = static_cast<std::int64_t>(rng() % size);
            const std::int64_t len = static_cast<std::int64_t>(rng() % (size - static_cast<std::size_t>(off)) + 1);
            const auto part = app.file.read(off, len);
            ASSERT_EQ(part.error, 0u);
            ASSERT_EQ(as_string(part.bytes), source.substr(static_cast<std::size_t>(off), static_cast<std::size_t>(len)));
        }
        const auto whole = app.file.read(0, -1);
        ASSERT_EQ(whole.error, 0u);
        ASSERT_EQ(as_string(whole.bytes), source) << name;
        ASSERT_EQ(read_whole(root_ + "/" + name), source) << name;
    }
    EXPECT_EQ(provider.state().refused.load(), 0);

    // Failed part-way: exactly the written chunks are present, and they hold the source's bytes.
    const std::string source = pattern_bytes(200 * 1024, 77);
    ASSERT_EQ(create("partial", static_cast<std::int64_t>(source.size())), 0);
    provider.add(root_ + "/partial", source);
    provider.state().fail_after = 3;
    auto app = linux_platform::open_as_app(root_ + "/partial", 1, "/bin/app");
    EXPECT_EQ(app.file.read(0, -1).error, win32::ERROR_NOT_A_CLOUD_FILE);
    const std::string path = root_ + "/partial";
    const auto state = linux_platform::read_state(linux_platform::MetaTarget{-1, path.c_str()});
    ASSERT_TRUE(state.has_value());
    EXPECT_FALSE(state->present.empty());
    EXPECT_LT(state->present.total(), static_cast<std::int64_t>(source.size()));
    const std::string on_disk = read_whole(path);
    for (const auto& [b, e] : state->present.ranges())
        EXPECT_EQ(on_disk.substr(static_cast<std::size_t>(b), static_cast<std::size_t>(e - b)),
                  source.substr(static_cast<std::size_t>(b), static_cast<std::size_t>(e - b)));
    // A later read fetches only what is missing, one fetch per run of it, and completes the file.
    provider.state().fail_after = -1;
    const auto fetches_before = recorder().of_type(callback_type::FETCH_DATA).size();
    const auto whole = app.file.read(0, -1);
    ASSERT_EQ(whole.error, 0u);
    EXPECT_EQ(as_string(whole.bytes), source);
    const auto fetches = recorder().of_type(callback_type::FETCH_DATA);
    std::vector<std::pair<std::int64_t, std::int64_t>> asked, gaps;
    for (std::size_t i = fetches_before; i < fetches.size(); ++i)
        asked.emplace_back(fetches[i].offset, fetches[i].offset + fetches[i].length);
    const auto size = static_cast<std::int64_t>(source.size());
    for (auto gap = state->present.first_gap(0, size); gap; gap = state->present.first_gap(gap->second, size))
        gaps.emplace_back(gap->first / 4096 * 4096, (gap->second + 4095) / 4096 * 4096);
    EXPECT_EQ(asked, gaps);
}

TEST_F(SimHydration, ConcurrentReadersOfOneFile) {
    connect();
    const std::string source = pattern_bytes(512 * 1024, 21);
    ASSERT_EQ(create("f", static_cast<std::int64_t>(source.size())), 0);
    Provider provider(5);
    provider.add(root_ + "/f", source);
    provider.install();
    std::vector<std::thread> readers;
    std::atomic<int> bad{0};
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            auto app = linux_platform::open_as_app(root_ + "/f", 100 + static_cast<std::uint32_t>(t), "/bin/app");
            for (int r = 0; r < 6; ++r) {
                const std::int64_t off = (t * 61 + r * 37) % 500 * 1024;
                const auto part = app.file.read(off, 20000);
                if (part.error != 0 || as_string(part.bytes) != source.substr(static_cast<std::size_t>(off), part.bytes.size()) ||
                    part.bytes.size() != std::min<std::size_t>(20000, source.size() - static_cast<std::size_t>(off)))
                    ++bad;
            }
        });
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(provider.state().refused.load(), 0);
}

// Many readers, files and transfers at once, bounded in time.
TEST_F(SimHydration, Stress) {
    connect();
    Provider provider(17);
    provider.install();
    constexpr int FILES = 12;
    std::vector<std::string> sources;
    for (int i = 0; i < FILES; ++i) {
        sources.push_back(pattern_bytes(64 * 1024 + static_cast<std::size_t>(i) * 4321, 500 + static_cast<unsigned>(i)));
        ASSERT_EQ(create("s" + std::to_string(i), static_cast<std::int64_t>(sources.back().size())), 0);
        provider.add(root_ + "/s" + std::to_string(i), sources.back());
    }
    std::atomic<int> bad{0}, reads{0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    std::vector<std::thread> readers;
    for (int t = 0; t < 16; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            while (std::chrono::steady_clock::now() < until) {
                const int i = static_cast<int>(rng() % FILES);
                const std::string& src = sources[static_cast<std::size_t>(i)];
                auto app = linux_platform::open_as_app(root_ + "/s" + std::to_string(i), 1000 + static_cast<std::uint32_t>(t), "/bin/app");
                const std::int64_t off = static_cast<std::int64_t>(rng() % src.size());
                const auto part = app.file.read(off, static_cast<std::int64_t>(rng() % 30000 + 1));
                if (part.error != 0 || as_string(part.bytes) != src.substr(static_cast<std::size_t>(off), part.bytes.size()))
                    ++bad;
                ++reads;
                // Now and then content is dehydrated again so that reads keep fetching.
                if (rng() % 8 == 0) {
                    app.file.close();
                    HandleGuard h(open(root_ + "/s" + std::to_string(i)));
                    const Hresult r = p().dehydrate_placeholder(h.get(), 0, -1, 0);
                    if (r != 0 && r != hr(win32::ERROR_CLOUD_FILE_IN_USE)) ++bad;
                }
            }
        });
    }
    for (auto& t : readers) t.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_GT(reads.load(), 16);
    EXPECT_EQ(provider.state().refused.load(), 0);
}

}  // namespace
}  // namespace zcf::linux_platformtest
