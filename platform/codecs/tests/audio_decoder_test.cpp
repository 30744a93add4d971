// The audio decoder fed with Windows Media audio encoded here, announced as
// the reader does (subtype 0x0161, the tag in the WAVEFORMATEX).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "decoder_test_support.h"
#include "decoders.h"
#include "filter_catalog.h"
#include "kovel/runtime_classes.h"

using namespace kovel::rt;
using namespace test;

namespace {

struct AudioChain : Chain {
    explicit AudioChain(MediaType in)
        : Chain(new AudioDecoder(), std::move(in), MEDIATYPE_Audio, MEDIASUBTYPE_PCM) {}
    AudioDecoder* Decoder() { return static_cast<AudioDecoder*>(decoder); }
};

int64_t FramesOf(const std::vector<Received>& got, size_t from, int blockAlign) {
    int64_t n = 0;
    for (size_t i = from; i < got.size(); ++i) n += int64_t(got[i].data.size()) / blockAlign;
    return n;
}

double Rms(const std::vector<Received>& got) {
    double sum = 0;
    size_t n = 0;
    for (const Received& r : got) {
        for (size_t i = 0; i + 1 < r.data.size(); i += 2) {
            int16_t v;
            std::memcpy(&v, r.data.data() + i, 2);
            sum += double(v) * v;
            ++n;
        }
    }
    return n ? std::sqrt(sum / double(n)) : 0;
}

class AudioDecoderFormats : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(AudioDecoderFormats, WmaBecomesInterleavedPcmWithContinuousTimes) {
    auto [rate, channels] = GetParam();
    Encoded e = EncodeWma(rate, channels, 2.0);
    ASSERT_GT(e.packets.size(), 10u);
    AudioChain c(WmaType(e));
    ASSERT_EQ(c.Connect(), S_OK);
    MediaType out = c.decoder->PinAt(1)->Type();
    EXPECT_TRUE(out.subtype == MEDIASUBTYPE_PCM);
    ASSERT_EQ(out.format.size(), sizeof(WAVEFORMATEX));
    WAVEFORMATEX wf;
    std::memcpy(&wf, out.format.data(), sizeof wf);
    EXPECT_EQ(wf.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(wf.nChannels, channels);
    EXPECT_EQ(int(wf.nSamplesPerSec), rate);
    EXPECT_EQ(wf.wBitsPerSample, 16);
    EXPECT_EQ(wf.nBlockAlign, channels * 2);
    EXPECT_EQ(int(wf.nAvgBytesPerSec), rate * channels * 2);

    ASSERT_EQ(c.Run(), S_OK);
    // The encoder stamps its priming frame before 0; a file starts at 0.
    const REFERENCE_TIME shift = e.packets[0].start;
    // A gap upstream (the discontinuity flag) travels with the next output.
    const size_t gap = e.packets.size() / 2;
    for (size_t i = 0; i < e.packets.size(); ++i)
        ASSERT_EQ(c.source->Push(e.packets[i], shift, i == gap), S_OK);
    ASSERT_EQ(c.source->Out().DeliverEndOfStream(), S_OK);
    auto got = c.sink->Samples();
    ASSERT_FALSE(got.empty());
    size_t flagged = 0;
    for (size_t i = 1; i < got.size(); ++i) flagged += got[i].discontinuity;
    EXPECT_EQ(flagged, 1u);
    int64_t frames = FramesOf(got, 0, channels * 2);
    EXPECT_NEAR(double(frames), double(e.inputFrames), 2048.0) << "within a codec frame";
    // The codec gives its first frame once its bit reservoir is filled: the
    // output starts at that packet's time, within the first few packets.
    bool atAPacket = false;
    for (size_t i = 0; i < 3; ++i) atAPacket |= got[0].start == e.packets[i].start - shift;
    EXPECT_TRUE(atAPacket) << got[0].start;
    EXPECT_TRUE(got[0].discontinuity);
    for (size_t i = 1; i < got.size(); ++i) ASSERT_EQ(got[i].start, got[i - 1].end) << "sample " << i;
    // Times follow the samples: the last end is the count at the rate.
    EXPECT_NEAR(double(got.back().end - got[0].start), double(frames) * 1e7 / rate, 2.0);
    EXPECT_GT(Rms(got), 3000.0) << "a tone, not silence";
    EXPECT_EQ(c.sink->Events().back(), "end-of-stream");
    EXPECT_EQ(c.Decoder()->Stats().decodeErrors, 0);
}

INSTANTIATE_TEST_SUITE_P(RatesAndChannels, AudioDecoderFormats,
                         ::testing::Values(std::pair{44100, 2}, std::pair{22050, 1}));

TEST(AudioDecoder, AfterASeekNothingBeforeTheSegmentStartAndTheStraddlingBufferIsCut) {
    Encoded e = EncodeWma(44100, 2, 3.0);
    AudioChain c(WmaType(e));
    ASSERT_EQ(c.Connect(), S_OK);
    ASSERT_EQ(c.Run(), S_OK);
    for (size_t i = 0; i < 10; ++i) ASSERT_EQ(c.source->Push(e.packets[i]), S_OK);

    // Seek to a point inside packet k + 2; the reader restarts at packet k.
    const size_t k = 20;
    REFERENCE_TIME target = e.packets[k + 2].start + (e.packets[k + 2].end - e.packets[k + 2].start) / 3;
    c.Seek(target);
    for (size_t i = k; i < e.packets.size(); ++i) ASSERT_EQ(c.source->Push(e.packets[i], target), S_OK);
    ASSERT_EQ(c.source->Out().DeliverEndOfStream(), S_OK);

    auto got = c.sink->Samples();
    size_t first = got.size() - c.sink->SamplesAfterLastFlush();
    ASSERT_LT(first, got.size());
    for (size_t i = first; i < got.size(); ++i) EXPECT_GE(got[i].start, 0);
    EXPECT_LE(got[first].start, 227) << "cut to start at the segment start, within one sample";
    EXPECT_TRUE(got[first].discontinuity);
    for (size_t i = first + 1; i < got.size(); ++i) ASSERT_EQ(got[i].start, got[i - 1].end);
    // What remains is the stream from the target on.
    int64_t after = FramesOf(got, first, 4);
    double expected = double(e.packets.back().end - target) * 44100 / 1e7;
    EXPECT_NEAR(double(after), expected, 2048.0);
}

TEST(AudioDecoder, RefusesUnknownTagsAndHostileWaveFormats) {
    Encoded e = EncodeWma(44100, 2, 0.2);
    MediaType good = WmaType(e);
    auto edit = [&](auto f) {
        MediaType mt = good;
        WAVEFORMATEX wf;
        std::memcpy(&wf, mt.format.data(), sizeof wf);
        f(wf);
        std::memcpy(mt.format.data(), &wf, sizeof wf);
        return mt;
    };
    auto refused = [](MediaType mt, const char* why) {
        AudioChain c(std::move(mt));
        EXPECT_TRUE(FAILED(c.source->Out().Connect(c.decoder->PinAt(0), nullptr))) << why;
        EXPECT_FALSE(c.decoder->PinAt(0)->IsConnected()) << why;
    };
    refused(edit([](WAVEFORMATEX& w) { w.wFormatTag = 0x7777; }), "tag without a decoder");
    refused(edit([](WAVEFORMATEX& w) { w.cbSize = 200; }), "extra bytes past the block");
    refused(edit([](WAVEFORMATEX& w) { w.nChannels = 0; }), "no channels");
    refused(edit([](WAVEFORMATEX& w) { w.nChannels = 40; }), "too many channels");
    refused(edit([](WAVEFORMATEX& w) { w.nSamplesPerSec = 0; }), "no rate");
    refused(edit([](WAVEFORMATEX& w) { w.nBlockAlign = 0; }),
            "a codec that cannot open without packets sizes");
    MediaType shortBlock = good;
    shortBlock.format.resize(14);
    refused(shortBlock, "shorter than a WAVEFORMATEX");
    MediaType video = good;
    video.major = MEDIATYPE_Video;
    refused(video, "not audio");

    AudioChain ok(good);
    EXPECT_EQ(ok.Connect(), S_OK);
}

TEST(AudioDecoder, ExtensibleFormatsTakeTheTagFromTheSubFormat) {
    Encoded e = EncodeWma(44100, 2, 0.2);
    MediaType mt = WmaType(e);
    // Rebuild as WAVE_FORMAT_EXTENSIBLE: 22 bytes, then the codec's set-up data.
    WAVEFORMATEX wf;
    std::memcpy(&wf, mt.format.data(), sizeof wf);
    std::vector<BYTE> extra(mt.format.begin() + sizeof wf, mt.format.end());
    wf.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wf.cbSize = WORD(22 + extra.size());
    std::vector<BYTE> block(sizeof wf + 22 + extra.size(), 0);
    std::memcpy(block.data(), &wf, sizeof wf);
    GUID sub = FourccSubtype(0x0161);
    std::memcpy(block.data() + sizeof wf + 6, &sub, sizeof sub);
    std::memcpy(block.data() + sizeof wf + 22, extra.data(), extra.size());
    mt.format = block;
    AudioInput in;
    ASSERT_EQ(ParseAudioInput(mt, &in), S_OK);
    EXPECT_EQ(in.tag, 0x0161u);
    EXPECT_EQ(in.extradata, std::vector<uint8_t>(extra.begin(), extra.end()));
    // Too short to hold a SubFormat.
    wf.cbSize = 10;
    std::memcpy(mt.format.data(), &wf, sizeof wf);
    EXPECT_EQ(ParseAudioInput(mt, &in), VFW_E_TYPE_NOT_ACCEPTED);
}

TEST(AudioDecoder, RegisteredWithAnInputForAnyAudioAndPcmOut) {
    bool found = false;
    for (const RegisteredFilter& r : ListBuiltinFilters()) {
        if (r.clsid != CLSID_KovelAudioDecoder)
            continue;
        found = true;
        EXPECT_EQ(r.name, u"Audio Decoder");
        ASSERT_EQ(r.pins.size(), 2u);
        EXPECT_EQ(r.pins[0].name, u"In");
        EXPECT_FALSE(r.pins[0].output);
        ASSERT_EQ(r.pins[0].types.size(), 1u);
        EXPECT_TRUE(r.pins[0].types[0].major == MEDIATYPE_Audio);
        EXPECT_TRUE(r.pins[0].types[0].subtype == GUID_NULL) << "the tag in the format block decides";
        EXPECT_EQ(r.pins[1].name, u"Out");
        EXPECT_TRUE(r.pins[1].output);
        EXPECT_TRUE(r.pins[1].types.at(0).major == MEDIATYPE_Audio);
    }
    EXPECT_TRUE(found);
}

TEST(DecoderBuffers, AskForAtLeastTheDecodersNeedsAndKeepLargerRequests) {
    IMemAllocator* a = nullptr;
    ASSERT_EQ(CreateAllocator(&a), S_OK);
    ALLOCATOR_PROPERTIES req{2, 100, 0, 0}, got{};
    ASSERT_EQ(SetDecoderBuffers(a, req, 8, 4096, 16), S_OK);
    ASSERT_EQ(a->GetProperties(&got), S_OK);
    EXPECT_EQ(got.cBuffers, 8);
    EXPECT_EQ(got.cbBuffer, 4096);
    EXPECT_EQ(got.cbAlign, 1) << "no alignment asked for means byte alignment";
    req = {12, 9000, 1, 0};
    ASSERT_EQ(SetDecoderBuffers(a, req, 8, 4096, 16), S_OK);
    ASSERT_EQ(a->GetProperties(&got), S_OK);
    EXPECT_EQ(got.cBuffers, 12);
    EXPECT_EQ(got.cbBuffer, 9000);
    // What the allocator refuses is passed on.
    req = {1, 64, 3, 0};
    EXPECT_EQ(SetDecoderBuffers(a, req, 1, 64, 64), VFW_E_BADALIGN);
    a->Release();
}

}  // namespace
