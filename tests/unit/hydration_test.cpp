#include "hydration/base64.h"
#include "hydration/hydration.h"
#include "hydration/pending.h"
#include "common/json_writer.h"
#include "support/captured_output.h"
#include "support/mock_platform.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::Throw;
using zcf::testing::CapturedOutput;
using zcf::testing::MockPlatform;
using zcf::testing::MockStreams;
using zcf::testing::ScopedPlatform;
using zcf::testing::ScopedStreams;
using zcf::testing::utf8;

constexpr Hresult INVALID_REQUEST = static_cast<Hresult>(0x8007017Cu);

// What one execute() call received, copied out during the call.
struct Executed {
    OperationInfo info;
    OperationParameters::TransferData transfer;
    std::uint32_t param_size;
    std::string bytes;
};

// A mock platform with captured standard output and recorded transfers. Request ids are
// process-wide, so tests learn them from the "fetch" events instead of assuming them.
class Hydration : public ::testing::Test {
protected:
    void SetUp() override {
        output.attach();
        ON_CALL(mock, take_error_info).WillByDefault([] { return ErrorInfoPtr(); });
        ON_CALL(mock, system_message).WillByDefault(Return(std::u16string()));
        ON_CALL(mock, execute).WillByDefault([this](const OperationInfo* info, OperationParameters* parameters) {
            Executed e{*info, parameters->transfer_data, parameters->param_size, {}};
            if (parameters->transfer_data.buffer != nullptr)
                e.bytes.assign(static_cast<const char*>(parameters->transfer_data.buffer),
                               static_cast<std::size_t>(parameters->transfer_data.length));
            executed.push_back(e);
            return execute_result;
        });
    }

    // Runs a fetch callback and returns the id its event announced.
    std::uint64_t fetch(std::int64_t transfer_key, std::int64_t file_size, std::int64_t offset, std::int64_t length) {
        const ProcessInfo process{42, u"/usr/bin/reader"};
        CallbackInfo info;
        info.connection_key = 7000 + transfer_key;
        info.file_size = file_size;
        info.normalized_path = u"/root/file";
        info.transfer_key = transfer_key;
        info.process_info = &process;
        info.request_key = 9000 + transfer_key;
        const CallbackParameters parameters{offset, length};
        on_fetch_data(&info, &parameters);
        const std::vector<std::string> lines = output.take();
        EXPECT_EQ(lines.size(), 1u);
        return json::parse(lines.back()).at("req").to_number<std::uint64_t>();
    }

