#include "courseware_writer.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <pugixml.hpp>
#include <sstream>

#include "courseware_format.h"

namespace zmr {

namespace {

bool Convert(const char* to, const char* from, const std::string& in, std::string* out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == iconv_t(-1))
        return false;
    std::string result(in.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char* dst = result.data();
    size_t dst_left = result.size();
    size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
    iconv_close(cd);
    if (rc == size_t(-1) || src_left != 0)
        return false;
    result.resize(result.size() - dst_left);
    *out = std::move(result);
    return true;
}

struct Closer {
    void operator()(FILE* f) const {
        if (f)
            std::fclose(f);
    }
};

// Packs payloads into 2000-byte packets and writes each packet when full.
class Packer {
  public:
    explicit Packer(FILE* f) : f_(f) { Reset(); }
    // Room for payload data in the packet in hand (0 when even a head won't fit).
    uint32_t Room() const {
        if (count_ == 255 || used_ + kPayloadHeadSize >= kPayloadAreaSize)
            return 0;
        return kPayloadAreaSize - used_ - kPayloadHeadSize;
    }
    void Add(uint16_t stream, uint16_t object, uint16_t object_size, const uint8_t* data, uint16_t n,
             uint8_t flags, int64_t start, int64_t end) {
        uint8_t* p = buf_ + kPacketHeadSize + used_;
        WriteU16(p + kPlStreamNumber, stream);
        WriteU16(p + kPlObjectNumber, object);
        WriteU16(p + kPlObjectSize, object_size);
        WriteU16(p + kPlDataLength, n);
        p[kPlFlags] = flags;
        WriteU64(p + kPlStartTime, uint64_t(start));
        WriteU64(p + kPlEndTime, uint64_t(end));
        if (n)
            std::memcpy(p + kPayloadHeadSize, data, n);
        used_ += kPayloadHeadSize + n;
        ++count_;
    }
    bool Flush() {
        if (count_ == 0)
            return true;
        buf_[0] = uint8_t(count_);
        WriteU32(buf_ + 4, kPacketSize);
        if (std::fwrite(buf_, 1, kPacketSize, f_) != kPacketSize)
            return false;
        ++packets_;
        Reset();
        return true;
    }
    uint32_t current() const { return uint32_t(packets_); }
    uint64_t packets() const { return packets_; }

