// "pin", "dehydrate", "attrs" and the placeholder query: exact calls, precedence of failures.
#include "placeholders/placeholder_info.h"
#include "placeholders/placeholders.h"
#include "support/mock_platform.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::AnyNumber;
using ::testing::InSequence;
using ::testing::IsNull;
using ::testing::Return;
using ::testing::StrictMock;
using ::testing::Truly;
using zcf::testing::MockPlatform;
using zcf::testing::ScopedPlatform;

constexpr Handle FILE_HANDLE = 0x44;

auto path_is(std::string expected) {
    return Truly([expected](const char16_t* p) { return testing::utf8(p) == expected; });
}

// Writes a CF_PLACEHOLDER_BASIC_INFO into the query buffer.
auto basic_info(std::uint32_t in_sync, std::string identity, std::uint32_t length_field) {
    return [=](Handle, std::uint32_t, void* buffer, std::uint32_t length, std::uint32_t*) {
        auto* bytes = static_cast<unsigned char*>(buffer);
        std::memcpy(bytes + 4, &in_sync, 4);
        std::memcpy(bytes + 24, &length_field, 4);
        std::memcpy(bytes + 28, identity.data(), std::min<std::size_t>(identity.size(), length - 28));
        return S_OK_CODE;
    };
}
auto basic_info(std::uint32_t in_sync, std::string identity) {
    return basic_info(in_sync, identity, static_cast<std::uint32_t>(identity.size()));
}

class State : public ::testing::Test {
protected:
    void SetUp() override {
        EXPECT_CALL(os, take_error_info()).Times(AnyNumber()).WillRepeatedly([] { return ErrorInfoPtr(); });
    }
    Outcome run(std::string_view request) {
        if (request.find("\"pin\"") != std::string_view::npos) return cmd_pin(json::parse(request));
        return cmd_dehydrate(json::parse(request));
    }
    // Expects the open that "pin" and "dehydrate" make.
    void expect_open(const std::string& path, Handle result = FILE_HANDLE) {
        EXPECT_CALL(os, create_file(path_is(path), 0x180u, 7u, 3u, 0x02000000u)).WillOnce(Return(result));
    }
    // Expects the open, query and close of one placeholder query.
    template <typename Query>
    void expect_query(const std::string& path, Query query) {
        EXPECT_CALL(os, create_file(path_is(path), 0x80u, 7u, 3u, 0x02000000u)).WillOnce(Return(FILE_HANDLE));
        EXPECT_CALL(os, get_placeholder_info(FILE_HANDLE, 0u, _, 4128u, IsNull())).WillOnce(query);
        EXPECT_CALL(os, close_handle(FILE_HANDLE)).WillOnce(Return(true));
    }

    StrictMock<MockPlatform> os;
    ScopedPlatform scope{os};
};

TEST_F(State, PinMapsTheStateTextAndRecurses) {
    const std::pair<const char*, std::uint32_t> cases[] = {
        {R"({"cmd":"pin","path":"/r/d","state":"pinned"})", 1},
        {R"({"cmd":"pin","path":"/r/d","state":"unpinned"})", 2},
        {R"({"cmd":"pin","path":"/r/d","state":"Pinned"})", 0},
        {R"({"cmd":"pin","path":"/r/d","state":"other"})", 0},
        {R"({"cmd":"pin","path":"/r/d","state":1})", 0},
        {R"({"cmd":"pin","path":"/r/d"})", 0},
    };
    for (const auto& [request, state] : cases) {
        InSequence order;
        expect_open("/r/d");
        EXPECT_CALL(os, set_pin_state(FILE_HANDLE, state, 1u)).WillOnce(Return(S_OK_CODE));
        EXPECT_CALL(os, close_handle(FILE_HANDLE)).WillOnce(Return(true));
        Outcome outcome = run(request);
        ASSERT_TRUE(outcome.ok()) << request;
        EXPECT_EQ(json::serialize(outcome.value()), "{}");
        ::testing::Mock::VerifyAndClearExpectations(&os);
    }
}

