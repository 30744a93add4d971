// The graph manager with the file source on generated media files and
// renderer-shaped test sinks: building, states, seeking, flushing, events.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "ffmpeg_source.h"
#include "filter_catalog.h"
#include "filter_graph.h"
#include "kovel/builtin.h"
#include "kovel/com.h"
#include "kovel/formats.h"
#include "test_sink.h"

using namespace kovel::graph;
using kovel::graph::test::TestSink;

namespace {

// Above every built-in renderer, so the sinks are the ones chosen.
constexpr DWORD kSinkMerit = 0x900000;

HRESULT CreateVideoSink(IUnknown*, REFIID riid, void** ppv) {
    auto* s = new TestSink(MEDIATYPE_Video);
    HRESULT hr = s->QueryInterface(riid, ppv);
    s->Release();
    return hr;
}
HRESULT CreateAudioSink(IUnknown*, REFIID riid, void** ppv) {
    auto* s = new TestSink(MEDIATYPE_Audio);
    HRESULT hr = s->QueryInterface(riid, ppv);
    s->Release();
    return hr;
}

void RegisterSink(const CLSID& id, const GUID& major, const char16_t* name, DWORD merit) {
    RegisteredFilter f;
    f.clsid = id;
    f.name = name;
    f.merit = merit;
    RegisteredPin in;
    in.name = u"In";
    in.rendered = true;
    in.types.push_back({major, GUID_NULL});
    f.pins.push_back(in);
    RegisterBuiltinFilter(f);
}

std::string MakeMedia(const std::string& name, const std::string& args) {
    std::string path = std::string(::testing::TempDir()) + "/" + name;
    std::string cmd = "ffmpeg -y -loglevel error " + args + " '" + path + "'";
    if (std::system(cmd.c_str()) != 0)
        return {};
    return path;
}

// 2 s of 10 fps video (a key frame every 5 frames) and tone.
const std::string& AvFile() {
    static std::string path = MakeMedia(
        "av.wmv",
        "-f lavfi -i testsrc=size=160x120:rate=10 -f lavfi -i sine=frequency=440:sample_rate=22050 -t 2 "
        "-c:v wmv2 -g 5 -c:a wmav2 -b:a 32k");
    return path;
}
const std::string& VideoFile() {
    static std::string path =
        MakeMedia("v.wmv", "-f lavfi -i testsrc=size=160x120:rate=10 -t 2 -c:v wmv2 -g 5");
    return path;
}

class GraphTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        KovelRegisterBuiltinClass(&CLSID_TestVideoSink, &CreateVideoSink);
        KovelRegisterBuiltinClass(&CLSID_TestAudioSink, &CreateAudioSink);
        RegisterSink(CLSID_TestVideoSink, MEDIATYPE_Video, u"Test Video Sink", kSinkMerit);
        RegisterSink(CLSID_TestAudioSink, MEDIATYPE_Audio, u"Test Audio Sink", kSinkMerit);
    }
    void SetUp() override {
        ASSERT_FALSE(AvFile().empty());
        ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   gb_.OutVoid()),
                  S_OK);
        mc_ = QueryAs<IMediaControl>(gb_.get(), IID_IMediaControl);
        ms_ = QueryAs<IMediaSeeking>(gb_.get(), IID_IMediaSeeking);
        me_ = QueryAs<IMediaEventEx>(gb_.get(), IID_IMediaEventEx);
        ASSERT_TRUE(mc_ && ms_ && me_);
    }
    void TearDown() override {
        if (mc_)
            mc_->Stop();
    }
    TestSink* Sink(const char16_t* name) {
        ComPtr<IBaseFilter> f;
        if (FAILED(gb_->FindFilterByName(name, f.Out())))
            return nullptr;
        void* p = nullptr;
        f->QueryInterface(IID_TestSink, &p);
        return static_cast<TestSink*>(p);
    }
    void Render(const std::string& file) {
        std::u16string w = FromUtf8(file);
        ASSERT_EQ(gb_->RenderFile(w.c_str(), nullptr), S_OK);
    }
    // Events until EC_COMPLETE / abort or the time-out.
    std::vector<LONG> Drain(int ms) {
        std::vector<LONG> codes;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < end) {
            LONG c;
            LONG_PTR a, b;
            if (me_->GetEvent(&c, &a, &b, 50) != S_OK)
                continue;
            codes.push_back(c);
            me_->FreeEventParams(c, a, b);
        }
        return codes;
    }
    ComPtr<IGraphBuilder> gb_;
    ComPtr<IMediaControl> mc_;
    ComPtr<IMediaSeeking> ms_;
    ComPtr<IMediaEventEx> me_;
};

