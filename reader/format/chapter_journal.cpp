#include "chapter_journal.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "courseware_format.h"
#include "crc32.h"

namespace zmr {

namespace {

// Layout, little-endian: magic, offset, old size, head and tail checksums,
// document length, the document, then a CRC-32 of everything before it.
constexpr char kMagic[8] = {'Z', 'M', 'R', 'C', 'H', 'J', '1', '\n'};
constexpr size_t kOffsetAt = 8;
constexpr size_t kOldSizeAt = 16;
constexpr size_t kHeadCrcAt = 24;
constexpr size_t kTailCrcAt = 28;
constexpr size_t kLengthAt = 32;
constexpr size_t kDocumentAt = 40;
constexpr size_t kCrcSize = 4;

// How much of the lesson each identity checksum covers.
constexpr uint64_t kHeadSpan = 64 * 1024;
constexpr uint64_t kTailSpan = 4096;

uint32_t CrcOf(std::string_view bytes) {
    return Crc32(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

bool CrcAt(const FileReader& file, uint64_t from, uint64_t length, uint32_t* crc) {
    std::vector<char> buf(length);
    if (!file.ReadExact(from, buf.data(), buf.size()))
        return false;
    *crc = CrcOf(std::string_view(buf.data(), buf.size()));
    return true;
}

}  // namespace

std::string ChapterJournalPath(const std::string& lesson) {
    return lesson + ".chapter-journal";
}

bool ReadLessonIdentity(const FileReader& file, uint64_t offset, LessonIdentity* out) {
    out->offset = offset;
    const uint64_t tail = std::min(offset, kTailSpan);
    return CrcAt(file, 0, std::min(offset, kHeadSpan), &out->head_crc) &&
           CrcAt(file, offset - tail, tail, &out->tail_crc);
}

bool ChapterJournal::SizeFits(uint64_t size) const {
    return size >= std::min(old_size, NewSize()) && size <= std::max(old_size, NewSize());
}

uint64_t ChapterJournalSize(uint64_t document_size) {
    return kDocumentAt + document_size + kCrcSize;
}

std::string EncodeChapterJournal(const ChapterJournal& journal) {
    std::string bytes(ChapterJournalSize(journal.document.size()), '\0');
    auto* p = reinterpret_cast<uint8_t*>(bytes.data());
    std::memcpy(p, kMagic, sizeof kMagic);
    WriteU64(p + kOffsetAt, journal.lesson.offset);
    WriteU64(p + kOldSizeAt, journal.old_size);
    WriteU32(p + kHeadCrcAt, journal.lesson.head_crc);
    WriteU32(p + kTailCrcAt, journal.lesson.tail_crc);
    WriteU64(p + kLengthAt, journal.document.size());
    std::memcpy(p + kDocumentAt, journal.document.data(), journal.document.size());
    const size_t end = kDocumentAt + journal.document.size();
    WriteU32(p + end, CrcOf(std::string_view(bytes.data(), end)));
    return bytes;
}

std::optional<ChapterJournal> DecodeChapterJournal(std::string_view bytes) {
    if (bytes.size() < ChapterJournalSize(0) || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return std::nullopt;
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const uint64_t length = ReadU64(p + kLengthAt);
    if (length != bytes.size() - ChapterJournalSize(0))
        return std::nullopt;
    const size_t end = kDocumentAt + size_t(length);
    if (ReadU32(p + end) != CrcOf(bytes.substr(0, end)))
        return std::nullopt;
    ChapterJournal journal;
    journal.lesson.offset = ReadU64(p + kOffsetAt);
    journal.old_size = ReadU64(p + kOldSizeAt);
    journal.lesson.head_crc = ReadU32(p + kHeadCrcAt);
    journal.lesson.tail_crc = ReadU32(p + kTailCrcAt);
    journal.document.assign(bytes.substr(kDocumentAt, size_t(length)));
    return journal;
}

}  // namespace zmr