TEST_F(State, DehydrateAsksForTheWholeFile) {
    InSequence order;
    expect_open("/r/f.txt");
    EXPECT_CALL(os, dehydrate_placeholder(FILE_HANDLE, 0, -1, 0u)).WillOnce(Return(S_OK_CODE));
    EXPECT_CALL(os, close_handle(FILE_HANDLE)).WillOnce(Return(true));
    Outcome outcome = run(R"({"cmd":"dehydrate","path":"/r/f.txt"})");
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(json::serialize(outcome.value()), "{}");
}

TEST_F(State, FailedOpenMakesNoFurtherCall) {
    for (const char* request : {R"({"cmd":"pin","state":"pinned"})", R"({"cmd":"dehydrate","path":7})"}) {
        expect_open("", INVALID_HANDLE);
        EXPECT_CALL(os, last_error()).WillOnce(Return(3u));
        Outcome outcome = run(request);
        ASSERT_FALSE(outcome.ok());
        EXPECT_EQ(outcome.error().code, static_cast<Hresult>(0x80070003u));
        ::testing::Mock::VerifyAndClearExpectations(&os);
    }
}

TEST_F(State, FailedCloseOverridesTheOperation) {
    // The close's error wins over a success and over the operation's own failure.
    for (const Hresult operation : {S_OK_CODE, static_cast<Hresult>(0x80070188u)}) {
        for (const bool pin : {true, false}) {
            InSequence order;
            expect_open("/r/f");
            if (pin) EXPECT_CALL(os, set_pin_state(FILE_HANDLE, 1u, 1u)).WillOnce(Return(operation));
            else EXPECT_CALL(os, dehydrate_placeholder(FILE_HANDLE, 0, -1, 0u)).WillOnce(Return(operation));
            EXPECT_CALL(os, close_handle(FILE_HANDLE)).WillOnce(Return(false));
            EXPECT_CALL(os, last_error()).WillOnce(Return(6u));
            Outcome outcome = run(pin ? R"({"cmd":"pin","path":"/r/f","state":"pinned"})"
                                      : R"({"cmd":"dehydrate","path":"/r/f"})");
            ASSERT_FALSE(outcome.ok());
            EXPECT_EQ(outcome.error().code, static_cast<Hresult>(0x80070006u));
            ::testing::Mock::VerifyAndClearExpectations(&os);
            EXPECT_CALL(os, take_error_info()).Times(AnyNumber()).WillRepeatedly([] { return ErrorInfoPtr(); });
        }
    }
}

TEST_F(State, OperationFailureIsTheErrorWhenTheCloseSucceeds) {
    InSequence order;
    expect_open("/r/f");
    EXPECT_CALL(os, dehydrate_placeholder(FILE_HANDLE, 0, -1, 0u)).WillOnce(Return(static_cast<Hresult>(0x80070180u)));
    EXPECT_CALL(os, close_handle(FILE_HANDLE)).WillOnce(Return(true));
    Outcome outcome = run(R"({"cmd":"dehydrate","path":"/r/f"})");
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code, static_cast<Hresult>(0x80070180u));
}

TEST_F(State, AttrsOfAPinnedInSyncPlaceholder) {
    InSequence order;
    EXPECT_CALL(os, file_attributes(path_is("/r/a.txt"))).WillOnce(Return(0x80000u | 0x400u | 0x20u));
    expect_query("/r/a.txt", basic_info(1, "abc"));
    expect_query("/r/a.txt", basic_info(1, "abc"));
    EXPECT_EQ(json::serialize(attrs("/r/a.txt")),
              R"({"attributes":525344,"pinned":true,"unpinned":false,"onlineOnly":false,"inSync":true,"identity":"abc"})");
}

