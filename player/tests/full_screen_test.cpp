// Full screen on the real window: real lessons (made by zmr, played through
// the reader plug-in, the decoders and the video renderer), real right-click
// menus, real widgets on the offscreen platform.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "full_screen.h"
#include "graph_util.h"
#include "link_label.h"
#include "player_app.h"
#include "player_dlg.h"
#include "report_message.h"
#include "speed_control.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

void PrintTo(const QRect& r, std::ostream* os) {
    *os << r.x() << "," << r.y() << " " << r.width() << "x" << r.height();
}

// Window systems apply geometry when they like: wait a while, then check.
#define EXPECT_SOON(cond)                                        \
    do {                                                         \
        (void)QTest::qWaitFor([&] { return bool(cond); }, 5000); \
        EXPECT_TRUE(cond) << #cond;                              \
    } while (0)
#define EXPECT_EQ_SOON(a, b)                                     \
    do {                                                         \
        (void)QTest::qWaitFor([&] { return (a) == (b); }, 5000); \
        EXPECT_EQ(a, b);                                         \
    } while (0)

namespace {

// A wide screen recording, so that stretching it over a screen and fitting
// it into the box give different pictures.
constexpr int kVideoW = 320;
constexpr int kVideoH = 180;

class FullScreenTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        qputenv("KOVEL_PLAYER_SOCKET",
                QByteArray("kovel-fs-test-") + QByteArray::number(qApp->applicationPid()));
        // Where lessons were left is each test's own.
        qputenv("XDG_STATE_HOME", QFile::encodeName(dir.path()));
        SetReportMessageSink([this](const std::string& m) { messages.push_back(m); });
    }
    void TearDown() override { SetReportMessageSink({}); }

    static std::string ScreenLesson() {
        return MadeLesson({"--pattern", "--tone", "--no-camera", "--duration", "4", "--screen-size",
                           std::to_string(kVideoW) + "x" + std::to_string(kVideoH)});
    }
    std::string SoundLesson() {
        const std::string path = (dir.path() + "/sound.zmr").toStdString();
        WriteFile(path, PlayableLessonBytes({{"TITL", "Sound"}}));
        return path;
    }

    // Opens `path` as the pending file and shows the window.
    void Start(CPlayerDlg& dlg, const std::string& path) {
        dlg.SetPendingFile(path);
        dlg.OnInitDialog();
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
        ASSERT_EQ(dlg.Player().State(), PlayState::Running);
    }

    // Right-clicks the window at `pos` in `target` (its coordinates) and reports the pop-up
    // offered; picks the item that `choose` names, else dismisses it.
    static MenuSeen RightClick(QWidget* target, QPoint pos, const QStringList& choose = {}) {
        return WithPopup([&] { ClickAt(target, pos, Qt::RightButton); }, choose);
    }
    static MenuSeen RightClick(QWidget* target, QPoint pos, const QString& choose) {
        return RightClick(target, pos, QStringList{choose});
    }
    static QPoint BoxCentre(CPlayerDlg& dlg) { return dlg.Control(IDC_SCREENBOX)->rect().center(); }

    static QRect VideoPos(CPlayerDlg& dlg) {
        LONG l = 0, t = 0, w = 0, h = 0;
        if (FAILED(dlg.Player().ScreenWindow()->GetWindowPosition(&l, &t, &w, &h)))
            return QRect();
        return QRect(l, t, w, h);
    }
    static QWidget* VideoOwner(CPlayerDlg& dlg) {
        OAHWND owner = 0;
        dlg.Player().ScreenWindow()->get_Owner(&owner);
        return reinterpret_cast<QWidget*>(owner);
    }
    // The picture fitted into the screen box, keeping its aspect ratio.
    static QRect FittedInBox(CPlayerDlg& dlg) {
        const QSize box = dlg.Control(IDC_SCREENBOX)->size();
        const int aw = box.width() - 5, ah = box.height() - 10;
        int W, H;
        if (aw * kVideoH > ah * kVideoW) {
            W = ah * kVideoW / kVideoH;
            H = ah;
        } else {
            W = aw;
            H = aw * kVideoH / kVideoW;
        }
        return QRect((box.width() - W) / 2, (box.height() - H) / 2 + 3, W, H);
    }
    static QRect Display() { return QGuiApplication::primaryScreen()->geometry(); }

    static void ExpectControls(CPlayerDlg& dlg, int first, int last, bool visible) {
        for (int id = first; id <= last; ++id) EXPECT_EQ(dlg.Control(id)->isHidden(), !visible) << id;
    }
    static void ExpectWindowed(CPlayerDlg& dlg, const QRect& geometry, bool editMode) {
        EXPECT_FALSE(dlg.Player().m_bFullScreen);
        EXPECT_FALSE(dlg.windowFlags() & Qt::FramelessWindowHint);
        EXPECT_FALSE(dlg.windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ_SOON(dlg.geometry(), geometry);
        EXPECT_TRUE(dlg.isVisible());
        ExpectControls(dlg, kFirstLayoutControl, kLastWindowedControl, true);
        ExpectControls(dlg, kLastWindowedControl + 1, kLastLayoutControl, editMode);
    }
    static void ExpectFullScreen(CPlayerDlg& dlg) {
        EXPECT_TRUE(dlg.Player().m_bFullScreen);
        EXPECT_TRUE(dlg.windowFlags() & Qt::FramelessWindowHint);
        EXPECT_TRUE(dlg.windowFlags() & Qt::WindowStaysOnTopHint);
        EXPECT_EQ_SOON(dlg.geometry(), Display());
        EXPECT_TRUE(dlg.isVisible());
        ExpectControls(dlg, kFirstLayoutControl, kLastLayoutControl, false);
        EXPECT_EQ(VideoOwner(dlg), &dlg);
        EXPECT_EQ_SOON(VideoPos(dlg), QRect(QPoint(0, 0), Display().size()));
    }

    QTemporaryDir dir;
    std::vector<std::string> messages;
};

}  // namespace

