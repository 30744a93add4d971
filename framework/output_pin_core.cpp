#include "output_pin_core.h"

#include "kovel/com.h"

COutputPinCore::COutputPinCore(const char* pObjectName, CMediaFilterCore* pFilter, HRESULT* phr,
                               LPCWSTR pName)
    : CPinCore(pObjectName, pFilter, phr, pName, PINDIR_OUTPUT) {}

COutputPinCore::~COutputPinCore() {
    if (m_pAllocator)
        m_pAllocator->Release();
    if (m_pInputPin)
        m_pInputPin->Release();
}

HRESULT COutputPinCore::VetPeer(IPin* pPeer) {
    HRESULT hr = CPinCore::VetPeer(pPeer);
    if (FAILED(hr))
        return hr;
    PIN_DIRECTION dir = PINDIR_INPUT;
    hr = pPeer->QueryDirection(&dir);
    if (FAILED(hr))
        return hr;
    if (dir == m_dir)
        return VFW_E_INVALID_DIRECTION;
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    IMemInputPin* pInput = nullptr;
    hr = pPeer->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&pInput));
    if (FAILED(hr))
        return hr;
    if (!pInput)
        return E_NOINTERFACE;
    m_pInputPin = pInput;
    return S_OK;
}

HRESULT COutputPinCore::FinishConnection(IPin*) {
    if (!m_pInputPin)
        return E_UNEXPECTED;
    if (m_pAllocator) {
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    return NegotiateAllocator(m_pInputPin, &m_pAllocator);
}

HRESULT COutputPinCore::ReleaseConnection() {
    if (m_pAllocator) {
        const HRESULT hr = m_pAllocator->Decommit();
        if (FAILED(hr))
            return hr;
        m_pAllocator->Release();
        m_pAllocator = nullptr;
    }
    if (m_pInputPin) {
        m_pInputPin->Release();
        m_pInputPin = nullptr;
    }
    return S_OK;
}

HRESULT COutputPinCore::Activate() {
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Commit();
}

HRESULT COutputPinCore::Deactivate() {
    if (!m_pAllocator)
        return VFW_E_NO_ALLOCATOR;
    return m_pAllocator->Decommit();
}

HRESULT COutputPinCore::NegotiateAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc) {
    if (!pPin || !ppAlloc)
        return E_POINTER;
    *ppAlloc = nullptr;
    ALLOCATOR_PROPERTIES prop{};
    pPin->GetAllocatorRequirements(&prop);
    if (prop.cbAlign == 0)
        prop.cbAlign = 1;

    // Sizes and offers the allocator just obtained (`hr` says how that went);
    // on failure lets it go again.
    auto offer = [&](HRESULT hr) {
        if (SUCCEEDED(hr) && !*ppAlloc)
            hr = E_NOINTERFACE;
        if (SUCCEEDED(hr))
            hr = ChooseBufferSize(*ppAlloc, &prop);
        if (SUCCEEDED(hr))
            hr = pPin->NotifyAllocator(*ppAlloc, FALSE);
        if (SUCCEEDED(hr))
            return S_OK;
        if (*ppAlloc) {
            (*ppAlloc)->Release();
            *ppAlloc = nullptr;
        }
        return hr;
    };
    // The input pin's own allocator first, then ours.
    if (SUCCEEDED(offer(pPin->GetAllocator(ppAlloc))))
        return S_OK;
    return offer(CreateDefaultAllocator(ppAlloc));
}

HRESULT COutputPinCore::SetBufferProperties(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties,
                                            LONG cBuffers, LONG cbBuffer) {
    if (!pAlloc || !pProperties)
        return E_POINTER;
    pProperties->cBuffers = cBuffers;
    pProperties->cbBuffer = cbBuffer;
    ALLOCATOR_PROPERTIES actual{};
    const HRESULT hr = pAlloc->SetProperties(pProperties, &actual);
    if (FAILED(hr))
        return hr;
    if (actual.cbBuffer < pProperties->cbBuffer)
        return E_FAIL;
    return S_OK;
}

HRESULT COutputPinCore::AcquireSample(IMediaSample** ppSample, REFERENCE_TIME* pStart, REFERENCE_TIME* pStop,
                                      DWORD dwFlags) {
    if (!ppSample)
        return E_POINTER;
    *ppSample = nullptr;
    if (!m_pAllocator)
        return E_NOINTERFACE;
    return m_pAllocator->GetBuffer(ppSample, pStart, pStop, dwFlags);
}

HRESULT COutputPinCore::PushSample(IMediaSample* pSample) {
    if (!m_pInputPin)
        return VFW_E_NOT_CONNECTED;
    return m_pInputPin->Receive(pSample);
}

HRESULT COutputPinCore::CreateDefaultAllocator(IMemAllocator** ppAlloc) {
    if (!ppAlloc)
        return E_POINTER;
    *ppAlloc = nullptr;
    return CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                            reinterpret_cast<void**>(ppAlloc));
}

HRESULT COutputPinCore::PushEndOfStream() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->EndOfStream();
}

HRESULT COutputPinCore::PushBeginFlush() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->BeginFlush();
}

HRESULT COutputPinCore::PushEndFlush() {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->EndFlush();
}

HRESULT COutputPinCore::PushNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) {
    if (!m_Connected)
        return VFW_E_NOT_CONNECTED;
    return m_Connected->NewSegment(tStart, tStop, dRate);
}
