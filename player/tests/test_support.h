// Helpers shared by the player tests: one QApplication, small lessons.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class QApplication;

namespace kovel::player::test {

QApplication& App();

struct Record {
    std::string tag;  // four letters
    std::string text;
    int32_t length = -999;  // -999: the text's own length
};

// Builds the 1024-byte record area, zero-filled after the records.
std::vector<uint8_t> RecordArea(const std::vector<Record>& records);

struct LessonSpec {
    std::vector<Record> records;
    uint64_t filePropertiesSize = 1072;
    bool otherObjectFirst = false;  // a stream properties object before the file properties
    bool badHeaderGuid = false;
};

// The bytes of a lesson with a header object and a file properties object.
std::vector<uint8_t> LessonBytes(const LessonSpec& spec);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

// A real lesson (one second of encoded sound, made once by `zmr create`)
// whose descriptive records are replaced by `records`: the player opens and
// plays it through the reader plug-in, the decoder and the sound renderer.
std::vector<uint8_t> PlayableLessonBytes(const std::vector<Record>& records);

// GBK bytes of a few texts used by the tests.
extern const char kGbkLessonTitle[];  // 课件 (GBK)
extern const char kGbkMakerName[];    // 张三 (GBK)

}  // namespace kovel::player::test
