#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QAccessible>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QStyle>

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "command_line.h"
#include "link_label.h"
#include "obey_file_modes.h"
#include "player_app.h"
#include "player_dlg.h"
#include "report_message.h"
#include "resume_store.h"
#include "slider_option.h"
#include "speed_control.h"
#include "test_support.h"
#include "transport.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        qputenv("KOVEL_PLAYER_SOCKET",
                QByteArray("kovel-dlg-test-") + QByteArray::number(qApp->applicationPid()));
        // Where lessons were left is each test's own.
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path() + "/state"));
        SetReportMessageSink([this](const std::string& m) { messages.push_back(m); });
    }
    void TearDown() override { SetReportMessageSink({}); }

    std::string Lesson(const std::string& name, const LessonSpec& spec) {
        std::string path = (dir.path() + "/").toStdString() + name;
        WriteFile(path, PlayableLessonBytes(spec.records));
        return path;
    }
    static QWidget* NextTabStop(QWidget* w) {
        for (QWidget* n = w->nextInFocusChain(); n && n != w; n = n->nextInFocusChain())
            if (n->focusPolicy() & Qt::TabFocus)
                return n;
        return nullptr;
    }
    static QString Text(CPlayerDlg& dlg, int id) { return static_cast<QLabel*>(dlg.Control(id))->text(); }
    static QSlider* Slider(CPlayerDlg& dlg, int id) { return static_cast<QSlider*>(dlg.Control(id)); }
    // Where the style draws the slider's thumb, in the slider's coordinates.
    static QRect Thumb(QSlider* slider) {
        const QStyleOptionSlider opt = SliderOption(slider);
        return slider->style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, slider);
    }
    // A minute of sound: long enough for page steps of several seconds.
    static std::string MinuteLesson() {
        return MadeLesson({"--tone", "--no-screen", "--no-camera", "--duration", "60"});
    }
    static void PlayFrom(CPlayerDlg& dlg, const std::string& path) {
        dlg.SetPendingFile(path);
        dlg.OnInitDialog();
        ASSERT_NE(ExposedWindow(&dlg), nullptr);
        ASSERT_EQ(dlg.Player().State(), PlayState::Running);
    }
    static QString Shown(CPlayerDlg& dlg) { return Text(dlg, IDC_POSITIONTEXT); }
    // The drop-down shows the speed the graph plays at.
    static void ExpectSpeedShown(CPlayerDlg& dlg, double rate) {
        EXPECT_EQ(dlg.Player().GetRate(), rate);
        EXPECT_EQ(dlg.SpeedButton()->text(), SpeedText(rate) + QString::fromUtf8(" ▾"));
    }
    static LONG Volume(CPlayerDlg& dlg) {
        LONG v = 1;
        dlg.Player().BasicAudio()->get_Volume(&v);
        return v;
    }

    QTemporaryDir dir;
    std::vector<std::string> messages;
};

}  // namespace

TEST_F(DialogTest, ControlsHaveIdsKindsTextsAndPlaces) {
    CPlayerDlg dlg;
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("KovelPlayer"));
    EXPECT_FALSE(dlg.windowIcon().isNull());
    const DialogBaseUnits u = dlg.BaseUnits();
    for (const ControlSpec& c : MainDialogTemplate().controls) {
        if (c.id == kStaticId)
            continue;
        QWidget* w = dlg.findChild<QWidget*>(QStringLiteral("ctl%1").arg(c.id));
        ASSERT_NE(w, nullptr) << c.id;
        EXPECT_EQ(w->property("controlId").toInt(), c.id);
        EXPECT_EQ(w->geometry().topLeft(), u.ToPixels(c.x, c.y, c.cx, c.cy).topLeft()) << c.id;
    }
    // Initialisation moves the bottom rows to the bottom of the (larger) window.
    dlg.OnInitDialog();
    EXPECT_EQ(dlg.Control(IDC_CHAPTERS)->pos(), u.ToPixels(14, 181, 126, 86).topLeft());
    EXPECT_NE(qobject_cast<QGroupBox*>(dlg.Control(IDC_SCREENBOX)), nullptr);
    EXPECT_EQ(qobject_cast<QGroupBox*>(dlg.Control(IDC_CHAPTERFRAME))->title(), QString::fromUtf8("章节"));
    auto* slider = qobject_cast<QSlider*>(dlg.Control(IDC_POSITION));
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->orientation(), Qt::Horizontal);
    EXPECT_EQ(slider->tickPosition(), QSlider::NoTicks);
    EXPECT_EQ(qobject_cast<QPushButton*>(dlg.Control(IDC_PLAYPAUSE))->text(), QString::fromUtf8("播放/暂停"));
    EXPECT_EQ(qobject_cast<QPushButton*>(dlg.Control(IDC_EDITDONE))->text(), QString::fromUtf8("编辑完成"));
    EXPECT_NE(qobject_cast<QListWidget*>(dlg.Control(IDC_CHAPTERS)), nullptr);
    EXPECT_EQ(Text(dlg, IDC_POSITIONTEXT), QStringLiteral("00:00:00"));
    EXPECT_EQ(dlg.AuthorLink(), dlg.Control(IDC_AUTHORLINK));
    EXPECT_EQ(dlg.AuthorLink()->text(), QStringLiteral("t"));
    EXPECT_TRUE(dlg.AuthorLink()->isHidden());
    EXPECT_EQ(dlg.AuthorLink()->pos(), dlg.Control(IDC_MAKERNAME)->pos());
    for (int id : kEditModeControls) EXPECT_TRUE(dlg.Control(id)->isHidden()) << id;
    EXPECT_FALSE(dlg.Control(IDC_OPEN)->isHidden());
    // Captions exist with their texts.
    QStringList captions;
    for (QLabel* l : dlg.findChildren<QLabel*>())
        if (l->property("controlId").toInt() == kStaticId)
            captions << l->text();
    EXPECT_TRUE(captions.contains(QString::fromUtf8("课件主题：")));
    EXPECT_TRUE(captions.contains(QString::fromUtf8("制 作 者：")));
    // Tab order follows the template: slider, stop, play/pause, volume, list, open ...
    EXPECT_EQ(NextTabStop(dlg.Control(IDC_POSITION)), dlg.Control(IDC_STOP));
    EXPECT_EQ(NextTabStop(dlg.Control(IDC_VOLUME)), dlg.Control(IDC_CHAPTERS));
    EXPECT_EQ(dlg.Control(IDC_POSITIONTEXT)->focusPolicy(), Qt::NoFocus);
}

