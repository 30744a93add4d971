#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "courseware_format.h"
#include "link_label.h"
#include "open_request.h"
#include "player_dlg.h"
#include "report_message.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

class RequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        App();
        socketName = QByteArray("kovel-req-test-") + QByteArray::number(qApp->applicationPid());
        qputenv("KOVEL_PLAYER_SOCKET", socketName);
        SetReportMessageSink([this](const std::string& m) { messages.push_back(m); });
        dlg = std::make_unique<CPlayerDlg>();
        dlg->OnInitDialog();
        ASSERT_FALSE(dlg->RequestServerName().isEmpty());
    }
    void TearDown() override {
        dlg.reset();
        SetReportMessageSink({});
    }

    // Runs the real kovel-send while this process serves the socket.
    int Send(const QStringList& args, const QString& folder = QString()) {
        QProcess proc;
        proc.setWorkingDirectory(folder);
        proc.start(QStringLiteral(KOVEL_SEND_PATH), args);
        if (!proc.waitForStarted(5000))
            return -100;
        QElapsedTimer t;
        t.start();
        while (proc.state() != QProcess::NotRunning && t.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            proc.waitForFinished(10);
        }
        lastStderr = proc.readAllStandardError();
        return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    }
    std::string Lesson(const std::string& name, const std::string& title) {
        std::string path = (dir.path() + "/").toStdString() + name;
        WriteFile(path, PlayableLessonBytes({{"TITL", title}}));
        return path;
    }
    QString Title() const { return static_cast<QLabel*>(dlg->Control(IDC_TITLE))->text(); }
    bool EditControlsShown() const {
        for (int id : kEditModeControls)
            if (dlg->Control(id)->isHidden())
                return false;
        return true;
    }
    bool EditControlsHidden() const {
        for (int id : kEditModeControls)
            if (!dlg->Control(id)->isHidden())
                return false;
        return true;
    }

    QByteArray socketName;
    QTemporaryDir dir;
    std::unique_ptr<CPlayerDlg> dlg;
    std::vector<std::string> messages;
    QByteArray lastStderr;
};

}  // namespace

TEST_F(RequestTest, EditModeOnOpensAndEmptyTextSwitchesItOff) {
    std::string path = Lesson("edit.zmr", "Edit me");
    EXPECT_EQ(Send({QStringLiteral("--edit"), QString::fromStdString(path)}), 0) << lastStderr.constData();
    EXPECT_TRUE(dlg->Player().m_bEditMode);
    EXPECT_TRUE(EditControlsShown());
    EXPECT_EQ(dlg->CurrentFile(), path);
    EXPECT_EQ(Title(), QStringLiteral("Edit me"));

    // dwData 0 opens and leaves edit mode as it is.
    std::string other = Lesson("other.zmr", "Other");
    EXPECT_EQ(Send({QString::fromStdString(other)}), 0);
    EXPECT_TRUE(dlg->Player().m_bEditMode);
    EXPECT_EQ(Title(), QStringLiteral("Other"));

    EXPECT_EQ(Send({}), 0);
    EXPECT_FALSE(dlg->Player().m_bEditMode);
    EXPECT_TRUE(EditControlsHidden());
    EXPECT_EQ(dlg->CurrentFile(), other);
    EXPECT_TRUE(messages.empty());
}

TEST_F(RequestTest, PlainRequestDoesNotSwitchEditModeOn) {
    std::string path = Lesson("plain.zmr", "Plain");
    EXPECT_EQ(Send({QString::fromStdString(path)}), 0);
    EXPECT_FALSE(dlg->Player().m_bEditMode);
    EXPECT_TRUE(EditControlsHidden());
    EXPECT_EQ(Title(), QStringLiteral("Plain"));
}

TEST_F(RequestTest, PercentInPathIsKeptAndLongPathsAreNotCut) {
    std::string path = Lesson("100%sure%n%x.zmr", "Percent");
    EXPECT_EQ(Send({QString::fromStdString(path)}), 0);
    EXPECT_EQ(dlg->CurrentFile(), path);
    EXPECT_EQ(Title(), QStringLiteral("Percent"));

    // 300 bytes is well within a path: opened whole (a missing file here).
    std::string p300 = "/tmp/" + std::string(295, 'p');
    EXPECT_EQ(Send({QString::fromStdString(p300)}), 0);
    EXPECT_EQ(dlg->CurrentFile(), p300);
    // The graph manager's failure, then the open command's.
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_NE(messages[0].find("in m_pGB->RenderFile(wFile, NULL)"), std::string::npos) << messages[0];
    EXPECT_EQ(messages[1], "Failed open");
}

