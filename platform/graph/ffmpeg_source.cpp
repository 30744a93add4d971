#include "ffmpeg_source.h"

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "com_util.h"
#include "kovel/com.h"
#include "kovel/events.h"
#include "kovel/formats.h"
#include "kovel/guids.h"
#include "media_time_seeking.h"
#include "media_type.h"

namespace kovel::graph {
namespace {

constexpr AVRational kRefTime{1, 10000000};

class FileSource;

class SourcePin final : public IPin, public MediaTimeSeeking {
  public:
    SourcePin(FileSource* filter, std::u16string name, int stream, MediaTypeHolder mt, LONG bufferSize,
              REFERENCE_TIME duration)
        : filter_(filter),
          name_(std::move(name)),
          stream_(stream),
          mt_(std::move(mt)),
          bufferSize_(bufferSize),
          duration_(duration),
          stop_(duration) {}
    ~SourcePin() {
        Deactivate();
        if (fmt_)
            avformat_close_input(&fmt_);
    }

    HRESULT Open(const std::string& path) {
        if (avformat_open_input(&fmt_, path.c_str(), nullptr, nullptr) < 0)
            return E_FAIL;
        if (avformat_find_stream_info(fmt_, nullptr) < 0)
            return E_FAIL;
        if (stream_ < 0 || unsigned(stream_) >= fmt_->nb_streams)
            return E_FAIL;
        // Only this pin's stream is read from its own demuxer.
        for (unsigned i = 0; i < fmt_->nb_streams; ++i)
            fmt_->streams[i]->discard = int(i) == stream_ ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
        return S_OK;
    }

