// Chapters in the player: the list from the working copy, choosing, the
// highlight of the chapter being played, editing and the write-back, on real
// lessons made by zmr and played through the reader plug-in.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocalSocket>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>

#include "chapter_journal.h"
#include "chapter_list.h"
#include "courseware_format.h"
#include "obey_file_modes.h"
#include "open_request.h"
#include "player_dlg.h"
#include "report_message.h"
#include "request_folder.h"
#include "speed_control.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

uint64_t ChapterOffsetOf(const std::string& bytes) {
    return zmr::ReadU64(reinterpret_cast<const uint8_t*>(bytes.data()) + zmr::kObjectHeadSize +
                        zmr::kFpChapterIndexOffset);
}

// A lesson of `seconds` of sound (made once per length by zmr), its stored
// chapter document replaced by `doc`.
std::string MediaPart(int seconds) {
    static std::map<int, std::string> made;
    static QTemporaryDir dir;
    auto it = made.find(seconds);
    if (it == made.end()) {
        const QString path = dir.path() + QStringLiteral("/t%1.zmr").arg(seconds);
        QProcess::execute(QStringLiteral(ZMR_PATH), {"create", path, "--tone", "--no-screen", "--no-camera",
                                                     "--duration", QString::number(seconds)});
        std::string bytes = ReadAll(path.toStdString());
        EXPECT_GT(bytes.size(), 200u);
        bytes.resize(ChapterOffsetOf(bytes));
        it = made.emplace(seconds, bytes).first;
    }
    return it->second;
}

// `text` converted between encodings by iconv, refusing what does not fit.
std::optional<std::string> Convert(const std::string& text, const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1))
        return std::nullopt;
    std::string out(text.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(text.data());
    size_t left = text.size();
    char* dst = out.data();
    size_t room = out.size();
    const size_t rc = iconv(cd, &src, &left, &dst, &room);
    iconv_close(cd);
    if (rc == size_t(-1))
        return std::nullopt;
    out.resize(out.size() - room);
    return out;
}

std::string Doc(const std::string& chapters) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Index>\n" + chapters + "</Index>\n";
}

class ChapterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        qputenv("KOVEL_PLAYER_SOCKET",
                QByteArray("kovel-ch-test-") + QByteArray::number(qApp->applicationPid()));
        // Where lessons were left is each test's own.
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path() + "/state"));
        SetReportMessageSink([this](const std::string& m) { messages.push_back(m); });
    }
    void TearDown() override { SetReportMessageSink({}); }

    std::string Lesson(const std::string& name, const std::string& doc, int seconds = 120) {
        const std::string path = (dir.path() + "/").toStdString() + name;
        WriteAll(path, MediaPart(seconds) + doc);
        return path;
    }
    // Opens the lesson as an open request in edit mode does.
    void OpenForEditing(CPlayerDlg& dlg, const std::string& path) {
        dlg.OnInitDialog();
        ASSERT_TRUE(dlg.OnCopyData(1, QByteArray::fromStdString(path)));
        ASSERT_EQ(dlg.Player().State(), PlayState::Running) << (messages.empty() ? "" : messages.back());
    }
    static QListWidget* List(CPlayerDlg& dlg) { return static_cast<QListWidget*>(dlg.Control(IDC_CHAPTERS)); }
    static QSlider* Slider(CPlayerDlg& dlg) { return static_cast<QSlider*>(dlg.Control(IDC_POSITION)); }
    static QLineEdit* TitleEntry(CPlayerDlg& dlg) {
        return static_cast<QLineEdit*>(dlg.Control(IDC_CHAPTERTITLE));
    }
    static QStringList Titles(CPlayerDlg& dlg) {
        QStringList titles;
        for (int i = 0; i < List(dlg)->count(); ++i) titles << List(dlg)->item(i)->text();
        return titles;
    }
    // A user's click on a list entry, and on a button, through the window.
    static void ClickEntry(CPlayerDlg& dlg, int row) {
        QListWidget* list = List(dlg);
        ClickAt(list->viewport(), list->visualItemRect(list->item(row)).center());
    }
    static void Press(CPlayerDlg& dlg, int id) { Click(dlg.Control(id)); }
    // A lesson whose header begins with some other object: its stored
    // chapter index offset cannot be trusted.
    std::string UnknownOffsetLesson(const std::string& name) {
        std::string bytes = MediaPart(120) + Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n");
        std::string other(24, '\0');
        zmr::WriteGuid(reinterpret_cast<uint8_t*>(other.data()), zmr::kStreamPropertiesObject);
        zmr::WriteU64(reinterpret_cast<uint8_t*>(other.data()) + 16, 24);
        // An object kind the reader does not know.
        other[0] ^= 0x5A;
        bytes.insert(zmr::kObjectHeadSize, other);
        auto* head = reinterpret_cast<uint8_t*>(bytes.data());
        zmr::WriteU64(head + 16, zmr::ReadU64(head + 16) + other.size());
        const std::string path = (dir.path() + "/").toStdString() + name;
        WriteAll(path, bytes);
        return path;
    }

    QTemporaryDir dir;
    std::vector<std::string> messages;
};

}  // namespace

