#include <cstdio>

#include "commands.h"

namespace zmrtool {

int RunCreate(const std::vector<std::string>&) {
    std::fputs("zmr: create is not built yet\n", stderr);
    return 1;
}

}  // namespace zmrtool
