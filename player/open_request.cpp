#include "open_request.h"

#include <unistd.h>

#include <QFile>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>
#include <QVariant>

#include <cstdio>

#include "courseware_format.h"
#include "request_folder.h"

namespace kovel::player {

QString OpenRequestServerName(QString* error) {
    const QString folder = PrivateRuntimeFolder(error);
    if (folder.isEmpty())
        return {};
    QString name = QStringLiteral("kovelplayer");
    if (const QByteArray over = qgetenv("KOVEL_PLAYER_SOCKET"); !over.isEmpty()) {
        name = QFile::decodeName(over);
        if (name.contains(QLatin1Char('/')) || name == QLatin1String("..") || name == QLatin1String(".")) {
            if (error)
                *error = QStringLiteral("KOVEL_PLAYER_SOCKET names a file in the runtime folder, not a path");
            return {};
        }
    }
    return folder + QLatin1Char('/') + name;
}

QByteArray EncodeOpenRequest(uint32_t dwData, const QByteArray& text) {
    QByteArray message(int(kRequestHeadSize), '\0');
    auto* p = reinterpret_cast<uint8_t*>(message.data());
    zmr::WriteU32(p, dwData);
    zmr::WriteU32(p + 4, uint32_t(text.size()));
    message.append(text);
    return message;
}

COpenRequestServer::COpenRequestServer(Handler handler, int receiveTimeoutMs, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)), m_receiveTimeoutMs(receiveTimeoutMs) {
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    connect(&m_server, &QLocalServer::newConnection, this, &COpenRequestServer::OnNewConnection);
}

bool COpenRequestServer::Listen(const QString& name, QString* error) {
    // Looked at before listening: the server would put its own socket in the
    // place of whatever is there.
    if (NameTaken(name)) {
        // Only a socket of this user's own is stale leftovers to clear away.
        if (!IsOwnSocket(name)) {
            if (error)
                *error = QStringLiteral("%1 is in the way and is not this user's socket").arg(name);
            return false;
        }
        QLocalSocket probe;
        probe.connectToServer(name);
        if (probe.waitForConnected(500)) {
            probe.abort();
            if (error)
                *error = QStringLiteral("another player already listens on %1").arg(name);
            return false;
        }
        QLocalServer::removeServer(name);
    }
    if (m_server.listen(name))
        return true;
    if (error)
        *error = m_server.errorString();
    return false;
}

void COpenRequestServer::OnNewConnection() {
    while (QLocalSocket* socket = m_server.nextPendingConnection()) {
        if (!PeerIsThisUser(socket->socketDescriptor())) {
            std::fprintf(stderr, "kovelplayer: an open request from another user was refused\n");
            socket->abort();
            socket->deleteLater();
            continue;
        }
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { OnReadyRead(socket); });
        // Only receiving is timed: once the request is in, the peer waits
        // for its answer as long as handling takes.
        QTimer::singleShot(m_receiveTimeoutMs, socket, [socket] {
            if (!socket->property("kovelReceived").toBool())
                socket->abort();
        });
        OnReadyRead(socket);
    }
}

void COpenRequestServer::SendAnswer(QLocalSocket* socket, bool handled) {
    socket->setProperty("kovelReceived", true);
    socket->setProperty("kovelAnswered", true);
    uint8_t reply[4];
    zmr::WriteU32(reply, handled ? 1u : 0u);
    socket->write(reinterpret_cast<const char*>(reply), sizeof(reply));
    socket->disconnectFromServer();
}

void COpenRequestServer::OnReadyRead(QLocalSocket* socket) {
    if (socket->property("kovelReceived").toBool())
        return;
    if (socket->bytesAvailable() < qint64(kRequestHeadSize))
        return;
    QByteArray head = socket->peek(kRequestHeadSize);
    const auto* p = reinterpret_cast<const uint8_t*>(head.constData());
    const uint32_t dwData = zmr::ReadU32(p);
    const uint32_t cbData = zmr::ReadU32(p + 4);
    if (cbData > kMaxRequestBytes) {
        SendAnswer(socket, false);
        return;
    }
    if (socket->bytesAvailable() < qint64(kRequestHeadSize) + qint64(cbData))
        return;
    socket->skip(kRequestHeadSize);
    const QByteArray text = socket->read(qint64(cbData));

    // One request per connection: later bytes are not read.
    socket->setProperty("kovelReceived", true);
    QPointer<QLocalSocket> guard(socket);
    Answer answer = [guard](bool handled) {
        if (guard && !guard->property("kovelAnswered").toBool())
            SendAnswer(guard, handled);
    };
    if (m_handler)
        m_handler(dwData, text, std::move(answer));
    else
        answer(false);
}

}  // namespace kovel::player
