// The placeholder pins' hooks called directly: formats, acceptance, buffer
// sizes and sample stamping.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "display_size.h"
#include "dummy_filters.h"
#include "kovel/bitmap_subtype.h"
#include "kovel/com.h"
#include "kovel/formats.h"

using namespace kovel::stubcast;
using kovel::BitmapSubtype;

namespace {

// Holds a filter made by its create function for the test's duration.
template <class Filter>
struct Held {
    Filter* filter = nullptr;
    Held() {
        HRESULT hr = E_FAIL;
        filter = static_cast<Filter*>(Filter::Create(nullptr, &hr));
        EXPECT_EQ(hr, S_OK);
        filter->NonDelegatingAddRef();
    }
    ~Held() { filter->NonDelegatingRelease(); }
    auto* pin() { return filter->OutPin(); }
};

// A bottom-up picture type as a peer might propose it.
CMediaTypeRecord ProposedVideo(LONG width, LONG height, WORD bits, const GUID& subtype) {
    CMediaTypeRecord mt;
    mt.SetType(&MEDIATYPE_Video);
    mt.SetSubtype(&subtype);
    mt.SetFormatType(&FORMAT_VideoInfo);
    VIDEOINFOHEADER vih{};
    vih.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    vih.bmiHeader.biWidth = width;
    vih.bmiHeader.biHeight = height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = bits;
    vih.bmiHeader.biSizeImage = DibRowStride(width, bits) * DWORD(height < 0 ? -height : height);
    mt.SetSampleSize(vih.bmiHeader.biSizeImage);
    EXPECT_TRUE(mt.SetFormat(reinterpret_cast<const BYTE*>(&vih), sizeof vih));
    return mt;
}

CMediaTypeRecord ProposedPcm(WORD channels, DWORD rate, WORD bits, ULONG cbFormat = sizeof(WAVEFORMATEX)) {
    CMediaTypeRecord mt;
    mt.SetType(&MEDIATYPE_Audio);
    mt.SetSubtype(&MEDIASUBTYPE_PCM);
    mt.SetFormatType(&FORMAT_WaveFormatEx);
    WAVEFORMATEX wfx{};
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = channels;
    wfx.nSamplesPerSec = rate;
    wfx.nBlockAlign = WORD(channels * bits / 8);
    wfx.nAvgBytesPerSec = rate * wfx.nBlockAlign;
    wfx.wBitsPerSample = bits;
    mt.SetSampleSize(wfx.nBlockAlign);
    if (cbFormat) {
        std::vector<BYTE> block(cbFormat, 0);
        std::memcpy(block.data(), &wfx, cbFormat < sizeof wfx ? cbFormat : sizeof wfx);
        EXPECT_TRUE(mt.SetFormat(block.data(), cbFormat));
    }
    return mt;
}

// An allocator that grants at most a given buffer size and remembers the request.
class CStingyAllocator final : public IMemAllocator {
  public:
    explicit CStingyAllocator(LONG cbMax) : m_cbMax(cbMax) {}
    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }
    HRESULT SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override {
        m_request = *pRequest;
        *pActual = *pRequest;
        if (pActual->cbBuffer > m_cbMax)
            pActual->cbBuffer = m_cbMax;
        return S_OK;
    }
    HRESULT GetProperties(ALLOCATOR_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT Commit() override { return E_NOTIMPL; }
    HRESULT Decommit() override { return E_NOTIMPL; }
    HRESULT GetBuffer(IMediaSample**, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override { return E_NOTIMPL; }
    HRESULT ReleaseBuffer(IMediaSample*) override { return E_NOTIMPL; }

    ALLOCATOR_PROPERTIES m_request{};

  private:
    LONG m_cbMax;
};

struct Stamp {
    REFERENCE_TIME start, stop;
    bool sync;
};

// Fills n samples of the platform's memory allocator through the pin's hook.
template <class Pin>
std::vector<Stamp> FillSamples(Pin* pin, int n) {
    std::vector<Stamp> out;
    IMemAllocator* alloc = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                               reinterpret_cast<void**>(&alloc)),
              S_OK);
    if (!alloc)
        return out;
    ALLOCATOR_PROPERTIES req{1, 16, 1, 0}, actual{};
    EXPECT_EQ(alloc->SetProperties(&req, &actual), S_OK);
    EXPECT_EQ(alloc->Commit(), S_OK);
    for (int i = 0; i < n; ++i) {
        IMediaSample* sample = nullptr;
        EXPECT_EQ(alloc->GetBuffer(&sample, nullptr, nullptr, 0), S_OK);
        EXPECT_EQ(pin->FillSample(sample), S_OK);
        Stamp s{};
        EXPECT_EQ(sample->GetTime(&s.start, &s.stop), S_OK);
        s.sync = sample->IsSyncPoint() == S_OK;
        out.push_back(s);
        sample->Release();
    }
    alloc->Decommit();
    alloc->Release();
    return out;
}

}  // namespace