TEST_F(DialogTest, RelayoutAfterWideningAndGrowing) {
    CPlayerDlg dlg;
    dlg.OnInitDialog();
    dlg.show();
    // Controls keep their template places relative to the bottom right.
    const QRect start = dlg.rect();
    EXPECT_EQ(dlg.Control(IDC_EDITFRAME)->geometry().bottom() -
                  dlg.BaseUnits().ToPixels(159, 244, 252, 28).bottom(),
              start.bottom() - dlg.BaseUnits().ToPixels(0, 0, 418, 279).bottom());
    dlg.resize(900, 600);
    auto geo = [&](int id) { return dlg.Control(id)->geometry(); };
    const QRect screen = geo(IDC_SCREENBOX), pos = geo(IDC_POSITION), frame = geo(IDC_TRANSPORTFRAME),
                edit = geo(IDC_EDITFRAME), play = geo(IDC_PLAYPAUSE), list = geo(IDC_CHAPTERS),
                cam = geo(IDC_CAMERABOX), title = geo(IDC_CHAPTERTITLE), dur = geo(IDC_DURATIONTEXT);
    dlg.resize(1000, 600);
    EXPECT_EQ(geo(IDC_SCREENBOX), screen.adjusted(0, 0, 100, 0));
    EXPECT_EQ(geo(IDC_POSITION), pos.adjusted(0, 0, 100, 0));
    EXPECT_EQ(geo(IDC_TRANSPORTFRAME), frame.adjusted(0, 0, 100, 0));
    EXPECT_EQ(geo(IDC_EDITFRAME), edit.adjusted(0, 0, 100, 0));
    EXPECT_EQ(geo(IDC_PLAYPAUSE), play);
    dlg.resize(1000, 650);
    EXPECT_EQ(geo(IDC_SCREENBOX), screen.adjusted(0, 0, 100, 50));
    EXPECT_EQ(geo(IDC_POSITION), pos.adjusted(0, 50, 100, 50));
    EXPECT_EQ(geo(IDC_EDITFRAME), edit.adjusted(0, 50, 100, 50));
    EXPECT_EQ(geo(IDC_PLAYPAUSE), play.translated(0, 50));
    EXPECT_EQ(geo(IDC_CHAPTERTITLE), title.translated(0, 50));
    EXPECT_EQ(geo(IDC_DURATIONTEXT), dur.translated(0, 50));
    EXPECT_EQ(geo(IDC_CHAPTERS), list);
    EXPECT_EQ(geo(IDC_CAMERABOX), cam);
    // Shrinking back restores the first layout.
    dlg.resize(900, 600);
    EXPECT_EQ(geo(IDC_SCREENBOX), screen);
    EXPECT_EQ(geo(IDC_PLAYPAUSE), play);
}

TEST_F(DialogTest, MinimumSize) {
    CPlayerDlg dlg;
    dlg.OnInitDialog();
    dlg.show();
    EXPECT_EQ(dlg.minimumSize(), QSize(730, 530));
    dlg.resize(300, 200);
    EXPECT_GE(dlg.width(), 730);
    EXPECT_GE(dlg.height(), 530);
}

TEST_F(DialogTest, CommandLineQuotesAreTrimmed) {
    char a0[] = "kovelplayer", a1[] = "\"/tmp/my", a2[] = "lesson.zmr\"";
    char* argv[] = {a0, a1, a2};
    EXPECT_EQ(PendingFileFromArguments(3, argv, 1), "/tmp/my lesson.zmr");
    char q1[] = "\"\"x\"y\"\"";
    char* argv2[] = {a0, q1};
    EXPECT_EQ(PendingFileFromArguments(2, argv2, 1), "x\"y");
    char q2[] = "\"\"";
    char* argv3[] = {a0, q2};
    EXPECT_EQ(PendingFileFromArguments(2, argv3, 1), "");
    EXPECT_EQ(PendingFileFromArguments(1, argv3, 1), "");
}

