// The video decoder fed with streams encoded here, wrapped as a reader
// announces them, through the platform allocator into a recording sink.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "decoder_test_support.h"
#include "decoders.h"
#include "filter_catalog.h"
#include "kovel/com.h"
#include "kovel/events.h"
#include "kovel/runtime_classes.h"

using namespace kovel::rt;
using namespace test;

namespace {

constexpr REFERENCE_TIME kFrame = 1000000;  // 10 frames a second
constexpr int kW = 96, kH = 64;

const Encoded& Wmv2() {
    static const Encoded e = EncodeVideo("wmv2", kW, kH, 30, 10, 10, 0, false);
    return e;
}
const Encoded& Mpeg4WithBFrames() {
    static const Encoded e = EncodeVideo("mpeg4", kW, kH, 30, 10, 10, 2, true);
    return e;
}

struct VideoChain : Chain {
    explicit VideoChain(MediaType in)
        : Chain(new VideoDecoder(), std::move(in), MEDIATYPE_Video, MEDIASUBTYPE_RGB32) {}
    VideoDecoder* Decoder() { return static_cast<VideoDecoder*>(decoder); }
};

void ExpectRedTopLeftBlueBottomRight(const Received& r) {
    ASSERT_EQ(r.data.size(), size_t(kW * kH * 4));
    // Bottom-up: the picture's top row is the buffer's last row.
    const uint8_t* last = r.data.data() + size_t(kH - 1) * kW * 4;
    EXPECT_GT(last[2], 180) << "red of the top left block";
    EXPECT_LT(last[1], 80);
    EXPECT_LT(last[0], 80);
    EXPECT_EQ(last[3], 255);
    const uint8_t* first = r.data.data() + size_t(kW - 1) * 4;  // bottom row, right end
    EXPECT_GT(first[0], 180) << "blue of the bottom right block";
    EXPECT_LT(first[2], 80);
}

TEST(VideoDecoder, Wmv2FramesComeOutBottomUpRgb32WithTheirInputTimes) {
    const Encoded& e = Wmv2();
    ASSERT_EQ(e.packets.size(), 30u);
    VideoChain c(VideoType(e, Fourcc('W', 'M', 'V', '2')));
    ASSERT_EQ(c.Connect(), S_OK);

    MediaType out = c.decoder->PinAt(1)->Type();
    EXPECT_TRUE(out.subtype == MEDIASUBTYPE_RGB32);
    EXPECT_TRUE(out.formattype == FORMAT_VideoInfo);
    ASSERT_EQ(out.format.size(), sizeof(VIDEOINFOHEADER));
    VIDEOINFOHEADER vih;
    std::memcpy(&vih, out.format.data(), sizeof vih);
    EXPECT_EQ(vih.bmiHeader.biWidth, kW);
    EXPECT_EQ(vih.bmiHeader.biHeight, kH) << "positive height: bottom-up";
    EXPECT_EQ(vih.bmiHeader.biBitCount, 32);
    EXPECT_EQ(vih.bmiHeader.biSizeImage, DWORD(kW * kH * 4));
    EXPECT_EQ(vih.AvgTimePerFrame, kFrame);

    ASSERT_EQ(c.Run(), S_OK);
    for (const Packet& p : e.packets) ASSERT_EQ(c.source->Push(p), S_OK);
    ASSERT_EQ(c.source->Out().DeliverEndOfStream(), S_OK);

    auto got = c.sink->Samples();
    ASSERT_EQ(got.size(), 30u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].start, REFERENCE_TIME(i) * kFrame) << i;
        EXPECT_EQ(got[i].end, REFERENCE_TIME(i + 1) * kFrame) << i;
        EXPECT_EQ(FrameNumberOf(got[i].data, kW, kH), int(i)) << i;
    }
    ExpectRedTopLeftBlueBottomRight(got[0]);
    ExpectRedTopLeftBlueBottomRight(got[29]);
    EXPECT_TRUE(got[0].discontinuity) << "the first picture of a run";
    EXPECT_FALSE(got[1].discontinuity);
    auto ev = c.sink->Events();
    EXPECT_EQ(ev.back(), "end-of-stream");
    EXPECT_EQ(c.Decoder()->Stats().decodeErrors, 0);
}

