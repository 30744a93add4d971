// Output pin: allocator negotiation with the peer's input and the
// delivery calls downstream.
#pragma once

#include "pin_core.h"

class COutputPinCore : public CPinCore {
  public:
    COutputPinCore(const char* pObjectName, CMediaFilterCore* pFilter, HRESULT* phr, LPCWSTR pName);
    ~COutputPinCore() override;

    // Connection work, state lock held (control thread).
    // Checks the peer's direction and keeps its IMemInputPin.
    HRESULT VetPeer(IPin* pPeer) override;
    // Negotiates the allocator with the kept IMemInputPin.
    HRESULT FinishConnection(IPin* pPeer) override;
    // Decommits and releases the allocator, releases the peer input.
    HRESULT ReleaseConnection() override;
    // Commits the allocator (VFW_E_NO_ALLOCATOR without one).
    HRESULT Activate() override;
    // Decommits the allocator, which releases a delivery blocked in
    // get-buffer. Any control thread; takes no lock.
    HRESULT Deactivate() override;

    // Hooks, in this order.
    // Connection hooks: control thread, state lock held; may take the pin's
    // own locks. The peer's allocator first, then the default one;
    // *ppAlloc is the kept allocator.
    virtual HRESULT NegotiateAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc);
    // Sets buffer count and size on the allocator and fails with E_FAIL when
    // granted less than asked.
    virtual HRESULT ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) = 0;
    // Delivery calls: on the worker thread with no lock held; they take no
    // lock of the pin and may block on downstream. A delivery buffer: blocks
    // until one is free or the allocator is decommitted.
    virtual HRESULT AcquireSample(IMediaSample** ppSample, REFERENCE_TIME* pStart, REFERENCE_TIME* pStop,
                                  DWORD dwFlags);
    virtual HRESULT PushSample(IMediaSample* pSample);
    // Connection hook, state lock held. The platform's memory allocator,
    // created in-process.
    virtual HRESULT CreateDefaultAllocator(IMemAllocator** ppAlloc);
    // Worker thread, no lock.
    virtual HRESULT PushEndOfStream();
    // Control thread, with no state lock or pin lock held (a flush waits
    // for the streaming threads downstream).
    virtual HRESULT PushBeginFlush();
    virtual HRESULT PushEndFlush();
    // Worker thread, no lock.
    virtual HRESULT PushNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    // The usual ChooseBufferSize body: asks for cBuffers of cbBuffer bytes
    // (alignment and prefix as handed in) and fails with E_FAIL when granted less.
    static HRESULT SetBufferProperties(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties,
                                       LONG cBuffers, LONG cbBuffer);

    IMemAllocator* Allocator() const { return m_pAllocator; }
    IMemInputPin* PeerInput() const { return m_pInputPin; }

  protected:
    // Set and cleared under the state lock while stopped; the worker reads
    // them while the filter is active, when they cannot change.
    IMemAllocator* m_pAllocator = nullptr;
    IMemInputPin* m_pInputPin = nullptr;
};