TEST_F(DialogTest, PendingFileOpensWithoutTheFileDialog) {
    LessonSpec spec{{{"TITL", kGbkLessonTitle}, {"MKNM", kGbkMakerName}, {"MKDT", "2026-03-04"}}};
    std::string path = Lesson("a.zmr", spec);
    CPlayerDlg dlg;
    bool asked = false;
    dlg.SetFileChooser([&](const QStringList&) -> std::optional<std::string> {
        asked = true;
        return std::nullopt;
    });
    dlg.SetPendingFile(path);
    dlg.OnInitDialog();
    EXPECT_FALSE(asked);
    EXPECT_TRUE(dlg.PendingFile().empty());
    EXPECT_EQ(dlg.CurrentFile(), path);
    EXPECT_EQ(Text(dlg, IDC_TITLE), QString::fromUtf8("课件"));
    EXPECT_EQ(dlg.Control(IDC_TITLE)->toolTip(), QString::fromUtf8("课件"));
    EXPECT_EQ(Text(dlg, IDC_MAKERNAME), QString::fromUtf8("张三"));
    EXPECT_EQ(Text(dlg, IDC_MAKINGDATE), QStringLiteral("2026-03-04"));
    // No account: the plain maker label shows, the link does not.
    EXPECT_FALSE(dlg.Control(IDC_MAKERNAME)->isHidden());
    EXPECT_TRUE(dlg.AuthorLink()->isHidden());
    EXPECT_TRUE(messages.empty());
}

TEST_F(DialogTest, AccountShowsTheLinkInsteadOfTheLabel) {
    std::string path = Lesson("b.zmr", {{{"MKNM", "Li"}, {"MKER", "a b/c?d"}}});
    CPlayerDlg dlg;
    dlg.SetPendingFile(path);
    dlg.OnInitDialog();
    EXPECT_TRUE(dlg.Control(IDC_MAKERNAME)->isHidden());
    EXPECT_FALSE(dlg.AuthorLink()->isHidden());
    EXPECT_EQ(dlg.AuthorLink()->text(), QStringLiteral("Li"));
    EXPECT_EQ(dlg.AuthorLink()->Url(), QString::fromLatin1(kMemberPageBase) + "a%20b%2Fc%3Fd");
    // A second lesson without an account swaps back.
    std::string plain = Lesson("c.zmr", {{{"MKNM", "Wu"}}});
    dlg.SetFileChooser([&](const QStringList&) { return std::optional<std::string>(plain); });
    dlg.OnOpen();
    EXPECT_FALSE(dlg.Control(IDC_MAKERNAME)->isHidden());
    EXPECT_TRUE(dlg.AuthorLink()->isHidden());
    EXPECT_EQ(Text(dlg, IDC_MAKERNAME), QStringLiteral("Wu"));
}

TEST_F(DialogTest, CancelAndFailedOpenChangeNothing) {
    std::string path = Lesson("a.zmr", {{{"TITL", "Kept"}}});
    CPlayerDlg dlg;
    dlg.SetPendingFile(path);
    dlg.OnInitDialog();
    QStringList seenFilters;
    dlg.SetFileChooser([&](const QStringList& filters) -> std::optional<std::string> {
        seenFilters = filters;
        return std::nullopt;
    });
    dlg.OnOpen();
    EXPECT_EQ(seenFilters.size(), 3);
    EXPECT_EQ(Text(dlg, IDC_TITLE), QStringLiteral("Kept"));
    EXPECT_EQ(dlg.CurrentFile(), path);
    EXPECT_TRUE(messages.empty());

    dlg.SetFileChooser([&](const QStringList&) { return std::optional<std::string>(path + ".missing"); });
    dlg.OnOpen();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Failed open");
    EXPECT_EQ(Text(dlg, IDC_TITLE), QStringLiteral("Kept"));
}

TEST_F(DialogTest, FilterListConversion) {
    QStringList f = ConvertFilterList(kOpenFilter);
    ASSERT_EQ(f.size(), 3);
    EXPECT_EQ(f[0], QStringLiteral("zumaro(.zmr) (*.zmr)"));
    EXPECT_EQ(f[1], QString::fromUtf8("支持格式(*wma,*asf) (*.wma *.asf *.wmv)"));
    EXPECT_EQ(f[2], QStringLiteral("all Files (*)"));
}

TEST_F(DialogTest, EscapeF1AndCloseThroughTheWindow) {
    {
        CPlayerDlg dlg;
        dlg.OnInitDialog();
        bool aboutShown = false;
        QTimer closeAbout;
        QObject::connect(&closeAbout, &QTimer::timeout, [&] {
            if (auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
                aboutShown = true;
                Click(about->findChild<QPushButton*>(QStringLiteral("ctl1")));
            }
        });
        closeAbout.start(20);
        Key(&dlg, Qt::Key_F1);
        EXPECT_TRUE(aboutShown);
        EXPECT_FALSE(dlg.CleanedUp());
        Key(&dlg, Qt::Key_Escape);
        EXPECT_TRUE(dlg.CleanedUp());
        EXPECT_FALSE(dlg.isVisible());
    }
    {
        CPlayerDlg dlg;
        dlg.OnInitDialog();
        ExposedWindow(&dlg)->close();
        EXPECT_TRUE(dlg.CleanedUp());
        // The request socket is released with the window.
        EXPECT_TRUE(dlg.RequestServerName().isEmpty());
    }
}

TEST_F(DialogTest, ReportMessageKeepsPercentAndLimitsLength) {
    ReportMessage("%s", "/tmp/100%sure%n.zmr");
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "/tmp/100%sure%n.zmr");
    std::string longText(3000, 'x');
    EXPECT_EQ(FormatReportMessage("%s", longText.c_str()).size(), kReportMessageMaxChars);
    EXPECT_EQ(FormatReportMessage("FAILED(hr=0x%x) in %s\n", 0x80004005u, "Run()"),
              "FAILED(hr=0x80004005) in Run()\n");
}

