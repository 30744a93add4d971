// Time helpers both renderers share.
#pragma once

#include <chrono>

#include "kovel/events.h"
#include "kovel/streaming.h"

namespace kovel::render {

inline REFERENCE_TIME SteadyNow() {
    using namespace std::chrono;
    return REFERENCE_TIME(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100);
}

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
