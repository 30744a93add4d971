// The zmr program run as a user runs it; its files read back with the
// checked parser and with FFmpeg.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

#include "courseware_format.h"
#include "courseware_parse.h"

namespace {

std::string Tmp(const std::string& name) {
    return std::string(::testing::TempDir()) + "zmr_cmd_" + name;
}

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs `zmr ARGS`; a crash or a sanitizer report fails the test here.
Outcome Zmr(const std::string& args) {
    // Under the sanitizers a report must not pass for the ordinary failure status 1.
    static const bool tagged = [] {
        for (const char* var : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            const char* old = std::getenv(var);
            std::string v = old && *old ? std::string(old) + ":" : std::string();
            setenv(var, (v + "exitcode=86").c_str(), 1);
        }
        return true;
    }();
    (void)tagged;
    static int serial = 0;
    const std::string err_path = Tmp("stderr" + std::to_string(++serial));
    const std::string cmd = std::string(ZMR_PATH) + " " + args + " 2>" + Quote(err_path);
    Outcome r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        ADD_FAILURE() << "cannot run " << cmd;
        return r;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    std::ifstream e(err_path, std::ios::binary);
    r.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
    std::remove(err_path.c_str());
    EXPECT_TRUE(WIFEXITED(st)) << "zmr " << args << " died: " << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << "zmr " << args << ": " << r.err;
    EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << "zmr " << args << ": " << r.err;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

std::string Bytes(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
}

QJsonObject Info(const std::string& path) {
    Outcome r = Zmr("info --json " + Quote(path));
    EXPECT_EQ(r.status, 0) << r.err;
    QJsonParseError pe;
    QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(r.out), &pe);
    EXPECT_EQ(pe.error, QJsonParseError::NoError) << r.out;
    return doc.object();
}

std::string S(const QJsonValue& v) {
    return v.toString().toStdString();
}

// A media object of one stream as the file carries it: where it starts.
struct Placed {
    uint32_t first_packet = 0;
    int64_t start = 0, end = 0;
    uint32_t size = 0;
};

// Walks the packets directly (not through the parser under test) and
// records for every object the packet that holds its first fragment.
std::map<uint16_t, std::vector<Placed>> PlaceObjects(const std::string& bytes) {
    std::map<uint16_t, std::vector<Placed>> out;
    auto u8 = [&](size_t at) { return reinterpret_cast<const uint8_t*>(bytes.data()) + at; };
    const uint64_t header = zmr::ReadU64(u8(16));
    const uint64_t count = zmr::ReadU64(u8(header + 24));
    struct State {
        uint16_t number = 0;
        uint32_t fill = 0, size = 0;
        bool any = false;
    };
    std::map<uint16_t, State> st;
    for (uint64_t k = 0; k < count; ++k) {
        const size_t at = header + 40 + k * 2000;
        const uint8_t* p = u8(at);
        uint32_t off = 8;
        for (int i = 0; i < p[0]; ++i) {
            const uint8_t* pl = p + off;
            const uint16_t stream = zmr::ReadU16(pl), number = zmr::ReadU16(pl + 2),
                           size = zmr::ReadU16(pl + 4), len = zmr::ReadU16(pl + 6);
            State& s = st[stream];
            if (!s.any || s.number != number || s.fill == s.size) {
                out[stream].push_back({uint32_t(k), zmr::ReadI64(pl + 16), zmr::ReadI64(pl + 24), size});
                s = {number, 0, size, true};
            }
            s.fill += len;
            off += 32 + len;
        }
    }
    return out;
}

struct Objects {
    std::vector<std::vector<uint8_t>> data;
    std::vector<int64_t> start;
};

// Every media object of one stream, through the parser.
Objects ReadObjects(const std::string& path, const GUID& type, zmr::PinHeader* header) {
    Objects o;
    zmr::FileReader f;
    EXPECT_EQ(f.Open(path), 0);
    EXPECT_TRUE(zmr::ParsePinHeader(f, type, header));
    auto data = zmr::ReadDataObject(f, header->header_size);
    EXPECT_TRUE(data);
    if (!data)
        return o;
    zmr::StreamAssembler as(type == zmr::kAudioStream, header->stream.stream_number);
    as.Start(*data);
    std::vector<uint8_t> buf(header->stream.buffer_size);
    zmr::StreamAssembler::Sample s;
    while (as.Fill(f, buf.data(), uint32_t(buf.size()), &s) == zmr::StreamAssembler::Result::kSample) {
        o.data.emplace_back(buf.begin(), buf.begin() + s.size);
        o.start.push_back(s.start);
    }
    return o;
}

struct Decoded {
    int frames = 0;
    int errors = 0;
    std::vector<bool> key;  // per object, for video
    int width = 0, height = 0, channels = 0, rate = 0;
};

// Decodes every object with libavcodec, set up from the stream's format
// block the way any client of the file would set it up.
Decoded Decode(const zmr::PinHeader& h, const Objects& objects) {
    Decoded d;
    const auto& f = h.media_type.format;
    const bool audio = h.media_type.major_type == MEDIATYPE_Audio;
    AVCodecID id;
    size_t extra_at;
    if (audio) {
        const AVCodecTag* const tags[] = {avformat_get_riff_audio_tags(), nullptr};
        id = av_codec_get_id(tags, zmr::ReadU16(f.data()));
        extra_at = 18;
    } else {
        const AVCodecTag* const tags[] = {avformat_get_riff_video_tags(), nullptr};
        id = av_codec_get_id(tags, zmr::ReadU32(f.data() + 48 + 16));
        extra_at = 88;
    }
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec) {
        ADD_FAILURE() << "no decoder";
        return d;
    }
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (audio) {
        av_channel_layout_default(&c->ch_layout, zmr::ReadU16(f.data() + 2));
        c->sample_rate = int(zmr::ReadU32(f.data() + 4));
        c->bit_rate = int64_t(zmr::ReadU32(f.data() + 8)) * 8;
        c->block_align = zmr::ReadU16(f.data() + 12);
    } else {
        c->width = zmr::ReadI32(f.data() + 52);
        c->height = zmr::ReadI32(f.data() + 56);
    }
    if (f.size() > extra_at) {
        c->extradata_size = int(f.size() - extra_at);
        c->extradata = static_cast<uint8_t*>(av_mallocz(f.size() - extra_at + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(c->extradata, f.data() + extra_at, f.size() - extra_at);
    }
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    EXPECT_EQ(avcodec_open2(c, codec, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* fr = av_frame_alloc();
    d.key.assign(objects.data.size(), false);
    auto drain = [&] {
        while (avcodec_receive_frame(c, fr) == 0) {
            ++d.frames;
            if (fr->pts >= 0 && size_t(fr->pts) < d.key.size())
                d.key[size_t(fr->pts)] = fr->key_frame || fr->pict_type == AV_PICTURE_TYPE_I;
            d.width = fr->width;
            d.height = fr->height;
            d.channels = fr->ch_layout.nb_channels;
            d.rate = fr->sample_rate;
            av_frame_unref(fr);
        }
    };
    for (size_t i = 0; i < objects.data.size(); ++i) {
        av_new_packet(pkt, int(objects.data[i].size()));
        std::memcpy(pkt->data, objects.data[i].data(), objects.data[i].size());
        pkt->pts = pkt->dts = int64_t(i);
        if (avcodec_send_packet(c, pkt) < 0)
            ++d.errors;
        av_packet_unref(pkt);
        drain();
    }
    avcodec_send_packet(c, nullptr);
    drain();
    av_frame_free(&fr);
    av_packet_free(&pkt);
    avcodec_free_context(&c);
    return d;
}

const char* kAllStreams =
    "--pattern --tone --duration 4 --title '示例课程：入门' --maker 张老师 --account zhang "
    "--date 2026-12-08 --chapter 0=开始 --chapter '2.5=A & <B>' --chapter 3=总结";

class Lesson : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        path_ = Tmp("all.zmr");
        Outcome r = Zmr("create " + Quote(path_) + " " + kAllStreams);
        ASSERT_EQ(r.status, 0) << r.err;
        summary_ = r.out;
    }
    static std::string path_, summary_;
};
std::string Lesson::path_, Lesson::summary_;

TEST_F(Lesson, InfoDescribesHeaderStreamsMetadataAndChapters) {
    EXPECT_NE(summary_.find("3 streams"), std::string::npos) << summary_;
    QJsonObject j = Info(path_);
    const std::string bytes = Bytes(path_);
    EXPECT_EQ(j["play_duration"].toInteger(), 4 * UNITS);
    EXPECT_EQ(uint64_t(j["header_size"].toInteger()),
              zmr::ReadU64(reinterpret_cast<const uint8_t*>(&bytes[16])));
    const qint64 packets = j["packet_count"].toInteger();
    EXPECT_GT(packets, 10);
    // Header, data object with its packets, index, chapter document.
    EXPECT_LT(j["header_size"].toInteger() + 40 + packets * 2000, j["chapter_index_offset"].toInteger());

    QJsonObject m = j["metadata"].toObject();
    EXPECT_EQ(S(m["title"]), "示例课程：入门");
    EXPECT_EQ(S(m["maker"]), "张老师");
    EXPECT_EQ(S(m["account"]), "zhang");
    EXPECT_EQ(S(m["date"]), "2026-12-08");

    QJsonArray s = j["streams"].toArray();
    ASSERT_EQ(s.size(), 3);
    const char* pins[] = {"audioOut", "videoOut", "capture"};
    const char* types[] = {"{F7AD0F8C-DCF6-4444-BA65-E5EBE66743A1}", "{F7AD0F8C-DCF6-4444-BA65-E5EBE66743A0}",
                           "{81E83177-F73B-4DE8-B386-8CE6F7AADD83}"};
    for (int i = 0; i < 3; ++i) {
        QJsonObject o = s[i].toObject();
        EXPECT_EQ(S(o["pin"]), pins[i]);
        EXPECT_EQ(S(o["stream_type"]), types[i]);
        EXPECT_EQ(o["stream_number"].toInt(), i + 1);
        EXPECT_GT(o["buffer_size"].toInt(), 0);
        EXPECT_GE(o["format_size"].toInt(), i == 0 ? 18 : 88);
    }
    EXPECT_EQ(S(s[0].toObject()["subtype"]), "{00000161-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(S(s[0].toObject()["major_type"]), "{73647561-0000-0010-8000-00AA00389B71}");
    EXPECT_EQ(S(s[0].toObject()["format_type"]), "{05589F81-C356-11CE-BF01-00AA0055595A}");
    EXPECT_EQ(S(s[2].toObject()["subtype"]), "{32564D57-0000-0010-8000-00AA00389B71}");  // WMV2
    EXPECT_EQ(S(s[2].toObject()["format_type"]), "{05589F80-C356-11CE-BF01-00AA0055595A}");

    QJsonArray idx = j["index"].toArray();
    ASSERT_EQ(idx.size(), 3);
    EXPECT_EQ(idx[0].toObject()["stream_number"].toInt(), 1);                          // audio block first
    for (const auto& b : idx) EXPECT_EQ(b.toObject()["entries"].toArray().size(), 5);  // seconds 0..4

    QJsonArray ch = j["chapters"].toArray();
    ASSERT_EQ(ch.size(), 3);
    EXPECT_EQ(S(ch[1].toObject()["title"]), "A & <B>");
    EXPECT_EQ(ch[1].toObject()["time"].toInt(), 2);
    EXPECT_EQ(ch[2].toObject()["time"].toInt(), 3);
    EXPECT_NE(ch[0].toObject()["id"].toInt(), ch[1].toObject()["id"].toInt());

    // Without --json the streams are told in words, each with its own length.
    Outcome text = Zmr("info " + Quote(path_));
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("示例课程：入门"), std::string::npos);
    for (const char* line :
         {"stream 3, screen recording: Windows Media Video 8 (WMV2), 640x480, 10 frames/s, 500 kbit/s, 4.000 "
          "s",
          "stream 2, camera: Windows Media Video 8 (WMV2), 160x120, 10 frames/s, 150 kbit/s, 4.000 s",
          "stream 1, sound: Windows Media Audio 2 (0x0161), 44100 Hz, stereo, 64 kbit/s, 4."})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
}

TEST_F(Lesson, DescriptiveTextsAreStoredAsGbk) {
    zmr::FileReader f;
    ASSERT_EQ(f.Open(path_), 0);
    auto layout = zmr::ReadFileLayout(f);
    ASSERT_TRUE(layout);
    zmr::DescriptiveRecords r = zmr::ParseRecords(layout->file_properties);
    EXPECT_EQ(r.maker, "\xD5\xC5\xC0\xCF\xCA\xA6");       // 张老师
    EXPECT_EQ(r.title.substr(0, 4), "\xCA\xBE\xC0\xFD");  // 示例
    EXPECT_EQ(r.account, "zhang");
}

TEST_F(Lesson, IndexNamesThePacketOfTheLastKeyFrameForEverySecond) {
    const auto placed = PlaceObjects(Bytes(path_));
    zmr::FileReader f;
    ASSERT_EQ(f.Open(path_), 0);
    auto layout = zmr::ReadFileLayout(f);
    ASSERT_TRUE(layout && layout->have_index);
    auto blocks = zmr::ReadIndexObject(f, layout->index_offset);
    ASSERT_TRUE(blocks);
    ASSERT_EQ(blocks->size(), 3u);
    for (const GUID& type : {zmr::kCameraStream, zmr::kScreenStream}) {
        zmr::PinHeader h;
        Objects objs = ReadObjects(path_, type, &h);
        Decoded d = Decode(h, objs);
        const auto& where = placed.at(h.stream.stream_number);
        ASSERT_EQ(where.size(), objs.data.size());
        // Ten frames a second, a key frame every two seconds.
        for (size_t i = 0; i < d.key.size(); ++i) EXPECT_EQ(d.key[i], i % 20 == 0) << "frame " << i;
        const zmr::IndexBlock* block = nullptr;
        for (const auto& b : *blocks)
            if (b.stream_number == h.stream.stream_number)
                block = &b;
        ASSERT_TRUE(block);
        ASSERT_EQ(block->packets.size(), 5u);
        for (size_t k = 0; k < block->packets.size(); ++k) {
            size_t last_key = 0;
            for (size_t i = 0; i < objs.data.size(); ++i)
                if (d.key[i] && where[i].start <= int64_t(k) * UNITS)
                    last_key = i;
            EXPECT_EQ(block->packets[k], where[last_key].first_packet) << "second " << k;
        }
    }
    // Audio: the packet where the object sounding at second k begins.
    const auto& audio = placed.at(1);
    ASSERT_EQ((*blocks)[0].stream_number, 1);
    for (size_t k = 0; k < (*blocks)[0].packets.size(); ++k) {
        const int64_t t = int64_t(k) * UNITS;
        const Placed* cover = &audio.back();
        for (const auto& o : audio)
            if (o.start <= t && t < o.end) {
                cover = &o;
                break;
            }
        EXPECT_EQ((*blocks)[0].packets[k], cover->first_packet) << "second " << k;
    }
}

TEST_F(Lesson, FfmpegDecodesEveryMediaObject) {
    for (const GUID& type : {zmr::kAudioStream, zmr::kCameraStream, zmr::kScreenStream}) {
        zmr::PinHeader h;
        Objects objs = ReadObjects(path_, type, &h);
        ASSERT_FALSE(objs.data.empty());
        Decoded d = Decode(h, objs);
        EXPECT_EQ(d.errors, 0);
        // The audio decoder keeps its first block back as the priming of the overlap.
        EXPECT_EQ(d.frames, int(objs.data.size()) - (type == zmr::kAudioStream ? 1 : 0));
        // Every stream starts at zero, none before it, in presentation order.
        EXPECT_EQ(objs.start[0], 0);
        for (size_t i = 1; i < objs.start.size(); ++i) EXPECT_GT(objs.start[i], objs.start[i - 1]);
        if (type == zmr::kAudioStream) {
            EXPECT_EQ(d.rate, 44100);
            EXPECT_EQ(d.channels, 2);
            // About four seconds of 2048-sample blocks.
            EXPECT_NEAR(double(objs.data.size()), 4 * 44100 / 2048.0, 3);
        } else {
            EXPECT_EQ(objs.data.size(), 40u);
            EXPECT_EQ(d.width, type == zmr::kScreenStream ? 640 : 160);
            EXPECT_EQ(d.height, type == zmr::kScreenStream ? 480 : 120);
            EXPECT_EQ(objs.start[10], UNITS);
        }
    }
}

TEST_F(Lesson, ChaptersListExportImport) {
    const std::string copy = Tmp("chapters.zmr");
    WriteBytes(copy, Bytes(path_));
    Outcome list = Zmr("chapters " + Quote(copy));
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "1\t0\t开始\n2\t2\tA & <B>\n3\t3\t总结\n");

    // Export: the stored bytes exactly.
    const std::string before = Bytes(copy);
    const uint64_t offset = uint64_t(Info(copy)["chapter_index_offset"].toInteger());
    const std::string xml = Tmp("out.xml");
    ASSERT_EQ(Zmr("chapters " + Quote(copy) + " --export " + Quote(xml)).status, 0);
    EXPECT_EQ(Bytes(xml), before.substr(offset));

    // Import: the media part stays byte for byte, the document is the new one.
    const std::string doc =
        "<?xml version=\"1.0\"?>\r\n<Index><Chapter id=\"9\" time=\"1\">新的</Chapter></Index>";
    const std::string in = Tmp("in.xml");
    WriteBytes(in, doc);
    Outcome imp = Zmr("chapters " + Quote(copy) + " --import " + Quote(in));
    ASSERT_EQ(imp.status, 0) << imp.err;
    const std::string after = Bytes(copy);
    EXPECT_EQ(after.substr(0, offset), before.substr(0, offset));
    EXPECT_EQ(after.substr(offset), doc);
    EXPECT_EQ(Zmr("chapters " + Quote(copy)).out, "9\t1\t新的\n");
    EXPECT_EQ(Info(copy)["chapters"].toArray().size(), 1);

    // A document in the encoding it declares (第一章 in GB2312), listed as text.
    WriteBytes(in,
               "<?xml version=\"1.0\" encoding=\"GB2312\"?><Index><Chapter id=\"4\" time=\"2\">"
               "\xB5\xDA\xD2\xBB\xD5\xC2</Chapter></Index>");
    ASSERT_EQ(Zmr("chapters " + Quote(copy) + " --import " + Quote(in)).status, 0);
    EXPECT_EQ(Zmr("chapters " + Quote(copy)).out, "4\t2\t第一章\n");
    EXPECT_EQ(S(Info(copy)["chapters"].toArray()[0].toObject()["title"]), "第一章");
    WriteBytes(in, doc);
    ASSERT_EQ(Zmr("chapters " + Quote(copy) + " --import " + Quote(in)).status, 0);

    // A malformed document is refused and nothing changes.
    WriteBytes(in, "<Index><Chapter id=\"1\">");
    Outcome bad = Zmr("chapters " + Quote(copy) + " --import " + Quote(in));
    EXPECT_EQ(bad.status, 1);
    EXPECT_FALSE(bad.err.empty());
    EXPECT_EQ(Bytes(copy), after);
    EXPECT_EQ(Zmr("chapters " + Quote(copy) + " --import " + Quote(Tmp("missing.xml"))).status, 1);
    EXPECT_EQ(Bytes(copy), after);
}

TEST_F(Lesson, BrokenChapterDocumentStillShowsTheLesson) {
    const std::string copy = Tmp("brokenchapters.zmr");
    std::string bytes = Bytes(path_);
    const uint64_t offset = uint64_t(Info(path_)["chapter_index_offset"].toInteger());
    bytes = bytes.substr(0, offset) + "<Index><Chapter id=\"1\">";
    WriteBytes(copy, bytes);
    Outcome info = Zmr("info --json " + Quote(copy));
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.err.find("chapters"), std::string::npos);
    QJsonObject j = QJsonDocument::fromJson(QByteArray::fromStdString(info.out)).object();
    EXPECT_EQ(j["streams"].toArray().size(), 3);
    EXPECT_EQ(j["chapters"].toArray().size(), 0);
    // Listing needs a readable document; copying it out does not.
    EXPECT_EQ(Zmr("chapters " + Quote(copy)).status, 1);
    const std::string xml = Tmp("broken.xml");
    ASSERT_EQ(Zmr("chapters " + Quote(copy) + " --export " + Quote(xml)).status, 0);
    EXPECT_EQ(Bytes(xml), "<Index><Chapter id=\"1\">");
}