TEST_F(DialogTest, AboutBoxTexts) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8("关于 kovelPlayer"));
    QStringList texts;
    for (QLabel* l : about.findChildren<QLabel*>()) texts << l->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("kovelPlayer Version 1.0")));
    auto* ok = about.findChild<QPushButton*>(QStringLiteral("ctl1"));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QString::fromUtf8("确定"));
}

// Qt gives a click to the topmost widget at its place: each control must be
// that widget over its whole area, whichever frames were made after it.
TEST_F(DialogTest, NoControlIsCoveredInEitherMode) {
    const std::string path = Lesson("a.zmr", {});
    CPlayerDlg dlg;
    dlg.OnInitDialog();
    ASSERT_NE(ExposedWindow(&dlg), nullptr);
    dlg.resize(dlg.minimumSize());
    for (uint32_t editMode : {0u, 1u}) {
        ASSERT_TRUE(dlg.OnCopyData(editMode, QByteArray::fromStdString(path)));
        // The speed drop-down, added on the right end of the editing row's
        // frame between the time and that row's buttons, is nobody's cover.
        QWidget* speed = dlg.SpeedButton();
        ASSERT_TRUE(speed->isVisible());
        const QRect frame = dlg.Control(IDC_EDITFRAME)->geometry();
        EXPECT_LE(speed->geometry().right(), frame.right());
        EXPECT_GT(speed->geometry().right(), frame.right() - 20);
        EXPECT_GT(speed->y(), dlg.Control(IDC_DURATIONTEXT)->geometry().bottom());
        EXPECT_LT(speed->geometry().bottom(), dlg.Control(IDC_EDITDONE)->y());
        for (QPoint p : {speed->geometry().center(), speed->geometry().topLeft() + QPoint(1, 1),
                         speed->geometry().bottomRight() - QPoint(1, 1)})
            EXPECT_EQ(dlg.childAt(p), speed);
        for (const ControlSpec& c : MainDialogTemplate().controls) {
            QWidget* w = dlg.Control(c.id);
            if (!w || !w->isVisible())
                continue;
            const QRect r = w->geometry().adjusted(1, 1, -1, -1);
            for (QPoint p : {r.center(), r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()}) {
                QWidget* hit = dlg.childAt(p);
                if (c.kind == ControlKind::GroupBox)
                    EXPECT_TRUE(!hit || !(hit == w || w->isAncestorOf(hit))) << c.id << " takes input";
                else
                    EXPECT_TRUE(hit && (hit == w || w->isAncestorOf(hit)))
                        << c.id << " is covered by " << (hit ? hit->objectName() : QString()).toStdString()
                        << " in edit mode " << editMode;
            }
        }
    }
}

TEST_F(DialogTest, TransportButtonsThroughTheWindow) {
    const std::string path = MinuteLesson();
    CPlayerDlg dlg;
    PlayFrom(dlg, path);
    CGraphPlayer& player = dlg.Player();
    // In edit mode a second row of controls stands below the transport row.
    for (uint32_t editMode : {0u, 1u}) {
        ASSERT_TRUE(dlg.OnCopyData(editMode, QByteArray::fromStdString(path)));
        Click(dlg.Control(IDC_PLAYPAUSE));
        ASSERT_EQ(player.State(), PlayState::Paused);
        const double paused = player.GetPositionSeconds();
        QTest::qWait(300);
        EXPECT_NEAR(player.GetPositionSeconds(), paused, 0.05);
        Click(dlg.Control(IDC_PLAYPAUSE));
        EXPECT_EQ(player.State(), PlayState::Running);

        player.SeekBy(20);
        Click(dlg.Control(IDC_STOP));
        EXPECT_EQ(player.State(), PlayState::Stopped);
        EXPECT_NEAR(player.GetPositionSeconds(), 0.0, 0.1);
        EXPECT_EQ(Text(dlg, IDC_POSITIONTEXT), QStringLiteral("00:00:00 "));
        Click(dlg.Control(IDC_PLAYPAUSE));
        EXPECT_EQ(player.State(), PlayState::Running);

        int asked = 0;
        dlg.SetFileChooser([&](const QStringList&) -> std::optional<std::string> {
            ++asked;
            return std::nullopt;
        });
        Click(dlg.Control(IDC_OPEN));
        EXPECT_EQ(asked, 1);
    }
    EXPECT_TRUE(messages.empty());
}

TEST_F(DialogTest, PositionSliderByMouseAndKeys) {
    CPlayerDlg dlg;
    PlayFrom(dlg, MinuteLesson());
    CGraphPlayer& player = dlg.Player();
    QSlider* slider = Slider(dlg, IDC_POSITION);
    ASSERT_EQ(slider->pageStep(), 6);
    auto pos = [&] { return player.GetPositionSeconds(); };
    // Paused, positions hold still between the steps.
    Click(dlg.Control(IDC_PLAYPAUSE));
    player.SeekBy(30 - pos());
    ASSERT_EQ(slider->value(), 30);
    const int y = slider->height() / 2;
    // After the thumb: a page forward, to where the thumb lands; before it: 10 s back.
    ClickAt(slider, QPoint(slider->width() - 2, y));
    EXPECT_NEAR(pos(), 36, 0.5);
    ClickAt(slider, QPoint(1, y));
    EXPECT_NEAR(pos(), 26, 0.5);
    // The click gave the slider the focus. PageUp acts as a click before the thumb.
    Key(&dlg, Qt::Key_PageUp);
    EXPECT_NEAR(pos(), 16, 0.5);
    Key(&dlg, Qt::Key_PageDown);
    EXPECT_NEAR(pos(), 22, 0.5);
    EXPECT_EQ(slider->value(), 22);
    Key(&dlg, Qt::Key_End);
    EXPECT_NEAR(pos(), 60, 0.5);
    Key(&dlg, Qt::Key_Home);
    EXPECT_NEAR(pos(), 0, 0.5);
    EXPECT_EQ(player.State(), PlayState::Paused);

    // A drag during playback pauses, seeks once at the release and resumes.
    Click(dlg.Control(IDC_PLAYPAUSE));
    ASSERT_EQ(player.State(), PlayState::Running);
    DragAt(slider, Thumb(slider).center(), QPoint(slider->width() * 3 / 4, y),
           [&] { EXPECT_EQ(player.State(), PlayState::Paused); });
    EXPECT_EQ(player.State(), PlayState::Running);
    EXPECT_GT(slider->value(), 35);
    EXPECT_NEAR(pos(), slider->value(), 1.0);
}