TEST_F(GraphTest, RenderFileConnectsEveryStreamToItsRenderer) {
    Render(AvFile());
    ComPtr<IBaseFilter> src;
    ASSERT_EQ(gb_->FindFilterByName(FromUtf8(AvFile()).c_str(), src.Out()), S_OK);
    auto pins = ListPins(src.get());
    ASSERT_EQ(pins.size(), 2u);
    for (auto& p : pins) {
        ComPtr<IPin> peer;
        ASSERT_EQ(p->ConnectedTo(peer.Out()), S_OK);
        AM_MEDIA_TYPE mt{};
        ASSERT_EQ(p->ConnectionMediaType(&mt), S_OK);
        std::u16string owner = FilterName(PinOwner(peer.get()).get());
        if (mt.majortype == MEDIATYPE_Video) {
            EXPECT_EQ(owner, u"Test Video Sink");
            EXPECT_EQ(mt.subtype, FourccSubtype(0x32564D57));  // 'WMV2'
            ASSERT_GE(mt.cbFormat, sizeof(VIDEOINFOHEADER));
            auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat);
            EXPECT_EQ(vih->bmiHeader.biWidth, 160);
            EXPECT_EQ(vih->bmiHeader.biHeight, 120);
            EXPECT_EQ(vih->bmiHeader.biSize, mt.cbFormat - 48);
        } else {
            EXPECT_EQ(owner, u"Test Audio Sink");
            EXPECT_EQ(mt.subtype, MEDIASUBTYPE_WMAudioV2);
            ASSERT_GE(mt.cbFormat, sizeof(WAVEFORMATEX));
            WAVEFORMATEX wf;
            std::memcpy(&wf, mt.pbFormat, sizeof wf);
            EXPECT_EQ(wf.wFormatTag, 0x161);
            EXPECT_EQ(wf.nSamplesPerSec, 22050u);
            EXPECT_EQ(sizeof(WAVEFORMATEX) + wf.cbSize, mt.cbFormat);
        }
        FreeMediaType(&mt);
    }
    LONGLONG d = 0;
    ASSERT_EQ(ms_->GetDuration(&d), S_OK);
    EXPECT_NEAR(double(d) / 1e7, 2.0, 0.15);
    // Unconnected pins answer VFW_E_NOT_CONNECTED; a second render is refused.
    EXPECT_EQ(gb_->Render(pins[0].get()), VFW_E_ALREADY_CONNECTED);
}

TEST_F(GraphTest, AddFilterKeepsNamesUniqueAndRemoveFilterDisconnects) {
    ComPtr<IBaseFilter> a, b;
    ASSERT_EQ(CreateFileSource(nullptr, IID_IBaseFilter, a.OutVoid()), S_OK);
    ASSERT_EQ(CreateFileSource(nullptr, IID_IBaseFilter, b.OutVoid()), S_OK);
    EXPECT_EQ(gb_->AddFilter(a.get(), u"Source"), S_OK);
    EXPECT_TRUE(SUCCEEDED(gb_->AddFilter(b.get(), u"Source")));
    EXPECT_NE(FilterName(a.get()), FilterName(b.get()));
    EXPECT_TRUE(FAILED(gb_->AddFilter(a.get(), u"Again")));
    ComPtr<IBaseFilter> found;
    EXPECT_EQ(gb_->FindFilterByName(u"Nothing", found.Out()), VFW_E_NOT_FOUND);
    EXPECT_EQ(gb_->RemoveFilter(b.get()), S_OK);
    EXPECT_EQ(gb_->RemoveFilter(b.get()), VFW_E_NOT_FOUND);
    ComPtr<IEnumFilters> e;
    ASSERT_EQ(gb_->EnumFilters(e.Out()), S_OK);
    IBaseFilter* got[4] = {};
    ULONG n = 0;
    e->Next(4, got, &n);
    EXPECT_EQ(n, 1u);
    for (ULONG i = 0; i < n; ++i) got[i]->Release();
}

