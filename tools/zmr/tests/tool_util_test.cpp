#include <gtest/gtest.h>

#include "tool_util.h"

namespace {

using zmrtool::ChapterEntry;

TEST(JsonString, EscapesWhatJsonCannotCarryRaw) {
    EXPECT_EQ(zmrtool::JsonString("plain"), "\"plain\"");
    EXPECT_EQ(zmrtool::JsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(zmrtool::JsonString("l1\nl2\r\t"), "\"l1\\nl2\\r\\t\"");
    EXPECT_EQ(zmrtool::JsonString(std::string("\x01\x1f", 2)), "\"\\u0001\\u001f\"");
    EXPECT_EQ(zmrtool::JsonString(std::string("a\0b", 3)), "\"a\\u0000b\"");
    // UTF-8 passes through untouched.
    EXPECT_EQ(zmrtool::JsonString("第一章"), "\"第一章\"");
}

TEST(GbkText, DecodesAndMarksBrokenBytes) {
    // "示例" in GBK.
    EXPECT_EQ(zmrtool::GbkToUtf8Lenient("\xCA\xBE\xC0\xFD"), "示例");
    // A lead byte cut off at the end, and a byte no GBK sequence starts with.
    EXPECT_EQ(zmrtool::GbkToUtf8Lenient("ab\xCA"), "ab\xEF\xBF\xBD");
    EXPECT_EQ(zmrtool::GbkToUtf8Lenient("\xFF"
                                        "x\xCA\xBE"),
              "\xEF\xBF\xBDx示");
    // Long texts go through in pieces.
    std::string gbk, utf8;
    for (int i = 0; i < 500; ++i) {
        gbk += "\xCA\xBE";
        utf8 += "示";
    }
    EXPECT_EQ(zmrtool::GbkToUtf8Lenient(gbk), utf8);
}

TEST(Parsing, NumbersAndSizesAreWholeAndInRange) {
    int64_t n = 0;
    double d = 0;
    int w = 0, h = 0;
    EXPECT_TRUE(zmrtool::ParseInt("42", &n));
    EXPECT_EQ(n, 42);
    EXPECT_FALSE(zmrtool::ParseInt("42x", &n));
    EXPECT_FALSE(zmrtool::ParseInt("", &n));
    EXPECT_FALSE(zmrtool::ParseInt("99999999999999999999", &n));
    EXPECT_TRUE(zmrtool::ParseDouble("12.5", &d));
    EXPECT_DOUBLE_EQ(d, 12.5);
    EXPECT_FALSE(zmrtool::ParseDouble("nan", &d));
    EXPECT_FALSE(zmrtool::ParseDouble("1e999", &d));
    EXPECT_TRUE(zmrtool::ParseSize("640x480", 4096, &w, &h));
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
    EXPECT_FALSE(zmrtool::ParseSize("640", 4096, &w, &h));
    EXPECT_FALSE(zmrtool::ParseSize("0x480", 4096, &w, &h));
    EXPECT_FALSE(zmrtool::ParseSize("640x-2", 4096, &w, &h));
    EXPECT_FALSE(zmrtool::ParseSize("5000x480", 4096, &w, &h));
}

TEST(ChapterList, ReadsChaptersInDocumentOrderAsAtoiWould) {
    std::vector<ChapterEntry> list;
    std::string err;
    ASSERT_TRUE(zmrtool::ParseChapterList(
        "<?xml version=\"1.0\"?><Index><Chapter id=\"7\" time=\"30\">后</Chapter>"
        "<Other/><Chapter id=\"12abc\" time=\" 5\">前 &amp; more</Chapter><Chapter>none</Chapter></Index>",
        &list, &err));
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].id, 7);
    EXPECT_EQ(list[0].time, 30);
    EXPECT_EQ(list[0].title, "后");
    EXPECT_EQ(list[1].id, 12);
    EXPECT_EQ(list[1].time, 5);
    EXPECT_EQ(list[1].title, "前 & more");
    EXPECT_EQ(list[2].id, 0);
    EXPECT_EQ(list[2].time, 0);

    EXPECT_TRUE(zmrtool::ParseChapterList("<Other><Chapter id=\"1\"/></Other>", &list, &err));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(zmrtool::ParseChapterList("<Index><Chapter>", &list, &err));
    EXPECT_FALSE(err.empty());
}

}  // namespace