TEST_F(FullScreenTest, WindowedMenuOnlyInTheScreenBoxWhilePlaying) {
    CPlayerDlg dlg;
    dlg.OnInitDialog();
    dlg.show();
    // Nothing playing: no menu.
    EXPECT_FALSE(RightClick(&dlg, dlg.Control(IDC_SCREENBOX)->geometry().center()).shown);

    dlg.SetPendingFile(ScreenLesson());
    dlg.OnOpen();
    ASSERT_EQ(dlg.Player().State(), PlayState::Running);
    MenuSeen seen = RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg));
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.title, QString::fromUtf8("非全屏右键菜单"));
    ASSERT_EQ(seen.items.size(), 3);
    EXPECT_EQ(seen.items[0], QString::fromUtf8("全屏播放"));
    EXPECT_EQ(seen.commands[0], ID_ENTER_FULLSCREEN);
    EXPECT_EQ(seen.items[1], QString::fromUtf8("播放速度"));
    EXPECT_EQ(seen.commands[2], IDM_ABOUTBOX);
    // A click on the picture itself reaches the window's handler too.
    QWidget* picture = VideoOwner(dlg) == dlg.Control(IDC_SCREENBOX)
                           ? dlg.Control(IDC_SCREENBOX)->childAt(BoxCentre(dlg))
                           : nullptr;
    ASSERT_NE(picture, nullptr);
    EXPECT_TRUE(RightClick(picture, picture->rect().center()).shown);
    // Just outside the box, on the camera box, on the chapter list: nothing.
    const QRect box = dlg.Control(IDC_SCREENBOX)->geometry();
    EXPECT_FALSE(RightClick(&dlg, QPoint(box.left() - 1, box.center().y())).shown);
    EXPECT_FALSE(RightClick(&dlg, QPoint(box.center().x(), box.bottom() + 1)).shown);
    EXPECT_TRUE(RightClick(&dlg, QPoint(box.right(), box.bottom())).shown);
    EXPECT_FALSE(RightClick(dlg.Control(IDC_CAMERABOX), QPoint(5, 5)).shown);
    EXPECT_FALSE(RightClick(dlg.Control(IDC_CHAPTERS), QPoint(5, 5)).shown);

    // Paused: nothing; playing again: offered again.
    dlg.Player().PlayPause();
    ASSERT_EQ(dlg.Player().State(), PlayState::Paused);
    EXPECT_FALSE(RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg)).shown);
    dlg.Player().PlayPause();
    EXPECT_TRUE(RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg)).shown);

    // Maximized: nothing.
    dlg.showMaximized();
    EXPECT_SOON(dlg.isMaximized());
    EXPECT_FALSE(RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg)).shown);
    EXPECT_FALSE(dlg.Player().m_bFullScreen);
    EXPECT_TRUE(messages.empty());
}

