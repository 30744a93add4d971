// zmr info [--json] FILE
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "lesson_inspect.h"

namespace zmrtool {

namespace {

using zmr::GuidToString;

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
        o += "\"stream_type\":" + JsonString(GuidToString(p.stream_type)) + ",";
        num("sample_size", p.sample_size);
        num("buffer_size", p.buffer_size);
        o += "\"major_type\":" + JsonString(GuidToString(mt.major_type)) + ",";
        o += "\"subtype\":" + JsonString(GuidToString(mt.subtype)) + ",";
        o += "\"format_type\":" + JsonString(GuidToString(mt.format_type)) + ",";
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

void PrintText(const std::string& path, const Inspection& in) {
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
        const auto& mt = s.header.media_type;
        std::printf("stream %u (%s): sample size %u, buffer %u bytes, format %zu bytes\n", p.stream_number,
                    s.pin.c_str(), p.sample_size, p.buffer_size, p.format.size());
        std::printf("  stream type %s\n  major type  %s\n  subtype     %s\n  format type %s\n",
                    GuidToString(p.stream_type).c_str(), GuidToString(mt.major_type).c_str(),
                    GuidToString(mt.subtype).c_str(), GuidToString(mt.format_type).c_str());
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
        PrintText(path, in);
    return 0;
}

}  // namespace zmrtool
