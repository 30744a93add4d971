// A source filter owning an array of streaming output pins.
#pragma once

#include "media_filter_core.h"

class CStreamingPin;

class CSourceFilterCore : public CMediaFilterCore {
  public:
    CSourceFilterCore(const char* pObjectName, IUnknown* pOuter, REFCLSID clsid);
    // Stops, then deletes every pin once, last first. A derived filter needs
    // no destructor of its own for its pins.
    ~CSourceFilterCore() override;

    // Under the state lock.
    int PinCount() override;
    CPinCore* PinAt(int n) override;
    // Identifier: the pin's decimal index plus 1 ("1" is the first pin).
    HRESULT FindPin(LPCWSTR Id, IPin** ppPin) override;

    // Called by the pin's constructor and destructor, under the state lock.
    // A pin of another filter, or one already in the array, is refused with
    // E_INVALIDARG: the array holds each of its own pins once.
    HRESULT AddPin(CStreamingPin* pPin);
    HRESULT RemovePin(CStreamingPin* pPin);
    // Position in the array, or -1.
    int IndexOfPin(const CStreamingPin* pPin);

  protected:
    // Guarded by the state lock; m_paStreams is exactly m_iPins long.
    int m_iPins = 0;
    CStreamingPin** m_paStreams = nullptr;
};