TEST_F(FullScreenTest, AboutBoxFromTheMenu) {
    CPlayerDlg dlg;
    Start(dlg, ScreenLesson());
    bool aboutShown = false;
    QTimer closeAbout;
    QObject::connect(&closeAbout, &QTimer::timeout, [&] {
        if (auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
            aboutShown = true;
            about->accept();
        }
    });
    closeAbout.start(10);
    RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg), QString::fromUtf8("关于 kovelPlayer(&A)..."));
    EXPECT_TRUE(aboutShown);
    EXPECT_FALSE(dlg.Player().m_bFullScreen);
}

TEST_F(FullScreenTest, EnterAndLeaveThroughTheMenus) {
    CPlayerDlg dlg;
    Start(dlg, ScreenLesson());
    const QRect windowed = dlg.geometry();
    const QRect boxBefore = dlg.Control(IDC_SCREENBOX)->geometry();
    EXPECT_EQ_SOON(VideoPos(dlg), FittedInBox(dlg));
    const bool linkHidden = dlg.AuthorLink()->isHidden();

    MenuSeen seen = RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg), QString::fromUtf8("全屏播放"));
    ASSERT_TRUE(seen.shown);
    ExpectFullScreen(dlg);
    // The descriptive texts and their captions are not part of the hidden range.
    for (int id : {IDC_MAKERNAME, IDC_MAKINGDATE, IDC_TITLE}) EXPECT_FALSE(dlg.Control(id)->isHidden()) << id;
    EXPECT_EQ(dlg.AuthorLink()->isHidden(), linkHidden);
    for (QLabel* l : dlg.findChildren<QLabel*>()) {
        if (l->property("controlId").toInt() == kStaticId) {
            EXPECT_FALSE(l->isHidden()) << l->text().toStdString();
        }
    }
    // The picture is stretched, not letterboxed: its top edge and corners
    // carry the recording, not the black of an empty margin.
    EXPECT_SOON(dlg.grab().toImage().pixelColor(Display().width() / 2, 2) != QColor(Qt::black));
    const QImage shot = dlg.grab().toImage();
    for (QPoint p : {QPoint(2, 2), QPoint(shot.width() - 3, 2), QPoint(2, shot.height() / 2)})
        EXPECT_NE(shot.pixelColor(p), QColor(Qt::black)) << p.x() << "," << p.y();
    // Already in full screen: refused, nothing changes.
    EXPECT_EQ(dlg.Player().EnterFullScreen(), E_FAIL);
    ExpectFullScreen(dlg);
    // A late resize (window systems confirm geometry when they like) does not
    // pull the picture back into the hidden box.
    dlg.setGeometry(Display().adjusted(0, 0, 0, -40));
    EXPECT_EQ_SOON(dlg.geometry(), Display().adjusted(0, 0, 0, -40));
    EXPECT_EQ(VideoPos(dlg), QRect(QPoint(0, 0), Display().size()));
    dlg.setGeometry(Display());
    ExpectFullScreen(dlg);

    // Anywhere in full screen while playing: the way back.
    seen = RightClick(&dlg, QPoint(3, 3));
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.title, QString::fromUtf8("全屏右键菜单"));
    ASSERT_EQ(seen.items.size(), 3);
    EXPECT_EQ(seen.items[0], QString::fromUtf8("退出全屏"));
    EXPECT_EQ(seen.commands[0], ID_LEAVE_FULLSCREEN);
    EXPECT_EQ(seen.items[1], QString::fromUtf8("播放速度"));
    EXPECT_TRUE(RightClick(&dlg, QPoint(Display().width() - 2, Display().height() - 2)).shown);
    RightClick(&dlg, QPoint(Display().width() / 2, Display().height() / 2), QString::fromUtf8("退出全屏"));
    ExpectWindowed(dlg, windowed, false);
    EXPECT_EQ_SOON(dlg.Control(IDC_SCREENBOX)->geometry(), boxBefore);
    EXPECT_EQ(VideoOwner(dlg), dlg.Control(IDC_SCREENBOX));
    EXPECT_EQ_SOON(VideoPos(dlg), FittedInBox(dlg));
    // Already windowed: refused.
    EXPECT_EQ(dlg.Player().LeaveFullScreen(), E_FAIL);
    EXPECT_TRUE(messages.empty());

    // A second round trip behaves the same, and the window still closes cleanly.
    ASSERT_EQ(dlg.Player().EnterFullScreen(), S_OK);
    ExpectFullScreen(dlg);
    ASSERT_EQ(dlg.Player().LeaveFullScreen(), S_OK);
    ExpectWindowed(dlg, windowed, false);
    dlg.close();
    EXPECT_TRUE(dlg.CleanedUp());
}

