// Open requests: another program of the same user hands the running player a
// lesson to open (and, optionally, switches chapter editing on).
//
// The player listens on a per-user local socket, OpenRequestServerName().
// One request per connection, all integers little-endian:
//   offset 0: uint32 dwData  1 asks for edit mode, anything else leaves it as it is
//   offset 4: uint32 cbData  length of the text in bytes
//   offset 8: cbData bytes   the text: a file path in the file system's bytes,
//                            not necessarily terminated; an empty text leaves edit mode
// The player answers with one uint32: 1 when the request was handled, 0 when
// it was refused, then closes the connection. The answer comes when the
// request has been handled, however long that takes (a message box the user
// has not closed yet). A cbData above kMaxRequestBytes is refused before
// anything is read or allocated.
#pragma once

#include <QByteArray>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>

class QLocalSocket;

namespace kovel::player {

constexpr uint32_t kRequestHeadSize = 8;
constexpr uint32_t kMaxRequestBytes = 64 * 1024;
// A peer that has not sent its whole request this long after connecting is dropped.
constexpr int kRequestTimeoutMs = 5000;

// The socket's full path: "kovelplayer" in this user's private runtime folder
// (request_folder.h), or the name $KOVEL_PLAYER_SOCKET gives there (tests,
// several players). Empty, with the reason, when there is no private folder
// or the name is not a plain file name.
QString OpenRequestServerName(QString* error = nullptr);

QByteArray EncodeOpenRequest(uint32_t dwData, const QByteArray& text);

class COpenRequestServer : public QObject {
    Q_OBJECT
  public:
    // Sends the answer: whether the request was handled. Does nothing once the
    // peer is gone; safe to call later, from the event loop.
    using Answer = std::function<void(bool handled)>;
    // Called once per complete request; calls `answer` now or later.
    using Handler = std::function<void(uint32_t dwData, const QByteArray& text, Answer answer)>;

    explicit COpenRequestServer(Handler handler, int receiveTimeoutMs = kRequestTimeoutMs,
                                QObject* parent = nullptr);

    // Listens on name, owner-only. A socket file this user's player left
    // behind when it went is removed; a name a live player answers on, or
    // anything else at that name, is left alone (false). Peers of another
    // user id are turned away unanswered.
    bool Listen(const QString& name, QString* error);
    QString FullServerName() const { return m_server.fullServerName(); }

  private:
    void OnNewConnection();
    void OnReadyRead(QLocalSocket* socket);
    static void SendAnswer(QLocalSocket* socket, bool handled);

    QLocalServer m_server;
    Handler m_handler;
    int m_receiveTimeoutMs;
};

}  // namespace kovel::player
