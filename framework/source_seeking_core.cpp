#include "source_seeking_core.h"

#include "streaming_pin.h"

CSourceSeekingCore::CSourceSeekingCore(CStreamingPin* pPin) : m_pPin(pPin) {}

HRESULT CSourceSeekingCore::QueryInterface(REFIID riid, void** ppv) {
    return static_cast<IPin*>(m_pPin)->QueryInterface(riid, ppv);
}
ULONG CSourceSeekingCore::AddRef() {
    return static_cast<IPin*>(m_pPin)->AddRef();
}
ULONG CSourceSeekingCore::Release() {
    return static_cast<IPin*>(m_pPin)->Release();
}

CLockSection* CSourceSeekingCore::SeekingLock() const {
    return m_pPin->StateLock();
}

// Read under the lock, so a concurrent SetPositions is never seen half-written.
HRESULT CSourceSeekingCore::GetCapabilities(DWORD* pCapabilities) {
    if (!pCapabilities)
        return E_POINTER;
    CLockHolder lock(SeekingLock());
    *pCapabilities = m_dwSeekingCaps;
    return S_OK;
}

HRESULT CSourceSeekingCore::CheckCapabilities(DWORD* pCapabilities) {
    if (!pCapabilities)
        return E_POINTER;
    CLockHolder lock(SeekingLock());
    return (*pCapabilities & ~m_dwSeekingCaps) ? S_FALSE : S_OK;
}

HRESULT CSourceSeekingCore::IsFormatSupported(const GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    return *pFormat == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

HRESULT CSourceSeekingCore::QueryPreferredFormat(GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    *pFormat = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

HRESULT CSourceSeekingCore::GetTimeFormat(GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    *pFormat = TIME_FORMAT_MEDIA_TIME;
    return S_OK;
}

HRESULT CSourceSeekingCore::IsUsingTimeFormat(const GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    return *pFormat == TIME_FORMAT_MEDIA_TIME ? S_OK : S_FALSE;
}

HRESULT CSourceSeekingCore::SetTimeFormat(const GUID* pFormat) {
    if (!pFormat)
        return E_POINTER;
    return *pFormat == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
}

HRESULT CSourceSeekingCore::GetDuration(LONGLONG* pDuration) {
    if (!pDuration)
        return E_POINTER;
    CLockHolder lock(SeekingLock());
    *pDuration = m_rtDuration;
    return S_OK;
}

HRESULT CSourceSeekingCore::GetStopPosition(LONGLONG* pStop) {
    if (!pStop)
        return E_POINTER;
    CLockHolder lock(SeekingLock());
    *pStop = m_rtStop;
    return S_OK;
}

HRESULT CSourceSeekingCore::GetCurrentPosition(LONGLONG*) {
    return E_NOTIMPL;
}

HRESULT CSourceSeekingCore::ConvertTimeFormat(LONGLONG* pTarget, const GUID* pTargetFormat, LONGLONG Source,
                                              const GUID* pSourceFormat) {
    if (!pTarget)
        return E_POINTER;
    const GUID& target = pTargetFormat ? *pTargetFormat : TIME_FORMAT_MEDIA_TIME;
    const GUID& source = pSourceFormat ? *pSourceFormat : TIME_FORMAT_MEDIA_TIME;
    if (target != TIME_FORMAT_MEDIA_TIME || source != TIME_FORMAT_MEDIA_TIME)
        return E_INVALIDARG;
    *pTarget = Source;
    return S_OK;
}

HRESULT CSourceSeekingCore::SetPositions(LONGLONG* pCurrent, DWORD dwCurrentFlags, LONGLONG* pStop,
                                         DWORD dwStopFlags) {
    const DWORD stopMode = dwStopFlags & AM_SEEKING_PositioningBitsMask;
    const DWORD startMode = dwCurrentFlags & AM_SEEKING_PositioningBitsMask;
    if (dwStopFlags) {
        if (!pStop)
            return E_POINTER;
        if (dwStopFlags & ~AM_SEEKING_PositioningBitsMask)
            return E_INVALIDARG;
    }
    if (dwCurrentFlags) {
        if (!pCurrent)
            return E_POINTER;
        if (startMode != AM_SEEKING_AbsolutePositioning && startMode != AM_SEEKING_RelativePositioning)
            return E_INVALIDARG;
    }
    {
        CLockHolder lock(SeekingLock());
        if (startMode == AM_SEEKING_AbsolutePositioning)
            m_rtStart = *pCurrent;
        else if (startMode == AM_SEEKING_RelativePositioning)
            m_rtStart += *pCurrent;

        if (stopMode == AM_SEEKING_AbsolutePositioning)
            m_rtStop = *pStop;
        else if (stopMode == AM_SEEKING_IncrementalPositioning)
            m_rtStop = m_rtStart + *pStop;
        else if (stopMode == AM_SEEKING_RelativePositioning)
            m_rtStop += *pStop;
    }
    // The hooks run without the lock: a start change restarts the worker.
    HRESULT hr = S_OK;
    if (stopMode)
        hr = OnStopChanged();
    if (startMode)
        hr = OnStartChanged();
    return hr;
}

HRESULT CSourceSeekingCore::GetPositions(LONGLONG* pCurrent, LONGLONG* pStop) {
    CLockHolder lock(SeekingLock());
    if (pCurrent)
        *pCurrent = m_rtStart;
    if (pStop)
        *pStop = m_rtStop;
    return S_OK;
}

HRESULT CSourceSeekingCore::GetAvailable(LONGLONG* pEarliest, LONGLONG* pLatest) {
    if (pEarliest)
        *pEarliest = 0;
    if (pLatest) {
        CLockHolder lock(SeekingLock());
        *pLatest = m_rtDuration;
    }
    return S_OK;
}

HRESULT CSourceSeekingCore::SetRate(double dRate) {
    {
        CLockHolder lock(SeekingLock());
        m_dRateSeeking = dRate;
    }
    return OnRateChanged();
}

HRESULT CSourceSeekingCore::GetRate(double* pdRate) {
    if (!pdRate)
        return E_POINTER;
    CLockHolder lock(SeekingLock());
    *pdRate = m_dRateSeeking;
    return S_OK;
}

HRESULT CSourceSeekingCore::GetPreroll(LONGLONG* pllPreroll) {
    if (!pllPreroll)
        return E_POINTER;
    *pllPreroll = 0;
    return S_OK;
}