    // IUnknown: the pin lives as long as its filter.
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPin) {
            *ppv = static_cast<IPin*>(this);
        } else if (riid == IID_IMediaSeeking) {
            *ppv = static_cast<IMediaSeeking*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override;
    ULONG Release() override;

    // IPin
    HRESULT Connect(IPin* receive, const AM_MEDIA_TYPE* pmt) override {
        if (!receive)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (peer_)
            return VFW_E_ALREADY_CONNECTED;
        if (active_)
            return VFW_E_NOT_STOPPED;
        if (pmt && !(pmt->majortype == GUID_NULL || pmt->majortype == mt_.get().majortype))
            return VFW_E_TYPE_NOT_ACCEPTED;
        if (pmt && pmt->subtype != GUID_NULL && pmt->subtype != mt_.get().subtype)
            return VFW_E_TYPE_NOT_ACCEPTED;
        if (PinDirection(receive) != PINDIR_INPUT)
            return VFW_E_INVALID_DIRECTION;
        HRESULT hr = receive->ReceiveConnection(static_cast<IPin*>(this), &mt_.get());
        if (FAILED(hr))
            return VFW_E_NO_ACCEPTABLE_TYPES;
        ComPtr<IMemInputPin> input = QueryAs<IMemInputPin>(receive, IID_IMemInputPin);
        if (!input) {
            receive->Disconnect();
            return VFW_E_NO_TRANSPORT();
        }
        hr = NegotiateAllocator(input.get());
        if (FAILED(hr)) {
            receive->Disconnect();
            return hr;
        }
        peer_ = ComPtr<IPin>(receive);
        input_ = input;
        return S_OK;
    }
    HRESULT ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT Disconnect() override {
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (active_)
            return VFW_E_NOT_STOPPED;
        if (!peer_)
            return S_FALSE;
        peer_.Reset();
        input_.Reset();
        alloc_.Reset();
        return S_OK;
    }
    HRESULT ConnectedTo(IPin** pin) override {
        if (!pin)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        *pin = nullptr;
        if (!peer_)
            return VFW_E_NOT_CONNECTED;
        *pin = peer_.get();
        (*pin)->AddRef();
        return S_OK;
    }
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* pmt) override {
        if (!pmt)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (!peer_) {
            *pmt = AM_MEDIA_TYPE{};
            return VFW_E_NOT_CONNECTED;
        }
        return CopyMediaType(pmt, &mt_.get());
    }
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* dir) override {
        if (!dir)
            return E_POINTER;
        *dir = PINDIR_OUTPUT;
        return S_OK;
    }
    HRESULT QueryId(LPWSTR* id) override {
        if (!id)
            return E_POINTER;
        size_t bytes = (name_.size() + 1) * sizeof(WCHAR);
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!*id)
            return E_OUTOFMEMORY;
        std::memcpy(*id, name_.c_str(), bytes);
        return S_OK;
    }
    HRESULT QueryAccept(const AM_MEDIA_TYPE* pmt) override {
        if (!pmt)
            return E_POINTER;
        return MediaTypesEqual(*pmt, mt_.get()) ? S_OK : S_FALSE;
    }
    HRESULT EnumMediaTypes(IEnumMediaTypes** e) override {
        if (!e)
            return E_POINTER;
        *e = new MediaTypeEnumerator({mt_});
        return S_OK;
    }
    HRESULT QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT EndOfStream() override { return E_UNEXPECTED; }
    HRESULT BeginFlush() override { return E_UNEXPECTED; }
    HRESULT EndFlush() override { return E_UNEXPECTED; }
    HRESULT NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IMediaSeeking
    HRESULT GetCapabilities(DWORD* caps) override {
        if (!caps)
            return E_POINTER;
        *caps = kCaps;
        return S_OK;
    }
    HRESULT SetTimeFormat(const GUID* f) override {
        if (!f)
            return E_POINTER;
        return *f == TIME_FORMAT_MEDIA_TIME ? S_OK : E_INVALIDARG;
    }
    HRESULT GetDuration(LONGLONG* d) override {
        if (!d)
            return E_POINTER;
        *d = duration_;
        return S_OK;
    }
    HRESULT GetStopPosition(LONGLONG* s) override {
        if (!s)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        *s = stop_;
        return S_OK;
    }
    HRESULT GetCurrentPosition(LONGLONG* c) override {
        if (!c)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        *c = start_;
        return S_OK;
    }
    HRESULT SetPositions(LONGLONG* cur, DWORD curFlags, LONGLONG* stop, DWORD stopFlags) override;
    HRESULT GetPositions(LONGLONG* cur, LONGLONG* stop) override {
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (cur)
            *cur = start_;
        if (stop)
            *stop = stop_;
        return S_OK;
    }
    HRESULT GetAvailable(LONGLONG* e, LONGLONG* l) override {
        if (e)
            *e = 0;
        if (l)
            *l = duration_;
        return S_OK;
    }
    // The rate travels in the next new segment; times stay media times.
    HRESULT SetRate(double r) override {
        if (!(r > 0) || !std::isfinite(r))
            return E_INVALIDARG;
        std::lock_guard<std::recursive_mutex> l(lock_);
        rate_ = r;
        return S_OK;
    }
    HRESULT GetRate(double* r) override {
        if (!r)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(lock_);
        *r = rate_;
        return S_OK;
    }

    // Filter state changes (called under the filter's state lock).
    HRESULT Activate() {
        std::lock_guard<std::recursive_mutex> l(lock_);
        if (!peer_ || active_)
            return S_OK;
        HRESULT hr = alloc_->Commit();
        if (FAILED(hr))
            return hr;
        Reposition();
        active_ = true;
        StartWorker();
        return S_OK;
    }
    void Deactivate() {
        ComPtr<IMemAllocator> alloc;
        {
            std::lock_guard<std::recursive_mutex> l(lock_);
            if (!active_)
                return;
            active_ = false;
            alloc = alloc_;
        }
        stopRequest_ = true;
        // Decommit releases a worker waiting for a buffer; a worker blocked in
        // a downstream delivery is released by the downstream filter's own Stop.
        if (alloc)
            alloc->Decommit();
        if (worker_.joinable())
            worker_.join();
    }
    const std::u16string& name() const { return name_; }

  private:
    static constexpr DWORD kCaps = AM_SEEKING_CanSeekAbsolute | AM_SEEKING_CanSeekForwards |
                                   AM_SEEKING_CanSeekBackwards | AM_SEEKING_CanGetStopPos |
                                   AM_SEEKING_CanGetDuration | AM_SEEKING_CanGetCurrentPos;
    static constexpr HRESULT VFW_E_NO_TRANSPORT() { return MAKE_HR(0x80040266); }

    HRESULT NegotiateAllocator(IMemInputPin* input) {
        ALLOCATOR_PROPERTIES req{};
        input->GetAllocatorRequirements(&req);
        req.cBuffers = std::max<LONG>(req.cBuffers, 4);
        req.cbBuffer = std::max<LONG>(req.cbBuffer, bufferSize_);
        req.cbAlign = std::max<LONG>(req.cbAlign, 1);
        ComPtr<IMemAllocator> alloc;
        auto tryAlloc = [&](IMemAllocator* a) {
            ALLOCATOR_PROPERTIES actual{};
            if (FAILED(a->SetProperties(&req, &actual)) || actual.cbBuffer < bufferSize_)
                return false;
            return SUCCEEDED(input->NotifyAllocator(a, FALSE));
        };
        if (SUCCEEDED(input->GetAllocator(alloc.Out())) && alloc && tryAlloc(alloc.get())) {
            alloc_ = alloc;
            return S_OK;
        }
        alloc.Reset();
        if (FAILED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                    alloc.OutVoid())) ||
            !alloc || !tryAlloc(alloc.get()))
            return VFW_E_NO_ALLOCATOR;
        alloc_ = alloc;
        return S_OK;
    }

    void Reposition() {
        AVStream* st = fmt_->streams[stream_];
        int64_t ts = av_rescale_q(start_, kRefTime, st->time_base);
        if (st->start_time != AV_NOPTS_VALUE)
            ts += st->start_time;
        if (av_seek_frame(fmt_, stream_, ts, AVSEEK_FLAG_BACKWARD) < 0)
            av_seek_frame(fmt_, stream_, ts, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
        discontinuity_ = true;
    }

    void StartWorker() {
        stopRequest_ = false;
        REFERENCE_TIME start = start_, stop = stop_;
        double rate = rate_;
        worker_ = std::thread([this, start, stop, rate] { Work(start, stop, rate); });
    }

    void Work(REFERENCE_TIME start, REFERENCE_TIME stop, double rate);

    FileSource* filter_;
    std::u16string name_;
    int stream_;
    MediaTypeHolder mt_;
    LONG bufferSize_;
    REFERENCE_TIME duration_;
    std::recursive_mutex lock_;
    AVFormatContext* fmt_ = nullptr;
    ComPtr<IPin> peer_;
    ComPtr<IMemInputPin> input_;
    ComPtr<IMemAllocator> alloc_;
    bool active_ = false;
    bool discontinuity_ = true;
    std::atomic<bool> stopRequest_{false};
    std::thread worker_;
    REFERENCE_TIME start_ = 0;
    REFERENCE_TIME stop_;
    double rate_ = 1.0;
};

