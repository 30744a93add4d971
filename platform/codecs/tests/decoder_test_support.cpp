#include "decoder_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace test {

using namespace kovel::rt;

namespace {

constexpr int64_t kUnits = 10000000;

void Check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(what);
}

void Collect(AVCodecContext* ctx, AVPacket* pkt, Encoded& out, AVRational tb) {
    while (avcodec_receive_packet(ctx, pkt) == 0) {
        Packet p;
        p.data.assign(pkt->data, pkt->data + pkt->size);
        p.start = av_rescale_q(pkt->pts, tb, AVRational{1, int(kUnits)});
        int64_t dur = pkt->duration > 0 ? pkt->duration : 1;
        p.end = p.start + av_rescale_q(dur, tb, AVRational{1, int(kUnits)});
        p.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        out.packets.push_back(std::move(p));
        av_packet_unref(pkt);
    }
}

void Fill(uint8_t* plane, int stride, int x0, int y0, int w, int h, uint8_t v) {
    for (int y = y0; y < y0 + h; ++y) std::memset(plane + size_t(y) * size_t(stride) + x0, v, size_t(w));
}

// Luma steps of the frame counter block: far enough apart to survive coding.
constexpr int kCounterStep = 7;

}  // namespace

Encoded EncodeVideo(const char* name, int width, int height, int frames, int fps, int gop, int bFrames,
                    bool globalHeader) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    Check(codec, "encoder missing");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->width = width;
    ctx->height = height;
    ctx->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx->time_base = AVRational{1, fps};
    ctx->framerate = AVRational{fps, 1};
    ctx->gop_size = gop;
    ctx->max_b_frames = bFrames;
    ctx->bit_rate = 2000000;
    ctx->thread_count = 1;
    if (globalHeader)
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    Check(avcodec_open2(ctx, codec, nullptr) == 0, "encoder open");
    Encoded out;
    out.width = width;
    out.height = height;
    out.frameTime = kUnits / fps;
    if (ctx->extradata_size > 0)
        out.extradata.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
    AVFrame* f = av_frame_alloc();
    f->format = ctx->pix_fmt;
    f->width = width;
    f->height = height;
    Check(av_frame_get_buffer(f, 0) == 0, "frame buffer");
    AVPacket* pkt = av_packet_alloc();
    for (int i = 0; i < frames; ++i) {
        Check(av_frame_make_writable(f) == 0, "writable");
        int bw = width / 4, bh = height / 4;
        Fill(f->data[0], f->linesize[0], 0, 0, width, height, 128);
        Fill(f->data[1], f->linesize[1], 0, 0, width / 2, height / 2, 128);
        Fill(f->data[2], f->linesize[2], 0, 0, width / 2, height / 2, 128);
        // red top left
        Fill(f->data[0], f->linesize[0], 0, 0, bw, bh, 81);
        Fill(f->data[1], f->linesize[1], 0, 0, bw / 2, bh / 2, 90);
        Fill(f->data[2], f->linesize[2], 0, 0, bw / 2, bh / 2, 240);
        // blue bottom right
        Fill(f->data[0], f->linesize[0], width - bw, height - bh, bw, bh, 41);
        Fill(f->data[1], f->linesize[1], (width - bw) / 2, (height - bh) / 2, bw / 2, bh / 2, 240);
        Fill(f->data[2], f->linesize[2], (width - bw) / 2, (height - bh) / 2, bw / 2, bh / 2, 110);
        // frame counter, grey, bottom left
        Fill(f->data[0], f->linesize[0], 0, height - bh, bw, bh, uint8_t(16 + kCounterStep * (i % 30)));
        f->pts = i;
        Check(avcodec_send_frame(ctx, f) == 0, "encode");
        Collect(ctx, pkt, out, ctx->time_base);
    }
    avcodec_send_frame(ctx, nullptr);
    Collect(ctx, pkt, out, ctx->time_base);
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&ctx);
    return out;
}

