// kovel-send [--edit] [PATH]: hands the running player one open request.
// Without PATH the text is empty, which switches chapter editing off.
#include <QCoreApplication>
#include <QLocalSocket>
#include <cstdio>
#include <cstring>

#include "courseware_format.h"
#include "open_request.h"

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    uint32_t dwData = 0;
    QByteArray text;
    bool havePath = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--edit") == 0 && !havePath) {
            dwData = 1;
        } else if (!havePath) {
            text = QByteArray(argv[i]);
            havePath = true;
        } else {
            std::fprintf(stderr, "usage: kovel-send [--edit] [PATH]\n");
            return 2;
        }
    }
    const QString name = kovel::player::OpenRequestServerName();
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(3000)) {
        std::fprintf(stderr, "kovel-send: no player is running (nothing listens on %s)\n",
                     name.toLocal8Bit().constData());
        return 1;
    }
    socket.write(kovel::player::EncodeOpenRequest(dwData, text));
    QByteArray reply;
    while (reply.size() < 4) {
        if (!socket.waitForReadyRead(120000))
            break;
        reply += socket.readAll();
    }
    if (reply.size() < 4) {
        std::fprintf(stderr, "kovel-send: the player did not answer\n");
        return 3;
    }
    if (zmr::ReadU32(reinterpret_cast<const uint8_t*>(reply.constData())) != 1) {
        std::fprintf(stderr, "kovel-send: the player refused the request\n");
        return 4;
    }
    return 0;
}
