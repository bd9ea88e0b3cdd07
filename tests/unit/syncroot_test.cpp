#include "syncroot/syncroot.h"

#include "dispatch/dispatch.h"
#include "hydration/hydration.h"
#include "common/json_writer.h"
#include "support/mock_platform.h"

#include <boost/json/parse.hpp>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::NiceMock;
using ::testing::Return;
using ::testing::StrictMock;
using zcf::testing::MockPlatform;
using zcf::testing::ScopedPlatform;
using zcf::testing::utf8;

class TextErrorInfo final : public ErrorInfo {
public:
    explicit TextErrorInfo(std::u16string text) : text_(std::move(text)) {}
    std::u16string description() const override { return text_; }

private:
    std::u16string text_;
};

std::string result_text(Outcome& outcome) {
    return outcome.ok() ? to_json_text(outcome.value()) : "error " + error_code_text(outcome.error().code);
}

// What register_sync_root received, copied out while the call was running.
struct Registered {
    std::string id, path, name, icon, version;
    std::int32_t hydration_policy;
    std::uint32_t hydration_policy_modifier;
    std::int32_t population_policy;
    std::uint32_t in_sync_policy;
    std::uint32_t hardlink_policy;
    bool show_siblings_as_group;
    std::vector<std::uint8_t> context;
};

Registered run_register(std::string_view request_text) {
    NiceMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    Registered seen{};
    EXPECT_CALL(mock, register_sync_root).WillOnce([&](const SyncRootRegistration& r) {
        seen = Registered{utf8(r.id), utf8(r.path), utf8(r.display_name_resource), utf8(r.icon_resource),
                          utf8(r.version), r.hydration_policy, r.hydration_policy_modifier, r.population_policy,
                          r.in_sync_policy, r.hardlink_policy, r.show_siblings_as_group,
                          std::vector<std::uint8_t>(r.context, r.context + r.context_length)};
        return PlatformError{};
    });
    Outcome outcome = cmd_register(json::parse(request_text));
    EXPECT_EQ(result_text(outcome), "{}");
    return seen;
}

TEST(Register, FillsTheRecordWithDefaultsAndFixedPolicies) {
    const Registered r = run_register(R"({"cmd":"register","root":"/tmp/r\u00e9","id":"Zembra!S-1"})");
    EXPECT_EQ(r.path, "/tmp/r\xC3\xA9");
    EXPECT_EQ(r.id, "Zembra!S-1");
    EXPECT_EQ(r.name, "Zembra Sync");
    EXPECT_EQ(r.icon, "%SystemRoot%\\system32\\imageres.dll,-1043");
    EXPECT_EQ(r.version, "1");
    EXPECT_EQ(r.hydration_policy, 1);
    EXPECT_EQ(r.hydration_policy_modifier, 4u);
    EXPECT_EQ(r.population_policy, 2);
    EXPECT_EQ(r.in_sync_policy, 0x80000000u);
    EXPECT_EQ(r.hardlink_policy, 0u);
    EXPECT_FALSE(r.show_siblings_as_group);
    EXPECT_EQ(r.context, (std::vector<std::uint8_t>{'z', 'e', 'm', 'b', 'r', 'a'}));
}

TEST(Register, PopulationOnDemandIsPolicyFullAndAnythingElseAlwaysFull) {
    EXPECT_EQ(run_register(R"({"root":"/r","id":"i","population":"onDemand"})").population_policy, 1);
    for (const char* population : {R"("full")", R"("ondemand")", R"("")", "true", "null"})
        EXPECT_EQ(run_register(std::string(R"({"root":"/r","id":"i","population":)") + population + "}").population_policy, 2)
            << population;
}

TEST(Register, NonStringArgumentsTakeTheirDefaultsAndStringsAreUsed) {
    Registered r = run_register(R"({"root":5,"id":null,"name":7,"icon":null,"version":[1]})");
    EXPECT_EQ(r.path, "");
    EXPECT_EQ(r.id, "");
    EXPECT_EQ(r.name, "Zembra Sync");
    EXPECT_EQ(r.icon, "%SystemRoot%\\system32\\imageres.dll,-1043");
    EXPECT_EQ(r.version, "1");

    r = run_register(R"({"root":"C:\\r","id":"i","name":"","icon":"x.dll,-2","version":"7.1"})");
    EXPECT_EQ(r.path, "C:\\r");
    EXPECT_EQ(r.name, "");
    EXPECT_EQ(r.icon, "x.dll,-2");
    EXPECT_EQ(r.version, "7.1");
}

TEST(Register, TextsReachThePlatformWholeAcrossNuls) {
    const Registered r =
        run_register(R"({"root":"/r\u0000s","id":"a\u0000b","name":"n\u0000","icon":"\u0000i","version":"1\u00002"})");
    EXPECT_EQ(r.path, std::string("/r\0s", 4));
    EXPECT_EQ(r.id, std::string("a\0b", 3));
    EXPECT_EQ(r.name, std::string("n\0", 2));
    EXPECT_EQ(r.icon, std::string("\0i", 2));
    EXPECT_EQ(r.version, std::string("1\0" "2", 3));
}