TEST_F(GraphTest, UnknownAndMissingFilesAreRefused) {
    std::string junk = std::string(::testing::TempDir()) + "/junk.wmv";
    std::ofstream(junk) << "not media at all";
    EXPECT_EQ(gb_->RenderFile(FromUtf8(junk).c_str(), nullptr), VFW_E_UNKNOWN_FILE_TYPE);
    EXPECT_EQ(gb_->RenderFile(u"/nonexistent/file.wmv", nullptr), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
}

TEST_F(GraphTest, DoNotUseMeritIsNeverPicked) {
    RegisterSink(CLSID_TestAudioSink, MEDIATYPE_Audio, u"Test Audio Sink", MERIT_DO_NOT_USE);
    std::u16string w = FromUtf8(AvFile());
    HRESULT hr = gb_->RenderFile(w.c_str(), nullptr);
    RegisterSink(CLSID_TestAudioSink, MEDIATYPE_Audio, u"Test Audio Sink", kSinkMerit);
    // Unless a built-in audio chain took the audio, only the video was rendered.
    if (hr == VFW_S_PARTIAL_RENDER) {
        EXPECT_EQ(Sink(u"Test Audio Sink"), nullptr);
    } else {
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(Sink(u"Test Audio Sink"), nullptr);
    }
    EXPECT_NE(Sink(u"Test Video Sink"), nullptr);
}

TEST_F(GraphTest, PlaysToTheEndWithOneCompletionForSeveralRenderers) {
    Render(AvFile());
    TestSink* video = Sink(u"Test Video Sink");
    TestSink* audio = Sink(u"Test Audio Sink");
    ASSERT_TRUE(video && audio);
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    LONG code = 0;
    ASSERT_EQ(me_->WaitForCompletion(10000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    auto codes = Drain(300);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), EC_COMPLETE), 1);
    EXPECT_EQ(video->completes(), 1);
    EXPECT_EQ(audio->completes(), 1);
    auto frames = video->Samples();
    ASSERT_EQ(frames.size(), 20u);
    for (size_t i = 1; i < frames.size(); ++i) EXPECT_GT(frames[i].start, frames[i - 1].start);
    EXPECT_EQ(frames.front().start, 0);
    LONGLONG pos = 0, dur = 0;
    ms_->GetCurrentPosition(&pos);
    ms_->GetDuration(&dur);
    EXPECT_EQ(pos, dur);
}

TEST_F(GraphTest, EndOfStreamWithOneRenderer) {
    Render(VideoFile());
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    LONG code = 0;
    ASSERT_EQ(me_->WaitForCompletion(10000, &code), S_OK);
    auto codes = Drain(200);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), EC_COMPLETE), 1);
}

TEST_F(GraphTest, PauseCompletesOnceEveryRendererHoldsItsFirstSample) {
    Render(AvFile());
    TestSink* video = Sink(u"Test Video Sink");
    ASSERT_TRUE(SUCCEEDED(mc_->Pause()));
    OAFilterState s = -1;
    ASSERT_EQ(mc_->GetState(5000, &s), S_OK);
    EXPECT_EQ(s, State_Paused);
    auto frames = video->Samples();
    ASSERT_EQ(frames.size(), 1u);  // the first picture, held
    EXPECT_EQ(frames[0].start, 0);
    // Stream time does not advance while paused.
    LONGLONG p1 = 0, p2 = 0;
    ms_->GetCurrentPosition(&p1);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ms_->GetCurrentPosition(&p2);
    EXPECT_EQ(p1, p2);
}

