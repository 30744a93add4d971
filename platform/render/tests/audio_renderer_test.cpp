#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "audio_renderer.h"
#include "kovel/com.h"
#include "kovel/runtime_classes.h"
#include "test_source.h"

using namespace kovel::render;
using namespace kovel::render::test;
using namespace std::chrono_literals;

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr LONG kBufferBytes = kRate / 10 * kChannels * 2;  // 100 ms

REFERENCE_TIME ClockNow(IReferenceClock* c) {
    REFERENCE_TIME t = 0;
    EXPECT_EQ(c->GetTime(&t), S_OK);
    return t;
}

void FillConstant(BYTE* p, LONG len, int16_t v) {
    auto* s = reinterpret_cast<int16_t*>(p);
    for (LONG i = 0; i < len / 2; ++i) s[i] = v;
}

// A renderer fed by a test source, with its clock and event recorder.
struct AudioRig {
    explicit AudioRig(AudioOutput out, LONG buffers = 8)
        : source(new TestSource(PcmType(kChannels, kRate), buffers, kBufferBytes)) {
        void* p = nullptr;
        EXPECT_EQ(CreateAudioRenderer(out, IID_IBaseFilter, &p), S_OK);
        filter = static_cast<IBaseFilter*>(p);
        renderer = static_cast<AudioRenderer*>(filter);
        EXPECT_EQ(filter->JoinFilterGraph(&events, u"Audio"), S_OK);
        EXPECT_EQ(ConnectTo(source, filter), S_OK);
        EXPECT_EQ(renderer->GetReferenceClock(&clock), S_OK);
        filter->SetSyncSource(clock);
    }
    ~AudioRig() {
        filter->Stop();
        source->Stop();
        filter->SetSyncSource(nullptr);
        clock->Release();
        source->Out()->Disconnect();
        filter->JoinFilterGraph(nullptr, nullptr);
        filter->Release();
        source->Release();
    }
    void Pause() {
        ASSERT_EQ(source->Pause(), S_OK);
        ASSERT_EQ(filter->Pause(), S_OK);
    }
    // Runs with stream time 0 a little ahead, as the graph does.
    REFERENCE_TIME Run(REFERENCE_TIME lead = Ms(20)) {
        REFERENCE_TIME start = ClockNow(clock) + lead;
        EXPECT_EQ(filter->Run(start), S_OK);
        return start;
    }
    HRESULT SendMs(int64_t startMs, int64_t lengthMs, int16_t value = 1000) {
        LONG bytes = LONG(lengthMs * kRate / 1000 * kChannels * 2);
        return source->Send(
            Ms(startMs), Ms(startMs + lengthMs), [&](BYTE* p, LONG n) { FillConstant(p, n, value); }, bytes);
    }
    KovelRenderState State() {
        KovelRenderState s{};
        EXPECT_EQ(renderer->GetRenderState(&s), S_OK);
        return s;
    }

    EventRecorder events;
    TestSource* source;
    IBaseFilter* filter = nullptr;
    AudioRenderer* renderer = nullptr;
    IReferenceClock* clock = nullptr;
};

// Pulls `frames` frames from an external-output renderer.
std::vector<int16_t> Pull(AudioRenderer* r, int frames) {
    std::vector<int16_t> out(size_t(frames) * kChannels, 12345);
    r->Mix(out.data(), frames * kChannels * 2);
    return out;
}

}  // namespace