TEST_F(DialogTest, VolumeSliderByMouseAndKeys) {
    CPlayerDlg dlg;
    PlayFrom(dlg, Lesson("v.zmr", {}));
    QSlider* volume = Slider(dlg, IDC_VOLUME);
    ASSERT_EQ(volume->value(), kVolumeRange);
    ASSERT_EQ(Volume(dlg), 0);
    // Before the thumb, which stands at full volume: 10 dB down, and the thumb goes as far.
    ClickAt(volume, QPoint(1, volume->height() / 2));
    EXPECT_EQ(Volume(dlg), -1000);
    EXPECT_EQ(volume->value(), kVolumeRange - 1000);
    Key(&dlg, Qt::Key_PageUp);
    EXPECT_EQ(Volume(dlg), -2000);
    Key(&dlg, Qt::Key_PageDown);
    EXPECT_EQ(Volume(dlg), -1000);
    // A drag takes effect at the release.
    DragAt(volume, Thumb(volume).center(), QPoint(volume->width() / 3, volume->height() / 2));
    EXPECT_LT(volume->value(), 3000);
    EXPECT_EQ(Volume(dlg), volume->value() - kVolumeRange);
}

TEST_F(DialogTest, TabStopsShowTheirFocusAndControlsHaveNames) {
    CPlayerDlg dlg;
    dlg.OnInitDialog();
    ASSERT_TRUE(dlg.OnCopyData(1, QByteArray::fromStdString(Lesson("a.zmr", {}))));
    ASSERT_NE(ExposedWindow(&dlg), nullptr);
    const std::map<int, const char*> names = {{IDC_POSITION, "播放进度"},  {IDC_VOLUME, "音量"},
                                              {IDC_CHAPTERS, "章节"},      {IDC_CHAPTERTITLE, "章节标题"},
                                              {IDC_SCREENBOX, "屏幕录像"}, {IDC_CAMERABOX, "摄像画面"}};
    std::vector<QWidget*> stops;
    for (const ControlSpec& c : MainDialogTemplate().controls) {
        QWidget* w = dlg.Control(c.id);
        if (!w)
            continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        ASSERT_NE(a, nullptr);
        if (c.kind == ControlKind::PushButton) {
            EXPECT_EQ(a->text(QAccessible::Name), QString::fromUtf8(c.text));
        } else if (names.count(c.id)) {
            EXPECT_EQ(a->text(QAccessible::Name), QString::fromUtf8(names.at(c.id)));
        }
        if (c.tabStop)
            stops.push_back(w);
    }
    // Going round the tab stops twice: each one looks different while it has the focus.
    std::map<QWidget*, QImage> focused, unfocused;
    for (size_t step = 0; step < 2 * stops.size(); ++step) {
        for (QWidget* w : stops) (w->hasFocus() ? focused : unfocused)[w] = w->grab().toImage();
        Key(&dlg, Qt::Key_Tab);
    }
    for (QWidget* w : stops) {
        ASSERT_TRUE(focused.count(w) && unfocused.count(w)) << w->objectName().toStdString();
        EXPECT_NE(focused[w], unfocused[w]) << w->objectName().toStdString() << " shows no focus";
    }
}

// A desktop session ends its programs with SIGTERM, a terminal with SIGINT or SIGHUP.
TEST_F(DialogTest, QuitSignalsEndTheProgramWithTheCloseCleanUp) {
    const std::string path = Lesson("q.zmr", {});
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        CPlayerDlg dlg;
        dlg.SetPendingFile(path);
        std::string workingCopy;
        QElapsedTimer sent;
        QTimer::singleShot(100, &dlg, [&] {
            workingCopy = dlg.Player().TempDocument();
            EXPECT_TRUE(QFile::exists(QString::fromStdString(workingCopy)));
            sent.start();
            ::raise(signalNumber);
        });
        EXPECT_EQ(RunMainWindow(dlg), 128 + signalNumber);
        EXPECT_LT(sent.elapsed(), 1000);
        EXPECT_TRUE(dlg.CleanedUp());
        EXPECT_EQ(dlg.Player().State(), PlayState::Closed);
        ASSERT_FALSE(workingCopy.empty());
        EXPECT_FALSE(QFile::exists(QString::fromStdString(workingCopy)));
    }
}