class FileSource final : public IBaseFilter, public IFileSourceFilter {
  public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IBaseFilter || riid == IID_IMediaFilter ||
            riid == IID_IPersist) {
            *ppv = static_cast<IBaseFilter*>(this);
        } else if (riid == IID_IFileSourceFilter) {
            *ppv = static_cast<IFileSourceFilter*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs_; }
    ULONG Release() override {
        ULONG r = --refs_;
        if (r == 0)
            delete this;
        return r;
    }
    HRESULT GetClassID(CLSID* id) override {
        if (!id)
            return E_POINTER;
        *id = CLSID_KovelFileSource;
        return S_OK;
    }
    HRESULT Stop() override {
        std::lock_guard<std::recursive_mutex> l(state_);
        for (auto& p : pins_) p->Deactivate();
        stateValue_ = State_Stopped;
        return S_OK;
    }
    HRESULT Pause() override {
        std::lock_guard<std::recursive_mutex> l(state_);
        if (stateValue_ == State_Stopped) {
            for (auto& p : pins_) {
                HRESULT hr = p->Activate();
                if (FAILED(hr)) {
                    for (auto& q : pins_) q->Deactivate();
                    return hr;
                }
            }
        }
        stateValue_ = State_Paused;
        return S_OK;
    }
    HRESULT Run(REFERENCE_TIME) override {
        std::lock_guard<std::recursive_mutex> l(state_);
        if (stateValue_ == State_Stopped) {
            HRESULT hr = Pause();
            if (FAILED(hr))
                return hr;
        }
        stateValue_ = State_Running;
        return S_OK;
    }
    HRESULT GetState(DWORD, FILTER_STATE* s) override {
        if (!s)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(state_);
        *s = stateValue_;
        return S_OK;
    }
    HRESULT SetSyncSource(IReferenceClock* c) override {
        std::lock_guard<std::recursive_mutex> l(state_);
        clock_ = ComPtr<IReferenceClock>(c);
        return S_OK;
    }
    HRESULT GetSyncSource(IReferenceClock** c) override {
        if (!c)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(state_);
        *c = clock_.get();
        if (*c)
            (*c)->AddRef();
        return S_OK;
    }
    HRESULT EnumPins(IEnumPins** e) override {
        if (!e)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(state_);
        std::vector<ComPtr<IPin>> pins;
        for (auto& p : pins_) pins.emplace_back(p.get());
        *e = new PinEnumerator(std::move(pins));
        return S_OK;
    }
    HRESULT FindPin(LPCWSTR id, IPin** pin) override {
        if (!id || !pin)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(state_);
        for (auto& p : pins_)
            if (p->name() == id) {
                *pin = p.get();
                (*pin)->AddRef();
                return S_OK;
            }
        *pin = nullptr;
        return VFW_E_NOT_FOUND;
    }
    HRESULT QueryFilterInfo(FILTER_INFO* info) override {
        if (!info)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(state_);
        CopyName(info->achName, MAX_FILTER_NAME, name_);
        info->pGraph = graph_;
        if (graph_)
            graph_->AddRef();
        return S_OK;
    }
    HRESULT JoinFilterGraph(IFilterGraph* graph, LPCWSTR name) override {
        std::lock_guard<std::recursive_mutex> l(state_);
        // The graph owns the filter: no reference back, or neither would go away.
        graph_ = graph;
        name_ = name ? name : u"";
        sink_ = nullptr;
        if (graph) {
            IMediaEventSink* sink = nullptr;
            if (SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&sink))) &&
                sink) {
                sink_ = sink;
                sink->Release();
            }
        }
        return S_OK;
    }
    HRESULT QueryVendorInfo(LPWSTR* v) override {
        if (v)
            *v = nullptr;
        return E_NOTIMPL;
    }

    HRESULT Load(LPCOLESTR file, const AM_MEDIA_TYPE*) override;
    HRESULT GetCurFile(LPOLESTR* file, AM_MEDIA_TYPE* pmt) override {
        if (!file)
            return E_POINTER;
        std::lock_guard<std::recursive_mutex> l(state_);
        *file = nullptr;
        if (path_.empty())
            return E_FAIL;
        size_t bytes = (path_.size() + 1) * sizeof(WCHAR);
        *file = static_cast<LPOLESTR>(CoTaskMemAlloc(bytes));
        if (!*file)
            return E_OUTOFMEMORY;
        std::memcpy(*file, path_.c_str(), bytes);
        if (pmt)
            *pmt = AM_MEDIA_TYPE{};
        return S_OK;
    }

    // Called from the pin workers: must not take the state lock, which Stop
    // holds while it waits for them.
    void NotifyEvent(LONG code, LONG_PTR p1, LONG_PTR p2) {
        IMediaEventSink* sink = sink_.load();
        if (sink)
            sink->Notify(code, p1, p2);
    }
    std::recursive_mutex& stateLock() { return state_; }
    bool IsActive() {
        std::lock_guard<std::recursive_mutex> l(state_);
        return stateValue_ != State_Stopped;
    }

  private:
    ~FileSource() {
        Stop();
        pins_.clear();
    }
    std::atomic<ULONG> refs_{1};
    std::recursive_mutex state_;
    FILTER_STATE stateValue_ = State_Stopped;
    ComPtr<IReferenceClock> clock_;
    IFilterGraph* graph_ = nullptr;
    std::atomic<IMediaEventSink*> sink_{nullptr};
    std::u16string name_;
    std::u16string path_;
    std::vector<std::unique_ptr<SourcePin>> pins_;
    friend class SourcePin;
};