  private:
    void Reset() {
        std::memset(buf_, 0, sizeof buf_);
        used_ = 0;
        count_ = 0;
    }
    FILE* f_;
    uint8_t buf_[kPacketSize];
    uint32_t used_ = 0;
    uint32_t count_ = 0;
    uint64_t packets_ = 0;
};

void AppendRecord(std::vector<uint8_t>* area, const char tag[4], const std::string& text) {
    if (text.empty())
        return;
    size_t at = area->size();
    area->resize(at + kRecordHeadSize + text.size());
    std::memcpy(area->data() + at, tag, 4);
    WriteU32(area->data() + at + 4, uint32_t(text.size()));
    std::memcpy(area->data() + at + kRecordHeadSize, text.data(), text.size());
}

}  // namespace

bool Utf8ToGbk(const std::string& in, std::string* out) {
    return Convert("GBK", "UTF-8", in, out);
}
bool GbkToUtf8(const std::string& in, std::string* out) {
    return Convert("UTF-8", "GBK", in, out);
}

std::string ChapterIndexXml(const std::vector<Chapter>& chapters) {
    pugi::xml_document doc;
    auto decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    auto index = doc.append_child("Index");
    for (const auto& c : chapters) {
        auto ch = index.append_child("Chapter");
        ch.append_attribute("id") = c.id;
        ch.append_attribute("time") = c.time;
        ch.text().set(c.title.c_str());
    }
    std::ostringstream os;
    doc.save(os, "\t", pugi::format_default, pugi::encoding_utf8);
    return os.str();
}

bool WriteCourseware(const std::string& path, const Lesson& lesson, WriteSummary* summary,
                     std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    if (lesson.streams.empty())
        return fail("no stream to write");
    if (lesson.play_duration < 0)
        return fail("negative play duration");

    // Descriptive records, GBK.
    std::vector<uint8_t> records;
    const std::pair<const char*, const std::string*> texts[] = {{kTagTitle, &lesson.title},
                                                                {kTagMakerName, &lesson.maker},
                                                                {kTagMakerAccount, &lesson.account},
                                                                {kTagMakingDate, &lesson.date}};
    for (const auto& [tag, text] : texts) {
        std::string gbk;
        if (!Utf8ToGbk(*text, &gbk))
            return fail("text cannot be written in GBK: " + *text);
        AppendRecord(&records, tag, gbk);
    }
    if (records.size() > kRecordAreaSize)
        return fail("descriptive texts exceed 1024 bytes");

    // Header: head, file properties, stream properties.
    std::vector<uint8_t> header(kObjectHeadSize + kFilePropertiesSize, 0);
    for (const auto& s : lesson.streams) {
        if (s.number == 0)
            return fail("stream number 0");
        if (s.format.empty())
            return fail("stream without format data");
        uint32_t buffer = 1;
        for (const auto& o : s.objects) {
            if (o.data.size() > 0xFFFF)
                return fail("media object larger than 65535 bytes");
            buffer = std::max<uint32_t>(buffer, uint32_t(o.data.size()));
        }
        size_t at = header.size();
        header.resize(at + kSpFormatData + s.format.size(), 0);
        uint8_t* sp = header.data() + at;
        WriteGuid(sp, kStreamPropertiesObject);
        WriteU64(sp + 16, kSpFormatData + s.format.size());
        WriteGuid(sp + kSpStreamType, s.type);
        WriteU16(sp + kSpStreamNumber, s.number);
        WriteU32(sp + kSpSampleSize, s.sample_size);
        WriteU32(sp + kSpBufferSize, buffer);
        WriteU32(sp + kSpFormatLength, uint32_t(s.format.size()));
        std::memcpy(sp + kSpFormatData, s.format.data(), s.format.size());
    }
    WriteGuid(header.data(), kHeaderObject);
    WriteU64(header.data() + 16, header.size());
    uint8_t* fp = header.data() + kObjectHeadSize;
    WriteGuid(fp, kFilePropertiesObject);
    WriteU64(fp + 16, kFilePropertiesSize);
    WriteU64(fp + kFpPacketSize, kPacketSize);
    WriteU64(fp + kFpPlayDuration, uint64_t(lesson.play_duration));
    if (!records.empty())
        std::memcpy(fp + kFpRecords, records.data(), records.size());

    std::unique_ptr<FILE, Closer> f(std::fopen(path.c_str(), "wb"));
    if (!f)
        return fail(path + ": " + std::strerror(errno));
    std::vector<uint8_t> data_head(kDataObjectHeadSize, 0);
    if (std::fwrite(header.data(), 1, header.size(), f.get()) != header.size() ||
        std::fwrite(data_head.data(), 1, data_head.size(), f.get()) != data_head.size())
        return fail("write failed");

    // Interleave in presentation order; on equal times the earlier stream first.
    struct Ref {
        int64_t start;
        size_t stream;
        size_t object;
    };
    std::vector<Ref> order;
    for (size_t s = 0; s < lesson.streams.size(); ++s)
        for (size_t o = 0; o < lesson.streams[s].objects.size(); ++o)
            order.push_back({lesson.streams[s].objects[o].start, s, o});
    std::stable_sort(order.begin(), order.end(), [](const Ref& a, const Ref& b) {
        return a.start != b.start ? a.start < b.start : a.stream < b.stream;
    });

    std::vector<std::vector<uint32_t>> first_packet(lesson.streams.size());
    for (size_t s = 0; s < lesson.streams.size(); ++s)
        first_packet[s].resize(lesson.streams[s].objects.size());
    Packer packer(f.get());
    for (const Ref& r : order) {
        const WriterStream& s = lesson.streams[r.stream];
        const MediaObject& o = s.objects[r.object];
        const bool video = s.type != kAudioStream;
        // Video flags: 0 marks a discontinuity, which only the stream's first frame is.
        uint8_t flags = video && r.object == 0 ? 0 : 1;
        // Numbers only have to differ between neighbours; they wrap at 65536.
        uint16_t number = uint16_t(r.object);
        uint16_t size = uint16_t(o.data.size());
        uint32_t done = 0;
        bool first = true;
        do {
            if (packer.Room() == 0 && !packer.Flush())
                return fail("write failed");
            uint32_t n = std::min<uint32_t>(packer.Room(), size - done);
            if (first)
                first_packet[r.stream][r.object] = packer.current();
            first = false;
            packer.Add(s.number, number, size, o.data.data() + done, uint16_t(n), flags, o.start, o.end);
            done += n;
        } while (done < size);
    }
    if (!packer.Flush())
        return fail("write failed");
    const uint64_t packets = packer.packets();

    // Index: entry k covers second k, for every second up to the play duration.
    const uint64_t entries = uint64_t(lesson.play_duration / UNITS) + 1;
    std::vector<uint8_t> index(kObjectHeadSize, 0);
    for (size_t si = 0; si < lesson.streams.size(); ++si) {
        const WriterStream& s = lesson.streams[si];
        const bool video = s.type != kAudioStream;
        size_t at = index.size();
        uint64_t block = kIndexBlockHeadSize + entries * kIndexEntrySize;
        if (block > 0xFFFFFFFFu)
            return fail("index block too large");
        index.resize(at + block, 0);
        uint8_t* b = index.data() + at;
        WriteU16(b + kIbStreamNumber, s.number);
        WriteU32(b + kIbBlockSize, uint32_t(block));
        WriteU64(b + kIbEntryCount, entries);
        size_t cur = 0;  // the object delivery starts from for second k
        for (uint64_t k = 0; k < entries; ++k) {
            const int64_t t = int64_t(k) * UNITS;
            if (video) {
                // Last key frame starting at or before t.
                for (size_t o = cur; o < s.objects.size() && s.objects[o].start <= t; ++o)
                    if (s.objects[o].key)
                        cur = o;
            } else {
                // The object covering t, else the last one that started before it.
                while (cur + 1 < s.objects.size() && s.objects[cur].end <= t && s.objects[cur + 1].start <= t)
                    ++cur;
            }
            uint32_t packet = s.objects.empty() ? 0 : first_packet[si][cur];
            WriteU32(b + kIndexBlockHeadSize + k * kIndexEntrySize + kIePacketNumber, packet);
        }
    }
    WriteGuid(index.data(), kIndexObject);
    WriteU64(index.data() + 16, index.size());
    if (std::fwrite(index.data(), 1, index.size(), f.get()) != index.size())
        return fail("write failed");

    const uint64_t data_size = kDataObjectHeadSize + packets * kPacketSize;
    const uint64_t chapter_offset = header.size() + data_size + index.size();
    std::string xml = ChapterIndexXml(lesson.chapters);
    if (std::fwrite(xml.data(), 1, xml.size(), f.get()) != xml.size())
        return fail("write failed");

    // Now the sizes are known: fill in the data object head and the chapter index offset.
    WriteGuid(data_head.data(), kDataObject);
    WriteU64(data_head.data() + 16, data_size);
    WriteU64(data_head.data() + kDataPacketCount, packets);
    WriteU64(fp + kFpChapterIndexOffset, chapter_offset);
    if (std::fseek(f.get(), 0, SEEK_SET) != 0 ||
        std::fwrite(header.data(), 1, header.size(), f.get()) != header.size() ||
        std::fwrite(data_head.data(), 1, data_head.size(), f.get()) != data_head.size())
        return fail("write failed");
    if (std::fflush(f.get()) != 0)
        return fail("write failed");
    if (std::fclose(f.release()) != 0)
        return fail("write failed");

    if (summary) {
        summary->header_size = header.size();
        summary->packet_count = packets;
        summary->chapter_index_offset = chapter_offset;
        summary->first_packet = std::move(first_packet);
    }
    return true;
}

}  // namespace zmr
