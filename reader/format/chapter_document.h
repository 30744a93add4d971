// The chapter index document at the end of a courseware file: a byte-exact
// copy out, and a journalled write-back that can never damage the media
// before it and, whenever it is cut short, leaves the old document or the
// new one.
#pragma once

#include <cstdint>
#include <string>

namespace zmr {

// No real chapter list comes near this; a hostile file must not make anyone
// read gigabytes.
constexpr uint64_t kMaxChapterDocument = 16u << 20;

struct ChapterDocument {
    bool ok = false;
    std::string error;  // why not, for the user
    uint64_t offset = 0;
    std::string bytes;  // exactly as stored
};

// Reads the document; refuses when the chapter index offset is unknown (the
// first header child is not the file properties object) or impossible.
// A write-back that was cut short is completed first when the lesson can be
// written; when it cannot, the new document is read from the write-back's
// journal.
ChapterDocument ReadChapterDocument(const std::string& path);

struct WriteBackResult {
    bool ok = false;
    std::string error;
};

// Replaces the document with `document`. Refused, leaving the file untouched,
// when the file is missing, the offset is unknown or lies before the end of
// the index object (or past the end of the file), `document` is not a
// well-formed XML document, or, given `expected`, the stored document is no
// longer `expected` (someone else wrote chapters since it was read).
// Writers wait for each other; readers never see half a document.
WriteBackResult WriteChapterDocument(const std::string& path, const std::string& document,
                                     const std::string* expected = nullptr);

// Why a write-back into `path` could not be done now (the lesson or its
// folder cannot be written, the offset is unknown); empty when it could.
// Changes nothing.
std::string ChapterWriteBackProblem(const std::string& path);

// Forgets any unfinished write-back into `path`: for a lesson that has just
// been made anew.
void DiscardChapterJournal(const std::string& path);

}  // namespace zmr
