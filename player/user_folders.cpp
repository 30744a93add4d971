#include "user_folders.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace kovel::player {

bool MakeDirectories(const std::string& path) {
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == '/') {
            const std::string part = path.substr(0, i);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
                return false;
        }
    }
    return true;
}

std::string XdgBaseFolder(const char* variable, const char* underHome) {
    if (const char* value = std::getenv(variable); value && *value == '/')
        return value;
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/" + underHome;
    return {};
}

}  // namespace kovel::player
