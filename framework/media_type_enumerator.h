// IEnumMediaTypes over a pin's FormatAt.
#pragma once

#include "pin_core.h"

class CMediaTypeEnumerator : public CRefCountedObject, public IEnumMediaTypes {
  public:
    // Holds a reference on the pin; starts at position 0 (or copies pCopyFrom).
    // The new enumerator is returned with one reference.
    CMediaTypeEnumerator(CPinCore* pPin, const CMediaTypeEnumerator* pCopyFrom);
    ~CMediaTypeEnumerator() override;

    KOVEL_DECLARE_IUNKNOWN
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT Next(ULONG cMediaTypes, AM_MEDIA_TYPE** ppMediaTypes, ULONG* pcFetched) override;
    HRESULT Skip(ULONG cMediaTypes) override;
    HRESULT Reset() override;
    HRESULT Clone(IEnumMediaTypes** ppEnum) override;

  private:
    bool AreWeOutOfSync() const { return m_pPin->TypeVersion() != m_Version; }

    int m_Position;
    CPinCore* m_pPin;
    LONG m_Version;
};