    std::vector<std::uint64_t> cancel(std::int64_t transfer_key) {
        CallbackInfo info;
        info.transfer_key = transfer_key;
        info.normalized_path = u"/root/file";
        const CallbackParameters parameters{};
        on_cancel_fetch(&info, &parameters);
        const std::vector<std::string> lines = output.take();
        EXPECT_EQ(lines.size(), 1u);
        const json::value event = json::parse(lines.back());
        EXPECT_EQ(event.at("event"), "cancel");
        std::vector<std::uint64_t> ids;
        for (const json::value& id : event.at("reqs").as_array()) ids.push_back(id.to_number<std::uint64_t>());
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    std::string data(std::uint64_t id, std::string_view b64, std::int64_t offset) {
        json::object request{{"cmd", "data"}, {"req", id}, {"b64", b64}, {"offset", offset}};
        return run(cmd_data(request));
    }
    std::string data_raw(std::string_view request) { return run(cmd_data(json::parse(request))); }
    std::string fail(std::uint64_t id) { return run(cmd_fail(json::object{{"cmd", "fail"}, {"req", id}})); }

    static std::string run(Outcome outcome) {
        return outcome.ok() ? to_json_text(outcome.value()) : "error " + error_code_text(outcome.error().code);
    }

    // Ends a request the test left outstanding, so that later tests start from an empty table.
    void TearDown() override {
        for (std::int64_t key : used_transfer_keys) pending().remove_stream(key);
    }

    NiceMock<MockPlatform> mock;
    ScopedPlatform installed{mock};
    CapturedOutput output;
    std::vector<Executed> executed;
    Hresult execute_result = 0;
    std::vector<std::int64_t> used_transfer_keys{1, 2, 3, 4, 5};
};

std::string base64_of(const std::string& bytes) {
    static const char* const ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned v = (std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8) | std::uint8_t(bytes[i + 2]);
        for (int s = 18; s >= 0; s -= 6) out += ALPHABET[(v >> s) & 63];
    }
    if (bytes.size() - i == 1) {
        const unsigned v = std::uint8_t(bytes[i]) << 16;
        out += ALPHABET[(v >> 18) & 63];
        out += ALPHABET[(v >> 12) & 63];
        out += "==";
    } else if (bytes.size() - i == 2) {
        const unsigned v = (std::uint8_t(bytes[i]) << 16) | (std::uint8_t(bytes[i + 1]) << 8);
        out += ALPHABET[(v >> 18) & 63];
        out += ALPHABET[(v >> 12) & 63];
        out += ALPHABET[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

std::string pattern(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7);
    return bytes;
}

// ---- Callbacks and events -------------------------------------------------------------------

TEST_F(Hydration, FetchEventHasEveryFieldInKeyOrderAndRecordsTheRequest) {
    const std::uint8_t identity[] = {'i', 'd', 0xC3, 0xA9};
    const ProcessInfo process{4242, u"C:\\Apps\\reader.exe"};
    CallbackInfo info;
    info.connection_key = 11;
    info.file_size = 5000;
    info.file_identity = identity;
    info.file_identity_length = sizeof identity;
    info.normalized_path = u"\\root\\d\u00e9j\u00e0.txt";
    info.transfer_key = 3;
    info.process_info = &process;
    info.request_key = 33;
    const CallbackParameters parameters{4096, 8192};
    on_fetch_data(&info, &parameters);

    const std::vector<std::string> lines = output.take();
    ASSERT_EQ(lines.size(), 1u);
    const std::uint64_t id = json::parse(lines[0]).at("req").to_number<std::uint64_t>();
    EXPECT_GE(id, 1u);
    EXPECT_EQ(lines[0], "{\"event\":\"fetch\",\"fileSize\":5000,\"identity\":\"id\xC3\xA9\",\"length\":8192,"
                        "\"offset\":4096,\"path\":\"\\\\root\\\\d\xC3\xA9j\xC3\xA0.txt\","
                        "\"process\":\"C:\\\\Apps\\\\reader.exe\",\"req\":" +
                            std::to_string(id) + "}");
    const std::optional<Pending> record = pending().find(id);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->connection_key, 11);
    EXPECT_EQ(record->transfer_key, 3);
    EXPECT_EQ(record->request_key, 33);
    EXPECT_EQ(record->file_size, 5000);
    EXPECT_EQ(record->offset, 4096);
    EXPECT_EQ(record->length, 8192);

    // The next fetch takes the next id.
    EXPECT_EQ(fetch(1, 10, 0, 4096), id + 1);
}

TEST_F(Hydration, FetchTextsDecodeLossyIdentityAndStrictPlatformText) {
    const std::uint8_t identity[] = {0x61, 0xFF, 0x62, 0xE2, 0x82, 0x63};
    const char16_t unpaired[] = {u'/', 0xD800, u'x', 0};
    CallbackInfo info;
    info.file_identity = identity;
    info.file_identity_length = sizeof identity;
    info.normalized_path = unpaired;
    info.transfer_key = 4;
    const CallbackParameters parameters{0, 4096};
    on_fetch_data(&info, &parameters);  // no process information, no path

    json::value event = json::parse(output.take().at(0));
    EXPECT_EQ(event.at("identity"), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD" "c");
    EXPECT_EQ(event.at("path"), "");
    EXPECT_EQ(event.at("process"), "");

    const ProcessInfo no_image{5, nullptr};
    info.file_identity = identity;
    info.file_identity_length = 0;  // a pointer with no length is no identity
    info.normalized_path = nullptr;
    info.process_info = &no_image;
    on_fetch_data(&info, &parameters);
    event = json::parse(output.take().at(0));
    EXPECT_EQ(event.at("identity"), "");
    EXPECT_EQ(event.at("path"), "");
    EXPECT_EQ(event.at("process"), "");
}

TEST_F(Hydration, FetchBeyondEndOfFileReportsThePlatformsValues) {
    const std::int64_t big = std::numeric_limits<std::int64_t>::max();
    const ProcessInfo process{1, u"p"};
    CallbackInfo info;
    info.file_size = -1;
    info.transfer_key = 5;
    info.process_info = &process;
    const CallbackParameters parameters{big - 4, big};
    on_fetch_data(&info, &parameters);
    const json::value event = json::parse(output.take().at(0));
    EXPECT_EQ(event.at("fileSize"), -1);
    EXPECT_EQ(event.at("offset"), big - 4);
    EXPECT_EQ(event.at("length"), big);
}

TEST_F(Hydration, OpenedEventCarriesPathAndPid) {
    const ProcessInfo process{4000000000u, u"/bin/cat"};
    CallbackInfo info;
    info.normalized_path = u"/root/a b";
    info.process_info = &process;
    on_open_completion(&info, nullptr);
    info.process_info = nullptr;
    on_open_completion(&info, nullptr);
    EXPECT_EQ(output.take(), (std::vector<std::string>{
                                 R"({"event":"opened","path":"/root/a b","pid":4000000000})",
                                 R"({"event":"opened","path":"/root/a b","pid":0})",
                             }));
}

TEST_F(Hydration, CancelRemovesEveryRequestOfTheStreamOnly) {
    const std::uint64_t a = fetch(1, 100000, 0, 4096);
    const std::uint64_t b = fetch(1, 100000, 4096, 4096);
    const std::uint64_t other = fetch(2, 100000, 0, 4096);
    EXPECT_EQ(cancel(1), (std::vector<std::uint64_t>{std::min(a, b), std::max(a, b)}));
    EXPECT_FALSE(pending().find(a));
    EXPECT_FALSE(pending().find(b));
    EXPECT_TRUE(pending().find(other));
    EXPECT_EQ(data(a, base64_of(pattern(4096, 1)), 0), R"({"stale":true})");
    EXPECT_EQ(fail(b), R"({"stale":true})");
    EXPECT_TRUE(executed.empty());
}

TEST_F(Hydration, CancelMatchingNothingStillReports) {
    fetch(2, 100000, 0, 4096);
    CallbackInfo info;
    info.transfer_key = 99;
    info.normalized_path = u"/root/x";
    on_cancel_fetch(&info, nullptr);
    EXPECT_EQ(output.take(), (std::vector<std::string>{R"({"event":"cancel","path":"/root/x","reqs":[]})"}));
}

TEST_F(Hydration, CallbacksWhoseEventCannotBeWrittenThrowNothingAndAFetchIsFailedAtOnce) {
    const std::uint64_t earlier = fetch(1, 100000, 0, 4096);
    const std::size_t before = pending().size();
    const std::uint64_t id = NEXT_REQUEST.load();
    {
        MockStreams exhausted;
        EXPECT_CALL(exhausted, write_output).WillRepeatedly(Throw(std::bad_alloc()));
        ScopedStreams installed_streams(exhausted);
        const ProcessInfo process{7, u"/bin/reader"};
        CallbackInfo info;
        info.connection_key = 71;
        info.file_size = 10000;
        info.normalized_path = u"/root/big";
        info.transfer_key = 2;
        info.process_info = &process;
        info.request_key = 73;
        const CallbackParameters parameters{4096, 8192};
        EXPECT_NO_THROW(on_fetch_data(&info, &parameters));
        EXPECT_NO_THROW(on_open_completion(&info, nullptr));
        info.transfer_key = 1;
        EXPECT_NO_THROW(on_cancel_fetch(&info, nullptr));
    }
    output.attach();

    // The unreported fetch: failed over its required range with its own keys, and forgotten.
    ASSERT_EQ(executed.size(), 1u);
    const Executed& e = executed[0];
    EXPECT_EQ(e.info.struct_size, 48u);
    EXPECT_EQ(e.info.type, 0u);
    EXPECT_EQ(e.info.connection_key, 71);
    EXPECT_EQ(e.info.transfer_key, 2);
    EXPECT_EQ(e.info.request_key, 73);
    EXPECT_EQ(e.param_size, 40u);
    EXPECT_EQ(e.transfer.completion_status, static_cast<std::int32_t>(0xC000CF07u));
    EXPECT_EQ(e.transfer.buffer, nullptr);
    EXPECT_EQ(e.transfer.offset, 4096);
    EXPECT_EQ(e.transfer.length, 8192);
    EXPECT_FALSE(pending().find(id));
    // The cancellation took its stream's request although its event was lost.
    EXPECT_FALSE(pending().find(earlier));
    EXPECT_EQ(pending().size(), before - 1);

    // Nothing of the lost lines is left in front of the next one.
    const CallbackInfo plain;
    on_open_completion(&plain, nullptr);
    EXPECT_EQ(output.take(), (std::vector<std::string>{R"({"event":"opened","path":"","pid":0})"}));
}

// ---- "data" and "fail" ------------------------------------------------------------------------

TEST_F(Hydration, ChunkReachingEndOfFileCompletesShortOfTheRequiredLength) {
    const std::uint64_t id = fetch(3, 5000, 0, 8192);
    const std::string bytes = pattern(5000, 3);
    EXPECT_EQ(data(id, base64_of(bytes), 0), "{}");
    ASSERT_EQ(executed.size(), 1u);
    const Executed& e = executed[0];
    EXPECT_EQ(e.info.struct_size, 48u);
    EXPECT_EQ(e.info.type, 0u);
    EXPECT_EQ(e.info.connection_key, 7003);
    EXPECT_EQ(e.info.transfer_key, 3);
    EXPECT_EQ(e.info.request_key, 9003);
    EXPECT_EQ(e.info.correlation_vector, nullptr);
    EXPECT_EQ(e.info.sync_status, nullptr);
    EXPECT_EQ(e.param_size, 40u);
    EXPECT_EQ(e.transfer.flags, 0u);
    EXPECT_EQ(e.transfer.completion_status, 0);
    EXPECT_EQ(e.transfer.offset, 0);
    EXPECT_EQ(e.transfer.length, 5000);
    EXPECT_EQ(e.bytes, bytes);
    EXPECT_FALSE(pending().find(id));
    EXPECT_EQ(data(id, base64_of(bytes), 0), R"({"stale":true})");
    EXPECT_EQ(executed.size(), 1u);
}

TEST_F(Hydration, ChunksInOrderRetireTheRequestAtTheLast) {
    const std::uint64_t id = fetch(3, 1 << 20, 0, 8192);
    EXPECT_EQ(data(id, base64_of(pattern(4096, 1)), 0), "{}");
    EXPECT_TRUE(pending().find(id));
    EXPECT_EQ(data(id, base64_of(pattern(4096, 2)), 4096), "{}");
    EXPECT_FALSE(pending().find(id));
    ASSERT_EQ(executed.size(), 2u);
    EXPECT_EQ(executed[1].transfer.offset, 4096);
    EXPECT_EQ(executed[1].bytes, pattern(4096, 2));
}

TEST_F(Hydration, LastChunkFirstStillTakesTheEarlierChunk) {
    const std::uint64_t id = fetch(3, 1 << 20, 0, 8192);
    EXPECT_EQ(data(id, base64_of(pattern(4096, 2)), 4096), "{}");
    EXPECT_TRUE(pending().find(id)) << "bytes 0-4095 are still missing";
    EXPECT_EQ(data(id, base64_of(pattern(4096, 1)), 0), "{}");
    EXPECT_FALSE(pending().find(id));
    ASSERT_EQ(executed.size(), 2u);
    EXPECT_EQ(executed[1].transfer.offset, 0);
    EXPECT_EQ(executed[1].bytes, pattern(4096, 1));
    EXPECT_EQ(data(id, base64_of(pattern(4096, 1)), 0), R"({"stale":true})");
}

TEST_F(Hydration, OverlappingAndRepeatedChunksCountOnce) {
    const std::uint64_t id = fetch(3, 1 << 20, 4096, 12288);
    EXPECT_EQ(data(id, base64_of(pattern(8192, 1)), 8192), "{}");   // 8192-16383
    EXPECT_EQ(data(id, base64_of(pattern(8192, 1)), 8192), "{}");   // the same again
    EXPECT_EQ(data(id, base64_of(pattern(4096, 2)), 12288), "{}");  // inside what arrived
    EXPECT_TRUE(pending().find(id));
    // A chunk that starts before the required range and ends inside delivered bytes closes it.
    EXPECT_EQ(data(id, base64_of(pattern(12288, 3)), 0), "{}");
    EXPECT_FALSE(pending().find(id));
}

TEST_F(Hydration, ChunkOfTheTailAloneKeepsTheRecord) {
    const std::uint64_t id = fetch(3, 8192, 0, 8192);
    EXPECT_EQ(data(id, base64_of(pattern(4096, 2)), 4096), "{}");
    EXPECT_TRUE(pending().find(id));
    EXPECT_EQ(fail(id), "{}");  // the parent may still fail the request as a whole
}

TEST(RangeSet, MergesAndCovers) {
    RangeSet r;
    EXPECT_TRUE(r.covers(5, 5));
    EXPECT_FALSE(r.covers(0, 1));
    r.add(10, 20);
    r.add(30, 40);
    EXPECT_TRUE(r.covers(12, 20));
    EXPECT_FALSE(r.covers(15, 31));
    r.add(20, 30);  // touching on both sides joins all three
    EXPECT_TRUE(r.covers(10, 40));
    r.add(0, 5);
    r.add(3, 12);
    EXPECT_TRUE(r.covers(0, 40));
    EXPECT_FALSE(r.covers(0, 41));
    r.add(50, 45);  // empty: ignored
    EXPECT_FALSE(r.covers(45, 50));
}

TEST(RangeSet, FirstGapStopsAtPresentContent) {
    using Span = std::pair<std::int64_t, std::int64_t>;
    RangeSet r;
    EXPECT_EQ(r.first_gap(0, 100), (Span{0, 100}));
    r.add(10, 20);
    r.add(40, 50);
    EXPECT_EQ(r.first_gap(0, 100), (Span{0, 10}));
    EXPECT_EQ(r.first_gap(10, 100), (Span{20, 40}));
    EXPECT_EQ(r.first_gap(15, 30), (Span{20, 30}));
    EXPECT_EQ(r.first_gap(45, 100), (Span{50, 100}));
    EXPECT_FALSE(r.first_gap(12, 18));
    EXPECT_FALSE(r.first_gap(40, 50));
    EXPECT_FALSE(r.first_gap(60, 60));
}

TEST_F(Hydration, RefusedChunkKeepsTheRecord) {
    const std::uint64_t id = fetch(3, 8192, 0, 8192);
    execute_result = INVALID_REQUEST;
    EXPECT_EQ(data(id, base64_of(pattern(8192, 1)), 0), "error 0x8007017c");
    EXPECT_TRUE(pending().find(id));
    execute_result = 0;
    EXPECT_EQ(data(id, base64_of(pattern(8192, 1)), 0), "{}");
    EXPECT_FALSE(pending().find(id));
}

TEST_F(Hydration, FailAfterOneChunkFailsTheWholeRangeOnce) {
    const std::uint64_t id = fetch(4, 1 << 20, 8192, 8192);
    EXPECT_EQ(data(id, base64_of(pattern(4096, 1)), 8192), "{}");
    EXPECT_CALL(mock, execute).WillOnce([&](const OperationInfo* info, OperationParameters* parameters) {
        EXPECT_FALSE(pending().find(id)) << "the record goes before the platform hears of the failure";
        EXPECT_EQ(info->request_key, 9004);
        EXPECT_EQ(parameters->param_size, 40u);
        EXPECT_EQ(parameters->transfer_data.completion_status, static_cast<std::int32_t>(0xC000CF07u));
        EXPECT_EQ(parameters->transfer_data.buffer, nullptr);
        EXPECT_EQ(parameters->transfer_data.offset, 8192);
        EXPECT_EQ(parameters->transfer_data.length, 8192);
        return 0;
    });
    EXPECT_EQ(fail(id), "{}");
    EXPECT_EQ(fail(id), R"({"stale":true})");
}

TEST_F(Hydration, RefusedFailStillRetiresTheRecord) {
    const std::uint64_t id = fetch(4, 4096, 0, 4096);
    execute_result = INVALID_REQUEST;
    EXPECT_EQ(fail(id), "error 0x8007017c");
    EXPECT_FALSE(pending().find(id));
    EXPECT_EQ(fail(id), R"({"stale":true})");
}

TEST_F(Hydration, UnreadableRequestIdsAreStaleWithoutPlatformCall) {
    fetch(1, 4096, 0, 4096);
    const std::uint64_t id = fetch(1, 4096, 0, 4096);
    const std::string n = std::to_string(id);
    for (const std::string& req : {std::string(), std::string(R"("req":0,)"), std::string(R"("req":-)" + n + ","),
                                   std::string(R"("req":)" + n + ".5,"), std::string(R"("req":")" + n + R"(",)"),
                                   std::string(R"("req":null,)"), std::string(R"("req":18446744073709551616,)")}) {
        EXPECT_EQ(data_raw("{" + req + R"("b64":"AAAA"})"), R"({"stale":true})") << req;
        EXPECT_EQ(run(cmd_fail(json::parse("{" + req + R"("cmd":"fail"})"))), R"({"stale":true})") << req;
    }
    EXPECT_TRUE(executed.empty());
    EXPECT_TRUE(pending().find(id));
}

TEST_F(Hydration, DataWithoutOffsetWritesAtZero) {
    const std::uint64_t id = fetch(5, 3, 0, 4096);
    EXPECT_EQ(data_raw(R"({"req":)" + std::to_string(id) + R"(,"b64":"YWJj"})"), "{}");
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].transfer.offset, 0);
    EXPECT_EQ(executed[0].bytes, "abc");
}