// Every key goes to the window, whichever control has the focus: a push button
// does not turn Space into its click, nor the arrows into focus moves. Only the
// chapter title entry keeps them all, for typing, and a slider its own.
TEST_F(DialogTest, KeysActOnTheWholeWindow) {
    const std::string path = MinuteLesson();
    CPlayerDlg dlg;
    PlayFrom(dlg, path);
    CGraphPlayer& player = dlg.Player();
    auto pos = [&] { return player.GetPositionSeconds(); };
    int asked = 0;
    dlg.SetFileChooser([&](const QStringList&) -> std::optional<std::string> {
        ++asked;
        return std::nullopt;
    });
    dlg.Control(IDC_OPEN)->setFocus();
    Key(&dlg, Qt::Key_Space);
    EXPECT_EQ(player.State(), PlayState::Paused);
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(dlg.Control(IDC_OPEN)->hasFocus());

    // Seeks, paused: each lands where it says and the label follows.
    player.SeekBy(30 - pos());
    const struct {
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        double to;
    } seeks[] = {{Qt::Key_Right, Qt::NoModifier, 35},  {Qt::Key_Left, Qt::NoModifier, 30},
                 {Qt::Key_L, Qt::NoModifier, 40},      {Qt::Key_J, Qt::NoModifier, 30},
                 {Qt::Key_Left, Qt::ShiftModifier, 0}, {Qt::Key_L, Qt::NoModifier, 10},
                 {Qt::Key_End, Qt::NoModifier, 60},    {Qt::Key_Home, Qt::NoModifier, 0}};
    for (const auto& seek : seeks) {
        Key(&dlg, seek.key, seek.modifiers);
        EXPECT_NEAR(pos(), seek.to, 0.5) << seek.key;
        EXPECT_EQ(Shown(dlg), QString::fromStdString(FormatClock(pos()))) << seek.key;
    }
    EXPECT_EQ(player.State(), PlayState::Paused);
    Key(&dlg, Qt::Key_Space);
    EXPECT_EQ(player.State(), PlayState::Running);

    // Volume: 5 % of the slider a press, never past full; mute and back.
    QSlider* volume = Slider(dlg, IDC_VOLUME);
    Key(&dlg, Qt::Key_Up);
    EXPECT_EQ(Volume(dlg), 0);
    Key(&dlg, Qt::Key_Down);
    Key(&dlg, Qt::Key_Down);
    EXPECT_EQ(Volume(dlg), -600);
    EXPECT_EQ(volume->value(), kVolumeRange - 600);
    Key(&dlg, Qt::Key_M);
    EXPECT_EQ(Volume(dlg), kSilence);
    EXPECT_EQ(volume->value(), 0);
    Key(&dlg, Qt::Key_M);
    EXPECT_EQ(Volume(dlg), -600);
    EXPECT_EQ(volume->value(), kVolumeRange - 600);
    // A volume key while muted starts from the volume before the mute.
    Key(&dlg, Qt::Key_M);
    Key(&dlg, Qt::Key_Up);
    EXPECT_EQ(Volume(dlg), -300);

    // Speed: faster, slower, normal; the drop-down shows what the graph plays.
    const bool rates = RuntimeTakesRates(player);
    auto speed = [&](double asked) { return rates ? asked : 1.0; };
    Key(&dlg, Qt::Key_BracketRight);
    ExpectSpeedShown(dlg, speed(1.25));
    for (int i = 0; i < 8; ++i) Key(&dlg, Qt::Key_BracketRight);
    ExpectSpeedShown(dlg, speed(3.0));
    Key(&dlg, Qt::Key_BracketLeft);
    ExpectSpeedShown(dlg, speed(2.0));
    // ... and it stays through a pause and a seek.
    Key(&dlg, Qt::Key_Space);
    Key(&dlg, Qt::Key_L);
    Key(&dlg, Qt::Key_Space);
    ExpectSpeedShown(dlg, speed(2.0));
    Key(&dlg, Qt::Key_Backspace);
    ExpectSpeedShown(dlg, 1.0);

    // A focused slider keeps its arrows (a line step does not seek), not Space.
    volume->setFocus();
    const int thumb = volume->value();
    const double at = pos();
    Key(&dlg, Qt::Key_Left);
    EXPECT_EQ(volume->value(), thumb - 1);
    EXPECT_NEAR(pos(), at, 1.0);
    Key(&dlg, Qt::Key_Space);
    EXPECT_EQ(player.State(), PlayState::Paused);

    // The title entry (edit mode) takes every key as text.
    ASSERT_TRUE(dlg.OnCopyData(1, QByteArray::fromStdString(path)));
    auto* entry = static_cast<QLineEdit*>(dlg.Control(IDC_CHAPTERTITLE));
    Click(entry);
    ASSERT_TRUE(entry->hasFocus());
    const double typing = pos();
    for (Qt::Key key : {Qt::Key_J, Qt::Key_Space, Qt::Key_M, Qt::Key_Left, Qt::Key_Backspace, Qt::Key_L})
        Key(&dlg, key);
    // Left and Backspace edited the text too.
    EXPECT_EQ(entry->text(), QStringLiteral("jlm"));
    EXPECT_EQ(player.State(), PlayState::Running);
    EXPECT_NEAR(pos(), typing, 1.5);
    EXPECT_EQ(Volume(dlg), 0);
    EXPECT_TRUE(messages.empty());
}

// The about box lists the keys.
TEST_F(DialogTest, AboutBoxListsTheKeys) {
    CAboutDlg about;
    QStringList keys;
    for (QLabel* l : about.findChildren<QLabel*>(QStringLiteral("keys"))) {
        keys << l->text();
        EXPECT_TRUE(about.rect().contains(l->geometry())) << l->text().toStdString();
    }
    for (const char* k : {"空格", "← / →", "J / L", "Shift+←", "↑ / ↓", "M", "[ / ]", "Backspace", "F", "N",
                          "P", "Home / End", "F1"})
        EXPECT_TRUE(keys.contains(QString::fromUtf8(k))) << k;
}

