#include "media_type_record.h"

#include "kovel/com.h"

CMediaTypeRecord::CMediaTypeRecord() {
    std::memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE));
    bFixedSizeSamples = TRUE;
    lSampleSize = 1;
}

CMediaTypeRecord::CMediaTypeRecord(const CMediaTypeRecord& other) : CMediaTypeRecord() {
    CopyMediaTypeContents(this, other);
}

CMediaTypeRecord::CMediaTypeRecord(const AM_MEDIA_TYPE& other, HRESULT* phr) : CMediaTypeRecord() {
    const HRESULT hr = CopyMediaTypeContents(this, other);
    if (phr)
        *phr = hr;
}

CMediaTypeRecord::~CMediaTypeRecord() {
    Free();
}

CMediaTypeRecord& CMediaTypeRecord::operator=(const CMediaTypeRecord& other) {
    Set(other);
    return *this;
}

CMediaTypeRecord& CMediaTypeRecord::operator=(const AM_MEDIA_TYPE& other) {
    Set(other);
    return *this;
}

HRESULT CMediaTypeRecord::Set(const AM_MEDIA_TYPE& other) {
    if (&other == static_cast<const AM_MEDIA_TYPE*>(this))
        return S_OK;
    Free();
    return CopyMediaTypeContents(this, other);
}

bool CMediaTypeRecord::Equals(const AM_MEDIA_TYPE& other) const {
    if (majortype != other.majortype || subtype != other.subtype || formattype != other.formattype)
        return false;
    if (cbFormat != other.cbFormat)
        return false;
    if (cbFormat == 0)
        return true;
    if (!pbFormat || !other.pbFormat)
        return pbFormat == other.pbFormat;
    return std::memcmp(pbFormat, other.pbFormat, cbFormat) == 0;
}

bool CMediaTypeRecord::IsPartiallySpecified() const {
    return majortype == GUID_NULL || formattype == GUID_NULL;
}

bool CMediaTypeRecord::MatchesPartial(const AM_MEDIA_TYPE& p) const {
    if (p.majortype != GUID_NULL && majortype != p.majortype)
        return false;
    if (p.subtype != GUID_NULL && subtype != p.subtype)
        return false;
    if (p.formattype != GUID_NULL) {
        if (formattype != p.formattype || cbFormat != p.cbFormat)
            return false;
        if (cbFormat != 0) {
            if (!pbFormat || !p.pbFormat)
                return false;
            if (std::memcmp(pbFormat, p.pbFormat, cbFormat) != 0)
                return false;
        }
    }
    return true;
}

void CMediaTypeRecord::SetSampleSize(ULONG size) {
    if (size == 0) {
        bFixedSizeSamples = FALSE;
    } else {
        bFixedSizeSamples = TRUE;
        lSampleSize = size;
    }
}

BYTE* CMediaTypeRecord::AllocFormatBuffer(ULONG cb) {
    if (cb == cbFormat && pbFormat)
        return pbFormat;
    auto* p = static_cast<BYTE*>(CoTaskMemAlloc(cb == 0 ? 1 : cb));
    if (!p)
        return cbFormat >= cb ? pbFormat : nullptr;
    if (pbFormat)
        CoTaskMemFree(pbFormat);
    pbFormat = p;
    cbFormat = cb;
    return pbFormat;
}

bool CMediaTypeRecord::SetFormat(const BYTE* pFormat, ULONG cb) {
    if (cb == 0) {
        if (pbFormat)
            CoTaskMemFree(pbFormat);
        pbFormat = nullptr;
        cbFormat = 0;
        return true;
    }
    if (!pFormat)
        return false;
    BYTE* p = AllocFormatBuffer(cb);
    // The fallback of AllocFormatBuffer may hand back a larger block; the size must match exactly here.
    if (!p || cbFormat != cb)
        return false;
    std::memcpy(p, pFormat, cb);
    return true;
}

void CMediaTypeRecord::FreeMediaTypeContents(AM_MEDIA_TYPE& mt) {
    if (mt.pbFormat)
        CoTaskMemFree(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    if (mt.pUnk) {
        IUnknown* p = mt.pUnk;
        mt.pUnk = nullptr;
        p->Release();
    }
}

HRESULT CMediaTypeRecord::CopyMediaTypeContents(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE& src) {
    *dst = src;
    dst->pbFormat = nullptr;
    if (dst->pUnk)
        dst->pUnk->AddRef();
    if (src.cbFormat == 0 || !src.pbFormat) {
        // A size without a block is not a format block: keep the copy consistent.
        dst->cbFormat = 0;
        return S_OK;
    }
    dst->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(src.cbFormat));
    if (!dst->pbFormat) {
        dst->cbFormat = 0;
        return E_OUTOFMEMORY;
    }
    std::memcpy(dst->pbFormat, src.pbFormat, src.cbFormat);
    return S_OK;
}

AM_MEDIA_TYPE* CMediaTypeRecord::CreateTaskMemCopy(const AM_MEDIA_TYPE& src) {
    auto* p = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (!p)
        return nullptr;
    if (FAILED(CopyMediaTypeContents(p, src))) {
        FreeMediaTypeContents(*p);
        CoTaskMemFree(p);
        return nullptr;
    }
    return p;
}

void CMediaTypeRecord::DeleteTaskMemRecord(AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return;
    FreeMediaTypeContents(*pmt);
    CoTaskMemFree(pmt);
}