TEST_F(GraphTest, StateChangesInEveryOrder) {
    Render(AvFile());
    const FILTER_STATE orders[][4] = {
        {State_Running, State_Paused, State_Stopped, State_Running},
        {State_Paused, State_Running, State_Paused, State_Stopped},
        {State_Stopped, State_Paused, State_Paused, State_Running},
        {State_Running, State_Stopped, State_Paused, State_Stopped},
    };
    for (auto& order : orders) {
        for (FILTER_STATE want : order) {
            HRESULT hr = want == State_Running  ? mc_->Run()
                         : want == State_Paused ? mc_->Pause()
                                                : mc_->Stop();
            ASSERT_TRUE(SUCCEEDED(hr));
            OAFilterState s = -1;
            EXPECT_EQ(mc_->GetState(5000, &s), S_OK);
            EXPECT_EQ(s, want);
        }
    }
}

// The graph and the file source's pins both seek in media time only, at
// normal rate; what they cannot do is refused the same way.
TEST_F(GraphTest, SeekingSpeaksMediaTimeOnlyOnTheGraphAndTheSourcePins) {
    Render(VideoFile());
    ComPtr<IBaseFilter> src;
    ASSERT_EQ(gb_->FindFilterByName(FromUtf8(VideoFile()).c_str(), src.Out()), S_OK);
    auto pins = ListPins(src.get());
    ASSERT_EQ(pins.size(), 1u);
    ComPtr<IMediaSeeking> pin = QueryAs<IMediaSeeking>(pins[0].get(), IID_IMediaSeeking);
    ASSERT_TRUE(pin);
    const GUID other = MEDIATYPE_Video;  // any GUID that is not a time format here
    for (IMediaSeeking* s : {ms_.get(), pin.get()}) {
        SCOPED_TRACE(s == ms_.get() ? "graph" : "source pin");
        EXPECT_EQ(s->IsFormatSupported(&TIME_FORMAT_MEDIA_TIME), S_OK);
        EXPECT_EQ(s->IsFormatSupported(&other), S_FALSE);
        EXPECT_EQ(s->IsUsingTimeFormat(&TIME_FORMAT_MEDIA_TIME), S_OK);
        GUID f = GUID_NULL;
        EXPECT_EQ(s->GetTimeFormat(&f), S_OK);
        EXPECT_TRUE(f == TIME_FORMAT_MEDIA_TIME);
        f = GUID_NULL;
        EXPECT_EQ(s->QueryPreferredFormat(&f), S_OK);
        EXPECT_TRUE(f == TIME_FORMAT_MEDIA_TIME);
        LONGLONG t = 0;
        EXPECT_EQ(s->ConvertTimeFormat(&t, nullptr, 1234, &TIME_FORMAT_MEDIA_TIME), S_OK);
        EXPECT_EQ(t, 1234);
        EXPECT_EQ(s->ConvertTimeFormat(&t, &other, 1, nullptr), E_INVALIDARG);
        double rate = 0;
        EXPECT_EQ(s->GetRate(&rate), S_OK);
        EXPECT_EQ(rate, 1.0);
        LONGLONG preroll = -1;
        EXPECT_EQ(s->GetPreroll(&preroll), S_OK);
        EXPECT_EQ(preroll, 0);

        DWORD caps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration;
        EXPECT_EQ(s->CheckCapabilities(&caps), S_OK);
        EXPECT_EQ(caps, AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanGetDuration);
        caps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanPlayBackwards;
        EXPECT_EQ(s->CheckCapabilities(&caps), S_FALSE) << "only part of it";
        EXPECT_EQ(caps, AM_SEEKING_CanSeekAbsolute);
        caps = AM_SEEKING_CanPlayBackwards;
        EXPECT_EQ(s->CheckCapabilities(&caps), E_FAIL);
        EXPECT_EQ(caps, 0u);

        EXPECT_EQ(s->CheckCapabilities(nullptr), E_POINTER);
        EXPECT_EQ(s->GetTimeFormat(nullptr), E_POINTER);
        EXPECT_EQ(s->ConvertTimeFormat(nullptr, nullptr, 0, nullptr), E_POINTER);
        EXPECT_EQ(s->GetRate(nullptr), E_POINTER);
        EXPECT_EQ(s->GetPreroll(nullptr), E_POINTER);
    }
}