TEST_F(Lesson, ExportOpensInLibavformatWithStreamsChaptersAndTitle) {
    const std::string mkv = Tmp("all.mkv");
    Outcome r = Zmr("export " + Quote(path_) + " " + Quote(mkv));
    ASSERT_EQ(r.status, 0) << r.err;
    AVFormatContext* fc = nullptr;
    ASSERT_EQ(avformat_open_input(&fc, mkv.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(fc, nullptr), 0);
    ASSERT_EQ(fc->nb_streams, 3u);
    // Other players show the first, default picture: the screen recording.
    EXPECT_EQ(fc->streams[0]->codecpar->codec_id, AV_CODEC_ID_WMV2);
    EXPECT_EQ(fc->streams[0]->codecpar->width, 640);
    EXPECT_TRUE(fc->streams[0]->disposition & AV_DISPOSITION_DEFAULT);
    EXPECT_EQ(fc->streams[1]->codecpar->codec_id, AV_CODEC_ID_WMV2);
    EXPECT_EQ(fc->streams[1]->codecpar->width, 160);
    EXPECT_FALSE(fc->streams[1]->disposition & AV_DISPOSITION_DEFAULT);
    EXPECT_EQ(fc->streams[2]->codecpar->codec_id, AV_CODEC_ID_WMAV2);
    EXPECT_EQ(av_find_best_stream(fc, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0), 0);
    EXPECT_NEAR(double(fc->duration) / AV_TIME_BASE, 4.0, 0.2);
    AVDictionaryEntry* t = av_dict_get(fc->metadata, "title", nullptr, 0);
    ASSERT_TRUE(t);
    EXPECT_STREQ(t->value, "示例课程：入门");
    AVDictionaryEntry* a = av_dict_get(fc->metadata, "artist", nullptr, 0);
    ASSERT_TRUE(a);
    EXPECT_STREQ(a->value, "张老师");
    AVDictionaryEntry* date = av_dict_get(fc->metadata, "date", nullptr, 0);
    ASSERT_TRUE(date);
    EXPECT_STREQ(date->value, "2026-12-08");
    ASSERT_EQ(fc->nb_chapters, 3u);
    const double starts[] = {0, 2, 3}, ends[] = {2, 3, 4};
    for (unsigned i = 0; i < 3; ++i) {
        const AVChapter* c = fc->chapters[i];
        EXPECT_NEAR(c->start * av_q2d(c->time_base), starts[i], 1e-3);
        EXPECT_NEAR(c->end * av_q2d(c->time_base), ends[i], 1e-3);
    }
    EXPECT_STREQ(av_dict_get(fc->chapters[1]->metadata, "title", nullptr, 0)->value, "A & <B>");

    // Every object arrives once; video key frames are marked.
    int counts[3] = {}, keys[3] = {};
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(fc, pkt) >= 0) {
        ++counts[pkt->stream_index];
        keys[pkt->stream_index] += (pkt->flags & AV_PKT_FLAG_KEY) != 0;
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&fc);
    zmr::PinHeader h;
    EXPECT_EQ(counts[2], int(ReadObjects(path_, zmr::kAudioStream, &h).data.size()));
    EXPECT_EQ(counts[0], 40);
    EXPECT_EQ(counts[1], 40);
    EXPECT_EQ(keys[0], 2);

    // The export is ordinary media: a lesson can be made from it again.
    const std::string again = Tmp("again.zmr");
    Outcome c = Zmr("create " + Quote(again) + " --audio " + Quote(mkv) + " --screen " + Quote(mkv) +
                    " --camera " + Quote(mkv) + " --screen-size 320x240");
    ASSERT_EQ(c.status, 0) << c.err;
    QJsonObject j = Info(again);
    EXPECT_EQ(j["streams"].toArray().size(), 3);
    EXPECT_NEAR(double(j["play_duration"].toInteger()) / UNITS, 4.0, 0.2);
    for (const GUID& type : {zmr::kAudioStream, zmr::kScreenStream, zmr::kCameraStream}) {
        zmr::PinHeader hh;
        Objects objs = ReadObjects(again, type, &hh);
        Decoded d = Decode(hh, objs);
        EXPECT_EQ(d.errors, 0);
        EXPECT_EQ(d.frames, int(objs.data.size()) - (type == zmr::kAudioStream ? 1 : 0));
        EXPECT_GT(objs.data.size(), 30u);
        // The size given, else the input's own: here the exported screen recording's.
        if (type != zmr::kAudioStream) {
            EXPECT_EQ(d.width, type == zmr::kScreenStream ? 320 : 640);
        }
    }
}

