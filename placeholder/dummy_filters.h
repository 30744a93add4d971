// The two placeholder source filters: a screen-sized uncompressed RGB video
// source and an 8 kHz mono 8-bit PCM audio source. Both deliver empty samples
// stamped one second apart; the buffers are never written.
#pragma once

#include "kovel/guids.h"
#include "locks.h"
#include "source_filter_core.h"
#include "streaming_pin.h"

KOVEL_GUID(CLSID_VideoDummyFilter, "E87F8AB8-DC1B-4081-B2A6-FC52FB5BC527");
KOVEL_GUID(CLSID_AudioDummyFilter, "C0E37CD9-A9C4-4CFA-9F22-A102A96D0CFE");

namespace kovel::stubcast {

// One second in reference time: the span of every sample.
constexpr REFERENCE_TIME kFrameLength = 10000000;
// Number of video formats offered (32, 24, 565, 555 and 8 bits, in that order).
constexpr int kVideoFormatCount = 5;

// Shared by both pins: stamps sample n (counting from the pin's creation) with
// n to n+1 seconds and marks it as a sync point. The counter is never reset,
// so after a stop and a new run the times continue where they left off. It is
// 64 bits wide: without a clock downstream the pins deliver as fast as they
// can, and a 32-bit count would wrap to negative times within the hour.
class CFrameClock {
  public:
    explicit CFrameClock(int64_t iFirstFrame = 0) : m_iFrameNumber(iFirstFrame) {}
    HRESULT Stamp(IMediaSample* pSample);
    int64_t Count();

  private:
    CLockSection m_cSharedState;
    int64_t m_iFrameNumber;
    const REFERENCE_TIME m_rtFrameLength = kFrameLength;
};

class CVideoDummyPin : public CStreamingPin {
  public:
    // Measures the display once; later screen changes do not change the formats.
    CVideoDummyPin(HRESULT* phr, CSourceFilterCore* pFilter);

    HRESULT FormatAt(int iPosition, CMediaTypeRecord* pMediaType) override;
    HRESULT CheckFormat(const CMediaTypeRecord* pmt) override;
    HRESULT SetFormat(const CMediaTypeRecord* pmt) override;
    HRESULT ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) override;
    HRESULT FillSample(IMediaSample* pSample) override;
    HRESULT Notify(IBaseFilter* pSelf, Quality q) override;

    int32_t ImageWidth() const { return m_iImageWidth; }
    int32_t ImageHeight() const { return m_iImageHeight; }
    int64_t FramesFilled() { return m_clock.Count(); }

  private:
    CFrameClock m_clock;
    int32_t m_iImageWidth;
    int32_t m_iImageHeight;
};

class CAudioDummyPin : public CStreamingPin {
  public:
    CAudioDummyPin(HRESULT* phr, CSourceFilterCore* pFilter);

    HRESULT FormatAt(int iPosition, CMediaTypeRecord* pMediaType) override;
    HRESULT CheckFormat(const CMediaTypeRecord* pmt) override;
    HRESULT SetFormat(const CMediaTypeRecord* pmt) override;
    HRESULT ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) override;
    HRESULT FillSample(IMediaSample* pSample) override;
    HRESULT Notify(IBaseFilter* pSelf, Quality q) override;

    int64_t FramesFilled() { return m_clock.Count(); }

  private:
    CFrameClock m_clock;
};

class CVideoDummyFilter : public CSourceFilterCore {
  public:
    CVideoDummyFilter(IUnknown* pOuter, HRESULT* phr);
    CVideoDummyPin* OutPin() const { return m_pPin; }

    static CRefCountedObject* Create(IUnknown* pOuter, HRESULT* phr);

  private:
    // Owned by the pin array, which deletes it with the filter.
    CVideoDummyPin* m_pPin = nullptr;
};

class CAudioDummyFilter : public CSourceFilterCore {
  public:
    CAudioDummyFilter(IUnknown* pOuter, HRESULT* phr);
    CAudioDummyPin* OutPin() const { return m_pPin; }

    static CRefCountedObject* Create(IUnknown* pOuter, HRESULT* phr);

  private:
    // Owned by the pin array, which deletes it with the filter.
    CAudioDummyPin* m_pPin = nullptr;
};

}  // namespace kovel::stubcast
