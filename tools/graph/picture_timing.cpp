#include "picture_timing.h"

#include <algorithm>
#include <chrono>

#include "kovel/events.h"

namespace kovel::graphtool {

bool EventLog::Pump(LONG ms) {
    LONG code;
    LONG_PTR p1, p2;
    if (!events_ || events_->GetEvent(&code, &p1, &p2, ms) != S_OK)
        return false;
    log_.push_back({code, p1, p2});
    events_->FreeEventParams(code, p1, p2);
    return true;
}

bool EventLog::EndedSince(size_t from) const {
    for (size_t i = from; i < log_.size(); ++i)
        if (log_[i].code == EC_COMPLETE || log_[i].code == EC_ERRORABORT || log_[i].code == EC_USERABORT)
            return true;
    return false;
}

bool EventLog::AbortedSince(size_t from) const {
    for (size_t i = from; i < log_.size(); ++i)
        if (log_[i].code == EC_ERRORABORT || log_[i].code == EC_USERABORT)
            return true;
    return false;
}

std::optional<KovelRenderState> WaitForPicture(IKovelRenderer* screen, REFERENCE_TIME since, EventLog& log,
                                               int timeoutMs) {
    const size_t from = log.All().size();
    const REFERENCE_TIME deadline = SteadyNow() + REFERENCE_TIME(timeoutMs) * 10000;
    for (;;) {
        KovelRenderState s{};
        if (!screen || FAILED(screen->GetRenderState(&s)))
            return std::nullopt;
        // The presentation time comes from the renderer: how often this
        // looks does not change what it measures.
        if (s.firstStreamTime >= 0 && s.firstPresentedAt >= since)
            return s;
        if (s.endOfStream || log.AbortedSince(from) || SteadyNow() > deadline)
            return std::nullopt;
        log.Pump(1);
    }
}

SeekTiming TimedSeek(IMediaSeeking* seeking, IKovelRenderer* screen, double target, EventLog& log,
                     int timeoutMs) {
    SeekTiming t;
    t.target = target;
    LONGLONG to = LONGLONG(target * 1e7);
    const REFERENCE_TIME asked = SteadyNow();
    if (FAILED(seeking->SetPositions(&to, AM_SEEKING_AbsolutePositioning, nullptr, AM_SEEKING_NoPositioning)))
        return t;
    if (auto shown = WaitForPicture(screen, asked, log, timeoutMs)) {
        t.latencyMs = double(shown->firstPresentedAt - asked) / 1e4;
        t.firstFrameTime = std::max(0.0, target) + double(shown->firstStreamTime) / 1e7;
    }
    return t;
}

}  // namespace kovel::graphtool
