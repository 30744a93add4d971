// The waits a student feels, beside a widely used player: from opening a
// lesson to its first picture, and from a seek to the picture at the new
// place. Ours is kovel-graph on the lesson (the graph the player builds);
// the other is mpv on the same lesson exported to Matroska, driven through
// its JSON IPC. Both get the same seek targets.
//
//   seek_bench [--lesson PATH] [--seeks N] [--runs N] [--seed N]
//
// Set-up: mpv from Debian (bench/seek/install-mpv, run by this program when
// mpv is missing). The lesson (10 minutes, 1280x720 screen at 10 fps, 320x240
// camera, sound) is made once by zmr create and exported by zmr export; both
// are kept for later runs.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <random>

#include "child_process.h"

using namespace kovel::bench;

namespace {

constexpr const char* kUsage =
    "usage: seek_bench [--lesson PATH] [--seeks N] [--runs N] [--seed N]\n"
    "Times the open of a lesson to its first picture and N random seeks (default 100) to the\n"
    "picture at the target, for kovel-graph on the lesson and for mpv on its Matroska export;\n"
    "prints medians, 95th percentiles and the ratios (ours / mpv). The seeks are split over\n"
    "--runs runs of each program (default 20), ours and mpv taking turns so that a busy moment\n"
    "of the machine falls on both; each run is a new process and times one open.\n"
    "How both sides run, so that they do the same work:\n"
    "  ours: kovel-graph FILE --json, the graph the player builds: the reader plug-in, the\n"
    "        decoders, the video renderers without a window (each picture decoded, converted\n"
    "        and counted, not drawn) and the sound on the null output (KOVEL_AUDIO_OUTPUT=null),\n"
    "        which keeps time like a sound card; open: from the start of the graph's build to\n"
    "        the first picture of the screen recording; seek: from the call on the running\n"
    "        graph to the first picture at or after the target.\n"
    "  mpv:  mpv --no-config --idle --vo=null --ao=null --hwdec=no --hr-seek=yes --keep-open,\n"
    "        the file decoded the same way and not drawn; open: from loadfile to the first\n"
    "        playback-restart event; seek: from \"seek S absolute\" to playback-restart.\n"
    "  Both seek precisely (to the picture at the target, decoding from the key frame before\n"
    "  it) while playing, one seek after the other has shown its picture.\n";

struct Options {
    std::string lesson = KOVEL_BENCH_DIR "/seek-10min.zmr";
    int seeks = 100;
    int runs = 20;
    unsigned seed = 20261208;
};

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    const size_t rank = size_t(std::ceil(p * double(v.size())));
    return v[std::clamp<size_t>(rank, 1, v.size()) - 1];
}

double SteadyMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

