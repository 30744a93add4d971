// Small base for the media runtime's built-in filters: media type records,
// the platform's memory allocator for pins, input and output pins, and a
// filter with states, a clock and the graph's events. Pins share their
// filter's reference count.
//
// Threads and locks: state changes, connection and queries come on control
// threads and hold the filter's state lock; samples, end of stream and new
// segments come on the upstream filter's streaming thread, flushes on the
// thread that seeks. The streaming side never takes the state lock, because a
// state change holds it while it stops the streams; events reach the graph
// through NotifyEvent, which takes no lock of the filter.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "kovel/streaming.h"

namespace kovel::rt {

// Task memory for everything handed across an interface (media types).
void* TaskAlloc(size_t n);
void TaskFree(void* p);

// Owned copy of a media type.
struct MediaType {
    GUID major = GUID_NULL, subtype = GUID_NULL, formattype = GUID_NULL;
    bool fixedSize = false, temporal = false;
    ULONG sampleSize = 0;
    std::vector<BYTE> format;

    static MediaType From(const AM_MEDIA_TYPE& mt);
    // Fills *out with task-memory copies (the caller frees the format block).
    HRESULT To(AM_MEDIA_TYPE* out) const;
    AM_MEDIA_TYPE* NewAm() const;  // whole record in task memory
};
// Frees what a media type owns (format block, pUnk) and clears the record.
void FreeMediaType(AM_MEDIA_TYPE* mt);
// Same, then the record itself (one handed out in task memory).
void DeleteMediaType(AM_MEDIA_TYPE* mt);

// Allocator for a pin: the platform's CLSID_MemoryAllocator (GetBuffer waits
// for a free buffer and fails once decommitted).
HRESULT CreateAllocator(IMemAllocator** out);

class FilterBase;

class PinBase : public IPin {
  public:
    PinBase(FilterBase* filter, PIN_DIRECTION dir, std::u16string name);
    virtual ~PinBase();
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* dir) override;
    HRESULT QueryId(LPWSTR* id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** out) override;
    HRESULT QueryInternalConnections(IPin** pins, ULONG* n) override;

    // The types this pin proposes, best first (none for input pins by default).
    virtual std::vector<MediaType> ProposedTypes() { return {}; }
    virtual HRESULT CheckMediaType(const MediaType& mt) = 0;

    bool IsConnected();
    IPin* Peer() { return peer_; }  // valid while connected; under the filter lock
    MediaType Type();
    const std::u16string& Name() const { return name_; }

  protected:
    // Whether `other` may be connected to this pin now: unconnected, the
    // filter stopped, `other` facing the other way. Under the state lock.
    HRESULT CheckConnectable(IPin* other);

    FilterBase* filter_;
    PIN_DIRECTION dir_;
    std::u16string name_;
    IPin* peer_ = nullptr;
    MediaType mt_;
};

class InputPin : public PinBase, public IMemInputPin {
  public:
    InputPin(FilterBase* filter, std::u16string name);
    ~InputPin() override;
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override { return PinBase::AddRef(); }
    ULONG Release() override { return PinBase::Release(); }

    HRESULT Connect(IPin* receive, const AM_MEDIA_TYPE* pmt) override;
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Disconnect() override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) override;

    HRESULT GetAllocator(IMemAllocator** out) override;
    HRESULT NotifyAllocator(IMemAllocator* alloc, BOOL readOnly) override;
    HRESULT GetAllocatorRequirements(ALLOCATOR_PROPERTIES* props) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT ReceiveMultiple(IMediaSample** samples, LONG n, LONG* done) override;
    HRESULT ReceiveCanBlock() override { return S_OK; }

    HRESULT CheckMediaType(const MediaType& mt) override;
    bool Flushing() const { return flushing_.load(); }

  private:
    std::atomic<bool> flushing_{false};
    IMemAllocator* alloc_ = nullptr;
};

