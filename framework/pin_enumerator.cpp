#include "pin_enumerator.h"

#include <algorithm>

#include "pin_core.h"

CPinEnumerator::CPinEnumerator(CMediaFilterCore* pFilter, const CPinEnumerator* pCopyFrom)
    : CRefCountedObject("pin enumerator", nullptr), m_pFilter(pFilter) {
    m_pFilter->AddRef();
    if (pCopyFrom) {
        m_Position = pCopyFrom->m_Position;
        m_PinCount = pCopyFrom->m_PinCount;
        m_Version = pCopyFrom->m_Version;
        m_PinCache = pCopyFrom->m_PinCache;
    } else {
        m_PinCount = m_pFilter->PinCount();
        m_Version = m_pFilter->PinVersion();
    }
    NonDelegatingAddRef();
}

CPinEnumerator::~CPinEnumerator() {
    m_pFilter->Release();
}

HRESULT CPinEnumerator::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IEnumPins || riid == IID_IUnknown)
        return GetInterface(static_cast<IEnumPins*>(this), ppv);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

void CPinEnumerator::Refresh() {
    m_Version = m_pFilter->PinVersion();
    m_PinCount = m_pFilter->PinCount();
    m_Position = 0;
}

HRESULT CPinEnumerator::Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) {
    if (!ppPins)
        return E_POINTER;
    if (!pcFetched && cPins > 1)
        return E_INVALIDARG;
    // A changed pin set restarts the walk; the cache keeps pins already handed out from coming again.
    if (AreWeOutOfSync())
        Refresh();
    ULONG cFetched = 0;
    while (cFetched < cPins && m_Position < m_PinCount) {
        CPinCore* pPin = m_pFilter->PinAt(m_Position++);
        if (!pPin) {
            for (ULONG i = 0; i < cFetched; ++i) {
                ppPins[i]->Release();
                ppPins[i] = nullptr;
            }
            if (pcFetched)
                *pcFetched = 0;
            return VFW_E_ENUM_OUT_OF_SYNC;
        }
        if (std::find(m_PinCache.begin(), m_PinCache.end(), pPin) != m_PinCache.end())
            continue;
        IPin* pOut = static_cast<IPin*>(pPin);
        pOut->AddRef();
        ppPins[cFetched++] = pOut;
        m_PinCache.push_back(pPin);
    }
    if (pcFetched)
        *pcFetched = cFetched;
    return cFetched == cPins ? S_OK : S_FALSE;
}

HRESULT CPinEnumerator::Skip(ULONG cPins) {
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    const int64_t left = int64_t(m_PinCount) - m_Position;
    if (left < int64_t(cPins))
        return S_FALSE;
    m_Position += int(cPins);
    return S_OK;
}

HRESULT CPinEnumerator::Reset() {
    Refresh();
    m_PinCache.clear();
    return S_OK;
}

HRESULT CPinEnumerator::Clone(IEnumPins** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = nullptr;
    if (AreWeOutOfSync())
        return VFW_E_ENUM_OUT_OF_SYNC;
    *ppEnum = new (std::nothrow) CPinEnumerator(m_pFilter, this);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}
