// The playback object without a media graph: clock texts, slider scale,
// courseware names, the chapter document copy and the transport's answers
// before anything is open.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QSlider>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "chapter_extract.h"
#include "courseware_format.h"
#include "courseware_writer.h"
#include "graph_player.h"
#include "report_message.h"
#include "test_support.h"
#include "transport.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A lesson made by the courseware writer whose stored chapter document is
// replaced by `doc`, byte for byte.
std::string LessonWithDocument(const QTemporaryDir& dir, const std::string& name, const std::string& doc,
                               uint64_t* offset = nullptr) {
    const std::string path = (dir.path() + "/").toStdString() + name;
    zmr::Lesson lesson;
    lesson.play_duration = 10000000;
    zmr::WriterStream audio;
    audio.type = zmr::kAudioStream;
    audio.number = 1;
    audio.format.assign(18, 0);
    zmr::WriteU16(audio.format.data(), 0x0161);
    audio.objects.push_back({std::vector<uint8_t>(100, 7), 0, 10000000, true});
    lesson.streams.push_back(audio);
    zmr::WriteSummary summary;
    std::string error;
    EXPECT_TRUE(zmr::WriteCourseware(path, lesson, &summary, &error)) << error;
    std::string bytes = ReadAll(path);
    bytes.resize(summary.chapter_index_offset);
    bytes += doc;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    if (offset)
        *offset = summary.chapter_index_offset;
    return path;
}

}  // namespace

TEST(ClockText, RoundsAndPadsWithTheTrailingBlank) {
    EXPECT_EQ(FormatClock(59.5), "00:00:59 ");
    EXPECT_EQ(FormatClock(59.51), "00:01:00 ");
    EXPECT_EQ(FormatClock(3725), "01:02:05 ");
    EXPECT_EQ(FormatClock(360000), "100:00:00 ");
    EXPECT_EQ(FormatClock(0), "00:00:00 ");
}

TEST(SliderScale, OneSecondPerUnitUpTo30000Seconds) {
    App();
    CGraphPlayer player;
    QSlider slider(Qt::Horizontal);
    player.SetPositionSlider(&slider);
    EXPECT_EQ(player.DurationText(3600.4), "/01:00:00 ");
    EXPECT_EQ(player.Scale(), 1.0);
    EXPECT_EQ(slider.maximum(), 3600);
    EXPECT_EQ(slider.pageStep(), 400);
    EXPECT_EQ(slider.tickInterval(), 400);

    player.DurationText(30000);
    EXPECT_EQ(player.Scale(), 1.0);
    player.DurationText(36000);
    EXPECT_EQ(player.Scale(), 10.0);
    EXPECT_EQ(slider.maximum(), 3600);
    player.DurationText(3000001);
    EXPECT_EQ(player.Scale(), 1000.0);

    // Below nine units the page step is 0.
    player.DurationText(5);
    EXPECT_EQ(slider.pageStep(), 0);
    player.DurationText(3600);
    EXPECT_EQ(player.PositionText(125.7), "00:02:06 ");
    EXPECT_EQ(slider.value(), 125);
}

TEST(CoursewareName, ZmrAnywhereInAnyCase) {
    EXPECT_TRUE(IsCoursewareName("/x/LESSON.ZMR"));
    EXPECT_TRUE(IsCoursewareName("/x/lesson.zmr.bak"));
    EXPECT_TRUE(IsCoursewareName("/x/课件.Zmr"));
    EXPECT_FALSE(IsCoursewareName("/x/lesson. zmr"));
    EXPECT_FALSE(IsCoursewareName("/x/clip.wmv"));
}

TEST(ChapterExtraction, CopiesTheStoredDocumentByteForByte) {
    QTemporaryDir dir;
    const std::string doc = "<Index>\r\n<Chapter id=\"1\" time=\"5\">a</Chapter>\n</Index>\n";
    uint64_t offset = 0;
    const std::string lesson = LessonWithDocument(dir, "a.zmr", doc, &offset);
    const std::string temp = (dir.path() + "/temp.xml").toStdString();
    ExtractResult r = ExtractChapterDocument(lesson, temp);
    ASSERT_TRUE(r.ok);
    EXPECT_TRUE(r.offsetKnown);
    EXPECT_EQ(ReadAll(temp), doc);
    EXPECT_EQ(r.chapterIndexOffset, offset);

    // A read-only lesson is extracted too: nothing is written to it.
    ASSERT_EQ(::chmod(lesson.c_str(), 0444), 0);
    EXPECT_TRUE(ExtractChapterDocument(lesson, temp).ok);

    // A document starting at the end of the file is empty.
    const std::string empty = LessonWithDocument(dir, "b.zmr", "");
    r = ExtractChapterDocument(empty, temp);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(ReadAll(temp), "");
}

