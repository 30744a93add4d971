// A worker thread with a one-slot command protocol: a control thread sends
// a command and waits for the worker's answer.
#pragma once

#include <atomic>
#include <thread>

#include "locks.h"

// Commands a control thread sends to a worker (WorkerCommand::Stop, ...).
struct WorkerCommand {
    enum : DWORD { Init = 0, Pause = 1, Run = 2, Stop = 3, Exit = 4 };
};

class CWorkerThread {
  public:
    CWorkerThread();
    // Waits for a still-running thread to end.
    virtual ~CWorkerThread();

    CWorkerThread(const CWorkerThread&) = delete;
    CWorkerThread& operator=(const CWorkerThread&) = delete;

    // Control side. False if a thread already exists or cannot be started.
    bool StartThread();
    // Stores the command and waits for the answer; E_FAIL without a thread.
    HRESULT SendCommand(DWORD dwCommand);
    // Waits for the thread to end, if there is one.
    void JoinThread();
    bool ThreadExists() const { return m_pThread.load() != nullptr; }

    // Worker side.
    // Waits for a command; the command stays pending until answered.
    DWORD WaitCommand();
    // True (and the command) when one is pending; does not wait.
    bool PeekCommand(DWORD* pCommand);
    void Answer(HRESULT hr);

  protected:
    // Runs on the worker thread; its value is the thread's value.
    virtual DWORD ThreadBody() = 0;
    CLockSection m_WorkerLock;

  private:
    static void StartRoutine(CWorkerThread* pThis);

    CSignal m_EventSend{true};       // manual reset
    CSignal m_EventComplete{false};  // auto reset
    CLockSection m_AccessLock;
    std::atomic<DWORD> m_dwCommand{0};
    std::atomic<HRESULT> m_dwReturnVal{0};
    std::atomic<std::thread*> m_pThread{nullptr};
    std::atomic<DWORD> m_dwThreadValue{0};
    // Set when the thread body has returned, so a sender never waits on a thread that is gone.
    std::atomic<bool> m_bBodyEnded{false};
};