TEST(Create, LessonsWithoutScreenOrCamera) {
    struct Case {
        const char* name;
        const char* args;
        std::vector<std::string> pins;
    };
    const Case cases[] = {
        {"noscreen.zmr", "--pattern --tone --no-screen --duration 3", {"audioOut", "videoOut"}},
        {"nocamera.zmr", "--pattern --tone --no-camera --duration 3", {"audioOut", "capture"}},
        {"silent.zmr", "--pattern --duration 3", {"videoOut", "capture"}},
        {"screenonly.zmr", "--pattern --no-camera --codec mpeg4 --fps 5 --gop 5 --duration 3", {"capture"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Tmp(c.name);
        Outcome r = Zmr("create " + Quote(path) + " " + c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        QJsonObject j = Info(path);
        QJsonArray s = j["streams"].toArray();
        ASSERT_EQ(size_t(s.size()), c.pins.size());
        for (size_t i = 0; i < c.pins.size(); ++i) EXPECT_EQ(S(s[int(i)].toObject()["pin"]), c.pins[i]);
        QJsonArray idx = j["index"].toArray();
        EXPECT_EQ(size_t(idx.size()), c.pins.size());
        // The first block is the audio block when there is sound.
        EXPECT_EQ(idx[0].toObject()["stream_number"].toInt(), s[0].toObject()["stream_number"].toInt());
        EXPECT_EQ(j["chapters"].toArray().size(), 0);
        EXPECT_EQ(S(j["metadata"].toObject()["title"]), "");
    }
    // Another codec: its FOURCC maps back to a decoder, and every frame decodes.
    zmr::PinHeader h;
    Objects objs = ReadObjects(Tmp("screenonly.zmr"), zmr::kScreenStream, &h);
    EXPECT_EQ(zmr::ReadU32(h.media_type.format.data() + 64), 0x34504D46u);  // FMP4
    Decoded d = Decode(h, objs);
    EXPECT_EQ(objs.data.size(), 15u);
    EXPECT_EQ(d.frames, 15);
    for (size_t i = 0; i < d.key.size(); ++i) EXPECT_EQ(d.key[i], i % 5 == 0) << "frame " << i;
}

// Runs `zmr ARGS` on a terminal of its own; everything it wrote there.
std::string OnTerminal(const std::string& args) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", (std::string(ZMR_PATH) + " " + args).c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string out;
    if (pid < 0) {
        ADD_FAILURE() << "no terminal";
        return out;
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(master, buf, sizeof buf)) > 0) out.append(buf, size_t(n));
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "zmr " << args << ": " << out;
    return out;
}

TEST(Create, OwnPictureSizesAndProgressOnATerminalOnly) {
    const std::string wide = Tmp("wide.zmr"), wide_mkv = Tmp("wide.mkv"), again = Tmp("hd.zmr");
    const std::string made = OnTerminal("create " + Quote(wide) +
                                        " --pattern --no-camera --tone --screen-size 320x180 --duration 3");
    EXPECT_NE(made.find("create: 100%  speed "), std::string::npos) << made;
    EXPECT_NE(made.find("took"), std::string::npos) << made;
    const std::string exported = OnTerminal("export " + Quote(wide) + " " + Quote(wide_mkv));
    EXPECT_NE(exported.find("export: 100%"), std::string::npos) << exported;
    EXPECT_EQ(OnTerminal("export --quiet " + Quote(wide) + " " + Quote(wide_mkv)).find('%'),
              std::string::npos);

    // A busy 16:9 HD screen recording keeps its size, and every picture
    // still fits in a media object.
    const std::string hd = Tmp("hd.mkv");
    ASSERT_EQ(std::system(("ffmpeg -loglevel error -y -f lavfi -i testsrc2=size=1920x1080:rate=10 -t 0.5 " +
                           Quote(hd))
                              .c_str()),
              0);
    Outcome r = Zmr("create " + Quote(again) + " --screen " + Quote(hd) + " --audio " + Quote(wide_mkv));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "") << "no progress where output is not a terminal";
    zmr::PinHeader h;
    Decoded d = Decode(h, ReadObjects(again, zmr::kScreenStream, &h));
    EXPECT_EQ(d.width, 1920);
    EXPECT_EQ(d.height, 1080);
    EXPECT_EQ(d.frames, 5);
}