TEST(VideoDummyPin, OffersFiveScreenSizedFormatsInOrder) {
    Held<CVideoDummyFilter> held;
    auto* pin = held.pin();
    // No GUI application in this process: the default screen.
    ASSERT_EQ(pin->ImageWidth(), 1024);
    ASSERT_EQ(pin->ImageHeight(), 768);

    struct Expected {
        GUID subtype;
        WORD bits;
        DWORD compression;
        DWORD masks[3];
        DWORD clrUsed;
    };
    const Expected expected[] = {
        {MEDIASUBTYPE_RGB32, 32, BI_RGB, {0, 0, 0}, 0},
        {MEDIASUBTYPE_RGB24, 24, BI_RGB, {0, 0, 0}, 0},
        {MEDIASUBTYPE_RGB565, 16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}, 0},
        {MEDIASUBTYPE_RGB555, 16, BI_BITFIELDS, {0x7C00, 0x03E0, 0x001F}, 0},
        {MEDIASUBTYPE_RGB8, 8, BI_RGB, {0, 0, 0}, 256},
    };
    const DWORD sizes[] = {3145728, 2359296, 1572864, 1572864, 786432};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        CMediaTypeRecord mt;
        ASSERT_EQ(pin->FormatAt(i, &mt), S_OK);
        EXPECT_EQ(*mt.Type(), MEDIATYPE_Video);
        EXPECT_EQ(*mt.Subtype(), expected[i].subtype);
        EXPECT_EQ(*mt.FormatType(), FORMAT_VideoInfo);
        EXPECT_TRUE(mt.IsFixedSize());
        EXPECT_FALSE(mt.IsTemporalCompressed());
        EXPECT_EQ(mt.SampleSize(), sizes[i]);
        EXPECT_EQ(mt.pUnk, nullptr);

        // Every byte zero except the listed header fields and masks.
        VIDEOINFO want;
        std::memset(&want, 0, sizeof want);
        want.bmiHeader.biSize = 40;
        want.bmiHeader.biWidth = 1024;
        want.bmiHeader.biHeight = 768;
        want.bmiHeader.biPlanes = 1;
        want.bmiHeader.biBitCount = expected[i].bits;
        want.bmiHeader.biCompression = expected[i].compression;
        want.bmiHeader.biSizeImage = sizes[i];
        want.bmiHeader.biClrUsed = expected[i].clrUsed;
        if (expected[i].compression == BI_BITFIELDS)
            std::memcpy(want.dwBitMasks, expected[i].masks, sizeof expected[i].masks);
        ASSERT_EQ(mt.FormatLength(), 1128u);
        EXPECT_EQ(std::memcmp(mt.Format(), &want, sizeof want), 0);
        // And each offered format is accepted back.
        EXPECT_EQ(pin->CheckFormat(&mt), S_OK);
    }
    CMediaTypeRecord mt;
    EXPECT_EQ(pin->FormatAt(5, &mt), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(pin->FormatAt(-1, &mt), E_INVALIDARG);
    EXPECT_EQ(pin->FormatAt(0, nullptr), E_POINTER);
}