Encoded EncodeWma(int rate, int channels, double seconds) {
    const AVCodec* codec = avcodec_find_encoder_by_name("wmav2");
    Check(codec, "encoder missing");
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    ctx->sample_rate = rate;
    av_channel_layout_default(&ctx->ch_layout, channels);
    ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    ctx->bit_rate = 64000 * channels;
    ctx->time_base = AVRational{1, rate};
    Check(avcodec_open2(ctx, codec, nullptr) == 0, "encoder open");
    Encoded out;
    out.sampleRate = rate;
    out.channels = channels;
    out.blockAlign = ctx->block_align;
    out.bitRate = int(ctx->bit_rate);
    if (ctx->extradata_size > 0)
        out.extradata.assign(ctx->extradata, ctx->extradata + ctx->extradata_size);
    AVFrame* f = av_frame_alloc();
    f->format = ctx->sample_fmt;
    f->nb_samples = ctx->frame_size;
    f->sample_rate = rate;
    av_channel_layout_copy(&f->ch_layout, &ctx->ch_layout);
    Check(av_frame_get_buffer(f, 0) == 0, "frame buffer");
    AVPacket* pkt = av_packet_alloc();
    int64_t total = int64_t(seconds * rate);
    for (int64_t pos = 0; pos < total; pos += ctx->frame_size) {
        Check(av_frame_make_writable(f) == 0, "writable");
        for (int c = 0; c < channels; ++c) {
            float* d = reinterpret_cast<float*>(f->data[c]);
            for (int i = 0; i < ctx->frame_size; ++i)
                d[i] =
                    pos + i < total ? float(0.5 * std::sin(2 * M_PI * 440.0 * double(pos + i) / rate)) : 0.f;
        }
        f->pts = pos;
        Check(avcodec_send_frame(ctx, f) == 0, "encode");
        Collect(ctx, pkt, out, ctx->time_base);
    }
    out.inputFrames = total;
    avcodec_send_frame(ctx, nullptr);
    Collect(ctx, pkt, out, ctx->time_base);
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&ctx);
    return out;
}

MediaType VideoType(const Encoded& e, uint32_t fourcc, bool sizeCountsExtra) {
    VIDEOINFOHEADER vih{};
    vih.rcSource = {0, 0, e.width, e.height};
    vih.rcTarget = vih.rcSource;
    vih.AvgTimePerFrame = e.frameTime;
    vih.bmiHeader.biSize = DWORD(sizeof(BITMAPINFOHEADER) + (sizeCountsExtra ? e.extradata.size() : 0));
    vih.bmiHeader.biWidth = e.width;
    vih.bmiHeader.biHeight = e.height;
    vih.bmiHeader.biPlanes = 1;
    vih.bmiHeader.biBitCount = 24;
    vih.bmiHeader.biCompression = fourcc;
    vih.bmiHeader.biSizeImage = DWORD(e.width * e.height * 3);
    MediaType mt;
    mt.major = MEDIATYPE_Video;
    mt.subtype = FourccSubtype(fourcc);
    mt.formattype = FORMAT_VideoInfo;
    mt.temporal = true;
    mt.format.resize(sizeof vih + e.extradata.size());
    std::memcpy(mt.format.data(), &vih, sizeof vih);
    if (!e.extradata.empty())
        std::memcpy(mt.format.data() + sizeof vih, e.extradata.data(), e.extradata.size());
    return mt;
}

MediaType WmaType(const Encoded& e) {
    WAVEFORMATEX wf{};
    wf.wFormatTag = 0x0161;
    wf.nChannels = WORD(e.channels);
    wf.nSamplesPerSec = DWORD(e.sampleRate);
    wf.nAvgBytesPerSec = DWORD(e.bitRate / 8);
    wf.nBlockAlign = WORD(e.blockAlign);
    wf.wBitsPerSample = 16;
    wf.cbSize = WORD(e.extradata.size());
    MediaType mt;
    mt.major = MEDIATYPE_Audio;
    mt.subtype = MEDIASUBTYPE_WMAudioV2;
    mt.formattype = FORMAT_WaveFormatEx;
    mt.sampleSize = 1;
    mt.format.resize(sizeof wf + e.extradata.size());
    std::memcpy(mt.format.data(), &wf, sizeof wf);
    if (!e.extradata.empty())
        std::memcpy(mt.format.data() + sizeof wf, e.extradata.data(), e.extradata.size());
    return mt;
}

