#include "courseware_info.h"

#include <cstring>

#include "courseware_format.h"

namespace kovel::player {

CCoursewareInfoReader::CCoursewareInfoReader(std::string path) : m_strPath(std::move(path)) {}

CCoursewareInfoReader::~CCoursewareInfoReader() {
    if (m_pFile)
        std::fclose(m_pFile);
}

bool CCoursewareInfoReader::ReadAt(uint64_t offset, void* buffer, size_t size) {
    if (offset > uint64_t(INT64_MAX))
        return false;
    if (fseeko(m_pFile, off_t(offset), SEEK_SET) != 0)
        return false;
    return std::fread(buffer, 1, size, m_pFile) == size;
}

bool CCoursewareInfoReader::Load() {
    m_bRecordsReadable = false;
    if (m_strPath.empty())
        return false;
    m_pFile = std::fopen(m_strPath.c_str(), "rb");
    if (!m_pFile)
        return false;

    if (!ReadAt(0, m_headerHead, sizeof(m_headerHead)))
        return false;
    if (!(zmr::ReadGuid(m_headerHead) == zmr::kHeaderObject))
        return false;
    const uint64_t headerSize = zmr::ReadU64(m_headerHead + 16);

    uint64_t offset = zmr::kObjectHeadSize;
    uint8_t head[zmr::kObjectHeadSize];
    bool found = false;
    while (offset < headerSize) {
        if (!ReadAt(offset, head, sizeof(head)))
            return false;
        const uint64_t size = zmr::ReadU64(head + 16);
        if (zmr::ReadGuid(head) == zmr::kFilePropertiesObject) {
            found = true;
            break;
        }
        // A size below the head would walk in place or backwards forever.
        if (size < zmr::kObjectHeadSize || size > UINT64_MAX - offset)
            return false;
        offset += size;
    }
    if (!found)
        return false;

    m_nFilePropertiesOffset = offset;
    // Only an object of exactly this size carries records; checking first
    // also keeps a hostile size from deciding how much is allocated.
    if (zmr::ReadU64(head + 16) != zmr::kFilePropertiesSize)
        return false;
    m_fileProperties.resize(zmr::kFilePropertiesSize);
    if (!ReadAt(offset, m_fileProperties.data(), m_fileProperties.size()))
        return false;
    m_bRecordsReadable = true;
    return true;
}

void CCoursewareInfoReader::ReadRecords(CoursewareInfo& info) const {
    if (!m_bRecordsReadable)
        return;
    WalkDescriptiveRecords(m_fileProperties.data() + zmr::kFpRecords, zmr::kRecordAreaSize, info);
}

void WalkDescriptiveRecords(const uint8_t* area, size_t areaSize, CoursewareInfo& info) {
    size_t pos = 0;
    while (pos < areaSize && area[pos] != 0) {
        if (areaSize - pos < zmr::kRecordHeadSize)
            break;
        const int32_t n = zmr::ReadI32(area + pos + 4);
        if (n < 0 || size_t(n) > areaSize - pos - zmr::kRecordHeadSize)
            break;
        if (n > 0) {
            const char* text = reinterpret_cast<const char*>(area + pos + zmr::kRecordHeadSize);
            // A zero byte inside the text ends it early.
            const void* zero = std::memchr(text, 0, size_t(n));
            const size_t len = zero ? size_t(static_cast<const char*>(zero) - text) : size_t(n);
            std::string value(text, len);
            const uint8_t* tag = area + pos;
            if (std::memcmp(tag, zmr::kTagTitle, 4) == 0) {
                info.title = std::move(value);
            } else if (std::memcmp(tag, zmr::kTagMakerName, 4) == 0) {
                info.makerName = std::move(value);
            } else if (std::memcmp(tag, zmr::kTagMakerAccount, 4) == 0) {
                info.makerAccount = std::move(value);
            } else if (std::memcmp(tag, zmr::kTagMakingDate, 4) == 0) {
                info.makingDate = std::move(value);
            }
        }
        pos += zmr::kRecordHeadSize + size_t(n);
    }
}

void ReadCoursewareInfo(const std::string& path, CoursewareInfo& info) {
    info.Clear();
    CCoursewareInfoReader reader(path);
    if (reader.Load())
        reader.ReadRecords(info);
}

}  // namespace kovel::player