TEST(Register, PlatformFailureIsTheErrorWithItsErrorInformation) {
    NiceMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    EXPECT_CALL(mock, register_sync_root).WillOnce([](const SyncRootRegistration&) {
        return PlatformError{static_cast<Hresult>(0x80070057u), std::make_unique<TextErrorInfo>(u"Bad path.\r\n")};
    });
    Outcome outcome = cmd_register(json::parse(R"({"id":"x"})"));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(error_code_text(outcome.error().code), "0x80070057");
    EXPECT_EQ(error_message_text(outcome.error()), "Bad path. (0x80070057)");
}

TEST(Unregister, PassesTheIdAndReturnsThePlatformsAnswer) {
    NiceMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    std::vector<std::string> ids;
    EXPECT_CALL(mock, unregister_sync_root)
        .WillOnce([&](std::u16string_view id) {
            ids.push_back(utf8(id));
            return PlatformError{};
        })
        .WillRepeatedly([&](std::u16string_view id) {
            ids.push_back(utf8(id));
            return PlatformError{static_cast<Hresult>(0x80070490u), nullptr};
        });
    Outcome first = cmd_unregister(json::parse(R"({"id":"a\u00e9"})"));
    Outcome second = cmd_unregister(json::parse(R"({"id":3})"));
    Outcome third = cmd_unregister(json::parse(R"({"id":"a\u0000b"})"));
    EXPECT_EQ(result_text(first), "{}");
    EXPECT_EQ(result_text(second), "error 0x80070490");
    EXPECT_EQ(result_text(third), "error 0x80070490");
    EXPECT_EQ(ids, (std::vector<std::string>{"a\xC3\xA9", "", std::string("a\0b", 3)}));
}

// "connect" as the dispatcher runs it, with the hydration service's callbacks.
Outcome connect_through_dispatcher(const json::value& request) { return find_command("connect")->run(request); }

// CONNECTION lives for the whole process: every test starts by emptying it.
class Connection : public ::testing::Test {
protected:
    void SetUp() override {
        NiceMock<MockPlatform> reset;
        ScopedPlatform installed(reset);
        ON_CALL(reset, disconnect_sync_root).WillByDefault(Return(0));
        cmd_disconnect(json::object());
    }

    // "connect" against `mock`, the platform answering with `result` and `key`.
    std::string connect(MockPlatform& mock, Hresult result, ConnectionKey key) {
        EXPECT_CALL(mock, connect_sync_root)
            .WillOnce([=](const char16_t*, const CallbackRegistration*, const void*, std::uint32_t, ConnectionKey* out) {
                if (result >= 0) *out = key;
                return result;
            });
        Outcome outcome = connect_through_dispatcher(json::parse(R"({"root":"/r"})"));
        return result_text(outcome);
    }

    std::string disconnect() {
        Outcome outcome = cmd_disconnect(json::parse(R"({"cmd":"disconnect"})"));
        return result_text(outcome);
    }
};

TEST_F(Connection, PassesTheRootAFreshTableFlagsAndNullContext) {
    NiceMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    std::vector<const CallbackRegistration*> tables;
    EXPECT_CALL(mock, connect_sync_root)
        .Times(2)
        .WillRepeatedly([&](const char16_t* root, const CallbackRegistration* table, const void* context,
                            std::uint32_t flags, ConnectionKey* key) {
            EXPECT_EQ(utf8(root), "/sync/r\xC3\xA9");
            EXPECT_EQ(context, nullptr);
            EXPECT_EQ(flags, 6u);
            EXPECT_EQ(*key, 0);
            tables.push_back(table);
            *key = 5;
            return static_cast<Hresult>(0x80070186u);
        });
    const json::value request = json::parse(R"({"root":"/sync/r\u00e9"})");
    Outcome first = connect_through_dispatcher(request);
    Outcome second = connect_through_dispatcher(request);
    EXPECT_EQ(result_text(first), "error 0x80070186");
    ASSERT_EQ(tables.size(), 2u);
    // Each connect has its own table, and a failed attempt's table is still intact.
    EXPECT_NE(tables[0], tables[1]);
    for (const CallbackRegistration* table : tables) {
        EXPECT_EQ(table[0].type, 0u);
        EXPECT_EQ(table[0].callback, &on_fetch_data);
        EXPECT_EQ(table[1].type, 2u);
        EXPECT_EQ(table[1].callback, &on_cancel_fetch);
        EXPECT_EQ(table[2].type, 5u);
        EXPECT_EQ(table[2].callback, &on_open_completion);
        // The listing callbacks always: only a folder that is not filled calls them.
        EXPECT_EQ(table[3].type, 3u);
        EXPECT_EQ(table[3].callback, &on_fetch_placeholders);
        EXPECT_EQ(table[4].type, 4u);
        EXPECT_EQ(table[4].callback, &on_cancel_fetch_placeholders);
        EXPECT_EQ(table[5].type, 0xFFFFFFFFu);
        EXPECT_EQ(table[5].callback, nullptr);
    }
}

