// Round trip through the real reader plug-in: `zmr create` writes a lesson,
// `zmr info --json` describes it, and `zmr samples` must deliver every media
// object of it once, in order, with its times, size and bytes (crc32); with
// --seek, the segment and the first samples follow the per-second index.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "courseware_format.h"
#include "courseware_parse.h"
#include "samples_sink.h"

namespace {

std::string Tmp(const std::string& name) {
    return std::string(::testing::TempDir()) + "zmr_samples_" + name;
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

Outcome Zmr(const std::string& args) {
    static int serial = 0;
    const std::string err_path = Tmp("stderr" + std::to_string(++serial));
    const std::string cmd = std::string(ZMR_PATH) + " " + args + " 2>'" + err_path + "'";
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
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

struct Object {
    int64_t start = 0, end = 0;
    uint32_t size = 0, crc = 0;
    uint64_t first_packet = 0;
};

// The media objects of every stream, read straight from the packets
// (independent of the reader): fragments joined by object number.
std::map<uint16_t, std::vector<Object>> ObjectsOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), {});
    std::map<uint16_t, std::vector<Object>> out;
    const uint64_t hs = zmr::ReadU64(&b[16]);
    const uint64_t count = zmr::ReadU64(&b[hs + zmr::kDataPacketCount]);
    struct Partial {
        int number = -1;
        std::vector<uint8_t> bytes;
        uint64_t first = 0;
    };
    std::map<uint16_t, Partial> open;
    for (uint64_t k = 0; k < count; ++k) {
        const uint8_t* p = &b[hs + zmr::kDataObjectHeadSize + k * zmr::kPacketSize];
        size_t off = zmr::kPacketHeadSize;
        for (unsigned i = 0; i < p[0]; ++i) {
            const uint8_t* pl = p + off;
            uint16_t stream = zmr::ReadU16(pl), number = zmr::ReadU16(pl + 2), size = zmr::ReadU16(pl + 4),
                     n = zmr::ReadU16(pl + 6);
            Partial& part = open[stream];
            if (part.number != number) {
                part.number = number;
                part.bytes.clear();
                part.first = k;
            }
            part.bytes.insert(part.bytes.end(), pl + 32, pl + 32 + n);
            if (part.bytes.size() == size) {
                out[stream].push_back({zmr::ReadI64(pl + 16), zmr::ReadI64(pl + 24), size,
                                       zmrtool::Crc32(part.bytes.data(), part.bytes.size()), part.first});
                part.number = -1;
            }
            off += 32 + n;
        }
    }
    return out;
}

std::vector<QJsonObject> Lines(const std::string& text) {
    std::vector<QJsonObject> v;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        QJsonParseError err{};
        auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(line), &err);
        EXPECT_EQ(err.error, QJsonParseError::NoError) << line;
        v.push_back(doc.object());
    }
    return v;
}

struct Lesson {
    std::string path;
    QJsonObject info;
    std::map<std::string, uint16_t> pin_stream;  // pin name -> stream number
    std::map<uint16_t, std::vector<Object>> objects;
};

Lesson Create(const std::string& name, const std::string& options) {
    Lesson l;
    l.path = Tmp(name);
    Outcome c = Zmr("create '" + l.path +
                    "' --pattern --tone --duration 4 --screen-size 160x120 --fps 5 --title T " + options);
    EXPECT_EQ(c.status, 0) << c.err;
    Outcome i = Zmr("info --json '" + l.path + "'");
    EXPECT_EQ(i.status, 0) << i.err;
    l.info = QJsonDocument::fromJson(QByteArray::fromStdString(i.out)).object();
    for (const auto& s : l.info["streams"].toArray())
        l.pin_stream[s.toObject()["pin"].toString().toStdString()] =
            uint16_t(s.toObject()["stream_number"].toInt());
    l.objects = ObjectsOf(l.path);
    return l;
}

std::map<std::string, std::vector<QJsonObject>> ByPin(const std::vector<QJsonObject>& lines) {
    std::map<std::string, std::vector<QJsonObject>> m;
    for (const auto& o : lines) m[o["pin"].toString().toStdString()].push_back(o);
    return m;
}

void ExpectSamples(const std::vector<QJsonObject>& got, const std::vector<Object>& objects, size_t from,
                   int64_t base) {
    ASSERT_EQ(got.size(), objects.size() - from);
    for (size_t i = 0; i < got.size(); ++i) {
        const Object& o = objects[from + i];
        EXPECT_EQ(got[i]["event"].toString(), "sample");
        EXPECT_EQ(int64_t(got[i]["start"].toDouble()), o.start - base) << i;
        EXPECT_EQ(int64_t(got[i]["end"].toDouble()), o.end - base) << i;
        EXPECT_EQ(uint32_t(got[i]["size"].toInt()), o.size) << i;
        char crc[16];
        std::snprintf(crc, sizeof crc, "%08x", o.crc);
        EXPECT_EQ(got[i]["crc32"].toString().toStdString(), crc) << i;
        EXPECT_TRUE(got[i]["sync"].toBool());
    }
}

