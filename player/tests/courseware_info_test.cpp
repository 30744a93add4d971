#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QTemporaryDir>
#include <cstring>

#include "courseware_format.h"
#include "courseware_info.h"
#include "gbk_text.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

CoursewareInfo Walk(const std::vector<Record>& records) {
    CoursewareInfo info;
    std::vector<uint8_t> area = RecordArea(records);
    WalkDescriptiveRecords(area.data(), area.size(), info);
    return info;
}

class InfoFileTest : public ::testing::Test {
  protected:
    CoursewareInfo ReadLesson(const LessonSpec& spec) {
        std::string path = (dir.path() + "/lesson.zmr").toStdString();
        WriteFile(path, LessonBytes(spec));
        CoursewareInfo info;
        info.title = "stale";
        ReadCoursewareInfo(path, info);
        return info;
    }
    QTemporaryDir dir;
};

}  // namespace

TEST(RecordWalk, RecordsInAnyOrder) {
    CoursewareInfo a = Walk({{"MKDT", "2026-01-02"}, {"TITL", "Lesson"}, {"MKNM", "Li"}, {"MKER", "li01"}});
    CoursewareInfo b = Walk({{"MKER", "li01"}, {"MKNM", "Li"}, {"TITL", "Lesson"}, {"MKDT", "2026-01-02"}});
    EXPECT_EQ(a.title, "Lesson");
    EXPECT_EQ(a.makingDate, "2026-01-02");
    EXPECT_EQ(a.makerName, "Li");
    EXPECT_EQ(a.makerAccount, "li01");
    EXPECT_EQ(a.title, b.title);
    EXPECT_EQ(a.makingDate, b.makingDate);
    EXPECT_EQ(a.makerName, b.makerName);
    EXPECT_EQ(a.makerAccount, b.makerAccount);
}

TEST(RecordWalk, UnknownTagZeroLengthAndCaseAreSkipped) {
    CoursewareInfo info = Walk({{"XXXX", "hello"}, {"TITL", "", 0}, {"titl", "lower"}, {"MKNM", "Wang"}});
    EXPECT_EQ(info.title, "");
    EXPECT_EQ(info.makerName, "Wang");
}

TEST(RecordWalk, LaterDuplicateWinsAndZeroByteEndsText) {
    CoursewareInfo info = Walk({{"TITL", "first"}, {"TITL", std::string("sec\0ond", 7)}, {"MKDT", "d"}});
    EXPECT_EQ(info.title, "sec");
    EXPECT_EQ(info.makingDate, "d");
}

TEST(RecordWalk, HostileLengthsEndTheWalkKeepingEarlierTexts) {
    EXPECT_EQ(Walk({{"TITL", "ok"}, {"MKNM", "x", -1}, {"MKDT", "never"}}).title, "ok");
    CoursewareInfo big = Walk({{"TITL", "ok"}, {"MKNM", "x", 0x7FFFFFFF}});
    EXPECT_EQ(big.title, "ok");
    EXPECT_EQ(big.makerName, "");
    // A length that runs exactly one byte past the area.
    std::vector<uint8_t> area(zmr::kRecordAreaSize, 'A');
    std::memcpy(area.data(), "TITL", 4);
    zmr::WriteU32(area.data() + 4, zmr::kRecordAreaSize - 8 + 1);
    CoursewareInfo info;
    WalkDescriptiveRecords(area.data(), area.size(), info);
    EXPECT_EQ(info.title, "");
    // A record that fills the area exactly ends the list at the area's end.
    zmr::WriteU32(area.data() + 4, zmr::kRecordAreaSize - 8);
    WalkDescriptiveRecords(area.data(), area.size(), info);
    EXPECT_EQ(info.title.size(), zmr::kRecordAreaSize - 8);
}

TEST(RecordWalk, NoTerminatorAndHeadPastTheEnd) {
    // Records of 8+8 bytes fill 1024 bytes exactly, then a non-zero tail: 1020 bytes + partial head.
    std::vector<uint8_t> area(zmr::kRecordAreaSize, 0);
    size_t pos = 0;
    while (pos + 16 <= area.size() - 4) {
        std::memcpy(area.data() + pos, "MKDT", 4);
        zmr::WriteU32(area.data() + pos + 4, 8);
        std::memcpy(area.data() + pos + 8, "datedate", 8);
        pos += 16;
    }
    std::memcpy(area.data() + pos, "TITL", 4);  // only part of a head left
    CoursewareInfo info;
    WalkDescriptiveRecords(area.data(), area.size(), info);
    EXPECT_EQ(info.makingDate, "datedate");
    EXPECT_EQ(info.title, "");
}

