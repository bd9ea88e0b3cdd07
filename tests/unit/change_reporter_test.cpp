#include "syncroot/change_reporter.h"

#include "dispatch/dispatch.h"
#include "syncroot/syncroot.h"
#include "support/captured_output.h"
#include "support/mock_platform.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using zcf::testing::CapturedOutput;
using zcf::testing::MockPlatform;
using zcf::testing::ScopedPlatform;
using zcf::testing::utf8;
using namespace std::chrono_literals;

class StepClock final : public ChangeClock {
public:
    TimePoint now() override { return now_; }
    void advance(std::chrono::milliseconds by) { now_ += by; }

private:
    TimePoint now_{};
};

// The state "changed" events carry: what the test set for the path, the calls counted.
std::map<std::string, int> STATES;
std::vector<std::string> READ_PATHS;
json::value read_state(std::string_view path) {
    READ_PATHS.emplace_back(path);
    json::object state;
    state["state"] = STATES[std::string(path)];
    return state;
}

ChangeRecord record(std::uint32_t action, std::u16string name, std::uint32_t attributes = INVALID_FILE_ATTRIBUTES_WORD) {
    return ChangeRecord{action, std::move(name), attributes, std::nullopt};
}

class Reporter : public ::testing::Test {
protected:
    void SetUp() override {
        STATES.clear();
        READ_PATHS.clear();
        output.attach();
    }
    std::vector<std::string> events() { return output.take(); }

    NiceMock<MockPlatform> mock;
    ScopedPlatform installed{mock};
    CapturedOutput output;
    StepClock clock;
    ChangeReporter reporter{ReportedRoot{"/r", "/r", '/'}, read_state, clock};
};

TEST_F(Reporter, BurstOfChangesToOnePathIsOneEventWithTheStateAtItsEnd) {
    reporter.report({record(change_action::MODIFIED, u"a.txt"), record(change_action::MODIFIED, u"b.txt")});
    clock.advance(60ms);
    reporter.report({record(change_action::MODIFIED, u"a.txt")});
    clock.advance(39ms);
    EXPECT_TRUE(reporter.write_due().has_value());
    EXPECT_TRUE(events().empty());  // 99 ms after the first change: not yet

    STATES["/r/a.txt"] = 7;
    clock.advance(1ms);
    EXPECT_FALSE(reporter.write_due().has_value());
    EXPECT_EQ(events(), (std::vector<std::string>{R"({"event":"changed","path":"/r/a.txt","state":7})",
                                                  R"({"event":"changed","path":"/r/b.txt","state":0})"}));
    EXPECT_EQ(READ_PATHS, (std::vector<std::string>{"/r/a.txt", "/r/b.txt"}));

    // A change after the event starts a new interval.
    reporter.report({record(change_action::MODIFIED, u"a.txt")});
    clock.advance(100ms);
    reporter.write_due();
    EXPECT_EQ(events().size(), 1u);
}

TEST_F(Reporter, RenamesCarryWaitingChangesAlongAndDeletionsDropThem) {
    reporter.report({record(change_action::MODIFIED, u"d/x"), record(change_action::MODIFIED, u"d/y/z"),
                     record(change_action::MODIFIED, u"dd/w"), record(change_action::MODIFIED, u"gone/v")});
    clock.advance(50ms);
    reporter.report({record(change_action::RENAMED_OLD_NAME, u"d"), record(change_action::RENAMED_NEW_NAME, u"e"),
                     record(change_action::REMOVED, u"gone")});
    EXPECT_EQ(events(), (std::vector<std::string>{R"({"event":"renamed","from":"/r/d","path":"/r/e"})",
                                                  R"({"event":"deleted","path":"/r/gone"})"}));
    // A rename onto a placeholder says whose identity it replaced, where the system knows.
    ChangeRecord onto = record(change_action::RENAMED_NEW_NAME, u"doc.txt");
    onto.replaced_identity = std::string("id-\xff", 4);
    reporter.report({record(change_action::RENAMED_OLD_NAME, u"doc.txt.tmp"), onto});
    EXPECT_EQ(events(), (std::vector<std::string>{
                            R"({"event":"renamed","from":"/r/doc.txt.tmp","path":"/r/doc.txt","replacedIdentity":"id-)"
                            "\xEF\xBF\xBD" R"("})"}));
    clock.advance(50ms);  // the moved changes keep their time
    reporter.write_due();
    std::vector<std::string> changed = events();
    std::sort(changed.begin(), changed.end());
    EXPECT_EQ(changed, (std::vector<std::string>{R"({"event":"changed","path":"/r/dd/w","state":0})",
                                                 R"({"event":"changed","path":"/r/e/x","state":0})",
                                                 R"({"event":"changed","path":"/r/e/y/z","state":0})"}));
}

TEST_F(Reporter, HalvesOfMovesAreDeletionsAndCreations) {
    // An old name followed by anything but its new name left the tree.
    reporter.report({record(change_action::RENAMED_OLD_NAME, u"a"), record(change_action::ADDED, u"b", 0x10),
                     record(change_action::RENAMED_NEW_NAME, u"c", 0x20)});
    EXPECT_EQ(events(), (std::vector<std::string>{R"({"event":"deleted","path":"/r/a"})",
                                                  R"({"event":"created","folder":true,"path":"/r/b"})",
                                                  R"({"event":"created","folder":false,"path":"/r/c"})"}));
    // The two halves may come in two reads; the old name alone becomes a deletion after the interval.
    reporter.report({record(change_action::RENAMED_OLD_NAME, u"p")});
    reporter.report({record(change_action::RENAMED_NEW_NAME, u"q")});
    reporter.report({record(change_action::RENAMED_OLD_NAME, u"s")});
    clock.advance(99ms);
    reporter.write_due();
    EXPECT_EQ(events(), (std::vector<std::string>{R"({"event":"renamed","from":"/r/p","path":"/r/q"})"}));
    clock.advance(1ms);
    EXPECT_FALSE(reporter.write_due().has_value());
    EXPECT_EQ(events(), (std::vector<std::string>{R"({"event":"deleted","path":"/r/s"})"}));
}

