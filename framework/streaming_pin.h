// An output pin with its own worker thread that fills and delivers samples
// while the filter is paused or running.
#pragma once

#include "output_pin_core.h"
#include "worker_thread.h"

class CSourceFilterCore;

class CStreamingPin : public CWorkerThread, public COutputPinCore {
  public:
    // Adds itself to the filter; the add result goes to *phr.
    CStreamingPin(const char* pObjectName, HRESULT* phr, CSourceFilterCore* pFilter, LPCWSTR pName);
    // Leaves the filter, then waits for a still-running worker to end.
    ~CStreamingPin() override;

    // Default single-type pin: equal to SingleFormat is S_OK, else E_FAIL.
    HRESULT CheckFormat(const CMediaTypeRecord* pmt) override;
    // Position 0 is SingleFormat; past it VFW_S_NO_MORE_ITEMS.
    HRESULT FormatAt(int iPosition, CMediaTypeRecord* pMediaType) override;
    // The pin's index plus 1 as decimal text (task memory, caller frees).
    HRESULT QueryId(LPWSTR* Id) override;
    // Commits the allocator and starts the worker (Init, then Pause).
    HRESULT Activate() override;
    // Decommits the allocator, then Stop and Exit and waits for the worker.
    HRESULT Deactivate() override;

    // Hooks, in this order.
    DWORD ThreadBody() override;
    // S_OK: deliver; S_FALSE: end of stream; failure: end of stream and EC_ERRORABORT.
    virtual HRESULT FillSample(IMediaSample* pSample) = 0;
    virtual HRESULT OnWorkerStart() { return S_OK; }
    virtual HRESULT OnWorkerStop() { return S_OK; }
    // Runs on the worker at the start of every delivery loop.
    virtual HRESULT OnDeliveryStart() { return S_OK; }
    virtual HRESULT DeliveryLoop();
    virtual HRESULT SingleFormat(CMediaTypeRecord* pMediaType);

    // After a new start position: flush downstream, stop the loop, end the
    // flush and run a new loop. Call with no filter or pin lock held; does
    // nothing while no worker exists.
    HRESULT RestartDelivery();

    CSourceFilterCore* SourceFilter() const { return m_pSourceFilter; }

  protected:
    CSourceFilterCore* m_pSourceFilter;
};
