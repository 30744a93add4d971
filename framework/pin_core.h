// The generic pin: connection with media-type negotiation, media-type
// questions and new-segment recording. Reference counting goes to the
// owning filter, so a pin lives exactly as long as its filter.
//
// Locks: a pin has no lock of its own in the framework; connection work and
// the hooks below run under the owning filter's state lock (StateLock),
// reached through the filter. Every hook runs on a control thread.
#pragma once

#include "kovel/streaming.h"
#include "locks.h"
#include "media_type_record.h"
#include "ref_counted_object.h"

class CMediaFilterCore;

class CPinCore : public CRefCountedObject, public IPin, public IQualityControl {
  public:
    // pFilter owns the pin and its state lock; pName is copied.
    CPinCore(const char* pObjectName, CMediaFilterCore* pFilter, HRESULT* phr, LPCWSTR pName,
             PIN_DIRECTION dir);
    ~CPinCore() override;

    // IUnknown: queries go to this pin's non-delegating query; counting to the filter.
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return NonDelegatingQueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return NonDelegatingAddRef(); }
    ULONG Release() override { return NonDelegatingRelease(); }
    // Answers IPin, IQualityControl and IUnknown; a derived pin extends it
    // (e.g. with IMediaSeeking) and falls back to this.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;
    ULONG NonDelegatingAddRef() override;
    ULONG NonDelegatingRelease() override;

    // IPin
    HRESULT Connect(IPin* pReceivePin, const AM_MEDIA_TYPE* pmt) override;
    HRESULT ReceiveConnection(IPin* pConnector, const AM_MEDIA_TYPE* pmt) override;
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** ppPin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override;
    HRESULT QueryPinInfo(PIN_INFO* pInfo) override;
    HRESULT QueryDirection(PIN_DIRECTION* pPinDir) override;
    HRESULT QueryId(LPWSTR* Id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** ppEnum) override;
    HRESULT QueryInternalConnections(IPin** apPin, ULONG* nPin) override;
    HRESULT EndOfStream() override;
    HRESULT BeginFlush() override;
    HRESULT EndFlush() override;
    HRESULT NewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate) override;

    // IQualityControl
    HRESULT Notify(IBaseFilter* pSelf, Quality q) override;
    HRESULT SetSink(IQualityControl* piqc) override;

    // Hooks, in this order. All run on a control thread.
    // No lock.
    virtual LONG TypeVersion() { return m_TypeVersion; }
    // The state hooks may take the pin's own locks and wait for the pin's
    // threads, which therefore never take the state lock.
    // Prepare for streaming (filter leaves Stopped); default success. State
    // lock held by the filter's Pause.
    virtual HRESULT Activate() { return S_OK; }
    // Streaming ends (filter goes to Stopped); default success. State lock
    // held by the filter's Stop; must not return before streaming has ended.
    virtual HRESULT Deactivate() { return S_OK; }
    // Paused to running; state lock held by the filter's Run.
    virtual HRESULT RunAt(REFERENCE_TIME tStart);
    // Exactly S_OK accepts the type. Called with or without the state lock
    // (QueryAccept); an implementation that reads pin state takes it.
    virtual HRESULT CheckFormat(const CMediaTypeRecord* pmt) = 0;
    // The connection hooks below run with the state lock held and may take
    // the pin's own locks. Default: copy the agreed type into the connected
    // type (E_OUTOFMEMORY on failure).
    virtual HRESULT SetFormat(const CMediaTypeRecord* pmt);
    virtual HRESULT VetPeer(IPin* pPeer);
    virtual HRESULT ReleaseConnection();
    virtual HRESULT FinishConnection(IPin* pPeer);
    // Media type at a position: S_OK, VFW_S_NO_MORE_ITEMS past the end, or a
    // failure. Takes the state lock when it reads pin state.
    virtual HRESULT FormatAt(int iPosition, CMediaTypeRecord* pMediaType);

    // Helpers
    bool IsConnected() const { return m_Connected != nullptr; }
    IPin* GetConnected() const { return m_Connected; }
    bool IsStopped() const;
    const CMediaTypeRecord& CurrentMediaType() const { return m_mt; }
    LPCWSTR Name() const { return m_pName; }
    PIN_DIRECTION Direction() const { return m_dir; }
    CMediaFilterCore* Filter() const { return m_pFilter; }
    // The owning filter's state lock.
    CLockSection* StateLock() const;
    // Makes open media-type enumerators report VFW_E_ENUM_OUT_OF_SYNC.
    void IncrementTypeVersion();
    REFERENCE_TIME SegmentStart() const { return m_tStart; }
    REFERENCE_TIME SegmentStop() const { return m_tStop; }
    double SegmentRate() const { return m_dRate; }

  protected:
    // One connection attempt with a complete type (peer's ReceiveConnection included).
    HRESULT AttemptConnection(IPin* pReceivePin, const CMediaTypeRecord* pmt);
    // Tries the types of one enumerator, optionally filtered by a partial type.
    HRESULT TryMediaTypes(IPin* pReceivePin, const CMediaTypeRecord* pmt, IEnumMediaTypes* pEnum);
    // Full negotiation over both enumerators.
    HRESULT AgreeMediaType(IPin* pReceivePin, const CMediaTypeRecord* pmt);
    // CheckFormat with the refusal codes mapped to VFW_E_TYPE_NOT_ACCEPTED.
    HRESULT CheckFormatMapped(const CMediaTypeRecord* pmt);

    // Fixed at construction.
    WCHAR* m_pName = nullptr;
    CMediaFilterCore* const m_pFilter;  // not counted: the filter owns the pin
    const PIN_DIRECTION m_dir;
    bool m_bCanReconnectWhenActive = false;
    bool m_bTryMyTypesFirst = false;
    // Guarded by the state lock. A streaming thread reads m_Connected only
    // while the filter is active, when connections cannot change.
    IPin* m_Connected = nullptr;
    CMediaTypeRecord m_mt;
    IQualityControl* m_pQSink = nullptr;
    REFERENCE_TIME m_tStart = 0;
    REFERENCE_TIME m_tStop = MAX_TIME;
    double m_dRate = 1.0;
    std::atomic<LONG> m_TypeVersion{1};
};
