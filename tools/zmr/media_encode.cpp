#include "media_encode.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "courseware_format.h"
#include "kovel/formats.h"
#include "test_signals.h"

namespace zmrtool {

namespace {

// Room the rate control leaves each encoded picture, below a media object's 65535 bytes.
constexpr int kFrameBufferBits = 60000 * 8;

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct InputClose {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct SwsFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct SwrFree {
    void operator()(SwrContext* s) const { swr_free(&s); }
};
struct FifoFree {
    void operator()(AVAudioFifo* f) const { av_audio_fifo_free(f); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
using InputPtr = std::unique_ptr<AVFormatContext, InputClose>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFree>;
using SwrPtr = std::unique_ptr<SwrContext, SwrFree>;
using FifoPtr = std::unique_ptr<AVAudioFifo, FifoFree>;

std::string AvError(int err) {
    char buf[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(err, buf, sizeof buf);
    return buf;
}

// An input file's decoder for its best stream of one kind.
struct Decoder {
    InputPtr format;
    CodecPtr codec;
    int stream = -1;
    PacketPtr packet{av_packet_alloc()};
    bool draining = false;
    bool done = false;

    bool Open(const std::string& path, AVMediaType type, std::string* error) {
        AVFormatContext* fc = nullptr;
        int err = avformat_open_input(&fc, path.c_str(), nullptr, nullptr);
        if (err < 0) {
            *error = path + ": " + AvError(err);
            return false;
        }
        format.reset(fc);
        if ((err = avformat_find_stream_info(fc, nullptr)) < 0) {
            *error = path + ": " + AvError(err);
            return false;
        }
        const AVCodec* dec = nullptr;
        stream = av_find_best_stream(fc, type, -1, -1, &dec, 0);
        if (stream < 0 || !dec) {
            *error = path + (type == AVMEDIA_TYPE_AUDIO ? ": no audio stream FFmpeg can decode"
                                                        : ": no video stream FFmpeg can decode");
            return false;
        }
        codec.reset(avcodec_alloc_context3(dec));
        if (!codec || avcodec_parameters_to_context(codec.get(), fc->streams[stream]->codecpar) < 0 ||
            (err = avcodec_open2(codec.get(), dec, nullptr)) < 0) {
            *error = path + ": cannot open its decoder";
            return false;
        }
        codec->pkt_timebase = fc->streams[stream]->time_base;
        return true;
    }

    // Next decoded frame; false at the end of the stream or on an error.
    bool Next(AVFrame* frame, std::string* error) {
        for (;;) {
            int err = avcodec_receive_frame(codec.get(), frame);
            if (err == 0)
                return true;
            if (err == AVERROR_EOF) {
                done = true;
                return false;
            }
            if (err != AVERROR(EAGAIN)) {
                *error = "decoding failed: " + AvError(err);
                return false;
            }
            if (draining) {
                done = true;
                return false;
            }
            err = av_read_frame(format.get(), packet.get());
            if (err < 0) {
                draining = true;
                avcodec_send_packet(codec.get(), nullptr);
                continue;
            }
            if (packet->stream_index == stream) {
                // A damaged packet is skipped; the decoder goes on with the next.
                avcodec_send_packet(codec.get(), packet.get());
            }
            av_packet_unref(packet.get());
        }
    }

    // Presentation time of a decoded frame in seconds from the stream's start.
    double Seconds(const AVFrame* f) const {
        const AVStream* s = format->streams[stream];
        int64_t ts = f->best_effort_timestamp;
        if (ts == AV_NOPTS_VALUE)
            return 0;
        if (s->start_time != AV_NOPTS_VALUE)
            ts -= s->start_time;
        return double(ts) * av_q2d(s->time_base);
    }
};

// Collects encoder output as media objects.
bool Drain(AVCodecContext* enc, AVPacket* pkt, int64_t unit_num, int64_t unit_den, int64_t frame_len,
           zmr::WriterStream* out, std::string* error) {
    for (;;) {
        int err = avcodec_receive_packet(enc, pkt);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF)
            return true;
        if (err < 0) {
            *error = "encoding failed: " + AvError(err);
            return false;
        }
        if (pkt->size > 0xFFFF) {
            *error = "an encoded frame of " + std::to_string(pkt->size) +
                     " bytes exceeds the 65535 bytes a media object can hold; use a smaller size or bit rate";
            av_packet_unref(pkt);
            return false;
        }
        zmr::MediaObject o;
        o.data.assign(pkt->data, pkt->data + pkt->size);
        // Times in the encoder's time base (unit_num/unit_den seconds) to 100 ns units.
        const int64_t len = pkt->duration > 0 ? pkt->duration : frame_len;
        o.start = av_rescale(pkt->pts, UNITS * unit_num, unit_den);
        o.end = av_rescale(pkt->pts + len, UNITS * unit_num, unit_den);
        o.key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        out->objects.push_back(std::move(o));
        av_packet_unref(pkt);
    }
}

std::vector<uint8_t> VideoFormatBlock(const AVCodecContext* enc, uint32_t fourcc, int fps) {
    const size_t extra = enc->extradata ? size_t(enc->extradata_size) : 0;
    std::vector<uint8_t> f(sizeof(VIDEOINFOHEADER) + extra, 0);
    uint8_t* p = f.data();
    // rcSource and rcTarget: the whole picture.
    zmr::WriteU32(p + 8, uint32_t(enc->width));
    zmr::WriteU32(p + 12, uint32_t(enc->height));
    zmr::WriteU32(p + 24, uint32_t(enc->width));
    zmr::WriteU32(p + 28, uint32_t(enc->height));
    zmr::WriteU32(p + 32, uint32_t(enc->bit_rate));
    zmr::WriteU64(p + 40, uint64_t(UNITS / fps));
    uint8_t* bih = p + 48;
    // As in RIFF files, the codec's extra data follows the bitmap header and is counted in its size.
    zmr::WriteU32(bih + 0, uint32_t(sizeof(BITMAPINFOHEADER) + extra));
    zmr::WriteU32(bih + 4, uint32_t(enc->width));
    zmr::WriteU32(bih + 8, uint32_t(enc->height));
    zmr::WriteU16(bih + 12, 1);
    zmr::WriteU16(bih + 14, 24);
    zmr::WriteU32(bih + 16, fourcc);
    zmr::WriteU32(bih + 20, uint32_t(enc->width) * uint32_t(enc->height) * 3);
    if (extra)
        std::memcpy(p + sizeof(VIDEOINFOHEADER), enc->extradata, extra);
    return f;
}

}  // namespace

uint32_t VideoFourcc(int codec_id) {
    const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
    const AVCodecID id = AVCodecID(codec_id);
    unsigned int tag = 0;
    if (!av_codec_get_tag2(tags, id, &tag) || tag == 0)
        return 0;
    return av_codec_get_id(tags, tag) == id ? tag : 0;
}

int64_t MediaDuration(const std::string& file) {
    AVFormatContext* fc = nullptr;
    if (avformat_open_input(&fc, file.c_str(), nullptr, nullptr) < 0)
        return 0;
    InputPtr holder(fc);
    if (avformat_find_stream_info(fc, nullptr) < 0 || fc->duration == AV_NOPTS_VALUE || fc->duration < 0)
        return 0;
    return av_rescale(fc->duration, UNITS, AV_TIME_BASE);
}

bool EncodeVideo(const VideoSettings& settings, bool camera, const std::string& file, int64_t duration,
                 zmr::WriterStream* out, std::string* error) {
    Decoder input;
    if (!file.empty() && !input.Open(file, AVMEDIA_TYPE_VIDEO, error))
        return false;
    VideoSettings vs = settings;
    if (vs.width == 0 || vs.height == 0) {
        if (file.empty()) {
            *error = "no picture size: give one, or an input file to take it from";
            return false;
        }
        // The input's own size, made even for the encoders' chroma planes.
        vs.width = std::max(2, input.codec->width & ~1);
        vs.height = std::max(2, input.codec->height & ~1);
        if (input.codec->width <= 0 || input.codec->height <= 0 || vs.width > 4096 || vs.height > 4096) {
            *error = file + ": its picture size " + std::to_string(input.codec->width) + "x" +
                     std::to_string(input.codec->height) + " cannot be used; give one";
            return false;
        }
    }
    const AVCodec* codec = avcodec_find_encoder_by_name(vs.codec.c_str());
    if (!codec || codec->type != AVMEDIA_TYPE_VIDEO) {
        *error = "unknown video encoder '" + vs.codec + "'";
        return false;
    }
    if (!avcodec_find_decoder(codec->id)) {
        *error = "FFmpeg cannot decode what '" + vs.codec + "' writes";
        return false;
    }
    const uint32_t fourcc = VideoFourcc(codec->id);
    if (!fourcc) {
        *error = "'" + vs.codec + "' has no FOURCC that names its decoder";
        return false;
    }
    AVPixelFormat pix = AV_PIX_FMT_YUV420P;
    if (codec->pix_fmts) {
        pix = codec->pix_fmts[0];
        for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
            if (*p == AV_PIX_FMT_YUV420P)
                pix = *p;
    }
    CodecPtr enc(avcodec_alloc_context3(codec));
    if (!enc) {
        *error = "out of memory";
        return false;
    }
    enc->width = vs.width;
    enc->height = vs.height;
    enc->time_base = AVRational{1, vs.fps};
    enc->framerate = AVRational{vs.fps, 1};
    enc->gop_size = vs.gop;
    // Objects go into the file in presentation order and the reader hands
    // them to the decoder in that order: no reordered frames.
    enc->max_b_frames = 0;
    enc->pix_fmt = pix;
    enc->bit_rate = vs.bit_rate;
    // A media object holds at most 65535 bytes: the rate control's buffer
    // keeps each frame below that, coarser where a large picture needs it.
    enc->rc_buffer_size = kFrameBufferBits;
    enc->rc_max_rate = std::max<int64_t>(2 * vs.bit_rate, int64_t(kFrameBufferBits) * vs.fps / 4);
    enc->rc_initial_buffer_occupancy = kFrameBufferBits * 3 / 4;
    if (int err = avcodec_open2(enc.get(), codec, nullptr); err < 0) {
        *error = "cannot open the " + vs.codec + " encoder at " + std::to_string(vs.width) + "x" +
                 std::to_string(vs.height) + ": " + AvError(err);
        return false;
    }

    FramePtr frame(av_frame_alloc());
    FramePtr decoded(av_frame_alloc()), next(av_frame_alloc());
    PacketPtr pkt(av_packet_alloc());
    if (!frame || !decoded || !next || !pkt) {
        *error = "out of memory";
        return false;
    }
    frame->format = pix;
    frame->width = vs.width;
    frame->height = vs.height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        *error = "out of memory";
        return false;
    }
    std::vector<uint8_t> rgb(size_t(vs.width) * vs.height * 3);
    SwsContext* sws = nullptr;
    SwsPtr sws_holder;

    out->format.clear();
    out->objects.clear();
    bool have_decoded = false, have_next = false;
    double src_frame_len = 0;
    if (!file.empty()) {
        have_next = input.Next(next.get(), error);
        if (!have_next) {
            if (error->empty())
                *error = file + ": no video frame";
            return false;
        }
        AVRational r = input.format->streams[input.stream]->avg_frame_rate;
        src_frame_len = r.num > 0 && r.den > 0 ? av_q2d(av_inv_q(r)) : 1.0 / vs.fps;
    }

    const int64_t frames = av_rescale_rnd(duration, vs.fps, UNITS, AV_ROUND_UP);
    for (int64_t n = 0; n < frames; ++n) {
        const double t = double(n) / vs.fps;
        if (av_frame_make_writable(frame.get()) < 0) {
            *error = "out of memory";
            return false;
        }
        if (file.empty()) {
            if (camera)
                DrawCameraPattern(rgb.data(), vs.width, vs.height, t);
            else
                DrawScreenPattern(rgb.data(), vs.width, vs.height, t);
            sws = sws_getCachedContext(sws, vs.width, vs.height, AV_PIX_FMT_RGB24, vs.width, vs.height, pix,
                                       SWS_BILINEAR, nullptr, nullptr, nullptr);
            sws_holder.release();
            sws_holder.reset(sws);
            if (!sws) {
                *error = "cannot convert pictures for the encoder";
                return false;
            }
            const uint8_t* src[1] = {rgb.data()};
            const int stride[1] = {vs.width * 3};
            sws_scale(sws, src, stride, 0, vs.height, frame->data, frame->linesize);
        } else {
            // The latest input frame due at t; the input's own rate is converted by repeating or skipping.
            while (have_next && (!have_decoded || input.Seconds(next.get()) <= t)) {
                av_frame_unref(decoded.get());
                av_frame_move_ref(decoded.get(), next.get());
                have_decoded = true;
                std::string why;
                have_next = input.Next(next.get(), &why);
                if (!have_next && !why.empty()) {
                    *error = file + ": " + why;
                    return false;
                }
            }
            // The input has ended once its last frame has had its time.
            if (!have_next && t >= input.Seconds(decoded.get()) + src_frame_len)
                break;
            sws = sws_getCachedContext(sws, decoded->width, decoded->height, AVPixelFormat(decoded->format),
                                       vs.width, vs.height, pix, SWS_BILINEAR, nullptr, nullptr, nullptr);
            sws_holder.release();
            sws_holder.reset(sws);
            if (!sws) {
                *error = file + ": cannot convert its pictures";
                return false;
            }
            sws_scale(sws, decoded->data, decoded->linesize, 0, decoded->height, frame->data,
                      frame->linesize);
        }
        frame->pts = n;
        if (vs.progress)
            vs.progress(n * UNITS / vs.fps);
        if (int err = avcodec_send_frame(enc.get(), frame.get()); err < 0) {
            *error = "encoding failed: " + AvError(err);
            return false;
        }
        if (!Drain(enc.get(), pkt.get(), 1, vs.fps, 1, out, error))
            return false;
    }
    avcodec_send_frame(enc.get(), nullptr);
    if (!Drain(enc.get(), pkt.get(), 1, vs.fps, 1, out, error))
        return false;
    out->type = camera ? zmr::kCameraStream : zmr::kScreenStream;
    out->sample_size = 0;
    out->format = VideoFormatBlock(enc.get(), fourcc, vs.fps);
    return true;
}

bool EncodeAudio(const AudioSettings& as, const std::string& file, int64_t duration, zmr::WriterStream* out,
                 std::string* error) {
    const AVCodec* codec = avcodec_find_encoder_by_name("wmav2");
    if (!codec) {
        *error = "this FFmpeg has no Windows Media audio encoder";
        return false;
    }
    CodecPtr enc(avcodec_alloc_context3(codec));
    if (!enc) {
        *error = "out of memory";
        return false;
    }
    enc->sample_rate = as.rate;
    av_channel_layout_default(&enc->ch_layout, as.channels);
    enc->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    enc->bit_rate = as.bit_rate;
    enc->time_base = AVRational{1, as.rate};
    if (int err = avcodec_open2(enc.get(), codec, nullptr); err < 0) {
        *error = "cannot open the audio encoder: " + AvError(err);
        return false;
    }
    if (enc->sample_fmt != AV_SAMPLE_FMT_FLTP) {
        *error = "the audio encoder wants a sample format this tool does not feed";
        return false;
    }
    const int frame_size = enc->frame_size > 0 ? enc->frame_size : 2048;
    const int channels = as.channels;

    Decoder input;
    SwrPtr swr;
    if (!file.empty()) {
        if (!input.Open(file, AVMEDIA_TYPE_AUDIO, error))
            return false;
        SwrContext* s = nullptr;
        AVChannelLayout in_layout;
        if (input.codec->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC ||
            input.codec->ch_layout.nb_channels == 0)
            av_channel_layout_default(&in_layout, std::max(1, input.codec->ch_layout.nb_channels));
        else
            av_channel_layout_copy(&in_layout, &input.codec->ch_layout);
        int err = swr_alloc_set_opts2(&s, &enc->ch_layout, AV_SAMPLE_FMT_FLTP, as.rate, &in_layout,
                                      input.codec->sample_fmt, input.codec->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&in_layout);
        swr.reset(s);
        if (err < 0 || swr_init(s) < 0) {
            *error = file + ": cannot resample its audio";
            return false;
        }
    }
    FifoPtr fifo(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, frame_size * 4));
    FramePtr frame(av_frame_alloc()), decoded(av_frame_alloc());
    PacketPtr pkt(av_packet_alloc());
    if (!fifo || !frame || !decoded || !pkt) {
        *error = "out of memory";
        return false;
    }
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->nb_samples = frame_size;
    frame->sample_rate = as.rate;
    av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        *error = "out of memory";
        return false;
    }

