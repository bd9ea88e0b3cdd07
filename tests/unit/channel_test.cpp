// The command channel against the mock platform: arguments, error rendering, the dispatcher,
// framing of input and the emitter.
#include "common/args.h"
#include "dispatch/dispatch.h"
#include "common/open.h"
#include "common/emitter.h"
#include "common/json_writer.h"
#include "main/line_reader.h"
#include "main/main_loop.h"
#include "support/mock_platform.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using testing::MockPlatform;
using testing::ScopedPlatform;

// A mock platform with standard streams that are strings, installed while it lives.
class StreamPlatform : public NiceMock<MockPlatform> {
public:
    StreamPlatform() {
        set_streams(&streams);
        ON_CALL(streams, read_input(_, _)).WillByDefault([this](char* buffer, std::size_t capacity) {
            std::size_t n = std::min({capacity, input.size() - consumed, chunk});
            std::memcpy(buffer, input.data() + consumed, n);
            consumed += n;
            return static_cast<std::ptrdiff_t>(n);
        });
        ON_CALL(streams, write_output(_, _)).WillByDefault([this](const char* data, std::size_t size) {
            std::lock_guard<std::mutex> guard(lock);
            ++writes;
            output.append(data, size);
            return true;
        });
        ON_CALL(*this, system_message(_)).WillByDefault(Return(u"System text.\r\n"));
        ON_CALL(*this, process_id()).WillByDefault(Return(4242u));
    }
    ~StreamPlatform() override { set_streams(nullptr); }
    NiceMock<testing::MockStreams> streams;
    std::string input;
    std::size_t consumed = 0;
    std::size_t chunk = 1 << 20;  // bytes per read, to split lines across reads
    std::mutex lock;
    std::string output;
    int writes = 0;
};

json::value request(std::string_view text) { return json::parse(text); }

TEST(Arguments, DefaultsForMissingAndMistypedValues) {
    const json::value r = request(R"({"s":"x","n":5,"neg":-3,"big":18446744073709551615,"f":1.5,"str":"7","l":[1],"o":{}})");
    EXPECT_EQ(text_arg(r, "s"), "x");
    EXPECT_EQ(text_arg(r, "n", "dflt"), "dflt");
    EXPECT_EQ(text_arg(r, "missing", "dflt"), "dflt");
    EXPECT_EQ(u64_arg(r, "n"), 5u);
    EXPECT_EQ(u64_arg(r, "neg"), 0u);
    EXPECT_EQ(u64_arg(r, "big"), 18446744073709551615u);
    EXPECT_EQ(u64_arg(r, "f"), 0u);
    EXPECT_EQ(u64_arg(r, "str"), 0u);
    EXPECT_EQ(i64_arg(r, "neg"), -3);
    EXPECT_EQ(i64_arg(r, "big"), 0);
    EXPECT_EQ(i64_arg(r, "f"), 0);
    EXPECT_EQ(list_arg(r, "l").size(), 1u);
    EXPECT_TRUE(list_arg(r, "o").empty());
    EXPECT_TRUE(list_arg(r, "missing").empty());
    // A request that is not an object behaves like one without keys.
    EXPECT_EQ(text_arg(request("[\"s\",\"x\"]"), "s", "d"), "d");
    EXPECT_TRUE(seq_of(request("[1]")).is_null());
    EXPECT_EQ(to_json_text(seq_of(request(R"({"seq":{"b":1,"a":[2]}})"))), R"({"a":[2],"b":1})");
}

TEST(ErrorRendering, CodeAndMessageTexts) {
    StreamPlatform os;
    ScopedPlatform scope(os);
    EXPECT_EQ(error_code_text(0), "0x0");
    EXPECT_EQ(error_code_text(static_cast<Hresult>(0x8007007Bu)), "0x8007007b");
    EXPECT_EQ(error_message_text({static_cast<Hresult>(0x8007007Bu), nullptr}), "System text. (0x8007007B)");
    EXPECT_CALL(os, system_message(0)).WillOnce(Return(u" \t\r\n"));
    EXPECT_EQ(error_message_text({0, nullptr}), "0x00000000");
    const char16_t lone[] = {u'a', 0xD800, u' ', u'\n', 0};
    EXPECT_CALL(os, system_message(5)).WillOnce(Return(lone));
    EXPECT_EQ(error_message_text({5, nullptr}), "a\xEF\xBF\xBD (0x00000005)");
}