TEST_F(RequestTest, OverLongTextIsRefusedWithAMessage) {
    std::string path = Lesson("keep.zmr", "Keep");
    EXPECT_EQ(Send({QString::fromStdString(path)}), 0);
    std::string huge(5000, 'q');
    EXPECT_EQ(Send({QStringLiteral("--edit"), QString::fromStdString(huge)}), 4);
    EXPECT_TRUE(lastStderr.contains("refused"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("too long"), std::string::npos);
    EXPECT_FALSE(dlg->Player().m_bEditMode);
    EXPECT_EQ(dlg->CurrentFile(), path);
    EXPECT_EQ(Title(), QStringLiteral("Keep"));
}

TEST_F(RequestTest, PathsGoAbsoluteAndOptionsAreNeverSent) {
    // The player resolves nothing against its own folder.
    std::string path = Lesson("relative.zmr", "Relative");
    EXPECT_EQ(Send({QStringLiteral("relative.zmr")}, dir.path()), 0) << lastStderr.constData();
    EXPECT_EQ(dlg->CurrentFile(), path);
    EXPECT_EQ(Title(), QStringLiteral("Relative"));

    EXPECT_EQ(Send({QStringLiteral("--bogus")}, dir.path()), 2);
    EXPECT_TRUE(lastStderr.contains("usage:"));
    EXPECT_EQ(Send({QStringLiteral("--edit"), QStringLiteral("--help")}, dir.path()), 0);
    EXPECT_FALSE(dlg->Player().m_bEditMode);
    EXPECT_EQ(dlg->CurrentFile(), path);

    // A lesson whose name starts with a dash, after the end of the options.
    std::string dashed = Lesson("-dashed.zmr", "Dashed");
    EXPECT_EQ(Send({QStringLiteral("--"), QStringLiteral("-dashed.zmr")}, dir.path()), 0);
    EXPECT_EQ(dlg->CurrentFile(), dashed);
    EXPECT_TRUE(messages.empty());
}

TEST_F(RequestTest, NoPlayerRunningIsReported) {
    dlg.reset();
    EXPECT_EQ(Send({QStringLiteral("/tmp/x.zmr")}), 1);
    EXPECT_TRUE(lastStderr.contains("no player is running"));
}

TEST_F(RequestTest, HostileLengthAndZeroByteOverTheSocket) {
    // A claimed length far above the bound is refused without waiting for data.
    QLocalSocket s;
    s.connectToServer(dlg->RequestServerName());
    ASSERT_TRUE(s.waitForConnected(2000));
    uint8_t head[8];
    zmr::WriteU32(head, 1);
    zmr::WriteU32(head + 4, 0xFFFFFFF0u);
    s.write(reinterpret_cast<const char*>(head), 8);
    s.flush();
    QByteArray reply;
    QElapsedTimer t;
    t.start();
    while (reply.size() < 4 && t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        s.waitForReadyRead(10);
        reply += s.readAll();
    }
    ASSERT_EQ(reply.size(), 4);
    EXPECT_EQ(zmr::ReadU32(reinterpret_cast<const uint8_t*>(reply.constData())), 0u);
    EXPECT_FALSE(dlg->Player().m_bEditMode);

    // The text ends at its first zero byte.
    std::string path = Lesson("zero.zmr", "Zero");
    QByteArray text = QByteArray::fromStdString(path) + QByteArray("\0garbage", 8);
    EXPECT_TRUE(dlg->OnCopyData(0, text));
    EXPECT_EQ(dlg->CurrentFile(), path);
    // A text that is only a zero byte counts as empty.
    dlg->OnCopyData(1, QByteArray::fromStdString(path));
    EXPECT_TRUE(dlg->Player().m_bEditMode);
    EXPECT_TRUE(dlg->OnCopyData(1, QByteArray("\0abc", 4)));
    EXPECT_FALSE(dlg->Player().m_bEditMode);
}

TEST(RequestFormat, EncodesHeadAndText) {
    QByteArray m = EncodeOpenRequest(1, QByteArray("ab"));
    ASSERT_EQ(m.size(), 10);
    const auto* p = reinterpret_cast<const uint8_t*>(m.constData());
    EXPECT_EQ(zmr::ReadU32(p), 1u);
    EXPECT_EQ(zmr::ReadU32(p + 4), 2u);
    EXPECT_EQ(m.mid(8), QByteArray("ab"));
}

// The socket's folder is this user's alone, and nothing found at the
// socket's name that this user's player did not leave there is taken over.
TEST(RequestSocket, PrivateFolderAndForeignNames) {
    App();
    QTemporaryDir scratch;
    ASSERT_TRUE(scratch.isValid());
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR"), savedTmp = qgetenv("TMPDIR");
    const QByteArray root = QFile::encodeName(scratch.path());
    qunsetenv("KOVEL_PLAYER_SOCKET");

    // A runtime folder others can look into is passed over for one of the user's own.
    const QByteArray open = root + "/open";
    ASSERT_EQ(mkdir(open.constData(), 0755), 0);
    qputenv("XDG_RUNTIME_DIR", open);
    qputenv("TMPDIR", root);
    QString error;
    const QString own = root + "/kovel-" + QString::number(getuid());
    EXPECT_EQ(OpenRequestServerName(&error).toStdString(), (own + "/kovelplayer").toStdString())
        << error.toStdString();
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(own).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    // A folder of that name that is not private is refused, not used.
    ASSERT_EQ(chmod(QFile::encodeName(own).constData(), 0755), 0);
    EXPECT_TRUE(OpenRequestServerName(&error).isEmpty());
    EXPECT_TRUE(error.contains(QStringLiteral("open to other users"))) << error.toStdString();
    ASSERT_EQ(chmod(QFile::encodeName(own).constData(), 0700), 0);

    // Something at the socket's name that is not this user's socket stays as it is.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(own));
    qputenv("KOVEL_PLAYER_SOCKET", "in-the-way");
    const std::string squatter = (own + "/in-the-way").toStdString();
    WriteFile(squatter, {'k', 'e', 'e', 'p'});
    {
        CPlayerDlg dlg;
        dlg.OnInitDialog();
        EXPECT_TRUE(dlg.RequestServerName().isEmpty());
    }
    QFile kept(QString::fromStdString(squatter));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    EXPECT_EQ(kept.readAll(), QByteArray("keep"));
    qputenv("KOVEL_PLAYER_SOCKET", "../elsewhere");
    EXPECT_TRUE(OpenRequestServerName(&error).isEmpty());

    qunsetenv("KOVEL_PLAYER_SOCKET");
    savedRuntime.isNull() ? qunsetenv("XDG_RUNTIME_DIR") : qputenv("XDG_RUNTIME_DIR", savedRuntime);
    savedTmp.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTmp);
}

