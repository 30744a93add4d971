#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include "courseware_format.h"
#include "kovel/control.h"
#include "kovel/events.h"
#include "link_label.h"
#include "open_request.h"
#include "player_dlg.h"
#include "report_message.h"
#include "test_support.h"

using namespace kovel::player;
using namespace kovel::player::test;

namespace {

// Runs the real kovel-send while this process serves the socket.
int RunKovelSend(const QStringList& args, QByteArray* stderrText, const QString& folder = QString()) {
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
    *stderrText = proc.readAllStandardError();
    return proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
}

// Sends one request over the socket as another program would and collects the answer.
class CPeer {
  public:
    void Send(const QString& server, uint32_t dwData, const QByteArray& text) {
        SendBytes(server, EncodeOpenRequest(dwData, text));
    }
    void SendBytes(const QString& server, const QByteArray& bytes) {
        m_socket.connectToServer(server);
        m_socket.waitForConnected(2000);
        m_socket.write(bytes);
        m_socket.flush();
        m_sent = true;
    }
    // The answer (1 handled, 0 refused), or -1 when none came.
    int Answer(int timeoutMs = 10000) {
        (void)QTest::qWaitFor(
            [&] {
                m_reply += m_socket.readAll();
                return m_reply.size() >= 4 || (m_sent && m_socket.state() == QLocalSocket::UnconnectedState);
            },
            timeoutMs);
        m_reply += m_socket.readAll();
        return m_reply.size() >= 4 ? int(zmr::ReadU32(reinterpret_cast<const uint8_t*>(m_reply.constData())))
                                   : -1;
    }

  private:
    QLocalSocket m_socket;
    QByteArray m_reply;
    bool m_sent = false;
};

// Stands in for the user at message boxes: each box stays up for `hold` ms,
// then its OK button is clicked. `shown` runs when a box appears.
class CBoxUser {
  public:
    CBoxUser(int holdMs, std::function<void(const QString& text)> shown)
        : m_holdMs(holdMs), m_shown(std::move(shown)) {
        QObject::connect(&m_poll, &QTimer::timeout, [this] { Poll(); });
        m_poll.start(10);
    }
    QStringList texts;

  private:
    void Poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        if (box != m_box) {
            m_box = box;
            m_since.start();
            texts << box->text();
            if (m_shown)
                m_shown(box->text());
        } else if (m_since.elapsed() >= m_holdMs) {
            m_box = nullptr;
            Click(box->button(QMessageBox::Ok));
        }
    }
    QTimer m_poll;
    int m_holdMs;
    std::function<void(const QString&)> m_shown;
    QMessageBox* m_box = nullptr;
    QElapsedTimer m_since;
};

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

    int Send(const QStringList& args, const QString& folder = QString()) {
        return RunKovelSend(args, &lastStderr, folder);
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

// A message box runs a nested event loop. Requests that arrive meanwhile wait
// until it is closed: a nested open must neither pull the graph from under
// the handler that showed the box nor be undone by it.
TEST_F(RequestTest, RequestsWaitUntilTheMessageBoxIsClosed) {
    SetReportMessageSink({});
    ASSERT_TRUE(dlg->OnCopyData(0, QByteArray::fromStdString(Lesson("a.zmr", "A"))));
    ASSERT_EQ(dlg->Player().State(), PlayState::Running);
    const QString server = dlg->RequestServerName();

    // The graph reports an abort; while its box is up, a request for a file
    // that cannot be opened comes in.
    {
        CPeer peer;
        CBoxUser user(300, [&](const QString&) {
            if (user.texts.size() == 1)
                peer.Send(server, 0, "/nonexistent/lesson.zmr");
        });
        IMediaEventSink* events = nullptr;
        ASSERT_EQ(dlg->Player().BasicAudio()->QueryInterface(IID_IMediaEventSink,
                                                             reinterpret_cast<void**>(&events)),
                  S_OK);
        events->Notify(EC_ERRORABORT, E_FAIL, 0);
        events->Release();
        EXPECT_EQ(peer.Answer(), 1);
        EXPECT_EQ(user.texts.join(" | ").toStdString(),
                  "Playback error (EC_ERRORABORT - 0x80004005). Aborting...\r\n | Failed open");
        EXPECT_EQ(dlg->Player().State(), PlayState::Closed);
    }
    // An open that fails with boxes while another lesson is asked for: that
    // lesson is opened afterwards and keeps playing.
    {
        CPeer peer;
        const std::string b = Lesson("b.zmr", "B");
        CBoxUser user(300, [&](const QString&) {
            if (user.texts.size() == 1)
                peer.Send(server, 0, QByteArray::fromStdString(b));
        });
        dlg->SetFileChooser(
            [](const QStringList&) { return std::optional<std::string>("/nonexistent/clip.wmv"); });
        dlg->OnOpen();
        EXPECT_EQ(peer.Answer(), 1);
        ASSERT_EQ(user.texts.size(), 2) << user.texts.join(" | ").toStdString();
        EXPECT_TRUE(user.texts[0].contains("m_pGB->RenderFile")) << user.texts[0].toStdString();
        EXPECT_EQ(user.texts[1], QStringLiteral("Failed open"));
        EXPECT_EQ(dlg->CurrentFile(), b);
        EXPECT_EQ(Title(), QStringLiteral("B"));
        EXPECT_EQ(dlg->Player().State(), PlayState::Running);
    }
}

// The answer comes when the request has been handled, however long that
// takes; only a peer that never completes its request is dropped.
TEST(RequestServer, AnswersWhenHandledAndDropsSilentPeers) {
    App();
    const QByteArray name = "kovel-slow-test-" + QByteArray::number(qApp->applicationPid());
    qputenv("KOVEL_PLAYER_SOCKET", name);
    constexpr int kReceiveMs = 150;
    COpenRequestServer server(
        [](uint32_t, const QByteArray&, COpenRequestServer::Answer answer) {
            QTimer::singleShot(4 * kReceiveMs, [answer] { answer(true); });
        },
        kReceiveMs);
    QString error;
    const QString socketName = OpenRequestServerName(&error);
    ASSERT_TRUE(server.Listen(socketName, &error)) << error.toStdString();
    QByteArray stderrText;
    EXPECT_EQ(RunKovelSend({QStringLiteral("/tmp/slow.zmr")}, &stderrText), 0) << stderrText.constData();

    CPeer silent;
    silent.SendBytes(socketName, QByteArray("\1\0\0", 3));
    QElapsedTimer t;
    t.start();
    EXPECT_EQ(silent.Answer(5000), -1);
    EXPECT_LT(t.elapsed(), 2000);
}