ULONG SourcePin::AddRef() {
    return filter_->AddRef();
}
ULONG SourcePin::Release() {
    return filter_->Release();
}

HRESULT SourcePin::QueryPinInfo(PIN_INFO* info) {
    if (!info)
        return E_POINTER;
    info->pFilter = filter_;
    filter_->AddRef();
    info->dir = PINDIR_OUTPUT;
    CopyName(info->achName, MAX_PIN_NAME, name_);
    return S_OK;
}

HRESULT SourcePin::SetPositions(LONGLONG* cur, DWORD curFlags, LONGLONG* stop, DWORD stopFlags) {
    DWORD curMode = curFlags & AM_SEEKING_PositioningBitsMask;
    DWORD stopMode = stopFlags & AM_SEEKING_PositioningBitsMask;
    if ((curMode != AM_SEEKING_NoPositioning && !cur) || (stopMode != AM_SEEKING_NoPositioning && !stop))
        return E_POINTER;
    // Filter state lock first, then the pin lock; the worker takes neither.
    std::lock_guard<std::recursive_mutex> fl(filter_->stateLock());
    REFERENCE_TIME newStart, newStop;
    bool active;
    {
        std::lock_guard<std::recursive_mutex> l(lock_);
        newStart = start_;
        newStop = stop_;
        if (curMode == AM_SEEKING_AbsolutePositioning)
            newStart = *cur;
        if (curMode == AM_SEEKING_RelativePositioning)
            newStart += *cur;
        if (stopMode == AM_SEEKING_AbsolutePositioning)
            newStop = *stop;
        if (stopMode == AM_SEEKING_RelativePositioning)
            newStop += *stop;
        if (newStart < 0)
            newStart = 0;
        if (newStart > duration_)
            newStart = duration_;
        if (newStop > duration_ || newStop < 0)
            newStop = duration_;
        if (curMode == AM_SEEKING_NoPositioning && stopMode == AM_SEEKING_NoPositioning)
            return S_OK;
        active = active_;
    }
    if (active && curMode != AM_SEEKING_NoPositioning) {
        // Flush first so a delivery blocked downstream returns, then stop the
        // worker; reposition only once nothing reads the file.
        ComPtr<IPin> peer = peer_;
        if (peer)
            peer->BeginFlush();
        stopRequest_ = true;
        if (worker_.joinable())
            worker_.join();
        if (peer)
            peer->EndFlush();
        std::lock_guard<std::recursive_mutex> l(lock_);
        start_ = newStart;
        stop_ = newStop;
        Reposition();
        StartWorker();
    } else {
        std::lock_guard<std::recursive_mutex> l(lock_);
        start_ = newStart;
        stop_ = newStop;
    }
    if (cur && (curFlags & AM_SEEKING_ReturnTime))
        *cur = newStart;
    if (stop && (stopFlags & AM_SEEKING_ReturnTime))
        *stop = newStop;
    return S_OK;
}