Pixel PixelAt(const std::vector<uint8_t>& rgb, int width, int height, int x, int y) {
    size_t row = size_t(height - 1 - y);  // bottom-up
    const uint8_t* p = rgb.data() + (row * size_t(width) + size_t(x)) * 4;
    return {p[0], p[1], p[2], p[3]};
}

int FrameNumberOf(const std::vector<uint8_t>& rgb, int width, int height) {
    Pixel px = PixelAt(rgb, width, height, width / 8, height - height / 8);
    // Grey: every channel carries the luma, in full range.
    double luma = (px.r + px.g + px.b) / 3.0 * 219.0 / 255.0;
    return int(std::lround(luma / kCounterStep));
}

// ---------------------------------------------------------------- source

SourceFilter::SourceFilter(MediaType type) : FilterBase(GUID_NULL), type_(std::move(type)), out_(this) {}

PinBase* SourceFilter::PinAt(int i) {
    return i == 0 ? &out_ : nullptr;
}

HRESULT SourceFilter::DecideBufferSize(OutputPin*, IMemAllocator* alloc, ALLOCATOR_PROPERTIES*) {
    ALLOCATOR_PROPERTIES want{2, 1 << 20, 1, 0}, got{};
    HRESULT hr = alloc->SetProperties(&want, &got);
    return FAILED(hr) ? hr : S_OK;
}

HRESULT SourceFilter::PushBytes(const std::vector<uint8_t>& bytes, REFERENCE_TIME start, REFERENCE_TIME end) {
    Packet p;
    p.data = bytes;
    p.start = start;
    p.end = end;
    return Push(p);
}

HRESULT SourceFilter::Push(const Packet& p, REFERENCE_TIME offset, bool discontinuity,
                           const MediaType* change) {
    IMediaSample* s = nullptr;
    HRESULT hr = out_.GetDeliveryBuffer(&s);
    if (FAILED(hr))
        return hr;
    BYTE* d = nullptr;
    s->GetPointer(&d);
    if (LONG(p.data.size()) > s->GetSize()) {
        s->Release();
        return E_FAIL;
    }
    if (!p.data.empty())
        std::memcpy(d, p.data.data(), p.data.size());
    s->SetActualDataLength(LONG(p.data.size()));
    REFERENCE_TIME a = p.start - offset, b = p.end - offset;
    s->SetTime(&a, &b);
    s->SetSyncPoint(TRUE);  // as the reader marks every sample
    s->SetDiscontinuity(discontinuity);
    if (change) {
        AM_MEDIA_TYPE* am = change->NewAm();
        s->SetMediaType(am);
        DeleteMediaType(am);
    }
    hr = out_.Deliver(s);
    s->Release();
    return hr;
}

// ---------------------------------------------------------------- sink

SinkFilter::SinkFilter(GUID major, GUID subtype)
    : FilterBase(GUID_NULL), major_(major), subtype_(subtype), in_(this) {}

PinBase* SinkFilter::PinAt(int i) {
    return i == 0 ? &in_ : nullptr;
}

HRESULT SinkFilter::Pin::CheckMediaType(const MediaType& mt) {
    return mt.major == owner_->major_ && mt.subtype == owner_->subtype_ ? S_OK : S_FALSE;
}

HRESULT SinkFilter::OnReceive(InputPin*, IMediaSample* s) {
    Received r;
    r.timed = SUCCEEDED(s->GetTime(&r.start, &r.end));
    r.sync = s->IsSyncPoint() == S_OK;
    r.discontinuity = s->IsDiscontinuity() == S_OK;
    BYTE* p = nullptr;
    s->GetPointer(&p);
    r.data.assign(p, p + s->GetActualDataLength());
    std::unique_lock<std::mutex> lk(mu_);
    if (block_) {
        blocked_ = true;
        cv_.notify_all();
        cv_.wait(lk, [&] { return !block_ || flushing_; });
        blocked_ = false;
        if (flushing_)
            return S_FALSE;
    }
    samples_.push_back(std::move(r));
    events_.push_back("sample");
    return S_OK;
}

