#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "chapter_document.h"
#include "courseware_parse.h"
#include "courseware_writer.h"

namespace {

std::string TempPath(const char* name) {
    return std::string(::testing::TempDir()) + name;
}

std::vector<uint8_t> VideoFormat() {
    std::vector<uint8_t> f(88, 0);
    zmr::WriteU32(&f[48], 40);
    zmr::WriteU32(&f[52], 160);
    zmr::WriteU32(&f[56], 120);
    zmr::WriteU16(&f[62], 24);
    zmr::WriteU32(&f[64], 0x32564D57);  // 'WMV2'
    return f;
}

zmr::Lesson MakeLesson() {
    zmr::Lesson l;
    l.title = "示例课程";
    l.maker = "张老师";
    l.account = "abc";
    l.date = "2026-12-08";
    l.play_duration = 3 * UNITS;
    zmr::WriterStream a;
    a.type = zmr::kAudioStream;
    a.number = 1;
    a.format.assign(18, 0);
    for (int i = 0; i < 30; ++i)
        a.objects.push_back(
            {std::vector<uint8_t>(700, uint8_t(i)), i * UNITS / 10, (i + 1) * UNITS / 10, true});
    zmr::WriterStream v;
    v.type = zmr::kScreenStream;
    v.number = 3;
    v.format = VideoFormat();
    for (int i = 0; i < 30; ++i)
        v.objects.push_back({std::vector<uint8_t>(i % 10 == 0 ? 5000 : 300, uint8_t(100 + i)), i * UNITS / 10,
                             (i + 1) * UNITS / 10, i % 20 == 0});
    l.streams = {a, v};
    l.chapters = {{1, 0, "第一章 开始"}, {2, 2, "A & <B>"}};
    return l;
}

TEST(CoursewareWriter, RoundTripThroughAssembler) {
    auto path = TempPath("rt.zmr");
    zmr::Lesson l = MakeLesson();
    zmr::WriteSummary sum;
    std::string err;
    ASSERT_TRUE(zmr::WriteCourseware(path, l, &sum, &err)) << err;

    zmr::FileReader f;
    ASSERT_EQ(f.Open(path), 0);
    for (size_t si = 0; si < l.streams.size(); ++si) {
        const auto& ws = l.streams[si];
        zmr::PinHeader ph;
        ASSERT_TRUE(zmr::ParsePinHeader(f, ws.type, &ph));
        EXPECT_EQ(ph.stream.stream_number, ws.number);
        EXPECT_EQ(ph.play_duration, l.play_duration);
        auto data = zmr::ReadDataObject(f, ph.header_size);
        ASSERT_TRUE(data);
        EXPECT_EQ(data->packet_count, sum.packet_count);
        zmr::StreamAssembler as(ws.type == zmr::kAudioStream, ws.number);
        as.Start(*data);
        std::vector<uint8_t> buf(ph.stream.buffer_size);
        zmr::StreamAssembler::Sample s;
        for (size_t i = 0; i < ws.objects.size(); ++i) {
            ASSERT_EQ(as.Fill(f, buf.data(), uint32_t(buf.size()), &s),
                      zmr::StreamAssembler::Result::kSample);
            ASSERT_EQ(s.size, ws.objects[i].data.size());
            EXPECT_EQ(std::vector<uint8_t>(buf.begin(), buf.begin() + s.size), ws.objects[i].data);
            EXPECT_EQ(s.start, ws.objects[i].start);
            EXPECT_EQ(s.end, ws.objects[i].end);
        }
        EXPECT_EQ(as.Fill(f, buf.data(), uint32_t(buf.size()), &s), zmr::StreamAssembler::Result::kEnd);
    }
    // No other stream is announced.
    zmr::PinHeader none;
    EXPECT_FALSE(zmr::ParsePinHeader(f, zmr::kCameraStream, &none));

    auto layout = zmr::ReadFileLayout(f);
    ASSERT_TRUE(layout);
    EXPECT_TRUE(layout->file_properties_first);
    EXPECT_EQ(layout->chapter_index_offset, sum.chapter_index_offset);
    EXPECT_EQ(layout->media_end, sum.chapter_index_offset);
    auto rec = zmr::ParseRecords(layout->file_properties);
    std::string title;
    ASSERT_TRUE(zmr::GbkToUtf8(rec.title, &title));
    EXPECT_EQ(title, l.title);
    EXPECT_EQ(rec.account, "abc");

    auto audio_index = zmr::LoadSeekIndex(f, layout->index_offset, true, 1);
    auto video_index = zmr::LoadSeekIndex(f, layout->index_offset, false, 3);
    ASSERT_TRUE(audio_index && video_index);
    EXPECT_EQ(audio_index->size(), 4u);
    // Second 1 of video: last key frame at or before 1 s is frame 0.
    EXPECT_EQ((*video_index)[1], sum.first_packet[1][0]);
    EXPECT_EQ((*video_index)[2], sum.first_packet[1][20]);
    EXPECT_EQ((*audio_index)[2], sum.first_packet[0][20]);
}

TEST(CoursewareWriter, SeekRules) {
    std::vector<uint32_t> e = {0, 5, 9};
    EXPECT_EQ(zmr::SeekPacket(e, 0, 2 * UNITS), 0u);
    EXPECT_EQ(zmr::SeekPacket(e, 12700000, 2 * UNITS), 5u);
    EXPECT_EQ(zmr::SeekPacket(e, 2 * UNITS, 2 * UNITS), 9u);
    EXPECT_FALSE(zmr::SeekPacket(e, 2 * UNITS + 1, 2 * UNITS));
    EXPECT_FALSE(zmr::SeekPacket(e, -1, 2 * UNITS));
    EXPECT_EQ(zmr::SeekPacket(e, 9 * UNITS, 10 * UNITS), 9u);  // past the last entry
    EXPECT_FALSE(zmr::SeekPacket({}, 0, UNITS));
}

TEST(ChapterDocument, ExportIsByteExactAndWriteBackKeepsMedia) {
    auto path = TempPath("ch.zmr");
    zmr::Lesson l = MakeLesson();
    zmr::WriteSummary sum;
    ASSERT_TRUE(zmr::WriteCourseware(path, l, &sum, nullptr));
    auto doc = zmr::ReadChapterDocument(path);
    ASSERT_TRUE(doc.ok) << doc.error;
    EXPECT_EQ(doc.bytes, zmr::ChapterIndexXml(l.chapters));

    std::ifstream in(path, std::ios::binary);
    std::string before((std::istreambuf_iterator<char>(in)), {});
    EXPECT_FALSE(zmr::WriteChapterDocument(path, "<Index><Chapter>").ok);
    std::string doc2 = "<Index><Chapter id=\"7\" time=\"1\">x</Chapter></Index>";
    auto r = zmr::WriteChapterDocument(path, doc2);
    ASSERT_TRUE(r.ok) << r.error;
    std::ifstream in2(path, std::ios::binary);
    std::string after((std::istreambuf_iterator<char>(in2)), {});
    ASSERT_EQ(after.size(), sum.chapter_index_offset + doc2.size());
    EXPECT_EQ(after.substr(0, sum.chapter_index_offset), before.substr(0, sum.chapter_index_offset));
    EXPECT_EQ(after.substr(sum.chapter_index_offset), doc2);
    EXPECT_FALSE(zmr::WriteChapterDocument(TempPath("missing.zmr"), doc2).ok);
}

}  // namespace
