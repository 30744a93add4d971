// IMediaSeeking for a streaming pin, in media time only. The seek state is
// kept under the filter's state lock; changes reach the pin through hooks.
#pragma once

#include "kovel/streaming.h"
#include "locks.h"

constexpr DWORD kDefaultSeekingCapabilities = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                                              AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetStopPos |
                                              AM_SEEKING_CanGetDuration;

class CStreamingPin;

// Derive a pin from CStreamingPin and this class. The IMediaSeeking unknown
// methods go to the pin, so a caller holding IMediaSeeking keeps the pin
// (and its filter) alive and can query back to IPin; the helper has no
// count of its own. The pin answers IID_IMediaSeeking in its
// NonDelegatingQueryInterface.
//
// Locks: the seek state below is guarded by the filter's state lock, reached
// through the pin. The interface methods take it only while they read or
// write those fields; the hooks run without it.
class CSourceSeekingCore : public IMediaSeeking {
  public:
    explicit CSourceSeekingCore(CStreamingPin* pPin);
    CSourceSeekingCore(const CSourceSeekingCore&) = delete;
    CSourceSeekingCore& operator=(const CSourceSeekingCore&) = delete;

    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

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
    // The pin deletes the whole object; the interface has no destructor slot.
    ~CSourceSeekingCore() = default;

    // Hooks, in this order; each result becomes the triggering call's result.
    // They run on the caller's thread after the new value is stored, with
    // no lock held, so that OnStartChanged may restart the worker
    // (CStreamingPin::RestartDelivery). They may take the state lock to read
    // the positions, and the pin's own locks.
    virtual HRESULT OnStartChanged() = 0;
    virtual HRESULT OnStopChanged() = 0;
    virtual HRESULT OnRateChanged() = 0;

    // The filter's state lock, which guards the fields below.
    CLockSection* SeekingLock() const;

    REFERENCE_TIME m_rtDuration = MAX_TIME;
    REFERENCE_TIME m_rtStart = 0;
    REFERENCE_TIME m_rtStop = MAX_TIME;
    double m_dRateSeeking = 1.0;
    DWORD m_dwSeekingCaps = kDefaultSeekingCapabilities;

  private:
    // The pin this helper belongs to; fixed at construction.
    CStreamingPin* const m_pPin;
};
