#include "dummy_filters.h"

namespace kovel::stubcast {

HRESULT CFrameClock::Stamp(IMediaSample* pSample) {
    if (!pSample)
        return E_POINTER;
    CLockHolder lock(&m_cSharedState);
    // The buffer is asked for but left as the allocator handed it out: the
    // samples are empty on purpose.
    BYTE* pData = nullptr;
    pSample->GetPointer(&pData);
    (void)pSample->GetSize();
    REFERENCE_TIME rtStart = m_iFrameNumber * m_rtFrameLength;
    REFERENCE_TIME rtStop = rtStart + m_rtFrameLength;
    pSample->SetTime(&rtStart, &rtStop);
    ++m_iFrameNumber;
    pSample->SetSyncPoint(TRUE);
    return S_OK;
}

int64_t CFrameClock::Count() {
    CLockHolder lock(&m_cSharedState);
    return m_iFrameNumber;
}

}  // namespace kovel::stubcast