TEST_F(GraphTest, EnumeratorsWalkASnapshotAndClonesKeepTheirPlace) {
    Render(VideoFile());
    ComPtr<IEnumFilters> e;
    ASSERT_EQ(gb_->EnumFilters(e.Out()), S_OK);
    IBaseFilter* all[8] = {};
    ULONG n = 0;
    EXPECT_EQ(e->Next(8, all, &n), S_FALSE);
    ASSERT_GE(n, 2u);
    for (ULONG i = 0; i < n; ++i) all[i]->Release();
    EXPECT_EQ(e->Next(2, all, nullptr), E_POINTER) << "more than one needs a count";
    ASSERT_EQ(e->Reset(), S_OK);
    ASSERT_EQ(e->Skip(1), S_OK);
    ComPtr<IEnumFilters> copy;
    ASSERT_EQ(e->Clone(copy.Out()), S_OK);
    IBaseFilter* a = nullptr;
    IBaseFilter* b = nullptr;
    ASSERT_EQ(e->Next(1, &a, nullptr), S_OK);
    ASSERT_EQ(copy->Next(1, &b, nullptr), S_OK);
    EXPECT_EQ(a, b) << "the clone starts where the original stood";
    a->Release();
    b->Release();
    EXPECT_EQ(e->Skip(100), S_FALSE);
    EXPECT_EQ(e->Next(1, &a, &n), S_FALSE);
    EXPECT_EQ(n, 0u);

    // Media types are copies the caller frees.
    ComPtr<IBaseFilter> src;
    ASSERT_EQ(gb_->FindFilterByName(FromUtf8(VideoFile()).c_str(), src.Out()), S_OK);
    auto pins = ListPins(src.get());
    ASSERT_EQ(pins.size(), 1u);
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(pins[0]->EnumMediaTypes(types.Out()), S_OK);
    AM_MEDIA_TYPE* mt[2] = {};
    ASSERT_EQ(types->Next(2, mt, &n), S_FALSE);
    ASSERT_EQ(n, 1u);
    EXPECT_TRUE(mt[0]->majortype == MEDIATYPE_Video);
    DeleteMediaType(mt[0]);
}

TEST_F(GraphTest, SeekWhilePausedLandsOnTheTargetWithoutStaleSamples) {
    Render(VideoFile());
    TestSink* video = Sink(u"Test Video Sink");
    ASSERT_TRUE(SUCCEEDED(mc_->Pause()));
    OAFilterState s;
    ASSERT_EQ(mc_->GetState(5000, &s), S_OK);
    LONGLONG target = 12000000;  // 1.2 s: between key frames
    ASSERT_EQ(ms_->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              S_OK);
    LONGLONG pos = 0;
    ms_->GetCurrentPosition(&pos);
    EXPECT_EQ(pos, target);
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    LONG code;
    ASSERT_EQ(me_->WaitForCompletion(10000, &code), S_OK);
    int gen = video->Generation();
    REFERENCE_TIME firstShown = -1;
    size_t due = 0;
    REFERENCE_TIME last = -MAX_TIME;
    for (auto& r : video->Samples()) {
        if (r.generation != gen)
            continue;
        // Delivery restarts at a key frame at or before the target, in order.
        EXPECT_GT(r.start, last);
        last = r.start;
        if (r.start >= 0)
            ++due;
        // Samples from the previous key frame come first with negative times.
        if (r.start >= 0 && firstShown < 0)
            firstShown = r.start;
    }
    EXPECT_GE(firstShown, 0);
    EXPECT_LT(firstShown, 1000000);  // within one frame of the target
    EXPECT_EQ(due, 8u);              // 1.2 s to 1.9 s, each once
}

TEST_F(GraphTest, SeekWhileRunningRestartsTheClockAtTheNewPosition) {
    Render(AvFile());
    TestSink* video = Sink(u"Test Video Sink");
    video->blockDeliveries = true;  // holds the run before its end
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    ASSERT_TRUE(video->WaitBlocked(5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    LONGLONG before = 0;
    ms_->GetCurrentPosition(&before);
    EXPECT_GE(before, 1500000);  // the clock ran
    LONGLONG target = 5000000;
    ASSERT_EQ(ms_->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              S_OK);
    LONGLONG pos = 0;
    ms_->GetCurrentPosition(&pos);
    EXPECT_GE(pos, target - 100000);
    EXPECT_LT(pos, target + 1500000);
    video->Unblock();
    LONG code;
    ASSERT_EQ(me_->WaitForCompletion(10000, &code), S_OK);
    auto codes = Drain(200);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), EC_COMPLETE), 1);
}

