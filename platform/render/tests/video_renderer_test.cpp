// The video renderer without a QApplication: scheduling, counting, preroll,
// flushes and completion, as kovel-graph uses it headless.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "kovel/com.h"
#include "kovel/runtime_classes.h"
#include "test_source.h"
#include "video_renderer.h"

using namespace kovel::render;
using namespace kovel::render::test;
using namespace std::chrono_literals;

namespace {

constexpr LONG kW = 8, kH = 6;
constexpr LONG kFrameBytes = kW * kH * 4;

IReferenceClock* SystemClock() {
    IReferenceClock* c = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_SystemClock, nullptr, CLSCTX_INPROC_SERVER, IID_IReferenceClock,
                               reinterpret_cast<void**>(&c)),
              S_OK);
    return c;
}

REFERENCE_TIME Now(IReferenceClock* c) {
    REFERENCE_TIME t = 0;
    c->GetTime(&t);
    return t;
}

struct VideoRig {
    explicit VideoRig(bool withClock = true)
        : source(new TestSource(Rgb32Type(kW, kH, Ms(40)), 4, kFrameBytes)) {
        EXPECT_EQ(kovel::rt::CreateInstance<VideoRenderer>(nullptr, IID_IBaseFilter,
                                                           reinterpret_cast<void**>(&filter)),
                  S_OK);
        renderer = static_cast<VideoRenderer*>(filter);
        EXPECT_EQ(filter->JoinFilterGraph(&events, u"Video"), S_OK);
        EXPECT_EQ(ConnectTo(source, filter), S_OK);
        if (withClock) {
            clock = SystemClock();
            filter->SetSyncSource(clock);
        }
        EXPECT_EQ(source->Out()->ConnectedTo(&input), S_OK);
    }
    ~VideoRig() {
        Stop();
        filter->SetSyncSource(nullptr);
        if (clock)
            clock->Release();
        input->Release();
        source->Out()->Disconnect();
        filter->JoinFilterGraph(nullptr, nullptr);
        filter->Release();
        source->Release();
    }
    void Pause() {
        ASSERT_EQ(source->Pause(), S_OK);
        ASSERT_EQ(filter->Pause(), S_OK);
    }
    void Stop() {
        filter->Stop();
        source->Stop();
    }
    REFERENCE_TIME Run(REFERENCE_TIME streamNow) {
        REFERENCE_TIME start = clock ? Now(clock) - streamNow : 0;
        EXPECT_EQ(filter->Run(start), S_OK);
        return start;
    }
    HRESULT Frame(int64_t startMs, int64_t endMs, LONG length = kFrameBytes) {
        return source->Send(Ms(startMs), Ms(endMs), nullptr, length);
    }
    KovelRenderState State() {
        KovelRenderState s{};
        EXPECT_EQ(renderer->GetRenderState(&s), S_OK);
        return s;
    }
    // Delivers frames from a streaming thread of their own.
    void Deliver(std::vector<std::pair<int64_t, int64_t>> frames, bool endOfStream = false) {
        worker = std::thread([this, frames, endOfStream] {
            for (auto& f : frames) {
                HRESULT hr = Frame(f.first, f.second);
                results.push_back(hr);
                if (FAILED(hr))
                    return;
            }
            if (endOfStream)
                input->EndOfStream();
            delivered = true;
        });
    }
    void Join() {
        if (worker.joinable())
            worker.join();
    }

    EventRecorder events;
    TestSource* source;
    IBaseFilter* filter = nullptr;
    VideoRenderer* renderer = nullptr;
    IReferenceClock* clock = nullptr;
    IPin* input = nullptr;
    std::thread worker;
    std::vector<HRESULT> results;
    std::atomic<bool> delivered{false};
};

std::array<LONG, 4> QuadOf(LONG l, LONG t, LONG w, LONG h) {
    return {l, t, w, h};
}

std::vector<std::pair<int64_t, int64_t>> Frames(int64_t fromMs, int count, int64_t stepMs = 40) {
    std::vector<std::pair<int64_t, int64_t>> v;
    for (int i = 0; i < count; ++i) v.push_back({fromMs + i * stepMs, fromMs + (i + 1) * stepMs});
    return v;
}

}  // namespace

