// The filter object: state, clock, graph membership and the per-filter
// registration interface. Derived classes supply the lock and the pins.
#pragma once

#include "kovel/streaming.h"
#include "locks.h"
#include "ref_counted_object.h"

class CPinCore;
struct FilterSetupRecord;

class CMediaFilterCore : public CRefCountedObject, public IBaseFilter, public IAMovieSetup {
  public:
    // pLock is the filter lock, owned by the derived class.
    CMediaFilterCore(const char* pObjectName, IUnknown* pOuter, CLockSection* pLock, REFCLSID clsid);
    ~CMediaFilterCore() override;

    KOVEL_DECLARE_IUNKNOWN
    // Answers IBaseFilter, IMediaFilter, IPersist, IAMovieSetup and IUnknown.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IPersist
    HRESULT GetClassID(CLSID* pClassID) override;
    // IMediaFilter
    HRESULT Stop() override;
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

    // Hooks, in this order.
    // Clock time minus the stream start time; VFW_E_NO_CLOCK without a clock.
    virtual HRESULT CurrentStreamTime(REFERENCE_TIME* pStreamTime);
    virtual LONG PinVersion() { return m_PinVersion; }
    virtual int PinCount() = 0;
    // Not add-referenced; null outside 0..PinCount()-1.
    virtual CPinCore* PinAt(int n) = 0;
    virtual const FilterSetupRecord* SetupRecord() { return nullptr; }

    // Passes an event to the graph's sink (EC_COMPLETE carries this filter);
    // E_NOTIMPL without a sink.
    HRESULT NotifyEvent(LONG EventCode, LONG_PTR EventParam1, LONG_PTR EventParam2);

    bool IsStopped() const { return m_State == State_Stopped; }
    bool IsActive() const { return m_State != State_Stopped; }
    FILTER_STATE State() const { return m_State; }
    CLockSection* FilterLock() const { return m_pLock; }
    IFilterGraph* Graph() const { return m_pGraph; }
    IMediaEventSink* EventSink() const { return m_pSink; }
    REFERENCE_TIME StreamStartTime() const { return m_tStart; }
    // Makes open pin enumerators refresh.
    void IncrementPinVersion();

  protected:
    std::atomic<FILTER_STATE> m_State{State_Stopped};
    IReferenceClock* m_pClock = nullptr;
    REFERENCE_TIME m_tStart = 0;
    CLockSection* m_pLock;
    CLSID m_clsid;
    IFilterGraph* m_pGraph = nullptr;
    // Read by worker threads without the filter lock.
    std::atomic<IMediaEventSink*> m_pSink{nullptr};
    WCHAR* m_pName = nullptr;
    std::atomic<LONG> m_PinVersion{1};
};
