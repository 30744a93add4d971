#include <gtest/gtest.h>

#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include "link_label.h"
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

TEST_F(DialogTest, EscapeAndCloseRunTheCleanUp) {
    {
        CPlayerDlg dlg;
        dlg.OnInitDialog();
        dlg.show();
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(&dlg, &esc);
        EXPECT_TRUE(dlg.CleanedUp());
        EXPECT_FALSE(dlg.isVisible());
    }
    {
        CPlayerDlg dlg;
        dlg.OnInitDialog();
        dlg.show();
        EXPECT_FALSE(dlg.CleanedUp());
        dlg.close();
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
