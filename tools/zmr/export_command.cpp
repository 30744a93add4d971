// zmr export IN.zmr OUT.mkv: the streams copied into Matroska as they are.
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "courseware_format.h"
#include "kovel/formats.h"
#include "lesson_inspect.h"
#include "progress.h"

namespace zmrtool {

namespace {

constexpr const char* kExportUsage =
    "usage: zmr export [--quiet] IN.zmr OUT.mkv\n"
    "Copies the streams into Matroska without re-encoding: the screen recording first (the default\n"
    "picture), the camera second, then the sound; the title, maker, date and chapters go along.\n"
    "  --quiet   no progress line (there is one only on a terminal anyway)\n";
constexpr AVRational kUnitBase{1, int(UNITS)};

struct OutputFree {
    void operator()(AVFormatContext* oc) const {
        if (!oc)
            return;
        if (oc->pb && !(oc->oformat->flags & AVFMT_NOFILE))
            avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
};

// Codec parameters from the stream's format block; false when the block
// names nothing FFmpeg knows.
bool FillParameters(const InspectedStream& s, AVCodecParameters* par, std::string* error) {
    const std::vector<uint8_t>& f = s.header.media_type.format;
    size_t extra_at = 0, extra_len = 0;
    if (s.audio) {
        if (f.size() < sizeof(WAVEFORMATEX)) {
            *error = "audio format block too short";
            return false;
        }
        const AVCodecTag* const tags[] = {avformat_get_riff_audio_tags(), nullptr};
        const uint16_t tag = zmr::ReadU16(f.data());
        par->codec_type = AVMEDIA_TYPE_AUDIO;
        par->codec_id = av_codec_get_id(tags, tag);
        const int channels = std::max<int>(1, zmr::ReadU16(f.data() + 2));
        av_channel_layout_default(&par->ch_layout, channels);
        par->sample_rate = int(zmr::ReadU32(f.data() + 4));
        par->bit_rate = int64_t(zmr::ReadU32(f.data() + 8)) * 8;
        par->block_align = zmr::ReadU16(f.data() + 12);
        par->bits_per_coded_sample = zmr::ReadU16(f.data() + 14);
        extra_at = sizeof(WAVEFORMATEX);
        extra_len = std::min<size_t>(zmr::ReadU16(f.data() + 16), f.size() - extra_at);
        if (par->sample_rate <= 0) {
            *error = "audio format without a sample rate";
            return false;
        }
    } else {
        // The reader's media type already holds a plain video header.
        if (f.size() < sizeof(VIDEOINFOHEADER)) {
            *error = "video format block too short";
            return false;
        }
        const uint8_t* bih = f.data() + 48;
        const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = av_codec_get_id(tags, zmr::ReadU32(bih + 16));
        par->width = std::abs(zmr::ReadI32(bih + 4));
        par->height = std::abs(zmr::ReadI32(bih + 8));
        par->bits_per_coded_sample = zmr::ReadU16(bih + 14);
        par->bit_rate = zmr::ReadU32(f.data() + 32);
        extra_at = sizeof(VIDEOINFOHEADER);
        extra_len = f.size() - extra_at;
        if (par->width <= 0 || par->height <= 0) {
            *error = "video format without a picture size";
            return false;
        }
    }
    if (par->codec_id == AV_CODEC_ID_NONE) {
        *error = "the format block names no codec FFmpeg knows";
        return false;
    }
    if (extra_len) {
        par->extradata = static_cast<uint8_t*>(av_mallocz(extra_len + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!par->extradata) {
            *error = "out of memory";
            return false;
        }
        std::memcpy(par->extradata, f.data() + extra_at, extra_len);
        par->extradata_size = int(extra_len);
    }
    return true;
}

// One stream's media objects, read back from the packets in file order.
struct Track {
    const InspectedStream* stream = nullptr;
    zmr::StreamAssembler assembler{false, 0};
    std::vector<uint8_t> buf;
    zmr::StreamAssembler::Sample sample;
    bool have = false;
    uint64_t count = 0;
    AVStream* out = nullptr;
    std::set<uint64_t> keys;  // object numbers of key frames, for video
    bool all_keys = true;
    int64_t last_dts = INT64_MIN;

    void Start(const zmr::FileReader& file, const zmr::DataObjectInfo& data) {
        assembler = zmr::StreamAssembler(stream->audio, stream->header.stream.stream_number);
        assembler.Start(data);
        // Objects are at most 65535 bytes, whatever buffer size the file asks for.
        buf.assign(std::min<uint32_t>(std::max<uint32_t>(stream->header.stream.buffer_size, 1), 0xFFFF), 0);
        count = 0;
        Advance(file);
    }
    void Advance(const zmr::FileReader& file) {
        have = assembler.Fill(file, buf.data(), uint32_t(buf.size()), &sample) ==
               zmr::StreamAssembler::Result::kSample;
    }
};

// Key frames are not marked in the file; the decoder tells them. Without a
// decoder every frame counts as one.
void FindKeyFrames(const zmr::FileReader& file, const zmr::DataObjectInfo& data, Track* t,
                   const std::function<void(int64_t)>& progress) {
    const AVCodec* dec = avcodec_find_decoder(t->out->codecpar->codec_id);
    if (!dec)
        return;
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> ctx(
        avcodec_alloc_context3(dec), [](AVCodecContext* c) { avcodec_free_context(&c); });
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(),
                                                       [](AVPacket* p) { av_packet_free(&p); });
    std::unique_ptr<AVFrame, void (*)(AVFrame*)> frame(av_frame_alloc(),
                                                       [](AVFrame* f) { av_frame_free(&f); });
    if (!ctx || !pkt || !frame || avcodec_parameters_to_context(ctx.get(), t->out->codecpar) < 0)
        return;
    ctx->flags |= AV_CODEC_FLAG_LOW_DELAY;
    if (avcodec_open2(ctx.get(), dec, nullptr) < 0)
        return;
    auto collect = [&] {
        while (avcodec_receive_frame(ctx.get(), frame.get()) == 0) {
            if (frame->key_frame || frame->pict_type == AV_PICTURE_TYPE_I)
                t->keys.insert(uint64_t(frame->pts));
            av_frame_unref(frame.get());
        }
    };
    t->Start(file, data);
    for (uint64_t n = 0; t->have; ++n) {
        if (av_new_packet(pkt.get(), int(t->sample.size)) < 0)
            return;
        std::memcpy(pkt->data, t->buf.data(), t->sample.size);
        pkt->pts = pkt->dts = int64_t(n);
        avcodec_send_packet(ctx.get(), pkt.get());
        av_packet_unref(pkt.get());
        collect();
        progress(t->sample.start);
        t->Advance(file);
    }
    avcodec_send_packet(ctx.get(), nullptr);
    collect();
    // A decoder that made nothing of the stream tells nothing either.
    t->all_keys = t->keys.empty();
}

double SliderScale(double seconds) {
    double scale = 1;
    while (seconds / scale > 30000) scale *= 10;
    return scale;
}

bool AddChapters(AVFormatContext* oc, const Inspection& in, std::string* error) {
    std::vector<ChapterEntry> list = in.chapters;
    std::stable_sort(list.begin(), list.end(),
                     [](const ChapterEntry& a, const ChapterEntry& b) { return a.time < b.time; });
    const int64_t duration = std::max<int64_t>(0, in.layout.play_duration);
    const double scale = SliderScale(double(duration) / double(UNITS));
    const int64_t end_seconds = (duration + UNITS - 1) / UNITS;
    for (size_t i = 0; i < list.size(); ++i) {
        auto at = [&](size_t k) {
            const int64_t s = int64_t(double(std::max(0, list[k].time)) * scale);
            return std::min(s, end_seconds);
        };
        auto* c = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        auto* grown = c ? static_cast<AVChapter**>(
                              av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)))
                        : nullptr;
        if (!grown) {
            av_free(c);
            *error = "out of memory";
            return false;
        }
        oc->chapters = grown;
        oc->chapters[oc->nb_chapters++] = c;
        // Ids from the document may repeat; Matroska wants them unique.
        c->id = int64_t(i + 1);
        c->time_base = AVRational{1, 1};
        c->start = at(i);
        c->end = std::max(c->start, i + 1 < list.size() ? at(i + 1) : end_seconds);
        av_dict_set(&c->metadata, "title", list[i].title.c_str(), 0);
    }
    return true;
}

}  // namespace

