#include "streaming_pin.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "kovel/com.h"
#include "kovel/events.h"
#include "source_filter_core.h"

CStreamingPin::CStreamingPin(const char* pObjectName, HRESULT* phr, CSourceFilterCore* pFilter, LPCWSTR pName)
    : COutputPinCore(pObjectName, pFilter, pFilter->StateLock(), phr, pName), m_pSourceFilter(pFilter) {
    const HRESULT hr = pFilter->AddPin(this);
    if (phr && (FAILED(hr) || m_pName || !pName))
        *phr = hr;
}

CStreamingPin::~CStreamingPin() {
    m_pSourceFilter->RemovePin(this);
    // A worker left running by a filter destroyed without Stop must not outlive the pin.
    if (ThreadExists()) {
        if (m_pAllocator)
            m_pAllocator->Decommit();
        SendCommand(WorkerCommand::Stop);
        SendCommand(WorkerCommand::Exit);
        JoinThread();
    }
}

HRESULT CStreamingPin::CheckFormat(const CMediaTypeRecord* pmt) {
    if (!pmt)
        return E_POINTER;
    CLockHolder lock(m_pLock);
    CMediaTypeRecord mine;
    if (FAILED(SingleFormat(&mine)))
        return E_FAIL;
    return mine == *pmt ? S_OK : E_FAIL;
}

HRESULT CStreamingPin::FormatAt(int iPosition, CMediaTypeRecord* pMediaType) {
    if (!pMediaType)
        return E_POINTER;
    CLockHolder lock(m_pLock);
    if (iPosition < 0)
        return E_INVALIDARG;
    if (iPosition > 0)
        return VFW_S_NO_MORE_ITEMS;
    return SingleFormat(pMediaType);
}

HRESULT CStreamingPin::SingleFormat(CMediaTypeRecord*) {
    return E_UNEXPECTED;
}

HRESULT CStreamingPin::QueryId(LPWSTR* Id) {
    if (!Id)
        return E_POINTER;
    *Id = nullptr;
    const int index = m_pSourceFilter->IndexOfPin(this);
    if (index < 0)
        return VFW_E_NOT_FOUND;
    const int number = index + 1;
    if (number > 999)
        return VFW_E_NOT_FOUND;
    auto* p = static_cast<WCHAR*>(CoTaskMemAlloc(4 * sizeof(WCHAR)));
    if (!p)
        return E_OUTOFMEMORY;
    char digits[4];
    const int n = std::snprintf(digits, sizeof digits, "%d", number);
    for (int i = 0; i < n; ++i) p[i] = WCHAR(digits[i]);
    p[n] = 0;
    *Id = p;
    return S_OK;
}

HRESULT CStreamingPin::Activate() {
    CLockHolder lock(m_pLock);
    if (!m_pSourceFilter->IsStopped())
        return S_FALSE;
    if (!IsConnected())
        return S_OK;
    HRESULT hr = COutputPinCore::Activate();
    if (FAILED(hr))
        return hr;
    if (!StartThread()) {
        COutputPinCore::Deactivate();
        return E_FAIL;
    }
    hr = SendCommand(WorkerCommand::Init);
    if (FAILED(hr)) {
        // The worker has ended: collect it so a later activation can start afresh.
        JoinThread();
        COutputPinCore::Deactivate();
        return hr;
    }
    return SendCommand(WorkerCommand::Pause);
}

HRESULT CStreamingPin::Deactivate() {
    CLockHolder lock(m_pLock);
    if (!IsConnected())
        return S_OK;
    // Decommitting first releases a worker blocked in get-buffer.
    HRESULT hr = COutputPinCore::Deactivate();
    if (FAILED(hr))
        return hr;
    if (ThreadExists()) {
        hr = SendCommand(WorkerCommand::Stop);
        if (FAILED(hr))
            return hr;
        hr = SendCommand(WorkerCommand::Exit);
        if (FAILED(hr))
            return hr;
        JoinThread();
    }
    return S_OK;
}

DWORD CStreamingPin::ThreadBody() {
    for (;;) {
        const DWORD cmd = WaitCommand();
        if (cmd == WorkerCommand::Init)
            break;
        Answer(E_UNEXPECTED);
    }
    HRESULT hr = OnWorkerStart();
    if (FAILED(hr)) {
        OnWorkerStop();
        Answer(hr);
        return 1;
    }
    Answer(S_OK);
    for (bool bExit = false; !bExit;) {
        const DWORD cmd = WaitCommand();
        switch (cmd) {
            case WorkerCommand::Pause:
            case WorkerCommand::Run:
                Answer(S_OK);
                DeliveryLoop();
                break;
            case WorkerCommand::Stop:
                Answer(S_OK);
                break;
            case WorkerCommand::Exit:
                Answer(S_OK);
                bExit = true;
                break;
            default:
                Answer(E_NOTIMPL);
                break;
        }
    }
    hr = OnWorkerStop();
    return FAILED(hr) ? 1 : 0;
}

HRESULT CStreamingPin::DeliveryLoop() {
    OnDeliveryStart();
    for (;;) {
        DWORD cmd = 0;
        while (!PeekCommand(&cmd)) {
            IMediaSample* pSample = nullptr;
            HRESULT hr = AcquireSample(&pSample, nullptr, nullptr, 0);
            if (FAILED(hr) || !pSample) {
                // A decommitted allocator or a pending command: look again shortly.
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            hr = FillSample(pSample);
            if (hr == S_FALSE) {
                pSample->Release();
                PushEndOfStream();
                return S_OK;
            }
            if (FAILED(hr)) {
                pSample->Release();
                PushEndOfStream();
                m_pSourceFilter->NotifyEvent(EC_ERRORABORT, LONG_PTR(hr), 0);
                return hr;
            }
            hr = PushSample(pSample);
            pSample->Release();
            // Downstream refused, is flushing or failed: end quietly.
            if (hr != S_OK)
                return S_OK;
        }
        if (cmd == WorkerCommand::Run || cmd == WorkerCommand::Pause) {
            Answer(S_OK);
        } else if (cmd == WorkerCommand::Stop) {
            // Left pending for the thread body to answer.
            return S_FALSE;
        } else {
            Answer(E_UNEXPECTED);
        }
    }
}

HRESULT CStreamingPin::RestartDelivery() {
    if (!ThreadExists())
        return S_OK;
    PushBeginFlush();
    SendCommand(WorkerCommand::Stop);
    PushEndFlush();
    SendCommand(WorkerCommand::Run);
    return S_OK;
}
