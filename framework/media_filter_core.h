// The filter object: state, clock, graph membership and the per-filter
// registration interface. Derived classes supply the pins.
//
// Locks: the state lock is the one lock of the whole filter (state, clock,
// graph, the pin array, every pin's connection and format work, seeking
// positions). It is re-entrant and comes first in every lock order; a
// streaming thread never takes it, because state changes hold it while they
// wait for the streaming threads.
#pragma once

#include "kovel/streaming.h"
#include "locks.h"
#include "ref_counted_object.h"

class CPinCore;
struct FilterSetupRecord;

class CMediaFilterCore : public CRefCountedObject, public IBaseFilter, public IAMovieSetup {
  public:
    CMediaFilterCore(const char* pObjectName, IUnknown* pOuter, REFCLSID clsid);
    ~CMediaFilterCore() override;

    KOVEL_DECLARE_IUNKNOWN
    // Answers IBaseFilter, IMediaFilter, IPersist, IAMovieSetup and IUnknown.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPersist
    HRESULT GetClassID(CLSID* pClassID) override;
    // IMediaFilter; each holds the state lock for its whole work.
    // Deactivates every connected pin; always ends Stopped.
    HRESULT Stop() override;
    // From Stopped, activates the connected pins; when one fails, those
    // already activated are deactivated again and the filter stays Stopped.
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME tStart) override;
    HRESULT GetState(DWORD dwMilliSecsTimeout, FILTER_STATE* State) override;
    HRESULT SetSyncSource(IReferenceClock* pClock) override;
    HRESULT GetSyncSource(IReferenceClock** pClock) override;
    // IBaseFilter
    HRESULT EnumPins(IEnumPins** ppEnum) override;
    HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override;
    HRESULT QueryFilterInfo(FILTER_INFO* pInfo) override;
    HRESULT JoinFilterGraph(IFilterGraph* pGraph, LPCWSTR pName) override;
    HRESULT QueryVendorInfo(LPWSTR* pVendorInfo) override;
    // IAMovieSetup: S_FALSE when SetupRecord is null.
    HRESULT Register() override;
    HRESULT Unregister() override;

    // Hooks, in this order. Control threads.
    // Clock time minus the stream start time; VFW_E_NO_CLOCK without a clock.
    // Takes the state lock.
    virtual HRESULT CurrentStreamTime(REFERENCE_TIME* pStreamTime);
    // No lock.
    virtual LONG PinVersion() { return m_PinVersion; }
    // Take the state lock (the caller may hold it already).
    virtual int PinCount() = 0;
    // Not add-referenced; null outside 0..PinCount()-1.
    virtual CPinCore* PinAt(int n) = 0;
    // No lock; the record is constant.
    virtual const FilterSetupRecord* SetupRecord() { return nullptr; }

    // Passes an event to the graph's sink (EC_COMPLETE carries this filter);
    // E_NOTIMPL without a sink. Any thread, streaming ones included: takes
    // no lock of the filter.
    HRESULT NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);

    bool IsStopped() const { return m_State == State_Stopped; }
    bool IsActive() const { return m_State != State_Stopped; }
    FILTER_STATE State() const { return m_State; }
    CLockSection* StateLock() { return &m_StateLock; }
    IFilterGraph* Graph() const { return m_pGraph; }
    IMediaEventSink* EventSink() const { return m_pSink; }
    REFERENCE_TIME StreamStartTime() const { return m_tStart; }
    // Makes open pin enumerators refresh.
    void IncrementPinVersion();

  private:
    CLockSection m_StateLock;

  protected:
    // Written under the state lock; read by pins and worker threads without it.
    std::atomic<FILTER_STATE> m_State{State_Stopped};
    // Guarded by the state lock.
    IReferenceClock* m_pClock = nullptr;
    REFERENCE_TIME m_tStart = 0;
    IFilterGraph* m_pGraph = nullptr;
    WCHAR* m_pName = nullptr;
    // Written under the state lock; read by worker threads without it.
    std::atomic<IMediaEventSink*> m_pSink{nullptr};
    // Fixed at construction.
    const CLSID m_clsid;
    std::atomic<LONG> m_PinVersion{1};
};
