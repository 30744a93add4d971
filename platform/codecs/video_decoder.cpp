#include <algorithm>
#include <cstring>

#include "decoders.h"
#include "kovel/runtime_classes.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

namespace kovel::rt {

VideoDecoder::VideoDecoder() : DecoderFilter(CLSID_KovelVideoDecoder) {}

VideoDecoder::~VideoDecoder() {
    sws_freeContext(sws_);
}

std::vector<MediaType> VideoDecoder::OutputTypes(const MediaType& input) {
    VideoInput in;
    if (ParseVideoInput(input, &in) != S_OK)
        return {};
    return {Rgb32OutputType(in)};
}

HRESULT VideoDecoder::Configure(const MediaType& input, AVCodecContext* ctx) {
    VideoInput in;
    if (ParseVideoInput(input, &in) != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    ctx->codec_type = AVMEDIA_TYPE_VIDEO;
    ctx->codec_id = AVCodecID(in.codecId);
    ctx->codec_tag = in.fourcc;
    ctx->width = ctx->coded_width = in.width;
    ctx->height = ctx->coded_height = in.height;
    ctx->bits_per_coded_sample = in.bitCount;
    // Slice threads only: frame threads would hold frames back and make the
    // first picture after a seek late.
    ctx->thread_type = FF_THREAD_SLICE;
    ctx->thread_count = 0;
    return SetCodecExtradata(ctx, in.extradata);
}

HRESULT VideoDecoder::OnCodecOpened(const MediaType& input) {
    // Pictures keep the size the output was connected with.
    VIDEOINFOHEADER vih{};
    if (!OutputFormat(input, FORMAT_VideoInfo, &vih, sizeof vih))
        return VFW_E_TYPE_NOT_ACCEPTED;
    LONG w = vih.bmiHeader.biWidth, h = vih.bmiHeader.biHeight;
    if (w < 1 || w > kMaxVideoDimension || h < 1 || h > kMaxVideoDimension)
        return VFW_E_TYPE_NOT_ACCEPTED;
    outWidth_ = w;
    outHeight_ = h;
    VideoInput in;
    frameTime_ = ParseVideoInput(input, &in) == S_OK ? in.avgTimePerFrame : 0;
    nextValid_ = false;
    return S_OK;
}

HRESULT VideoDecoder::DecideBufferSize(OutputPin* pin, IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) {
    if (!pin || !alloc || !req)
        return E_POINTER;
    MediaType mt = pin->Type();
    VIDEOINFOHEADER vih{};
    if (mt.format.size() < sizeof vih)
        return VFW_E_TYPE_NOT_ACCEPTED;
    std::memcpy(&vih, mt.format.data(), sizeof vih);
    int64_t image = int64_t(vih.bmiHeader.biWidth) * 4 * int64_t(vih.bmiHeader.biHeight);
    if (image <= 0 || image > int64_t(kMaxVideoDimension) * kMaxVideoDimension * 4)
        return VFW_E_TYPE_NOT_ACCEPTED;
    return SetDecoderBuffers(alloc, *req, 3, LONG(image), LONG(image));
}

void VideoDecoder::ResetStream() {
    nextValid_ = false;
}

HRESULT VideoDecoder::OnFrame(AVFrame* frame, HRESULT* fatal) {
    REFERENCE_TIME start = frame->best_effort_timestamp;
    if (start == AV_NOPTS_VALUE)
        start = nextValid_ ? next_ : 0;
    REFERENCE_TIME duration = frame->pkt_duration > 0 ? frame->pkt_duration : frameTime_;
    REFERENCE_TIME end = start + std::max<REFERENCE_TIME>(duration, 1);
    next_ = end;
    nextValid_ = true;
    if (end <= 0) {
        // Before the segment start: decoded to keep the references, not shown.
        CountBeforeStart();
        return S_OK;
    }
    if (frame->width < 1 || frame->height < 1) {
        *fatal = VFW_E_INVALIDMEDIATYPE;
        return *fatal;
    }
    sws_ = sws_getCachedContext(sws_, frame->width, frame->height, AVPixelFormat(frame->format), outWidth_,
                                outHeight_, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws_) {
        *fatal = E_FAIL;
        return *fatal;
    }

    IMediaSample* s = nullptr;
    HRESULT hr = NextOutputSample(&s);
    if (hr != S_OK)
        return hr;
    const int stride = outWidth_ * 4;
    const LONG image = LONG(stride) * outHeight_;
    BYTE* p = nullptr;
    if (FAILED(s->GetPointer(&p)) || !p || s->GetSize() < image) {
        s->Release();
        *fatal = VFW_E_BUFFER_OVERFLOW;
        return *fatal;
    }
    // Bottom-up rows: the top picture row is the buffer's last, so the
    // scaler writes upwards from there and no further copy is needed.
    uint8_t* dst[4] = {p + size_t(outHeight_ - 1) * size_t(stride), nullptr, nullptr, nullptr};
    int dstStride[4] = {-stride, 0, 0, 0};
    sws_scale(sws_, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    return DeliverSample(s, image, start, end);
}

namespace {

struct Registrar {
    Registrar() {
        RegisterDecoder(CLSID_KovelVideoDecoder, u"Video Decoder", MEDIATYPE_Video, MEDIASUBTYPE_RGB32,
                        &CreateInstance<VideoDecoder>);
    }
} g_registrar;

}  // namespace

}  // namespace kovel::rt