TEST_F(Hydration, RequiredEndAndChunkEndDoNotOverflow) {
    constexpr std::int64_t MAX = std::numeric_limits<std::int64_t>::max();
    // offset + length past the int64 range: the required end is the file size.
    std::uint64_t id = fetch(5, MAX, MAX - 4096, MAX);
    EXPECT_EQ(data(id, "AAAA", MAX - 1), "{}");  // the chunk end saturates at the limit
    EXPECT_TRUE(pending().find(id));
    EXPECT_EQ(data(id, base64_of(pattern(4096, 1)), MAX - 4096), "{}");
    EXPECT_FALSE(pending().find(id));
    // A chunk at a very negative offset reaches nothing.
    id = fetch(5, 8192, 0, 8192);
    EXPECT_EQ(data(id, "AAAA", std::numeric_limits<std::int64_t>::min()), "{}");
    EXPECT_TRUE(pending().find(id));
}

// ---- Base64 -------------------------------------------------------------------------------

TEST(Base64, AcceptsStrictTextOnly) {
    struct Case {
        std::string_view text;
        std::optional<std::string> bytes;
    };
    const Case cases[] = {
        {"", std::string()},
        {"YQ==", "a"},
        {"YWI=", "ab"},
        {"YWJj", "abc"},
        {"+/+/", "\xFB\xFF\xBF"},
        {"AAAAAA==", std::string(4, '\0')},
        {"YQ", std::nullopt},          // padding missing
        {"YWI", std::nullopt},
        {"YQ=", std::nullopt},         // length not a multiple of four
        {"YQ===", std::nullopt},
        {"Y===", std::nullopt},         // three "="
        {"====", std::nullopt},
        {"YR==", std::nullopt},        // bits after the data are not zero
        {"YWJ=", std::nullopt},
        {"YQ==YWJj", std::nullopt},    // padding in the middle
        {"YW=j", std::nullopt},
        {"=WJj", std::nullopt},
        {"YWJj\n", std::nullopt},      // line break
        {"YW Jj", std::nullopt},
        {"YWJj YWJj", std::nullopt},
        {"YWJ\nYWJj", std::nullopt},
        {"YWJ-", std::nullopt},        // URL-safe alphabet is not the standard one
        {"YWJ_", std::nullopt},
        {"YW\xC3\xA9", std::nullopt},
        {std::string_view("YW\0j", 4), std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<std::size_t> size = strict_base64_size(c.text);
        bool accepted = size.has_value();
        std::string out;
        if (accepted) {
            out.assign(*size, '\x55');
            accepted = strict_base64_decode(c.text, out.data());
        }
        EXPECT_EQ(accepted, c.bytes.has_value()) << c.text;
        if (accepted && c.bytes) {
            EXPECT_EQ(out, *c.bytes) << c.text;
        }
    }
    const std::string all = pattern(1000, 9);
    for (std::size_t n : {1u, 2u, 3u, 100u, 999u, 1000u}) {
        const std::string text = base64_of(all.substr(0, n));
        ASSERT_EQ(strict_base64_size(text), n);
        std::string out(n, '\0');
        ASSERT_TRUE(strict_base64_decode(text, out.data()));
        EXPECT_EQ(out, all.substr(0, n));
    }
}

TEST_F(Hydration, InvalidContentIsRefusedAndSendsNothing) {
    const std::uint64_t id = fetch(5, 8192, 0, 8192);
    const std::string n = std::to_string(id);
    for (const std::string& b64 : {std::string(), std::string(R"("b64":null,)"), std::string(R"("b64":12,)"),
                                   std::string(R"("b64":"YQ",)"), std::string(R"("b64":"YWJj\n",)"),
                                   std::string(R"("b64":"YR==",)")}) {
        EXPECT_EQ(data_raw("{" + b64 + R"("req":)" + n + "}"), "error 0x80070057") << b64;
    }
    EXPECT_TRUE(executed.empty());
    EXPECT_TRUE(pending().find(id));
    // An unknown id is stale before the content is looked at.
    EXPECT_EQ(data_raw(R"({"req":0,"b64":"YQ"})"), R"({"stale":true})");
}

TEST_F(Hydration, EmptyContentGoesToThePlatform) {
    const std::uint64_t id = fetch(5, 8192, 0, 8192);
    execute_result = INVALID_REQUEST;
    EXPECT_EQ(data(id, "", 0), "error 0x8007017c");
    ASSERT_EQ(executed.size(), 1u);
    EXPECT_EQ(executed[0].transfer.length, 0);
    EXPECT_TRUE(pending().find(id));
}

// ---- "progress" -------------------------------------------------------------------------------

TEST_F(Hydration, ProgressReportsWithTheFetchsKeysAndKeepsItOutstanding) {
    const std::uint64_t id = fetch(3, 1 << 20, 0, 1 << 20);
    const std::string req = R"({"req":)" + std::to_string(id);
    auto progress = [](const std::string& text) { return run(cmd_progress(json::parse(text + "}"))); };
    EXPECT_CALL(mock, report_provider_progress(7003, 3, 1048576, 4096)).WillOnce(Return(S_OK_CODE));
    EXPECT_EQ(progress(req + R"(,"total":1048576,"completed":4096)"), "{}");
    EXPECT_CALL(mock, report_provider_progress(7003, 3, 0, 0)).WillOnce(Return(INVALID_REQUEST));
    EXPECT_EQ(progress(req + R"(,"total":0,"completed":0)"), "error 0x8007017c");
    // Counts missing, negative, not integers, beyond 63 bits or out of order reach no platform call.
    for (const char* counts : {R"(,"total":10)", R"(,"completed":0)", R"(,"total":10,"completed":11)",
                               R"(,"total":-1,"completed":-2)", R"(,"total":10.0,"completed":1)",
                               R"(,"total":18446744073709551615,"completed":1)"})
        EXPECT_EQ(progress(req + counts), "error 0x80070057") << counts;
    // Still outstanding; once its data is in, stale whatever the counts.
    EXPECT_EQ(data(id, base64_of(pattern(1 << 20, 'a')), 0), "{}");
    EXPECT_EQ(progress(req + R"(,"total":10,"completed":1)"), R"({"stale":true})");
}

// ---- "hydrate" --------------------------------------------------------------------------------

class Hydrate : public Hydration {
protected:
    // Runs "hydrate" and returns its late answer, written by the worker thread.
    std::string hydrate(std::string_view request) {
        Outcome outcome = cmd_hydrate(json::parse(request));
        EXPECT_TRUE(outcome.deferred());  // the main loop writes nothing for it
        EXPECT_TRUE(output.wait_for_lines(1));
        output.barrier();  // the worker has left the platform's write before the mock goes
        const std::vector<std::string> lines = output.take();
        EXPECT_EQ(lines.size(), 1u);
        return lines.empty() ? std::string() : lines[0];
    }
};

TEST_F(Hydrate, OpensHydratesClosesAndAnswersLate) {
    EXPECT_CALL(mock, create_file(_, 0x81u, 7u, 3u, 0x02000000u))
        .WillOnce([](const char16_t* path, auto, auto, auto, auto) {
            EXPECT_EQ(utf8(path), "/root/f\xC3\xA9");
            return Handle{77};
        });
    EXPECT_CALL(mock, hydrate_placeholder(Handle{77}, 0, -1, 0u)).WillOnce(Return(0));
    EXPECT_CALL(mock, close_handle(Handle{77})).WillOnce(Return(false));  // ignored
    EXPECT_EQ(hydrate(R"({"cmd":"hydrate","path":"/root/f\u00e9","seq":{"b":1,"a":[2]}})"),
              R"({"ok":true,"result":{},"seq":{"a":[2],"b":1}})");
}

TEST_F(Hydrate, FailuresAnswerWithErrorTextAndNoCode) {
    ON_CALL(mock, system_message(static_cast<Hresult>(0x80070002u)))
        .WillByDefault(Return(u"The system cannot find the file specified.\r\n"));
    EXPECT_CALL(mock, create_file).WillOnce([](const char16_t* path, auto, auto, auto, auto) {
        EXPECT_EQ(utf8(path), "");
        return INVALID_HANDLE;
    });
    EXPECT_CALL(mock, last_error).WillRepeatedly(Return(2u));
    EXPECT_EQ(hydrate(R"({"cmd":"hydrate","path":7})"),
              R"x({"error":"The system cannot find the file specified. (0x80070002)","ok":false,"seq":null})x");

    EXPECT_CALL(mock, create_file).WillOnce(Return(Handle{5}));
    EXPECT_CALL(mock, hydrate_placeholder(Handle{5}, 0, -1, 0u)).WillOnce(Return(static_cast<Hresult>(0x800701AAu)));
    EXPECT_CALL(mock, close_handle(Handle{5})).WillOnce(Return(true));
    EXPECT_EQ(hydrate(R"({"cmd":"hydrate","path":"/x","seq":"s"})"), R"({"error":"0x800701AA","ok":false,"seq":"s"})");
}

// Workers wait in the platform until their files are local: however many requests come at once,
// no more than the pool's threads exist, the rest wait in the queue, and each gets one answer.
TEST_F(Hydrate, ManyRequestsRunOnABoundedPoolAndAreEachAnsweredOnce) {
    constexpr int REQUESTS = 10000;
    std::mutex lock;
    std::condition_variable changed;
    int inside = 0, most = 0;
    bool release = false;
    ON_CALL(mock, create_file).WillByDefault(Return(Handle{5}));
    ON_CALL(mock, close_handle).WillByDefault(Return(true));
    ON_CALL(mock, hydrate_placeholder).WillByDefault([&](Handle, std::int64_t, std::int64_t, std::uint32_t) {
        std::unique_lock<std::mutex> guard(lock);
        most = std::max(most, ++inside);
        changed.notify_all();
        changed.wait(guard, [&] { return release; });
        --inside;
        return Hresult{0};
    });
    for (int i = 0; i < REQUESTS; ++i)
        EXPECT_TRUE(cmd_hydrate(json::value{{"cmd", "hydrate"}, {"path", "/f"}, {"seq", i}}).deferred());
    {
        std::unique_lock<std::mutex> guard(lock);
        EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(10),
                                     [&] { return inside == static_cast<int>(hydrate_threads()); }));
    }
    EXPECT_EQ(hydrate_threads(), 64u);  // that many hydrate at once
    EXPECT_TRUE(output.lines().empty());  // every worker still waits for its file
    {
        std::lock_guard<std::mutex> guard(lock);
        release = true;
    }
    changed.notify_all();
    ASSERT_TRUE(output.wait_for_lines(REQUESTS));
    output.barrier();
    std::vector<int> answers(REQUESTS, 0);
    for (const std::string& line : output.take()) {
        const json::value answer = json::parse(line);
        EXPECT_EQ(answer.at("ok"), true);
        ++answers.at(static_cast<std::size_t>(answer.at("seq").to_number<int>()));
    }
    EXPECT_EQ(std::count(answers.begin(), answers.end(), 1), REQUESTS);
    EXPECT_EQ(most, 64);
    EXPECT_EQ(hydrate_threads(), 64u);
}

}  // namespace
}  // namespace zcf
