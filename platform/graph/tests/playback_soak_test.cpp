// A lesson of three streams plays through the real graph (the reader plug-in
// by class id, the decoders, both renderers, the audio one on the SDL dummy
// device) while a driver thread changes its state, position and rate at
// random and a second thread seeks single reader pins straight through their
// seeking interface.
// A watchdog ends the process when an operation hangs. What must hold:
// nothing hangs, no sanitizer report, every Stop leaves no worker behind,
// the process ends with the threads it started with, and after every seek of
// the paused or running graph the first picture shown is the one at the
// target. Seeks of single pins pass the graph's clock by, so only their
// safety counts.
//
// KOVEL_SOAK_OPERATIONS, KOVEL_SOAK_SECONDS and KOVEL_SOAK_SEED make a longer
// or another run (make soak).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "com_util.h"
#include "commands.h"
#include "kovel/com.h"
#include "kovel/control.h"
#include "kovel/events.h"
#include "kovel/renderer.h"
#include "reader_class.h"

using namespace kovel::graph;

namespace {

constexpr int kSeconds = 4;
constexpr int kFps = 10;
constexpr REFERENCE_TIME kFrame = UNITS / kFps;
constexpr REFERENCE_TIME kDuration = kSeconds * UNITS;

long EnvNumber(const char* name, long fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

// The names of the process's threads, for a report that says which one stayed.
std::string ThreadNames() {
    std::string names;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            char buf[64] = {};
            const std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
            if (FILE* f = std::fopen(path.c_str(), "r")) {
                if (std::fgets(buf, sizeof buf, f))
                    buf[std::strcspn(buf, "\n")] = 0;
                std::fclose(f);
            }
            names += std::string(names.empty() ? "" : ", ") + buf;
        }
        closedir(d);
    }
    return names;
}

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (const dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// The thread count once it is down to `limit`, or after two seconds. A
// joined thread stays listed for a moment: the join returns when the
// thread's id is cleared, before the kernel drops its entry, and on a loaded
// machine that moment is long enough to be counted.
int SettledThreadCount(int limit) {
    int n = ThreadCount();
    for (int i = 0; i < 100 && n > limit; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        n = ThreadCount();
    }
    return n;
}

// Ends the process when the driver makes no progress for `limit`: a hang is
// reported with the operation that never returned, instead of a silent
// time-out of the whole test.
class Watchdog {
  public:
    explicit Watchdog(std::chrono::seconds limit) : m_limit(limit), m_thread([this] { Watch(); }) {}
    ~Watchdog() {
        m_stop = true;
        m_thread.join();
    }
    void Enter(const char* what) {
        m_what = what;
        ++m_progress;
    }

  private:
    void Watch() {
        uint64_t seen = m_progress;
        auto since = std::chrono::steady_clock::now();
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (m_progress != seen) {
                seen = m_progress;
                since = std::chrono::steady_clock::now();
            } else if (std::chrono::steady_clock::now() - since > m_limit) {
                std::fprintf(stderr, "soak: no progress for %llds in \"%s\"\n", (long long)m_limit.count(),
                             m_what.load());
                std::abort();
            }
        }
    }

    std::chrono::seconds m_limit;
    std::atomic<bool> m_stop{false};
    std::atomic<uint64_t> m_progress{0};
    std::atomic<const char*> m_what{"start"};
    std::thread m_thread;
};

struct Graph {
    ComPtr<IGraphBuilder> builder;
    ComPtr<IMediaControl> control;
    ComPtr<IMediaSeeking> seeking;
    ComPtr<IMediaEventEx> events;
    std::vector<ComPtr<IMediaSeeking>> pins;  // the reader's, for seeks that pass the graph by
    std::vector<ComPtr<IKovelRenderer>> video;
};

