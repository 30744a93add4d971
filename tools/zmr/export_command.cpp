#include <cstdio>

#include "commands.h"

namespace zmrtool {

int RunExport(const std::vector<std::string>&) {
    std::fputs("zmr: export is not built yet\n", stderr);
    return 1;
}

}  // namespace zmrtool