TEST(AudioRendererFormat, AcceptsOnly16BitPcmWithConsistentBlocks) {
    AudioRenderer* rp = new AudioRenderer(AudioOutput::External);
    AudioRenderer& r = *rp;
    EXPECT_EQ(r.CheckInputType(PcmType(2, 44100)), S_OK);
    EXPECT_EQ(r.CheckInputType(PcmType(1, 8000)), S_OK);
    auto wf = [](kovel::rt::MediaType t) {
        WAVEFORMATEX w;
        std::memcpy(&w, t.format.data(), sizeof(w));
        return w;
    };
    auto with = [&](auto change) {
        auto t = PcmType(2, 44100);
        WAVEFORMATEX w = wf(t);
        change(w, t);
        std::memcpy(t.format.data(), &w, sizeof(w));
        return t;
    };
    EXPECT_EQ(r.CheckInputType(with([](WAVEFORMATEX& w, auto&) { w.wBitsPerSample = 8; })), S_FALSE);
    EXPECT_EQ(r.CheckInputType(with([](WAVEFORMATEX& w, auto&) { w.nBlockAlign = 3; })), S_FALSE);
    EXPECT_EQ(r.CheckInputType(with([](WAVEFORMATEX& w, auto&) { w.nChannels = 0; })), S_FALSE);
    EXPECT_EQ(r.CheckInputType(with([](WAVEFORMATEX& w, auto&) { w.nSamplesPerSec = 0; })), S_FALSE);
    EXPECT_EQ(r.CheckInputType(with([](WAVEFORMATEX& w, auto&) { w.wFormatTag = 0x161; })), S_FALSE);
    // An extensible header that does not carry its sub-format is refused.
    EXPECT_EQ(r.CheckInputType(with([](WAVEFORMATEX& w, auto&) { w.wFormatTag = WAVE_FORMAT_EXTENSIBLE; })),
              S_FALSE);
    auto shortBlock = PcmType(2, 44100);
    shortBlock.format.resize(10);
    EXPECT_EQ(r.CheckInputType(shortBlock), S_FALSE);
    auto video = PcmType(2, 44100);
    video.major = MEDIATYPE_Video;
    EXPECT_EQ(r.CheckInputType(video), S_FALSE);
    r.Release();
}

TEST(AudioRendererVolume, LimitsAndBalance) {
    AudioRenderer* r = new AudioRenderer(AudioOutput::External);
    IBasicAudio* ba = nullptr;
    ASSERT_EQ(r->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(&ba)), S_OK);
    LONG v = 1;
    EXPECT_EQ(ba->get_Volume(&v), S_OK);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(ba->put_Volume(1), E_INVALIDARG);
    EXPECT_EQ(ba->put_Volume(-10001), E_INVALIDARG);
    EXPECT_EQ(ba->put_Volume(-3000), S_OK);
    EXPECT_EQ(ba->get_Volume(&v), S_OK);
    EXPECT_EQ(v, -3000);
    EXPECT_EQ(ba->put_Volume(1000), E_INVALIDARG);
    EXPECT_EQ(ba->get_Volume(&v), S_OK);
    EXPECT_EQ(v, -3000) << "a refused volume leaves the old one";
    EXPECT_EQ(ba->put_Volume(-10000), S_OK);
    EXPECT_EQ(ba->put_Balance(10001), E_INVALIDARG);
    EXPECT_EQ(ba->put_Balance(-10000), S_OK);
    EXPECT_EQ(ba->get_Balance(&v), S_OK);
    EXPECT_EQ(v, -10000);
    EXPECT_EQ(ba->get_Volume(nullptr), E_POINTER);
    ba->Release();
    r->Release();
}

TEST(AudioRendererMix, VolumeAndBalanceAreAppliedToTheSamples) {
    AudioRig rig(AudioOutput::External);
    IBasicAudio* ba = nullptr;
    ASSERT_EQ(rig.filter->QueryInterface(IID_IBasicAudio, reinterpret_cast<void**>(&ba)), S_OK);
    ASSERT_EQ(ba->put_Volume(-600), S_OK);    // -6 dB: about half
    ASSERT_EQ(ba->put_Balance(-2000), S_OK);  // right 20 dB down
    rig.Pause();
    ASSERT_EQ(rig.SendMs(0, 100, 10000), S_OK);
    rig.Run(0);
    auto out = Pull(rig.renderer, 2400);  // 50 ms, past the fade-in
    int16_t left = out[2000 * 2], right = out[2000 * 2 + 1];
    EXPECT_NEAR(left, 5012, 3);
    EXPECT_NEAR(right, 501, 3);
    // The fade-in starts from silence: no click.
    EXPECT_LT(std::abs(out[0]), 100);
    // A volume change glides over a few milliseconds instead of jumping.
    ba->put_Volume(-10000);
    out = Pull(rig.renderer, 480);
    EXPECT_GT(out[0], 4900);
    EXPECT_LT(out[0], left);
    for (int i = 1; i < 480; ++i) ASSERT_LE(out[i * 2], out[(i - 1) * 2]);
    EXPECT_EQ(out[400 * 2], 0);
    ba->Release();
}

