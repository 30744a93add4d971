#include <cstring>
#include <new>

#include "dummy_filters.h"
#include "kovel/formats.h"

namespace kovel::stubcast {

namespace {

// The part of a wave format every PCM block carries (everything but cbSize).
constexpr ULONG kPcmHeaderBytes = offsetof(WAVEFORMATEX, cbSize);

bool ReadWaveFormat(const AM_MEDIA_TYPE& mt, WAVEFORMATEX* pwfx) {
    if (!mt.pbFormat || mt.cbFormat < kPcmHeaderBytes)
        return false;
    std::memset(pwfx, 0, sizeof *pwfx);
    std::memcpy(pwfx, mt.pbFormat, mt.cbFormat < sizeof *pwfx ? mt.cbFormat : ULONG(sizeof *pwfx));
    return true;
}

}  // namespace

CAudioDummyPin::CAudioDummyPin(HRESULT* phr, CSourceFilterCore* pFilter)
    : CStreamingPin("Audio Dummy Pin", phr, pFilter, u"Out") {}

HRESULT CAudioDummyPin::FormatAt(int iPosition, CMediaTypeRecord* pMediaType) {
    if (!pMediaType)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (iPosition < 0)
        return E_INVALIDARG;
    if (iPosition > 0)
        return VFW_S_NO_MORE_ITEMS;

    WAVEFORMATEX wfx;
    std::memset(&wfx, 0, sizeof wfx);
    wfx.wFormatTag = WAVE_FORMAT_PCM;
    wfx.nChannels = 1;
    wfx.nSamplesPerSec = 8000;
    wfx.nAvgBytesPerSec = 8000;
    wfx.nBlockAlign = 1;
    wfx.wBitsPerSample = 8;
    wfx.cbSize = 0;
    if (!pMediaType->SetFormat(reinterpret_cast<const BYTE*>(&wfx), sizeof wfx))
        return E_OUTOFMEMORY;

    pMediaType->SetType(&MEDIATYPE_Audio);
    const GUID subtype = FourccSubtype(wfx.wFormatTag);
    pMediaType->SetSubtype(&subtype);
    pMediaType->SetFormatType(&FORMAT_WaveFormatEx);
    pMediaType->SetTemporalCompression(false);
    pMediaType->SetSampleSize(wfx.nBlockAlign);
    return S_OK;
}

HRESULT CAudioDummyPin::CheckFormat(const CMediaTypeRecord* pmt) {
    if (!pmt)
        return E_POINTER;
    if (*pmt->Type() != MEDIATYPE_Audio || !pmt->IsFixedSize())
        return E_INVALIDARG;
    if (*pmt->Subtype() != MEDIASUBTYPE_PCM)
        return E_INVALIDARG;
    // Any rate, channel count and sample width is fine, but the buffer size
    // comes from the sample width: the block must hold it, and it must give
    // at least one byte.
    WAVEFORMATEX wfx;
    if (!ReadWaveFormat(*pmt, &wfx) || wfx.wBitsPerSample < 8)
        return E_INVALIDARG;
    return S_OK;
}

HRESULT CAudioDummyPin::SetFormat(const CMediaTypeRecord* pmt) {
    CLockHolder lock(StateLock());
    return CStreamingPin::SetFormat(pmt);
}

HRESULT CAudioDummyPin::ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) {
    if (!pAlloc || !pProperties)
        return E_POINTER;
    CLockHolder lock(StateLock());
    WAVEFORMATEX wfx;
    if (!ReadWaveFormat(m_mt, &wfx) || wfx.wBitsPerSample < 8)
        return E_UNEXPECTED;
    return SetBufferProperties(pAlloc, pProperties, 1, LONG(wfx.wBitsPerSample / 8));
}

HRESULT CAudioDummyPin::FillSample(IMediaSample* pSample) {
    return m_clock.Stamp(pSample);
}

HRESULT CAudioDummyPin::Notify(IBaseFilter*, Quality) {
    return E_FAIL;
}

CAudioDummyFilter::CAudioDummyFilter(IUnknown* pOuter, HRESULT* phr)
    : CSourceFilterCore("Audio Dummy Filter", pOuter, CLSID_AudioDummyFilter) {
    HRESULT hr = S_OK;
    m_pPin = new (std::nothrow) CAudioDummyPin(&hr, this);
    if (!m_pPin)
        hr = E_OUTOFMEMORY;
    if (phr)
        *phr = hr;
}

CRefCountedObject* CAudioDummyFilter::Create(IUnknown* pOuter, HRESULT* phr) {
    HRESULT hr = S_OK;
    auto* pFilter = new (std::nothrow) CAudioDummyFilter(pOuter, &hr);
    if (!pFilter)
        hr = E_OUTOFMEMORY;
    if (phr)
        *phr = hr;
    return pFilter;
}

}  // namespace kovel::stubcast