TEST(ChapterText, DecimalPrefixReadsAsAtoiAndSaturates) {
    EXPECT_EQ(DecimalPrefix("120"), 120);
    EXPECT_EQ(DecimalPrefix("  -45x"), -45);
    EXPECT_EQ(DecimalPrefix("+7"), 7);
    EXPECT_EQ(DecimalPrefix("12.9"), 12);
    EXPECT_EQ(DecimalPrefix("abc"), 0);
    EXPECT_EQ(DecimalPrefix(""), 0);
    EXPECT_EQ(DecimalPrefix(nullptr), 0);
    EXPECT_EQ(DecimalPrefix("2147483647"), INT32_MAX);
    EXPECT_EQ(DecimalPrefix("99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(DecimalPrefix("-2147483648"), INT32_MIN);
    EXPECT_EQ(DecimalPrefix("-99999999999999999999999"), INT32_MIN);
}

TEST(ChapterHighlight, FindsTheChapterBeingPlayed) {
    // List order 300, 60, 120.
    const HighlightTable table = BuildHighlightTable({300, 60, 120});
    ASSERT_EQ(table.size(), 3u);
    EXPECT_EQ(table[0].row, 1);
    EXPECT_EQ(table[1].row, 2);
    EXPECT_EQ(table[2].row, 0);
    EXPECT_EQ(HighlightRow(table, 100), 1);
    EXPECT_EQ(HighlightRow(table, 130), 2);
    EXPECT_EQ(HighlightRow(table, 400), 0);
    // At an exact start the chapter starting there wins over the one before.
    EXPECT_EQ(HighlightRow(table, 120), 2);
    EXPECT_EQ(HighlightRow(table, 60), 1);
    EXPECT_EQ(HighlightRow(table, 59), -1);
    EXPECT_EQ(HighlightRow({}, 5), -1);

    // Equal starts: the later one in table order.
    const HighlightTable same = BuildHighlightTable({50, 10, 50});
    EXPECT_EQ(HighlightRow(same, 70), HighlightRow(same, 50));
    EXPECT_NE(HighlightRow(same, 70), 1);
    EXPECT_EQ(HighlightRow(same, 20), 1);

    // A huge chapter list is sorted without quadratic time.
    std::vector<int32_t> many(200000);
    for (size_t i = 0; i < many.size(); ++i) many[i] = int32_t(many.size() - i);
    const HighlightTable big = BuildHighlightTable(many);
    EXPECT_TRUE(std::is_sorted(big.begin(), big.end(), [](auto& a, auto& b) { return a.time < b.time; }));
    EXPECT_EQ(HighlightRow(big, 5), int(many.size()) - 5);
}

TEST(ChapterDocumentReading, ChaptersInDocumentOrderWithUnicodeTitles) {
    QTemporaryDir dir;
    const std::string path = (dir.path() + "/doc.xml").toStdString();
    WriteAll(path,
             "<Index><Chapter id=\"3\" time=\"300\">第一章 &amp; more</Chapter>"
             "<Group><Chapter time=\"60\">nested, no id</Chapter></Group>"
             "<Chapter id=\"007\" time=\"x\"><![CDATA[a<b]]><b>c</b></Chapter></Index>");
    ChapterRead read = ReadChapterEntries(path);
    ASSERT_TRUE(read.ok);
    ASSERT_EQ(read.chapters.size(), 3u);
    EXPECT_EQ(read.chapters[0].title, "第一章 & more");
    EXPECT_EQ(read.chapters[0].id, 3);
    EXPECT_EQ(read.chapters[0].time, 300);
    EXPECT_FALSE(read.chapters[1].hasId);
    EXPECT_EQ(read.chapters[1].id, 0);
    EXPECT_EQ(read.chapters[1].time, 60);
    EXPECT_EQ(read.chapters[2].title, "a<bc");
    EXPECT_EQ(read.chapters[2].id, 7);
    EXPECT_EQ(read.chapters[2].idText, "007");
    EXPECT_EQ(read.chapters[2].time, 0);

    WriteAll(path, "");
    read = ReadChapterEntries(path);
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.message, kMsgNotLoaded);
    WriteAll(path, "<Chapters><Chapter id=\"1\" time=\"2\">x</Chapter></Chapters>");
    read = ReadChapterEntries(path);
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.message, kMsgNoIndex);
    EXPECT_FALSE(ReadChapterEntries(path + ".missing").ok);

    // A hostile document nested very deep is walked without recursion.
    std::string deep = "<Index>";
    for (int i = 0; i < 200000; ++i) deep += "<g>";
    deep += "<Chapter id=\"9\" time=\"4\">deep</Chapter>";
    for (int i = 0; i < 200000; ++i) deep += "</g>";
    WriteAll(path, deep + "</Index>");
    read = ReadChapterEntries(path);
    ASSERT_TRUE(read.ok);
    ASSERT_EQ(read.chapters.size(), 1u);
    EXPECT_EQ(read.chapters[0].title, "deep");
}

TEST_F(ChapterTest, ListInDocumentOrderAndTheHighlightFollowsTheSlider) {
    const std::string path = Lesson("a.zmr", Doc("<Chapter id=\"1\" time=\"300\">三</Chapter>\n"
                                                 "<Chapter id=\"2\" time=\"60\">一</Chapter>\n"
                                                 "<Chapter id=\"3\" time=\"120\">二</Chapter>\n"));
    CPlayerDlg dlg;
    dlg.SetPendingFile(path);
    dlg.OnInitDialog();
    ASSERT_EQ(dlg.Player().State(), PlayState::Running);
    EXPECT_EQ(Titles(dlg), (QStringList{"三", "一", "二"}));
    EXPECT_EQ(List(dlg)->item(1)->data(kChapterIdRole).toInt(), 2);
    EXPECT_EQ(dlg.Player().ChapterTimes(), (std::vector<int32_t>{300, 60, 120}));

    // The tick builds the table; a reload drops it.
    EXPECT_FALSE(dlg.HasHighlightTable());
    dlg.OnTimer();
    EXPECT_TRUE(dlg.HasHighlightTable());

    // The lesson is 120 s long; widen the slider to reach every chapter.
    Slider(dlg)->setRange(0, 1000);
    Slider(dlg)->setValue(10);
    List(dlg)->clearSelection();
    dlg.UpdateChapterHighlight();
    EXPECT_TRUE(List(dlg)->selectedItems().isEmpty());
    const std::map<int, int> expected = {{100, 1}, {130, 2}, {400, 0}, {120, 2}, {60, 1}, {119, 1}};
    for (const auto& [position, row] : expected) {
        Slider(dlg)->setValue(position);
        dlg.UpdateChapterHighlight();
        EXPECT_EQ(List(dlg)->currentRow(), row) << position;
        ASSERT_EQ(List(dlg)->selectedItems().size(), 1);
        EXPECT_EQ(List(dlg)->row(List(dlg)->selectedItems()[0]), row);
    }
    // Before the first start the selection stays as it was (at 400).
    Slider(dlg)->setValue(5);
    dlg.UpdateChapterHighlight();
    EXPECT_EQ(List(dlg)->currentRow(), 0);
    // Highlighting never chooses: playback goes on, nothing is current.
    EXPECT_EQ(dlg.Player().State(), PlayState::Running);
    EXPECT_EQ(dlg.Player().CurrentChapter(), -1);
    EXPECT_TRUE(TitleEntry(dlg)->text().isEmpty());

    dlg.SetFileChooser([&](const QStringList&) { return std::optional<std::string>(path); });
    dlg.OnOpen();
    EXPECT_FALSE(dlg.HasHighlightTable());
    EXPECT_EQ(Titles(dlg), (QStringList{"三", "一", "二"}));
    EXPECT_TRUE(messages.empty());
}

