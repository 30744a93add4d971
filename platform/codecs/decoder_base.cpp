#include "decoder_base.h"

#include <algorithm>
#include <cstring>

#include "filter_catalog.h"
#include "kovel/events.h"
#include "kovel/runtime_classes.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kovel::rt {

namespace {

// Codec times are sample times: 100-nanosecond units.
constexpr AVRational kTimeBase{1, 10000000};

// A decoder that keeps refusing to take a packet without giving a frame is
// broken; give up on the packet rather than spin.
constexpr int kMaxSendRetries = 64;

}  // namespace

DecoderInputPin::DecoderInputPin(DecoderFilter* owner) : InputPin(owner, u"In"), owner_(owner) {}

HRESULT DecoderInputPin::CheckMediaType(const MediaType& mt) {
    return owner_->CheckInputType(mt);
}

DecoderOutputPin::DecoderOutputPin(DecoderFilter* owner) : OutputPin(owner, u"Out"), owner_(owner) {}

std::vector<MediaType> DecoderOutputPin::ProposedTypes() {
    // Nothing to offer until the input says what comes in.
    if (!owner_->In().IsConnected())
        return {};
    return owner_->OutputTypes(owner_->In().Type());
}

DecoderFilter::DecoderFilter(const CLSID& clsid) : FilterBase(clsid), in_(this), out_(this) {}

DecoderFilter::~DecoderFilter() {
    CloseLocked();
}

PinBase* DecoderFilter::PinAt(int i) {
    if (i == 0)
        return &in_;
    if (i == 1)
        return &out_;
    return nullptr;
}

DecoderStats DecoderFilter::Stats() {
    std::lock_guard<std::mutex> lk(streamMu_);
    return stats_;
}

HRESULT DecoderFilter::CheckInputType(const MediaType& mt) {
    AVCodecContext* ctx = nullptr;
    HRESULT hr = VFW_E_TYPE_NOT_ACCEPTED;
    // Configure fills codec_id; the trial context is made for that codec.
    AVCodecContext* probe = avcodec_alloc_context3(nullptr);
    if (!probe)
        return E_OUTOFMEMORY;
    if (Configure(mt, probe) == S_OK) {
        const AVCodec* codec = avcodec_find_decoder(probe->codec_id);
        if (codec && (ctx = avcodec_alloc_context3(codec)) != nullptr) {
            if (Configure(mt, ctx) == S_OK && avcodec_open2(ctx, codec, nullptr) == 0)
                hr = S_OK;
        }
    }
    avcodec_free_context(&ctx);
    avcodec_free_context(&probe);
    return hr;
}

void DecoderFilter::OnConnected(PinBase* pin) {
    if (pin == &in_)
        ++typeGeneration_;
}

HRESULT DecoderFilter::OnPause(FILTER_STATE from) {
    // A new run starts with a fresh codec state; the streaming side applies it
    // with its own lock, which a state change never waits for.
    if (from == State_Stopped)
        resetPending_ = true;
    return S_OK;
}

bool DecoderFilter::TakeDiscontinuity() {
    bool d = discontinuity_;
    discontinuity_ = false;
    return d;
}

HRESULT DecoderFilter::NextOutputSample(IMediaSample** out) {
    *out = nullptr;
    IMediaSample* s = nullptr;
    HRESULT hr = out_.GetDeliveryBuffer(&s);
    if (FAILED(hr))
        return hr;
    if (in_.Flushing()) {
        s->Release();
        return S_FALSE;
    }
    *out = s;
    return S_OK;
}

HRESULT DecoderFilter::DeliverSample(IMediaSample* s, LONG length, REFERENCE_TIME start, REFERENCE_TIME end) {
    s->SetActualDataLength(length);
    s->SetTime(&start, &end);
    s->SetSyncPoint(TRUE);
    s->SetDiscontinuity(TakeDiscontinuity());
    HRESULT hr = out_.Deliver(s);
    s->Release();
    ++stats_.delivered;
    return hr;
}

bool DecoderFilter::OutputFormat(const MediaType& input, const GUID& formatType, void* header, size_t size) {
    MediaType out = out_.Type();
    if (out.formattype != formatType || out.format.size() < size) {
        std::vector<MediaType> proposed = OutputTypes(input);
        if (proposed.empty() || proposed.front().formattype != formatType ||
            proposed.front().format.size() < size)
            return false;
        out = std::move(proposed.front());
    }
    std::memcpy(header, out.format.data(), size);
    return true;
}

void DecoderFilter::CloseLocked() {
    avcodec_free_context(&ctx_);
    av_packet_free(&pkt_);
    av_frame_free(&frame_);
}