::testing::AssertionResult Build(const std::string& lesson, Graph* g) {
    if (FAILED(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                g->builder.OutVoid())))
        return ::testing::AssertionFailure() << "no graph";
    ComPtr<IBaseFilter> reader;
    if (FAILED(CoCreateInstance(CLSID_ZmReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reader.OutVoid())))
        return ::testing::AssertionFailure() << "no reader";
    if (FAILED(g->builder->AddFilter(reader.get(), u"Zm Reader")))
        return ::testing::AssertionFailure() << "AddFilter";
    auto source = QueryAs<IFileSourceFilter>(reader.get(), IID_IFileSourceFilter);
    const std::u16string wide = FromUtf8(lesson);
    if (!source || source->Load(wide.c_str(), nullptr) != S_OK)
        return ::testing::AssertionFailure() << "Load";
    for (auto& pin : ListPins(reader.get())) {
        if (HRESULT hr = g->builder->Render(pin.get()); FAILED(hr))
            return ::testing::AssertionFailure() << "Render: 0x" << std::hex << uint32_t(hr);
        g->pins.push_back(QueryAs<IMediaSeeking>(pin.get(), IID_IMediaSeeking));
    }
    ComPtr<IEnumFilters> e;
    g->builder->EnumFilters(e.Out());
    IBaseFilter* f = nullptr;
    while (e && e->Next(1, &f, nullptr) == S_OK) {
        auto filter = ComPtr<IBaseFilter>::Adopt(f);
        auto r = QueryAs<IKovelRenderer>(filter.get(), IID_IKovelRenderer);
        KovelRenderState s{};
        if (r && SUCCEEDED(r->GetRenderState(&s)) && s.kind == KovelRenderer_Video)
            g->video.push_back(r);
    }
    g->control = QueryAs<IMediaControl>(g->builder.get(), IID_IMediaControl);
    g->seeking = QueryAs<IMediaSeeking>(g->builder.get(), IID_IMediaSeeking);
    g->events = QueryAs<IMediaEventEx>(g->builder.get(), IID_IMediaEventEx);
    if (g->pins.size() != 3 || g->video.size() != 2 || !g->control || !g->seeking || !g->events)
        return ::testing::AssertionFailure()
               << g->pins.size() << " pins, " << g->video.size() << " video renderers";
    return ::testing::AssertionSuccess();
}

class PlaybackSoak : public ::testing::Test {
  protected:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }

    // Made in-process by the authoring tool's own code, so that no helper
    // thread of a child process stays behind to blur the thread count.
    static std::string MakeLesson() {
        const std::string path = ::testing::TempDir() + "soak.zmr";
        EXPECT_EQ(zmrtool::RunCreate({path, "--pattern", "--tone", "--duration", std::to_string(kSeconds),
                                      "--fps", std::to_string(kFps), "--gop", std::to_string(kFps),
                                      "--screen-size", "160x120", "--camera-size", "80x60"}),
                  0);
        return path;
    }
};