void SourcePin::Work(REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    ComPtr<IPin> peer;
    ComPtr<IMemInputPin> input;
    ComPtr<IMemAllocator> alloc;
    {
        std::lock_guard<std::recursive_mutex> l(lock_);
        peer = peer_;
        input = input_;
        alloc = alloc_;
    }
    if (!peer || !input || !alloc)
        return;
    peer->NewSegment(start, stop, rate);
    AVStream* st = fmt_->streams[stream_];
    int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    AVPacket* pkt = av_packet_alloc();
    bool ended = false;
    while (!stopRequest_ && pkt) {
        int rc = av_read_frame(fmt_, pkt);
        if (rc == AVERROR_EOF) {
            ended = true;
            break;
        }
        if (rc < 0) {
            filter_->NotifyEvent(EC_ERRORABORT, E_FAIL, 0);
            break;
        }
        if (pkt->stream_index != stream_) {
            av_packet_unref(pkt);
            continue;
        }
        int64_t pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
        REFERENCE_TIME t = pts != AV_NOPTS_VALUE ? av_rescale_q(pts - origin, st->time_base, kRefTime) : 0;
        REFERENCE_TIME d = pkt->duration > 0 ? av_rescale_q(pkt->duration, st->time_base, kRefTime) : 1;
        if (t >= stop) {
            av_packet_unref(pkt);
            ended = true;
            break;
        }
        IMediaSample* sample = nullptr;
        if (FAILED(alloc->GetBuffer(&sample, nullptr, nullptr, 0)) || !sample) {
            av_packet_unref(pkt);
            break;  // decommitted: stopping
        }
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        if (pkt->size > sample->GetSize() || !data) {
            // Larger than any buffer negotiated: dropped, never overrun.
            sample->Release();
            av_packet_unref(pkt);
            continue;
        }
        std::memcpy(data, pkt->data, size_t(pkt->size));
        sample->SetActualDataLength(pkt->size);
        REFERENCE_TIME s = t - start, e = t + d - start;
        sample->SetTime(&s, &e);
        sample->SetSyncPoint((pkt->flags & AV_PKT_FLAG_KEY) ? TRUE : FALSE);
        sample->SetDiscontinuity(discontinuity_ ? TRUE : FALSE);
        discontinuity_ = false;
        av_packet_unref(pkt);
        HRESULT hr = input->Receive(sample);
        sample->Release();
        if (hr != S_OK) {
            // Refused while flushing or stopping is the normal way out; any
            // other refusal is a streaming failure.
            if (FAILED(hr) && !stopRequest_ && hr != VFW_E_WRONG_STATE && hr != E_FAIL) {
                filter_->NotifyEvent(EC_ERRORABORT, hr, 0);
            }
            break;
        }
    }
    av_packet_free(&pkt);
    if (ended && !stopRequest_)
        peer->EndOfStream();
}

