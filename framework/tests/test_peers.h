// In-process peers for framework tests: an input pin that records what it
// receives (and can refuse, hold samples, flush), its own allocator, a graph
// event sink, and a small source filter whose hooks are scripted.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "kovel/events.h"
#include "kovel/streaming.h"
#include "source_filter_core.h"
#include "streaming_pin.h"

struct SampleRecord {
    REFERENCE_TIME start = 0;
    REFERENCE_TIME stop = 0;
    bool sync = false;
    LONG size = 0;
};

// A pool of buffers for the peer's own allocator: GetBuffer blocks until a
// buffer is free or the pool is decommitted.
class CPoolAllocator final : public IMemAllocator {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override;
    HRESULT SetProperties(ALLOCATOR_PROPERTIES* pRequest, ALLOCATOR_PROPERTIES* pActual) override;
    HRESULT GetProperties(ALLOCATOR_PROPERTIES* pProps) override;
    HRESULT Commit() override;
    HRESULT Decommit() override;
    HRESULT GetBuffer(IMediaSample** ppBuffer, REFERENCE_TIME*, REFERENCE_TIME*, DWORD) override;
    HRESULT ReleaseBuffer(IMediaSample* pBuffer) override;

    // Grants at most this many bytes per buffer (to make a size request fail).
    LONG m_cbMaxGrant = 1 << 24;
    std::atomic<int> m_cCommits{0};
    std::atomic<int> m_cDecommits{0};

  private:
    friend class CPoolSample;
    void Return(class CPoolSample* p);
    std::atomic<ULONG> m_cRef{1};
    std::mutex m_mutex;
    std::condition_variable m_cond;
    ALLOCATOR_PROPERTIES m_props{};
    bool m_bCommitted = false;
    std::vector<class CPoolSample*> m_free;
    int m_cOutstanding = 0;
};

class CTestInputPin : public IPin, public IMemInputPin {
  public:
    CTestInputPin();
    virtual ~CTestInputPin();

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override;

    // IPin
    HRESULT Connect(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pPin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    HRESULT QueryPinInfo(PIN_INFO* pInfo) override;
    HRESULT QueryDirection(PIN_DIRECTION* pPinDir) override;
    HRESULT QueryId(LPWSTR*) override { return E_NOTIMPL; }
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    HRESULT QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // IMemInputPin
    HRESULT GetAllocator(IMemAllocator** ppAllocator) override;
    HRESULT NotifyAllocator(IMemAllocator* pAllocator, BOOL bReadOnly) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* pProps) override;
    HRESULT Receive(IMediaSample* pSample) override;
    HRESULT ReceiveMultiple(IMediaSample**, LONG, LONG*) override { return E_NOTIMPL; }
    HRESULT ReceiveCanBlock() override { return S_FALSE; }

    // Waits until at least n samples have arrived (or ms pass).
    bool WaitSamples(size_t n, int ms = 5000);
    bool WaitEndOfStream(int ms = 5000);
    std::vector<SampleRecord> Samples();
    void ReleaseHeld();

    // Behaviour switches.
    std::vector<AM_MEDIA_TYPE> m_offered;  // types its enumerator offers (not owned)
    std::function<bool(const AM_MEDIA_TYPE&)> m_accept = [](const AM_MEDIA_TYPE&) { return true; };
    CPoolAllocator* m_pOwnAllocator = nullptr;  // null: no allocator of its own
    bool m_bRefuseNotify = false;               // refuses every NotifyAllocator
    bool m_bRefuse = false;                     // Receive answers S_FALSE
    bool m_bHold = false;                       // Receive keeps the sample
    HRESULT m_hrReceiveConnection = S_OK;

    std::atomic<int> m_cEndOfStream{0};
    std::atomic<int> m_cBeginFlush{0};
    std::atomic<int> m_cEndFlush{0};
    std::atomic<int> m_cReceiveConnection{0};
    std::vector<REFERENCE_TIME> m_segments;
    IMemAllocator* m_pNotified = nullptr;
    IPin* m_pConnector = nullptr;

