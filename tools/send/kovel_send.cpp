// kovel-send [--edit] [PATH]: hands the running player one open request.
// Without PATH the text is empty, which switches chapter editing off.
#include <unistd.h>

#include <QCoreApplication>
#include <QLocalSocket>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "courseware_format.h"
#include "kovel/version.h"
#include "open_request.h"

namespace {

constexpr const char* kUsage =
    "usage: kovel-send [--edit] [PATH]\n"
    "Asks the running player (kovelplayer) to open the lesson PATH.\n"
    "  --edit      open it in chapter edit mode\n"
    "  --help      show this help and exit\n"
    "  --version   show the version and exit\n"
    "  --          end of options: what follows is the path\n"
    "Without PATH the player leaves chapter edit mode.\n";

int Usage(const char* problem) {
    std::fprintf(stderr, "kovel-send: %s\n%s", problem, kUsage);
    return 2;
}

// The player resolves nothing against its own folder: a relative path is
// made absolute here, byte for byte.
QByteArray Absolute(const char* path) {
    if (path[0] == '/' || !path[0])
        return QByteArray(path);
    std::string cwd(4096, '\0');
    while (!getcwd(cwd.data(), cwd.size())) {
        if (errno != ERANGE)
            return QByteArray();
        cwd.resize(cwd.size() * 2);
    }
    cwd.resize(std::strlen(cwd.c_str()));
    return QByteArray::fromStdString(cwd == "/" ? cwd + path : cwd + "/" + path);
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t dwData = 0;
    const char* path = nullptr;
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (!optionsEnd && a[0] == '-' && a[1] != 0) {
            if (std::strcmp(a, "--help") == 0 || std::strcmp(a, "-h") == 0) {
                std::fputs(kUsage, stdout);
                return 0;
            }
            if (std::strcmp(a, "--version") == 0) {
                std::printf("kovel-send %s\n", KOVEL_VERSION);
                return 0;
            }
            if (std::strcmp(a, "--edit") == 0)
                dwData = 1;
            else if (std::strcmp(a, "--") == 0)
                optionsEnd = true;
            else
                return Usage((std::string("unknown option ") + a).c_str());
        } else if (!path) {
            path = a;
        } else {
            return Usage("one path, please");
        }
    }
    QByteArray text;
    if (path && *path) {
        text = Absolute(path);
        if (text.isEmpty()) {
            std::fprintf(stderr, "kovel-send: cannot tell the current folder: %s\n", std::strerror(errno));
            return 1;
        }
    }
    QCoreApplication app(argc, argv);
    QString problem;
    const QString name = kovel::player::OpenRequestServerName(&problem);
    if (name.isEmpty()) {
        std::fprintf(stderr, "kovel-send: %s\n", problem.toLocal8Bit().constData());
        return 1;
    }
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
