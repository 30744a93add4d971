#include "media_type_enumerator.h"

#include <climits>

#include "kovel/com.h"

CMediaTypeEnumerator::CMediaTypeEnumerator(CPinCore* pPin, const CMediaTypeEnumerator* pCopyFrom)
    : CRefCountedObject("media type enumerator", nullptr),
      m_Position(pCopyFrom ? pCopyFrom->m_Position : 0),
      m_pPin(pPin),
      m_Version(pCopyFrom ? pCopyFrom->m_Version : pPin->TypeVersion()) {
    m_pPin->AddRef();
    NonDelegatingAddRef();
}

CMediaTypeEnumerator::~CMediaTypeEnumerator() {
    m_pPin->Release();
}

HRESULT CMediaTypeEnumerator::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IEnumMediaTypes || riid == IID_IUnknown)
        return GetInterface(static_cast<IEnumMediaTypes*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT CMediaTypeEnumerator::Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) {
    if (!ppMediaTypes)
        return E_POINTER;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    if (!pcFetched && cMediaTypes > 1)
        return E_INVALIDARG;
    ULONG cFetched = 0;
    while (cFetched < cMediaTypes && m_Position < INT_MAX) {
        CMediaTypeRecord record;
        const HRESULT hr = m_pPin->FormatAt(m_Position++, &record);
        if (hr != S_OK)
            break;
        auto* pOut = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
        if (!pOut)
            break;
        // The format block and the extra interface move to the caller.
        *pOut = record;
        record.pbFormat = nullptr;
        record.cbFormat = 0;
        record.pUnk = nullptr;
        ppMediaTypes[cFetched++] = pOut;
    }
    if (pcFetched)
        *pcFetched = cFetched;
    return cFetched == cMediaTypes ? S_OK : S_FALSE;
}

HRESULT CMediaTypeEnumerator::Skip(ULONG cMediaTypes) {
    if (cMediaTypes == 0)
        return S_OK;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    const int64_t next = int64_t(m_Position) + cMediaTypes;
    m_Position = next > INT_MAX ? INT_MAX : int(next);
    CMediaTypeRecord record;
    return m_pPin->FormatAt(m_Position - 1, &record) == S_OK ? S_OK : S_FALSE;
}

HRESULT CMediaTypeEnumerator::Reset() {
    m_Position = 0;
    m_Version = m_pPin->TypeVersion();
    return S_OK;
}

HRESULT CMediaTypeEnumerator::Clone(IEnumMediaTypes** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    *ppEnum = new (std::nothrow) CMediaTypeEnumerator(m_pPin, this);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}