TEST_F(Reporter, CreatedReadsTheAttributesTheSystemDidNotGive) {
    EXPECT_CALL(mock, file_attributes(_)).WillRepeatedly([](const char16_t* path) {
        const std::string p = utf8(path);
        return p == "/r/dir" ? 0x10u : p == "/r/file" ? 0x20u : INVALID_FILE_ATTRIBUTES_WORD;
    });
    reporter.report({record(change_action::ADDED, u"dir"), record(change_action::ADDED, u"file"),
                     record(change_action::ADDED, u"vanished"), record(change_action::MODIFIED, u"")});
    reporter.report_overflow();
    EXPECT_EQ(events(), (std::vector<std::string>{R"({"event":"created","folder":true,"path":"/r/dir"})",
                                                  R"({"event":"created","folder":false,"path":"/r/file"})",
                                                  R"({"event":"created","folder":false,"path":"/r/vanished"})",
                                                  R"({"event":"rescan","path":"/r"})"}));
}

TEST_F(Reporter, WindowsPathsReadTheStateByDriveAndNameFilesFromTheVolumeRoot) {
    ChangeReporter windows{ReportedRoot{"C:\\", "\\", '\\'}, read_state, clock};
    windows.report({record(change_action::MODIFIED, u"Docs\\a.txt")});
    clock.advance(100ms);
    windows.write_due();
    EXPECT_EQ(READ_PATHS, (std::vector<std::string>{"C:\\Docs\\a.txt"}));
    EXPECT_EQ(events(), (std::vector<std::string>{R"({"event":"changed","path":"\\Docs\\a.txt","state":0})"}));
}

// ---- "connect" with "watch", against a watcher the test drives --------------------------------

std::vector<std::string> LOG;

class FakeWatch final : public DirectoryWatch {
public:
    ~FakeWatch() override { LOG.push_back("watch ended"); }
};

class FakeWatcher final : public DirectoryWatcher {
public:
    Hresult watch(const char16_t* root, ChangeSink& sink, std::unique_ptr<DirectoryWatch>& watch,
                  WatchedRoot& names) override {
        LOG.push_back("watch " + utf8(root));
        if (result < 0) return result;
        this->sink = &sink;
        watch = std::make_unique<FakeWatch>();
        names = WatchedRoot{u"/real/r", u"/real/r"};
        return S_OK_CODE;
    }
    Hresult result = S_OK_CODE;
    ChangeSink* sink = nullptr;
};

class WatchedConnection : public ::testing::Test {
protected:
    void SetUp() override {
        LOG.clear();
        set_directory_watcher(&watcher);
        output.attach();
        ON_CALL(mock, connect_sync_root).WillByDefault([](auto, auto, auto, auto, ConnectionKey* key) {
            LOG.push_back("connected");
            *key = 5;
            return S_OK_CODE;
        });
        ON_CALL(mock, disconnect_sync_root).WillByDefault([](ConnectionKey) {
            LOG.push_back("disconnected");
            return S_OK_CODE;
        });
        ON_CALL(mock, path_separator).WillByDefault(Return(u'/'));
        ON_CALL(mock, file_attributes).WillByDefault(Return(0x20u));
    }
    void TearDown() override {
        cmd_disconnect(json::object());
        set_directory_watcher(nullptr);
    }
    Outcome connect(std::string_view request) { return find_command("connect")->run(json::parse(request)); }

    NiceMock<MockPlatform> mock;
    ScopedPlatform installed{mock};
    FakeWatcher watcher;
    CapturedOutput output;
};

TEST_F(WatchedConnection, WatchesOnlyWhenAskedAndEndsTheWatchBeforeDisconnecting) {
    EXPECT_TRUE(connect(R"({"root":"/r","watch":"yes"})").ok());
    EXPECT_EQ(LOG, (std::vector<std::string>{"connected"}));
    EXPECT_TRUE(connect(R"({"root":"/r","watch":true})").ok());
    ASSERT_NE(watcher.sink, nullptr);
    watcher.sink->on_changes({record(change_action::ADDED, u"new")});
    watcher.sink->on_overflow();
    ASSERT_TRUE(output.wait_for_lines(2));
    EXPECT_EQ(output.take(), (std::vector<std::string>{R"({"event":"created","folder":false,"path":"/real/r/new"})",
                                                       R"({"event":"rescan","path":"/real/r"})"}));
    EXPECT_TRUE(cmd_disconnect(json::object()).ok());
    EXPECT_EQ(LOG, (std::vector<std::string>{"connected", "connected", "watch /r", "watch ended", "disconnected"}));
}

TEST_F(WatchedConnection, AWatchThatCannotStartUndoesTheConnection) {
    watcher.result = static_cast<Hresult>(0x80070005u);
    Outcome outcome = connect(R"({"root":"/r","watch":true})");
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code, static_cast<Hresult>(0x80070005u));
    EXPECT_EQ(LOG, (std::vector<std::string>{"connected", "watch /r", "disconnected"}));
    LOG.clear();
    EXPECT_TRUE(cmd_disconnect(json::object()).ok());  // nothing left to disconnect
    EXPECT_TRUE(LOG.empty());
}

}  // namespace
}  // namespace zcf
