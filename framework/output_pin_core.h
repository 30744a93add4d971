// Output pin: allocator negotiation with the peer's input and the
// delivery calls downstream.
#pragma once

#include "pin_core.h"

class COutputPinCore : public CPinCore {
  public:
    COutputPinCore(const char* pObjectName, CMediaFilterCore* pFilter, CLockSection* pLock, HRESULT* phr,
                   LPCWSTR pName);
    ~COutputPinCore() override;

    // Checks the peer's direction and keeps its IMemInputPin.
    HRESULT VetPeer(IPin* pPeer) override;
    // Negotiates the allocator with the kept IMemInputPin.
    HRESULT FinishConnection(IPin* pPeer) override;
    // Decommits and releases the allocator, releases the peer input.
    HRESULT ReleaseConnection() override;
    // Commits the allocator (VFW_E_NO_ALLOCATOR without one).
    HRESULT Activate() override;
    // Decommits the allocator, which releases a delivery blocked in get-buffer.
    HRESULT Deactivate() override;

    // Hooks, in this order.
    // The peer's allocator first, then the default one; *ppAlloc is the kept allocator.
    virtual HRESULT NegotiateAllocator(IMemInputPin* pPin, IMemAllocator** ppAlloc);
    // Sets buffer count and size on the allocator (under the filter lock) and
    // fails with E_FAIL when granted less than asked.
    virtual HRESULT ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) = 0;
    // A delivery buffer: blocks until one is free or the allocator is decommitted.
    virtual HRESULT AcquireSample(IMediaSample** ppSample, REFERENCE_TIME* pStart, REFERENCE_TIME* pStop,
                                  DWORD dwFlags);
    virtual HRESULT PushSample(IMediaSample* pSample);
    // The platform's memory allocator, created in-process.
    virtual HRESULT CreateDefaultAllocator(IMemAllocator** ppAlloc);
    virtual HRESULT PushEndOfStream();
    virtual HRESULT PushBeginFlush();
    virtual HRESULT PushEndFlush();
    virtual HRESULT PushNewSegment(REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate);

    // The usual ChooseBufferSize body: asks for cBuffers of cbBuffer bytes
    // (alignment and prefix as handed in) and fails with E_FAIL when granted less.
    static HRESULT SetBufferProperties(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties,
                                       LONG cBuffers, LONG cbBuffer);

    IMemAllocator* Allocator() const { return m_pAllocator; }
    IMemInputPin* PeerInput() const { return m_pInputPin; }

  protected:
    IMemAllocator* m_pAllocator = nullptr;
    IMemInputPin* m_pInputPin = nullptr;
};
