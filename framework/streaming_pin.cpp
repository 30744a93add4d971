#include "streaming_pin.h"

#include <chrono>
#include <cstdio>
#include <thread>

#include "kovel/com.h"
#include "kovel/events.h"
#include "source_filter_core.h"

CStreamingPin::CStreamingPin(const char* pObjectName, HRESULT* phr, CSourceFilterCore* pFilter, LPCWSTR pName)
    : COutputPinCore(pObjectName, pFilter, phr, pName), m_pSourceFilter(pFilter) {
    const HRESULT hr = pFilter->AddPin(this);
    if (phr && (FAILED(hr) || m_pName || !pName))
        *phr = hr;
}

CStreamingPin::~CStreamingPin() {
    m_pSourceFilter->RemovePin(this);
    EndWorker();
}

HRESULT CStreamingPin::CheckFormat(const CMediaTypeRecord* pmt) {
    if (!pmt)
        return E_POINTER;
    CLockHolder lock(StateLock());
    CMediaTypeRecord mine;
    if (FAILED(SingleFormat(&mine)))
        return E_FAIL;
    return mine == *pmt ? S_OK : E_FAIL;
}

HRESULT CStreamingPin::FormatAt(int iPosition, CMediaTypeRecord* pMediaType) {
    if (!pMediaType)
        return E_POINTER;
    CLockHolder lock(StateLock());
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
    CLockHolder lock(StateLock());
    if (!m_pSourceFilter->IsStopped())
        return S_FALSE;
    if (!IsConnected())
        return S_OK;
    // One sequence: a restart from another thread sees either no worker or
    // one that is already delivering.
    CommandSequence sequence(this);
    HRESULT hr = COutputPinCore::Activate();
    if (FAILED(hr))
        return hr;
    if (!StartThread()) {
        EndWorker();
        return E_FAIL;
    }
    hr = SendCommand(WorkerCommand::Init);
    if (SUCCEEDED(hr))
        hr = SendCommand(WorkerCommand::Pause);
    if (FAILED(hr))
        EndWorker();
    return hr;
}

HRESULT CStreamingPin::Deactivate() {
    CLockHolder lock(StateLock());
    const HRESULT hr = EndWorker();
    return IsConnected() ? hr : S_OK;
}

HRESULT CStreamingPin::EndWorker() {
    CommandSequence sequence(this);
    HRESULT hr = S_OK;
    if (m_pAllocator)
        hr = COutputPinCore::Deactivate();
    if (ThreadExists()) {
        // A worker already gone answers nothing: the commands fail, the join
        // still collects it.
        for (const DWORD command : {WorkerCommand::Stop, WorkerCommand::Exit}) {
            const HRESULT hrCommand = SendCommand(command);
            if (FAILED(hrCommand) && SUCCEEDED(hr))
                hr = hrCommand;
        }
        JoinThread();
    }
    return hr;
}

DWORD CStreamingPin::ThreadBody() {
    for (;;) {
        const DWORD cmd = WaitCommand();
        if (cmd == WorkerCommand::Init)
            break;
        // A closer must always be able to end the thread.
        if (cmd == WorkerCommand::Exit) {
            Answer(S_OK);
            return 0;
        }
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
        } else if (cmd == WorkerCommand::Stop || cmd == WorkerCommand::Exit) {
            // Left pending for the thread body to answer: an Exit that finds
            // the loop running ends the loop as a Stop would, then the thread.
            return S_FALSE;
        } else {
            Answer(E_UNEXPECTED);
        }
    }
}

HRESULT CStreamingPin::RestartDelivery(const std::function<void()>& reposition) {
    CommandSequence sequence(this);
    if (!ThreadExists()) {
        if (reposition)
            reposition();
        return S_OK;
    }
    // The flush releases a worker blocked downstream, so that it sees the Stop.
    PushBeginFlush();
    SendCommand(WorkerCommand::Stop);
    if (reposition)
        reposition();
    PushEndFlush();
    SendCommand(WorkerCommand::Run);
    return S_OK;
}
