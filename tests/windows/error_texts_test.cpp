// Error texts of the Windows platform: the description rule of error-information objects (with and
// without IRestrictedErrorInfo), taking the thread's object, and FormatMessageW texts including
// NT-facility codes.
#include "fake_com.h"

#include "platform/windows/error_texts.h"

#include <gtest/gtest.h>

namespace zcf::windows::testing {
namespace {

std::u16string described(const FakeErrorInfo::Texts& texts) {
    auto* fake = new FakeErrorInfo(texts);
    fake->AddRef();  // the test's own reference, to see that the wrapper gives its one back
    std::u16string text;
    {
        const ErrorInfoPtr wrapped = wrap_error_info(fake);
        text = wrapped->description();
        EXPECT_EQ(wrapped->description(), text);  // asking twice gives the same and leaks nothing
    }
    EXPECT_EQ(fake->references(), 1u);
    fake->Release();
    return text;
}

TEST(ErrorInfoDescription, FollowsTheRestrictedThenPlainThenErrorInfoOrder) {
    FakeErrorInfo::Texts plain;
    plain.description = L"plain description";
    EXPECT_EQ(described(plain), u"plain description");

    FakeErrorInfo::Texts restricted = plain;
    restricted.restricted = true;
    restricted.restricted_description = L"restricted text";
    restricted.details_description = L"details text";
    EXPECT_EQ(described(restricted), u"restricted text");

    restricted.restricted_description.clear();
    EXPECT_EQ(described(restricted), u"details text");

    restricted.details_description.clear();
    EXPECT_EQ(described(restricted), u"plain description");

    restricted.restricted_description = L"unused";
    restricted.details_result = E_FAIL;
    EXPECT_EQ(described(restricted), u"plain description");

    FakeErrorInfo::Texts empty;
    empty.restricted = true;
    EXPECT_EQ(described(empty), u"");
    EXPECT_EQ(LIVE_FAKES.load(), 0);
}

TEST(ErrorInfoDescription, TakingTheThreadsObjectClearsIt) {
    FakeErrorInfo::Texts texts;
    texts.description = L"left by the failing call";
    auto* fake = new FakeErrorInfo(texts);
    ASSERT_EQ(SetErrorInfo(0, fake), S_OK);
    fake->Release();
    {
        const ErrorInfoPtr taken = take_thread_error_info();
        ASSERT_NE(taken, nullptr);
        EXPECT_EQ(taken->description(), u"left by the failing call");
        EXPECT_EQ(take_thread_error_info(), nullptr);
    }
    EXPECT_EQ(LIVE_FAKES.load(), 0);
    EXPECT_EQ(wrap_error_info(nullptr), nullptr);
}

TEST(SystemMessage, GivesTheSystemTextUntrimmed) {
    const std::u16string text = system_message_text(static_cast<Hresult>(0x80070002u));
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), u"\r\n");
    // A code the system has no text for gives the empty text.
    EXPECT_EQ(system_message_text(static_cast<Hresult>(0x8000F123u)), u"");
}

TEST(SystemMessage, LooksUpNtFacilityCodesWithoutTheFacilityBit) {
    // With the NT-facility bit the id is the status itself: the module's table is searched, then
    // the system's, so an id without a text in ntdll finds the system's text for the same number.
    const std::u16string win32 = system_message_text(2);
    ASSERT_FALSE(win32.empty());
    EXPECT_EQ(system_message_text(static_cast<Hresult>(0x10000002u)), win32);
    EXPECT_EQ(system_message_text(static_cast<Hresult>(0xD000F123u)), u"");
}

}  // namespace
}  // namespace zcf::windows::testing
