#include <gtest/gtest.h>
#include <signal.h>

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
#include <QStyleOptionSlider>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <map>

#include "link_label.h"
#include "player_app.h"
#include "player_dlg.h"
#include "report_message.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        qputenv("KOVEL_PLAYER_SOCKET",
                QByteArray("kovel-dlg-test-") + QByteArray::number(qApp->applicationPid()));
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
        QStyleOptionSlider opt;
        opt.initFrom(slider);
        opt.orientation = slider->orientation();
        opt.minimum = slider->minimum();
        opt.maximum = slider->maximum();
        opt.sliderPosition = slider->sliderPosition();
        opt.sliderValue = slider->value();
        opt.pageStep = slider->pageStep();
        opt.singleStep = slider->singleStep();
        opt.subControls = QStyle::SC_All;
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
    for (uint32_t editMode : {0u, 1u}) {
        ASSERT_TRUE(dlg.OnCopyData(editMode, QByteArray::fromStdString(path)));
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