void RoundTrip(const std::string& name, const std::string& options, const std::vector<std::string>& pins) {
    SCOPED_TRACE(name);
    Lesson l = Create(name, options);
    std::vector<std::string> listed;
    for (const auto& [pin, number] : l.pin_stream) listed.push_back(pin);
    std::vector<std::string> sorted = pins;
    std::sort(sorted.begin(), sorted.end());
    ASSERT_EQ(listed, sorted);
    const int64_t duration = int64_t(l.info["play_duration"].toDouble());

    Outcome s = Zmr("samples '" + l.path + "'");
    ASSERT_EQ(s.status, 0) << s.err;
    auto by_pin = ByPin(Lines(s.out));
    ASSERT_EQ(by_pin.size(), pins.size());
    for (const auto& [pin, number] : l.pin_stream) {
        SCOPED_TRACE(pin);
        auto& v = by_pin[pin];
        ASSERT_GE(v.size(), 3u);
        EXPECT_EQ(v.front()["event"].toString(), "segment");
        EXPECT_EQ(int64_t(v.front()["start"].toDouble()), 0);
        EXPECT_EQ(int64_t(v.front()["stop"].toDouble()), duration);
        EXPECT_EQ(v.front()["rate"].toDouble(), 1.0);
        EXPECT_EQ(v.back()["event"].toString(), "end-of-stream");
        std::vector<QJsonObject> samples(v.begin() + 1, v.end() - 1);
        ExpectSamples(samples, l.objects[number], 0, 0);
        ASSERT_FALSE(samples.empty());
        EXPECT_TRUE(samples[0]["discontinuity"].toBool());
        for (size_t i = 1; i < samples.size(); ++i) EXPECT_FALSE(samples[i]["discontinuity"].toBool()) << i;
    }

    // A seek to 2.3 s restarts each pin at the packet of its index entry 2.
    s = Zmr("samples --seek 2.3 '" + l.path + "'");
    ASSERT_EQ(s.status, 0) << s.err;
    by_pin = ByPin(Lines(s.out));
    zmr::FileReader f;
    ASSERT_EQ(f.Open(l.path), 0);
    auto layout = zmr::ReadFileLayout(f);
    ASSERT_TRUE(layout && layout->have_index);
    for (const auto& [pin, number] : l.pin_stream) {
        SCOPED_TRACE(pin);
        auto& v = by_pin[pin];
        ASSERT_GE(v.size(), 2u);
        EXPECT_EQ(v.front()["event"].toString(), "segment");
        EXPECT_EQ(int64_t(v.front()["start"].toDouble()), 23000000);
        EXPECT_EQ(v.back()["event"].toString(), "end-of-stream");
        auto entries = zmr::LoadSeekIndex(f, layout->index_offset, pin == "audioOut", number);
        ASSERT_TRUE(entries && entries->size() > 2);
        const auto& objects = l.objects[number];
        size_t from = 0;
        while (from < objects.size() && objects[from].first_packet < (*entries)[2]) ++from;
        ExpectSamples(std::vector<QJsonObject>(v.begin() + 1, v.end() - 1), objects, from, 23000000);
        // The first frame delivered after the seek is one that starts at or
        // before the requested time, so the decoder can reach it.
        if (from < objects.size()) {
            EXPECT_LE(objects[from].start, 23000000);
        }
    }
}

TEST(ZmrSamples, RoundTripForTheThreeStreamCombinations) {
    RoundTrip("all.zmr", "", {"audioOut", "videoOut", "capture"});
    RoundTrip("noscreen.zmr", "--no-screen", {"audioOut", "videoOut"});
    RoundTrip("nocamera.zmr", "--no-camera", {"audioOut", "capture"});
}

TEST(ZmrSamples, FailuresReportTheResultCode) {
    Outcome s = Zmr("samples '" + Tmp("missing.zmr") + "'");
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("0x80070002"), std::string::npos) << s.err;
    EXPECT_TRUE(s.out.empty());

    const std::string junk = Tmp("junk.zmr");
    std::ofstream(junk) << "not a lesson";
    s = Zmr("samples '" + junk + "'");
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("0x80004005"), std::string::npos) << s.err;

    // A seek beyond the play duration is refused by every pin.
    Lesson l = Create("short.zmr", "--no-camera");
    s = Zmr("samples --seek 4.0000001 '" + l.path + "'");
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("0x80004005"), std::string::npos) << s.err;
    // The duration itself is a valid start.
    s = Zmr("samples --seek 4 '" + l.path + "'");
    EXPECT_EQ(s.status, 0) << s.err;
    for (const auto& o : Lines(s.out))
        if (o["event"].toString() == "segment") {
            EXPECT_EQ(int64_t(o["start"].toDouble()), 40000000);
        }

    EXPECT_EQ(Zmr("samples").status, 2);
    EXPECT_EQ(Zmr("samples --seek x '" + l.path + "'").status, 2);
}

}  // namespace
