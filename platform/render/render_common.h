// Time helpers both renderers share.
#pragma once

#include <chrono>
#include <cmath>

#include "kovel/events.h"
#include "kovel/renderer.h"
#include "kovel/streaming.h"

namespace kovel::render {

inline REFERENCE_TIME SteadyNow() {
    return KovelSteadyNow();
}

// A segment's rate that the renderers play; other rates are refused and
// the segment plays at 1.
constexpr double kMinPlayRate = 0.25, kMaxPlayRate = 4.0;
inline bool PlayableRate(double rate) {
    return rate >= kMinPlayRate && rate <= kMaxPlayRate;
}

// Sample time to stream time and back at a segment's rate (kovel/renderer.h);
// exact at rate 1, saturated rather than overflowing for hostile times.
inline REFERENCE_TIME ScaledTime(REFERENCE_TIME t, double factor) {
    if (factor == 1.0)
        return t;
    const double v = std::round(double(t) * factor);
    return v >= 9.2e18 ? REFERENCE_TIME(9.2e18) : v <= -9.2e18 ? REFERENCE_TIME(-9.2e18) : REFERENCE_TIME(v);
}
inline REFERENCE_TIME StreamTimeOf(REFERENCE_TIME sampleTime, double rate) {
    return ScaledTime(sampleTime, 1.0 / rate);
}
inline REFERENCE_TIME SampleTimeOf(REFERENCE_TIME streamTime, double rate) {
    return ScaledTime(streamTime, rate);
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