TEST(VideoRendererFormat, AcceptsRgb32BothWaysUpAndRefusesTheRest) {
    auto* r = new VideoRenderer;
    EXPECT_EQ(r->CheckInputType(Rgb32Type(640, 480, 0)), S_OK);
    EXPECT_EQ(r->CheckInputType(Rgb32Type(640, -480, 0)), S_OK);
    EXPECT_EQ(r->CheckInputType(Rgb32Type(0, 480, 0)), S_FALSE);
    EXPECT_EQ(r->CheckInputType(Rgb32Type(640, 0, 0)), S_FALSE);
    EXPECT_EQ(r->CheckInputType(Rgb32Type(100000, 480, 0)), S_FALSE);
    auto t = Rgb32Type(640, 480, 0);
    t.format.resize(60);
    EXPECT_EQ(r->CheckInputType(t), S_FALSE) << "short format block";
    t = Rgb32Type(640, 480, 0);
    t.subtype = MEDIASUBTYPE_RGB24;
    EXPECT_EQ(r->CheckInputType(t), S_FALSE);
    r->Release();
}

TEST(VideoRendererWindow, HeadlessHasNoWindowButKnowsTheVideoSize) {
    VideoRig rig;
    IVideoWindow* vw = nullptr;
    IBasicVideo* bv = nullptr;
    ASSERT_EQ(rig.filter->QueryInterface(IID_IVideoWindow, reinterpret_cast<void**>(&vw)), S_OK);
    ASSERT_EQ(rig.filter->QueryInterface(IID_IBasicVideo, reinterpret_cast<void**>(&bv)), S_OK);
    LONG v = 0;
    EXPECT_EQ(vw->get_Visible(&v), E_NOINTERFACE);
    EXPECT_EQ(vw->put_Owner(0), E_NOINTERFACE);
    EXPECT_EQ(vw->SetWindowPosition(0, 0, 10, 10), E_NOINTERFACE);
    LONG w = 0, h = 0;
    EXPECT_EQ(bv->GetVideoSize(&w, &h), S_OK);
    EXPECT_EQ(w, kW);
    EXPECT_EQ(h, kH);
    EXPECT_EQ(bv->SetSourcePosition(0, 0, kW + 1, kH), E_INVALIDARG);
    EXPECT_EQ(bv->SetSourcePosition(2, 1, 4, 4), S_OK);
    LONG l, t;
    EXPECT_EQ(bv->GetSourcePosition(&l, &t, &w, &h), S_OK);
    EXPECT_EQ(l * 1000 + t * 100 + w * 10 + h, 2144);
    EXPECT_EQ(bv->IsUsingDefaultSource(), S_FALSE);
    vw->Release();
    bv->Release();
}