TEST_F(DialogTest, SpeedDropDownOffersTheSpeedsAndOtherLessonsPlayAtNormalSpeed) {
    CPlayerDlg dlg;
    PlayFrom(dlg, MinuteLesson());
    const bool rates = RuntimeTakesRates(dlg.Player());
    ExpectSpeedShown(dlg, 1.0);
    MenuSeen seen = WithPopup([&] { Click(dlg.SpeedButton()); }, {SpeedText(1.75)});
    ASSERT_TRUE(seen.shown);
    QStringList speeds;
    for (double s : kSpeeds) speeds << SpeedText(s);
    EXPECT_EQ(seen.items, speeds);
    EXPECT_EQ(seen.checked, QStringList{SpeedText(1.0)});
    ExpectSpeedShown(dlg, rates ? 1.75 : 1.0);
    // A choice the graph refuses leaves the speed in force.
    const double before = dlg.Player().GetRate();
    dlg.SetSpeed(7.0);
    ExpectSpeedShown(dlg, before);

    ASSERT_TRUE(dlg.OnCopyData(0, QByteArray::fromStdString(Lesson("other.zmr", {}))));
    ExpectSpeedShown(dlg, 1.0);

    // The command line's speed is the first lesson's.
    CPlayerDlg fromCommandLine;
    fromCommandLine.SetStartOptions({2.0, std::nullopt, true});
    PlayFrom(fromCommandLine, MinuteLesson());
    ExpectSpeedShown(fromCommandLine, rates ? 2.0 : 1.0);
    EXPECT_TRUE(messages.empty());
}

TEST_F(DialogTest, ADroppedFileOpensAsOneChosenInTheFileDialog) {
    const std::string path = Lesson("dropped.zmr", {{{"TITL", "Dropped"}}});
    CPlayerDlg dlg;
    dlg.OnInitDialog();
    QWidget* box = dlg.Control(IDC_SCREENBOX);
    const QPoint centre = box->rect().center();
    // Not a local file, a folder, or a move (the file manager would delete the file): refused.
    EXPECT_FALSE(DropAt(box, centre, {QUrl(QStringLiteral("https://example.org/a.zmr"))}));
    EXPECT_FALSE(DropAt(box, centre, {QUrl::fromLocalFile(dir.path())}));
    EXPECT_FALSE(DropAt(box, centre, {QUrl::fromLocalFile(QString::fromStdString(path))}, Qt::MoveAction));
    QCoreApplication::processEvents();
    EXPECT_TRUE(dlg.CurrentFile().empty());

    // The first local file among the items, dropped on the chapter list.
    EXPECT_TRUE(DropAt(dlg.Control(IDC_CHAPTERS), QPoint(5, 5),
                       {QUrl(QStringLiteral("https://example.org/b.zmr")),
                        QUrl::fromLocalFile(QString::fromStdString(path))}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return dlg.CurrentFile() == path; }, 3000));
    EXPECT_EQ(dlg.Player().State(), PlayState::Running);
    EXPECT_EQ(Text(dlg, IDC_TITLE), QStringLiteral("Dropped"));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(path)));
    EXPECT_TRUE(messages.empty());
}

TEST_F(DialogTest, CommandLineSpeedStartAndResume) {
    auto read = [](std::vector<std::string> words, CommandLine* out) {
        words.insert(words.begin(), "kovelplayer");
        std::vector<char*> argv;
        for (std::string& w : words) argv.push_back(w.data());
        return ReadCommandLine(int(argv.size()), argv.data(), out);
    };
    CommandLine c;
    ASSERT_EQ(read({"--speed", "1.5", "--start", "12.5", "--no-resume", "a.zmr"}, &c), -1);
    EXPECT_EQ(c.speed, 1.5);
    EXPECT_EQ(c.start, 12.5);
    EXPECT_FALSE(c.resume);
    EXPECT_EQ(c.file, "a.zmr");
    ASSERT_EQ(read({"a.zmr"}, &c), -1);
    EXPECT_EQ(c.speed, 1.0);
    EXPECT_FALSE(c.start);
    EXPECT_TRUE(c.resume);
    ASSERT_EQ(read({"--headless", "a.zmr", "--speed", "3"}, &c), -1);
    EXPECT_EQ(c.speed, 3.0);
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"--speed", "0.4"},
                                                {"--speed", "3.01"},
                                                {"--speed", "fast"},
                                                {"--speed", "nan"},
                                                {"--start", "-1"},
                                                {"--start", "inf"},
                                                {"--headless", "a.zmr", "--start", "3"},
                                                {"--headless", "a.zmr", "--no-resume"}})
        EXPECT_EQ(read(bad, &c), 2) << bad[0] << " " << bad[1];
}