TEST_F(Connection, ConfirmRegistersTheNotificationsItNames) {
    NiceMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    std::vector<std::vector<std::pair<std::uint32_t, CallbackFunction>>> tables;
    ON_CALL(mock, connect_sync_root)
        .WillByDefault([&](const char16_t*, const CallbackRegistration* table, const void*, std::uint32_t,
                           ConnectionKey* key) {
            auto& entries = tables.emplace_back();
            for (std::size_t i = 5; table[i].type != callback_type::NONE; ++i)
                entries.emplace_back(table[i].type, table[i].callback);
            *key = 9;
            return S_OK_CODE;
        });
    using Entries = std::vector<std::pair<std::uint32_t, CallbackFunction>>;
    const Entries both{{9u, &on_notify_delete}, {11u, &on_notify_rename}};
    const std::pair<const char*, Entries> cases[] = {
        {R"({"root":"/r"})", {}},
        {R"({"root":"/r","confirm":["delete"]})", {{9u, &on_notify_delete}}},
        {R"({"root":"/r","confirm":["rename"]})", {{11u, &on_notify_rename}}},
        {R"({"root":"/r","confirm":["rename",7,"Delete","delete","delete"]})", both},
        {R"({"root":"/r","confirm":"delete"})", {}},
        {R"({"root":"/r","confirm":[]})", {}},
    };
    for (const auto& [request, expected] : cases) {
        tables.clear();
        Outcome outcome = connect_through_dispatcher(json::parse(request));
        EXPECT_EQ(result_text(outcome), "{}");
        ASSERT_EQ(tables.size(), 1u) << request;
        EXPECT_EQ(tables[0], expected) << request;
    }
}

TEST_F(Connection, DisconnectWithoutConnectionIsSuccessWithoutPlatformCall) {
    StrictMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    EXPECT_EQ(disconnect(), "{}");
    EXPECT_EQ(disconnect(), "{}");
}

TEST_F(Connection, ConnectThenDisconnectTwice) {
    StrictMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    EXPECT_EQ(connect(mock, 0, 41), "{}");
    EXPECT_CALL(mock, disconnect_sync_root(41)).WillOnce(Return(0));
    EXPECT_EQ(disconnect(), "{}");
    EXPECT_EQ(disconnect(), "{}");  // no second platform call
}

TEST_F(Connection, FailedConnectKeepsTheStoredKey) {
    StrictMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    EXPECT_CALL(mock, take_error_info).WillRepeatedly([] { return ErrorInfoPtr(); });
    EXPECT_EQ(connect(mock, 0, 41), "{}");
    EXPECT_EQ(connect(mock, static_cast<Hresult>(0x80070195u), 0), "error 0x80070195");
    EXPECT_CALL(mock, disconnect_sync_root(41)).WillOnce(Return(0));
    EXPECT_EQ(disconnect(), "{}");
}

TEST_F(Connection, FailedConnectFromEmptyStaysEmpty) {
    StrictMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    EXPECT_CALL(mock, take_error_info).WillRepeatedly([] { return ErrorInfoPtr(); });
    EXPECT_EQ(connect(mock, static_cast<Hresult>(0x80070195u), 0), "error 0x80070195");
    EXPECT_EQ(disconnect(), "{}");
}

TEST_F(Connection, SecondConnectReplacesTheKeyWithoutDisconnectingTheFirst) {
    StrictMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    EXPECT_EQ(connect(mock, 0, 41), "{}");
    EXPECT_EQ(connect(mock, 0, 42), "{}");
    EXPECT_CALL(mock, disconnect_sync_root(42)).WillOnce(Return(0));
    EXPECT_EQ(disconnect(), "{}");
    EXPECT_EQ(disconnect(), "{}");
}

TEST_F(Connection, FailedDisconnectForgetsTheKey) {
    StrictMock<MockPlatform> mock;
    ScopedPlatform installed(mock);
    EXPECT_CALL(mock, take_error_info).WillRepeatedly([] { return ErrorInfoPtr(); });
    EXPECT_EQ(connect(mock, 0, 41), "{}");
    EXPECT_CALL(mock, disconnect_sync_root(41)).WillOnce(Return(static_cast<Hresult>(0x80070057u)));
    EXPECT_EQ(disconnect(), "error 0x80070057");
    EXPECT_EQ(disconnect(), "{}");
}

}  // namespace
}  // namespace zcf