// The rate: 0.5 to 3 and nothing else; every source pin gets it and sends it
// in its next segment, from where playback stands; seeks, Stop and rewind and
// the loop at the end keep it; the position runs at it.
TEST_F(GraphTest, RateReachesEverySourcePinAndDrivesThePosition) {
    Render(AvFile());
    TestSink* video = Sink(u"Test Video Sink");
    TestSink* audio = Sink(u"Test Audio Sink");
    ASSERT_TRUE(video && audio);
    ComPtr<IBaseFilter> src;
    ASSERT_EQ(gb_->FindFilterByName(FromUtf8(AvFile()).c_str(), src.Out()), S_OK);
    std::vector<ComPtr<IMediaSeeking>> pins;
    for (auto& p : ListPins(src.get())) pins.push_back(QueryAs<IMediaSeeking>(p.get(), IID_IMediaSeeking));
    ASSERT_EQ(pins.size(), 2u);
    auto expectRate = [&](double want, const char* when) {
        SCOPED_TRACE(when);
        double r = 0;
        EXPECT_EQ(ms_->GetRate(&r), S_OK);
        EXPECT_EQ(r, want);
        for (auto& p : pins) {
            EXPECT_EQ(p->GetRate(&r), S_OK);
            EXPECT_EQ(r, want);
        }
        // The source pins' workers send their segments on their own threads.
        for (TestSink* sink : {video, audio}) {
            auto segments = sink->Segments();
            for (int i = 0; i < 500 && !segments.empty() && segments.back().rate != want; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                segments = sink->Segments();
            }
            if (!segments.empty()) {
                EXPECT_EQ(segments.back().rate, want);
            }
        }
    };
    for (double refused : {0.49, 3.01, 0.0, -1.0, std::nan("")})
        EXPECT_EQ(ms_->SetRate(refused), E_INVALIDARG) << refused;
    expectRate(1.0, "refused");

    // Set while stopped: the first segments carry it.
    ASSERT_EQ(ms_->SetRate(2.0), S_OK);
    video->blockDeliveries = true;
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    ASSERT_TRUE(video->WaitBlocked(5000));
    ASSERT_FALSE(video->Segments().empty());
    expectRate(2.0, "first run");

    // Media time runs `rate` times as fast as the wall clock, once the run has begun.
    auto expectPace = [&](double rate, const char* when) {
        SCOPED_TRACE(when);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        LONGLONG p0 = 0, p1 = 0;
        ms_->GetCurrentPosition(&p0);
        const auto t0 = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto t1 = std::chrono::steady_clock::now();
        ms_->GetCurrentPosition(&p1);
        const auto t2 = std::chrono::steady_clock::now();
        auto units = [](auto d) {
            return double(std::chrono::duration_cast<std::chrono::microseconds>(d).count()) * 10;
        };
        EXPECT_GE(double(p1 - p0), rate * units(t1 - t0));
        EXPECT_LE(double(p1 - p0), rate * units(t2 - t0) + 20000);
    };
    expectPace(2.0, "first run");

    // Changed while running: the streams restart where playback stood.
    LONGLONG before = 0, after = 0;
    ms_->GetCurrentPosition(&before);
    ASSERT_EQ(ms_->SetRate(1.5), S_OK);
    ms_->GetCurrentPosition(&after);
    ASSERT_TRUE(video->WaitBlocked(5000));
    expectRate(1.5, "changed while running");
    EXPECT_GE(video->Segments().back().start, before);
    EXPECT_LE(video->Segments().back().start, after);

    LONGLONG target = 3000000;
    ASSERT_EQ(ms_->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    ASSERT_TRUE(video->WaitBlocked(5000));
    expectRate(1.5, "seek");
    EXPECT_EQ(video->Segments().back().start, target);

    // Paused and run on: the position stands still, then runs at the rate.
    ASSERT_TRUE(SUCCEEDED(mc_->Pause()));
    LONGLONG held = 0, stillHeld = 0;
    ms_->GetCurrentPosition(&held);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ms_->GetCurrentPosition(&stillHeld);
    EXPECT_EQ(held, stillHeld);
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    expectRate(1.5, "pause");
    expectPace(1.5, "run after pause");

    // Stop and rewind, as the player's stop button does.
    ASSERT_EQ(mc_->Stop(), S_OK);
    LONGLONG zero = 0;
    ms_->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, 0);
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    ASSERT_TRUE(video->WaitBlocked(5000));
    expectRate(1.5, "stop and rewind");

    // Played to the end, and looped back to the start.
    video->Unblock();
    LONG code = 0;
    ASSERT_EQ(me_->WaitForCompletion(10000, &code), S_OK);
    const size_t segments = video->Segments().size();
    video->blockDeliveries = true;
    ASSERT_EQ(ms_->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, 0), S_OK);
    ASSERT_TRUE(video->WaitBlocked(5000));
    EXPECT_GT(video->Segments().size(), segments);
    expectRate(1.5, "loop");
    video->Unblock();
}