TEST(VideoDummyPin, CheckFormatRefusesOtherPictures) {
    Held<CVideoDummyFilter> held;
    auto* pin = held.pin();
    EXPECT_EQ(pin->CheckFormat(nullptr), E_POINTER);

    // Same-sized bottom-up pictures in the offered subtypes pass, masks and format type unexamined.
    CMediaTypeRecord ok = ProposedVideo(1024, 768, 16, MEDIASUBTYPE_RGB565);
    EXPECT_EQ(pin->CheckFormat(&ok), S_OK);

    CMediaTypeRecord narrower = ProposedVideo(800, 768, 32, MEDIASUBTYPE_RGB32);
    EXPECT_EQ(pin->CheckFormat(&narrower), E_INVALIDARG);
    CMediaTypeRecord shorter = ProposedVideo(1024, 600, 32, MEDIASUBTYPE_RGB32);
    EXPECT_EQ(pin->CheckFormat(&shorter), E_INVALIDARG);
    CMediaTypeRecord topDown = ProposedVideo(1024, -768, 32, MEDIASUBTYPE_RGB32);
    EXPECT_EQ(pin->CheckFormat(&topDown), E_INVALIDARG);

    CMediaTypeRecord audio = ProposedVideo(1024, 768, 32, MEDIASUBTYPE_RGB32);
    audio.SetType(&MEDIATYPE_Audio);
    EXPECT_EQ(pin->CheckFormat(&audio), E_INVALIDARG);
    CMediaTypeRecord variable = ProposedVideo(1024, 768, 32, MEDIASUBTYPE_RGB32);
    variable.SetVariableSize();
    EXPECT_EQ(pin->CheckFormat(&variable), E_INVALIDARG);
    CMediaTypeRecord rgb4 = ProposedVideo(1024, 768, 4, MEDIASUBTYPE_RGB4);
    EXPECT_EQ(pin->CheckFormat(&rgb4), E_INVALIDARG);

    CMediaTypeRecord noBlock = ProposedVideo(1024, 768, 32, MEDIASUBTYPE_RGB32);
    noBlock.Free();
    EXPECT_EQ(pin->CheckFormat(&noBlock), E_INVALIDARG);
    // A block that ends inside the bitmap header is never read past its end.
    CMediaTypeRecord cut = ProposedVideo(1024, 768, 32, MEDIASUBTYPE_RGB32);
    std::vector<BYTE> head(cut.Format(), cut.Format() + sizeof(VIDEOINFOHEADER) - 1);
    ASSERT_TRUE(cut.SetFormat(head.data(), ULONG(head.size())));
    EXPECT_EQ(pin->CheckFormat(&cut), E_INVALIDARG);
}

TEST(VideoDummyPin, SetFormatAndBufferSizeFollowTheConnectedPicture) {
    Held<CVideoDummyFilter> held;
    auto* pin = held.pin();
    CStingyAllocator roomy(1 << 24);
    ALLOCATOR_PROPERTIES props{0, 0, 16, 8};
    EXPECT_EQ(pin->ChooseBufferSize(&roomy, nullptr), E_POINTER);
    EXPECT_EQ(pin->ChooseBufferSize(nullptr, &props), E_POINTER);
    // Nothing connected yet: no format to size buffers from.
    EXPECT_EQ(pin->ChooseBufferSize(&roomy, &props), E_UNEXPECTED);

    CMediaTypeRecord rgb24;
    ASSERT_EQ(pin->FormatAt(1, &rgb24), S_OK);
    ASSERT_EQ(pin->SetFormat(&rgb24), S_OK);
    ASSERT_EQ(pin->ChooseBufferSize(&roomy, &props), S_OK);
    EXPECT_EQ(roomy.m_request.cBuffers, 1);
    EXPECT_EQ(roomy.m_request.cbBuffer, 2359296);
    EXPECT_EQ(roomy.m_request.cbAlign, 16);  // alignment and prefix as handed in
    EXPECT_EQ(roomy.m_request.cbPrefix, 8);

    CStingyAllocator stingy(2359295);
    EXPECT_EQ(pin->ChooseBufferSize(&stingy, &props), E_FAIL);

    // A peer's header without an image size still gets buffers for the whole picture.
    CMediaTypeRecord noSize = ProposedVideo(1024, 768, 16, MEDIASUBTYPE_RGB555);
    BITMAPINFOHEADER* bih = reinterpret_cast<BITMAPINFOHEADER*>(noSize.Format() + 48);
    bih->biSizeImage = 0;
    ASSERT_EQ(pin->SetFormat(&noSize), S_OK);
    ASSERT_EQ(pin->ChooseBufferSize(&roomy, &props), S_OK);
    EXPECT_EQ(roomy.m_request.cbBuffer, 1024 * 2 * 768);

    CMediaTypeRecord twelve = ProposedVideo(1024, 768, 12, MEDIASUBTYPE_RGB32);
    EXPECT_EQ(pin->SetFormat(&twelve), E_INVALIDARG);
    CMediaTypeRecord noBlock = ProposedVideo(1024, 768, 32, MEDIASUBTYPE_RGB32);
    noBlock.Free();
    EXPECT_EQ(pin->SetFormat(&noBlock), E_UNEXPECTED);
}