TEST(VideoDecoder, Mpeg4HeldBackFramesAreDrainedAtEndOfStream) {
    const Encoded& e = Mpeg4WithBFrames();
    ASSERT_FALSE(e.extradata.empty());
    // FOURCC of the set-up data kept only after the header, biSize 40.
    VideoChain c(VideoType(e, Fourcc('F', 'M', 'P', '4'), false));
    ASSERT_EQ(c.Connect(), S_OK);
    ASSERT_EQ(c.Run(), S_OK);
    for (const Packet& p : e.packets) ASSERT_EQ(c.source->Push(p), S_OK);
    size_t before = c.sink->Samples().size();
    EXPECT_LT(before, 30u) << "reordering keeps a frame in the codec";
    ASSERT_EQ(c.source->Out().DeliverEndOfStream(), S_OK);
    auto got = c.sink->Samples();
    ASSERT_EQ(got.size(), 30u);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].start, REFERENCE_TIME(i) * kFrame) << "presentation order";
        EXPECT_EQ(FrameNumberOf(got[i].data, kW, kH), int(i)) << i;
    }
    EXPECT_EQ(c.sink->Events().back(), "end-of-stream");

    // After the drain the decoder takes a new stream from a seek: from the
    // second key frame to five frames after it, reordered frames on both sides.
    size_t key = 1;
    while (key < e.packets.size() && !e.packets[key].key) ++key;
    ASSERT_LT(key, e.packets.size());
    const int keyFrame = int(e.packets[key].start / kFrame), target = keyFrame + 5;
    ASSERT_LT(target, 30);
    c.Seek(target * kFrame);
    for (size_t i = key; i < e.packets.size(); ++i)
        ASSERT_EQ(c.source->Push(e.packets[i], target * kFrame), S_OK);
    ASSERT_EQ(c.source->Out().DeliverEndOfStream(), S_OK);
    got = c.sink->Samples();
    const size_t left = size_t(30 - target);
    ASSERT_EQ(c.sink->SamplesAfterLastFlush(), left);
    for (size_t k = 0; k < left; ++k) {
        const Received& r = got[got.size() - left + k];
        EXPECT_EQ(r.start, REFERENCE_TIME(k) * kFrame);
        EXPECT_EQ(FrameNumberOf(r.data, kW, kH), target + int(k));
    }
}

TEST(VideoDecoder, SeekDeliversNothingBeforeTheSegmentStart) {
    const Encoded& e = Wmv2();
    VideoChain c(VideoType(e, Fourcc('W', 'M', 'V', '2')));
    ASSERT_EQ(c.Connect(), S_OK);
    ASSERT_EQ(c.Run(), S_OK);
    for (size_t i = 0; i < 12; ++i) ASSERT_EQ(c.source->Push(e.packets[i]), S_OK);
    ASSERT_EQ(c.sink->Samples().size(), 12u);

    // To 1.5 s: the reader starts at the key frame of second 1, times relative
    // to the new start, so frames 10 to 14 come with negative times.
    const REFERENCE_TIME target = 15 * kFrame;
    c.Seek(target);
    ASSERT_TRUE(e.packets[10].key);
    for (size_t i = 10; i < e.packets.size(); ++i) ASSERT_EQ(c.source->Push(e.packets[i], target), S_OK);
    auto got = c.sink->Samples();
    ASSERT_EQ(got.size(), 12u + 15u);
    for (size_t k = 12; k < got.size(); ++k) {
        EXPECT_GE(got[k].start, 0);
        EXPECT_EQ(got[k].start, REFERENCE_TIME(k - 12) * kFrame);
        EXPECT_EQ(FrameNumberOf(got[k].data, kW, kH), int(k - 12 + 15));
    }
    EXPECT_TRUE(got[12].discontinuity) << "first picture after a flush";
    EXPECT_EQ(c.Decoder()->Stats().beforeStart, 5);
    auto ev = c.sink->Events();
    auto flush = std::find(ev.begin(), ev.end(), "begin-flush");
    ASSERT_NE(flush, ev.end());
    ASSERT_GE(std::distance(flush, ev.end()), 3);
    EXPECT_EQ(*(flush + 1), "end-flush");
    EXPECT_EQ(*(flush + 2), "segment");
}

