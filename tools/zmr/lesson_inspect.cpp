#include "lesson_inspect.h"

#include <algorithm>

#include "chapter_document.h"

namespace zmrtool {

bool Inspect(const std::string& path, const zmr::FileReader& file, Inspection* out, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = why;
        return false;
    };
    // First, so that the layout is read after any unfinished write-back
    // has been completed.
    const zmr::ChapterDocument chapters = zmr::ReadChapterDocument(path);
    auto layout = zmr::ReadFileLayout(file);
    if (!layout)
        return fail("not a courseware file (no valid header object)");
    Inspection in;
    in.layout = *layout;
    if (!in.layout.data)
        return fail("no data object after the header");
    const zmr::DataObjectInfo& data = *in.layout.data;
    const uint64_t after_header = in.layout.file_size - in.layout.header_size;
    if (data.size > after_header)
        return fail("the data object runs past the end of the file (file cut short?)");
    if (data.packet_count > (data.size - zmr::kDataObjectHeadSize) / zmr::kPacketSize)
        return fail("the packet count does not fit in the data object");

    struct Kind {
        const char* pin;
        GUID type;
    };
    const Kind kinds[] = {
        {"audioOut", zmr::kAudioStream}, {"videoOut", zmr::kCameraStream}, {"capture", zmr::kScreenStream}};
    for (const Kind& k : kinds) {
        InspectedStream s;
        s.pin = k.pin;
        s.audio = k.type == zmr::kAudioStream;
        if (zmr::ParsePinHeader(file, k.type, &s.header))
            in.streams.push_back(std::move(s));
    }
    if (in.streams.empty())
        return fail("no stream the reader can play");

    const zmr::DescriptiveRecords raw = zmr::ParseRecords(in.layout.file_properties);
    in.records.title = GbkToUtf8Lenient(raw.title);
    in.records.maker = GbkToUtf8Lenient(raw.maker);
    in.records.account = GbkToUtf8Lenient(raw.account);
    in.records.date = GbkToUtf8Lenient(raw.date);

    if (in.layout.have_index) {
        if (auto blocks = zmr::ReadIndexObject(file, in.layout.index_offset))
            in.index = std::move(*blocks);
    }

    // Chapters are where the player would find them; a file it cannot take
    // them from is still shown, with the reason.
    if (!chapters.ok)
        in.chapter_problem = chapters.error;
    else if (!chapters.bytes.empty())
        ParseChapterList(chapters.bytes, &in.chapters, &in.chapter_problem);
    *out = std::move(in);
    return true;
}

int64_t StreamEnd(const zmr::FileReader& file, const Inspection& in, const InspectedStream& s) {
    if (!in.layout.data)
        return 0;
    const uint16_t number = s.header.stream.stream_number;
    zmr::StreamAssembler assembler(s.audio, number);
    assembler.Start(*in.layout.data);
    if (in.layout.have_index)
        if (auto entries = zmr::LoadSeekIndex(file, in.layout.index_offset, s.audio, number))
            assembler.Reposition(entries->back());
    std::vector<uint8_t> buf(0xFFFF);
    zmr::StreamAssembler::Sample sample;
    int64_t end = 0;
    while (assembler.Fill(file, buf.data(), uint32_t(buf.size()), &sample) ==
           zmr::StreamAssembler::Result::kSample)
        end = std::max(end, sample.end);
    return end;
}

}  // namespace zmrtool
