// An output pin with its own worker thread that fills and delivers samples
// while the filter is paused or running.
//
// Threads and locks: control calls (state changes, connection, seeking) come
// on the caller's threads; the worker thread runs ThreadBody, the delivery
// loop and the fill hooks. Lock order: the filter's state lock, then the
// worker's access lock (CommandSequence), then the pin's own locks. The
// worker thread takes neither the state lock nor the access lock: control
// calls hold them while they wait for the worker's answer.
#pragma once

#include <functional>

#include "output_pin_core.h"
#include "worker_thread.h"

class CSourceFilterCore;

class CStreamingPin : public CWorkerThread, public COutputPinCore {
  public:
    // Adds itself to the filter; the add result goes to *phr.
    CStreamingPin(const char* pObjectName, HRESULT* phr, CSourceFilterCore* pFilter, LPCWSTR pName);
    // Leaves the filter, then ends a worker still running (EndWorker). A
    // derived pin whose FillSample reads its own members calls EndWorker in
    // its own destructor, before those members go.
    ~CStreamingPin() override;

    // Default single-type pin: equal to SingleFormat is S_OK, else E_FAIL.
    // Control thread; takes the state lock.
    HRESULT CheckFormat(const CMediaTypeRecord* pmt) override;
    // Position 0 is SingleFormat; past it VFW_S_NO_MORE_ITEMS. Control thread;
    // takes the state lock.
    HRESULT FormatAt(int iPosition, CMediaTypeRecord* pMediaType) override;
    // The pin's index plus 1 as decimal text (task memory, caller frees).
    HRESULT QueryId(LPWSTR* Id) override;
    // Commits the allocator and starts the worker (Init, then Pause), all
    // as one command sequence. Control thread, state lock held by the
    // filter's Pause. A failure leaves no worker and the allocator decommitted.
    HRESULT Activate() override;
    // Ends the worker (EndWorker) and always waits for it. Control thread,
    // state lock held by the filter's Stop.
    HRESULT Deactivate() override;

    // The one way a worker ends: decommit the allocator (which releases a
    // worker blocked in get-buffer), Stop, Exit, and wait for the thread.
    // Control thread; takes the access lock; the caller may hold the state
    // lock, never a lock FillSample takes. Returns the first failure; the
    // thread is gone in every case.
    HRESULT EndWorker();

    // After a new start position: as one command sequence, flush downstream,
    // stop the loop, call `reposition`, end the flush and run a new loop.
    // Without a worker (the filter is stopped) only `reposition` runs.
    // Control thread, with no state lock or pin lock held (the flush and the
    // commands wait for the worker, which may need the pin's lock to finish
    // a fill). `reposition` runs on this thread with the access lock held and
    // the worker idle; it may take the pin's own lock, never the state lock.
    HRESULT RestartDelivery(const std::function<void()>& reposition);

    // Hooks, in this order.
    // The worker's command loop (worker thread, no lock held).
    DWORD ThreadBody() override;
    // One sample, on the worker thread with no framework lock held; may take
    // the pin's own locks, never the state lock or the access lock.
    // S_OK: deliver; S_FALSE: end of stream; failure: end of stream and EC_ERRORABORT.
    virtual HRESULT FillSample(IMediaSample* pSample) = 0;
    // After Init and before Exit is answered, on the worker thread. The
    // control thread waiting for the answer holds the state lock and the
    // access lock: these hooks may take the pin's own locks only.
    virtual HRESULT OnWorkerStart() { return S_OK; }
    virtual HRESULT OnWorkerStop() { return S_OK; }
    // At the start of every delivery loop, on the worker thread, no lock held;
    // the same rule as FillSample. Typically sends the new segment.
    virtual HRESULT OnDeliveryStart() { return S_OK; }
    // Fills and delivers until a command arrives or the stream ends (worker
    // thread, no lock held; the rule of FillSample).
    virtual HRESULT DeliveryLoop();
    // The pin's one media type; control thread, state lock held; may take
    // the pin's own locks.
    virtual HRESULT SingleFormat(CMediaTypeRecord* pMediaType);

    CSourceFilterCore* SourceFilter() const { return m_pSourceFilter; }

  protected:
    // The owning filter, not counted (the filter owns the pin). Fixed at construction.
    CSourceFilterCore* const m_pSourceFilter;
};