TEST(VideoDecoder, SeekIntoPredictedFramesWaitsForTheNextKeyFrame) {
    const Encoded& e = Wmv2();
    VideoChain c(VideoType(e, Fourcc('W', 'M', 'V', '2')));
    ASSERT_EQ(c.Connect(), S_OK);
    ASSERT_EQ(c.Run(), S_OK);
    for (size_t i = 0; i < 5; ++i) ASSERT_EQ(c.source->Push(e.packets[i]), S_OK);
    c.Seek(12 * kFrame);
    ASSERT_FALSE(e.packets[12].key);
    for (size_t i = 12; i < e.packets.size(); ++i) ASSERT_EQ(c.source->Push(e.packets[i], 12 * kFrame), S_OK);
    auto got = c.sink->Samples();
    ASSERT_EQ(got.size(), 5u + 10u);
    EXPECT_EQ(got[5].start, 8 * kFrame) << "picture of the key frame at 2 s";
    EXPECT_EQ(FrameNumberOf(got[5].data, kW, kH), 20);
    ExpectRedTopLeftBlueBottomRight(got[5]);
    EXPECT_EQ(c.Decoder()->Stats().awaitingKey, 8);
}

TEST(VideoDecoder, EmptyAndDamagedSamplesAreSkippedAndDecodingGoesOn) {
    const Encoded& e = Mpeg4WithBFrames();
    VideoChain c(VideoType(e, Fourcc('F', 'M', 'P', '4'), false));
    ASSERT_EQ(c.Connect(), S_OK);
    ASSERT_EQ(c.Run(), S_OK);
    for (size_t i = 0; i < 10; ++i) ASSERT_EQ(c.source->Push(e.packets[i]), S_OK);
    // An empty sample must not be taken for the end of the stream.
    ASSERT_EQ(c.source->PushBytes({}, 0, 0), S_OK);
    std::vector<uint8_t> junk(300);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 37 + 11);
    ASSERT_EQ(c.source->PushBytes(junk, 0, kFrame), S_OK);
    for (size_t i = 10; i < e.packets.size(); ++i) ASSERT_EQ(c.source->Push(e.packets[i]), S_OK);
    ASSERT_EQ(c.source->Out().DeliverEndOfStream(), S_OK);
    auto got = c.sink->Samples();
    ASSERT_GE(got.size(), 29u);
    EXPECT_EQ(FrameNumberOf(got.back().data, kW, kH), 29);
    EXPECT_EQ(got.back().start, 29 * kFrame);
    EXPECT_EQ(c.Decoder()->Stats().packets, REFERENCE_TIME(e.packets.size()) + 1) << "the empty one not sent";
    EXPECT_GE(c.Decoder()->Stats().decodeErrors, 1) << "the damaged one counted";
}

