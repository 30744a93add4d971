#include "pin_core.h"

#include "kovel/com.h"
#include "media_filter_core.h"
#include "media_type_enumerator.h"
#include "wide_text.h"

using kovel::framework::WideCopyTruncated;
using kovel::framework::WideDuplicate;

namespace {
bool IsRefusal(HRESULT hr) {
    return hr == E_FAIL || hr == E_INVALIDARG || hr == VFW_E_TYPE_NOT_ACCEPTED;
}
}  // namespace

CPinCore::CPinCore(const char* pObjectName, CMediaFilterCore* pFilter, HRESULT* phr, LPCWSTR pName,
                   PIN_DIRECTION dir)
    : CRefCountedObject(pObjectName, nullptr), m_pFilter(pFilter), m_dir(dir) {
    if (pName) {
        m_pName = WideDuplicate(pName);
        if (!m_pName && phr)
            *phr = E_OUTOFMEMORY;
    }
}

CPinCore::~CPinCore() {
    if (m_Connected) {
        m_Connected->Release();
        m_Connected = nullptr;
    }
    delete[] m_pName;
}

HRESULT CPinCore::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IPin)
        return GetInterface(static_cast<IPin*>(this), ppv);
    if (riid == IID_IQualityControl)
        return GetInterface(static_cast<IQualityControl*>(this), ppv);
    if (riid == IID_IUnknown)
        return GetInterface(static_cast<IPin*>(this), ppv);
    return CRefCountedObject::NonDelegatingQueryInterface(riid, ppv);
}

// A pin has no count of its own: it lives as long as its filter.
ULONG CPinCore::NonDelegatingAddRef() {
    return m_pFilter->AddRef();
}

ULONG CPinCore::NonDelegatingRelease() {
    return m_pFilter->Release();
}

bool CPinCore::IsStopped() const {
    return m_pFilter->IsStopped();
}

CLockSection* CPinCore::StateLock() const {
    return m_pFilter->StateLock();
}

void CPinCore::IncrementTypeVersion() {
    m_TypeVersion.fetch_add(1);
}

HRESULT CPinCore::CheckFormatMapped(const CMediaTypeRecord* pmt) {
    const HRESULT hr = CheckFormat(pmt);
    if (hr == S_OK)
        return S_OK;
    if (SUCCEEDED(hr) || hr == E_FAIL || hr == E_INVALIDARG)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return hr;
}

HRESULT CPinCore::AttemptConnection(IPin* pReceivePin, const CMediaTypeRecord* pmt) {
    HRESULT hr = VetPeer(pReceivePin);
    if (FAILED(hr)) {
        ReleaseConnection();
        return hr;
    }
    hr = CheckFormatMapped(pmt);
    if (hr != S_OK) {
        // VetPeer may have taken interfaces from the peer: give them back.
        ReleaseConnection();
        return hr;
    }
    m_Connected = pReceivePin;
    m_Connected->AddRef();
    hr = SetFormat(pmt);
    if (SUCCEEDED(hr)) {
        hr = pReceivePin->ReceiveConnection(static_cast<IPin*>(this), pmt);
        if (SUCCEEDED(hr)) {
            hr = FinishConnection(pReceivePin);
            if (FAILED(hr))
                pReceivePin->Disconnect();
        }
    }
    if (FAILED(hr)) {
        ReleaseConnection();
        m_Connected->Release();
        m_Connected = nullptr;
        m_mt = CMediaTypeRecord();
        return hr;
    }
    return S_OK;
}