// Each entry draws its chapter's start right-aligned beside the title; the
// entry's text stays the title, for every chapter operation.
TEST_F(ChapterTest, EntriesShowTheirStartBesideTheTitle) {
    const std::string path =
        Lesson("a.zmr",
               Doc("<Chapter id=\"1\" time=\"65\">Intro</Chapter>\n"
                   "<Chapter id=\"2\" time=\"3725\">一个很长很长很长很长很长很长很长的章节标题</Chapter>\n"));
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    ASSERT_NE(ExposedWindow(&dlg), nullptr);
    QListWidget* list = List(dlg);
    EXPECT_EQ(Titles(dlg), (QStringList{"Intro", "一个很长很长很长很长很长很长很长的章节标题"}));
    EXPECT_EQ(list->item(0)->data(kChapterStartRole).toDouble(), 65.0);
    EXPECT_EQ(ChapterStartText(65), QStringLiteral("1:05"));
    EXPECT_EQ(ChapterStartText(3725), QStringLiteral("1:02:05"));
    EXPECT_EQ(ChapterStartText(0), QStringLiteral("0:00"));

    list->clearSelection();
    list->setCurrentItem(nullptr);
    // Where another start first changes the drawn entry: the start is drawn
    // at the right, and the title (cut short when long) is left as it was.
    auto changeFrom = [&](int row, double start) {
        const QRect rect = list->visualItemRect(list->item(row));
        const QImage before = list->viewport()->grab(rect).toImage();
        list->item(row)->setData(kChapterStartRole, start);
        const QImage after = list->viewport()->grab(rect).toImage();
        int first = rect.width();
        for (int y = 0; y < before.height(); ++y)
            for (int x = 0; x < before.width(); ++x)
                if (before.pixel(x, y) != after.pixel(x, y))
                    first = std::min(first, x);
        return first;
    };
    const int width = list->viewport()->width();
    for (int row : {0, 1}) {
        // A long title does not widen the entry past the list: the start stays in sight.
        EXPECT_LE(list->visualItemRect(list->item(row)).right(), width - 1) << row;
        const int first = changeFrom(row, row ? 65.0 : 3725.0);
        EXPECT_LT(first, width) << row;
        EXPECT_GT(first, width * 2 / 3) << row;
    }
    EXPECT_EQ(list->item(1)->toolTip(), Titles(dlg)[1]);

    // A chapter added (or modified) in edit mode shows the slider's time.
    dlg.Player().SeekBy(42 - dlg.Player().GetPositionSeconds());
    TitleEntry(dlg)->setText("Added");
    Press(dlg, IDC_ADDCHAPTER);
    ASSERT_EQ(list->count(), 3);
    EXPECT_EQ(list->item(2)->text(), QStringLiteral("Added"));
    EXPECT_NEAR(list->item(2)->data(kChapterStartRole).toDouble(), Slider(dlg)->value(), 0.01);
    EXPECT_TRUE(messages.empty());
}

// N and P move between chapters in time order without changing play or
// pause; the highlight follows every move, paused or not.
TEST_F(ChapterTest, ChapterKeysAndTheHighlightFollowSeeksWhilePaused) {
    const std::string path = Lesson("a.zmr", Doc("<Chapter id=\"1\" time=\"60\">A</Chapter>\n"
                                                 "<Chapter id=\"2\" time=\"20\">B</Chapter>\n"
                                                 "<Chapter id=\"3\" time=\"90\">C</Chapter>\n"));
    CPlayerDlg dlg;
    dlg.SetPendingFile(path);
    dlg.OnInitDialog();
    ASSERT_NE(ExposedWindow(&dlg), nullptr);
    CGraphPlayer& player = dlg.Player();
    const bool rates = RuntimeTakesRates(player);
    dlg.SetSpeed(1.5);
    Key(&dlg, Qt::Key_Space);
    ASSERT_EQ(player.State(), PlayState::Paused);
    player.SeekBy(-player.GetPositionSeconds());
    const struct {
        Qt::Key key;
        double to;
        int row;  // highlighted entry
    } steps[] = {
        {Qt::Key_N, 20, 1},
        {Qt::Key_N, 60, 0},
        {Qt::Key_N, 90, 2},
        {Qt::Key_N, 90, 2},
        // Within 5 s of a start: the chapter before; further in: its own start.
        {Qt::Key_P, 60, 0},
        {Qt::Key_L, 70, 0},
        {Qt::Key_P, 60, 0},
        {Qt::Key_P, 20, 1},
        // Before the first chapter lies the start of the lesson; the highlight stays.
        {Qt::Key_P, 0, 1},
        {Qt::Key_L, 10, 1},
        {Qt::Key_L, 20, 1},
        {Qt::Key_Right, 25, 1},
        {Qt::Key_N, 60, 0},
        {Qt::Key_J, 50, 1},
        {Qt::Key_End, 120, 2},
    };
    for (const auto& step : steps) {
        Key(&dlg, step.key);
        EXPECT_NEAR(player.GetPositionSeconds(), step.to, 0.5) << step.key << " to " << step.to;
        EXPECT_EQ(List(dlg)->currentRow(), step.row) << step.key << " to " << step.to;
    }
    EXPECT_EQ(player.State(), PlayState::Paused);
    // Nothing was chosen: the title entry is untouched, the speed kept.
    EXPECT_TRUE(TitleEntry(dlg)->text().isEmpty());
    EXPECT_EQ(player.GetRate(), rates ? 1.5 : 1.0);

    // A slider page step while paused moves the highlight too.
    Slider(dlg)->setFocus();
    Key(&dlg, Qt::Key_Home);
    ClickAt(Slider(dlg), QPoint(Slider(dlg)->width() - 2, Slider(dlg)->height() / 2));
    EXPECT_NEAR(player.GetPositionSeconds(), 13, 0.5);
    Key(&dlg, Qt::Key_PageDown);
    EXPECT_NEAR(player.GetPositionSeconds(), 26, 0.5);
    EXPECT_EQ(List(dlg)->currentRow(), 1);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ChapterTest, ChoosingAChapterSeeksPausesAndFillsTheTitle) {
    const std::string path = Lesson("a.zmr", Doc("<Chapter id=\"11\" time=\"30\">Intro</Chapter>\n"
                                                 "<Chapter id=\"12\" time=\"90\">第三章</Chapter>\n"
                                                 "<Chapter id=\"13\" time=\"500\">beyond</Chapter>\n"
                                                 "<Chapter time=\"60\">no id</Chapter>\n"));
    CPlayerDlg dlg;
    dlg.SetPendingFile(path);
    dlg.OnInitDialog();
    dlg.show();
    CGraphPlayer& player = dlg.Player();
    ASSERT_EQ(player.State(), PlayState::Running);

    ClickEntry(dlg, 1);
    EXPECT_EQ(player.CurrentChapter(), 1);
    EXPECT_EQ(player.State(), PlayState::Paused);
    EXPECT_NEAR(player.GetPositionSeconds(), 90.0, 0.5);
    EXPECT_EQ(Slider(dlg)->value(), 90);
    EXPECT_EQ(TitleEntry(dlg)->text(), QString::fromUtf8("第三章"));
    EXPECT_EQ(static_cast<QLabel*>(dlg.Control(IDC_POSITIONTEXT))->text(), QStringLiteral("00:01:30 "));

    // The keyboard chooses too.
    Key(&dlg, Qt::Key_Up);
    EXPECT_EQ(player.CurrentChapter(), 0);
    EXPECT_NEAR(player.GetPositionSeconds(), 30.0, 0.5);
    EXPECT_EQ(TitleEntry(dlg)->text(), QStringLiteral("Intro"));

    // Pressing the entry the highlight (or an earlier choice) left selected
    // chooses it again.
    player.SeekBy(40);
    EXPECT_NEAR(player.GetPositionSeconds(), 70.0, 0.5);
    ClickEntry(dlg, 0);
    EXPECT_NEAR(player.GetPositionSeconds(), 30.0, 0.5);

    // Beyond the end: the move stops at the end.
    ClickEntry(dlg, 2);
    EXPECT_NEAR(player.GetPositionSeconds(), player.GetDurationSeconds(), 0.5);
    EXPECT_EQ(TitleEntry(dlg)->text(), QStringLiteral("beyond"));

    // An entry without an id reaches no element: only the current position changes.
    TitleEntry(dlg)->setText("kept");
    player.SeekBy(-200);
    ClickEntry(dlg, 3);
    EXPECT_EQ(player.CurrentChapter(), 3);
    EXPECT_EQ(List(dlg)->item(3)->data(kChapterIdRole).toInt(), 0);
    EXPECT_NEAR(player.GetPositionSeconds(), 0.0, 0.5);
    EXPECT_EQ(TitleEntry(dlg)->text(), QStringLiteral("kept"));
    EXPECT_TRUE(messages.empty());
}