TEST(AudioDummyPin, OffersOneEightKilohertzMonoType) {
    Held<CAudioDummyFilter> held;
    auto* pin = held.pin();
    CMediaTypeRecord mt;
    ASSERT_EQ(pin->FormatAt(0, &mt), S_OK);
    EXPECT_EQ(*mt.Type(), MEDIATYPE_Audio);
    EXPECT_EQ(*mt.Subtype(), MEDIASUBTYPE_PCM);
    EXPECT_EQ(*mt.FormatType(), FORMAT_WaveFormatEx);
    EXPECT_TRUE(mt.IsFixedSize());
    EXPECT_FALSE(mt.IsTemporalCompressed());
    EXPECT_EQ(mt.SampleSize(), 1u);
    ASSERT_EQ(mt.FormatLength(), 18u);
    const BYTE want[18] = {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0, 0, 0};
    EXPECT_EQ(std::memcmp(mt.Format(), want, sizeof want), 0);
    EXPECT_EQ(pin->CheckFormat(&mt), S_OK);

    CMediaTypeRecord more;
    EXPECT_EQ(pin->FormatAt(1, &more), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(pin->FormatAt(-1, &more), E_INVALIDARG);
}

TEST(AudioDummyPin, AcceptsAnyPcmAndSizesBuffersBySampleWidth) {
    Held<CAudioDummyFilter> held;
    auto* pin = held.pin();
    EXPECT_EQ(pin->CheckFormat(nullptr), E_POINTER);

    CMediaTypeRecord cd = ProposedPcm(2, 44100, 16);
    ASSERT_EQ(pin->CheckFormat(&cd), S_OK);
    ASSERT_EQ(pin->SetFormat(&cd), S_OK);
    CStingyAllocator roomy(1 << 20);
    ALLOCATOR_PROPERTIES props{};
    ASSERT_EQ(pin->ChooseBufferSize(&roomy, &props), S_OK);
    EXPECT_EQ(roomy.m_request.cBuffers, 1);
    EXPECT_EQ(roomy.m_request.cbBuffer, 2);
    CStingyAllocator stingy(1);
    EXPECT_EQ(pin->ChooseBufferSize(&stingy, &props), E_FAIL);

    CMediaTypeRecord own;
    ASSERT_EQ(pin->FormatAt(0, &own), S_OK);
    ASSERT_EQ(pin->SetFormat(&own), S_OK);
    ASSERT_EQ(pin->ChooseBufferSize(&roomy, &props), S_OK);
    EXPECT_EQ(roomy.m_request.cbBuffer, 1);

    // The bare 16-byte PCM header without its extra-size field is enough.
    CMediaTypeRecord bare = ProposedPcm(1, 22050, 8, 16);
    EXPECT_EQ(pin->CheckFormat(&bare), S_OK);

    CMediaTypeRecord notPcm = ProposedPcm(1, 8000, 8);
    notPcm.SetSubtype(&MEDIASUBTYPE_WMAudioV2);
    EXPECT_EQ(pin->CheckFormat(&notPcm), E_INVALIDARG);
    CMediaTypeRecord video = ProposedPcm(1, 8000, 8);
    video.SetType(&MEDIATYPE_Video);
    EXPECT_EQ(pin->CheckFormat(&video), E_INVALIDARG);
    CMediaTypeRecord variable = ProposedPcm(1, 8000, 8);
    variable.SetVariableSize();
    EXPECT_EQ(pin->CheckFormat(&variable), E_INVALIDARG);
    // Without a block that holds the sample width, buffers could not be sized.
    CMediaTypeRecord noBlock = ProposedPcm(1, 8000, 8, 0);
    EXPECT_EQ(pin->CheckFormat(&noBlock), E_INVALIDARG);
    CMediaTypeRecord cut = ProposedPcm(1, 8000, 8, 15);
    EXPECT_EQ(pin->CheckFormat(&cut), E_INVALIDARG);
    CMediaTypeRecord fourBit = ProposedPcm(1, 8000, 4);
    EXPECT_EQ(pin->CheckFormat(&fourBit), E_INVALIDARG);
    ASSERT_EQ(pin->SetFormat(&noBlock), S_OK);
    EXPECT_EQ(pin->ChooseBufferSize(&roomy, &props), E_UNEXPECTED);
}

TEST(DummyPins, SamplesAreOneSecondApartAndCountersKeepCounting) {
    Held<CVideoDummyFilter> video;
    Held<CAudioDummyFilter> audio;
    EXPECT_EQ(video.pin()->FillSample(nullptr), E_POINTER);
    EXPECT_EQ(video.pin()->FramesFilled(), 0);

    auto first = FillSamples(video.pin(), 3);
    ASSERT_EQ(first.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(first[i].start, REFERENCE_TIME(i) * 10000000);
        EXPECT_EQ(first[i].stop, REFERENCE_TIME(i + 1) * 10000000);
        EXPECT_TRUE(first[i].sync);
    }
    // A later run carries on from the count, and each pin counts on its own.
    auto later = FillSamples(video.pin(), 1);
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].start, 30000000);
    EXPECT_EQ(video.pin()->FramesFilled(), 4);

    auto sound = FillSamples(audio.pin(), 2);
    ASSERT_EQ(sound.size(), 2u);
    EXPECT_EQ(sound[0].start, 0);
    EXPECT_EQ(sound[1].start, 10000000);
    EXPECT_EQ(sound[1].stop, 20000000);
    EXPECT_TRUE(sound[1].sync);
}