HRESULT SinkFilter::OnEndOfStream(InputPin*) {
    std::lock_guard<std::mutex> lk(mu_);
    events_.push_back("end-of-stream");
    cv_.notify_all();
    return S_OK;
}

HRESULT SinkFilter::OnBeginFlush(InputPin*) {
    std::lock_guard<std::mutex> lk(mu_);
    flushing_ = true;
    events_.push_back("begin-flush");
    cv_.notify_all();
    return S_OK;
}

HRESULT SinkFilter::OnEndFlush(InputPin*) {
    std::lock_guard<std::mutex> lk(mu_);
    flushing_ = false;
    events_.push_back("end-flush");
    flushMark_ = samples_.size();
    return S_OK;
}

HRESULT SinkFilter::OnNewSegment(InputPin*, REFERENCE_TIME, REFERENCE_TIME, double) {
    std::lock_guard<std::mutex> lk(mu_);
    events_.push_back("segment");
    return S_OK;
}

void SinkFilter::BlockReceives(bool on) {
    std::lock_guard<std::mutex> lk(mu_);
    block_ = on;
    cv_.notify_all();
}

bool SinkFilter::WaitBlocked(int ms) {
    std::unique_lock<std::mutex> lk(mu_);
    return cv_.wait_for(lk, std::chrono::milliseconds(ms), [&] { return blocked_; });
}

std::vector<Received> SinkFilter::Samples() {
    std::lock_guard<std::mutex> lk(mu_);
    return samples_;
}

std::vector<std::string> SinkFilter::Events() {
    std::lock_guard<std::mutex> lk(mu_);
    return events_;
}

size_t SinkFilter::SamplesAfterLastFlush() {
    std::lock_guard<std::mutex> lk(mu_);
    return samples_.size() - flushMark_;
}

void SinkFilter::Clear() {
    std::lock_guard<std::mutex> lk(mu_);
    samples_.clear();
    events_.clear();
    flushMark_ = 0;
}

// ---------------------------------------------------------------- events

HRESULT EventGraph::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IFilterGraph) {
        *ppv = static_cast<IFilterGraph*>(this);
        return S_OK;
    }
    if (riid == IID_IMediaEventSink) {
        *ppv = static_cast<IMediaEventSink*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT EventGraph::Notify(LONG code, LONG_PTR p1, LONG_PTR p2) {
    std::lock_guard<std::mutex> lk(mu_);
    events_.push_back({code, p1, p2});
    return S_OK;
}

std::vector<EventGraph::Event> EventGraph::Events() {
    std::lock_guard<std::mutex> lk(mu_);
    return events_;
}

// ---------------------------------------------------------------- chain

Chain::Chain(FilterBase* dec, MediaType input, GUID outMajor, GUID outSubtype)
    : source(new SourceFilter(std::move(input))), decoder(dec), sink(new SinkFilter(outMajor, outSubtype)) {}

Chain::~Chain() {
    Stop();
    decoder->PinAt(1)->Disconnect();
    sink->In().Disconnect();
    source->Out().Disconnect();
    decoder->PinAt(0)->Disconnect();
    source->Release();
    decoder->Release();
    sink->Release();
}

HRESULT Chain::Connect() {
    HRESULT hr = source->Out().Connect(decoder->PinAt(0), nullptr);
    if (FAILED(hr))
        return hr;
    return decoder->PinAt(1)->Connect(&sink->In(), nullptr);
}

HRESULT Chain::Run() {
    // Downstream first, as a graph does.
    HRESULT hr = sink->Run(0);
    if (SUCCEEDED(hr))
        hr = decoder->Run(0);
    if (SUCCEEDED(hr))
        hr = source->Run(0);
    return hr;
}

void Chain::Stop() {
    sink->Stop();
    decoder->Stop();
    source->Stop();
}

void Chain::Seek(REFERENCE_TIME segmentStart) {
    EXPECT_EQ(source->Out().DeliverBeginFlush(), S_OK);
    EXPECT_EQ(source->Out().DeliverEndFlush(), S_OK);
    EXPECT_EQ(source->Out().DeliverNewSegment(segmentStart, segmentStart + 600 * kUnits, 1.0), S_OK);
}

}  // namespace test