TEST(VideoRendererWindow, EachRectangleEdgeReadsAndChangesItsOwnValue) {
    VideoRig rig;
    IBasicVideo* bv = nullptr;
    ASSERT_EQ(rig.filter->QueryInterface(IID_IBasicVideo, reinterpret_cast<void**>(&bv)), S_OK);
    auto source = [&] {
        LONG l = -1, t = -1, w = -1, h = -1;
        EXPECT_EQ(bv->GetSourcePosition(&l, &t, &w, &h), S_OK);
        return QuadOf(l, t, w, h);
    };
    auto dest = [&] {
        LONG l = -1, t = -1, w = -1, h = -1;
        EXPECT_EQ(bv->GetDestinationPosition(&l, &t, &w, &h), S_OK);
        return QuadOf(l, t, w, h);
    };
    EXPECT_EQ(bv->IsUsingDefaultSource(), S_OK);
    EXPECT_EQ(source(), QuadOf(0, 0, kW, kH));
    ASSERT_EQ(bv->put_SourceWidth(4), S_OK);
    ASSERT_EQ(bv->put_SourceLeft(3), S_OK);
    EXPECT_EQ(bv->put_SourceTop(1), E_INVALIDARG) << "the full height no longer fits";
    ASSERT_EQ(bv->put_SourceHeight(5), S_OK);
    ASSERT_EQ(bv->put_SourceTop(1), S_OK);
    EXPECT_EQ(source(), QuadOf(3, 1, 4, 5));
    LONG v = -1;
    EXPECT_EQ(bv->get_SourceLeft(&v), S_OK);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(bv->get_SourceTop(&v), S_OK);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(bv->get_SourceWidth(&v), S_OK);
    EXPECT_EQ(v, 4);
    EXPECT_EQ(bv->get_SourceHeight(&v), S_OK);
    EXPECT_EQ(v, 5);
    // An edge that would push the rectangle off the picture changes nothing.
    EXPECT_EQ(bv->put_SourceLeft(5), E_INVALIDARG);
    EXPECT_EQ(bv->put_SourceHeight(6), E_INVALIDARG);
    EXPECT_EQ(source(), QuadOf(3, 1, 4, 5));
    EXPECT_EQ(bv->IsUsingDefaultSource(), S_FALSE);
    EXPECT_EQ(bv->SetDefaultSourcePosition(), S_OK);
    EXPECT_EQ(bv->IsUsingDefaultSource(), S_OK);
    EXPECT_EQ(source(), QuadOf(0, 0, kW, kH));

    // Headless, the default destination is the video size.
    EXPECT_EQ(bv->IsUsingDefaultDestination(), S_OK);
    EXPECT_EQ(dest(), QuadOf(0, 0, kW, kH));
    ASSERT_EQ(bv->put_DestinationLeft(7), S_OK);
    ASSERT_EQ(bv->put_DestinationTop(-2), S_OK);
    ASSERT_EQ(bv->put_DestinationWidth(30), S_OK);
    EXPECT_EQ(bv->put_DestinationHeight(0), E_INVALIDARG);
    EXPECT_EQ(dest(), QuadOf(7, -2, 30, kH));
    EXPECT_EQ(bv->get_DestinationLeft(&v), S_OK);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(bv->get_DestinationTop(&v), S_OK);
    EXPECT_EQ(v, -2);
    EXPECT_EQ(bv->get_DestinationWidth(&v), S_OK);
    EXPECT_EQ(v, 30);
    EXPECT_EQ(bv->get_DestinationHeight(&v), S_OK);
    EXPECT_EQ(v, kH);
    EXPECT_EQ(bv->IsUsingDefaultDestination(), S_FALSE);
    EXPECT_EQ(bv->SetDefaultDestinationPosition(), S_OK);
    EXPECT_EQ(dest(), QuadOf(0, 0, kW, kH));

    EXPECT_EQ(bv->get_SourceLeft(nullptr), E_POINTER);
    EXPECT_EQ(bv->get_DestinationHeight(nullptr), E_POINTER);
    bv->Release();
}