bool MakeLesson(const std::string& bin, const std::string& lesson, const std::string& mkv) {
    if (!Exists(lesson)) {
        std::printf("making the lesson: %s\n", lesson.c_str());
        std::fflush(stdout);
        if (Run({bin + "/zmr", "create", lesson, "--pattern", "--tone", "--duration", "600", "--screen-size",
                 "1280x720", "--camera-size", "320x240", "--fps", "10", "--title", "seek benchmark",
                 "--quiet"})
                .status != 0) {
            std::fprintf(stderr, "zmr create failed\n");
            return false;
        }
    }
    if (!Exists(mkv) && Run({bin + "/zmr", "export", "--quiet", lesson, mkv}).status != 0) {
        std::fprintf(stderr, "zmr export failed\n");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- ours

// The open and, when asked, the seeks of one kovel-graph run.
struct OurRun {
    double openMs = -1;
    std::vector<double> seekMs;
    int missing = 0;        // seeks that showed no picture
    double cpuSeconds = 0;  // the whole process's processor time
};

std::optional<OurRun> RunOurs(const std::string& bin, const std::string& lesson,
                              const std::vector<double>& targets) {
    std::vector<std::string> args{bin + "/kovel-graph", lesson, "--seconds", "0", "--json"};
    for (double t : targets) {
        args.push_back("--seek");
        args.push_back(std::to_string(t));
    }
    RunResult r = Run(args);
    if (r.status != 0) {
        std::fprintf(stderr, "kovel-graph failed (%d)\n", r.status);
        return std::nullopt;
    }
    OurRun run;
    run.cpuSeconds = r.cpuSeconds;
    run.openMs = JsonNumber(r.output, "open_ms");
    size_t at = r.output.find("\"seeks\":[");
    while (at != std::string::npos) {
        const double ms = JsonNumber(r.output, "latency_ms", at, &at);
        if (at == std::string::npos)
            break;
        if (ms < 0)
            ++run.missing;
        else
            run.seekMs.push_back(ms);
    }
    return run;
}

// ---------------------------------------------------------------- mpv

// One mpv process, idle, listening on its IPC socket.
class Mpv {
  public:
    explicit Mpv(const std::string& socketPath) : path_(socketPath) {}
    ~Mpv() { Quit(); }

    bool Start() {
        ::unlink(path_.c_str());
        std::vector<std::string> args{"mpv",
                                      "--no-config",
                                      "--idle=yes",
                                      "--input-ipc-server=" + path_,
                                      "--vo=null",
                                      "--ao=null",
                                      "--hwdec=no",
                                      "--hr-seek=yes",
                                      "--keep-open=yes",
                                      "--terminal=no",
                                      "--pause=no"};
        std::vector<char*> argv = Argv(args);
        if (posix_spawnp(&pid_, "mpv", nullptr, nullptr, argv.data(), environ) != 0) {
            pid_ = 0;
            return false;
        }
        // The socket appears once mpv has started.
        for (int i = 0; i < 500; ++i) {
            fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
            if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
                return true;
            ::close(fd_);
            fd_ = -1;
            ::usleep(10000);
        }
        return false;
    }

    bool Send(const std::string& line) {
        const std::string l = line + "\n";
        return ::send(fd_, l.data(), l.size(), MSG_NOSIGNAL) == ssize_t(l.size());
    }

    // Reads until an event of that name comes; false after `timeoutMs`.
    bool WaitEvent(const std::string& name, int timeoutMs) {
        const std::string needle = "\"event\":\"" + name + "\"";
        const double deadline = SteadyMs() + timeoutMs;
        for (;;) {
            size_t nl;
            while ((nl = pending_.find('\n')) != std::string::npos) {
                const std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                if (line.find(needle) != std::string::npos)
                    return true;
            }
            const int left = int(deadline - SteadyMs());
            pollfd p{fd_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, left) <= 0)
                return false;
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            pending_.append(buf, size_t(n));
        }
    }

    // Processor time of the ended process (user + system).
    double CpuSeconds() const { return cpu_; }

    void Quit() {
        if (fd_ >= 0) {
            Send(R"({"command":["quit"]})");
            ::close(fd_);
            fd_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            struct rusage usage {};
            pid_t ended = 0;
            for (int i = 0; i < 200 && (ended = ::wait4(pid_, &status, WNOHANG, &usage)) == 0; ++i)
                ::usleep(10000);
            if (ended == 0) {
                ::kill(pid_, SIGKILL);
                ::wait4(pid_, &status, 0, &usage);
            }
            cpu_ = kovel::bench::CpuSeconds(usage);
            pid_ = 0;
        }
        ::unlink(path_.c_str());
    }

  private:
    std::string path_;
    pid_t pid_ = 0;
    int fd_ = -1;
    double cpu_ = 0;
    std::string pending_;
};

std::string JsonString(const std::string& s) {
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            o += '\\';
        o += c;
    }
    return o + "\"";
}

// Times loadfile to the first playback-restart, then each seek to the next.
std::optional<OurRun> RunMpv(const std::string& socketPath, const std::string& file,
                             const std::vector<double>& targets) {
    Mpv mpv(socketPath);
    if (!mpv.Start()) {
        std::fprintf(stderr, "mpv did not start or opened no IPC socket\n");
        return std::nullopt;
    }
    OurRun run;
    double t0 = SteadyMs();
    mpv.Send(R"({"command":["loadfile",)" + JsonString(file) + "]}");
    if (!mpv.WaitEvent("playback-restart", 10000)) {
        std::fprintf(stderr, "mpv did not start playing %s\n", file.c_str());
        return std::nullopt;
    }
    run.openMs = SteadyMs() - t0;
    for (double t : targets) {
        char cmd[128];
        std::snprintf(cmd, sizeof cmd, R"({"command":["seek",%.3f,"absolute"]})", t);
        t0 = SteadyMs();
        mpv.Send(cmd);
        if (mpv.WaitEvent("playback-restart", 10000))
            run.seekMs.push_back(SteadyMs() - t0);
        else
            ++run.missing;
    }
    mpv.Quit();
    run.cpuSeconds = mpv.CpuSeconds();
    return run;
}

