// The journal of a chapter write-back: a file beside the lesson holding the
// new document and what it belongs to, so that a write-back cut short at any
// moment is either completed from it or known never to have begun.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "courseware_parse.h"

namespace zmr {

// "<lesson>.chapter-journal", in the lesson's folder.
std::string ChapterJournalPath(const std::string& lesson);

// What ties a journal to one lesson: the chapter index offset and checksums
// of the lesson's first bytes and of the last media bytes before the offset,
// none of which a write-back ever changes. Content rather than the inode, so
// that a lesson on a stick mounted again is still recognised.
struct LessonIdentity {
    uint64_t offset = 0;
    uint32_t head_crc = 0;
    uint32_t tail_crc = 0;
    bool operator==(const LessonIdentity&) const = default;
};
// False when the bytes before `offset` cannot be read.
bool ReadLessonIdentity(const FileReader& file, uint64_t offset, LessonIdentity* out);

struct ChapterJournal {
    LessonIdentity lesson;
    uint64_t old_size = 0;  // the lesson's size before the write-back
    std::string document;   // the new document, to go at lesson.offset

    uint64_t NewSize() const { return lesson.offset + document.size(); }
    // A write-back cut short leaves the lesson somewhere between its old
    // and its new size; any other size means someone else changed it since.
    bool SizeFits(uint64_t size) const;
};

std::string EncodeChapterJournal(const ChapterJournal& journal);
// Nothing for a torn journal: cut short, overlong, not a journal at all, or
// a checksum that does not match its bytes.
std::optional<ChapterJournal> DecodeChapterJournal(std::string_view bytes);

// Bytes a journal of a document of `document_size` bytes takes.
uint64_t ChapterJournalSize(uint64_t document_size);

}  // namespace zmr