TEST(AudioRendererMix, ClockFollowsWhatWasConsumedAndStandsStillWhilePaused) {
    AudioRig rig(AudioOutput::External);
    rig.Pause();
    ASSERT_EQ(rig.SendMs(0, 100), S_OK);
    ASSERT_EQ(rig.SendMs(100, 100), S_OK);
    REFERENCE_TIME start = rig.Run(0);
    // Nothing consumed: however long we wait, the clock does not move.
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(ClockNow(rig.clock), start);
    Pull(rig.renderer, 4800);  // 100 ms handed to the "device"
    std::this_thread::sleep_for(150ms);
    REFERENCE_TIME t = ClockNow(rig.clock);
    EXPECT_EQ(t - start, Ms(100)) << "never past what the device consumed";
    EXPECT_EQ(rig.State().audioFramesPlayed, 4800);

    // Paused: a short fade, then silence that does not count.
    ASSERT_EQ(rig.filter->Pause(), S_OK);
    auto fade = Pull(rig.renderer, 4800);
    EXPECT_GT(fade[0], 900);
    EXPECT_EQ(fade[4000 * 2], 0);
    for (int i = 1; i < 4800; ++i) ASSERT_LE(fade[i * 2], fade[(i - 1) * 2]) << "fade-out must not rise";
    std::this_thread::sleep_for(50ms);
    REFERENCE_TIME paused = ClockNow(rig.clock);
    EXPECT_LE(paused - t, Ms(6)) << "only the fade advanced the clock";
    Pull(rig.renderer, 4800);
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(ClockNow(rig.clock), paused);

    // Resume the way the graph does: stream time continues from the pause.
    REFERENCE_TIME streamAtPause = t - start;
    REFERENCE_TIME resume = paused + Ms(20) - streamAtPause;
    ASSERT_EQ(rig.filter->Run(resume), S_OK);
    EXPECT_EQ(ClockNow(rig.clock), paused) << "no jump at resume";
    auto after = Pull(rig.renderer, 4800);
    // The remaining audio starts only once stream time reaches it.
    EXPECT_EQ(after[0], 0);
    EXPECT_GT(after[4000 * 2], 900);
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(ClockNow(rig.clock) - paused, Ms(100));
}

TEST(AudioRendererMix, SegmentStartTrimsAndDropsEarlySamples) {
    AudioRig rig(AudioOutput::External);
    rig.Pause();
    ASSERT_EQ(rig.SendMs(-200, 100, 30000), S_OK);  // wholly before the start
    ASSERT_EQ(rig.SendMs(-50, 100, 222), S_OK);     // straddles it
    EXPECT_EQ(rig.State().dropped, 1);
    rig.Run(0);
    auto out = Pull(rig.renderer, 4800);
    // The straddling sample's 50 ms after the start play first; nothing of
    // the early one is heard.
    for (size_t i = 0; i < out.size(); ++i) ASSERT_LE(out[i], 222);
    EXPECT_EQ(out[1000 * 2], 222);
    EXPECT_EQ(out[2300 * 2], 222);
    EXPECT_EQ(out[2500 * 2], 0);
    KovelRenderState s = rig.State();
    EXPECT_EQ(s.audioFramesPlayed, 2400);
    EXPECT_EQ(s.firstStreamTime, 0);
    EXPECT_LE(s.maxOffset, Ms(1));
}

TEST(AudioRendererMix, GapIsFilledWithSilenceAndLateAudioIsCut) {
    AudioRig rig(AudioOutput::External);
    rig.Pause();
    ASSERT_EQ(rig.SendMs(0, 50, 300), S_OK);
    ASSERT_EQ(rig.SendMs(100, 50, 400), S_OK);  // 50 ms gap before it
    rig.Run(0);
    auto out = Pull(rig.renderer, 7200);
    EXPECT_EQ(out[1000 * 2], 300);
    EXPECT_EQ(out[3600 * 2], 0);
    EXPECT_EQ(out[6000 * 2], 400);
    // An underrun: the device ran on in silence; what comes late is cut to
    // the device position so the clock and the sound stay together.
    Pull(rig.renderer, 4800);  // stream time now 250 ms
    ASSERT_EQ(rig.SendMs(150, 100, 500), S_OK);
    ASSERT_EQ(rig.SendMs(250, 100, 500), S_OK);
    Pull(rig.renderer, 4800);
    KovelRenderState s = rig.State();
    // The sample of 150..250 ms is past entirely; the next one plays whole.
    EXPECT_EQ(s.audioFramesPlayed, 2400 + 2400 + 4800);
    EXPECT_EQ(s.dropped, 1);
    EXPECT_LE(s.maxOffset, AudioRenderer::kSyncTolerance);
    EXPECT_EQ(s.presented, 3);
}

