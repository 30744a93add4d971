#include "request_folder.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kovel::player {
namespace {

// Owned by this user, a folder, and closed to everyone else.
QString Unsafe(const QByteArray& path, bool followLink) {
    struct stat st {};
    if ((followLink ? stat(path.constData(), &st) : lstat(path.constData(), &st)) != 0)
        return QStringLiteral("%1: %2").arg(QFile::decodeName(path),
                                            QString::fromLocal8Bit(std::strerror(errno)));
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 is not a folder").arg(QFile::decodeName(path));
    if (st.st_uid != getuid())
        return QStringLiteral("%1 belongs to another user").arg(QFile::decodeName(path));
    if (st.st_mode & 077)
        return QStringLiteral("%1 is open to other users (mode %2)")
            .arg(QFile::decodeName(path))
            .arg(st.st_mode & 0777, 3, 8, QLatin1Char('0'));
    return {};
}

}  // namespace

QString PrivateRuntimeFolder(QString* error) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && runtime.startsWith('/')) {
        const QString why = Unsafe(runtime, true);
        if (why.isEmpty())
            return QFile::decodeName(runtime);
        // As the base directory rules ask: say so, and use a folder of one's own.
        static bool told = false;
        if (!told) {
            told = true;
            std::fprintf(stderr, "XDG_RUNTIME_DIR not used: %s\n", why.toLocal8Bit().constData());
        }
    }
    const QByteArray own =
        QFile::encodeName(QDir::tempPath()) + "/kovel-" + QByteArray::number(uint(getuid()));
    if (mkdir(own.constData(), 0700) != 0 && errno != EEXIST) {
        if (error)
            *error = QStringLiteral("cannot make %1: %2")
                         .arg(QFile::decodeName(own), QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    // Made now or earlier: only a folder this user made and keeps private will do.
    if (const QString why = Unsafe(own, false); !why.isEmpty()) {
        if (error)
            *error = why;
        return {};
    }
    return QFile::decodeName(own);
}

bool PeerIsThisUser(qintptr descriptor) {
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred)
        return false;
    return cred.uid == getuid();
}

bool NameTaken(const QString& path) {
    struct stat st {};
    return lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool IsOwnSocket(const QString& path) {
    struct stat st {};
    return lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISSOCK(st.st_mode) &&
           st.st_uid == getuid();
}

}  // namespace kovel::player
