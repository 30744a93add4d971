// IEnumPins over a filter's pins; refreshes when the pin set changes and
// never returns a pin twice.
#pragma once

#include <vector>

#include "media_filter_core.h"

class CPinEnumerator : public CRefCountedObject, public IEnumPins {
  public:
    // Holds a reference on the filter; copies pCopyFrom when given. Returned with one reference.
    CPinEnumerator(CMediaFilterCore* pFilter, const CPinEnumerator* pCopyFrom);
    ~CPinEnumerator() override;

    KOVEL_DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT Next(ULONG cPins, IPin** ppPins, ULONG* pcFetched) override;
    HRESULT Skip(ULONG cPins) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumPins** ppEnum) override;

  private:
    bool AreWeOutOfSync() const { return m_pFilter->PinVersion() != m_Version; }
    void Refresh();

    int m_Position = 0;
    int m_PinCount = 0;
    LONG m_Version = 0;
    CMediaFilterCore* m_pFilter;
    std::vector<CPinCore*> m_PinCache;
};
