// Output pins of the courseware reader: each parses the file header for its
// own stream, offers one media type, and on its worker thread reads the data
// packets in file order, rebuilds its stream's media objects and delivers one
// sample per object. Each pin seeks on its own through the per-second index.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "courseware_parse.h"
#include "source_seeking_core.h"
#include "streaming_pin.h"

class CReaderFilter;

class CCoursewareStreamPin : public CStreamingPin, public CSourceSeekingCore {
  public:
    CCoursewareStreamPin(const char* pObjectName, HRESULT* phr, CReaderFilter* pFilter, LPCWSTR pName,
                         const GUID& streamType);
    ~CCoursewareStreamPin() override;

    // One reference count for pin, seeking interface and filter.
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return NonDelegatingQueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CStreamingPin::NonDelegatingAddRef(); }
    ULONG Release() override { return CStreamingPin::NonDelegatingRelease(); }
    // Adds IMediaSeeking to the pin's interfaces.
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // Quality messages are accepted and ignored: the pins never thin out samples.
    HRESULT Notify(IBaseFilter* pSelf, Quality q) override;

    // Opens the file and walks its header; true when the pin's stream was
    // found and its media type built. The file stays open for the pin's life.
    bool ParseHeader(const std::string& path);

    // State lock (taken here); the type is fixed by the header parse.
    HRESULT CheckFormat(const CMediaTypeRecord* pmt) override;
    HRESULT FormatAt(int iPosition, CMediaTypeRecord* pMediaType) override;
    HRESULT SingleFormat(CMediaTypeRecord* pMediaType) override;
    HRESULT ChooseBufferSize(IMemAllocator* pAlloc, ALLOCATOR_PROPERTIES* pProperties) override;
    // Back to the first data packet (pin lock), then the worker starts.
    // State lock held by the filter's Pause.
    HRESULT Activate() override;
    // Worker thread: the new segment, from the pin's segment (pin lock).
    HRESULT OnDeliveryStart() override;
    // Worker thread: one media object, under the pin lock.
    HRESULT FillSample(IMediaSample* pSample) override;

    uint16_t StreamNumber() const { return m_header.stream.stream_number; }
    bool IsAudio() const { return m_bAudio; }

  protected:
    // Caller's thread, no lock held. Finds the packet of the new start
    // (pin lock) and refuses what cannot be reached before anything stops;
    // then the worker restarts there (RestartDelivery).
    HRESULT OnStartChanged() override;
    // Caller's thread, no lock held: the value goes into the next segment.
    HRESULT OnStopChanged() override;
    HRESULT OnRateChanged() override;

    // Whether a finished sample is marked as a discontinuity; called under
    // the pin lock once per delivered sample.
    virtual bool IsDiscontinuity(const zmr::StreamAssembler::Sample& s) = 0;

  private:
    // Seek positions as the seeking base holds them, read under the state lock.
    void ReadSeekingPositions(REFERENCE_TIME* pStart, REFERENCE_TIME* pStop, double* pRate);

    const bool m_bAudio;
    const GUID m_streamType;

    // Everything below is guarded by the pin lock, taken after the state lock
    // and the worker's access lock and never the other way round.
    CLockSection m_PinLock;
    std::string m_path;
    zmr::FileReader m_file;
    zmr::PinHeader m_header;
    bool m_bParsed = false;
    bool m_bDataReady = false;  // the data object head was found at the last activation
    std::optional<zmr::DataObjectInfo> m_data;
    zmr::StreamAssembler m_assembler{false, 0};
    std::optional<std::vector<uint32_t>> m_index;
    // The segment in effect: sample times are relative to its start.
    REFERENCE_TIME m_rtSegmentStart = 0;
    REFERENCE_TIME m_rtSegmentStop = UNITS;
    double m_dSegmentRate = 1.0;

    // The one media type, fixed by the header parse; guarded by the state lock.
    CMediaTypeRecord m_mtStream;
    LONG m_cbBuffer = 0;
};

class CAudioStreamPin : public CCoursewareStreamPin {
  public:
    CAudioStreamPin(HRESULT* phr, CReaderFilter* pFilter, LPCWSTR pName);

  protected:
    // Only the first sample in the pin's life.
    bool IsDiscontinuity(const zmr::StreamAssembler::Sample& s) override;

  private:
    uint64_t m_cDelivered = 1;
};

class CVideoStreamPin : public CCoursewareStreamPin {
  public:
    CVideoStreamPin(HRESULT* phr, CReaderFilter* pFilter, LPCWSTR pName, const GUID& streamType);

  protected:
    // A completing payload with flags byte 0.
    bool IsDiscontinuity(const zmr::StreamAssembler::Sample& s) override;
};
