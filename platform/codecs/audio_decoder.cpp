#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "decoders.h"
#include "kovel/runtime_classes.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

namespace kovel::rt {

namespace {

constexpr int64_t kUnits = 10000000;
// Stamps further than this from where the decoded samples have got to mean
// a gap or a jump in the stream: the timeline restarts at the stamp. Closer
// ones are rounding in the container (whole milliseconds) and are ignored, so
// output times run on without jitter.
constexpr REFERENCE_TIME kResync = 400000;  // 40 ms

}  // namespace

AudioDecoder::AudioDecoder() : DecoderFilter(CLSID_KovelAudioDecoder) {}

AudioDecoder::~AudioDecoder() {
    swr_free(&swr_);
}

std::vector<MediaType> AudioDecoder::OutputTypes(const MediaType& input) {
    AudioInput in;
    if (ParseAudioInput(input, &in) != S_OK)
        return {};
    return {PcmOutputType(in)};
}

HRESULT AudioDecoder::Configure(const MediaType& input, AVCodecContext* ctx) {
    AudioInput in;
    if (ParseAudioInput(input, &in) != S_OK)
        return VFW_E_TYPE_NOT_ACCEPTED;
    ctx->codec_type = AVMEDIA_TYPE_AUDIO;
    ctx->codec_id = AVCodecID(in.codecId);
    ctx->codec_tag = in.tag;
    ctx->sample_rate = in.sampleRate;
    av_channel_layout_uninit(&ctx->ch_layout);
    av_channel_layout_default(&ctx->ch_layout, in.channels);
    ctx->block_align = in.blockAlign;
    ctx->bit_rate = in.bitRate;
    ctx->bits_per_coded_sample = in.bitsPerSample;
    return SetCodecExtradata(ctx, in.extradata);
}

HRESULT AudioDecoder::OnCodecOpened(const MediaType& input) {
    // The output format is the one the output pin was connected with; a
    // stream whose input format changes later is converted to it.
    WAVEFORMATEX wf{};
    if (!OutputFormat(input, FORMAT_WaveFormatEx, &wf, sizeof wf))
        return VFW_E_TYPE_NOT_ACCEPTED;
    if (wf.nChannels < 1 || wf.nChannels > kMaxAudioChannels || wf.nSamplesPerSec < 1 ||
        wf.nSamplesPerSec > DWORD(kMaxSampleRate))
        return VFW_E_TYPE_NOT_ACCEPTED;
    outRate_ = int(wf.nSamplesPerSec);
    outChannels_ = wf.nChannels;
    blockAlign_ = outChannels_ * 2;
    swr_free(&swr_);
    timeValid_ = false;
    return S_OK;
}

HRESULT AudioDecoder::DecideBufferSize(OutputPin* pin, IMemAllocator* alloc, ALLOCATOR_PROPERTIES* req) {
    if (!pin || !alloc || !req)
        return E_POINTER;
    MediaType mt = pin->Type();
    WAVEFORMATEX wf{};
    if (mt.format.size() < sizeof wf)
        return VFW_E_TYPE_NOT_ACCEPTED;
    std::memcpy(&wf, mt.format.data(), sizeof wf);
    if (wf.nBlockAlign == 0)
        return VFW_E_TYPE_NOT_ACCEPTED;
    // A tenth of a second per buffer, eight buffers.
    LONG tenth = LONG(std::max<DWORD>(wf.nSamplesPerSec / 10, 1024) * wf.nBlockAlign);
    return SetDecoderBuffers(alloc, *req, 8, tenth, LONG(wf.nBlockAlign));
}

REFERENCE_TIME AudioDecoder::TimeAt(int64_t frames) const {
    return base_ + av_rescale(frames, kUnits, outRate_);
}

void AudioDecoder::ResetStream() {
    timeValid_ = false;
    // Whatever the converter held belongs to the old position.
    swr_free(&swr_);
}

HRESULT AudioDecoder::OnFrame(AVFrame* frame, HRESULT* fatal) {
    int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    if (pts != AV_NOPTS_VALUE) {
        if (!timeValid_ || std::llabs(pts - TimeAt(done_)) > kResync) {
            base_ = pts;
            done_ = 0;
            timeValid_ = true;
        }
    } else if (!timeValid_) {
        base_ = 0;
        done_ = 0;
        timeValid_ = true;
    }
    return Convert(frame, fatal);
}

HRESULT AudioDecoder::Convert(AVFrame* frame, HRESULT* fatal) {
    int channels = frame->ch_layout.nb_channels;
    if (channels < 1 || frame->sample_rate < 1 || frame->nb_samples < 0) {
        *fatal = VFW_E_INVALIDMEDIATYPE;
        return *fatal;
    }
    if (!swr_ || frame->format != swrFormat_ || frame->sample_rate != swrRate_ || channels != swrChannels_) {
        swr_free(&swr_);
        AVChannelLayout inLayout{}, outLayout{};
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&inLayout, channels);
        else if (av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0)
            av_channel_layout_default(&inLayout, channels);
        av_channel_layout_default(&outLayout, outChannels_);
        int r = swr_alloc_set_opts2(&swr_, &outLayout, AV_SAMPLE_FMT_S16, outRate_, &inLayout,
                                    AVSampleFormat(frame->format), frame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        if (r < 0 || !swr_ || swr_init(swr_) < 0) {
            swr_free(&swr_);
            *fatal = E_FAIL;
            return *fatal;
        }
        swrFormat_ = frame->format;
        swrRate_ = frame->sample_rate;
        swrChannels_ = channels;
    }
    int cap = swr_get_out_samples(swr_, frame->nb_samples);
    if (cap < 0) {
        *fatal = E_FAIL;
        return *fatal;
    }
    if (cap == 0)
        return S_OK;
    pcm_.resize(size_t(cap) * size_t(blockAlign_));
    uint8_t* out = pcm_.data();
    int n =
        swr_convert(swr_, &out, cap, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (n < 0) {
        *fatal = E_FAIL;
        return *fatal;
    }
    return Emit(pcm_.data(), n);
}

HRESULT AudioDecoder::OnDrained(HRESULT* fatal) {
    if (!swr_)
        return S_OK;
    int cap = swr_get_out_samples(swr_, 0);
    if (cap <= 0)
        return S_OK;
    pcm_.resize(size_t(cap) * size_t(blockAlign_));
    uint8_t* out = pcm_.data();
    int n = swr_convert(swr_, &out, cap, nullptr, 0);
    if (n < 0) {
        *fatal = E_FAIL;
        return *fatal;
    }
    return Emit(pcm_.data(), n);
}

HRESULT AudioDecoder::Emit(const uint8_t* pcm, int64_t frames) {
    int64_t pos = 0;
    while (pos < frames) {
        int64_t left = frames - pos;
        if (TimeAt(done_ + left) <= 0) {
            // Wholly before the segment start: decoded, never delivered.
            done_ += left;
            CountBeforeStart();
            return S_OK;
        }
        if (TimeAt(done_) < 0) {
            // Reaches across the segment start: cut the part before it.
            int64_t first = av_rescale_rnd(-base_, outRate_, kUnits, AV_ROUND_UP);
            int64_t skip = std::clamp<int64_t>(first - done_, 0, left);
            while (skip < left && TimeAt(done_ + skip) < 0) ++skip;
            pos += skip;
            done_ += skip;
            continue;
        }
        IMediaSample* s = nullptr;
        HRESULT hr = NextOutputSample(&s);
        if (hr != S_OK)
            return hr;
        BYTE* p = nullptr;
        int64_t room = s->GetSize() / blockAlign_;
        if (FAILED(s->GetPointer(&p)) || !p || room <= 0) {
            s->Release();
            return VFW_E_BUFFER_OVERFLOW;
        }
        int64_t n = std::min(room, left);
        std::memcpy(p, pcm + pos * blockAlign_, size_t(n * blockAlign_));
        hr = DeliverSample(s, LONG(n * blockAlign_), TimeAt(done_), TimeAt(done_ + n));
        pos += n;
        done_ += n;
        if (hr != S_OK)
            return hr;
    }
    return S_OK;
}

namespace {

struct Registrar {
    Registrar() {
        RegisterDecoder(CLSID_KovelAudioDecoder, u"Audio Decoder", MEDIATYPE_Audio, MEDIASUBTYPE_PCM,
                        &CreateInstance<AudioDecoder>);
    }
} g_registrar;

}  // namespace

}  // namespace kovel::rt
