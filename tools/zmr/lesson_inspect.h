// What `zmr info` and `zmr export` learn from a courseware file, read with
// the checked parser only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "courseware_parse.h"
#include "tool_util.h"

namespace zmrtool {

struct InspectedStream {
    std::string pin;  // "audioOut", "videoOut" or "capture"
    bool audio = false;
    zmr::PinHeader header;  // properties and the media type the reader announces
};

struct Inspection {
    zmr::FileLayout layout;
    zmr::DescriptiveRecords records;       // UTF-8
    std::vector<InspectedStream> streams;  // in pin order
    std::vector<zmr::IndexBlock> index;
    std::vector<ChapterEntry> chapters;
    std::string chapter_problem;  // why the chapters could not be listed, empty when they could
};

// False with a reason when the file is not a courseware file the reader
// could play: no header, no stream, or a data object cut short. `file` is
// `path` opened; the chapters are read as every reader of chapters reads
// them, completing a write-back that was cut short.
bool Inspect(const std::string& path, const zmr::FileReader& file, Inspection* out, std::string* error);

// End time (100 ns units) of the stream's last media object; 0 when it has
// none. Read from the last indexed second on, so a long lesson is not read whole.
int64_t StreamEnd(const zmr::FileReader& file, const Inspection& in, const InspectedStream& s);

}  // namespace zmrtool