TEST_F(ChapterTest, AddingToAnEmptyDocumentCreatesTheIndex) {
    const std::string path = Lesson("empty.zmr", "");
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    CGraphPlayer& player = dlg.Player();
    EXPECT_EQ(List(dlg)->count(), 0);
    // Loading the empty copy failed quietly.
    EXPECT_EQ(player.LastChapterMessage(), kMsgNotLoaded);
    EXPECT_TRUE(messages.empty());

    player.PlayPause();
    Slider(dlg)->setValue(42);
    TitleEntry(dlg)->setText(QString::fromUtf8("新章节 <1> & \"q\""));
    Press(dlg, IDC_ADDCHAPTER);
    ASSERT_EQ(List(dlg)->count(), 1);
    EXPECT_EQ(List(dlg)->item(0)->text(), QString::fromUtf8("新章节 <1> & \"q\""));
    const int32_t id = player.LastChapterId();
    EXPECT_EQ(List(dlg)->item(0)->data(kChapterIdRole).toInt(), id);
    const std::string copy = ReadAll(player.TempDocument());
    EXPECT_NE(copy.find("<Index>"), std::string::npos) << copy;
    EXPECT_NE(copy.find("<Chapter id=\"" + std::to_string(id) + "\" time=\"42\">"), std::string::npos)
        << copy;
    ChapterRead read = ReadChapterEntries(player.TempDocument());
    ASSERT_TRUE(read.ok);
    ASSERT_EQ(read.chapters.size(), 1u);
    EXPECT_EQ(read.chapters[0].title, "新章节 <1> & \"q\"");

    // An empty title makes an empty chapter; both entries keep the order added.
    TitleEntry(dlg)->clear();
    Press(dlg, IDC_ADDCHAPTER);
    EXPECT_EQ(Titles(dlg), (QStringList{QString::fromUtf8("新章节 <1> & \"q\""), ""}));
    read = ReadChapterEntries(player.TempDocument());
    ASSERT_EQ(read.chapters.size(), 2u);
    EXPECT_EQ(read.chapters[1].title, "");
    EXPECT_EQ(read.chapters[1].time, 42);
    // The edits changed neither the lesson nor the times of the last load.
    EXPECT_EQ(ReadAll(path), MediaPart(120));
    EXPECT_TRUE(player.ChapterTimes().empty());
    EXPECT_TRUE(messages.empty());
}

TEST_F(ChapterTest, NewChapterIdsAreUniqueWithinTheDocument) {
    // The first candidate is seconds since local midnight plus the next
    // pseudo-random number; the candidates this second (or the next) are
    // taken already, one written with a leading zero.
    std::srand(99);
    const int r = std::rand() % 32768;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const int first = local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec + r;
    const std::string path =
        Lesson("ids.zmr",
               Doc("<Chapter id=\"" + std::to_string(first) + "\" time=\"1\">a</Chapter>\n<Chapter id=\"0" +
                   std::to_string(first + 1) + "\" time=\"2\">b</Chapter>\n<Chapter id=\"" +
                   std::to_string(first + 2) + "\" time=\"3\">c</Chapter>\n"));
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    CGraphPlayer& player = dlg.Player();
    std::srand(99);
    Press(dlg, IDC_ADDCHAPTER);
    EXPECT_EQ(player.LastChapterId(), first + 3);

    // The same candidate twice (same second, same random number) still gives
    // two ids.
    std::srand(5);
    Press(dlg, IDC_ADDCHAPTER);
    const int32_t a = player.LastChapterId();
    std::srand(5);
    Press(dlg, IDC_ADDCHAPTER);
    const int32_t b = player.LastChapterId();
    EXPECT_NE(a, b);
    // Seconds since midnight plus 0 to 32767, stepped past a few taken ones.
    for (int32_t id : {a, b}) {
        EXPECT_GE(id, 0);
        EXPECT_LE(id, 86399 + 32767 + 6);
    }
    const ChapterRead read = ReadChapterEntries(player.TempDocument());
    ASSERT_EQ(read.chapters.size(), 6u);
    for (size_t i = 0; i < read.chapters.size(); ++i)
        for (size_t j = i + 1; j < read.chapters.size(); ++j)
            EXPECT_NE(read.chapters[i].id, read.chapters[j].id);
}