// The speed is chosen from either menu, F goes to full screen and back, and
// the drop-down beside the time hides with the other controls; the speed in
// force stays through both changes.
TEST_F(FullScreenTest, SpeedFromBothMenusAndThroughFullScreen) {
    CPlayerDlg dlg;
    Start(dlg, ScreenLesson());
    CGraphPlayer& player = dlg.Player();
    const bool rates = RuntimeTakesRates(player);
    const QRect windowed = dlg.geometry();
    QToolButton* speed = dlg.SpeedButton();
    EXPECT_TRUE(speed->isVisible());

    MenuSeen seen = RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg),
                               {QString::fromUtf8("播放速度"), SpeedText(1.5)});
    EXPECT_EQ(seen.checked, QStringList{SpeedText(1.0)});
    const double chosen = rates ? 1.5 : 1.0;
    EXPECT_EQ(player.GetRate(), chosen);
    EXPECT_TRUE(speed->text().startsWith(SpeedText(chosen)));

    Key(&dlg, Qt::Key_F);
    ExpectFullScreen(dlg);
    EXPECT_TRUE(speed->isHidden());
    EXPECT_EQ(player.GetRate(), chosen);
    seen = RightClick(&dlg, QPoint(3, 3), {QString::fromUtf8("播放速度"), SpeedText(2.0)});
    EXPECT_EQ(seen.checked, QStringList{SpeedText(chosen)});
    const double faster = rates ? 2.0 : 1.0;
    EXPECT_EQ(player.GetRate(), faster);

    Key(&dlg, Qt::Key_F);
    ExpectWindowed(dlg, windowed, false);
    EXPECT_FALSE(speed->isHidden());
    EXPECT_TRUE(speed->text().startsWith(SpeedText(faster)));
    EXPECT_EQ(player.GetRate(), faster);
    EXPECT_TRUE(messages.empty());
}

TEST_F(FullScreenTest, FromAMaximizedWindowLeavingGivesTheNormalPlacement) {
    CPlayerDlg dlg;
    Start(dlg, ScreenLesson());
    const QRect windowed = dlg.geometry();
    dlg.showMaximized();
    EXPECT_SOON(dlg.isMaximized());
    dlg.OnMenuCommand(ID_ENTER_FULLSCREEN);
    ExpectFullScreen(dlg);
    dlg.OnMenuCommand(ID_LEAVE_FULLSCREEN);
    ExpectWindowed(dlg, windowed, false);
    EXPECT_FALSE(dlg.isMaximized());
}

TEST_F(FullScreenTest, EditModeBringsTheEditingRowBack) {
    CPlayerDlg dlg;
    dlg.OnInitDialog();
    dlg.show();
    ASSERT_TRUE(dlg.OnCopyData(1, QByteArray::fromStdString(ScreenLesson())));
    ASSERT_TRUE(dlg.Player().m_bEditMode);
    const QRect windowed = dlg.geometry();
    dlg.OnMenuCommand(ID_ENTER_FULLSCREEN);
    ExpectFullScreen(dlg);
    dlg.OnMenuCommand(ID_LEAVE_FULLSCREEN);
    ExpectWindowed(dlg, windowed, true);
}

