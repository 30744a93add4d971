#include "locks.h"

#include <chrono>

void CSignal::Set() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_bSet = true;
    if (m_bManualReset)
        m_cond.notify_all();
    else
        m_cond.notify_one();
}

void CSignal::Reset() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_bSet = false;
}

bool CSignal::Wait(DWORD dwTimeoutMs) {
    std::unique_lock<std::mutex> g(m_mutex);
    if (dwTimeoutMs == 0) {
        // A poll (the delivery loop asks once per sample): no timed wait.
        if (!m_bSet)
            return false;
    } else if (dwTimeoutMs == INFINITE) {
        m_cond.wait(g, [this] { return m_bSet; });
    } else if (!m_cond.wait_for(g, std::chrono::milliseconds(dwTimeoutMs), [this] { return m_bSet; })) {
        return false;
    }
    if (!m_bManualReset)
        m_bSet = false;
    return true;
}