TEST(AudioRendererMix, AtARateTheSoundIsStretchedInTimeAndAtOneLeftUntouched) {
    AudioRig rig(AudioOutput::External, 16);
    IPin* in = nullptr;
    ASSERT_EQ(rig.source->Out()->ConnectedTo(&in), S_OK);
    rig.Pause();
    EXPECT_EQ(in->NewSegment(0, MAX_TIME, 10.0), E_INVALIDARG) << "no rate the renderers cannot play";
    ASSERT_EQ(in->NewSegment(0, MAX_TIME, 2.0), S_OK);
    // One second of 440 Hz at twice the speed; more than the queue holds, so
    // it is sent while the output plays.
    std::thread send([&] {
        int64_t n = 0;
        for (int i = 0; i < 10; ++i) {
            auto sine = [&](BYTE* p, LONG len) {
                auto* v = reinterpret_cast<int16_t*>(p);
                for (LONG k = 0; k < len / 4; ++k, ++n)
                    v[2 * k] = v[2 * k + 1] =
                        int16_t(std::lround(8000 * std::sin(2 * M_PI * 440.0 * double(n) / kRate)));
            };
            if (rig.source->Send(Ms(i * 100), Ms(i * 100 + 100), sine, kBufferBytes) != S_OK)
                return;
        }
        in->EndOfStream();
    });
    FILTER_STATE fs;
    ASSERT_EQ(rig.filter->GetState(5000, &fs), S_OK);
    rig.Run(0);
    // Pulled at the pace of a device.
    std::vector<int16_t> out;
    for (int i = 0; i < 200 && rig.events.Count(EC_COMPLETE) == 0; ++i) {
        auto block = Pull(rig.renderer, 480);
        out.insert(out.end(), block.begin(), block.end());
        std::this_thread::sleep_for(10ms);
    }
    send.join();
    ASSERT_EQ(rig.events.Count(EC_COMPLETE), 1);
    // Half a second of sound at the pitch it had.
    int64_t first = -1, last = -1, crossings = 0;
    for (int64_t f = 0; f < int64_t(out.size() / 2); ++f) {
        if (std::abs(out[size_t(f) * 2]) > 2000) {
            last = f;
            if (first < 0)
                first = f;
        }
        if (f > 0 && (out[size_t(f) * 2] < 0) != (out[size_t(f - 1) * 2] < 0))
            ++crossings;
    }
    EXPECT_NEAR(double(last - first), 0.5 * kRate, 0.03 * kRate);
    EXPECT_NEAR(double(crossings) / 2 / (double(last - first) / kRate), 440.0, 4.4);
    // The clock counts the stretched frames (stream time), not those received.
    EXPECT_NEAR(double(rig.State().audioFramesPlayed), 0.5 * kRate, 0.03 * kRate);

    // Back at rate 1 nothing stands between the samples and the device.
    ASSERT_EQ(rig.filter->Pause(), S_OK);
    ASSERT_EQ(in->BeginFlush(), S_OK);
    ASSERT_EQ(in->EndFlush(), S_OK);
    ASSERT_EQ(in->NewSegment(0, MAX_TIME, 1.0), S_OK);
    ASSERT_EQ(rig.SendMs(0, 100, 1234), S_OK);
    rig.Run(0);
    auto plain = Pull(rig.renderer, 4800);
    for (int f = 480; f < 4800; ++f) ASSERT_EQ(plain[size_t(f) * 2], 1234) << "frame " << f;
    in->Release();
}

