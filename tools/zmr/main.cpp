// zmr: make, inspect and convert courseware files.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "kovel/version.h"
#ifdef ZMR_HAVE_SAMPLES
#include "kovel/build_tree.h"
#endif

namespace {

void Usage(FILE* out) {
    std::fputs(
        "usage: zmr <command> [arguments]\n"
        "commands:\n"
        "  create OUT.zmr [options]         write a lesson from media files or test signals\n"
        "  info [--json] FILE               header, streams, index, metadata and chapters\n"
        "  samples [--seek SECONDS] FILE    samples the reader delivers, one JSON object a line\n"
        "  chapters FILE [--export OUT.xml | --import IN.xml]\n"
        "                                   list, copy out or replace the chapter document\n"
        "  export [--quiet] IN.zmr OUT.mkv  copy the streams into Matroska\n"
        "options:\n"
        "  --help                           show this help and exit\n"
        "  --version                        show the version and exit\n"
        "run 'zmr create --help' for the options of create\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef ZMR_HAVE_SAMPLES
    KovelUseBuildTreeRegistry();
#endif
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    const std::string command = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "-h" || command == "--help" || command == "help") {
        Usage(stdout);
        return 0;
    }
    if (command == "--version") {
        std::printf("zmr %s\n", KOVEL_VERSION);
        return 0;
    }
    if (command == "create")
        return zmrtool::RunCreate(args);
    if (command == "info")
        return zmrtool::RunInfo(args);
    if (command == "samples") {
#ifdef ZMR_HAVE_SAMPLES
        return zmrtool::RunSamples(args);
#else
        std::fputs("zmr: samples is not available in this build\n", stderr);
        return 2;
#endif
    }
    if (command == "chapters")
        return zmrtool::RunChapters(args);
    if (command == "export")
        return zmrtool::RunExport(args);
    if (command.size() > 1 && command[0] == '-')
        std::fprintf(stderr, "zmr: unknown option '%s'\n", command.c_str());
    else
        std::fprintf(stderr, "zmr: unknown command '%s'\n", command.c_str());
    Usage(stderr);
    return 2;
}