TEST_F(FullScreenTest, EscapeLeavesFullScreenWithoutClosing) {
    CPlayerDlg dlg;
    Start(dlg, ScreenLesson());
    const QRect windowed = dlg.geometry();
    ASSERT_EQ(dlg.Player().EnterFullScreen(), S_OK);
    ExpectFullScreen(dlg);
    Key(&dlg, Qt::Key_Escape);
    ExpectWindowed(dlg, windowed, false);
    EXPECT_FALSE(dlg.CleanedUp());
    EXPECT_EQ(dlg.Player().State(), PlayState::Running);
    // Windowed, Escape still ends the dialog with its clean-up.
    Key(&dlg, Qt::Key_Escape);
    EXPECT_TRUE(dlg.CleanedUp());
}

TEST_F(FullScreenTest, NothingToStretchWithoutAScreenRecording) {
    CPlayerDlg dlg;
    // No lesson at all.
    dlg.OnInitDialog();
    dlg.show();
    EXPECT_EQ(dlg.Player().EnterFullScreen(), E_FAIL);
    EXPECT_EQ(dlg.Player().LeaveFullScreen(), E_FAIL);

    dlg.SetPendingFile(SoundLesson());
    dlg.OnOpen();
    ASSERT_EQ(dlg.Player().State(), PlayState::Running);
    ASSERT_EQ(dlg.Player().ScreenWindow(), nullptr);
    const QRect windowed = dlg.geometry();
    // The menu is still offered while the sound plays; its command does nothing.
    MenuSeen seen = RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg), QString::fromUtf8("全屏播放"));
    EXPECT_TRUE(seen.shown);
    ExpectWindowed(dlg, windowed, false);
    EXPECT_EQ(dlg.Player().EnterFullScreen(), E_FAIL);
    EXPECT_EQ(dlg.Player().LeaveFullScreen(), E_FAIL);
    ExpectWindowed(dlg, windowed, false);
    EXPECT_TRUE(messages.empty());
}

TEST_F(FullScreenTest, LessonsOpenedInFullScreenKeepTheLayout) {
    CPlayerDlg dlg;
    Start(dlg, ScreenLesson());
    const QRect windowed = dlg.geometry();
    ASSERT_EQ(dlg.Player().EnterFullScreen(), S_OK);

    // Another lesson with a screen recording, asked for by another program:
    // still full screen, and its picture is the one stretched over the screen.
    ASSERT_TRUE(dlg.OnCopyData(0, QByteArray::fromStdString(ScreenLesson())));
    ASSERT_EQ(dlg.Player().State(), PlayState::Running);
    ExpectFullScreen(dlg);

    // A lesson with sound only: still full screen (nothing to show), and the
    // way back works though there is no picture to dock.
    ASSERT_TRUE(dlg.OnCopyData(0, QByteArray::fromStdString(SoundLesson())));
    ASSERT_EQ(dlg.Player().ScreenWindow(), nullptr);
    EXPECT_TRUE(dlg.Player().m_bFullScreen);
    EXPECT_TRUE(dlg.windowFlags() & Qt::FramelessWindowHint);
    ExpectControls(dlg, kFirstLayoutControl, kLastLayoutControl, false);
    EXPECT_TRUE(RightClick(&dlg, QPoint(10, 10)).shown);
    EXPECT_EQ(dlg.Player().LeaveFullScreen(), S_OK);
    ExpectWindowed(dlg, windowed, false);
    EXPECT_EQ(dlg.Player().LeaveFullScreen(), E_FAIL);
    EXPECT_TRUE(messages.empty());
}

TEST_F(FullScreenTest, ClosingTheGraphKeepsTheFlag) {
    CPlayerDlg dlg;
    Start(dlg, ScreenLesson());
    const QRect windowed = dlg.geometry();
    ASSERT_EQ(dlg.Player().EnterFullScreen(), S_OK);
    dlg.Player().CloseGraph();
    EXPECT_TRUE(dlg.Player().m_bFullScreen);
    // Nothing plays: no menu, but Escape still brings the window back.
    EXPECT_FALSE(RightClick(&dlg, QPoint(10, 10)).shown);
    Key(&dlg, Qt::Key_Escape);
    ExpectWindowed(dlg, windowed, false);
    EXPECT_FALSE(dlg.CleanedUp());
}