class FixedInfo final : public ErrorInfo {
public:
    explicit FixedInfo(std::u16string text) : text_(std::move(text)) {}
    std::u16string description() const override { return text_; }

private:
    std::u16string text_;
};

TEST(ErrorRendering, ErrorInformationWinsOverTheSystemMessage) {
    StreamPlatform os;
    ScopedPlatform scope(os);
    EXPECT_CALL(os, system_message(_)).Times(0);
    EXPECT_EQ(error_message_text({static_cast<Hresult>(0x80040154u), std::make_unique<FixedInfo>(u"From the object.\r\n")}),
              "From the object. (0x80040154)");
    // An empty description is used as it is: no fallback to the system text.
    EXPECT_EQ(error_message_text({static_cast<Hresult>(0x80040154u), std::make_unique<FixedInfo>(u"")}), "0x80040154");
}

TEST(ErrorRendering, LastErrorBecomesAnHresultWithoutErrorInformation) {
    StreamPlatform os;
    ScopedPlatform scope(os);
    EXPECT_CALL(os, take_error_info()).Times(0);
    EXPECT_CALL(os, last_error()).WillOnce(Return(2u)).WillOnce(Return(0u)).WillOnce(Return(0x80000001u));
    EXPECT_EQ(error_from_last_error().code, static_cast<Hresult>(0x80070002u));
    EXPECT_EQ(error_from_last_error().code, 0);
    EXPECT_EQ(error_from_last_error().code, static_cast<Hresult>(0x80000001u));
}

TEST(Open, PassesTheWin32ArgumentsAndReportsTheLastError) {
    StreamPlatform os;
    ScopedPlatform scope(os);
    EXPECT_CALL(os, create_file(_, 0x180u, 7u, 3u, 0x02000000u))
        .WillOnce([](const char16_t* path, auto, auto, auto, auto) {
            EXPECT_EQ(testing::utf8(path), "C:\\x\xC3\xA9");
            return Handle{77};
        });
    EXPECT_CALL(os, close_handle(Handle{77})).WillOnce(Return(true));
    {
        auto opened = open("C:\\x\xC3\xA9", 0x180);
        ASSERT_TRUE(opened.ok());
        EXPECT_EQ(opened.value().get(), Handle{77});
    }
    EXPECT_CALL(os, create_file(_, 0x81u, 7u, 3u, 0x02000000u)).WillOnce(Return(INVALID_HANDLE)).WillOnce(Return(Handle{0}));
    EXPECT_CALL(os, last_error()).WillRepeatedly(Return(2u));
    auto missing = open("", 0x81);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, static_cast<Hresult>(0x80070002u));
    EXPECT_FALSE(open("", 0x81).ok());  // a null handle is a failure too
}

TEST(Open, CloseReportsItsFailure) {
    StreamPlatform os;
    ScopedPlatform scope(os);
    EXPECT_CALL(os, close_handle(Handle{9})).WillOnce(Return(false));
    EXPECT_CALL(os, last_error()).WillOnce(Return(6u));
    FileHandle handle(9);
    auto error = close_file(handle);
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->code, static_cast<Hresult>(0x80070006u));
    EXPECT_FALSE(close_file(handle).has_value());  // closed once only
}

TEST(Dispatcher, UnknownCommandsAreSuccesses) {
    for (const char* text : {R"({"cmd":"Register"})", R"({"cmd":"pin "})", R"({"cmd":"unregisters"})", R"({"cmd":7})",
                             R"({})", R"([1])", R"("pin")", R"({"cmd":"ab"})"}) {
        Outcome outcome = handle(request(text));
        ASSERT_TRUE(outcome.ok()) << text;
        ASSERT_TRUE(outcome.value().is_object());
        const json::object& o = outcome.value().get_object();
        const json::value& expected = request(text).is_object() && request(text).get_object().contains("cmd") &&
                                              request(text).get_object().at("cmd").is_string()
                                          ? request(text).get_object().at("cmd")
                                          : json::value("");
        EXPECT_EQ(o.at("unknown"), expected) << text;
    }
    for (const char* name : {"register", "unregister", "connect", "disconnect", "create", "pin", "dehydrate",
                              "attrs", "adopt", "scan", "data", "fail", "hydrate"})
        EXPECT_NE(find_command(name), nullptr) << name;
}