TEST_F(State, AttrsOfOnlineOnlyUnpinnedPlaceholderNotInSync) {
    EXPECT_CALL(os, file_attributes(path_is("/r/b"))).WillOnce(Return(0x100000u | 0x400000u | 0x400u));
    EXPECT_CALL(os, create_file(path_is("/r/b"), 0x80u, 7u, 3u, 0x02000000u)).Times(2).WillRepeatedly(Return(FILE_HANDLE));
    EXPECT_CALL(os, get_placeholder_info(FILE_HANDLE, 0u, _, 4128u, IsNull())).Times(2).WillRepeatedly(basic_info(0, ""));
    // A failed close of the query's handle changes nothing.
    EXPECT_CALL(os, close_handle(FILE_HANDLE)).Times(2).WillRepeatedly(Return(false));
    EXPECT_CALL(os, last_error()).Times(AnyNumber()).WillRepeatedly(Return(6u));
    const json::value result = attrs("/r/b");
    EXPECT_EQ(result.at("pinned"), false);
    EXPECT_EQ(result.at("unpinned"), true);
    EXPECT_EQ(result.at("onlineOnly"), true);
    EXPECT_EQ(result.at("inSync"), false);
    EXPECT_EQ(result.at("identity"), "");  // empty identity: a string, not null
}

TEST_F(State, AttrsOfAMissingPathHasNoPinOrOnlineState) {
    for (const char* path : {"/r/missing", ""}) {
        EXPECT_CALL(os, file_attributes(path_is(path))).WillOnce(Return(0xFFFFFFFFu));
        EXPECT_CALL(os, create_file(path_is(path), 0x80u, 7u, 3u, 0x02000000u)).Times(2).WillRepeatedly(Return(INVALID_HANDLE));
        EXPECT_EQ(json::serialize(attrs(path)),
                  R"({"attributes":4294967295,"pinned":false,"unpinned":false,"onlineOnly":false,"inSync":false,"identity":null})");
        ::testing::Mock::VerifyAndClearExpectations(&os);
    }
}

TEST_F(State, AttrsOfAnOrdinaryFileWhoseQueryFails) {
    EXPECT_CALL(os, file_attributes(path_is("/r/plain"))).WillOnce(Return(0x1000u | 0x20u));
    EXPECT_CALL(os, create_file(path_is("/r/plain"), 0x80u, 7u, 3u, 0x02000000u)).Times(2).WillRepeatedly(Return(FILE_HANDLE));
    EXPECT_CALL(os, get_placeholder_info(FILE_HANDLE, 0u, _, 4128u, IsNull()))
        .Times(2).WillRepeatedly(Return(static_cast<Hresult>(0x80070178u)));
    EXPECT_CALL(os, close_handle(FILE_HANDLE)).Times(2).WillRepeatedly(Return(true));
    EXPECT_EQ(json::serialize(attrs("/r/plain")),
              R"({"attributes":4128,"pinned":false,"unpinned":false,"onlineOnly":true,"inSync":false,"identity":null})");
}

TEST_F(State, QueryDecodesIdentityLossilyAndNeverReadsPastItsBuffer) {
    expect_query("/r/x", basic_info(1, "a\xFF" "b"));
    std::optional<PlaceholderInfo> info = placeholder_info("/r/x");
    ASSERT_TRUE(info);
    EXPECT_TRUE(info->in_sync);
    EXPECT_EQ(info->identity, "a\xEF\xBF\xBD" "b");
    ::testing::Mock::VerifyAndClearExpectations(&os);

    // A length field beyond the 4100 bytes behind the fixed part is cut to them.
    expect_query("/r/x", basic_info(2, std::string(4100, 'x'), 0xFFFFFFFFu));
    info = placeholder_info("/r/x");
    ASSERT_TRUE(info);
    EXPECT_FALSE(info->in_sync);  // only state 1 is in sync
    EXPECT_EQ(info->identity, std::string(4100, 'x'));
    ::testing::Mock::VerifyAndClearExpectations(&os);

    // A handle of 0 counts as a failed open.
    EXPECT_CALL(os, create_file(_, _, _, _, _)).WillOnce(Return(Handle{0}));
    EXPECT_FALSE(placeholder_info("/r/x"));
}

}  // namespace
}  // namespace zcf