TEST(Create, RefusesWhatItCannotDo) {
    const std::string out = Tmp("refused.zmr");
    std::remove(out.c_str());
    EXPECT_EQ(Zmr("create").status, 2);
    EXPECT_EQ(Zmr("create " + Quote(out)).status, 2);  // no stream
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --bogus").status, 2);
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --duration").status, 2);
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --duration -3").status, 1);
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --screen-size 640").status, 1);
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --codec no_such_codec").status, 1);
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --codec pcm_s16le").status, 1);
    EXPECT_EQ(Zmr("create " + Quote(out) + " --audio " + Quote(Tmp("nothing.wav"))).status, 1);
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --duration 2 --chapter 5=late").status, 1);
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --chapter notime").status, 1);
    // An input without the kind of stream asked of it.
    const std::string sound = Tmp("sound.zmr"), sound_mkv = Tmp("sound.mkv");
    ASSERT_EQ(Zmr("create " + Quote(sound) + " --tone --duration 1").status, 0);
    ASSERT_EQ(Zmr("export " + Quote(sound) + " " + Quote(sound_mkv)).status, 0);
    Outcome novideo = Zmr("create " + Quote(out) + " --screen " + Quote(sound_mkv));
    EXPECT_EQ(novideo.status, 1);
    EXPECT_NE(novideo.err.find("no video stream"), std::string::npos) << novideo.err;
    // Texts beyond GBK cannot be stored.
    EXPECT_EQ(Zmr("create " + Quote(out) + " --pattern --duration 1 --title 😀").status, 1);
    std::ifstream f(out);
    EXPECT_FALSE(f.good()) << "a refused lesson left a file behind";
}

