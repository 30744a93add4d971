#include "player_app.h"

#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "chapter_list.h"
#include "courseware_info.h"
#include "gbk_text.h"
#include "player_dlg.h"
#include "quit_signals.h"
#include "report_message.h"
#include "transport.h"

namespace kovel::player {
namespace {

// Hands the graph's posted notifications to the playback object.
class CGraphNotifyReceiver : public QObject {
  public:
    explicit CGraphNotifyReceiver(CGraphPlayer& player) : m_player(player) {}
    bool event(QEvent* e) override {
        if (e->type() != QEvent::Type(QEvent::User + WM_GRAPHNOTIFY))
            return QObject::event(e);
        m_player.HandleGraphEvents();
        return true;
    }

  private:
    CGraphPlayer& m_player;
};

}  // namespace

int CPlayerApp::RunHeadless(int argc, char** argv, const CommandLine& options) {
    QCoreApplication app(argc, argv);
    const std::string& file = options.file;
    const long seconds = options.seconds;
    CoursewareInfo info;
    ReadCoursewareInfo(file, info);
    std::printf("title: %s\nmaker: %s\ndate: %s\n", GbkToUnicode(info.title).toUtf8().constData(),
                GbkToUnicode(info.makerName).toUtf8().constData(),
                GbkToUnicode(info.makingDate).toUtf8().constData());
    std::fflush(stdout);

    // Installed before the sound output starts: a quit signal ends the loop.
    CQuitSignals quitSignals;
    QObject::connect(&quitSignals, &CQuitSignals::QuitRequested, &app, &QCoreApplication::quit);
    // Without a window the graph's notifications go to this object; video
    // renderers have no window, so the graph plays as if audio only.
    CGraphPlayer player;
    CGraphNotifyReceiver receiver(player);
    player.SetNotifyTarget(&receiver);
    SetReportMessageSink([](const std::string& text) { std::fprintf(stderr, "MSG: %s", text.c_str()); });
    if (FAILED(player.Open(file.c_str()))) {
        std::fprintf(stderr, "Failed open: %s\n", file.c_str());
        return 1;
    }
    if (options.speed != 1.0) {
        if (const HRESULT hr = player.SetRate(options.speed); FAILED(hr)) {
            std::fprintf(stderr, "Failed speed %g: 0x%08x\n", options.speed, unsigned(hr));
            return 1;
        }
    }
    const double duration = player.GetDurationSeconds();
    // Sets the slider scale the chapter times are counted in.
    std::printf("duration: %s\n", player.DurationText(duration).substr(1).c_str());
    std::fflush(stdout);
    // The chapter being played is found as the window's highlight finds it.
    const ChapterRead chapters = ReadChapterEntries(player.TempDocument());
    std::vector<int32_t> times;
    for (const ChapterEntry& c : chapters.chapters) times.push_back(c.time);
    const HighlightTable highlight = BuildHighlightTable(times);

    QElapsedTimer elapsed;
    elapsed.start();
    long lastPrinted = -1;
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const bool completed = player.TakeCompleted();
        const long second = long(elapsed.elapsed() / 1000);
        if (second != lastPrinted) {
            lastPrinted = second;
            const double position = player.GetPositionSeconds();
            const double units = std::trunc(position / player.Scale());
            const int row = HighlightRow(highlight, units > 0 && units < 2147483647.0 ? int32_t(units) : 0);
            if (row >= 0)
                std::printf("position: %schapter: %s\n", FormatClock(position).c_str(),
                            chapters.chapters[size_t(row)].title.c_str());
            else
                std::printf("position: %s\n", FormatClock(position).c_str());
            std::fflush(stdout);
        }
        if (completed) {
            std::printf("end of lesson\n");
            app.quit();
        } else if (player.State() == PlayState::Closed) {
            app.quit();
        }
    });
    tick.start(100);
    // The time given is wall time, kept to the millisecond: at a speed the
    // position reached is speed x seconds.
    QTimer end;
    end.setSingleShot(true);
    end.setTimerType(Qt::PreciseTimer);
    QObject::connect(&end, &QTimer::timeout, [&] {
        std::printf("stopped at: %.2f s\n", player.GetPositionSeconds());
        std::fflush(stdout);
        app.quit();
    });
    if (seconds >= 0)
        end.start(int(std::min<long>(seconds, INT32_MAX / 1000) * 1000));
    app.exec();
    player.CloseGraph();
    return quitSignals.Received() ? 128 + quitSignals.Received() : 0;
}

int RunMainWindow(CPlayerDlg& dlg) {
    // Only the user's close (or a quit signal) ends the loop.
    QApplication::setQuitOnLastWindowClosed(false);
    CQuitSignals quitSignals;
    QObject::connect(&quitSignals, &CQuitSignals::QuitRequested, qApp, &QCoreApplication::quit);
    QObject::connect(&dlg, &QDialog::finished, qApp, &QCoreApplication::quit);
    dlg.OnInitDialog();
    dlg.show();
    // A signal or a close served by a nested loop during initialisation
    // (a message box) came before the loop that would have seen it.
    if (!quitSignals.Received() && !dlg.CleanedUp())
        QApplication::exec();
    dlg.CloseCleanup();
    return quitSignals.Received() ? 128 + quitSignals.Received() : 0;
}

int CPlayerApp::Run(int argc, char** argv) {
    CommandLine options;
    if (const int status = ReadCommandLine(argc, argv, &options); status >= 0)
        return status;
    if (options.headless)
        return RunHeadless(argc, argv, options);
    QApplication app(argc, argv);
    app.setWindowIcon(PlayerIcon());
    CPlayerDlg dlg;
    dlg.SetPendingFile(options.file);
    dlg.SetStartOptions({options.speed, options.start, options.resume});
    return RunMainWindow(dlg);
}

}  // namespace kovel::player