TEST_F(ChapterTest, ModifyMovesTimeAndTitleAndKeepsTheListPlace) {
    const std::string path = Lesson("m.zmr", Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n"
                                                 "<Chapter id=\"2\" time=\"20\">B</Chapter>\n"
                                                 "<Chapter id=\"3\" time=\"30\">C</Chapter>\n"));
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    dlg.show();
    CGraphPlayer& player = dlg.Player();
    ClickEntry(dlg, 1);
    ASSERT_EQ(TitleEntry(dlg)->text(), QStringLiteral("B"));
    // The highlight moves the visible selection; modify still acts on the chosen entry.
    {
        QSignalBlocker quiet(List(dlg));
        List(dlg)->setCurrentRow(2);
    }
    Slider(dlg)->setValue(100);
    TitleEntry(dlg)->setText(QString::fromUtf8("乙"));
    Press(dlg, IDC_MODIFYCHAPTER);
    EXPECT_EQ(Titles(dlg), (QStringList{"A", QString::fromUtf8("乙"), "C"}));
    EXPECT_EQ(List(dlg)->item(1)->data(kChapterIdRole).toInt(), 2);
    EXPECT_TRUE(List(dlg)->selectedItems().isEmpty());
    EXPECT_EQ(player.CurrentChapter(), 1);
    const ChapterRead read = ReadChapterEntries(player.TempDocument());
    ASSERT_EQ(read.chapters.size(), 3u);
    EXPECT_EQ(read.chapters[1].title, "乙");
    EXPECT_EQ(read.chapters[1].time, 100);
    EXPECT_EQ(read.chapters[1].idText, "2");
    EXPECT_EQ(read.chapters[0].time, 10);
    EXPECT_EQ(read.chapters[2].title, "C");
    // Modifying did not choose anything or move playback.
    EXPECT_EQ(player.State(), PlayState::Paused);
    EXPECT_NEAR(player.GetPositionSeconds(), 20.0, 0.5);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ChapterTest, DeleteTwiceTakesTheChapterThatMovedUp) {
    const std::string path = Lesson("d.zmr", Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n"
                                                 "<Chapter id=\"2\" time=\"20\">B</Chapter>\n"
                                                 "<Chapter id=\"3\" time=\"30\">C</Chapter>\n"));
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    dlg.show();
    CGraphPlayer& player = dlg.Player();
    // Nothing chosen yet: nothing goes.
    Press(dlg, IDC_DELETECHAPTER);
    EXPECT_EQ(List(dlg)->count(), 3);

    ClickEntry(dlg, 1);
    Press(dlg, IDC_DELETECHAPTER);
    EXPECT_EQ(Titles(dlg), (QStringList{"A", "C"}));
    Press(dlg, IDC_DELETECHAPTER);
    EXPECT_EQ(Titles(dlg), (QStringList{"A"}));
    // The position now lies past the list: nothing more goes.
    Press(dlg, IDC_DELETECHAPTER);
    EXPECT_EQ(Titles(dlg), (QStringList{"A"}));
    EXPECT_EQ(player.CurrentChapter(), 1);
    ChapterRead read = ReadChapterEntries(player.TempDocument());
    ASSERT_EQ(read.chapters.size(), 1u);
    EXPECT_EQ(read.chapters[0].title, "A");

    // The highlight table still has the three loaded times; it must not
    // select past the shortened list.
    Slider(dlg)->setValue(35);
    dlg.UpdateChapterHighlight();
    EXPECT_LT(List(dlg)->currentRow(), 1);

    // Deleting the last chapter leaves an empty Index.
    ClickEntry(dlg, 0);
    Press(dlg, IDC_DELETECHAPTER);
    EXPECT_EQ(List(dlg)->count(), 0);
    read = ReadChapterEntries(player.TempDocument());
    EXPECT_TRUE(read.ok);
    EXPECT_TRUE(read.chapters.empty());
}

TEST_F(ChapterTest, RepeatedAndNestedIdsAreEditedWithoutLosingTrack) {
    const std::string path = Lesson("n.zmr", Doc("<Chapter id=\"5\" time=\"10\">outer<Chapter id=\"5\" "
                                                 "time=\"11\">inner</Chapter></Chapter>\n"
                                                 "<Chapter id=\"6\" time=\"20\">B</Chapter>\n"
                                                 "<Chapter id=\"5\" time=\"30\">again</Chapter>\n"));
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    dlg.show();
    CGraphPlayer& player = dlg.Player();
    ASSERT_EQ(List(dlg)->count(), 4);
    ClickEntry(dlg, 0);
    // Typed over the chosen chapter's title, as a user retitles it.
    Click(TitleEntry(dlg));
    Key(&dlg, Qt::Key_A, Qt::ControlModifier);
    Type(&dlg, QStringLiteral("renamed"));
    Press(dlg, IDC_MODIFYCHAPTER);
    ChapterRead read = ReadChapterEntries(player.TempDocument());
    ASSERT_TRUE(read.ok);
    // The inner element went with the outer one's text; both id 5 renamed.
    ASSERT_EQ(read.chapters.size(), 3u);
    EXPECT_EQ(read.chapters[0].title, "renamed");
    EXPECT_EQ(read.chapters[2].title, "renamed");

    Press(dlg, IDC_DELETECHAPTER);
    read = ReadChapterEntries(player.TempDocument());
    ASSERT_EQ(read.chapters.size(), 1u);
    EXPECT_EQ(read.chapters[0].title, "B");
    EXPECT_TRUE(Titles(dlg).contains("B"));
}

