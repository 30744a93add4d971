#include "source_filter_core.h"

#include "streaming_pin.h"

namespace {
// Identifiers are at most three decimal digits.
constexpr int kMaxPins = 999;
}  // namespace

CSourceFilterCore::CSourceFilterCore(const char* pObjectName, IUnknown* pOuter, REFCLSID clsid)
    : CMediaFilterCore(pObjectName, pOuter, clsid) {}

CSourceFilterCore::~CSourceFilterCore() {
    // No worker may outlive the filter.
    Stop();
    // The array is taken first, so each pin is deleted exactly once whatever
    // its destructor does (its RemovePin then finds nothing).
    CStreamingPin** pins;
    int count;
    {
        CLockHolder lock(StateLock());
        pins = m_paStreams;
        count = m_iPins;
        m_paStreams = nullptr;
        m_iPins = 0;
    }
    while (count > 0) delete pins[--count];
    delete[] pins;
}

int CSourceFilterCore::PinCount() {
    CLockHolder lock(StateLock());
    return m_iPins;
}

CPinCore* CSourceFilterCore::PinAt(int n) {
    CLockHolder lock(StateLock());
    if (n < 0 || n >= m_iPins)
        return nullptr;
    return m_paStreams[n];
}

HRESULT CSourceFilterCore::FindPin(LPCWSTR Id, IPin** ppPin) {
    if (!ppPin)
        return E_POINTER;
    *ppPin = nullptr;
    if (!Id)
        return E_POINTER;
    // Leading decimal digits, as a C conversion would read them; anything else is 0.
    int64_t value = 0;
    for (size_t i = 0; Id[i] >= u'0' && Id[i] <= u'9'; ++i) {
        value = value * 10 + (Id[i] - u'0');
        if (value > kMaxPins + 1)
            break;
    }
    CLockHolder lock(StateLock());
    CPinCore* pPin = value > 0 && value <= kMaxPins ? PinAt(int(value - 1)) : nullptr;
    if (!pPin)
        return VFW_E_NOT_FOUND;
    *ppPin = static_cast<IPin*>(pPin);
    (*ppPin)->AddRef();
    return S_OK;
}

HRESULT CSourceFilterCore::AddPin(CStreamingPin* pPin) {
    CLockHolder lock(StateLock());
    if (!pPin || pPin->SourceFilter() != this || IndexOfPin(pPin) >= 0)
        return E_INVALIDARG;
    if (m_iPins >= kMaxPins)
        return E_FAIL;
    auto** pNew = new (std::nothrow) CStreamingPin*[m_iPins + 1];
    if (!pNew)
        return E_OUTOFMEMORY;
    for (int i = 0; i < m_iPins; ++i) pNew[i] = m_paStreams[i];
    pNew[m_iPins] = pPin;
    delete[] m_paStreams;
    m_paStreams = pNew;
    ++m_iPins;
    IncrementPinVersion();
    return S_OK;
}

HRESULT CSourceFilterCore::RemovePin(CStreamingPin* pPin) {
    CLockHolder lock(StateLock());
    const int index = IndexOfPin(pPin);
    if (index < 0)
        return S_FALSE;
    if (m_iPins == 1) {
        delete[] m_paStreams;
        m_paStreams = nullptr;
    } else {
        for (int i = index; i + 1 < m_iPins; ++i) m_paStreams[i] = m_paStreams[i + 1];
    }
    --m_iPins;
    IncrementPinVersion();
    return S_OK;
}

int CSourceFilterCore::IndexOfPin(const CStreamingPin* pPin) {
    CLockHolder lock(StateLock());
    for (int i = 0; i < m_iPins; ++i)
        if (m_paStreams[i] == pPin)
            return i;
    return -1;
}