// Media type of a stream, or false when the runtime has no way to describe it.
bool DescribeStream(const AVStream* st, MediaTypeHolder& out, LONG& bufferSize) {
    const AVCodecParameters* cp = st->codecpar;
    size_t extra = cp->extradata && cp->extradata_size > 0 ? size_t(cp->extradata_size) : 0;
    if (extra > 0xFFFF)
        return false;
    AM_MEDIA_TYPE mt{};
    if (cp->codec_type == AVMEDIA_TYPE_AUDIO) {
        const AVCodecTag* const tables[] = {avformat_get_riff_audio_tags(), nullptr};
        unsigned tag = av_codec_get_tag(tables, cp->codec_id);
        if (tag == 0 || tag > 0xFFFF)
            tag = cp->codec_tag <= 0xFFFF ? cp->codec_tag : 0;
        if (tag == 0)
            return false;
        std::vector<BYTE> block(sizeof(WAVEFORMATEX) + extra);
        WAVEFORMATEX wf{};
        wf.wFormatTag = WORD(tag);
        wf.nChannels = WORD(cp->ch_layout.nb_channels);
        wf.nSamplesPerSec = DWORD(cp->sample_rate);
        wf.nBlockAlign = WORD(cp->block_align);
        wf.wBitsPerSample = WORD(cp->bits_per_coded_sample);
        wf.nAvgBytesPerSec = cp->bit_rate > 0 ? DWORD(cp->bit_rate / 8) : 0;
        if (tag == WAVE_FORMAT_PCM) {
            if (wf.wBitsPerSample == 0)
                wf.wBitsPerSample = 16;
            wf.nBlockAlign = WORD(wf.nChannels * wf.wBitsPerSample / 8);
            wf.nAvgBytesPerSec = wf.nBlockAlign * wf.nSamplesPerSec;
        }
        wf.cbSize = WORD(extra);
        std::memcpy(block.data(), &wf, sizeof wf);
        if (extra)
            std::memcpy(block.data() + sizeof wf, cp->extradata, extra);
        mt.majortype = MEDIATYPE_Audio;
        mt.subtype = FourccSubtype(tag);
        mt.formattype = FORMAT_WaveFormatEx;
        mt.bFixedSizeSamples = tag == WAVE_FORMAT_PCM;
        mt.lSampleSize = tag == WAVE_FORMAT_PCM ? wf.nBlockAlign : 0;
        mt.cbFormat = ULONG(block.size());
        mt.pbFormat = block.data();
        out = MediaTypeHolder(mt);
        bufferSize = 512 * 1024;
        return true;
    }
    if (cp->codec_type == AVMEDIA_TYPE_VIDEO) {
        const AVCodecTag* const tables[] = {avformat_get_riff_video_tags(), nullptr};
        unsigned fourcc = av_codec_get_tag(tables, cp->codec_id);
        if (fourcc == 0)
            fourcc = cp->codec_tag;
        if (fourcc == 0 || cp->width <= 0 || cp->height <= 0 || cp->width > 16384 || cp->height > 16384)
            return false;
        std::vector<BYTE> block(sizeof(VIDEOINFOHEADER) + extra);
        VIDEOINFOHEADER vih{};
        vih.rcSource = {0, 0, cp->width, cp->height};
        vih.rcTarget = vih.rcSource;
        vih.dwBitRate = cp->bit_rate > 0 && cp->bit_rate < INT32_MAX ? DWORD(cp->bit_rate) : 0;
        AVRational fr = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
        vih.AvgTimePerFrame = fr.num > 0 && fr.den > 0 ? av_rescale(UNITS, fr.den, fr.num) : 0;
        vih.bmiHeader.biSize = DWORD(sizeof(BITMAPINFOHEADER) + extra);
        vih.bmiHeader.biWidth = cp->width;
        vih.bmiHeader.biHeight = cp->height;
        vih.bmiHeader.biPlanes = 1;
        vih.bmiHeader.biBitCount = WORD(cp->bits_per_coded_sample ? cp->bits_per_coded_sample : 24);
        vih.bmiHeader.biCompression = fourcc;
        vih.bmiHeader.biSizeImage = DibRowStride(cp->width, 24) * DWORD(cp->height);
        std::memcpy(block.data(), &vih, sizeof vih);
        if (extra)
            std::memcpy(block.data() + sizeof vih, cp->extradata, extra);
        mt.majortype = MEDIATYPE_Video;
        mt.subtype = FourccSubtype(fourcc);
        mt.formattype = FORMAT_VideoInfo;
        mt.bTemporalCompression = TRUE;
        mt.cbFormat = ULONG(block.size());
        mt.pbFormat = block.data();
        out = MediaTypeHolder(mt);
        bufferSize = LONG(std::max<int64_t>(int64_t(cp->width) * cp->height * 4, 1 << 20));
        return true;
    }
    return false;
}