TEST(AudioRendererStreaming, PrerollFlushAndEndOfStream) {
    AudioRig rig(AudioOutput::External, 16);
    rig.Pause();
    FILTER_STATE fs;
    EXPECT_EQ(rig.filter->GetState(20, &fs), VFW_S_STATE_INTERMEDIATE);
    EXPECT_EQ(fs, State_Paused);
    ASSERT_EQ(rig.SendMs(0, 100), S_OK);
    EXPECT_EQ(rig.filter->GetState(0, &fs), S_OK);

    // Paused, the queue fills to its limit and the next delivery blocks ...
    for (int i = 1; i < 5; ++i) ASSERT_EQ(rig.SendMs(i * 100, 100), S_OK);
    std::atomic<bool> returned{false};
    std::atomic<HRESULT> hr{E_FAIL};
    std::thread t([&] {
        hr = rig.SendMs(500, 100);
        returned = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(returned.load());
    // ... until a flush releases it at once and empties the queue.
    auto t0 = std::chrono::steady_clock::now();
    IPin* in = nullptr;
    ASSERT_EQ(rig.source->Out()->ConnectedTo(&in), S_OK);
    ASSERT_EQ(in->BeginFlush(), S_OK);
    t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms);
    EXPECT_EQ(hr.load(), S_FALSE);
    ASSERT_EQ(in->EndFlush(), S_OK);
    EXPECT_FALSE(rig.State().prerolled);

    // End of stream: one EC_COMPLETE once the queue has played, not before.
    ASSERT_EQ(rig.SendMs(0, 100), S_OK);
    ASSERT_EQ(in->EndOfStream(), S_OK);
    EXPECT_TRUE(rig.State().prerolled);
    rig.Run(0);
    Pull(rig.renderer, 2400);
    EXPECT_EQ(rig.events.Count(EC_COMPLETE), 0);
    Pull(rig.renderer, 2400);
    Pull(rig.renderer, 2400);
    Pull(rig.renderer, 2400);
    ASSERT_EQ(rig.events.Count(EC_COMPLETE), 1);
    auto ev = rig.events.Events();
    EXPECT_EQ(ev.back().p2, LONG_PTR(rig.filter));
    EXPECT_TRUE(rig.State().completeSent);
    // After a flush a new end of stream completes again.
    in->BeginFlush();
    in->EndFlush();
    in->EndOfStream();
    Pull(rig.renderer, 480);
    EXPECT_EQ(rig.events.Count(EC_COMPLETE), 2);
    in->Release();
}

TEST(AudioRendererStreaming, WithoutAClockAudioIsTakenAsFastAsItArrives) {
    AudioRig rig(AudioOutput::External);
    rig.filter->SetSyncSource(nullptr);
    rig.Pause();
    ASSERT_EQ(rig.SendMs(0, 100), S_OK);  // held for the pause
    ASSERT_EQ(rig.filter->Run(0), S_OK);
    Pull(rig.renderer, 48);
    // Far more than the queue holds, and nobody plays it: nothing blocks.
    for (int i = 1; i <= 20; ++i) ASSERT_EQ(rig.SendMs(i * 100, 100), S_OK);
    IPin* in = nullptr;
    ASSERT_EQ(rig.source->Out()->ConnectedTo(&in), S_OK);
    ASSERT_EQ(in->EndOfStream(), S_OK);
    in->Release();
    EXPECT_EQ(rig.events.Count(EC_COMPLETE), 1);
    KovelRenderState s = rig.State();
    EXPECT_EQ(s.audioFramesPlayed, 21 * 4800);
    EXPECT_EQ(s.presented, 21);
}

TEST(AudioRendererStreaming, StopReleasesABlockedDelivery) {
    AudioRig rig(AudioOutput::External, 16);
    rig.Pause();
    for (int i = 0; i < 5; ++i) ASSERT_EQ(rig.SendMs(i * 100, 100), S_OK);
    std::atomic<HRESULT> hr{S_OK};
    std::thread t([&] { hr = rig.SendMs(500, 100); });
    std::this_thread::sleep_for(50ms);
    rig.filter->Stop();
    t.join();
    EXPECT_EQ(hr.load(), VFW_E_WRONG_STATE);
    EXPECT_FALSE(rig.State().prerolled);
}

// The real outputs: the SDL dummy driver (set for the tests) and the null
// output both consume audio in real time, and the clock keeps pace with it.
class AudioOutputs : public ::testing::TestWithParam<AudioOutput> {};

TEST_P(AudioOutputs, ClockAdvancesInRealTimeAndStopsWhenPaused) {
    AudioRig rig(GetParam(), 16);
    rig.Pause();
    EXPECT_EQ(rig.renderer->UsingDevice(), GetParam() == AudioOutput::Automatic);
    // The sound output leaves the program's signals alone: a player must
    // still end on SIGTERM or SIGINT.
    for (int signalNumber : {SIGTERM, SIGINT}) {
        struct sigaction action = {};
        ASSERT_EQ(sigaction(signalNumber, nullptr, &action), 0);
        EXPECT_EQ(action.sa_handler, SIG_DFL) << signalNumber;
    }
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        for (int i = 0; i < 20 && !stop; ++i)
            if (FAILED(rig.SendMs(i * 100, 100)))
                break;
    });
    FILTER_STATE fs;
    ASSERT_EQ(rig.filter->GetState(1000, &fs), S_OK);
    REFERENCE_TIME start = rig.Run();
    REFERENCE_TIME prev = ClockNow(rig.clock);
    REFERENCE_TIME wallPrev = SteadyNow();
    REFERENCE_TIME worstLead = 0;
    auto t0 = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - t0 < 600ms) {
        std::this_thread::sleep_for(5ms);
        REFERENCE_TIME now = ClockNow(rig.clock), wall = SteadyNow();
        ASSERT_GE(now, prev);
        // Smooth: never ahead of real time by more than about one block.
        worstLead = std::max(worstLead, (now - prev) - (wall - wallPrev));
        prev = now;
        wallPrev = wall;
    }
    REFERENCE_TIME elapsed = prev - start;
    EXPECT_GT(elapsed, Ms(300));
    EXPECT_LT(elapsed, Ms(700));
    EXPECT_LT(worstLead, Ms(30));
    KovelRenderState s = rig.State();
    EXPECT_GT(s.audioFramesPlayed, kRate * 3 / 10);
    EXPECT_LT(s.maxOffset, Ms(40));

    ASSERT_EQ(rig.filter->Pause(), S_OK);
    std::this_thread::sleep_for(100ms);
    REFERENCE_TIME paused = ClockNow(rig.clock);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(ClockNow(rig.clock), paused);
    stop = true;
    rig.filter->Stop();
    feeder.join();
}

