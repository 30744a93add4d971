// Pieces both renderers share: the graph's event sink as seen from streaming
// and device threads, and the time helpers.
#pragma once

#include <chrono>
#include <mutex>

#include "kovel/events.h"
#include "kovel/streaming.h"

namespace kovel::render {

inline REFERENCE_TIME SteadyNow() {
    using namespace std::chrono;
    return REFERENCE_TIME(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100);
}

// The filter base keeps the sink under the filter's state lock, which a
// streaming or device thread must never wait for (Stop holds it while it
// waits for those threads). This copy has its own small lock; Notify itself
// is always called with no renderer lock held.
class EventSinkRef {
  public:
    void Set(IMediaEventSink* sink) {
        std::lock_guard<std::mutex> l(mu_);
        sink_ = sink;
    }
    IMediaEventSink* Get() {
        std::lock_guard<std::mutex> l(mu_);
        return sink_;
    }
    void Notify(LONG code, LONG_PTR p1, LONG_PTR p2) {
        if (IMediaEventSink* s = Get())
            s->Notify(code, p1, p2);
    }

  private:
    std::mutex mu_;
    IMediaEventSink* sink_ = nullptr;  // owned by the graph, which owns us
};

// Reads a sample's times. false: the sample carries none. A start without a
// stop gets `defaultLength`.
inline bool SampleTimes(IMediaSample* s, REFERENCE_TIME defaultLength, REFERENCE_TIME* start,
                        REFERENCE_TIME* end) {
    REFERENCE_TIME a = 0, b = 0;
    HRESULT hr = s->GetTime(&a, &b);
    if (FAILED(hr))
        return false;
    if (hr == VFW_S_NO_STOP_TIME || b <= a)
        b = a + defaultLength;
    *start = a;
    *end = b;
    return true;
}

}  // namespace kovel::render