HRESULT CPinCore::TryMediaTypes(IPin* pReceivePin, const CMediaTypeRecord* pmt, IEnumMediaTypes* pEnum) {
    if (FAILED(pEnum->Reset()))
        return VFW_E_NO_ACCEPTABLE_TYPES;
    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    bool bRemembered = false;
    for (;;) {
        AM_MEDIA_TYPE* pFetched = nullptr;
        ULONG cFetched = 0;
        const HRESULT hrNext = pEnum->Next(1, &pFetched, &cFetched);
        if (hrNext != S_OK || cFetched != 1 || !pFetched) {
            if (pFetched)
                CMediaTypeRecord::DeleteTaskMemRecord(pFetched);
            break;
        }
        // Take over the fetched record; its task-memory shell goes at once.
        CMediaTypeRecord candidate;
        static_cast<AM_MEDIA_TYPE&>(candidate) = *pFetched;
        CoTaskMemFree(pFetched);

        HRESULT hr = VFW_E_NO_ACCEPTABLE_TYPES;
        if (!pmt || candidate.MatchesPartial(*pmt))
            hr = AttemptConnection(pReceivePin, &candidate);
        if (hr == S_OK)
            return S_OK;
        if (FAILED(hr) && !IsRefusal(hr) && !bRemembered) {
            hrFailure = hr;
            bRemembered = true;
        }
    }
    return hrFailure;
}

HRESULT CPinCore::AgreeMediaType(IPin* pReceivePin, const CMediaTypeRecord* pmt) {
    if (pmt && !pmt->IsPartiallySpecified())
        return AttemptConnection(pReceivePin, pmt);

    HRESULT hrFailure = VFW_E_NO_ACCEPTABLE_TYPES;
    for (int pass = 0; pass < 2; ++pass) {
        const bool bPeerTypes = (pass == 0) != m_bTryMyTypesFirst;
        IEnumMediaTypes* pEnum = nullptr;
        const HRESULT hrEnum = bPeerTypes ? pReceivePin->EnumMediaTypes(&pEnum) : EnumMediaTypes(&pEnum);
        if (FAILED(hrEnum) || !pEnum)
            continue;
        const HRESULT hr = TryMediaTypes(pReceivePin, pmt, pEnum);
        pEnum->Release();
        if (hr == S_OK)
            return S_OK;
        if (!IsRefusal(hr))
            hrFailure = hr;
    }
    return hrFailure;
}

HRESULT CPinCore::Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) {
    if (!pReceivePin)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive)
        return VFW_E_NOT_STOPPED;

    CMediaTypeRecord given;
    if (pmt) {
        if (FAILED(given.Set(*pmt)))
            return E_OUTOFMEMORY;
    }
    const HRESULT hr = AgreeMediaType(pReceivePin, pmt ? &given : nullptr);
    if (FAILED(hr)) {
        ReleaseConnection();
        return hr;
    }
    return S_OK;
}

HRESULT CPinCore::ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) {
    if (!pConnector || !pmt)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (m_Connected)
        return VFW_E_ALREADY_CONNECTED;
    if (!IsStopped() && !m_bCanReconnectWhenActive)
        return VFW_E_NOT_STOPPED;

    CMediaTypeRecord proposed;
    if (FAILED(proposed.Set(*pmt)))
        return E_OUTOFMEMORY;
    HRESULT hr = VetPeer(pConnector);
    if (FAILED(hr)) {
        ReleaseConnection();
        return hr;
    }
    hr = CheckFormatMapped(&proposed);
    if (hr != S_OK) {
        ReleaseConnection();
        return hr;
    }
    m_Connected = pConnector;
    m_Connected->AddRef();
    hr = SetFormat(&proposed);
    if (SUCCEEDED(hr))
        hr = FinishConnection(pConnector);
    if (FAILED(hr)) {
        ReleaseConnection();
        m_Connected->Release();
        m_Connected = nullptr;
        m_mt = CMediaTypeRecord();
        return hr;
    }
    return S_OK;
}

HRESULT CPinCore::Disconnect() {
    CLockHolder lock(StateLock());
    if (!IsStopped())
        return VFW_E_NOT_STOPPED;
    if (!m_Connected)
        return S_FALSE;
    const HRESULT hr = ReleaseConnection();
    if (FAILED(hr))
        return hr;
    m_Connected->Release();
    m_Connected = nullptr;
    m_mt = CMediaTypeRecord();
    return S_OK;
}

HRESULT CPinCore::ConnectedTo(IPin** ppPin) {
    if (!ppPin)
        return E_POINTER;
    CLockHolder lock(StateLock());
    *ppPin = m_Connected;
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    m_Connected->AddRef();
    return S_OK;
}