TEST_F(GraphTest, SeekReleasesADeliveryBlockedDownstream) {
    Render(VideoFile());
    TestSink* video = Sink(u"Test Video Sink");
    video->blockDeliveries = true;
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    ASSERT_TRUE(video->WaitBlocked(5000));
    LONGLONG target = 0;
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(ms_->SetPositions(&target, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning),
              S_OK);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    // Delivery resumed at the new position and blocks again there.
    ASSERT_TRUE(video->WaitBlocked(5000));
    auto frames = video->Samples();
    EXPECT_EQ(frames.back().generation, video->Generation());
    EXPECT_EQ(frames.back().start, 0);
    video->blockDeliveries = false;
}

TEST_F(GraphTest, StopReleasesADeliveryBlockedDownstream) {
    Render(VideoFile());
    TestSink* video = Sink(u"Test Video Sink");
    video->blockDeliveries = true;
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    ASSERT_TRUE(video->WaitBlocked(5000));
    EXPECT_EQ(mc_->Stop(), S_OK);
}

TEST_F(GraphTest, RefusedDeliveryAbortsWithAnError) {
    Render(VideoFile());
    Sink(u"Test Video Sink")->refuseWith = E_UNEXPECTED;
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    LONG code = 0;
    ASSERT_EQ(me_->WaitForCompletion(5000, &code), S_OK);
    EXPECT_EQ(code, EC_ERRORABORT);
}

TEST_F(GraphTest, VolumeWithoutAnAudioRendererIsChecked) {
    Render(VideoFile());
    auto ba = QueryAs<IBasicAudio>(gb_.get(), IID_IBasicAudio);
    ASSERT_TRUE(ba);
    EXPECT_EQ(ba->put_Volume(1), E_INVALIDARG);
    EXPECT_EQ(ba->put_Volume(-10001), E_INVALIDARG);
    EXPECT_EQ(ba->put_Volume(-3000), E_NOTIMPL);
    LONG v;
    EXPECT_EQ(ba->get_Volume(&v), E_NOTIMPL);
}

TEST_F(GraphTest, EventsWaitAndTimeOut) {
    LONG c;
    LONG_PTR a, b;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(me_->GetEvent(&c, &a, &b, 100), E_ABORT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(90));
    auto sink = QueryAs<IMediaEventSink>(gb_.get(), IID_IMediaEventSink);
    sink->Notify(EC_PAUSED, 7, 8);
    ASSERT_EQ(me_->GetEvent(&c, &a, &b, 0), S_OK);
    EXPECT_EQ(c, EC_PAUSED);
    EXPECT_EQ(a, 7);
    EXPECT_EQ(b, 8);
    EXPECT_EQ(me_->FreeEventParams(c, a, b), S_OK);
    EXPECT_EQ(me_->GetEvent(&c, &a, &b, 0), E_ABORT);
}

TEST_F(GraphTest, ReleasingTheGraphWhileItRunsStopsEverything) {
    Render(AvFile());
    ASSERT_TRUE(SUCCEEDED(mc_->Run()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    mc_.Reset();
    ms_.Reset();
    me_.Reset();
    gb_.Reset();  // the last reference: must stop the workers and free the filters
    SUCCEED();
}

}  // namespace
