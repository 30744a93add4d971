// The graph manager picks the decoders by media type when it connects a
// compressed output to a sink that takes only decoded data.
#include <gtest/gtest.h>

#include "decoder_test_support.h"
#include "kovel/com.h"
#include "kovel/runtime_classes.h"

using namespace kovel::rt;
using namespace test;

namespace {

// What sits between the source's output and the sink's input: the class id
// of the filter in the middle, or GUID_NULL.
CLSID Between(SourceFilter* src, SinkFilter* sink) {
    IPin* peer = nullptr;
    if (src->Out().ConnectedTo(&peer) != S_OK)
        return GUID_NULL;
    PIN_INFO info{};
    peer->QueryPinInfo(&info);
    peer->Release();
    CLSID id = GUID_NULL;
    info.pFilter->GetClassID(&id);
    // Its output must reach the sink.
    IEnumPins* pins = nullptr;
    info.pFilter->EnumPins(&pins);
    IPin* p = nullptr;
    bool reaches = false;
    while (pins->Next(1, &p, nullptr) == S_OK) {
        IPin* to = nullptr;
        if (p->ConnectedTo(&to) == S_OK) {
            reaches |= to == static_cast<IPin*>(&sink->In());
            to->Release();
        }
        p->Release();
    }
    pins->Release();
    info.pFilter->Release();
    return reaches ? id : GUID_NULL;
}

struct Graph {
    Graph() {
        EXPECT_EQ(CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                   reinterpret_cast<void**>(&gb)),
                  S_OK);
    }
    ~Graph() {
        if (gb)
            gb->Release();
    }
    ULONG FilterCount() {
        IEnumFilters* e = nullptr;
        gb->EnumFilters(&e);
        ULONG n = 0;
        IBaseFilter* f = nullptr;
        while (e->Next(1, &f, nullptr) == S_OK) {
            ++n;
            f->Release();
        }
        e->Release();
        return n;
    }
    IGraphBuilder* gb = nullptr;
};

TEST(GraphChain, CompressedStreamsGetTheirDecoderInsertedAndUnknownOnesFailCleanly) {
    Encoded video = EncodeVideo("wmv2", 64, 48, 2, 10, 10, 0, false);
    Encoded audio = EncodeWma(22050, 1, 0.1);
    struct Case {
        MediaType type;
        GUID major, subtype;
        CLSID decoder;
    } cases[] = {
        {VideoType(video, Fourcc('W', 'M', 'V', '2')), MEDIATYPE_Video, MEDIASUBTYPE_RGB32,
         CLSID_KovelVideoDecoder},
        {WmaType(audio), MEDIATYPE_Audio, MEDIASUBTYPE_PCM, CLSID_KovelAudioDecoder},
    };
    for (Case& c : cases) {
        Graph g;
        ASSERT_NE(g.gb, nullptr);
        auto* src = new SourceFilter(c.type);
        auto* sink = new SinkFilter(c.major, c.subtype);
        ASSERT_TRUE(SUCCEEDED(g.gb->AddFilter(src, u"Source")));
        ASSERT_TRUE(SUCCEEDED(g.gb->AddFilter(sink, u"Sink")));
        ASSERT_EQ(g.gb->Connect(&src->Out(), &sink->In()), S_OK);
        EXPECT_TRUE(Between(src, sink) == c.decoder);
        EXPECT_EQ(g.FilterCount(), 3u);
        g.gb->RemoveFilter(src);
        g.gb->RemoveFilter(sink);
        src->Release();
        sink->Release();
    }

    Graph g;
    auto* src = new SourceFilter(VideoType(video, Fourcc('Z', 'Z', 'Z', 'Z')));
    auto* sink = new SinkFilter(MEDIATYPE_Video, MEDIASUBTYPE_RGB32);
    ASSERT_TRUE(SUCCEEDED(g.gb->AddFilter(src, u"Source")));
    ASSERT_TRUE(SUCCEEDED(g.gb->AddFilter(sink, u"Sink")));
    EXPECT_TRUE(FAILED(g.gb->Connect(&src->Out(), &sink->In())));
    EXPECT_FALSE(src->Out().IsConnected());
    EXPECT_EQ(g.FilterCount(), 2u) << "no decoder left behind";
    g.gb->RemoveFilter(src);
    g.gb->RemoveFilter(sink);
    src->Release();
    sink->Release();
}

}  // namespace