TEST(VideoDecoder, RefusesUnknownCodecsAndHostileFormatBlocks) {
    const Encoded& e = Wmv2();
    MediaType good = VideoType(e, Fourcc('W', 'M', 'V', '2'));
    auto refused = [](MediaType mt, const char* why) {
        VideoChain c(std::move(mt));
        EXPECT_TRUE(FAILED(c.source->Out().Connect(c.decoder->PinAt(0), nullptr))) << why;
        EXPECT_FALSE(c.decoder->PinAt(0)->IsConnected()) << why;
    };
    refused(VideoType(e, Fourcc('Z', 'Z', 'Z', 'Z')), "no decoder for the FOURCC");
    refused(VideoType(e, 0), "uncompressed");

    MediaType shortBlock = good;
    shortBlock.format.resize(60);
    refused(shortBlock, "block shorter than a VIDEOINFOHEADER");

    auto withHeader = [&](auto edit) {
        MediaType mt = good;
        VIDEOINFOHEADER vih;
        std::memcpy(&vih, mt.format.data(), sizeof vih);
        edit(vih);
        std::memcpy(mt.format.data(), &vih, sizeof vih);
        return mt;
    };
    refused(withHeader([](VIDEOINFOHEADER& v) { v.bmiHeader.biSize = 100000; }), "biSize past the block");
    refused(withHeader([](VIDEOINFOHEADER& v) { v.bmiHeader.biSize = 12; }), "biSize below the header");
    refused(withHeader([](VIDEOINFOHEADER& v) { v.bmiHeader.biWidth = 0; }), "no width");
    refused(withHeader([](VIDEOINFOHEADER& v) { v.bmiHeader.biHeight = 1 << 20; }), "absurd height");
    refused(withHeader([](VIDEOINFOHEADER& v) { v.bmiHeader.biWidth = -96; }), "negative width");
    MediaType notVideoInfo = good;
    notVideoInfo.formattype = FORMAT_WaveFormatEx;
    refused(notVideoInfo, "wrong format type");

    VideoChain ok(good);
    EXPECT_EQ(ok.Connect(), S_OK);
}