TEST_F(FullScreenTest, FailedDockingKeepsTheWayBackOpen) {
    CPlayerDlg dlg;
    Start(dlg, ScreenLesson());
    const QRect windowed = dlg.geometry();
    QWidget* box = dlg.Control(IDC_SCREENBOX);
    const QRect boxBefore = box->geometry();
    ASSERT_EQ(dlg.Player().EnterFullScreen(), S_OK);
    ExpectFullScreen(dlg);
    QCoreApplication::processEvents();
    // A box too small for any picture: the fit fails with the renderer's own code.
    box->resize(2, 2);
    const HRESULT hr = dlg.Player().LeaveFullScreen();
    EXPECT_EQ(hr, E_INVALIDARG);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0],
              "FAILED(hr=0x80070057) in CUtil::SetVideoWindowPos(m_pCVW, m_pCBV, &screenRect)\n");
    // The window is framed again, but the flag stays and so does the menu.
    EXPECT_TRUE(dlg.Player().m_bFullScreen);
    EXPECT_FALSE(dlg.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ_SOON(dlg.geometry(), windowed);
    MenuSeen seen = RightClick(&dlg, QPoint(10, 10));
    EXPECT_EQ(seen.title, QString::fromUtf8("全屏右键菜单"));

    QCoreApplication::processEvents();
    box->setGeometry(boxBefore);
    EXPECT_EQ(dlg.Player().LeaveFullScreen(), S_OK);
    ExpectWindowed(dlg, windowed, false);
    EXPECT_EQ_SOON(VideoPos(dlg), FittedInBox(dlg));
}

// The main window runs in the application's own loop: re-creating the window
// for full screen and back never ends the program, not even when the lesson
// ends and starts again in full screen. Each step runs from that loop, so a
// loop that ended early leaves steps undone.
TEST_F(FullScreenTest, TheProgramRunsOnThroughFullScreenAndTheEndOfTheLesson) {
    CPlayerDlg dlg;
    QRect windowed;
    IBasicAudio* graph = nullptr;
    double before = 0;
    double speed = 1.0;
    std::vector<std::function<void()>> steps = {
        [&] {
            ASSERT_TRUE(dlg.OnCopyData(1, QByteArray::fromStdString(ScreenLesson())));
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&dlg));
            windowed = dlg.geometry();
            graph = dlg.Player().BasicAudio();
            before = dlg.Player().GetPositionSeconds();
            // Faster, and the speed stays through the end and the new start.
            speed = RuntimeTakesRates(dlg.Player()) ? 2.0 : 1.0;
            dlg.SetSpeed(2.0);
            RightClick(dlg.Control(IDC_SCREENBOX), BoxCentre(dlg), QString::fromUtf8("全屏播放"));
        },
        [&] {
            ExpectFullScreen(dlg);
            EXPECT_GE(dlg.Player().GetPositionSeconds(), before);
            // The four-second lesson ends and plays again from the start.
            double highest = 0;
            EXPECT_TRUE(QTest::qWaitFor(
                [&] {
                    const double p = dlg.Player().GetPositionSeconds();
                    highest = std::max(highest, p);
                    return highest > 2.0 && p < highest - 1.0;
                },
                8000));
        },
        [&] {
            ExpectFullScreen(dlg);
            EXPECT_EQ(dlg.Player().State(), PlayState::Running);
            EXPECT_EQ(dlg.Player().GetRate(), speed);
            Key(&dlg, Qt::Key_Escape);
        },
        [&] {
            ExpectWindowed(dlg, windowed, true);
            EXPECT_TRUE(dlg.Player().m_bEditMode);
            EXPECT_EQ(dlg.Player().BasicAudio(), graph);
            EXPECT_EQ(dlg.Player().State(), PlayState::Running);
            // The user closes the window.
            dlg.windowHandle()->close();
        },
    };
    size_t done = 0;
    QObject context;
    std::function<void()> next = [&] {
        steps[done++]();
        if (done < steps.size())
            QTimer::singleShot(100, &context, next);
    };
    QTimer::singleShot(0, &context, next);
    bool stuck = false;
    QTimer::singleShot(30000, &context, [&] {
        stuck = true;
        QCoreApplication::quit();
    });
    EXPECT_EQ(RunMainWindow(dlg), 0);
    EXPECT_FALSE(stuck);
    EXPECT_EQ(done, steps.size());
    EXPECT_TRUE(dlg.CleanedUp());
    EXPECT_TRUE(messages.empty());
}