HRESULT DecoderFilter::OpenLocked(const MediaType& input) {
    CloseLocked();
    AVCodecContext* probe = avcodec_alloc_context3(nullptr);
    if (!probe)
        return E_OUTOFMEMORY;
    HRESULT hr = Configure(input, probe);
    AVCodecID id = probe->codec_id;
    avcodec_free_context(&probe);
    if (hr != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec)
        return VFW_E_TYPE_NOT_ACCEPTED;
    ctx_ = avcodec_alloc_context3(codec);
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!ctx_ || !pkt_ || !frame_) {
        CloseLocked();
        return E_OUTOFMEMORY;
    }
    if (Configure(input, ctx_) != S_OK) {
        CloseLocked();
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    ctx_->pkt_timebase = kTimeBase;
    if (avcodec_open2(ctx_, codec, nullptr) != 0) {
        CloseLocked();
        return VFW_E_TYPE_NOT_ACCEPTED;
    }
    hr = OnCodecOpened(input);
    if (FAILED(hr)) {
        CloseLocked();
        return hr;
    }
    waitKey_ = NeedsKeyFrame();
    discontinuity_ = true;
    return S_OK;
}

void DecoderFilter::ResetLocked() {
    if (ctx_)
        avcodec_flush_buffers(ctx_);
    ResetStream();
    waitKey_ = NeedsKeyFrame();
    discontinuity_ = true;
    failed_ = S_OK;
}

void DecoderFilter::PostAbort(HRESULT hr) {
    NotifyEvent(EC_ERRORABORT, LONG_PTR(hr), 0);
}

HRESULT DecoderFilter::OnReceive(InputPin*, IMediaSample* sample) {
    HRESULT fatal = S_OK, hr;
    {
        std::lock_guard<std::mutex> lk(streamMu_);
        hr = ReceiveLocked(sample, &fatal);
        if (FAILED(fatal)) {
            failed_ = fatal;
            hr = fatal;
        }
    }
    if (FAILED(fatal))
        PostAbort(fatal);
    return hr;
}

HRESULT DecoderFilter::ReceiveLocked(IMediaSample* sample, HRESULT* fatal) {
    if (resetPending_.exchange(false))
        ResetLocked();
    if (FAILED(failed_))
        return failed_;  // reported once already; a flush or a new run clears it

    if (!ctx_ || openedGeneration_ != typeGeneration_.load()) {
        uint64_t generation = typeGeneration_.load();
        streamType_ = in_.Type();
        HRESULT hr = OpenLocked(streamType_);
        if (FAILED(hr)) {
            *fatal = hr;
            return hr;
        }
        openedGeneration_ = generation;
    }
    // A sample may carry a new input type: take it if the codec can.
    AM_MEDIA_TYPE* changed = nullptr;
    if (sample->GetMediaType(&changed) == S_OK && changed) {
        MediaType mt = MediaType::From(*changed);
        DeleteMediaType(changed);
        if (CheckInputType(mt) != S_OK) {
            *fatal = VFW_E_TYPE_NOT_ACCEPTED;
            return *fatal;
        }
        streamType_ = std::move(mt);
        HRESULT hr = OpenLocked(streamType_);
        if (FAILED(hr)) {
            *fatal = hr;
            return hr;
        }
    }

    if (sample->IsDiscontinuity() == S_OK)
        discontinuity_ = true;
    LONG len = sample->GetActualDataLength();
    BYTE* data = nullptr;
    // An empty sample carries nothing; it must not reach the codec, which
    // would take it for the end of the stream.
    if (len <= 0)
        return S_OK;
    if (FAILED(sample->GetPointer(&data)) || !data || len > sample->GetSize()) {
        ++stats_.decodeErrors;
        return S_OK;
    }
    if (av_new_packet(pkt_, len) < 0) {
        *fatal = E_OUTOFMEMORY;
        return *fatal;
    }
    std::memcpy(pkt_->data, data, size_t(len));
    REFERENCE_TIME start = 0, end = 0;
    HRESULT th = sample->GetTime(&start, &end);
    if (SUCCEEDED(th)) {
        pkt_->pts = start;
        if (th == S_OK && end > start)
            pkt_->duration = end - start;
    }
    if (sample->IsSyncPoint() == S_OK)
        pkt_->flags |= AV_PKT_FLAG_KEY;
    ++stats_.packets;
    return SendLocked(pkt_, fatal);
}

HRESULT DecoderFilter::SendLocked(AVPacket* pkt, HRESULT* fatal) {
    for (int tries = 0;; ++tries) {
        int r = avcodec_send_packet(ctx_, pkt);
        if (r == AVERROR(EAGAIN) && tries < kMaxSendRetries) {
            // Output waits to be taken first.
            HRESULT hr = DrainLocked(fatal);
            if (hr != S_OK || FAILED(*fatal)) {
                if (pkt)
                    av_packet_unref(pkt);
                return hr;
            }
            continue;
        }
        if (r < 0 && r != AVERROR_EOF)
            ++stats_.decodeErrors;  // this packet is lost; the next may decode
        break;
    }
    if (pkt)
        av_packet_unref(pkt);
    return DrainLocked(fatal);
}