    out->objects.clear();
    ToneGenerator tone(as.rate);
    const int64_t total = av_rescale(duration, as.rate, UNITS);
    int64_t produced = 0;
    bool input_done = false;
    std::vector<float> conv;
    while (produced < total) {
        // Fill the fifo with at least one frame of sound, or whatever the input still has.
        while (!input_done && av_audio_fifo_size(fifo.get()) < frame_size) {
            if (file.empty()) {
                std::vector<float> mono(static_cast<size_t>(frame_size));
                for (float& v : mono) v = tone.Next();
                std::vector<void*> planes(size_t(channels), mono.data());
                av_audio_fifo_write(fifo.get(), planes.data(), frame_size);
                continue;
            }
            std::string why;
            if (!input.Next(decoded.get(), &why)) {
                if (!why.empty()) {
                    *error = file + ": " + why;
                    return false;
                }
                input_done = true;
            }
            const int in_samples = input_done ? 0 : decoded->nb_samples;
            const int room = int(swr_get_out_samples(swr.get(), in_samples));
            if (room <= 0) {
                av_frame_unref(decoded.get());
                continue;
            }
            conv.assign(size_t(room) * channels, 0.0f);
            std::vector<uint8_t*> planes(static_cast<size_t>(channels));
            for (int c = 0; c < channels; ++c)
                planes[size_t(c)] = reinterpret_cast<uint8_t*>(&conv[size_t(c) * room]);
            const int got = swr_convert(
                swr.get(), planes.data(), room,
                input_done ? nullptr : const_cast<const uint8_t**>(decoded->extended_data), in_samples);
            av_frame_unref(decoded.get());
            if (got < 0) {
                *error = file + ": resampling failed";
                return false;
            }
            if (got > 0)
                av_audio_fifo_write(fifo.get(), reinterpret_cast<void**>(planes.data()), got);
        }
        const int have = av_audio_fifo_size(fifo.get());
        if (have == 0)
            break;  // the input is shorter than the lesson
        if (av_frame_make_writable(frame.get()) < 0) {
            *error = "out of memory";
            return false;
        }
        const int n = int(std::min<int64_t>({frame_size, have, total - produced}));
        av_audio_fifo_read(fifo.get(), reinterpret_cast<void**>(frame->data), n);
        // The last block is completed with silence.
        for (int c = 0; c < channels; ++c)
            std::fill(reinterpret_cast<float*>(frame->data[c]) + n,
                      reinterpret_cast<float*>(frame->data[c]) + frame_size, 0.0f);
        frame->pts = produced;
        produced += n;
        if (as.progress)
            as.progress(produced * UNITS / as.rate);
        if (int err = avcodec_send_frame(enc.get(), frame.get()); err < 0) {
            *error = "audio encoding failed: " + AvError(err);
            return false;
        }
        if (!Drain(enc.get(), pkt.get(), 1, as.rate, frame_size, out, error))
            return false;
    }
    avcodec_send_frame(enc.get(), nullptr);
    if (!Drain(enc.get(), pkt.get(), 1, as.rate, frame_size, out, error))
        return false;

