// Both renderers in the platform's filter graph manager: the graph takes the
// audio renderer's clock, pictures are scheduled against it, and the
// application sees one completion after both streams ended.
#include <gtest/gtest.h>

#include <thread>

#include "audio_renderer.h"
#include "kovel/com.h"
#include "kovel/control.h"
#include "kovel/runtime_classes.h"
#include "test_source.h"
#include "video_renderer.h"

using namespace kovel::render;
using namespace kovel::render::test;

namespace {

template <class T>
T* Query(IUnknown* u, const IID& iid) {
    void* p = nullptr;
    EXPECT_EQ(u->QueryInterface(iid, &p), S_OK);
    return static_cast<T*>(p);
}

}  // namespace

TEST(GraphPlayback, AudioAndPicturesStayTogetherOnTheAudioClock) {
    IGraphBuilder* graph = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                               reinterpret_cast<void**>(&graph)),
              S_OK);
    constexpr int kRate = 48000;
    auto* audioSrc = new TestSource(PcmType(2, kRate), 4, kRate / 10 * 4);
    auto* videoSrc = new TestSource(Rgb32Type(16, 16, Ms(40)), 3, 16 * 16 * 4);
    ASSERT_EQ(graph->AddFilter(audioSrc, u"audio source"), S_OK);
    ASSERT_EQ(graph->AddFilter(videoSrc, u"video source"), S_OK);
    // Intelligent connection finds the built-in renderers by their pin types
    // (the audio one on the SDL dummy driver here).
    ASSERT_EQ(graph->Render(audioSrc->Out()), S_OK);
    ASSERT_EQ(graph->Render(videoSrc->Out()), S_OK);
    IPin* ain = nullptr;
    IPin* vin = nullptr;
    ASSERT_EQ(audioSrc->Out()->ConnectedTo(&ain), S_OK);
    ASSERT_EQ(videoSrc->Out()->ConnectedTo(&vin), S_OK);
    PIN_INFO ai{}, vi{};
    ASSERT_EQ(ain->QueryPinInfo(&ai), S_OK);
    ASSERT_EQ(vin->QueryPinInfo(&vi), S_OK);
    IBaseFilter* audio = ai.pFilter;
    IBaseFilter* video = vi.pFilter;
    CLSID id{};
    audio->GetClassID(&id);
    EXPECT_EQ(id, CLSID_KovelAudioRenderer);
    video->GetClassID(&id);
    EXPECT_EQ(id, CLSID_KovelVideoRenderer);

    auto* control = Query<IMediaControl>(graph, IID_IMediaControl);
    auto* events = Query<IMediaEvent>(graph, IID_IMediaEvent);
    ASSERT_EQ(control->Pause(), S_OK);
    constexpr int kFrames = 40;  // 1.6 s of pictures
    std::thread a([&] {
        for (int i = 0; i < 16; ++i)
            if (audioSrc->Send(Ms(i * 100), Ms(i * 100 + 100), nullptr) != S_OK)
                return;
        audioSrc->Out()->DeliverEndOfStream();
    });
    std::thread v([&] {
        for (int i = 0; i < kFrames; ++i)
            if (videoSrc->Send(Ms(i * 40), Ms(i * 40 + 40), nullptr) != S_OK)
                return;
        videoSrc->Out()->DeliverEndOfStream();
    });
    OAFilterState fs = 0;
    ASSERT_EQ(control->GetState(2000, &fs), S_OK) << "both renderers hold a sample";

    // The graph clock is the audio renderer's.
    auto* graphFilter = Query<IMediaFilter>(graph, IID_IMediaFilter);
    IReferenceClock* graphClock = nullptr;
    IReferenceClock* audioClock = nullptr;
    ASSERT_EQ(graphFilter->GetSyncSource(&graphClock), S_OK);
    auto* ar = Query<IKovelRenderer>(audio, IID_IKovelRenderer);
    ASSERT_EQ(ar->GetReferenceClock(&audioClock), S_OK);
    EXPECT_EQ(graphClock, audioClock);

    ASSERT_EQ(control->Run(), S_OK);
    LONG code = 0;
    EXPECT_EQ(events->WaitForCompletion(5000, &code), S_OK);
    EXPECT_EQ(code, EC_COMPLETE);
    a.join();
    v.join();

    KovelRenderState as{}, vs{};
    auto* vr = Query<IKovelRenderer>(video, IID_IKovelRenderer);
    ASSERT_EQ(ar->GetRenderState(&as), S_OK);
    ASSERT_EQ(vr->GetRenderState(&vs), S_OK);
    EXPECT_EQ(as.audioFramesPlayed, kRate * 16 / 10);
    EXPECT_LT(as.maxOffset, Ms(40));
    EXPECT_EQ(vs.presented + vs.dropped, kFrames);
    EXPECT_GE(vs.presented, kFrames - 4);
    EXPECT_LT(vs.maxOffset, Ms(40));
    EXPECT_EQ(vs.firstStreamTime, 0);
    // One completion reaches the application, and no error.
    LONG_PTR p1, p2;
    int completions = 0;
    while (events->GetEvent(&code, &p1, &p2, 100) == S_OK) {
        completions += code == EC_COMPLETE;
        EXPECT_NE(code, EC_ERRORABORT);
    }
    EXPECT_EQ(completions, 1);
    control->Stop();

    graphClock->Release();
    audioClock->Release();
    graphFilter->Release();
    ar->Release();
    vr->Release();
    ain->Release();
    vin->Release();
    events->Release();
    control->Release();
    audio->Release();
    video->Release();
    graph->Release();
    audioSrc->Release();
    videoSrc->Release();
}