TEST(DummyPins, TimesStayPositivePastTheThirtyTwoBitCount) {
    // Without a clock downstream a pin fills millions of samples a minute.
    CFrameClock clock(INT32_MAX);
    struct {
        CFrameClock* c;
        HRESULT FillSample(IMediaSample* s) { return c->Stamp(s); }
    } pin{&clock};
    auto s = FillSamples(&pin, 2);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].start, REFERENCE_TIME(INT32_MAX) * 10000000);
    EXPECT_EQ(s[1].start, (REFERENCE_TIME(INT32_MAX) + 1) * 10000000);
    EXPECT_EQ(s[1].stop, s[1].start + 10000000);
    EXPECT_EQ(clock.Count(), int64_t(INT32_MAX) + 2);
}

TEST(DummyPins, QualityNotificationsAreRefused) {
    Held<CVideoDummyFilter> video;
    Held<CAudioDummyFilter> audio;
    Quality q{};
    EXPECT_EQ(video.pin()->Notify(video.filter, q), E_FAIL);
    EXPECT_EQ(audio.pin()->Notify(audio.filter, q), E_FAIL);
}

TEST(BitmapSubtype, NamesTheLayout) {
    BITMAPINFOHEADER bih{};
    bih.biCompression = BI_RGB;
    const std::pair<WORD, GUID> byBits[] = {
        {1, MEDIASUBTYPE_RGB1},   {4, MEDIASUBTYPE_RGB4},   {8, MEDIASUBTYPE_RGB8}, {16, MEDIASUBTYPE_RGB555},
        {24, MEDIASUBTYPE_RGB24}, {32, MEDIASUBTYPE_RGB32}, {12, GUID_NULL}};
    for (const auto& [bits, subtype] : byBits) {
        bih.biBitCount = bits;
        EXPECT_EQ(BitmapSubtype(bih, nullptr), subtype) << bits;
    }
    bih.biBitCount = 16;
    bih.biCompression = BI_BITFIELDS;
    const DWORD m565[] = {0xF800, 0x07E0, 0x001F}, m555[] = {0x7C00, 0x03E0, 0x001F},
                odd[] = {0xF00, 0xF0, 0xF};
    EXPECT_EQ(BitmapSubtype(bih, m565), MEDIASUBTYPE_RGB565);
    EXPECT_EQ(BitmapSubtype(bih, m555), MEDIASUBTYPE_RGB555);
    EXPECT_EQ(BitmapSubtype(bih, odd), GUID_NULL);
    EXPECT_EQ(BitmapSubtype(bih, nullptr), GUID_NULL);
    // Any other compression is a FOURCC in the base GUID.
    bih.biCompression = 0x32595559;  // "YUY2"
    GUID yuy2 = BitmapSubtype(bih, nullptr);
    EXPECT_EQ(yuy2.Data1, 0x32595559u);
    EXPECT_EQ(yuy2.Data2, MEDIASUBTYPE_PCM.Data2);
    EXPECT_EQ(std::memcmp(yuy2.Data4, MEDIASUBTYPE_PCM.Data4, 8), 0);
}