    // The encoder stamps its first block before zero (its priming); the
    // lesson's sound starts at zero, as its pictures do.
    if (!out->objects.empty() && out->objects.front().start < 0) {
        const int64_t shift = -out->objects.front().start;
        for (auto& o : out->objects) {
            o.start += shift;
            o.end += shift;
        }
    }
    const size_t extra = enc->extradata ? size_t(enc->extradata_size) : 0;
    out->type = zmr::kAudioStream;
    out->format.assign(sizeof(WAVEFORMATEX) + extra, 0);
    uint8_t* w = out->format.data();
    zmr::WriteU16(w + 0, 0x0161);
    zmr::WriteU16(w + 2, uint16_t(channels));
    zmr::WriteU32(w + 4, uint32_t(as.rate));
    zmr::WriteU32(w + 8, uint32_t(enc->bit_rate / 8));
    zmr::WriteU16(w + 12, uint16_t(enc->block_align));
    zmr::WriteU16(w + 14, 16);
    zmr::WriteU16(w + 16, uint16_t(extra));
    if (extra)
        std::memcpy(w + sizeof(WAVEFORMATEX), enc->extradata, extra);
    // Every block has the encoder's block size: the stream's samples are of fixed size.
    bool fixed = !out->objects.empty();
    for (const auto& o : out->objects) fixed = fixed && o.data.size() == size_t(enc->block_align);
    out->sample_size = fixed ? uint32_t(enc->block_align) : 0;
    return true;
}

}  // namespace zmrtool