TEST(ChapterExtraction, RefusesWhatIsNotALessonAndOpensUnknownOffsetsWithoutChapters) {
    QTemporaryDir dir;
    const std::string temp = (dir.path() + "/temp.xml").toStdString();
    const std::string base = (dir.path() + "/").toStdString();
    WriteFile(base + "bad.zmr", LessonBytes({.badHeaderGuid = true}));
    EXPECT_FALSE(ExtractChapterDocument(base + "bad.zmr", temp).ok);
    WriteFile(base + "short.zmr", {1, 2, 3});
    EXPECT_FALSE(ExtractChapterDocument(base + "short.zmr", temp).ok);
    EXPECT_FALSE(ExtractChapterDocument(base + "missing.zmr", temp).ok);
    std::vector<uint8_t> small = LessonBytes({});
    zmr::WriteU64(small.data() + 16, 23);
    WriteFile(base + "small.zmr", small);
    EXPECT_FALSE(ExtractChapterDocument(base + "small.zmr", temp).ok);

    // The chapter index offset of a lesson whose first header child is not
    // the file properties object is unknown: no chapters, never written back.
    WriteFile(base + "other.zmr", LessonBytes({.otherObjectFirst = true}));
    ExtractResult r = ExtractChapterDocument(base + "other.zmr", temp);
    EXPECT_TRUE(r.ok);
    EXPECT_FALSE(r.offsetKnown);
    EXPECT_EQ(ReadAll(temp), "");

    // A document path that cannot be created fails the extraction.
    const std::string lesson = LessonWithDocument(dir, "a.zmr", "<Index/>");
    EXPECT_FALSE(ExtractChapterDocument(lesson, base + "no/such/dir/temp.xml").ok);
}

TEST(ChapterExtraction, EachPlayerHasItsOwnWorkingCopy) {
    const std::string path = TempDocumentPath();
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path, TempDocumentPath());
    EXPECT_NE(path.find("/kovelplayer/session-"), std::string::npos);
    EXPECT_EQ(path.substr(path.size() - 9), "/temp.xml");
}

TEST(Transport, AnswersHarmlesslyWithoutAGraph) {
    App();
    CGraphPlayer player;
    EXPECT_EQ(player.State(), PlayState::Closed);
    EXPECT_EQ(player.PlayPause(), E_FAIL);
    EXPECT_EQ(player.StopAndRewind(), 1);
    EXPECT_FALSE(player.SeekTo(3.0, true));
    EXPECT_EQ(player.GetDurationSeconds(), 0.0);
    EXPECT_EQ(player.GetPositionSeconds(), 0.0);
    EXPECT_EQ(player.HandleGraphEvents(), 0);
    EXPECT_EQ(player.CloseGraph(), S_OK);
    EXPECT_EQ(player.Open(nullptr), 1);
    EXPECT_EQ(player.State(), PlayState::Closed);
}

TEST(Open, ALessonThatIsNotCoursewareFailsBeforeAnyGraph) {
    App();
    std::vector<std::string> messages;
    SetReportMessageSink([&](const std::string& m) { messages.push_back(m); });
    QTemporaryDir dir;
    const std::string path = (dir.path() + "/fake.zmr").toStdString();
    WriteFile(path, {'n', 'o', 't', ' ', 'a', ' ', 'l', 'e', 's', 's', 'o', 'n'});
    CGraphPlayer player;
    EXPECT_EQ(player.Open(path.c_str()), E_FAIL);
    EXPECT_EQ(player.State(), PlayState::Closed);
    EXPECT_TRUE(messages.empty());
    const std::string tooLong(5000, 'a');
    EXPECT_EQ(player.Open(tooLong.c_str()), E_INVALIDARG);
    ASSERT_EQ(messages.size(), 1u);
    SetReportMessageSink({});
}
