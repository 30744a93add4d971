// Media runtime benchmark: decodes and presents a generated one-hour lesson
// as fast as it can (kovel-graph --no-clock) beside the decoding library's
// own command-line tool decoding the same streams exported to Matroska, and
// the processor time one minute of real-time playback costs.
//
//   runtime_bench [--lesson PATH] [--minutes N] [--realtime-seconds N]
//
// The lesson is made once (zmr create) and kept for later runs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "child_process.h"

using namespace kovel::bench;

int main(int argc, char** argv) {
    const std::string bin = KOVEL_BIN_DIR;
    std::string lesson = KOVEL_BENCH_DIR "/hour.zmr";
    int minutes = 60;
    int realtimeSeconds = 60;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--lesson"))
            lesson = argv[i + 1];
        else if (!std::strcmp(argv[i], "--minutes"))
            minutes = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--realtime-seconds"))
            realtimeSeconds = std::atoi(argv[i + 1]);
    }
    if (!Exists(lesson)) {
        std::printf("making a %d-minute lesson: %s\n", minutes, lesson.c_str());
        std::fflush(stdout);
        RunResult made = Run({bin + "/zmr", "create", lesson, "--pattern", "--tone", "--duration",
                              std::to_string(minutes * 60), "--title", "benchmark"});
        if (made.status != 0) {
            std::fprintf(stderr, "zmr create failed\n");
            return 1;
        }
    }
    const std::string mkv = lesson + ".mkv";
    if (!Exists(mkv) && Run({bin + "/zmr", "export", lesson, mkv}).status != 0) {
        std::fprintf(stderr, "zmr export failed\n");
        return 1;
    }

    RunResult ours = Run({bin + "/kovel-graph", lesson, "--no-clock", "--json"});
    if (ours.status != 0) {
        std::fprintf(stderr, "kovel-graph failed (%d)\n", ours.status);
        return 1;
    }
    RunResult reference = Run({"ffmpeg", "-v", "error", "-nostdin", "-i", mkv, "-f", "null", "-"});
    if (reference.status != 0) {
        std::fprintf(stderr, "ffmpeg failed (%d)\n", reference.status);
        return 1;
    }
    const double duration = JsonNumber(ours.output, "duration");
    std::printf("lesson: %s (%.0f s)\n", lesson.c_str(), duration);
    std::printf("%-44s %10s %10s %10s\n", "", "wall s", "cpu s", "x realtime");
    std::printf("%-44s %10.2f %10.2f %10.1f\n", "kovel-graph --no-clock (decode + present)", ours.wallSeconds,
                ours.cpuSeconds, duration / ours.wallSeconds);
    std::printf("%-44s %10.2f %10.2f %10.1f\n", "ffmpeg -i exported.mkv -f null", reference.wallSeconds,
                reference.cpuSeconds, duration / reference.wallSeconds);
    std::printf("ratio (ours / ffmpeg, wall): %.2f\n", ours.wallSeconds / reference.wallSeconds);

    RunResult realtime =
        Run({bin + "/kovel-graph", lesson, "--seconds", std::to_string(realtimeSeconds), "--json"});
    if (realtime.status != 0) {
        std::fprintf(stderr, "kovel-graph (real time) failed (%d)\n", realtime.status);
        return 1;
    }
    std::printf("real-time playback: %.2f cpu s per minute (%d s played in %.1f s)\n",
                realtime.cpuSeconds * 60.0 / realtimeSeconds, realtimeSeconds, realtime.wallSeconds);
    return 0;
}