class OutputPin : public PinBase {
  public:
    OutputPin(FilterBase* filter, std::u16string name);
    ~OutputPin() override;
    HRESULT Connect(IPin* receive, const AM_MEDIA_TYPE* pmt) override;
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Disconnect() override;
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }
    HRESULT NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }
    HRESULT CheckMediaType(const MediaType& mt) override;

    // Streaming side, called without the filter lock.
    HRESULT GetDeliveryBuffer(IMediaSample** out);
    HRESULT Deliver(IMediaSample* sample);
    HRESULT DeliverEndOfStream();
    HRESULT DeliverBeginFlush();
    HRESULT DeliverEndFlush();
    HRESULT DeliverNewSegment(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);
    // Under the filter lock, on state changes.
    HRESULT Activate();
    void Deactivate();

  private:
    HRESULT TryConnect(IPin* receive, const MediaType& mt);
    HRESULT DecideAllocator(IMemInputPin* input);
    // Peer interfaces kept for streaming; set and cleared under the filter lock,
    // read by the streaming thread through a snapshot under deliverMu_.
    std::mutex deliverMu_;
    IMemInputPin* input_ = nullptr;
    IMemAllocator* alloc_ = nullptr;
};

class FilterBase : public IBaseFilter {
  public:
    FilterBase(const CLSID& clsid);
    virtual ~FilterBase();
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetClassID(CLSID* clsid) override;
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Run(REFERENCE_TIME start) override;
    HRESULT GetState(DWORD ms, FILTER_STATE* state) override;
    HRESULT SetSyncSource(IReferenceClock* clock) override;
    HRESULT GetSyncSource(IReferenceClock** clock) override;
    HRESULT EnumPins(IEnumPins** out) override;
    HRESULT FindPin(LPCWSTR id, IPin** out) override;
    HRESULT QueryFilterInfo(FILTER_INFO* info) override;
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override;
    HRESULT QueryVendorInfo(LPWSTR* info) override;

    virtual int PinCount() = 0;
    virtual PinBase* PinAt(int i) = 0;

    // State hooks: control thread, state lock held. They may take the
    // filter's own streaming-side locks and wait for its own threads, which
    // therefore never take the state lock.
    virtual HRESULT OnPause(FILTER_STATE from) {
        (void)from;
        return S_OK;
    }
    virtual HRESULT OnRun(REFERENCE_TIME start) {
        (void)start;
        return S_OK;
    }
    virtual void OnStop() {}
    // Streaming hooks from the input pin: on the upstream streaming thread
    // (flushes: on the seeking thread), without the state lock, which they
    // must not take. OnReceive may block until the stream may go on; a flush
    // or Stop releases it.
    virtual HRESULT OnReceive(InputPin* pin, IMediaSample* sample) = 0;
    virtual HRESULT OnEndOfStream(InputPin* pin) = 0;
    virtual HRESULT OnBeginFlush(InputPin* pin) = 0;
    virtual HRESULT OnEndFlush(InputPin* pin) = 0;
    virtual HRESULT OnNewSegment(InputPin* pin, REFERENCE_TIME start, REFERENCE_TIME stop, double rate) = 0;
    // Extra interfaces of a derived filter; E_NOINTERFACE when none. Any thread, no lock.
    virtual HRESULT QueryExtra(REFIID riid, void** ppv) {
        (void)riid;
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // Connection hooks: control thread, state lock held. Buffer sizes an
    // output pin asks for.
    virtual HRESULT DecideBufferSize(OutputPin* pin, IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) {
        (void)pin, (void)alloc, (void)req;
        return E_NOTIMPL;
    }
    virtual void OnConnected(PinBase* pin) { (void)pin; }

    FILTER_STATE State();
    std::recursive_mutex& StateLock() { return stateLock_; }
    // Passes an event to the graph (EC_COMPLETE and the like); nothing
    // without a graph. Any thread, streaming and device threads included:
    // takes no lock of the filter; the caller holds none of its own either.
    void NotifyEvent(LONG code, LONG_PTR param1, LONG_PTR param2);

  protected:
    // Guarded by the state lock.
    std::recursive_mutex stateLock_;
    FILTER_STATE state_ = State_Stopped;
    IReferenceClock* clock_ = nullptr;
    REFERENCE_TIME runStart_ = 0;
    IFilterGraph* graph_ = nullptr;
    // Written under the state lock, read by any thread: the graph's event
    // sink, kept without a reference (the graph owns the filter).
    std::atomic<IMediaEventSink*> sink_{nullptr};

  private:
    CLSID clsid_;
    std::atomic<ULONG> refs_{1};
    std::u16string name_;
};

// Default creation helper for built-in classes.
template <class T>
HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    T* obj = new (std::nothrow) T();
    if (!obj)
        return E_OUTOFMEMORY;
    HRESULT hr = obj->QueryInterface(riid, ppv);
    obj->Release();
    return hr;
}

}  // namespace kovel::rt
