// Re-entrant lock, scoped holder and event signal used throughout the framework.
#pragma once

#include <condition_variable>
#include <mutex>

#include "kovel/types.h"

// Re-entrant mutual exclusion: the same thread may take it again.
class CLockSection {
  public:
    CLockSection() = default;
    CLockSection(const CLockSection&) = delete;
    CLockSection& operator=(const CLockSection&) = delete;

    void Lock() { m_mutex.lock(); }
    void Unlock() { m_mutex.unlock(); }

  private:
    std::recursive_mutex m_mutex;
};

// Holds a CLockSection for its scope.
class CLockHolder {
  public:
    explicit CLockHolder(CLockSection* pLock) : m_pLock(pLock) { m_pLock->Lock(); }
    ~CLockHolder() { m_pLock->Unlock(); }
    CLockHolder(const CLockHolder&) = delete;
    CLockHolder& operator=(const CLockHolder&) = delete;

  private:
    CLockSection* m_pLock;
};

// Event: manual reset (stays set until Reset) or auto reset (one waiter
// passes and the signal clears).
class CSignal {
  public:
    explicit CSignal(bool bManualReset = false) : m_bManualReset(bManualReset) {}
    CSignal(const CSignal&) = delete;
    CSignal& operator=(const CSignal&) = delete;

    void Set();
    void Reset();
    // True when the signal was set within the time-out (milliseconds, INFINITE by default).
    bool Wait(DWORD dwTimeoutMs = INFINITE);
    // Polls without waiting; an auto-reset signal is consumed when set.
    bool Check() { return Wait(0); }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_bManualReset;
    bool m_bSet = false;
};
