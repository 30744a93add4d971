// Where this user's player listens for open requests, and who may ask.
#pragma once

#include <QString>
#include <QtGlobal>

namespace kovel::player {

// $XDG_RUNTIME_DIR when it is a private folder of this user; else a private
// folder (mode 0700) of this user's own in the temporary folder, made when
// missing. Empty, with the reason in `error`, when neither can be had: a
// folder another user made or can look into is never used.
QString PrivateRuntimeFolder(QString* error);

// Whether the process at the other end of a connected local socket runs as
// this user.
bool PeerIsThisUser(qintptr descriptor);

// Whether anything at all is at `path` (a dangling link included).
bool NameTaken(const QString& path);
// Whether `path` is a socket this user owns (so this user may remove it).
bool IsOwnSocket(const QString& path);

}  // namespace kovel::player