TEST_F(InfoFileTest, ReadsTextsFromALesson) {
    CoursewareInfo info = ReadLesson({{{"TITL", kGbkLessonTitle}, {"MKNM", kGbkMakerName}, {"MKER", "zs"}}});
    EXPECT_EQ(info.title, kGbkLessonTitle);
    EXPECT_EQ(GbkToUnicode(info.title), QString::fromUtf8("课件"));
    EXPECT_EQ(GbkToUnicode(info.makerName), QString::fromUtf8("张三"));
    EXPECT_EQ(info.makerAccount, "zs");
}

TEST_F(InfoFileTest, WrongSizeOrHeaderGivesNothingAndClearsOldTexts) {
    LessonSpec spec{{{"TITL", "t"}}};
    spec.filePropertiesSize = 1080;
    EXPECT_EQ(ReadLesson(spec).title, "");
    LessonSpec bad{{{"TITL", "t"}}};
    bad.badHeaderGuid = true;
    EXPECT_EQ(ReadLesson(bad).title, "");
}

TEST_F(InfoFileTest, ObjectNotFirstIsStillFound) {
    LessonSpec spec{{{"TITL", "second child"}}};
    spec.otherObjectFirst = true;
    EXPECT_EQ(ReadLesson(spec).title, "second child");
}

TEST_F(InfoFileTest, TruncatedFileAndZeroSizeChildEndQuietly) {
    std::vector<uint8_t> bytes = LessonBytes({{{"TITL", "cut"}}});
    std::string path = (dir.path() + "/cut.zmr").toStdString();
    for (size_t keep : {size_t(0), size_t(10), size_t(30), bytes.size() - 1}) {
        WriteFile(path, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(keep)));
        CoursewareInfo info;
        ReadCoursewareInfo(path, info);
        EXPECT_EQ(info.title, "") << keep;
    }
    // A child of size 0 before the file properties would loop forever.
    LessonSpec spec{{{"TITL", "t"}}};
    spec.otherObjectFirst = true;
    bytes = LessonBytes(spec);
    zmr::WriteU64(bytes.data() + 24 + 16, 0);
    WriteFile(path, bytes);
    CoursewareInfo info;
    ReadCoursewareInfo(path, info);
    EXPECT_EQ(info.title, "");
    // A huge header size with a huge child size must not wrap around.
    zmr::WriteU64(bytes.data() + 16, UINT64_MAX);
    zmr::WriteU64(bytes.data() + 24 + 16, UINT64_MAX - 10);
    WriteFile(path, bytes);
    ReadCoursewareInfo(path, info);
    EXPECT_EQ(info.title, "");
}

TEST_F(InfoFileTest, ReadOnlyLessonIsRead) {
    std::string path = (dir.path() + "/ro.zmr").toStdString();
    WriteFile(path, LessonBytes({{{"TITL", "read only"}}}));
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    CoursewareInfo info;
    ReadCoursewareInfo(path, info);
    EXPECT_EQ(info.title, "read only");
    ReadCoursewareInfo("", info);
    EXPECT_EQ(info.title, "");
}

TEST(GbkText, DecodesAndReplacesBrokenSequences) {
    EXPECT_EQ(GbkToUnicode(kGbkMakerName), QString::fromUtf8("张三"));
    EXPECT_EQ(GbkToUnicode("ab"), QStringLiteral("ab"));
    // A lead byte cut off at the end, then an invalid pair in the middle.
    EXPECT_EQ(GbkToUnicode("a\xD5"), QString::fromUtf8("a\xEF\xBF\xBD"));
    QString mixed =
        GbkToUnicode(std::string_view("\xFF"
                                      "b",
                                      2));
    EXPECT_TRUE(mixed.endsWith(QLatin1Char('b')));
    EXPECT_TRUE(mixed.contains(QChar(0xFFFD)));
}