INSTANTIATE_TEST_SUITE_P(Outputs, AudioOutputs, ::testing::Values(AudioOutput::Automatic, AudioOutput::Null));

TEST(AudioRendererOutput, EnvironmentForcesTheNullOutput) {
    setenv("KOVEL_AUDIO_OUTPUT", "null", 1);
    {
        AudioRig rig(AudioOutput::Automatic);
        rig.Pause();
        EXPECT_FALSE(rig.renderer->UsingDevice());
    }
    unsetenv("KOVEL_AUDIO_OUTPUT");
}

TEST(AudioRendererOutput, BuiltInClassAnswersTheRendererInterfaces) {
    IBaseFilter* f = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_KovelAudioRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&f)),
              S_OK);
    IKovelRenderer* r = nullptr;
    IReferenceClock* viaQuery = nullptr;
    IReferenceClock* viaRenderer = nullptr;
    ASSERT_EQ(f->QueryInterface(IID_IKovelRenderer, reinterpret_cast<void**>(&r)), S_OK);
    ASSERT_EQ(f->QueryInterface(IID_IReferenceClock, reinterpret_cast<void**>(&viaQuery)), S_OK);
    ASSERT_EQ(r->GetReferenceClock(&viaRenderer), S_OK);
    EXPECT_EQ(viaQuery, viaRenderer);
    KovelRenderState s{};
    ASSERT_EQ(r->GetRenderState(&s), S_OK);
    EXPECT_EQ(s.kind, KovelRenderer_Audio);
    EXPECT_EQ(s.firstStreamTime, -1);
    f->Release();
    r->Release();
    // The clock outlives its renderer.
    REFERENCE_TIME t = 0;
    EXPECT_EQ(viaQuery->GetTime(&t), S_OK);
    viaQuery->Release();
    viaRenderer->Release();
}
