// zmr info [--json] FILE
extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "courseware_format.h"
#include "kovel/guid_text.h"
#include "lesson_inspect.h"

namespace zmrtool {

namespace {

using kovel::GuidText;

void PrintJson(const Inspection& in) {
    std::string o = "{";
    auto num = [&](const char* key, auto v, bool comma = true) {
        o += JsonString(key) + ":" + std::to_string(v);
        if (comma)
            o += ",";
    };
    num("header_size", in.layout.header_size);
    num("chapter_index_offset", in.layout.chapter_index_offset);
    num("play_duration", in.layout.play_duration);
    num("packet_count", in.layout.data->packet_count);
    o += "\"metadata\":{\"title\":" + JsonString(in.records.title) +
         ",\"maker\":" + JsonString(in.records.maker) + ",\"account\":" + JsonString(in.records.account) +
         ",\"date\":" + JsonString(in.records.date) + "},";
    o += "\"streams\":[";
    for (size_t i = 0; i < in.streams.size(); ++i) {
        const auto& s = in.streams[i];
        const auto& p = s.header.stream;
        const auto& mt = s.header.media_type;
        if (i)
            o += ",";
        o += "{\"pin\":" + JsonString(s.pin) + ",";
        num("stream_number", p.stream_number);
        o += "\"stream_type\":" + JsonString(GuidText(p.stream_type)) + ",";
        num("sample_size", p.sample_size);
        num("buffer_size", p.buffer_size);
        o += "\"major_type\":" + JsonString(GuidText(mt.major_type)) + ",";
        o += "\"subtype\":" + JsonString(GuidText(mt.subtype)) + ",";
        o += "\"format_type\":" + JsonString(GuidText(mt.format_type)) + ",";
        num("format_size", p.format.size(), false);
        o += "}";
    }
    o += "],\"index\":[";
    for (size_t i = 0; i < in.index.size(); ++i) {
        if (i)
            o += ",";
        o += "{";
        num("stream_number", in.index[i].stream_number);
        o += "\"entries\":[";
        for (size_t k = 0; k < in.index[i].packets.size(); ++k) {
            if (k)
                o += ",";
            o += std::to_string(in.index[i].packets[k]);
        }
        o += "]}";
    }
    o += "],\"chapters\":[";
    for (size_t i = 0; i < in.chapters.size(); ++i) {
        if (i)
            o += ",";
        o += "{";
        num("id", in.chapters[i].id);
        num("time", in.chapters[i].time);
        o += "\"title\":" + JsonString(in.chapters[i].title) + "}";
    }
    o += "]}\n";
    std::fputs(o.c_str(), stdout);
}

// What a stream is, in words: its role in the lesson, then codec, size, frame
// rate, bit rate and length.
std::string Describe(const zmr::FileReader& file, const Inspection& in, const InspectedStream& s) {
    const std::vector<uint8_t>& f = s.header.media_type.format;
    std::string text = s.pin == "capture" ? "screen recording" : s.pin == "videoOut" ? "camera" : "sound";
    char buf[160];
    auto codec = [](AVCodecID id, const std::string& tag) {
        const AVCodecDescriptor* d = avcodec_descriptor_get(id);
        if (!d)
            return "codec " + tag + " (unknown)";
        return std::string(d->long_name ? d->long_name : d->name) + " (" + tag + ")";
    };
    if (s.audio && f.size() >= 18) {
        const uint16_t tag = zmr::ReadU16(f.data());
        const AVCodecTag* const tags[] = {avformat_get_riff_audio_tags(), nullptr};
        std::snprintf(buf, sizeof buf, "0x%04X", tag);
        const unsigned channels = zmr::ReadU16(f.data() + 2);
        text += ": " + codec(av_codec_get_id(tags, tag), buf);
        std::snprintf(buf, sizeof buf, ", %u Hz, %s, %u kbit/s", zmr::ReadU32(f.data() + 4),
                      channels == 1   ? "mono"
                      : channels == 2 ? "stereo"
                                      : (std::to_string(channels) + " channels").c_str(),
                      zmr::ReadU32(f.data() + 8) * 8 / 1000);
        text += buf;
    } else if (!s.audio && f.size() >= 88) {
        const uint32_t fourcc = zmr::ReadU32(f.data() + 64);
        const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
        std::string tag;
        for (int i = 0; i < 4; ++i) {
            const char c = char((fourcc >> (8 * i)) & 0xFF);
            tag += c >= 32 && c < 127 ? c : '?';
        }
        text += ": " + codec(av_codec_get_id(tags, fourcc), tag);
        const int64_t frame = zmr::ReadI64(f.data() + 40);
        std::snprintf(buf, sizeof buf, ", %dx%d", std::abs(zmr::ReadI32(f.data() + 52)),
                      std::abs(zmr::ReadI32(f.data() + 56)));
        text += buf;
        if (frame > 0)
            std::snprintf(buf, sizeof buf, ", %.4g frames/s", double(UNITS) / double(frame));
        else
            std::snprintf(buf, sizeof buf, ", frame rate not given");
        text += buf;
        std::snprintf(buf, sizeof buf, ", %u kbit/s", zmr::ReadU32(f.data() + 32) / 1000);
        text += buf;
    } else {
        text += ": format not described";
    }
    std::snprintf(buf, sizeof buf, ", %.3f s", double(StreamEnd(file, in, s)) / double(UNITS));
    return text + buf;
}

void PrintText(const zmr::FileReader& file, const std::string& path, const Inspection& in) {
    const auto& l = in.layout;
    std::printf("file:                 %s\n", path.c_str());
    std::printf("header size:          %" PRIu64 "\n", l.header_size);
    std::printf("play duration:        %.3f s\n", double(l.play_duration) / double(UNITS));
    std::printf("packets:              %" PRIu64 " of %u bytes\n", l.data->packet_count, zmr::kPacketSize);
    std::printf("chapter index offset: %" PRIu64 "\n", l.chapter_index_offset);
    std::printf("title:                %s\n", in.records.title.c_str());
    std::printf("maker:                %s\n", in.records.maker.c_str());
    std::printf("account:              %s\n", in.records.account.c_str());
    std::printf("date:                 %s\n", in.records.date.c_str());
    for (const auto& s : in.streams) {
        const auto& p = s.header.stream;
        std::printf("stream %u, %s\n", p.stream_number, Describe(file, in, s).c_str());
        std::printf("  pin %s, sample size %u, buffer %u bytes, subtype %s\n", s.pin.c_str(), p.sample_size,
                    p.buffer_size, GuidText(s.header.media_type.subtype).c_str());
    }
    if (in.index.empty())
        std::printf("index:                none\n");
    for (const auto& b : in.index) {
        std::printf("index of stream %u:    %zu entries:", b.stream_number, b.packets.size());
        for (uint32_t p : b.packets) std::printf(" %u", p);
        std::printf("\n");
    }
    if (!in.chapter_problem.empty())
        std::printf("chapters:             unavailable: %s\n", in.chapter_problem.c_str());
    else
        std::printf("chapters:             %zu\n", in.chapters.size());
    for (const auto& c : in.chapters) std::printf("  %d\t%d\t%s\n", c.id, c.time, c.title.c_str());
}

}  // namespace

int RunInfo(const std::vector<std::string>& args) {
    bool json = false;
    std::string path;
    for (const auto& a : args) {
        if (a == "--json") {
            json = true;
        } else if (a == "-h" || a == "--help") {
            std::fputs("usage: zmr info [--json] FILE\n", stdout);
            return 0;
        } else if (!a.empty() && a[0] == '-') {
            std::fprintf(stderr, "zmr info: unknown option '%s'\nusage: zmr info [--json] FILE\n", a.c_str());
            return 2;
        } else if (path.empty()) {
            path = a;
        } else {
            std::fputs("usage: zmr info [--json] FILE\n", stderr);
            return 2;
        }
    }
    if (path.empty()) {
        std::fputs("usage: zmr info [--json] FILE\n", stderr);
        return 2;
    }
    zmr::FileReader file;
    if (int err = file.Open(path)) {
        std::fprintf(stderr, "zmr info: %s: %s\n", path.c_str(), std::strerror(err));
        return 1;
    }
    Inspection in;
    std::string why;
    if (!Inspect(path, file, &in, &why)) {
        std::fprintf(stderr, "zmr info: %s: %s\n", path.c_str(), why.c_str());
        return 1;
    }
    if (!in.chapter_problem.empty())
        std::fprintf(stderr, "zmr info: %s: chapters not listed: %s\n", path.c_str(),
                     in.chapter_problem.c_str());
    if (json)
        PrintJson(in);
    else
        PrintText(file, path, in);
    return 0;
}

}  // namespace zmrtool