TEST(Commands, UsageErrors) {
    EXPECT_EQ(Zmr("").status, 2);
    EXPECT_EQ(Zmr("frobnicate").status, 2);
    EXPECT_EQ(Zmr("info").status, 2);
    EXPECT_EQ(Zmr("info --xml x").status, 2);
    EXPECT_EQ(Zmr("chapters").status, 2);
    EXPECT_EQ(Zmr("chapters x --export").status, 2);
    EXPECT_EQ(Zmr("export onlyone").status, 2);
    EXPECT_EQ(Zmr("info " + Quote(Tmp("does_not_exist.zmr"))).status, 1);
}

TEST(Commands, HostileFilesAreRefusedWithoutCrashing) {
    const std::string good = Tmp("hostile_src.zmr");
    ASSERT_EQ(Zmr("create " + Quote(good) + " --pattern --tone --duration 3 --chapter 1=x").status, 0);
    const std::string bytes = Bytes(good);
    const uint64_t header = zmr::ReadU64(reinterpret_cast<const uint8_t*>(&bytes[16]));
    const std::string bad = Tmp("hostile.zmr");
    const std::string mkv = Tmp("hostile.mkv");

    // What, the bytes, and whether the chapter document can still be found in them.
    struct Damaged {
        std::string what, content;
        bool chapters = false;
    };
    std::vector<Damaged> files;
    for (size_t cut : {size_t(0), size_t(10), size_t(30), size_t(header - 1), size_t(header + 20),
                       size_t(header + 40 + 2000 * 3 + 17), bytes.size() / 2})
        files.push_back({"cut at " + std::to_string(cut), bytes.substr(0, cut)});
    std::mt19937 rng(7);
    std::string noise(50000, '\0');
    for (char& c : noise) c = char(rng());
    files.push_back({"random bytes", noise});
    // A valid header object head over noise, and sizes pointing everywhere.
    std::string head = bytes.substr(0, 24) + noise;
    files.push_back({"header head over noise", head});
    std::string big = bytes;
    zmr::WriteU64(reinterpret_cast<uint8_t*>(&big[16]), ~0ull);
    files.push_back({"header size 2^64-1", big});
    std::string sp = bytes;
    // The first stream's format length and buffer size made huge.
    const size_t stream0 = 24 + 1072;
    zmr::WriteU32(reinterpret_cast<uint8_t*>(&sp[stream0 + 52]), 0xFFFFFFF0u);
    files.push_back({"format length past its object", sp, true});
    std::string counts = bytes;
    zmr::WriteU64(reinterpret_cast<uint8_t*>(&counts[header + 24]), 1ull << 40);
    files.push_back({"packet count beyond the data", counts, true});

    for (const Damaged& d : files) {
        SCOPED_TRACE(d.what);
        WriteBytes(bad, d.content);
        Outcome info = Zmr("info --json " + Quote(bad));
        EXPECT_EQ(info.status, 1) << info.out;
        EXPECT_FALSE(info.err.empty());
        EXPECT_EQ(Zmr("info " + Quote(bad)).status, 1);
        EXPECT_EQ(Zmr("export " + Quote(bad) + " " + Quote(mkv)).status, 1);
        Outcome ch = Zmr("chapters " + Quote(bad));
        EXPECT_EQ(ch.status, d.chapters ? 0 : 1);
        if (d.chapters) {
            EXPECT_EQ(ch.out, "1\t1\tx\n");
        }
    }

    // Single bytes of the header, the data object head and the index changed at random:
    // whatever the result, a clean answer.
    const uint64_t index_at =
        header + 40 + zmr::ReadU64(reinterpret_cast<const uint8_t*>(&bytes[header + 24])) * 2000;
    for (int i = 0; i < 40; ++i) {
        std::string m = bytes;
        const size_t region = i % 2 ? size_t(index_at) : 0;
        const size_t span = i % 2 ? std::min<size_t>(200, bytes.size() - region) : size_t(header + 40);
        for (int k = 0; k < 4; ++k) m[region + rng() % span] = char(rng());
        WriteBytes(bad, m);
        Outcome r = Zmr("info --json " + Quote(bad));
        EXPECT_TRUE(r.status == 0 || r.status == 1) << "mutation " << i << ": " << r.status;
        if (i % 4 == 0) {
            Outcome e = Zmr("export " + Quote(bad) + " " + Quote(mkv));
            EXPECT_TRUE(e.status == 0 || e.status == 1) << "mutation " << i << ": " << e.status;
        }
    }

    // Damage inside the packets still leaves a file info can describe and export can copy.
    std::string packets = bytes;
    for (size_t i = header + 40; i < header + 40 + 2000 * 4; i += 97) packets[i] = char(rng());
    WriteBytes(bad, packets);
    EXPECT_EQ(Zmr("info --json " + Quote(bad)).status, 0);
    Outcome e = Zmr("export " + Quote(bad) + " " + Quote(mkv));
    EXPECT_TRUE(e.status == 0 || e.status == 1) << e.err;
}

}  // namespace
