#include "common/text.h"

#include <gtest/gtest.h>

namespace zcf {
namespace {

TEST(Utf8Validation, AcceptsWellFormedAndRejectsTheRest) {
    EXPECT_TRUE(is_valid_utf8(""));
    EXPECT_TRUE(is_valid_utf8("plain ascii that is longer than eight bytes"));
    EXPECT_TRUE(is_valid_utf8("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
    EXPECT_FALSE(is_valid_utf8("\xFF"));
    EXPECT_FALSE(is_valid_utf8("abcdefgh\xC3"));            // truncated after the fast path
    EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));                // overlong
    EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));            // surrogate
    EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));        // above U+10FFFF
    EXPECT_FALSE(is_valid_utf8("\xE2\x82"));
}

TEST(Trim, UsesUnicodeWhiteSpace) {
    EXPECT_EQ(trim_unicode_whitespace("  \t{}\r\x0B\x0C"), "{}");
    EXPECT_EQ(trim_unicode_whitespace("\xC2\x85\xC2\xA0{}\xE1\x9A\x80\xE2\x80\x8A\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80"), "{}");
    EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\xA8 x y \xE2\x80\xA9"), "x y");
    // U+200B ZERO WIDTH SPACE and U+FEFF are not White_Space.
    EXPECT_EQ(trim_unicode_whitespace("\xE2\x80\x8B{}"), "\xE2\x80\x8B{}");
    EXPECT_EQ(trim_unicode_whitespace("{}\xEF\xBB\xBF"), "{}\xEF\xBB\xBF");
    EXPECT_EQ(trim_unicode_whitespace(" \xC2\xA0 "), "");
    EXPECT_EQ(trim_unicode_whitespace("\xC3\xA9"), "\xC3\xA9");
}

TEST(LossyDecoding, ReplacesEachMaximalInvalidSubsequence) {
    EXPECT_EQ(decode_utf8_lossy("a\xFF" "b", 3), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(decode_utf8_lossy(nullptr, 5), "");
    // E2 82 is one maximal subsequence; F0 80 is two (80 cannot follow F0).
    EXPECT_EQ(decode_utf8_lossy("\xE2\x82" "x", 3), "\xEF\xBF\xBD" "x");
    EXPECT_EQ(decode_utf8_lossy("\xF0\x80", 2), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(decode_utf8_lossy("\xED\xA0\x80", 3), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(Utf16, ConvertsPairsAndReplacesOrRefusesLoneSurrogates) {
    const char16_t pair[] = {u'a', 0xD83D, 0xDE00, 0};
    EXPECT_EQ(utf16_to_utf8_lossy(pair), "a\xF0\x9F\x98\x80");
    const char16_t lone[] = {u'a', 0xDC00, u'b', 0xD800, 0};
    EXPECT_EQ(utf16_to_utf8_lossy(lone), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
    std::string out = "junk";
    EXPECT_FALSE(utf16_to_utf8_strict(lone, out));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(utf16_to_utf8_strict(pair, out));
    EXPECT_EQ(out, "a\xF0\x9F\x98\x80");
    EXPECT_EQ(null_terminated(nullptr).size(), 0u);
}

TEST(Wide, AppendsOneZeroUnit) {
    EXPECT_EQ(wide(""), std::u16string(1, u'\0'));
    EXPECT_EQ(wide("a"), (std::u16string{u'a', u'\0'}));
    EXPECT_EQ(wide("\xF0\x9F\x98\x80"), (std::u16string{0xD83D, 0xDE00, 0}));
    EXPECT_EQ(wide(std::string_view("a\0b", 3)), (std::u16string{u'a', 0, u'b', 0}));
    EXPECT_EQ(wide("\xC3\xA9\\x"), (std::u16string{0xE9, u'\\', u'x', 0}));
}

}  // namespace
}  // namespace zcf
