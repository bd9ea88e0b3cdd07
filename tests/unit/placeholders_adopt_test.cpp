// "adopt": the call sequence of both branches, the protected-handle reference, failures.
#include "placeholders/placeholders.h"
#include "support/mock_platform.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <gtest/gtest.h>

#include <string>

namespace zcf {
namespace {

namespace json = boost::json;
using ::testing::_;
using ::testing::AnyNumber;
using ::testing::DoAll;
using ::testing::InSequence;
using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Return;
using ::testing::SetArgPointee;
using ::testing::StrictMock;
using ::testing::Truly;
using zcf::testing::MockPlatform;
using zcf::testing::ScopedPlatform;

constexpr Handle PROTECTED = 0x500;
constexpr Handle WIN32_HANDLE = 0x600;

auto path_is(std::string expected) {
    return Truly([expected](const char16_t* p) { return testing::utf8(p) == expected; });
}

class Adopt : public ::testing::Test {
protected:
    void SetUp() override {
        EXPECT_CALL(os, take_error_info()).Times(AnyNumber()).WillRepeatedly([] { return ErrorInfoPtr(); });
    }
    void expect_open_and_reference(const std::string& path, std::uint32_t attributes) {
        EXPECT_CALL(os, file_attributes(path_is(path))).WillOnce(Return(attributes));
        EXPECT_CALL(os, open_file_with_oplock(path_is(path), 3u, NotNull()))
            .WillOnce(DoAll(SetArgPointee<2>(PROTECTED), Return(S_OK_CODE)));
        EXPECT_CALL(os, reference_protected_handle(PROTECTED)).WillOnce(Return(true));
        EXPECT_CALL(os, win32_handle_from_protected(PROTECTED)).WillOnce(Return(WIN32_HANDLE));
    }
    void expect_release_and_close() {
        EXPECT_CALL(os, release_protected_handle(PROTECTED));
        EXPECT_CALL(os, close_protected_handle(PROTECTED));
    }
    Outcome run(std::string_view request) { return cmd_adopt(json::parse(request)); }

    StrictMock<MockPlatform> os;
    ScopedPlatform scope{os};
    std::string identity;  // the bytes the conversion or update received
};

TEST_F(Adopt, ConvertsAnOrdinaryFile) {
    InSequence order;
    expect_open_and_reference("/r/plain.txt", 0x20);
    EXPECT_CALL(os, convert_to_placeholder(WIN32_HANDLE, NotNull(), 3u, 1u, IsNull()))
        .WillOnce([this](Handle, const void* bytes, std::uint32_t length, std::uint32_t, std::int64_t*) {
            identity.assign(static_cast<const char*>(bytes), length);
            return S_OK_CODE;
        });
    expect_release_and_close();
    Outcome outcome = run(R"({"cmd":"adopt","path":"/r/plain.txt","identity":"abc"})");
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(json::serialize(outcome.value()), "{}");
    EXPECT_EQ(identity, "abc");
}

TEST_F(Adopt, UpdatesAReparsePoint) {
    InSequence order;
    expect_open_and_reference("/r/ph", 0x400 | 0x20);
    EXPECT_CALL(os, update_placeholder(WIN32_HANDLE, IsNull(), NotNull(), 4u, IsNull(), 0u, 2u, IsNull()))
        .WillOnce([this](Handle, const FsMetadata*, const void* bytes, std::uint32_t length, const FileRange*,
                         std::uint32_t, std::uint32_t, std::int64_t*) {
            identity.assign(static_cast<const char*>(bytes), length);
            return S_OK_CODE;
        });
    expect_release_and_close();
    Outcome outcome = run(R"({"cmd":"adopt","path":"/r/ph","identity":"\u00e9id"})");
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(identity, "\xC3\xA9id");
}

TEST_F(Adopt, UnreadableAttributesTakeTheConvertBranchWithAnEmptyIdentity) {
    // The failure word has every bit set, 0x400 included, yet is not a reparse point.
    InSequence order;
    expect_open_and_reference("/r/odd", 0xFFFFFFFFu);
    EXPECT_CALL(os, convert_to_placeholder(WIN32_HANDLE, _, 0u, 1u, IsNull())).WillOnce(Return(S_OK_CODE));
    expect_release_and_close();
    EXPECT_TRUE(run(R"({"cmd":"adopt","path":"/r/odd","identity":7})").ok());
}

TEST_F(Adopt, FailedUpdateIsTheErrorAfterReleaseAndClose) {
    InSequence order;
    expect_open_and_reference("/r/link", 0x400);
    EXPECT_CALL(os, update_placeholder(WIN32_HANDLE, _, _, _, _, _, _, _))
        .WillOnce(Return(static_cast<Hresult>(0x80070178u)));
    expect_release_and_close();
    Outcome outcome = run(R"({"cmd":"adopt","path":"/r/link","identity":"x"})");
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code, static_cast<Hresult>(0x80070178u));
}

TEST_F(Adopt, FailedOpenClosesNothing) {
    InSequence order;
    EXPECT_CALL(os, file_attributes(path_is("/r/missing"))).WillOnce(Return(0xFFFFFFFFu));
    EXPECT_CALL(os, open_file_with_oplock(path_is("/r/missing"), 3u, NotNull()))
        .WillOnce(Return(static_cast<Hresult>(0x80070002u)));
    Outcome outcome = run(R"({"cmd":"adopt","path":"/r/missing","identity":"x"})");
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code, static_cast<Hresult>(0x80070002u));
}

TEST_F(Adopt, FailedReferenceUsesNoHandleAndCloses) {
    InSequence order;
    EXPECT_CALL(os, file_attributes(_)).WillOnce(Return(0x20u));
    EXPECT_CALL(os, open_file_with_oplock(_, 3u, NotNull()))
        .WillOnce(DoAll(SetArgPointee<2>(PROTECTED), Return(S_OK_CODE)));
    EXPECT_CALL(os, reference_protected_handle(PROTECTED)).WillOnce(Return(false));
    EXPECT_CALL(os, close_protected_handle(PROTECTED));
    Outcome outcome = run(R"({"cmd":"adopt","path":"/r/f","identity":"x"})");
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code, static_cast<Hresult>(0x80070006u));
}

}  // namespace
}  // namespace zcf
