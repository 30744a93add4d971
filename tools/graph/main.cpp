// kovel-graph: builds a playback graph for a file the way the player does,
// prints its filters and connections, plays it headless and reports.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "com_util.h"
#include "kovel/build_tree.h"
#include "kovel/com.h"
#include "kovel/control.h"
#include "kovel/events.h"
#include "kovel/renderer.h"
#include "kovel/version.h"
#include "media_type.h"
#include "picture_timing.h"

using namespace kovel::graph;
using namespace kovel::graphtool;

namespace {

KOVEL_GUID(CLSID_CoursewareReader, "2D042A1B-F952-4B68-AAF0-F531C78E69E4");

struct Options {
    std::string file;
    double seconds = -1;
    double rate = 1.0;
    std::vector<double> seeks;
    bool noClock = false;
    bool json = false;
};

std::string Json(const std::string& s) {
    std::string o = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            o += '\\';
            o += char(c);
        } else if (c < 0x20) {
            char b[8];
            std::snprintf(b, sizeof b, "\\u%04x", c);
            o += b;
        } else {
            o += char(c);
        }
    }
    return o + "\"";
}

struct Connection {
    std::string from, to, major, sub;
};

// The source output pin at the head of the chain feeding a filter.
std::string SourcePinOf(IBaseFilter* f) {
    for (int guard = 0; guard < 16 && f; ++guard) {
        ComPtr<IPin> upstreamOut;
        for (auto& p : ListPins(f)) {
            if (PinDirection(p.get()) != PINDIR_INPUT)
                continue;
            if (SUCCEEDED(p->ConnectedTo(upstreamOut.Out())) && upstreamOut)
                break;
        }
        if (!upstreamOut)
            return {};
        auto owner = PinOwner(upstreamOut.get());
        bool ownerHasInput = false;
        for (auto& p : ListPins(owner.get()))
            if (PinDirection(p.get()) == PINDIR_INPUT)
                ownerHasInput = true;
        if (!ownerHasInput)
            return ToUtf8(PinName(upstreamOut.get()));
        f = owner.get();
    }
    return {};
}

constexpr const char* kUsage =
    "usage: kovel-graph FILE [--seconds N] [--seek S]... [--rate R] [--no-clock] [--json]\n"
    "Builds the graph the player builds for FILE, prints its filters and connections, plays it\n"
    "without a window and reports positions, frames, sound, events, the time from the start of\n"
    "the build to the first picture and how long each seek took to show its picture.\n"
    "  --seconds N   once the first picture is shown and the seeks are made, play for N\n"
    "                seconds (default: to the end)\n"
    "  --seek S      once the first picture is shown, move the running graph to S seconds and\n"
    "                wait for the picture there; repeat for several seeks, made one after another\n"
    "  --rate R      play at R times normal speed, 0.5 to 3, the pitch kept (default 1)\n"
    "  --no-clock    deliver as fast as the renderers take it, without the clock\n"
    "  --json        report as one JSON object\n"
    "  --help        show this help and exit\n"
    "  --version     show the version and exit\n";

int Usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    KovelUseBuildTreeRegistry();
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--version") {
            std::printf("kovel-graph %s\n", KOVEL_VERSION);
            return 0;
        }
        if (a == "--seconds" && i + 1 < argc)
            o.seconds = std::atof(argv[++i]);
        else if (a == "--seek" && i + 1 < argc)
            o.seeks.push_back(std::atof(argv[++i]));
        else if (a == "--rate" && i + 1 < argc) {
            char* end = nullptr;
            o.rate = std::strtod(argv[++i], &end);
            if (!end || *end || !(o.rate >= 0.5 && o.rate <= 3.0))
                return Usage();
        } else if (a == "--no-clock")
            o.noClock = true;
        else if (a == "--json")
            o.json = true;
        else if (!a.empty() && a[0] == '-')
            return Usage();
        else if (o.file.empty())
            o.file = a;
        else
            return Usage();
    }
    if (o.file.empty())
        return Usage();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    {
        const REFERENCE_TIME buildStart = SteadyNow();
        ComPtr<IGraphBuilder> gb;
        HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                      gb.OutVoid());
        if (FAILED(hr)) {
            std::fprintf(stderr, "kovel-graph: cannot create the graph manager: 0x%08x\n", unsigned(hr));
            return 1;
        }
        std::u16string wfile = FromUtf8(o.file);
        std::string lower = o.file;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        if (lower.find(".zmr") != std::string::npos) {
            ComPtr<IBaseFilter> reader;
            hr = CoCreateInstance(CLSID_CoursewareReader, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reader.OutVoid());
            if (SUCCEEDED(hr))
                hr = gb->AddFilter(reader.get(), u"Zm Reader");
            ComPtr<IFileSourceFilter> fs = QueryAs<IFileSourceFilter>(reader.get(), IID_IFileSourceFilter);
            if (SUCCEEDED(hr))
                hr = fs ? fs->Load(wfile.c_str(), nullptr) : E_NOINTERFACE;
            if (SUCCEEDED(hr)) {
                for (auto& p : ListPins(reader.get())) {
                    ComPtr<IPin> peer;
                    if (p->ConnectedTo(peer.Out()) == VFW_E_NOT_CONNECTED &&
                        PinDirection(p.get()) == PINDIR_OUTPUT) {
                        hr = gb->Render(p.get());
                        if (FAILED(hr))
                            break;
                    }
                }
            }
        } else {
            hr = gb->RenderFile(wfile.c_str(), nullptr);
        }
        if (FAILED(hr)) {
            std::fprintf(stderr, "kovel-graph: building the graph failed: 0x%08x\n", unsigned(hr));
            return 1;
        }
        auto mc = QueryAs<IMediaControl>(gb.get(), IID_IMediaControl);
        auto ms = QueryAs<IMediaSeeking>(gb.get(), IID_IMediaSeeking);
        auto me = QueryAs<IMediaEventEx>(gb.get(), IID_IMediaEventEx);
        if (o.noClock) {
            auto mf = QueryAs<IMediaFilter>(gb.get(), IID_IMediaFilter);
            if (mf)
                mf->SetSyncSource(nullptr);
        }

        std::vector<ComPtr<IBaseFilter>> filters;
        {
            ComPtr<IEnumFilters> e;
            gb->EnumFilters(e.Out());
            IBaseFilter* f = nullptr;
            ULONG got = 0;
            while (e && e->Next(1, &f, &got) == S_OK) filters.push_back(ComPtr<IBaseFilter>::Adopt(f));
        }
        std::vector<Connection> conns;
        for (auto& f : filters)
            for (auto& p : ListPins(f.get())) {
                if (PinDirection(p.get()) != PINDIR_OUTPUT)
                    continue;
                ComPtr<IPin> peer;
                if (FAILED(p->ConnectedTo(peer.Out())) || !peer)
                    continue;
                AM_MEDIA_TYPE mt{};
                p->ConnectionMediaType(&mt);
                auto peerOwner = PinOwner(peer.get());
                conns.push_back({ToUtf8(FilterName(f.get())) + "/" + ToUtf8(PinName(p.get())),
                                 ToUtf8(FilterName(peerOwner.get())) + "/" + ToUtf8(PinName(peer.get())),
                                 MediaTypeName(mt.majortype), MediaTypeName(mt.subtype)});
                FreeMediaType(&mt);
            }
        if (!o.json) {
            std::printf("filters:\n");
            for (auto& f : filters) std::printf("  %s\n", ToUtf8(FilterName(f.get())).c_str());
            std::printf("connections:\n");
            for (auto& c : conns)
                std::printf("  %s -> %s [%s/%s]\n", c.from.c_str(), c.to.c_str(), c.major.c_str(),
                            c.sub.c_str());
            std::fflush(stdout);
        }

        LONGLONG duration = 0;
        if (ms)
            ms->GetDuration(&duration);
        if (o.rate != 1.0) {
            hr = ms ? ms->SetRate(o.rate) : E_NOINTERFACE;
            if (FAILED(hr)) {
                std::fprintf(stderr, "kovel-graph: the graph refused the rate: 0x%08x\n", unsigned(hr));
                return 1;
            }
        }
        // The screen recording's renderer, else the first video renderer: its
        // first picture ends the open and each seek.
        ComPtr<IKovelRenderer> screen;
        for (auto& f : filters) {
            auto r = QueryAs<IKovelRenderer>(f.get(), IID_IKovelRenderer);
            KovelRenderState s{};
            if (!r || FAILED(r->GetRenderState(&s)) || s.kind != KovelRenderer_Video)
                continue;
            if (SourcePinOf(f.get()) == "capture") {
                screen = r;
                break;
            }
            if (!screen)
                screen = r;
        }
        constexpr int kPictureTimeoutMs = 10000;
        EventLog log(me.get());
        double openMs = -1;
        std::vector<SeekTiming> seeks;
        hr = mc ? mc->Run() : E_NOINTERFACE;
        if (FAILED(hr)) {
            std::fprintf(stderr, "kovel-graph: run failed: 0x%08x\n", unsigned(hr));
            status = 1;
        }
        bool done = FAILED(hr);
        if (!done) {
            // The first picture, then the seeks, each one once the one before
            // has shown its picture.
            if (auto first = WaitForPicture(screen.get(), buildStart, log, kPictureTimeoutMs))
                openMs = double(first->firstPresentedAt - buildStart) / 1e4;
            size_t playing = 0;  // events from here on belong to what plays now
            for (double target : o.seeks) {
                if (!ms || log.AbortedSince(0))
                    break;
                // What came before belongs to the old position.
                log.Drain();
                playing = log.All().size();
                seeks.push_back(TimedSeek(ms.get(), screen.get(), target, log, kPictureTimeoutMs));
            }
            done = log.EndedSince(playing);
        }
        auto begin = std::chrono::steady_clock::now();
        while (!done) {
            const size_t before = log.All().size();
            // Never past the end of the time given: the position is read then.
            LONG wait = 100;
            if (o.seconds >= 0) {
                const double left =
                    o.seconds -
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
                wait = LONG(std::clamp(left * 1000.0, 0.0, 100.0));
            }
            log.Pump(wait);
            if (log.EndedSince(before))
                done = true;
            double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            if (o.seconds >= 0 && elapsed >= o.seconds)
                done = true;
        }
        for (const GraphEvent& e : log.All())
            if (e.code == EC_ERRORABORT)
                status = 1;
        // A late second completion would be a fault: listen a little longer.
        if (!log.All().empty() && log.All().back().code == EC_COMPLETE)
            while (log.Pump(300)) {
            }
        const std::vector<GraphEvent>& events = log.All();
        LONGLONG position = 0;
        if (ms)
            ms->GetCurrentPosition(&position);

        // Without a clock nothing is in sync: the offset reads -1.
        // Both renderers measure against the same clock, so the largest
        // lateness of a presented frame and the audio's distance from its
        // time stamps together bound how far picture and sound drift apart.
        REFERENCE_TIME videoLate = 0;
        for (auto& f : filters) {
            auto r = QueryAs<IKovelRenderer>(f.get(), IID_IKovelRenderer);
            KovelRenderState s{};
            if (r && SUCCEEDED(r->GetRenderState(&s)) && s.kind == KovelRenderer_Video)
                videoLate = std::max(videoLate, s.maxOffset);
        }
        // Stream times count from the segment start, which a seek moves: the
        // report gives media times.
        const double segmentStart = o.seeks.empty() ? 0.0 : std::max(0.0, o.seeks.back());
        std::string video = "[", audio = "[";
        for (auto& f : filters) {
            auto r = QueryAs<IKovelRenderer>(f.get(), IID_IKovelRenderer);
            if (!r)
                continue;
            KovelRenderState s{};
            if (FAILED(r->GetRenderState(&s)))
                continue;
            char buf[512];
            if (s.kind == KovelRenderer_Video) {
                std::snprintf(
                    buf, sizeof buf,
                    "%s{\"filter\":%s,\"source_pin\":%s,\"frames_presented\":%lld,\"frames_dropped\":%lld,"
                    "\"first_frame_time\":%.4f}",
                    video.size() > 1 ? "," : "", Json(ToUtf8(FilterName(f.get()))).c_str(),
                    Json(SourcePinOf(f.get())).c_str(), (long long)s.presented, (long long)s.dropped,
                    s.firstStreamTime < 0 ? -1.0 : segmentStart + double(s.firstStreamTime) / 1e7);
                video += buf;
            } else {
                std::snprintf(buf, sizeof buf,
                              "%s{\"filter\":%s,\"samples_played\":%lld,\"buffers_played\":%lld,\"max_av_"
                              "offset_ms\":%.2f}",
                              audio.size() > 1 ? "," : "", Json(ToUtf8(FilterName(f.get()))).c_str(),
                              (long long)s.audioFramesPlayed, (long long)s.presented,
                              o.noClock ? -1.0 : double(std::max(s.maxOffset, videoLate)) / 1e4);
                audio += buf;
            }
        }
        video += "]";
        audio += "]";
        if (mc)
            mc->Stop();

        if (o.json) {
            std::string out = "{\"file\":" + Json(o.file) + ",\"filters\":[";
            for (size_t i = 0; i < filters.size(); ++i)
                out += (i ? "," : "") + Json(ToUtf8(FilterName(filters[i].get())));
            out += "],\"connections\":[";
            for (size_t i = 0; i < conns.size(); ++i)
                out += std::string(i ? "," : "") + "{\"from\":" + Json(conns[i].from) +
                       ",\"to\":" + Json(conns[i].to) + ",\"major_type\":" + Json(conns[i].major) +
                       ",\"subtype\":" + Json(conns[i].sub) + "}";
            char buf[128];
            std::snprintf(buf, sizeof buf, "],\"duration\":%.4f,\"position\":%.4f,", double(duration) / 1e7,
                          double(position) / 1e7);
            out += buf;
            out += "\"video\":" + video + ",\"audio\":" + audio + ",\"events\":[";
            for (size_t i = 0; i < events.size(); ++i) {
                std::snprintf(buf, sizeof buf, "%s{\"code\":%d,\"param1\":%lld,\"param2\":%lld}",
                              i ? "," : "", int(events[i].code), (long long)events[i].p1,
                              (long long)events[i].p2);
                out += buf;
            }
            std::snprintf(buf, sizeof buf, "],\"open_ms\":%.2f,\"seeks\":[", openMs);
            out += buf;
            for (size_t i = 0; i < seeks.size(); ++i) {
                std::snprintf(buf, sizeof buf,
                              "%s{\"target\":%.4f,\"latency_ms\":%.2f,\"first_frame_time\":%.4f}",
                              i ? "," : "", seeks[i].target, seeks[i].latencyMs, seeks[i].firstFrameTime);
                out += buf;
            }
            out += "]}";
            std::printf("%s\n", out.c_str());
        } else {
            std::printf("duration: %.3f s\nposition: %.3f s\nvideo: %s\naudio: %s\nevents:\n",
                        double(duration) / 1e7, double(position) / 1e7, video.c_str(), audio.c_str());
            for (auto& e : events)
                std::printf("  code=%d param1=%lld param2=%lld\n", int(e.code), (long long)e.p1,
                            (long long)e.p2);
            // After the lines other programs read: the waits a user feels.
            std::printf("open: %.2f ms\n", openMs);
            for (const SeekTiming& t : seeks)
                std::printf("seek to %.3f s: %.2f ms, first picture at %.3f s\n", t.target, t.latencyMs,
                            t.firstFrameTime);
        }
    }
    CoUninitialize();
    return status;
}