// A player of another user turns this one's request away unanswered. Only
// root can start a player as another user and still reach its socket.
TEST(RequestSocket, PeerOfAnotherUserIsRefused) {
    App();
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run a player as another user";
    constexpr uid_t kNobody = 65534;
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    const QByteArray folder = QFile::encodeName(runtime.path());
    ASSERT_EQ(chown(folder.constData(), kNobody, kNobody), 0);
    ASSERT_EQ(chmod(folder.constData(), 0700), 0);

    QProcess player;
    QProcessEnvironment env;
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    env.insert(QStringLiteral("HOME"), runtime.path());
    player.setProcessEnvironment(env);
    player.setChildProcessModifier([] {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)
            _exit(97);
    });
    player.start(QStringLiteral(KOVELPLAYER_PATH), {});
    ASSERT_TRUE(player.waitForStarted(5000));
    const QString name = runtime.path() + QStringLiteral("/kovelplayer");
    QElapsedTimer t;
    t.start();
    while (!QFile::exists(name) && t.elapsed() < 20000 && player.state() == QProcess::Running)
        QTest::qWait(50);
    ASSERT_TRUE(QFile::exists(name)) << player.readAllStandardError().constData();

    QLocalSocket s;
    s.connectToServer(name);
    ASSERT_TRUE(s.waitForConnected(2000));
    s.write(EncodeOpenRequest(0, QByteArray("/tmp/x.zmr")));
    s.flush();
    QByteArray reply;
    t.restart();
    while (s.state() == QLocalSocket::ConnectedState && t.elapsed() < 10000) {
        s.waitForReadyRead(50);
        reply += s.readAll();
    }
    EXPECT_TRUE(reply.isEmpty()) << "a stranger was answered";
    EXPECT_NE(s.state(), QLocalSocket::ConnectedState);
    player.kill();
    player.waitForFinished(5000);
    EXPECT_TRUE(player.readAllStandardError().contains("from another user was refused"));
}
