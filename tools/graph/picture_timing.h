// What kovel-graph times: how long until a picture of the screen recording
// is shown, after the build of the graph and after each seek, read from the
// renderer's own presentation times while the graph's events are collected.
#pragma once

#include <optional>
#include <vector>

#include "kovel/control.h"
#include "kovel/renderer.h"

namespace kovel::graphtool {

// The steady clock the renderers stamp presentations with.
inline REFERENCE_TIME SteadyNow() {
    return KovelSteadyNow();
}

struct GraphEvent {
    LONG code;
    LONG_PTR p1, p2;
};

// The graph's events, in the order they came.
class EventLog {
  public:
    explicit EventLog(IMediaEventEx* events) : events_(events) {}
    // Waits up to `ms` for one event; true when one came.
    bool Pump(LONG ms);
    // Takes what is already queued.
    void Drain() {
        while (Pump(0)) {
        }
    }
    const std::vector<GraphEvent>& All() const { return log_; }
    // An event at or after position `from` ended playback (completion or abort).
    bool EndedSince(size_t from) const;
    bool AbortedSince(size_t from) const;

  private:
    IMediaEventEx* events_;
    std::vector<GraphEvent> log_;
};

// Waits until `screen` shows its first picture since `since` (a steady time).
// Nothing when the stream ends or playback aborts without one, or after
// `timeoutMs`.
std::optional<KovelRenderState> WaitForPicture(IKovelRenderer* screen, REFERENCE_TIME since, EventLog& log,
                                               int timeoutMs);

struct SeekTiming {
    double target = 0;           // seconds, as asked
    double latencyMs = -1;       // from the seek call to the picture; -1: none came
    double firstFrameTime = -1;  // media time of that picture in seconds; -1: none
};

// Moves the graph to `target` seconds and times the picture that follows.
SeekTiming TimedSeek(IMediaSeeking* seeking, IKovelRenderer* screen, double target, EventLog& log,
                     int timeoutMs);

}  // namespace kovel::graphtool