std::string run_conversation(StreamPlatform& os) {
    ScopedPlatform scope(os);
    EXPECT_EQ(run_main_loop(), 0);
    return os.output;
}

TEST(MainLoop, FramingAcrossReadsAndAnswers) {
    StreamPlatform os;
    os.chunk = 3;  // lines arrive split across many reads
    os.input = "{\"cmd\":\"a\",\"seq\":1}\r\n\n \t \n{\"cmd\":\"b\",\"seq\":\"s\"}\nhello\n{\"cmd\":\"c\"}";
    EXPECT_EQ(run_conversation(os),
              "{\"event\":\"ready\",\"pid\":4242}\n"
              "{\"ok\":true,\"result\":{\"unknown\":\"a\"},\"seq\":1}\n"
              "{\"ok\":true,\"result\":{\"unknown\":\"b\"},\"seq\":\"s\"}\n"
              "{\"error\":\"bad command: expected value at line 1 column 1\",\"ok\":false}\n"
              "{\"ok\":true,\"result\":{\"unknown\":\"c\"},\"seq\":null}\n");
}

TEST(MainLoop, InvalidUtf8AndReadErrorsEndQuietly) {
    StreamPlatform os;
    os.input = "{\"cmd\":\"a\"}\n\xFF\n{\"cmd\":\"b\"}\n";
    EXPECT_EQ(run_conversation(os), "{\"event\":\"ready\",\"pid\":4242}\n{\"ok\":true,\"result\":{\"unknown\":\"a\"},\"seq\":null}\n");

    StreamPlatform failing;
    EXPECT_CALL(failing.streams, read_input(_, _)).WillOnce(Return(-1));
    EXPECT_EQ(run_conversation(failing), "{\"event\":\"ready\",\"pid\":4242}\n");
}

TEST(Emitter, LinesFromManyThreadsNeverInterleave) {
    StreamPlatform os;
    ScopedPlatform scope(os);
    constexpr int THREADS = 8, LINES = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < LINES; ++i) {
                json::object o;
                o["t"] = t;
                o["i"] = i;
                o["pad"] = std::string(100 + 37 * t, 'x');
                emit(std::move(o));
            }
        });
    for (auto& th : threads) th.join();
    // Every line parses whole, and each thread's lines arrive in its own order.
    std::vector<int> next(THREADS, 0);
    std::size_t start = 0;
    int count = 0;
    while (start < os.output.size()) {
        const std::size_t end = os.output.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        const json::value line = json::parse(std::string_view(os.output).substr(start, end - start));
        const int t = static_cast<int>(line.at("t").as_int64());
        EXPECT_EQ(line.at("i").as_int64(), next[t]++);
        start = end + 1;
        ++count;
    }
    EXPECT_EQ(count, THREADS * LINES);
    EXPECT_EQ(os.writes, THREADS * LINES);  // one write per line
}

TEST(Emitter, AFailedWriteDropsTheLineAndTheNextLineIsWhole) {
    StreamPlatform os;
    ScopedPlatform scope(os);
    EXPECT_CALL(os.streams, write_output(_, _)).WillOnce(Return(false)).WillRepeatedly([&os](const char* d, std::size_t n) {
        os.output.append(d, n);
        return true;
    });
    json::object big;
    big["x"] = std::string(200 * 1024, 'a');  // larger than the stream buffer: written in pieces
    emit(std::move(big));
    json::object small;
    small["y"] = 1;
    emit(std::move(small));
    EXPECT_EQ(os.output, "{\"y\":1}\n");
}

}  // namespace
}  // namespace zcf
