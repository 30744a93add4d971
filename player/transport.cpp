// Transport, position and volume of the playback object.
#include "transport.h"

#include <QSlider>
#include <cmath>
#include <cstdio>

#include "graph_player.h"
#include "graph_util.h"
#include "kovel/events.h"
#include "report_message.h"

namespace kovel::player {
namespace {

constexpr double kUnitsPerSecond = 10000000.0;

REFERENCE_TIME ToReferenceTime(double seconds) {
    const double t = std::trunc(seconds * kUnitsPerSecond);
    // Out-of-range or undefined values become the nearest representable time.
    if (!(t > -9.2e18))
        return t != t ? 0 : INT64_MIN;
    if (t > 9.2e18)
        return INT64_MAX;
    return static_cast<REFERENCE_TIME>(t);
}

}  // namespace

std::string FormatClock(double seconds) {
    const long long n = static_cast<long long>(std::trunc(seconds + 0.49));
    char text[64];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld ", n / 3600, (n % 3600) / 60, n % 60);
    return text;
}

HRESULT CGraphPlayer::PlayPause() {
    if (!m_pMC)
        return E_FAIL;
    if (m_state == PlayState::Running) {
        const HRESULT hr = m_pMC->Pause();
        if (SUCCEEDED(hr))
            m_state = PlayState::Paused;
        return hr;
    }
    if (m_state == PlayState::Stopped || m_state == PlayState::Paused) {
        const HRESULT hr = m_pMC->Run();
        if (SUCCEEDED(hr))
            m_state = PlayState::Running;
        return hr;
    }
    return E_FAIL;
}

HRESULT CGraphPlayer::StopAndRewind() {
    if (!m_pMC || !m_pMS)
        return 1;
    m_pMC->Stop();
    m_state = PlayState::Stopped;
    LONGLONG zero = 0;
    m_pMS->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    // Paused, so the first picture shows; the next PlayPause runs it.
    return m_pMC->Pause();
}

double CGraphPlayer::GetDurationSeconds() {
    if (!m_pMS)
        return 0.0;
    LONGLONG duration = 0;
    if (FAILED(m_pMS->GetDuration(&duration)))
        return 0.0;
    return double(duration) * 1e-7;
}

double CGraphPlayer::GetPositionSeconds() {
    if (!m_pMS)
        return 0.0;
    LONGLONG current = 0;
    if (FAILED(m_pMS->GetPositions(&current, nullptr)))
        return 0.0;
    return double(current) * 1e-7;
}

bool CGraphPlayer::SeekTo(double seconds, bool flush) {
    LONGLONG t = ToReferenceTime(seconds);
    if (!m_pMS)
        return false;
    OAFilterState state = State_Running;
    if (m_pMC)
        m_pMC->GetState(100, &state);
    HRESULT hr = m_pMS->SetPositions(&t, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning);
    if (state == State_Stopped && flush && m_state == PlayState::Running && m_pMC) {
        m_pMC->Pause();
        OAFilterState ignored{};
        m_pMC->GetState(INFINITE, &ignored);
        hr = m_pMC->Stop();
    }
    return hr >= 0;
}

void CGraphPlayer::SeekBy(double delta) {
    const double d = GetDurationSeconds();
    double p = GetPositionSeconds() + delta;
    if (std::min(p, d) < 0)
        p = 0;
    else if (p >= d)
        p = d;
    SeekTo(p, true);
    PositionText(GetPositionSeconds());
}

std::string CGraphPlayer::DurationText(double duration) {
    m_dScale = 1.0;
    if (duration > 30000) {
        do {
            m_dScale *= 10;
        } while (duration / m_dScale > 30000);
    }
    const double units = std::trunc(duration / m_dScale);
    const int n = units > 0 && units < 2147483647.0 ? int(units) : 0;
    if (m_pSlider) {
        m_pSlider->setRange(0, n);
        m_pSlider->setTickInterval(n / 9);
        m_pSlider->setPageStep(n / 9);
    }
    return "/" + FormatClock(duration);
}

std::string CGraphPlayer::PositionText(double position) {
    if (m_pSlider) {
        const double units = std::trunc(position / m_dScale);
        m_pSlider->setValue(units > 0 && units < 2147483647.0 ? int(units) : 0);
    }
    return FormatClock(position);
}

HRESULT CGraphPlayer::SetRate(double rate) {
    return m_pMS ? m_pMS->SetRate(rate) : E_FAIL;
}

double CGraphPlayer::GetRate() {
    double rate = 1.0;
    if (!m_pMS || FAILED(m_pMS->GetRate(&rate)) || !(rate > 0))
        return 1.0;
    return rate;
}

bool CGraphPlayer::TakeCompleted() {
    const bool completed = m_bCompleted;
    m_bCompleted = false;
    return completed;
}

HRESULT CGraphPlayer::HandleGraphEvents() {
    if (!m_pME)
        return 0;
    HRESULT result = 0;
    for (;;) {
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        const HRESULT got = m_pME->GetEvent(&code, &p1, &p2, 0);
        if (FAILED(got))
            return got;
        bool ended = false;
        if (code == EC_COMPLETE) {
            m_bCompleted = true;
            // A lesson loops: playback continues from the start.
            LONGLONG zero = 0;
            result = m_pMS ? m_pMS->SetPositions(&zero, AM_SEEKING_AbsolutePositioning, nullptr,
                                                 AM_SEEKING_NoPositioning)
                           : E_FAIL;
            if (FAILED(result) && m_pMC) {
                result = m_pMC->Stop();
                if (FAILED(result)) {
                    ReportMessage("Failed(0x%08lx) to stop media clip!\r\n",
                                  static_cast<unsigned long>(uint32_t(result)));
                    ended = true;
                } else {
                    result = m_pMC->Run();
                    if (FAILED(result)) {
                        ReportMessage("Failed(0x%08lx) to reset media clip!\r\n",
                                      static_cast<unsigned long>(uint32_t(result)));
                        ended = true;
                    }
                }
            }
        } else if (code == EC_ERRORABORT) {
            ReportMessage("Playback error (EC_ERRORABORT - 0x%08lx). Aborting...\r\n",
                          static_cast<unsigned long>(uint32_t(p1)));
            if (m_pMC) {
                const HRESULT stopped = m_pMC->Stop();
                if (FAILED(stopped))
                    ReportMessage("Failed(0x%08lx) to stop media clip!\r\n",
                                  static_cast<unsigned long>(uint32_t(stopped)));
            }
            result = HRESULT(p1);
            ended = true;
        }
        // A message box above may have served work that closed the graph.
        if (!m_pME)
            return result;
        if (FAILED(m_pME->FreeEventParams(code, p1, p2))) {
            CloseGraph();
            return result;
        }
        if (ended)
            return result;
    }
}

}  // namespace kovel::player