TEST(VideoDecoder, SetUpBytesAreTheBytesAfterTheBitmapHeader) {
    Encoded e;
    e.width = 32;
    e.height = 16;
    e.extradata = {1, 2, 3, 4, 5, 6, 7};
    VideoInput in;
    ASSERT_EQ(ParseVideoInput(VideoType(e, Fourcc('W', 'M', 'V', '2'), true), &in), S_OK);
    EXPECT_EQ(in.extradata, e.extradata);
    ASSERT_EQ(ParseVideoInput(VideoType(e, Fourcc('W', 'M', 'V', '2'), false), &in), S_OK);
    EXPECT_EQ(in.extradata, e.extradata);
    // biSize counting fewer bytes than follow: only those.
    MediaType mt = VideoType(e, Fourcc('W', 'M', 'V', '2'), false);
    VIDEOINFOHEADER vih;
    std::memcpy(&vih, mt.format.data(), sizeof vih);
    vih.bmiHeader.biSize = 43;
    std::memcpy(mt.format.data(), &vih, sizeof vih);
    ASSERT_EQ(ParseVideoInput(mt, &in), S_OK);
    EXPECT_EQ(in.extradata, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(in.width, 32);
    EXPECT_EQ(in.height, 16);
}

TEST(VideoDecoder, TypeChangeToAnUnknownCodecAbortsOnceWithAnEvent) {
    const Encoded& e = Wmv2();
    VideoChain c(VideoType(e, Fourcc('W', 'M', 'V', '2')));
    EventGraph graph;
    c.decoder->JoinFilterGraph(&graph, u"Video Decoder");
    ASSERT_EQ(c.Connect(), S_OK);
    ASSERT_EQ(c.Run(), S_OK);
    for (size_t i = 0; i < 3; ++i) ASSERT_EQ(c.source->Push(e.packets[i]), S_OK);
    MediaType unknown = VideoType(e, Fourcc('Z', 'Z', 'Z', 'Z'));
    EXPECT_TRUE(FAILED(c.source->Push(e.packets[3], 0, false, &unknown)));
    EXPECT_TRUE(FAILED(c.source->Push(e.packets[4])));
    auto ev = graph.Events();
    ASSERT_EQ(ev.size(), 1u);
    EXPECT_EQ(ev[0].code, EC_ERRORABORT);
    EXPECT_TRUE(FAILED(HRESULT(ev[0].p1)));
    // A seek starts over.
    c.Seek(10 * kFrame);
    for (size_t i = 10; i < 15; ++i) ASSERT_EQ(c.source->Push(e.packets[i], 10 * kFrame), S_OK);
    EXPECT_EQ(c.sink->SamplesAfterLastFlush(), 5u);
    c.decoder->JoinFilterGraph(nullptr, nullptr);
}

TEST(VideoDecoder, FlushReleasesADeliveryBlockedDownstream) {
    const Encoded& e = Wmv2();
    VideoChain c(VideoType(e, Fourcc('W', 'M', 'V', '2')));
    ASSERT_EQ(c.Connect(), S_OK);
    ASSERT_EQ(c.Run(), S_OK);
    c.sink->BlockReceives(true);
    std::atomic<bool> pushed{false};
    std::thread streaming([&] {
        for (size_t i = 0; i < e.packets.size(); ++i)
            if (c.source->Push(e.packets[i]) != S_OK)
                break;
        pushed = true;
    });
    ASSERT_TRUE(c.sink->WaitBlocked(5000));
    // The seek thread flushes while the streaming thread waits downstream.
    auto flushed = std::async(std::launch::async, [&] { return c.source->Out().DeliverBeginFlush(); });
    ASSERT_EQ(flushed.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(flushed.get(), S_OK);
    streaming.join();
    EXPECT_TRUE(pushed);
    c.sink->BlockReceives(false);
    auto ended = std::async(std::launch::async, [&] { return c.source->Out().DeliverEndFlush(); });
    ASSERT_EQ(ended.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(ended.get(), S_OK);
    EXPECT_EQ(c.sink->Samples().size(), 0u);
    // Streaming resumes after the flush.
    c.source->Out().DeliverNewSegment(0, 600 * 10000000LL, 1.0);
    for (size_t i = 0; i < 10; ++i) ASSERT_EQ(c.source->Push(e.packets[i]), S_OK);
    EXPECT_EQ(c.sink->Samples().size(), 10u);
}

TEST(VideoDecoder, StopDoesNotWaitForADeliveryBlockedDownstream) {
    const Encoded& e = Wmv2();
    VideoChain c(VideoType(e, Fourcc('W', 'M', 'V', '2')));
    ASSERT_EQ(c.Connect(), S_OK);
    ASSERT_EQ(c.Run(), S_OK);
    c.sink->BlockReceives(true);
    std::thread streaming([&] {
        for (size_t i = 0; i < e.packets.size(); ++i)
            if (c.source->Push(e.packets[i]) != S_OK)
                break;
    });
    ASSERT_TRUE(c.sink->WaitBlocked(5000));
    // Stopping upstream of a blocked renderer: the decoder's state change
    // must not wait for its streaming thread.
    auto stopped = std::async(std::launch::async, [&] { return c.decoder->Stop(); });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    c.sink->Stop();
    c.sink->BlockReceives(false);
    streaming.join();
}

TEST(VideoDecoder, RegisteredAsABuiltInFilterTheGraphCanChain) {
    IBaseFilter* f = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_KovelVideoDecoder, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                               reinterpret_cast<void**>(&f)),
              S_OK);
    CLSID id{};
    f->GetClassID(&id);
    EXPECT_TRUE(id == CLSID_KovelVideoDecoder);
    f->Release();
    bool audio = false, video = false;
    for (const RegisteredFilter& r : ListBuiltinFilters()) {
        if (r.clsid == CLSID_KovelVideoDecoder) {
            video = true;
            EXPECT_EQ(r.name, u"Video Decoder");
            EXPECT_EQ(r.merit, kKovelDecoderMerit);
            ASSERT_EQ(r.pins.size(), 2u);
            EXPECT_FALSE(r.pins[0].output);
            EXPECT_TRUE(r.pins[0].types.at(0).major == MEDIATYPE_Video);
            EXPECT_TRUE(r.pins[1].output);
            EXPECT_TRUE(r.pins[1].types.at(0).subtype == MEDIASUBTYPE_RGB32);
        }
        if (r.clsid == CLSID_KovelAudioDecoder) {
            audio = true;
            EXPECT_EQ(r.merit, kKovelDecoderMerit);
            EXPECT_TRUE(r.pins.at(1).types.at(0).subtype == MEDIASUBTYPE_PCM);
        }
    }
    EXPECT_TRUE(video);
    EXPECT_TRUE(audio);
}

}  // namespace
