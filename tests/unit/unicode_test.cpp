// UTF-8 to UTF-16 in the shared conversion module; the other directions are covered through the
// core's text helpers.
#include "platform/unicode.h"

#include <gtest/gtest.h>

namespace zcf {
namespace {

TEST(Utf8ToUtf16, ReplacesEachMaximalInvalidSubsequence) {
    EXPECT_EQ(utf8_to_utf16_lossy(""), u"");
    EXPECT_EQ(utf8_to_utf16_lossy("a\xC3\xA9\xE2\x82\xAC"), u"a\u00E9\u20AC");
    EXPECT_EQ(utf8_to_utf16_lossy("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
    EXPECT_EQ(utf8_to_utf16_lossy(std::string_view("a\0b", 3)), (std::u16string{u'a', 0, u'b'}));
    // E2 82 is one maximal subsequence; F0 80 is two (80 cannot follow F0); C0 and FF stand alone.
    EXPECT_EQ(utf8_to_utf16_lossy("\xE2\x82x"), u"\uFFFDx");
    EXPECT_EQ(utf8_to_utf16_lossy("\xF0\x80"), u"\uFFFD\uFFFD");
    EXPECT_EQ(utf8_to_utf16_lossy("\xC0\xAF\xFF"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(utf8_to_utf16_lossy("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");  // encoded surrogate
    EXPECT_EQ(utf8_to_utf16_lossy("x\xF4\x8F\xBF"), u"x\uFFFD");            // truncated at the end
    EXPECT_EQ(utf8_to_utf16_lossy("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");

    std::u16string out = u"ab";
    append_utf8_as_utf16(out, "\xC3\xA9");
    EXPECT_EQ(out, u"ab\u00E9");
}

TEST(Utf16ToUtf8, StopsAtTheFirstNulOfATerminatedString) {
    const char16_t text[] = {u'a', 0xD83D, 0xDE00, 0, 0xD800, 0};
    std::string out = "junk";
    EXPECT_TRUE(utf16_to_utf8_strict(null_terminated(text), out));
    EXPECT_EQ(out, "a\xF0\x9F\x98\x80");
    // A high surrogate just before the NUL is unpaired.
    const char16_t lone[] = {u'a', 0xD83D, 0};
    EXPECT_FALSE(utf16_to_utf8_strict(null_terminated(lone), out));
    EXPECT_EQ(out, "");
    EXPECT_EQ(utf16_to_utf8_lossy(null_terminated(lone)), "a\xEF\xBF\xBD");
}

}  // namespace
}  // namespace zcf