TEST_F(ChapterTest, WriteBackReplacesTheDocumentOnly) {
    const std::string doc = Doc("\t<Chapter id=\"1\" time=\"10\">A</Chapter>\n");
    const std::string path = Lesson("w.zmr", doc);
    const std::string before = ReadAll(path);
    const uint64_t offset = ChapterOffsetOf(before);
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    CGraphPlayer& player = dlg.Player();
    // Paused: a tick of the running lesson would put the slider back.
    player.PlayPause();
    Slider(dlg)->setValue(64);
    TitleEntry(dlg)->setText(QString::fromUtf8("第二章"));
    Press(dlg, IDC_ADDCHAPTER);
    const std::string copy = ReadAll(player.TempDocument());
    dlg.OnTimer();

    Press(dlg, IDC_EDITDONE);
    ASSERT_EQ(messages, (std::vector<std::string>{kMsgWrittenBack}));
    EXPECT_EQ(player.State(), PlayState::Closed);
    EXPECT_FALSE(dlg.HasHighlightTable());
    const std::string after = ReadAll(path);
    EXPECT_EQ(after.size(), before.size() + copy.size() - doc.size());
    EXPECT_EQ(after.substr(0, offset), before.substr(0, offset));
    EXPECT_EQ(after.substr(offset), copy);
    EXPECT_EQ(copy.find('\r'), std::string::npos);
    // The list keeps its entries; choosing one without a graph only takes its title.
    EXPECT_EQ(List(dlg)->count(), 2);
    dlg.show();
    ClickEntry(dlg, 0);
    EXPECT_EQ(TitleEntry(dlg)->text(), QStringLiteral("A"));
    EXPECT_EQ(player.State(), PlayState::Closed);

    // Reopened, the lesson lists the new chapter and plays.
    dlg.SetFileChooser([&](const QStringList&) { return std::optional<std::string>(path); });
    dlg.OnOpen();
    EXPECT_EQ(player.State(), PlayState::Running);
    EXPECT_EQ(Titles(dlg), (QStringList{"A", QString::fromUtf8("第二章")}));
    EXPECT_EQ(player.ChapterTimes(), (std::vector<int32_t>{10, 64}));
    EXPECT_EQ(ReadAll(player.TempDocument()), copy);
}

TEST_F(ChapterTest, RefusedWriteBacksLeaveTheLessonAndSayWhy) {
    const std::string doc = Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n");
    const std::string path = Lesson("r.zmr", doc);
    const std::string before = ReadAll(path);
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    CGraphPlayer& player = dlg.Player();
    Press(dlg, IDC_ADDCHAPTER);

    // The working copy is gone.
    ASSERT_EQ(::unlink(player.TempDocument().c_str()), 0);
    Press(dlg, IDC_EDITDONE);
    ASSERT_EQ(messages, (std::vector<std::string>{kMsgNoWorkingCopy}));
    EXPECT_EQ(ReadAll(path), before);
    EXPECT_EQ(player.State(), PlayState::Closed);

    // A working copy that does not parse.
    messages.clear();
    WriteAll(player.TempDocument(), "<Index><Chapter id=\"1\" time=\"10\">A</Chap");
    Press(dlg, IDC_EDITDONE);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("not well-formed"), std::string::npos) << messages[0];
    EXPECT_EQ(ReadAll(path), before);

    // The lesson has gone: it is not made again.
    messages.clear();
    WriteAll(player.TempDocument(), doc);
    const std::string moved = path + ".moved";
    ASSERT_EQ(::rename(path.c_str(), moved.c_str()), 0);
    Press(dlg, IDC_EDITDONE);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("No such file"), std::string::npos) << messages[0];
    EXPECT_NE(messages[0], kMsgWrittenBack);
    EXPECT_NE(::access(path.c_str(), F_OK), 0);
    EXPECT_EQ(ReadAll(moved), before);
}

TEST_F(ChapterTest, AnUnknownOffsetRefusesEditingAndWriteBack) {
    const std::string path = UnknownOffsetLesson("u.zmr");
    const std::string bytes = ReadAll(path);

    CPlayerDlg dlg;
    dlg.OnInitDialog();
    dlg.OnCopyData(1, QByteArray::fromStdString(path));
    CGraphPlayer& player = dlg.Player();
    EXPECT_FALSE(player.ChapterOffsetKnown());
    EXPECT_EQ(List(dlg)->count(), 0);
    messages.clear();

    Press(dlg, IDC_ADDCHAPTER);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("chapter index offset"), std::string::npos) << messages[0];
    EXPECT_EQ(List(dlg)->count(), 0);
    EXPECT_EQ(ReadAll(player.TempDocument()), "");

    messages.clear();
    WriteAll(player.TempDocument(), Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n"));
    Press(dlg, IDC_EDITDONE);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("chapter index offset"), std::string::npos) << messages[0];
    EXPECT_EQ(ReadAll(path), bytes);
}

TEST_F(ChapterTest, TheEndOfTheLessonReloadsTheList) {
    const std::string path = Lesson("e.zmr", Doc("<Chapter id=\"1\" time=\"0\">A</Chapter>\n"), 1);
    CPlayerDlg dlg;
    OpenForEditing(dlg, path);
    // An added chapter shows in the list at once; the reload after the end
    // of the lesson lists it from the working copy with its time.
    Press(dlg, IDC_ADDCHAPTER);
    ASSERT_EQ(List(dlg)->count(), 2);
    dlg.OnTimer();
    ASSERT_TRUE(dlg.HasHighlightTable());
    EXPECT_EQ(dlg.Player().ChapterTimes().size(), 1u);
    for (int i = 0; i < 100 && dlg.Player().ChapterTimes().size() < 2; ++i) {
        QTest::qWait(50);
        dlg.OnTimer();
    }
    EXPECT_EQ(dlg.Player().ChapterTimes().size(), 2u);
    EXPECT_EQ(List(dlg)->count(), 2);
    EXPECT_EQ(dlg.Player().CurrentChapter(), -1);
}

TEST_F(ChapterTest, HeadlessPlayPrintsTheChapterBesideThePosition) {
    const std::string path = Lesson(
        "h.zmr",
        Doc("<Chapter id=\"1\" time=\"2\">second</Chapter>\n<Chapter id=\"2\" time=\"0\">开始</Chapter>\n"),
        5);
    QProcess run;
    run.start(QStringLiteral(KOVELPLAYER_PATH),
              {"--headless", QString::fromStdString(path), "--seconds", "5"});
    ASSERT_TRUE(run.waitForFinished(30000));
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    EXPECT_EQ(run.exitCode(), 0) << out.toStdString();
    // The clock text rounds while chapters count whole seconds: at a shown
    // 00:00:02 either chapter may be playing.
    int seen = 0;
    bool sawSecond = false;
    for (const QString& line : out.split('\n')) {
        if (!line.startsWith("position: "))
            continue;
        ++seen;
        const int shown = line.mid(16, 2).toInt();
        const QString chapter = line.section(QStringLiteral("chapter: "), 1);
        if (shown <= 1) {
            EXPECT_EQ(chapter, QString::fromUtf8("开始")) << line.toStdString();
        } else if (shown >= 3) {
            EXPECT_EQ(chapter, QStringLiteral("second")) << line.toStdString();
        }
        sawSecond = sawSecond || chapter == QStringLiteral("second");
    }
    EXPECT_GE(seen, 3) << out.toStdString();
    EXPECT_TRUE(sawSecond) << out.toStdString();
    EXPECT_TRUE(out.startsWith(QStringLiteral("title: "))) << out.toStdString();
}

