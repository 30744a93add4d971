#include "worker_thread.h"

#include <dlfcn.h>

#include "kovel/com.h"

CWorkerThread::CWorkerThread() = default;

CWorkerThread::~CWorkerThread() {
    JoinThread();
}

bool CWorkerThread::StartThread() {
    CLockHolder lock(&m_AccessLock);
    if (m_pThread.load())
        return false;
    m_bBodyEnded = false;
    m_EventSend.Reset();
    std::thread* pThread = nullptr;
    try {
        pThread = new std::thread(&CWorkerThread::StartRoutine, this);
    } catch (...) {
        delete pThread;
        return false;
    }
    m_pThread = pThread;
    return true;
}

HRESULT CWorkerThread::SendCommand(DWORD dwCommand) {
    CLockHolder lock(&m_AccessLock);
    // A thread whose body has returned will never answer.
    if (!m_pThread.load() || m_bBodyEnded)
        return E_FAIL;
    m_dwCommand = dwCommand;
    m_EventSend.Set();
    for (;;) {
        if (m_EventComplete.Wait(20))
            return m_dwReturnVal;
        if (m_bBodyEnded) {
            // The thread may have answered just before it ended.
            if (m_EventComplete.Check())
                return m_dwReturnVal;
            m_EventSend.Reset();
            return E_FAIL;
        }
    }
}

void CWorkerThread::JoinThread() {
    std::thread* pThread = m_pThread.exchange(nullptr);
    if (!pThread)
        return;
    if (pThread->joinable()) {
        if (pThread->get_id() == std::this_thread::get_id())
            pThread->detach();
        else
            pThread->join();
    }
    delete pThread;
}

DWORD CWorkerThread::WaitCommand() {
    m_EventSend.Wait();
    return m_dwCommand;
}

bool CWorkerThread::PeekCommand(DWORD* pCommand) {
    if (!m_EventSend.Check())
        return false;
    if (pCommand)
        *pCommand = m_dwCommand;
    return true;
}

void CWorkerThread::Answer(HRESULT hr) {
    m_dwReturnVal = hr;
    m_EventSend.Reset();
    m_EventComplete.Set();
}

void CWorkerThread::StartRoutine(CWorkerThread* pThis) {
    // The component library may not be loaded into every process that uses
    // the framework: look its apartment calls up at run time.
    using InitFn = HRESULT (*)(void*, DWORD);
    using UninitFn = void (*)();
    auto init = reinterpret_cast<InitFn>(dlsym(RTLD_DEFAULT, "CoInitializeEx"));
    auto uninit = reinterpret_cast<UninitFn>(dlsym(RTLD_DEFAULT, "CoUninitialize"));
    HRESULT hrInit = E_FAIL;
    if (init)
        hrInit = init(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE);
    pThis->ThreadBody();
    if (SUCCEEDED(hrInit) && uninit)
        uninit();
    pThis->m_bBodyEnded = true;
}