HRESULT CPinCore::ConnectionMediaType(AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (m_Connected)
        return CMediaTypeRecord::CopyMediaTypeContents(pmt, m_mt);
    std::memset(pmt, 0, sizeof(*pmt));
    pmt->bFixedSizeSamples = TRUE;
    pmt->lSampleSize = 1;
    return VFW_E_NOT_CONNECTED;
}

HRESULT CPinCore::QueryPinInfo(PIN_INFO* pInfo) {
    if (!pInfo)
        return E_POINTER;
    pInfo->pFilter = static_cast<IBaseFilter*>(m_pFilter);
    pInfo->pFilter->AddRef();
    WideCopyTruncated(pInfo->achName, MAX_PIN_NAME, m_pName);
    pInfo->dir = m_dir;
    return S_OK;
}

HRESULT CPinCore::QueryDirection(PIN_DIRECTION* pPinDir) {
    if (!pPinDir)
        return E_POINTER;
    *pPinDir = m_dir;
    return S_OK;
}

HRESULT CPinCore::QueryId(LPWSTR* Id) {
    if (!Id)
        return E_POINTER;
    *Id = nullptr;
    const size_t n = kovel::framework::WideLength(m_pName);
    auto* p = static_cast<WCHAR*>(CoTaskMemAlloc((n + 1) * sizeof(WCHAR)));
    if (!p)
        return E_OUTOFMEMORY;
    WideCopyTruncated(p, n + 1, m_pName);
    *Id = p;
    return S_OK;
}

HRESULT CPinCore::QueryAccept(const AM_MEDIA_TYPE* pmt) {
    if (!pmt)
        return E_POINTER;
    CMediaTypeRecord proposed;
    if (FAILED(proposed.Set(*pmt)))
        return E_OUTOFMEMORY;
    const HRESULT hr = CheckFormat(&proposed);
    return FAILED(hr) ? S_FALSE : hr;
}

HRESULT CPinCore::EnumMediaTypes(IEnumMediaTypes** ppEnum) {
    if (!ppEnum)
        return E_POINTER;
    *ppEnum = new (std::nothrow) CMediaTypeEnumerator(this, nullptr);
    return *ppEnum ? S_OK : E_OUTOFMEMORY;
}

HRESULT CPinCore::QueryInternalConnections(IPin**, ULONG*) {
    return E_NOTIMPL;
}

HRESULT CPinCore::EndOfStream() {
    return m_dir == PINDIR_OUTPUT ? E_UNEXPECTED : S_OK;
}
HRESULT CPinCore::BeginFlush() {
    return m_dir == PINDIR_OUTPUT ? E_UNEXPECTED : S_OK;
}
HRESULT CPinCore::EndFlush() {
    return m_dir == PINDIR_OUTPUT ? E_UNEXPECTED : S_OK;
}

HRESULT CPinCore::NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    CLockHolder lock(StateLock());
    m_tStart = tStart;
    m_tStop = tStop;
    m_dRate = dRate;
    return S_OK;
}

HRESULT CPinCore::Notify(IBaseFilter*, Quality) {
    return E_NOTIMPL;
}

HRESULT CPinCore::SetSink(IQualityControl* piqc) {
    CLockHolder lock(StateLock());
    m_pQSink = piqc;
    return S_OK;
}

HRESULT CPinCore::RunAt(REFERENCE_TIME) {
    return S_OK;
}

HRESULT CPinCore::SetFormat(const CMediaTypeRecord* pmt) {
    if (!pmt)
        return E_POINTER;
    return FAILED(m_mt.Set(*pmt)) ? E_OUTOFMEMORY : S_OK;
}

HRESULT CPinCore::VetPeer(IPin* pPeer) {
    return pPeer ? S_OK : E_POINTER;
}
HRESULT CPinCore::ReleaseConnection() {
    return S_OK;
}
HRESULT CPinCore::FinishConnection(IPin*) {
    return S_OK;
}
HRESULT CPinCore::FormatAt(int, CMediaTypeRecord*) {
    return E_UNEXPECTED;
}