TEST(VideoRendererFormat, AnswersFromTheConnectedFormatOnly) {
    VideoRig rig;
    IBasicVideo* bv = nullptr;
    ASSERT_EQ(rig.filter->QueryInterface(IID_IBasicVideo, reinterpret_cast<void**>(&bv)), S_OK);
    LONG v = 0;
    EXPECT_EQ(bv->get_VideoWidth(&v), S_OK);
    EXPECT_EQ(v, kW);
    EXPECT_EQ(bv->get_VideoHeight(&v), S_OK);
    EXPECT_EQ(v, kH);
    REFTIME frame = 0;
    EXPECT_EQ(bv->get_AvgTimePerFrame(&frame), S_OK);
    EXPECT_DOUBLE_EQ(frame, 0.04);
    EXPECT_EQ(bv->get_BitRate(&v), S_OK);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(bv->get_BitRate(nullptr), E_POINTER);

    rig.input->Disconnect();
    LONG w = 0, h = 0;
    EXPECT_EQ(bv->GetVideoSize(&w, &h), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(bv->get_VideoWidth(&v), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(bv->get_AvgTimePerFrame(&frame), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(bv->get_BitErrorRate(&v), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(bv->GetSourcePosition(&v, &v, &w, &h), VFW_E_NOT_CONNECTED);
    bv->Release();
}

TEST(VideoRendererSchedule, PresentsOnTimeInOrderAndOnlyOnce) {
    VideoRig rig;
    rig.Pause();
    rig.Deliver(Frames(0, 10), true);
    ASSERT_EQ(rig.renderer->WaitPrerolled(1000), S_OK);
    EXPECT_EQ(rig.State().presented, 1) << "the paused picture";
    auto t0 = std::chrono::steady_clock::now();
    rig.Run(-Ms(20));
    ASSERT_TRUE(rig.events.WaitFor(EC_COMPLETE, 1, 3000));
    auto took = std::chrono::steady_clock::now() - t0;
    rig.Join();
    // The last frame starts at 360 ms and lasts to 400 ms; stream time began
    // at -20 ms.
    EXPECT_GE(took, 410ms);
    EXPECT_LT(took, 1000ms);
    KovelRenderState s = rig.State();
    // On a loaded machine a frame may miss its time; none is lost unseen.
    EXPECT_EQ(s.presented + s.dropped, 10);
    EXPECT_GE(s.presented, 8);
    EXPECT_EQ(s.firstStreamTime, 0);
    EXPECT_LT(s.maxOffset, Ms(40));
    EXPECT_TRUE(s.endOfStream);
    EXPECT_TRUE(s.completeSent);
    EXPECT_EQ(rig.events.Count(EC_COMPLETE), 1);
    EXPECT_EQ(rig.events.Events()[0].p2, LONG_PTR(rig.filter));
}

TEST(VideoRendererSchedule, LateFramesAreDroppedAndCounted) {
    VideoRig rig;
    rig.Pause();
    rig.Deliver(Frames(0, 10));
    ASSERT_EQ(rig.renderer->WaitPrerolled(1000), S_OK);
    // Stream time is already 1 s: everything after the paused picture is late.
    rig.Run(Ms(1000));
    rig.Join();
    KovelRenderState s = rig.State();
    EXPECT_EQ(s.presented, 1) << "the paused picture is not shown again";
    EXPECT_EQ(s.dropped, 9);
    EXPECT_EQ(s.maxOffset, 0);

    // After a seek of the running graph (a flush) the first picture is what
    // the user waits for: shown as soon as it comes, however late; the late
    // ones after it are dropped again.
    ASSERT_EQ(rig.input->BeginFlush(), S_OK);
    ASSERT_EQ(rig.input->EndFlush(), S_OK);
    LONG size = 0;
    EXPECT_EQ(rig.renderer->GetCurrentImage(&size, nullptr), VFW_E_NOT_PAUSED);
    const REFERENCE_TIME flushed = SteadyNow();
    rig.Deliver(Frames(0, 5));
    rig.Join();
    s = rig.State();
    EXPECT_EQ(s.presented, 2);
    EXPECT_EQ(s.dropped, 13);
    EXPECT_EQ(s.firstStreamTime, 0);
    EXPECT_GE(s.firstPresentedAt, flushed);
    EXPECT_LE(s.firstPresentedAt, SteadyNow());
    EXPECT_EQ(s.maxOffset, 0) << "not a frame played out of time";
}

TEST(VideoRendererSchedule, NothingOutOfOrderOrBeforeTheSegmentStart) {
    VideoRig rig(false);  // no clock: each frame is due when it arrives
    rig.Pause();
    rig.Run(0);
    // Before the segment start: never shown, not counted as late.
    EXPECT_EQ(rig.Frame(-80, -40), S_OK);
    EXPECT_EQ(rig.State().presented, 0);
    EXPECT_EQ(rig.State().dropped, 0);
    // One straddling the start is the first picture, at 0.
    EXPECT_EQ(rig.Frame(-20, 20), S_OK);
    EXPECT_EQ(rig.State().firstStreamTime, 0);
    EXPECT_EQ(rig.Frame(20, 60), S_OK);
    // Going back, or repeating a start, is never presented.
    EXPECT_EQ(rig.Frame(10, 50), S_OK);
    EXPECT_EQ(rig.Frame(60, 100), S_OK);
    EXPECT_EQ(rig.Frame(60, 100), S_OK);
    // A sample too short for the picture is not drawn.
    EXPECT_EQ(rig.Frame(480, 520, kFrameBytes - 4), S_OK);
    EXPECT_EQ(rig.Frame(490, 530), S_OK);
    KovelRenderState s = rig.State();
    EXPECT_EQ(s.presented, 4);  // -20, 20, 60 and 490 ms
    EXPECT_EQ(s.dropped, 3);
}

TEST(VideoRendererSchedule, WithoutAClockPresentsAsFastAsFramesArrive) {
    VideoRig rig(false);
    rig.Pause();
    rig.Deliver(Frames(0, 50, 1000));
    ASSERT_EQ(rig.renderer->WaitPrerolled(1000), S_OK);
    auto t0 = std::chrono::steady_clock::now();
    rig.Run(0);
    rig.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_EQ(rig.State().presented, 50);
    EXPECT_EQ(rig.State().dropped, 0);
}

TEST(VideoRendererStreaming, PauseWaitsForAPictureAndFlushReleasesIt) {
    VideoRig rig;
    rig.Pause();
    FILTER_STATE fs;
    EXPECT_EQ(rig.filter->GetState(30, &fs), VFW_S_STATE_INTERMEDIATE);
    EXPECT_EQ(fs, State_Paused);
    EXPECT_FALSE(rig.State().prerolled);
    rig.Deliver(Frames(0, 3));
    EXPECT_EQ(rig.filter->GetState(1000, &fs), S_OK);
    EXPECT_EQ(rig.State().presented, 1);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(rig.results.size(), 0u) << "the paused picture is held";

    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(rig.input->BeginFlush(), S_OK);
    rig.Join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 200ms);
    ASSERT_FALSE(rig.results.empty());
    EXPECT_EQ(rig.results[0], S_FALSE);
    ASSERT_EQ(rig.input->EndFlush(), S_OK);
    EXPECT_EQ(rig.State().firstStreamTime, -1);

    // Nothing held: no current picture.
    LONG size = 0;
    EXPECT_EQ(rig.renderer->GetCurrentImage(&size, nullptr), E_UNEXPECTED);

    // After the flush (a seek while paused) the new position's picture shows,
    // and can be read back as a bitmap.
    rig.results.clear();
    rig.worker = std::thread([&] {
        rig.results.push_back(rig.source->Send(Ms(1000), Ms(1040), [](BYTE* p, LONG n) {
            for (LONG i = 0; i < n; ++i) p[i] = BYTE(i * 7);
        }));
    });
    EXPECT_EQ(rig.filter->GetState(1000, &fs), S_OK);
    EXPECT_EQ(rig.State().presented, 2);
    EXPECT_EQ(rig.State().firstStreamTime, Ms(1000));
    ASSERT_EQ(rig.renderer->GetCurrentImage(&size, nullptr), S_OK);
    ASSERT_EQ(size, LONG(sizeof(BITMAPINFOHEADER)) + kFrameBytes);
    std::vector<LONG> dib(size_t(size) / sizeof(LONG));
    LONG small = size - 1;
    EXPECT_EQ(rig.renderer->GetCurrentImage(&small, dib.data()), E_OUTOFMEMORY);
    ASSERT_EQ(rig.renderer->GetCurrentImage(&size, dib.data()), S_OK);
    BITMAPINFOHEADER bi;
    std::memcpy(&bi, dib.data(), sizeof bi);
    EXPECT_EQ(bi.biWidth, kW);
    EXPECT_EQ(std::abs(bi.biHeight), kH);
    EXPECT_EQ(bi.biBitCount, 32);
    const auto* bits = reinterpret_cast<const BYTE*>(dib.data()) + sizeof bi;
    bool same = true;
    for (LONG i = 0; i < kFrameBytes; ++i) same = same && bits[i] == BYTE(i * 7);
    EXPECT_TRUE(same) << "the held picture's bytes";
    // Stop releases the held sample too.
    rig.filter->Stop();
    rig.Join();
    EXPECT_EQ(rig.results[0], VFW_E_WRONG_STATE);
}

TEST(VideoRendererStreaming, CompletionOncePerRunAndOnlyWhileRunning) {
    VideoRig rig;
    rig.Pause();
    // End of stream while paused and without a picture: the pause completes,
    // EC_COMPLETE waits for Run.
    std::thread eos([&] { rig.input->EndOfStream(); });
    FILTER_STATE fs;
    EXPECT_EQ(rig.filter->GetState(1000, &fs), S_OK);
    std::this_thread::sleep_for(80ms);
    EXPECT_EQ(rig.events.Count(EC_COMPLETE), 0);
    rig.Run(0);
    eos.join();
    EXPECT_EQ(rig.events.Count(EC_COMPLETE), 1);
    // A second end of stream in the same run posts nothing more.
    EXPECT_EQ(rig.input->EndOfStream(), S_OK);
    EXPECT_EQ(rig.events.Count(EC_COMPLETE), 1);
    // A new run from stopped completes again.
    rig.Stop();
    rig.Pause();
    rig.Run(0);
    rig.Deliver(Frames(0, 2), true);
    ASSERT_TRUE(rig.events.WaitFor(EC_COMPLETE, 2, 2000));
    rig.Join();
    EXPECT_EQ(rig.State().presented, 2);
    EXPECT_EQ(rig.events.Count(EC_COMPLETE), 2);
}
