// A source filter owning an array of streaming output pins, with one state
// lock for the whole filter.
#pragma once

#include "media_filter_core.h"

class CStreamingPin;

class CSourceFilterCore : public CMediaFilterCore {
  public:
    CSourceFilterCore(const char* pObjectName, IUnknown* pOuter, REFCLSID clsid);
    // Deletes the remaining pins, last first.
    ~CSourceFilterCore() override;

    int PinCount() override;
    CPinCore* PinAt(int n) override;
    // Identifier: the pin's decimal index plus 1 ("1" is the first pin).
    HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override;

    // Called by the pin's constructor and destructor.
    HRESULT AddPin(CStreamingPin* pPin);
    HRESULT RemovePin(CStreamingPin* pPin);
    // Position in the array, or -1.
    int IndexOfPin(const CStreamingPin* pPin);

    CLockSection* StateLock() { return &m_cStateLock; }

  protected:
    int m_iPins = 0;
    CStreamingPin** m_paStreams = nullptr;
    CLockSection m_cStateLock;
};