bool HaveMpv() {
    return Run({"sh", "-c", "command -v mpv >/dev/null"}).status == 0;
}

void PrintRow(const char* what, const char* who, const std::vector<double>& v) {
    std::printf("%-6s %-12s %8zu %12.1f %12.1f\n", what, who, v.size(), Percentile(v, 0.5),
                Percentile(v, 0.95));
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= argc) {
            std::fputs(kUsage, stderr);
            return 2;
        }
        if (a == "--lesson")
            o.lesson = argv[++i];
        else if (a == "--seeks")
            o.seeks = std::max(1, std::atoi(argv[++i]));
        else if (a == "--runs")
            o.runs = std::max(1, std::atoi(argv[++i]));
        else if (a == "--seed")
            o.seed = unsigned(std::strtoul(argv[++i], nullptr, 10));
        else {
            std::fputs(kUsage, stderr);
            return 2;
        }
    }
    const std::string bin = KOVEL_BIN_DIR;
    const std::string mkv = o.lesson + ".mkv";
    if (!MakeLesson(bin, o.lesson, mkv))
        return 1;
    if (!HaveMpv()) {
        std::printf("mpv is missing: %s\n", KOVEL_INSTALL_MPV);
        std::fflush(stdout);
        if (Run({KOVEL_INSTALL_MPV}).status != 0 || !HaveMpv()) {
            std::fprintf(stderr, "mpv could not be installed\n");
            return 1;
        }
    }
    // Our sound keeps time on the null output, as mpv's does with --ao=null.
    setenv("KOVEL_AUDIO_OUTPUT", "null", 1);

    std::mt19937 rng(o.seed);
    std::uniform_int_distribution<int> ms(0, 599 * 1000);
    std::vector<double> targets;
    for (int i = 0; i < o.seeks; ++i) targets.push_back(ms(rng) / 1000.0);

    const std::string socketPath = std::string(KOVEL_BENCH_DIR) + "/mpv-ipc-" + std::to_string(getpid());
    std::vector<double> ourOpens, mpvOpens, ourSeeks, mpvSeeks;
    int ourMissing = 0, mpvMissing = 0;
    double ourCpu = 0, mpvCpu = 0;
    const size_t runs = std::min<size_t>(size_t(o.runs), targets.size());
    for (size_t r = 0; r < runs; ++r) {
        const std::vector<double> part(targets.begin() + long(r * targets.size() / runs),
                                       targets.begin() + long((r + 1) * targets.size() / runs));
        auto ours = RunOurs(bin, o.lesson, part);
        auto theirs = RunMpv(socketPath, mkv, part);
        if (!ours || !theirs)
            return 1;
        if (ours->openMs >= 0)
            ourOpens.push_back(ours->openMs);
        mpvOpens.push_back(theirs->openMs);
        ourSeeks.insert(ourSeeks.end(), ours->seekMs.begin(), ours->seekMs.end());
        mpvSeeks.insert(mpvSeeks.end(), theirs->seekMs.begin(), theirs->seekMs.end());
        ourMissing += ours->missing;
        mpvMissing += theirs->missing;
        ourCpu += ours->cpuSeconds;
        mpvCpu += theirs->cpuSeconds;
    }

    std::printf("lesson: %s (and its export %s), %zu seeks, seed %u\n", o.lesson.c_str(), mkv.c_str(),
                targets.size(), o.seed);
    std::printf("%-6s %-12s %8s %12s %12s\n", "", "", "count", "median ms", "p95 ms");
    PrintRow("open", "kovel-graph", ourOpens);
    PrintRow("open", "mpv", mpvOpens);
    PrintRow("seek", "kovel-graph", ourSeeks);
    PrintRow("seek", "mpv", mpvSeeks);
    std::printf("processor time of all runs: kovel-graph %.2f s, mpv %.2f s\n", ourCpu, mpvCpu);
    if (ourMissing || mpvMissing)
        std::printf("seeks without a picture: kovel-graph %d, mpv %d\n", ourMissing, mpvMissing);
    std::printf("ratio (ours / mpv): open median %.2f, p95 %.2f; seek median %.2f, p95 %.2f\n",
                Percentile(ourOpens, 0.5) / Percentile(mpvOpens, 0.5),
                Percentile(ourOpens, 0.95) / Percentile(mpvOpens, 0.95),
                Percentile(ourSeeks, 0.5) / Percentile(mpvSeeks, 0.5),
                Percentile(ourSeeks, 0.95) / Percentile(mpvSeeks, 0.95));
    return 0;
}