HRESULT FileSource::Load(LPCOLESTR file, const AM_MEDIA_TYPE*) {
    if (!file)
        return E_POINTER;
    std::lock_guard<std::recursive_mutex> l(state_);
    if (!pins_.empty())
        return E_UNEXPECTED;
    std::u16string wpath = file;
    std::string path = ToUtf8(wpath);
    if (path.size() >= 4096)
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    AVFormatContext* probe = nullptr;
    int rc = avformat_open_input(&probe, path.c_str(), nullptr, nullptr);
    if (rc < 0) {
        return rc == AVERROR(ENOENT) ? HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) : VFW_E_UNKNOWN_FILE_TYPE;
    }
    if (avformat_find_stream_info(probe, nullptr) < 0) {
        avformat_close_input(&probe);
        return VFW_E_UNKNOWN_FILE_TYPE;
    }
    REFERENCE_TIME total = probe->duration > 0 ? av_rescale(probe->duration, UNITS, AV_TIME_BASE) : 0;
    std::vector<std::unique_ptr<SourcePin>> pins;
    int audio = 0, video = 0;
    for (unsigned i = 0; i < probe->nb_streams; ++i) {
        AVStream* st = probe->streams[i];
        MediaTypeHolder mt;
        LONG bufferSize = 0;
        if (!DescribeStream(st, mt, bufferSize))
            continue;
        bool isAudio = st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
        std::u16string name = isAudio ? u"Audio" : u"Video";
        int n = isAudio ? ++audio : ++video;
        if (n > 1)
            name += FromUtf8(" " + std::to_string(n));
        REFERENCE_TIME dur = total;
        if (st->duration > 0)
            dur = av_rescale_q(st->duration, st->time_base, kRefTime);
        auto pin = std::make_unique<SourcePin>(this, name, int(i), mt, bufferSize, dur > 0 ? dur : total);
        if (FAILED(pin->Open(path)))
            continue;
        pins.push_back(std::move(pin));
    }
    avformat_close_input(&probe);
    if (pins.empty())
        return VFW_E_UNSUPPORTED_STREAM;
    pins_ = std::move(pins);
    path_ = wpath;
    return S_OK;
}

}  // namespace

HRESULT CreateFileSource(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    auto* f = new FileSource();
    HRESULT hr = f->QueryInterface(riid, ppv);
    f->Release();
    return hr;
}

}  // namespace kovel::graph
