#include "stream_pins.h"

#include <algorithm>

#include "kovel/com.h"
#include "reader_filter.h"

namespace {

// Media objects carry a 16-bit size, so no sample ever needs a larger buffer;
// a hostile buffer size in the file must not make the pin ask for gigabytes.
constexpr LONG kLargestMediaObject = 0xFFFF;

// Payload time minus the segment start, saturated: hostile times must not overflow.
REFERENCE_TIME RelativeTime(REFERENCE_TIME t, REFERENCE_TIME base) {
    REFERENCE_TIME r;
    if (__builtin_sub_overflow(t, base, &r))
        return base > 0 ? INT64_MIN : INT64_MAX;
    return r;
}

void ToRecord(const zmr::StreamMediaType& smt, CMediaTypeRecord* pmt) {
    pmt->Free();
    pmt->SetType(&smt.major_type);
    pmt->SetSubtype(&smt.subtype);
    pmt->SetFormatType(&smt.format_type);
    pmt->bFixedSizeSamples = smt.fixed_size ? TRUE : FALSE;
    pmt->lSampleSize = smt.sample_size;
    pmt->SetTemporalCompression(smt.temporal_compression);
    pmt->SetFormat(smt.format.data(), ULONG(smt.format.size()));
}

}  // namespace

CCoursewareStreamPin::CCoursewareStreamPin(const char* pObjectName, HRESULT* phr, CReaderFilter* pFilter,
                                           LPCWSTR pName, const GUID& streamType)
    : CStreamingPin(pObjectName, phr, pFilter, pName),
      CSourceSeekingCore(this),
      m_bAudio(streamType == zmr::kAudioStream),
      m_streamType(streamType) {
    // One second until the file properties tell the play duration.
    m_rtStart = 0;
    m_rtStop = UNITS;
    m_rtDuration = UNITS;
}

CCoursewareStreamPin::~CCoursewareStreamPin() {
    // A worker still running would read the members destroyed after this body.
    EndWorker();
}

HRESULT CCoursewareStreamPin::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IMediaSeeking) {
        *ppv = static_cast<IMediaSeeking*>(this);
        AddRef();
        return S_OK;
    }
    return CStreamingPin::NonDelegatingQueryInterface(riid, ppv);
}

HRESULT CCoursewareStreamPin::Notify(IBaseFilter*, Quality) {
    return S_OK;
}

bool CCoursewareStreamPin::ParseHeader(const std::string& path) {
    zmr::PinHeader header;
    {
        CLockHolder lock(&m_PinLock);
        m_path = path;
        m_file.Close();
        m_bParsed = false;
        if (m_file.Open(path) != 0)
            return false;
        if (!zmr::ParsePinHeader(m_file, m_streamType, &header))
            return false;
        m_header = header;
        m_bParsed = true;
        m_assembler = zmr::StreamAssembler(m_bAudio, header.stream.stream_number);
        m_rtSegmentStart = 0;
        m_rtSegmentStop = header.play_duration;
    }
    // The media type and the seek state belong to the state lock.
    CLockHolder lock(StateLock());
    ToRecord(header.media_type, &m_mtStream);
    m_cbBuffer = header.stream.buffer_size > uint32_t(INT32_MAX) ? -1 : LONG(header.stream.buffer_size);
    m_rtStop = header.play_duration;
    m_rtDuration = header.play_duration;
    IncrementTypeVersion();
    return true;
}

HRESULT CCoursewareStreamPin::SingleFormat(CMediaTypeRecord* pMediaType) {
    if (!pMediaType)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (m_mtStream.majortype == GUID_NULL)
        return E_UNEXPECTED;
    return pMediaType->Set(m_mtStream);
}

HRESULT CCoursewareStreamPin::CheckFormat(const CMediaTypeRecord* pmt) {
    if (!pmt)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (m_mtStream.majortype == GUID_NULL)
        return E_FAIL;
    return m_mtStream == *pmt ? S_OK : E_FAIL;
}

HRESULT CCoursewareStreamPin::FormatAt(int iPosition, CMediaTypeRecord* pMediaType) {
    if (!pMediaType)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (iPosition != 0)
        return E_FAIL;
    return SingleFormat(pMediaType);
}

HRESULT CCoursewareStreamPin::ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) {
    if (!pAlloc || !pProperties)
        return E_POINTER;
    CLockHolder lock(StateLock());
    if (m_cbBuffer <= 0)
        return E_FAIL;
    return SetBufferProperties(pAlloc, pProperties, 1, std::min(m_cbBuffer, kLargestMediaObject));
}

HRESULT CCoursewareStreamPin::Activate() {
    // Already active: the framework answers without touching the worker, and
    // delivery must not jump back to the first packet either.
    if (!m_pSourceFilter->IsStopped())
        return CStreamingPin::Activate();
    {
        CLockHolder lock(&m_PinLock);
        m_bDataReady = false;
        if (m_bParsed) {
            m_data = zmr::ReadDataObject(m_file, m_header.header_size);
            if (m_data) {
                m_assembler.Start(*m_data);
                m_bDataReady = true;
            }
        }
    }
    // A broken data object still gets its worker: the first fill ends the
    // stream, so downstream sees end of stream instead of waiting forever.
    return CStreamingPin::Activate();
}

