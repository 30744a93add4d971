#include <cstring>
#include <limits>
#include <new>

#include "display_size.h"
#include "dummy_filters.h"
#include "kovel/bitmap_subtype.h"
#include "kovel/formats.h"

namespace kovel::stubcast {

namespace {

struct VideoLayout {
    WORD bits;
    DWORD compression;
    DWORD masks[iMASK_COLORS];
};

// In the order they are offered: best picture first.
constexpr VideoLayout kVideoLayouts[kVideoFormatCount] = {
    {32, BI_RGB, {0, 0, 0}},
    {24, BI_RGB, {0, 0, 0}},
    {16, BI_BITFIELDS, {0xF800, 0x07E0, 0x001F}},
    {16, BI_BITFIELDS, {0x7C00, 0x03E0, 0x001F}},
    {8, BI_RGB, {0, 0, 0}},
};

bool IsOfferedSubtype(const GUID& subtype) {
    return subtype == MEDIASUBTYPE_RGB8 || subtype == MEDIASUBTYPE_RGB565 || subtype == MEDIASUBTYPE_RGB555 ||
           subtype == MEDIASUBTYPE_RGB24 || subtype == MEDIASUBTYPE_RGB32;
}

// The bitmap header of a video info block, or false when the block is
// missing or too short to hold one.
bool ReadHeader(const AM_MEDIA_TYPE& mt, BITMAPINFOHEADER* pHeader) {
    if (!mt.pbFormat || mt.cbFormat < sizeof(VIDEOINFOHEADER))
        return false;
    std::memcpy(pHeader, mt.pbFormat + offsetof(VIDEOINFOHEADER, bmiHeader), sizeof(BITMAPINFOHEADER));
    return true;
}

}  // namespace

CVideoDummyPin::CVideoDummyPin(HRESULT* phr, CSourceFilterCore* pFilter)
    : CStreamingPin("Video Dummy Pin", phr, pFilter, u"Out") {
    const DisplaySize size = QueryDisplaySize();
    m_iImageWidth = size.width;
    m_iImageHeight = size.height;
}

HRESULT CVideoDummyPin::FormatAt(int iPosition, CMediaTypeRecord* pMediaType) {
    if (!pMediaType)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (iPosition < 0)
        return E_INVALIDARG;
    if (iPosition >= kVideoFormatCount)
        return VFW_S_NO_MORE_ITEMS;
    const VideoLayout& layout = kVideoLayouts[iPosition];

    VIDEOINFO vi;
    std::memset(&vi, 0, sizeof vi);
    BITMAPINFOHEADER& bih = vi.bmiHeader;
    bih.biSize = sizeof(BITMAPINFOHEADER);
    bih.biWidth = m_iImageWidth;
    bih.biHeight = m_iImageHeight;  // positive: bottom-up rows
    bih.biPlanes = 1;
    bih.biBitCount = layout.bits;
    bih.biCompression = layout.compression;
    bih.biSizeImage = DibRowStride(m_iImageWidth, layout.bits) * DWORD(m_iImageHeight);
    if (layout.bits == 8)
        bih.biClrUsed = iPALETTE_COLORS;  // an all-black palette
    if (layout.compression == BI_BITFIELDS)
        std::memcpy(vi.dwBitMasks, layout.masks, sizeof layout.masks);

    if (!pMediaType->SetFormat(reinterpret_cast<const BYTE*>(&vi), sizeof vi))
        return E_OUTOFMEMORY;
    pMediaType->SetType(&MEDIATYPE_Video);
    const GUID subtype = BitmapSubtype(bih, layout.compression == BI_BITFIELDS ? layout.masks : nullptr);
    pMediaType->SetSubtype(&subtype);
    pMediaType->SetFormatType(&FORMAT_VideoInfo);
    pMediaType->SetTemporalCompression(false);
    pMediaType->SetSampleSize(bih.biSizeImage);
    return S_OK;
}

HRESULT CVideoDummyPin::CheckFormat(const CMediaTypeRecord* pmt) {
    if (!pmt)
        return E_POINTER;
    if (*pmt->Type() != MEDIATYPE_Video || !pmt->IsFixedSize())
        return E_INVALIDARG;
    if (!IsOfferedSubtype(*pmt->Subtype()))
        return E_INVALIDARG;
    BITMAPINFOHEADER bih;
    if (!ReadHeader(*pmt, &bih))
        return E_INVALIDARG;
    // Top-down pictures are refused even when their size matches.
    if (bih.biHeight < 0)
        return E_INVALIDARG;
    if (bih.biWidth != m_iImageWidth || bih.biHeight != m_iImageHeight)
        return E_INVALIDARG;
    return S_OK;
}

HRESULT CVideoDummyPin::SetFormat(const CMediaTypeRecord* pmt) {
    CLockHolder lock(StateLock());
    HRESULT hr = CStreamingPin::SetFormat(pmt);
    if (FAILED(hr))
        return hr;
    BITMAPINFOHEADER bih;
    if (!ReadHeader(m_mt, &bih))
        return E_UNEXPECTED;
    switch (bih.biBitCount) {
        case 8:
        case 16:
        case 24:
        case 32:
            return S_OK;
        default:
            return E_INVALIDARG;
    }
}

HRESULT CVideoDummyPin::ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) {
    if (!pAlloc || !pProperties)
        return E_POINTER;
    CLockHolder lock(StateLock());
    BITMAPINFOHEADER bih;
    if (!ReadHeader(m_mt, &bih))
        return E_UNEXPECTED;
    // A peer's header may carry 0 (allowed for uncompressed pictures) or a
    // short image size: the buffer must still hold the whole picture.
    const int64_t needed = int64_t(DibRowStride(bih.biWidth, bih.biBitCount)) *
                           (bih.biHeight < 0 ? -int64_t(bih.biHeight) : int64_t(bih.biHeight));
    const int64_t size = needed > int64_t(bih.biSizeImage) ? needed : int64_t(bih.biSizeImage);
    if (size <= 0 || size > std::numeric_limits<LONG>::max())
        return E_INVALIDARG;
    return SetBufferProperties(pAlloc, pProperties, 1, LONG(size));
}

HRESULT CVideoDummyPin::FillSample(IMediaSample* pSample) {
    return m_clock.Stamp(pSample);
}

HRESULT CVideoDummyPin::Notify(IBaseFilter*, Quality) {
    return E_FAIL;
}

CVideoDummyFilter::CVideoDummyFilter(IUnknown* pOuter, HRESULT* phr)
    : CSourceFilterCore("Video Dummy Filter", pOuter, CLSID_VideoDummyFilter) {
    HRESULT hr = S_OK;
    m_pPin = new (std::nothrow) CVideoDummyPin(&hr, this);
    if (!m_pPin)
        hr = E_OUTOFMEMORY;
    if (phr)
        *phr = hr;
}

CRefCountedObject* CVideoDummyFilter::Create(IUnknown* pOuter, HRESULT* phr) {
    HRESULT hr = S_OK;
    auto* pFilter = new (std::nothrow) CVideoDummyFilter(pOuter, &hr);
    if (!pFilter)
        hr = E_OUTOFMEMORY;
    if (phr)
        *phr = hr;
    return pFilter;
}

}  // namespace kovel::stubcast
