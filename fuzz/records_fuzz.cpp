// Arbitrary bytes as a lesson whose descriptive texts (title, maker, account,
// date) are read. The player's reading (header walk, file properties object,
// record area) and the format library's, which `zmr info` uses, must stay
// inside the record area and agree on every text.
#include <cstdlib>
#include <string>
#include <vector>

#include "courseware_format.h"
#include "courseware_info.h"
#include "courseware_parse.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = kovel::fuzz::InputPath("records_fuzz", ".zmr");
    if (!kovel::fuzz::WriteInput(path, data, size))
        return 0;
    kovel::player::CoursewareInfo info;
    kovel::player::ReadCoursewareInfo(path, info);

    kovel::player::CCoursewareInfoReader reader(path);
    if (!reader.Load()) {
        if (!info.title.empty() || !info.makerName.empty() || !info.makerAccount.empty() ||
            !info.makingDate.empty())
            std::abort();  // texts from a file that has none
        return 0;
    }
    const uint64_t at = reader.FilePropertiesOffset();
    if (at > size || size - at < zmr::kFilePropertiesSize)
        std::abort();  // the object was read, so the file holds it
    const std::vector<uint8_t> fp(data + at, data + at + zmr::kFilePropertiesSize);
    const zmr::DescriptiveRecords records = zmr::ParseRecords(fp);
    if (records.title != info.title || records.maker != info.makerName ||
        records.account != info.makerAccount || records.date != info.makingDate)
        std::abort();
    return 0;
}
