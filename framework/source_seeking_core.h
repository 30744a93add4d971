// IMediaSeeking for a streaming pin, in media time only. The seek state is
// kept under a lock the pin supplies; changes reach the pin through hooks.
#pragma once

#include "kovel/streaming.h"
#include "locks.h"
#include "ref_counted_object.h"

constexpr DWORD kDefaultSeekingCapabilities = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                                              AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetStopPos |
                                              AM_SEEKING_CanGetDuration;

// Derive a pin from CStreamingPin and this class. The IMediaSeeking unknown
// methods go to the pin given at construction, so a caller holding
// IMediaSeeking keeps the pin (and its filter) alive and can query back to IPin.
// The pin answers IID_IMediaSeeking in its NonDelegatingQueryInterface.
class CSourceSeekingCore : public IMediaSeeking, public CRefCountedObject {
  public:
    // pPin: the owning pin's unknown; pLock: not owned (the filter's state lock).
    CSourceSeekingCore(const char* pObjectName, IUnknown* pPin, HRESULT* phr, CLockSection* pLock);
    ~CSourceSeekingCore() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return m_pPinUnknown->QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return m_pPinUnknown->AddRef(); }
    ULONG Release() override { return m_pPinUnknown->Release(); }
    // Answers IMediaSeeking, else the base.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    HRESULT GetCapabilities(DWORD* pCapabilities) override;
    HRESULT CheckCapabilities(DWORD* pCapabilities) override;
    HRESULT IsFormatSupported(const GUID* pFormat) override;
    HRESULT QueryPreferredFormat(GUID* pFormat) override;
    HRESULT GetTimeFormat(GUID* pFormat) override;
    HRESULT IsUsingTimeFormat(const GUID* pFormat) override;
    HRESULT SetTimeFormat(const GUID* pFormat) override;
    HRESULT GetDuration(LONGLONG* pDuration) override;
    HRESULT GetStopPosition(LONGLONG* pStop) override;
    HRESULT GetCurrentPosition(LONGLONG* pCurrent) override;
    HRESULT ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                              const GUID* pSourceFormat) override;
    HRESULT SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                         DWORD dwStopFlags) override;
    HRESULT GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) override;
    HRESULT GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) override;
    HRESULT SetRate(double dRate) override;
    HRESULT GetRate(double* pdRate) override;
    HRESULT GetPreroll(LONGLONG* pllPreroll) override;

  protected:
    // Hooks, in this order; each result becomes the triggering call's result.
    // They run without the lock held.
    virtual HRESULT OnStartChanged() = 0;
    virtual HRESULT OnStopChanged() = 0;
    virtual HRESULT OnRateChanged() = 0;

    REFERENCE_TIME m_rtDuration = MAX_TIME;
    REFERENCE_TIME m_rtStart = 0;
    REFERENCE_TIME m_rtStop = MAX_TIME;
    double m_dRateSeeking = 1.0;
    DWORD m_dwSeekingCaps = kDefaultSeekingCapabilities;
    CLockSection* m_pLock;

  private:
    IUnknown* m_pPinUnknown;
};