// Reopening a lesson returns where it was left, and says so for a while;
// the bounds, a replaced file, --start and --no-resume.
TEST_F(DialogTest, ALessonReopensWhereItWasLeft) {
    const std::string path = (dir.path() + "/resumed.zmr").toStdString();
    QFile::copy(QString::fromStdString(MinuteLesson()), QString::fromStdString(path));
    // Plays the lesson from where the window puts it, moves to `to` and closes.
    auto leaveAt = [&](double to) {
        CPlayerDlg dlg;
        PlayFrom(dlg, path);
        dlg.Player().SeekBy(to - dlg.Player().GetPositionSeconds());
        dlg.close();
    };
    // Opens the lesson in a new window: where it starts.
    auto reopen = [&](const CPlayerDlg::StartOptions& options = {}) {
        CPlayerDlg dlg;
        dlg.SetStartOptions(options);
        PlayFrom(dlg, path);
        return dlg.Player().GetPositionSeconds();
    };
    leaveAt(25);
    {
        CPlayerDlg dlg;
        PlayFrom(dlg, path);
        EXPECT_NEAR(dlg.Player().GetPositionSeconds(), 25, 0.5);
        EXPECT_EQ(Slider(dlg, IDC_POSITION)->value(), 25);
        EXPECT_EQ(Shown(dlg), QString::fromUtf8(kResumedText));
        QElapsedTimer shown;
        shown.start();
        // The tick leaves the notice standing for its three seconds.
        EXPECT_TRUE(QTest::qWaitFor([&] { return Shown(dlg) != QString::fromUtf8(kResumedText); }, 5000));
        EXPECT_GE(shown.elapsed(), kResumeNoticeMs - 600);
        EXPECT_EQ(Shown(dlg), QString::fromStdString(FormatClock(dlg.Player().GetPositionSeconds())));
    }
    // Too little or nearly all of it watched: from the start.
    for (double left : {5.0, 58.0}) {
        leaveAt(left);
        EXPECT_NEAR(reopen(), 0, 1.0) << left;
    }
    leaveAt(55);
    EXPECT_NEAR(reopen(), 55, 0.5);
    // --start wins; --no-resume starts at the start and keeps nothing.
    EXPECT_NEAR(reopen({1.0, 40.0, true}), 40, 0.5);
    {
        CPlayerDlg dlg;
        dlg.SetStartOptions({1.0, std::nullopt, false});
        PlayFrom(dlg, path);
        EXPECT_NEAR(dlg.Player().GetPositionSeconds(), 0, 1.0);
        dlg.Player().SeekBy(30);
    }
    EXPECT_NEAR(reopen(), 40, 0.5);

    // A kill loses little: while it plays, the window keeps where it stands.
    {
        CPlayerDlg dlg;
        PlayFrom(dlg, path);
        dlg.Player().SeekBy(15 - dlg.Player().GetPositionSeconds());
        for (int i = 0; i < kResumeSaveTicks; ++i) dlg.OnTimer();
        CResumeStore store(DefaultResumeStorePath());
        const std::optional<LessonKey> key = LessonKeyOf(path, dlg.Player().ChapterIndexOffset());
        ASSERT_TRUE(key);
        EXPECT_NEAR(store.Find(*key).value_or(-1), 15, 1.0);
    }

    // Another file at the same path starts over.
    leaveAt(30);
    QFile::remove(QString::fromStdString(path));
    QFile::copy(QString::fromStdString(MadeLesson(
                    {"--tone", "--no-screen", "--no-camera", "--duration", "60", "--title", "Other"})),
                QString::fromStdString(path));
    EXPECT_NEAR(reopen(), 0, 1.0);
    EXPECT_TRUE(messages.empty());
}

// Two players keep their positions at once; a damaged store is set aside and
// started afresh; a store that cannot be written never stops a lesson.
TEST_F(DialogTest, TheResumeStoreSurvivesTwoPlayersAndBrokenStores) {
    const std::string storePath = (dir.path() + "/two/kovel/resume.db").toStdString();
    {
        std::vector<std::thread> players;
        std::atomic<int> saved{0};
        for (int p = 0; p < 2; ++p)
            players.emplace_back([&, p] {
                CResumeStore store(storePath);
                for (int i = 0; i < 100; ++i)
                    saved += store.Save({"/lesson" + std::to_string(p) + "-" + std::to_string(i % 10), "id"},
                                        20 + i, 1000);
            });
        for (std::thread& t : players) t.join();
        EXPECT_EQ(saved, 200);
        CResumeStore reader(storePath);
        EXPECT_EQ(reader.Find({"/lesson1-9", "id"}), 119);
        EXPECT_EQ(reader.Find({"/lesson0-9", "other"}), std::nullopt);
        EXPECT_EQ(reader.Find({"/lesson0-9", "id"}), std::nullopt);
    }
    {
        WriteFile(storePath, std::vector<uint8_t>(4096, 'x'));
        CResumeStore store(storePath);
        EXPECT_TRUE(store.Save({"/a", "id"}, 30, 100));
        EXPECT_EQ(store.Find({"/a", "id"}), 30);
        EXPECT_TRUE(QFile::exists(QString::fromStdString(storePath + ".corrupt")));
    }
    // No folder can be made for the store, or it may only be read.
    const std::string blocked = (dir.path() + "/blocked").toStdString();
    WriteFile(blocked, {});
    ObeyFileModes modes;
    ASSERT_TRUE(modes.ok());
    ASSERT_EQ(::chmod((dir.path() + "/two/kovel").toLocal8Bit().constData(), 0500), 0);
    ASSERT_EQ(::chmod(storePath.c_str(), 0400), 0);
    for (const std::string& state : {blocked, (dir.path() + "/two").toStdString()}) {
        qputenv("XDG_STATE_HOME", QByteArray::fromStdString(state));
        {
            CPlayerDlg dlg;
            PlayFrom(dlg, MinuteLesson());
            dlg.Player().SeekBy(20);
            for (int i = 0; i < kResumeSaveTicks; ++i) dlg.OnTimer();
            dlg.close();
        }
        CPlayerDlg dlg;
        PlayFrom(dlg, MinuteLesson());
    }
    ::chmod((dir.path() + "/two/kovel").toLocal8Bit().constData(), 0700);
    EXPECT_TRUE(messages.empty());
}