HRESULT CCoursewareStreamPin::OnDeliveryStart() {
    REFERENCE_TIME start, stop;
    double rate;
    {
        CLockHolder lock(&m_PinLock);
        start = m_rtSegmentStart;
        stop = m_rtSegmentStop;
        rate = m_dSegmentRate;
    }
    return PushNewSegment(start, stop, rate);
}

HRESULT CCoursewareStreamPin::FillSample(IMediaSample* pSample) {
    if (!pSample)
        return E_POINTER;
    BYTE* pBuffer = nullptr;
    if (FAILED(pSample->GetPointer(&pBuffer)) || !pBuffer)
        return E_POINTER;
    const LONG cbCapacity = pSample->GetSize();
    CLockHolder lock(&m_PinLock);
    if (!m_bDataReady || !m_data)
        return S_FALSE;
    if (!m_header.have_file_properties)
        return m_assembler.packet_counter() > m_data->packet_count ? S_FALSE : E_POINTER;
    zmr::StreamAssembler::Sample s;
    if (m_assembler.Fill(m_file, pBuffer, cbCapacity > 0 ? uint32_t(cbCapacity) : 0, &s) ==
        zmr::StreamAssembler::Result::kEnd)
        return S_FALSE;
    pSample->SetActualDataLength(LONG(s.size));
    REFERENCE_TIME start = RelativeTime(s.start, m_rtSegmentStart);
    REFERENCE_TIME end = RelativeTime(s.end, m_rtSegmentStart);
    pSample->SetTime(&start, &end);
    pSample->SetSyncPoint(TRUE);
    if (IsDiscontinuity(s))
        pSample->SetDiscontinuity(TRUE);
    return S_OK;
}

void CCoursewareStreamPin::ReadSeekingPositions(REFERENCE_TIME* pStart, REFERENCE_TIME* pStop,
                                                double* pRate) {
    CLockHolder lock(StateLock());
    *pStart = m_rtStart;
    *pStop = m_rtStop;
    *pRate = m_dRateSeeking;
}

HRESULT CCoursewareStreamPin::OnStartChanged() {
    REFERENCE_TIME start, stop;
    double rate;
    ReadSeekingPositions(&start, &stop, &rate);

    // First find where to go, with the worker still running: a seek that
    // cannot be made must not disturb delivery.
    std::optional<uint32_t> packet;
    REFERENCE_TIME previous;
    {
        CLockHolder lock(&m_PinLock);
        previous = m_rtSegmentStart;
        if (m_bParsed && !m_index) {
            std::optional<zmr::DataObjectInfo> data =
                m_data ? m_data : zmr::ReadDataObject(m_file, m_header.header_size);
            if (data && data->size <= UINT64_MAX - data->offset)
                m_index = zmr::LoadSeekIndex(m_file, data->offset + data->size, m_bAudio,
                                             m_header.stream.stream_number);
        }
        if (m_index)
            packet = zmr::SeekPacket(*m_index, start, m_header.play_duration);
    }
    if (!packet) {
        // Samples keep the times of the segment they belong to.
        CLockHolder lock(StateLock());
        if (m_rtStart == start)
            m_rtStart = previous;
        return E_FAIL;
    }

    // The worker is flushed and stopped before the move, so that nothing it
    // fills at the new position is thrown away by the flush.
    return RestartDelivery([&] {
        CLockHolder lock(&m_PinLock);
        m_assembler.Reposition(*packet);
        m_rtSegmentStart = start;
        m_rtSegmentStop = stop;
        m_dSegmentRate = rate;
    });
}

HRESULT CCoursewareStreamPin::OnStopChanged() {
    REFERENCE_TIME start, stop;
    double rate;
    ReadSeekingPositions(&start, &stop, &rate);
    CLockHolder lock(&m_PinLock);
    m_rtSegmentStop = stop;
    return S_OK;
}

HRESULT CCoursewareStreamPin::OnRateChanged() {
    REFERENCE_TIME start, stop;
    double rate;
    ReadSeekingPositions(&start, &stop, &rate);
    CLockHolder lock(&m_PinLock);
    m_dSegmentRate = rate;
    return S_OK;
}

CAudioStreamPin::CAudioStreamPin(HRESULT* phr, CReaderFilter* pFilter, LPCWSTR pName)
    : CCoursewareStreamPin("audio stream pin", phr, pFilter, pName, zmr::kAudioStream) {}

bool CAudioStreamPin::IsDiscontinuity(const zmr::StreamAssembler::Sample&) {
    return m_cDelivered++ == 1;
}

CVideoStreamPin::CVideoStreamPin(HRESULT* phr, CReaderFilter* pFilter, LPCWSTR pName, const GUID& streamType)
    : CCoursewareStreamPin("video stream pin", phr, pFilter, pName, streamType) {}

bool CVideoStreamPin::IsDiscontinuity(const zmr::StreamAssembler::Sample& s) {
    return s.flags == 0;
}