int RunExport(const std::vector<std::string>& args) {
    bool quiet = false;
    std::vector<std::string> paths;
    for (const std::string& a : args) {
        if (a == "--quiet") {
            quiet = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs(kExportUsage, stdout);
            return 0;
        } else if (a.empty() || a[0] == '-' || paths.size() == 2) {
            std::fputs(kExportUsage, stderr);
            return 2;
        } else {
            paths.push_back(a);
        }
    }
    if (paths.size() != 2) {
        std::fputs(kExportUsage, stderr);
        return 2;
    }
    const std::string& in_path = paths[0];
    const std::string& out_path = paths[1];
    av_log_set_level(AV_LOG_ERROR);

    zmr::FileReader file;
    if (int err = file.Open(in_path)) {
        std::fprintf(stderr, "zmr export: %s: %s\n", in_path.c_str(), std::strerror(err));
        return 1;
    }
    Inspection in;
    std::string error;
    if (!Inspect(in_path, file, &in, &error)) {
        std::fprintf(stderr, "zmr export: %s: %s\n", in_path.c_str(), error.c_str());
        return 1;
    }

    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, "matroska", out_path.c_str()) < 0 || !raw) {
        std::fprintf(stderr, "zmr export: cannot make a Matroska file\n");
        return 1;
    }
    std::unique_ptr<AVFormatContext, OutputFree> oc(raw);
    std::unique_ptr<ProgressLine> line;
    auto fail = [&](const std::string& why) {
        if (line)
            line->End();
        std::fprintf(stderr, "zmr export: %s\n", why.c_str());
        if (oc->pb) {
            oc.reset();
            std::remove(out_path.c_str());
        }
        return 1;
    };

    // Other players show the first video stream: the screen recording, which
    // the lesson is about, goes first and is the default; the camera second.
    const char* const order[] = {"capture", "videoOut", "audioOut"};
    std::vector<Track> tracks;
    for (const char* pin : order)
        for (const InspectedStream& s : in.streams)
            if (s.pin == pin) {
                tracks.emplace_back();
                tracks.back().stream = &s;
            }
    // One pass a video stream to find its key frames, then the copy.
    size_t passes = 1;
    for (const Track& t : tracks) passes += t.stream->audio ? 0 : 1;
    const double seconds = std::max<double>(double(in.layout.play_duration) / double(UNITS), 1e-3);
    line = std::make_unique<ProgressLine>("export", seconds, ProgressLine::Wanted(quiet));
    size_t pass = 0;
    auto progress = [&](int64_t at) {
        line->Update((double(pass) * seconds + std::clamp(double(at) / double(UNITS), 0.0, seconds)) /
                     double(passes));
    };
    bool first_video = true;
    for (Track& t : tracks) {
        t.out = avformat_new_stream(oc.get(), nullptr);
        if (!t.out)
            return fail("out of memory");
        if (!FillParameters(*t.stream, t.out->codecpar, &error))
            return fail(t.stream->pin + ": " + error);
        t.out->time_base = kUnitBase;
        const bool screen = t.stream->pin == "capture";
        av_dict_set(&t.out->metadata, "title",
                    screen                        ? "screen recording"
                    : t.stream->pin == "videoOut" ? "camera"
                                                  : "sound",
                    0);
        t.out->disposition = t.stream->audio || first_video ? AV_DISPOSITION_DEFAULT : 0;
        if (!t.stream->audio) {
            first_video = false;
            FindKeyFrames(file, *in.layout.data, &t, progress);
            ++pass;
        }
    }
    if (!in.records.title.empty())
        av_dict_set(&oc->metadata, "title", in.records.title.c_str(), 0);
    if (!in.records.maker.empty())
        av_dict_set(&oc->metadata, "artist", in.records.maker.c_str(), 0);
    if (!in.records.date.empty())
        av_dict_set(&oc->metadata, "date", in.records.date.c_str(), 0);
    if (!AddChapters(oc.get(), in, &error))
        return fail(error);

    if (int err = avio_open(&oc->pb, out_path.c_str(), AVIO_FLAG_WRITE); err < 0)
        return fail(out_path + ": cannot create the file");
    if (int err = avformat_write_header(oc.get(), nullptr); err < 0) {
        char buf[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(err, buf, sizeof buf);
        return fail(std::string("cannot write the Matroska header: ") + buf);
    }

    for (Track& t : tracks) t.Start(file, *in.layout.data);
    std::unique_ptr<AVPacket, void (*)(AVPacket*)> pkt(av_packet_alloc(),
                                                       [](AVPacket* p) { av_packet_free(&p); });
    if (!pkt)
        return fail("out of memory");
    uint64_t written = 0, reordered = 0;
    for (;;) {
        // The stream whose next object starts first goes next.
        Track* next = nullptr;
        for (Track& t : tracks)
            if (t.have && (!next || t.sample.start < next->sample.start))
                next = &t;
        if (!next)
            break;
        Track& t = *next;
        if (av_new_packet(pkt.get(), int(t.sample.size)) < 0)
            return fail("out of memory");
        std::memcpy(pkt->data, t.buf.data(), t.sample.size);
        int64_t ts = t.sample.start;
        // Matroska needs each stream's times in order; a file that breaks this is copied with them held back.
        if (ts < t.last_dts) {
            ts = t.last_dts;
            ++reordered;
        }
        t.last_dts = ts;
        pkt->stream_index = t.out->index;
        pkt->pts = pkt->dts = av_rescale_q(ts, kUnitBase, t.out->time_base);
        pkt->duration = t.sample.end > t.sample.start
                            ? av_rescale_q(t.sample.end - t.sample.start, kUnitBase, t.out->time_base)
                            : 0;
        if (t.stream->audio || t.all_keys || t.keys.count(t.count))
            pkt->flags |= AV_PKT_FLAG_KEY;
        if (int err = av_interleaved_write_frame(oc.get(), pkt.get()); err < 0)
            return fail("cannot write a packet of " + t.stream->pin);
        ++t.count;
        ++written;
        progress(t.sample.start);
        t.Advance(file);
    }
    if (av_write_trailer(oc.get()) < 0)
        return fail("cannot finish the Matroska file");
    line->Finish();
    if (reordered)
        std::fprintf(stderr, "zmr export: %llu objects had times out of order; held back\n",
                     static_cast<unsigned long long>(reordered));
    std::printf("%s: %zu streams, %llu packets, %u chapters\n", out_path.c_str(), tracks.size(),
                static_cast<unsigned long long>(written), oc->nb_chapters);
    return 0;
}

}  // namespace zmrtool
