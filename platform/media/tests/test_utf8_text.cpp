// Text crossing between component interfaces (UTF-16) and the system (UTF-8).
#include <gtest/gtest.h>

#include "utf8_text.h"

using kovel::media::Utf16ToUtf8;
using kovel::media::Utf8ToUtf16;

TEST(Utf8Text, RoundTripsEveryEncodingLength) {
    // One, two, three and four UTF-8 bytes: 'a', e acute, a CJK ideograph and
    // a character outside the basic plane (a surrogate pair in UTF-16).
    const std::u16string wide = u"a\u00E9\u4E2D\U0001F600";
    const std::string narrow = "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80";
    EXPECT_EQ(Utf16ToUtf8(wide), narrow);
    EXPECT_EQ(Utf8ToUtf16(narrow), wide);
    EXPECT_EQ(Utf16ToUtf8(u""), "");
    EXPECT_EQ(Utf8ToUtf16(""), u"");
}

TEST(Utf8Text, BrokenInputBecomesReplacementCharacters) {
    const std::string replacement = "\xEF\xBF\xBD";
    // A high surrogate without its partner, at the end and in the middle, and
    // a low surrogate alone.
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD83D))), replacement);
    EXPECT_EQ(Utf16ToUtf8(std::u16string{char16_t(0xD83D), u'x'}), replacement + "x");
    EXPECT_EQ(Utf16ToUtf8(std::u16string{u'x', char16_t(0xDE00)}), "x" + replacement);
    // A lead byte whose sequence is cut short by the end or by a plain byte,
    // and a stray continuation byte.
    EXPECT_EQ(Utf8ToUtf16("\xE4\xB8"), u"\uFFFD\uFFFD");
    EXPECT_EQ(Utf8ToUtf16("\xE4x"), u"\uFFFDx");
    EXPECT_EQ(Utf8ToUtf16("\x80"
                          "a"),
              u"\uFFFDa");
}

TEST(Utf8Text, ViewsNeedNoTerminator) {
    const std::u16string wide = u"abc";
    EXPECT_EQ(Utf16ToUtf8(std::u16string_view(wide.data(), 2)), "ab");
    const std::string narrow = "\xC3\xA9z";
    EXPECT_EQ(Utf8ToUtf16(std::string_view(narrow.data(), 2)), u"\u00E9");
}
