// The lesson's descriptive texts (title, maker, maker's web account, date of
// making), read straight from the courseware file's file properties object.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kovel::player {

// Raw 8-bit texts (GBK) as stored; empty when absent.
struct CoursewareInfo {
    std::string title;         // "TITL"
    std::string makerName;     // "MKNM"
    std::string makerAccount;  // "MKER"
    std::string makingDate;    // "MKDT"

    void Clear() { *this = CoursewareInfo(); }
};

// One reading of one file. The file is opened for reading only, so read-only
// lessons show their texts too.
class CCoursewareInfoReader {
  public:
    explicit CCoursewareInfoReader(std::string path);
    ~CCoursewareInfoReader();
    CCoursewareInfoReader(const CCoursewareInfoReader&) = delete;
    CCoursewareInfoReader& operator=(const CCoursewareInfoReader&) = delete;

    // Opens the file, checks the header object and finds and loads the file
    // properties object. False when there is nothing to read.
    bool Load();
    // Walks the descriptive records of the loaded object into info.
    void ReadRecords(CoursewareInfo& info) const;

    // File offset of the file properties object found by Load.
    uint64_t FilePropertiesOffset() const { return m_nFilePropertiesOffset; }

  private:
    bool ReadAt(uint64_t offset, void* buffer, size_t size);

    std::string m_strPath;
    std::FILE* m_pFile = nullptr;
    uint8_t m_headerHead[24] = {};
    std::vector<uint8_t> m_fileProperties;
    uint64_t m_nFilePropertiesOffset = 0;
    bool m_bRecordsReadable = false;
};

// Empties info and fills it from the file; any failure leaves the fields not
// found empty and reports nothing.
void ReadCoursewareInfo(const std::string& path, CoursewareInfo& info);

// Walks a 1024-byte descriptive record area. Exposed for tests.
void WalkDescriptiveRecords(const uint8_t* area, size_t areaSize, CoursewareInfo& info);

}  // namespace kovel::player