TEST_F(ChapterTest, HeadlessPlayAtASpeedCoversSpeedTimesTheSeconds) {
    const std::string path = Lesson("s.zmr", Doc("<Chapter id=\"1\" time=\"0\">A</Chapter>\n"), 10);
    QProcess run;
    run.start(QStringLiteral(KOVELPLAYER_PATH),
              {"--headless", QString::fromStdString(path), "--seconds", "2", "--speed", "1.5"});
    ASSERT_TRUE(run.waitForFinished(30000));
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    EXPECT_EQ(run.exitCode(), 0) << out.toStdString();
    const QString stopped = out.section(QStringLiteral("stopped at: "), 1).section(' ', 0, 0);
    // The start's latency counts at the speed too; a slow build under load takes
    // most of the 0.3 s at 1.5x.
    EXPECT_NEAR(stopped.toDouble(), 3.0, 0.3) << out.toStdString();
}

TEST_F(ChapterTest, EditModeSaysAtOnceWhenTheChaptersCannotBeWrittenBack) {
    CPlayerDlg dlg;
    OpenForEditing(dlg, Lesson("ok.zmr", Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n")));
    auto notice = [&] { return dlg.findChild<QLabel*>(QStringLiteral("writeBackNotice")); };
    EXPECT_TRUE(!notice() || !notice()->isVisibleTo(&dlg));
    std::map<QWidget*, QRect> layout;
    for (QWidget* w : dlg.findChildren<QWidget*>())
        if (w->property("controlId").isValid())
            layout[w] = w->geometry();

    const std::vector<std::string> unwritable = {
        Lesson("ro.zmr", Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n")), UnknownOffsetLesson("u.zmr")};
    ASSERT_EQ(::chmod(unwritable[0].c_str(), 0444), 0);
    for (const std::string& path : unwritable) {
        SCOPED_TRACE(path);
        ObeyFileModes modes;
        ASSERT_TRUE(modes.ok());
        ASSERT_TRUE(dlg.OnCopyData(1, QByteArray::fromStdString(path)));
        ASSERT_TRUE(notice());
        EXPECT_TRUE(notice()->isVisibleTo(&dlg));
        EXPECT_FALSE(notice()->text().isEmpty());
        EXPECT_TRUE(notice()->toolTip().startsWith(QStringLiteral("Chapters cannot be written back: ")));
        // Said in the window, not in a box, and no control of the window moved.
        EXPECT_TRUE(messages.empty());
        for (const auto& [w, rect] : layout) EXPECT_EQ(w->geometry(), rect) << w->objectName().toStdString();
    }
    // Leaving edit mode takes it away; a writable lesson has none.
    ASSERT_TRUE(dlg.OnCopyData(0, QByteArray()));
    EXPECT_FALSE(notice()->isVisibleTo(&dlg));
    ASSERT_TRUE(dlg.OnCopyData(1, QByteArray::fromStdString(unwritable[1])));
    ASSERT_TRUE(dlg.OnCopyData(1, QByteArray::fromStdString(Lesson("ok2.zmr", ""))));
    EXPECT_FALSE(notice()->isVisibleTo(&dlg));
}

TEST_F(ChapterTest, DocumentsRoundTripInTheEncodingTheyDeclare) {
    struct Encoding {
        const char* declared;
        const char* charset;  // of the stored bytes
        std::string bom;
        std::string added;  // how the added title reads in the stored document
    };
    // 镕 is not in GB2312, 😀 not in GBK: they become character references.
    const std::string title = "镕 😀";
    const Encoding encodings[] = {
        {"GB2312", "GB2312", "", "&#38229; &#128512;"},
        {"GBK", "GBK", "", "镕 &#128512;"},
        {"GB18030", "GB18030", "", title},
        {"UTF-8", "UTF-8", "", title},
        {"UTF-16", "UTF-16LE", "\xFF\xFE", title},
    };
    for (const Encoding& e : encodings) {
        SCOPED_TRACE(e.declared);
        const std::optional<std::string> stored =
            Convert(std::string("<?xml version=\"1.0\" encoding=\"") + e.declared + "\"?>\n" +
                        "<Index>\n\t<Chapter id=\"1\" time=\"10\">第一章</Chapter>\n</Index>\n",
                    e.charset, "UTF-8");
        ASSERT_TRUE(stored);
        const std::string path = Lesson(std::string(e.declared) + ".zmr", e.bom + *stored);
        const std::string before = ReadAll(path);
        CPlayerDlg dlg;
        OpenForEditing(dlg, path);
        EXPECT_EQ(Titles(dlg), QStringList{QString::fromUtf8("第一章")});

        // Nothing edited (a modify with no chapter chosen changes nothing):
        // the document goes back byte for byte.
        Press(dlg, IDC_MODIFYCHAPTER);
        Press(dlg, IDC_EDITDONE);
        ASSERT_EQ(messages, (std::vector<std::string>{kMsgWrittenBack}));
        EXPECT_EQ(ReadAll(path), before);

        OpenForEditing(dlg, path);
        dlg.Player().PlayPause();  // no tick puts the slider back
        Slider(dlg)->setValue(20);
        TitleEntry(dlg)->setText(QString::fromUtf8(title));
        Press(dlg, IDC_ADDCHAPTER);
        Press(dlg, IDC_EDITDONE);
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[1], kMsgWrittenBack);
        OpenForEditing(dlg, path);
        EXPECT_EQ(Titles(dlg), (QStringList{QString::fromUtf8("第一章"), QString::fromUtf8(title)}));
        EXPECT_EQ(dlg.Player().ChapterTimes(), (std::vector<int32_t>{10, 20}));

        // Written back in the encoding it declares, and nothing else.
        const std::string tail = ReadAll(path).substr(ChapterOffsetOf(before));
        ASSERT_EQ(tail.substr(0, e.bom.size()), e.bom);
        const std::optional<std::string> text = Convert(tail.substr(e.bom.size()), "UTF-8", e.charset);
        ASSERT_TRUE(text) << "not " << e.charset;
        EXPECT_EQ(text->find(std::string("<?xml version=\"1.0\" encoding=\"") + e.declared + "\"?>"), 0u)
            << *text;
        EXPECT_NE(text->find(">" + e.added + "</Chapter>"), std::string::npos) << *text;
        messages.clear();
    }
}

TEST_F(ChapterTest, OpeningCompletesAWriteBackThatWasCutShort) {
    const std::string oldDoc =
        Doc("<Chapter id=\"1\" time=\"10\">old</Chapter>\n<Chapter id=\"2\" time=\"20\">"
            "old too</Chapter>\n");
    const std::string newDoc = Doc("<Chapter id=\"3\" time=\"5\">new</Chapter>\n");
    const std::string path = Lesson("cut.zmr", oldDoc);
    const std::string media = MediaPart(120);
    // A write-back that died after writing the new document over the old
    // one, before setting the end of the file: its journal, a torn document.
    zmr::ChapterJournal journal;
    journal.old_size = media.size() + oldDoc.size();
    journal.document = newDoc;
    {
        zmr::FileReader file;
        ASSERT_EQ(file.Open(path), 0);
        ASSERT_TRUE(zmr::ReadLessonIdentity(file, media.size(), &journal.lesson));
    }
    WriteAll(zmr::ChapterJournalPath(path), zmr::EncodeChapterJournal(journal));
    WriteAll(path, media + newDoc + oldDoc.substr(newDoc.size()));

    CPlayerDlg dlg;
    dlg.SetPendingFile(path);
    dlg.OnInitDialog();
    EXPECT_EQ(Titles(dlg), QStringList{"new"});
    EXPECT_EQ(ReadAll(path), media + newDoc);
    EXPECT_NE(::access(zmr::ChapterJournalPath(path).c_str(), F_OK), 0);
}

TEST_F(ChapterTest, AWriteBackNeverOverwritesChaptersItDidNotRead) {
    const std::string path = Lesson("both.zmr", Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n"));
    CPlayerDlg first, second;
    OpenForEditing(first, path);
    OpenForEditing(second, path);
    TitleEntry(first)->setText("first's");
    Press(first, IDC_ADDCHAPTER);
    Press(first, IDC_EDITDONE);
    ASSERT_EQ(messages, (std::vector<std::string>{kMsgWrittenBack}));
    const std::string written = ReadAll(path);

    // The second read the lesson before the first wrote it back.
    messages.clear();
    Press(second, IDC_EDITDONE);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("changed by another program"), std::string::npos) << messages[0];
    EXPECT_EQ(ReadAll(path), written);
    // The first goes on writing over what it wrote itself.
    messages.clear();
    Press(first, IDC_EDITDONE);
    EXPECT_EQ(messages, (std::vector<std::string>{kMsgWrittenBack}));
}

TEST_F(ChapterTest, TwoRunningPlayersNeverShareAWorkingCopy) {
    const std::string doc = Doc("<Chapter id=\"1\" time=\"10\">A</Chapter>\n");
    const std::string path = Lesson("shared.zmr", doc);
    const QString data = dir.path() + "/data";
    const QString socket = QStringLiteral("kovel-two-%1-").arg(qApp->applicationPid());
    auto start = [&](QProcess& player, const QString& name) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_DATA_HOME", data);
        env.insert("KOVEL_PLAYER_SOCKET", socket + name);
        player.setProcessEnvironment(env);
        player.start(QStringLiteral(KOVELPLAYER_PATH), {QString::fromStdString(path)});
    };
    // Each running player's working copy, by its folder.
    auto copies = [&] {
        std::map<std::string, std::string> found;
        const QDir sessions(data + "/kovelplayer");
        for (const QString& s : sessions.entryList({"session-*"}, QDir::Dirs)) {
            const std::string file = (sessions.filePath(s) + "/temp.xml").toStdString();
            if (::access(file.c_str(), F_OK) == 0)
                found[file] = ReadAll(file);
        }
        return found;
    };
    auto waitFor = [](const std::function<bool()>& done) {
        for (int i = 0; i < 600 && !done(); ++i) QTest::qWait(50);
        return done();
    };

    QProcess a, b;
    start(a, "a");
    ASSERT_TRUE(waitFor([&] { return copies().size() == 1 && copies().begin()->second == doc; }));
    const std::string aCopy = copies().begin()->first;
    // The first player's edit, not written back yet.
    WriteAll(aCopy, "first's edit");
    start(b, "b");
    ASSERT_TRUE(waitFor([&] { return copies().size() == 2; }));
    std::map<std::string, std::string> both = copies();
    both.erase(aCopy);
    ASSERT_EQ(both.size(), 1u);
    const std::string bCopy = both.begin()->first;
    EXPECT_TRUE(waitFor([&] { return copies()[bCopy] == doc; }));
    EXPECT_EQ(copies()[aCopy], "first's edit");

    // Chapters written back while both play; the second player, asked to
    // open the lesson again, takes them into its own copy only.
    const std::string newDoc = Doc("<Chapter id=\"2\" time=\"20\">B</Chapter>\n");
    const std::string in = (dir.path() + "/new.xml").toStdString();
    WriteAll(in, newDoc);
    ASSERT_EQ(QProcess::execute(QStringLiteral(ZMR_PATH), {"chapters", QString::fromStdString(path),
                                                           "--import", QString::fromStdString(in)}),
              0);
    QLocalSocket request;
    request.connectToServer(PrivateRuntimeFolder(nullptr) + "/" + socket + "b");
    ASSERT_TRUE(request.waitForConnected(5000));
    request.write(EncodeOpenRequest(1, QByteArray::fromStdString(path)));
    ASSERT_TRUE(request.waitForBytesWritten(5000));
    ASSERT_TRUE(waitFor([&] { return request.bytesAvailable() >= 4; }));
    EXPECT_EQ(request.readAll(), QByteArray("\x01\0\0\0", 4));
    EXPECT_TRUE(waitFor([&] { return copies()[bCopy] == newDoc; }));
    EXPECT_EQ(copies()[aCopy], "first's edit");
    EXPECT_EQ(a.state(), QProcess::Running);
    EXPECT_EQ(b.state(), QProcess::Running);
    for (QProcess* p : {&a, &b}) {
        p->kill();
        p->waitForFinished(10000);
    }
}