HRESULT DecoderFilter::DrainLocked(HRESULT* fatal) {
    for (;;) {
        int r = avcodec_receive_frame(ctx_, frame_);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return S_OK;
        if (r < 0) {
            ++stats_.decodeErrors;
            return S_OK;
        }
        ++stats_.frames;
        if (waitKey_ && !frame_->key_frame) {
            ++stats_.awaitingKey;
            av_frame_unref(frame_);
            continue;
        }
        waitKey_ = false;
        HRESULT hr = in_.Flushing() ? S_FALSE : OnFrame(frame_, fatal);
        av_frame_unref(frame_);
        if (FAILED(*fatal))
            return *fatal;
        // Downstream refused (flushing, stopped): keep what the codec holds.
        if (hr != S_OK)
            return hr;
    }
}

HRESULT DecoderFilter::OnEndOfStream(InputPin*) {
    HRESULT fatal = S_OK;
    {
        std::lock_guard<std::mutex> lk(streamMu_);
        if (resetPending_.exchange(false))
            ResetLocked();
        if (ctx_ && SUCCEEDED(failed_)) {
            // Drain: a null packet makes the codec give every frame it holds.
            HRESULT hr = SendLocked(nullptr, &fatal);
            if (hr == S_OK && SUCCEEDED(fatal))
                OnDrained(&fatal);
            // Leave the draining state so the stream can go on after a seek.
            avcodec_flush_buffers(ctx_);
            ResetStream();
            waitKey_ = NeedsKeyFrame();
            if (FAILED(fatal))
                failed_ = fatal;
        }
    }
    if (FAILED(fatal))
        PostAbort(fatal);
    HRESULT hr = out_.DeliverEndOfStream();
    return hr == VFW_E_NOT_CONNECTED ? S_OK : hr;
}

HRESULT DecoderFilter::OnBeginFlush(InputPin*) {
    // No streaming lock: this is what releases a delivery blocked downstream.
    HRESULT hr = out_.DeliverBeginFlush();
    return hr == VFW_E_NOT_CONNECTED ? S_OK : hr;
}

HRESULT DecoderFilter::OnEndFlush(InputPin*) {
    {
        std::lock_guard<std::mutex> lk(streamMu_);
        resetPending_ = false;
        ResetLocked();
    }
    HRESULT hr = out_.DeliverEndFlush();
    return hr == VFW_E_NOT_CONNECTED ? S_OK : hr;
}

HRESULT DecoderFilter::OnNewSegment(InputPin*, REFERENCE_TIME start, REFERENCE_TIME stop, double rate) {
    std::lock_guard<std::mutex> lk(streamMu_);
    // Times restart with the segment; the codec's references stay.
    ResetStream();
    HRESULT hr = out_.DeliverNewSegment(start, stop, rate);
    return hr == VFW_E_NOT_CONNECTED ? S_OK : hr;
}

HRESULT SetCodecExtradata(AVCodecContext* ctx, const std::vector<uint8_t>& extradata) {
    av_freep(&ctx->extradata);
    ctx->extradata_size = 0;
    if (extradata.empty())
        return S_OK;
    ctx->extradata = static_cast<uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!ctx->extradata)
        return E_OUTOFMEMORY;
    std::memcpy(ctx->extradata, extradata.data(), extradata.size());
    ctx->extradata_size = int(extradata.size());
    return S_OK;
}

HRESULT SetDecoderBuffers(IMemAllocator* alloc, const ALLOCATOR_PROPERTIES& req, LONG buffers, LONG size,
                          LONG minSize) {
    ALLOCATOR_PROPERTIES want = req;
    want.cBuffers = std::max<LONG>(req.cBuffers, buffers);
    want.cbBuffer = std::max<LONG>(req.cbBuffer, size);
    want.cbAlign = std::max<LONG>(req.cbAlign, 1);
    want.cbPrefix = std::max<LONG>(req.cbPrefix, 0);
    ALLOCATOR_PROPERTIES got{};
    HRESULT hr = alloc->SetProperties(&want, &got);
    if (FAILED(hr))
        return hr;
    if (got.cBuffers < 1 || got.cbBuffer < minSize)
        return E_FAIL;
    return S_OK;
}

void RegisterDecoder(const CLSID& clsid, const char16_t* name, const GUID& major, const GUID& outSubtype,
                     KovelCreateFunction create) {
    KovelRegisterBuiltinClass(&clsid, create);
    RegisteredFilter f;
    f.clsid = clsid;
    f.name = name;
    f.merit = kKovelDecoderMerit;
    RegisteredPin in;
    in.name = u"In";
    in.types = {{major, GUID_NULL}};
    RegisteredPin out;
    out.name = u"Out";
    out.output = true;
    out.types = {{major, outSubtype}};
    f.pins = {in, out};
    RegisterBuiltinFilter(f);
}

}  // namespace kovel::rt
