// A worker thread with a one-slot command protocol: a control thread sends
// a command and waits for the worker's answer.
//
// Locks: the access lock serialises senders and thread creation. It is
// re-entrant, so a control thread may hold it (CommandSequence) across
// several commands to make them one step for every other sender. Lock
// order: the filter's state lock, then the access lock, then any lock of
// the derived class. The worker thread itself never takes the access lock.
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

    // Control side; each takes the access lock.
    // False if a thread already exists or cannot be started.
    bool StartThread();
    // Stores the command and waits for the answer; E_FAIL without a thread,
    // or when the thread ends without answering.
    HRESULT SendCommand(DWORD dwCommand);
    // Waits for the thread to end, if there is one. Does not take the access
    // lock: a closer must have told the thread to exit.
    void JoinThread();
    bool ThreadExists() const { return m_pThread.load() != nullptr; }

    // Worker side; no lock.
    // Waits for a command; the command stays pending until answered.
    DWORD WaitCommand();
    // True (and the command) when one is pending; does not wait.
    bool PeekCommand(DWORD* pCommand);
    void Answer(HRESULT hr);

  protected:
    // Holds the access lock for its scope, so that a sequence of commands
    // (and what is done between them) reaches the worker with no other
    // sender's command in between.
    class CommandSequence {
      public:
        explicit CommandSequence(CWorkerThread* pWorker) : m_hold(&pWorker->m_AccessLock) {}

      private:
        CLockHolder m_hold;
    };

    // Runs on the worker thread, which holds no lock of this object.
    virtual DWORD ThreadBody() = 0;

  private:
    static void StartRoutine(CWorkerThread* pThis);

    // The slot itself: written by one side, then handed over by the signals.
    CSignal m_EventSend{true};       // manual reset
    CSignal m_EventComplete{false};  // auto reset
    CLockSection m_AccessLock;
    std::atomic<DWORD> m_dwCommand{0};
    std::atomic<HRESULT> m_dwReturnVal{0};
    // Swapped atomically, so two closers cannot both join the thread.
    std::atomic<std::thread*> m_pThread{nullptr};
    // Set when the thread body has returned, so a sender never waits on a thread that is gone.
    std::atomic<bool> m_bBodyEnded{false};
};