TEST_F(PlaybackSoak, RandomControlSeeksAndLoopsNeitherHangNorLeak) {
    const long operations = EnvNumber("KOVEL_SOAK_OPERATIONS", 2000);
    const auto budget = std::chrono::seconds(EnvNumber("KOVEL_SOAK_SECONDS", 30));
    const uint32_t seed = uint32_t(EnvNumber("KOVEL_SOAK_SEED", 20261208));
    const std::string lesson = MakeLesson();
    Watchdog watchdog(std::chrono::seconds(EnvNumber("KOVEL_SOAK_HANG_SECONDS", 60)));
    // Counted once a thread was started, which is when a sanitizer starts its own.
    const int threadsBefore = ThreadCount();
    long done = 0, seeksChecked = 0, loops = 0, pinSeeks = 0, rates = 0;
    {
        Graph g;
        ASSERT_TRUE(Build(lesson, &g));
        std::mt19937 rng(seed);
        auto at = [&](REFERENCE_TIME from, REFERENCE_TIME to) {
            return from + REFERENCE_TIME(rng() % uint32_t((to - from) / 1000)) * 1000;
        };

        // Seeks of single pins, racing whatever the driver does. They pause
        // while a seek of the whole graph is checked, which they would move.
        std::mutex checking;
        std::atomic<bool> stopSeeker{false};
        std::thread seeker([&, seed] {
            std::mt19937 local(seed + 1);
            while (!stopSeeker) {
                std::this_thread::sleep_for(std::chrono::microseconds(500 + local() % 20000));
                std::lock_guard<std::mutex> hold(checking);
                LONGLONG t = REFERENCE_TIME(local() % uint32_t(kDuration / 1000)) * 1000;
                g.pins[local() % g.pins.size()]->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, 0);
                ++pinSeeks;
            }
        });

        // The player's answer to the end of the lesson: back to the start and on.
        auto drainEvents = [&] {
            LONG code;
            LONG_PTR p1, p2;
            while (g.events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
                g.events->FreeEventParams(code, p1, p2);
                EXPECT_NE(code, EC_ERRORABORT) << "streaming failed: 0x" << std::hex << uint32_t(p1);
                if (code == EC_COMPLETE) {
                    LONGLONG zero = 0;
                    g.seeking->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, 0);
                    g.control->Run();
                    ++loops;
                }
            }
        };

        const auto begin = std::chrono::steady_clock::now();
        for (; done < operations && std::chrono::steady_clock::now() - begin < budget; ++done) {
            const uint32_t pick = rng() % 100;
            if (pick < 18) {
                watchdog.Enter("Run");
                g.control->Run();
            } else if (pick < 33) {
                watchdog.Enter("Pause");
                g.control->Pause();
            } else if (pick < 43) {
                watchdog.Enter("Stop");
                ASSERT_EQ(g.control->Stop(), S_OK);
                // Stopped: no worker is left, only this test's threads and
                // the seeker.
                EXPECT_LE(SettledThreadCount(threadsBefore + 1), threadsBefore + 1)
                    << "operation " << done << ", threads: " << ThreadNames();
            } else if (pick < 82) {
                // A seek of the paused or running graph: the first picture
                // each video renderer shows is the one at the target. Some of
                // these seeks pause first, so that paused seeks come often.
                watchdog.Enter("seek of the graph");
                std::lock_guard<std::mutex> hold(checking);
                if (pick >= 70)
                    g.control->Pause();
                OAFilterState state = State_Stopped;
                g.control->GetState(0, &state);
                LONGLONG t = at(0, kDuration - 5 * kFrame);
                ASSERT_TRUE(
                    SUCCEEDED(g.seeking->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, 0)));
                if (state != State_Stopped) {
                    for (auto& r : g.video) {
                        KovelRenderState s{};
                        for (int i = 0;
                             i < 20000 && SUCCEEDED(r->GetRenderState(&s)) && s.firstStreamTime < 0; ++i)
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        EXPECT_GE(s.firstStreamTime, 0) << "no picture after a seek to " << t;
                        EXPECT_LT(s.firstStreamTime, kFrame) << "seek to " << t;
                    }
                    ++seeksChecked;
                }
            } else if (pick < 85) {
                // Near the end, so that the end of the lesson and the loop
                // back to its start come often.
                watchdog.Enter("run to the end");
                LONGLONG t = at(kDuration - kFrame, kDuration);
                g.seeking->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, 0);
                g.control->Run();
                const long before = loops;
                for (int i = 0; i < 500 && loops == before; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    drainEvents();
                }
            } else if (pick < 93) {
                // A new rate keeps the place: the streams restart where
                // playback stands, never back at an earlier seek.
                watchdog.Enter("rate");
                static constexpr double kRates[] = {0.5, 0.75, 1.0, 1.25, 1.5, 2.0, 3.0};
                const double rate = kRates[rng() % std::size(kRates)];
                std::lock_guard<std::mutex> hold(checking);
                LONGLONG before = 0, after = 0;
                g.seeking->GetCurrentPosition(&before);
                ASSERT_EQ(g.seeking->SetRate(rate), S_OK);
                g.seeking->GetCurrentPosition(&after);
                double now = 0;
                g.seeking->GetRate(&now);
                EXPECT_EQ(now, rate);
                EXPECT_GE(after, before) << "rate " << rate;
                ++rates;
            } else {
                watchdog.Enter("wait");
                std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 5));
            }
            watchdog.Enter("events");
            drainEvents();
            if (HasFatalFailure())
                break;
        }
        watchdog.Enter("final stop");
        stopSeeker = true;
        seeker.join();
        EXPECT_EQ(g.control->Stop(), S_OK);
        watchdog.Enter("release");
    }
    watchdog.Enter("done");
    // The decoders' and the sound device's threads end with the graph.
    EXPECT_EQ(SettledThreadCount(threadsBefore), threadsBefore);
    std::printf("soak: seed %u, %ld operations, %ld seeks of the graph checked, %ld loops, %ld pin seeks\n",
                seed, done, seeksChecked, loops, pinSeeks);
    EXPECT_GE(seeksChecked, 1);
    std::printf("soak: %ld rate changes\n", rates);
}

}  // namespace