  private:
    std::atomic<ULONG> m_cRef{1};
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<SampleRecord> m_samples;
    std::deque<IMediaSample*> m_held;
    bool m_bFlushing = false;
};

// Records events passed to the graph's sink.
class CTestGraph : public IFilterGraph, public IMediaEventSink {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return ++m_cRef; }
    ULONG Release() override { return --m_cRef; }
    HRESULT AddFilter(IBaseFilter*, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT RemoveFilter(IBaseFilter*) override { return E_NOTIMPL; }
    HRESULT EnumFilters(IEnumFilters**) override { return E_NOTIMPL; }
    HRESULT FindFilterByName(LPCWSTR, IBaseFilter**) override { return E_NOTIMPL; }
    HRESULT ConnectDirect(IPin*, IPin*, const AM_MEDIA_TYPE*) override { return E_NOTIMPL; }
    HRESULT Reconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT Disconnect(IPin*) override { return E_NOTIMPL; }
    HRESULT SetDefaultSyncSource() override { return E_NOTIMPL; }
    HRESULT Notify(LONG code, LONG_PTR p1, LONG_PTR p2) override;

    struct Event {
        LONG code;
        LONG_PTR p1, p2;
    };
    std::vector<Event> Events();
    bool WaitEvent(LONG code, int ms = 5000);

  private:
    std::atomic<ULONG> m_cRef{1};
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Event> m_events;
};

// Source pin with scripted hooks; its one type is a video type with a
// 4-byte format block {1,2,3,4}.
class CScriptPin : public CStreamingPin {
  public:
    CScriptPin(HRESULT* phr, CSourceFilterCore* pFilter, LPCWSTR pName);
    HRESULT SingleFormat(CMediaTypeRecord* pmt) override;
    HRESULT ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProps) override;
    HRESULT FillSample(IMediaSample* pSample) override;
    HRESULT Activate() override {
        ++m_cActivate;
        return CStreamingPin::Activate();
    }
    HRESULT RunAt(REFERENCE_TIME t) override {
        ++m_cRunAt;
        return CStreamingPin::RunAt(t);
    }
    HRESULT OnWorkerStart() override {
        ++m_cWorkerStart;
        return m_hrWorkerStart;
    }
    HRESULT OnDeliveryStart() override {
        ++m_cDeliveryStart;
        if (m_onDeliveryStart)
            m_onDeliveryStart();
        return S_OK;
    }

    static CMediaTypeRecord MakeType(int formatByte = 1);

    // FillSample: sample n (from 0) is stamped n..n+1 s; at n == m_nEndAt S_FALSE; at n == m_nFailAt
    // m_hrFail.
    std::atomic<int> m_nFilled{0};
    int m_nEndAt = -1;
    int m_nFailAt = -1;
    HRESULT m_hrFail = E_FAIL;
    LONG m_cBuffers = 1;
    LONG m_cbBuffer = 16;
    HRESULT m_hrWorkerStart = S_OK;
    std::atomic<int> m_cActivate{0};
    std::atomic<int> m_cRunAt{0};
    std::atomic<int> m_cWorkerStart{0};
    std::atomic<int> m_cDeliveryStart{0};
    std::function<void()> m_onDeliveryStart;  // set while stopped
    std::atomic<int> m_cChooseBufferSize{0};
    std::atomic<int> m_cReleaseConnection{0};
    HRESULT ReleaseConnection() override {
        ++m_cReleaseConnection;
        return CStreamingPin::ReleaseConnection();
    }
};

extern const CLSID CLSID_ScriptFilter;

class CScriptFilter : public CSourceFilterCore {
  public:
    explicit CScriptFilter(int nPins = 1);
    ~CScriptFilter() override;
    CScriptPin* Pin(int i) { return static_cast<CScriptPin*>(PinAt(i)); }
    CScriptPin* AddScriptPin(LPCWSTR name);
};
