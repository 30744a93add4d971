#pragma once

#include <string>

namespace kovel::player {

// Makes `path` and every folder above it that is missing, private to the
// user (0700); true when it exists afterwards.
bool MakeDirectories(const std::string& path);

// An XDG base folder: $`variable` when absolute (a relative one is invalid
// and ignored), else $HOME/`underHome`; empty when neither names a folder.
std::string XdgBaseFolder(const char* variable, const char* underHome);

}  // namespace kovel::player
