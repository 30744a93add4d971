// Writing a courseware file from already encoded media objects: header with
// the file properties first, one stream properties object per stream, the
// data object of 2000-byte packets with the streams interleaved in
// presentation order, the per-second index (audio block first) and the
// chapter index document at the end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kovel/types.h"

namespace zmr {

struct MediaObject {
    std::vector<uint8_t> data;  // at most 65535 bytes
    int64_t start = 0;
    int64_t end = 0;
    bool key = true;
};

struct WriterStream {
    GUID type{};
    uint16_t number = 0;
    uint32_t sample_size = 0;
    std::vector<uint8_t> format;  // WAVEFORMATEX or VIDEOINFOHEADER block with its extra bytes
    std::vector<MediaObject> objects;
};

struct Chapter {
    int id = 0;
    int time = 0;       // slider units
    std::string title;  // UTF-8
};

struct Lesson {
    std::string title, maker, account, date;  // UTF-8; stored as GBK
    int64_t play_duration = 0;
    std::vector<WriterStream> streams;  // audio first, when present
    std::vector<Chapter> chapters;
};

// Where the writer put things, for tests and the tool's summary.
struct WriteSummary {
    uint64_t header_size = 0;
    uint64_t packet_count = 0;
    uint64_t chapter_index_offset = 0;
    // Packet holding the first fragment of each object, per stream in input order.
    std::vector<std::vector<uint32_t>> first_packet;
};

// UTF-8 to GBK (and back); false when the text cannot be converted.
bool Utf8ToGbk(const std::string& in, std::string* out);
bool GbkToUtf8(const std::string& in, std::string* out);

// The chapter index document for `chapters`, UTF-8 XML.
std::string ChapterIndexXml(const std::vector<Chapter>& chapters);

bool WriteCourseware(const std::string& path, const Lesson& lesson, WriteSummary* summary,
                     std::string* error);

}  // namespace zmr
