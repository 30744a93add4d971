// What the graph manager asks of a renderer beyond the platform interfaces.
// The graph queries IKovelRenderer from a filter's IBaseFilter; a filter that
// answers it is a renderer (ends a chain built by Render).
//
// Notifications: a renderer takes the graph's IMediaEventSink in
// JoinFilterGraph (QueryInterface on the IFilterGraph; kept without a
// reference, as the graph owns the filter) and posts
//   Notify(EC_COMPLETE, S_OK, (LONG_PTR)(IBaseFilter*)this)
// once per run after it got end of stream and presented everything before
// it; again only after a flush, Stop or new run. A streaming failure posts
// Notify(EC_ERRORABORT, hr, 0). Notify is called from a streaming or device
// thread, never while the renderer holds its own locks.
//
// Time and rate: sample times count media time from the segment start, and
// the segment's rate (NewSegment) says how fast that media time is played.
// Stream time (the graph clock minus the run start) is wall time, so a sample
// is due at stream time = sample time / rate. The audio renderer stretches
// the sound to 1/rate of its length with the pitch kept, so the frames its
// device consumes, and with them its clock, count stream time. The graph's
// position is the segment start + stream time x rate.
//
// Pause: IMediaFilter::GetState(timeout) answers VFW_S_STATE_INTERMEDIATE with
// State_Paused until the renderer holds a sample or reached end of stream,
// waiting up to the time-out for it. Running with no sync source (SetSyncSource
// with a null clock) presents samples as fast as they arrive.
#pragma once

#include <chrono>

#include "kovel/streaming.h"

KOVEL_GUID(IID_IKovelRenderer, "28868905-75AD-4AC5-9569-CE54E9F35EAB");

enum KovelRendererKind : int32_t { KovelRenderer_Audio = 1, KovelRenderer_Video = 2 };

struct KovelRenderState {
    KovelRendererKind kind;
    FILTER_STATE state;
    // Holds a sample to present, or reached end of stream (Pause may complete).
    BOOL prerolled;
    // End of stream received since the last flush or Stop.
    BOOL endOfStream;
    // EC_COMPLETE posted since the last flush or Stop.
    BOOL completeSent;
    // Video: frames shown / late frames dropped; audio: buffers played / dropped
    // (samples wholly before the segment start count as dropped).
    LONGLONG presented;
    LONGLONG dropped;
    // Sample time (media time from the segment start) of the first sample
    // presented since the last flush, Stop or Run from stopped; -1 when none yet.
    REFERENCE_TIME firstStreamTime;
    // Audio: sample frames (one per channel group) the device consumed.
    LONGLONG audioFramesPlayed;
    // Largest |presentation time - sample start| seen, in stream time: for
    // audio how far the device was from the timestamps, for video how late a
    // presented frame was.
    REFERENCE_TIME maxOffset;
    // Monotonic system time (the steady clock, in 100-nanosecond units) at
    // which the sample of firstStreamTime was presented; -1 when none yet.
    // What a user waited for after an open or a seek.
    REFERENCE_TIME firstPresentedAt;
};

// The clock of firstPresentedAt: the steady clock in 100-nanosecond units.
// Whoever times a wait against a renderer reads this one.
inline REFERENCE_TIME KovelSteadyNow() {
    using namespace std::chrono;
    return REFERENCE_TIME(duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count() / 100);
}

struct IKovelRenderer : IUnknown {
    virtual HRESULT GetRenderState(KovelRenderState* state) = 0;
    // The renderer's own reference clock (AddRef'ed) when it can serve as the
    // graph clock (the audio renderer); E_NOINTERFACE otherwise. The same
    // object is also reached by QueryInterface(IID_IReferenceClock).
    virtual HRESULT GetReferenceClock(IReferenceClock** clock) = 0;
    // Waits up to msTimeout for the renderer to preroll (see above): S_OK,
    // or VFW_S_STATE_INTERMEDIATE when it did not in time; S_OK at once when
    // not paused.
    virtual HRESULT WaitPrerolled(DWORD msTimeout) = 0;
};
