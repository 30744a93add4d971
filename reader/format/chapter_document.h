// The chapter index document at the end of a courseware file: a byte-exact
// copy out, and a write-back that can never damage the media before it.
#pragma once

#include <cstdint>
#include <string>

namespace zmr {

struct ChapterDocument {
    bool ok = false;
    std::string error;  // why not, for the user
    uint64_t offset = 0;
    std::string bytes;  // exactly as stored
};

// Reads the document; refuses when the chapter index offset is unknown (the
// first header child is not the file properties object) or impossible.
ChapterDocument ReadChapterDocument(const std::string& path);

struct WriteBackResult {
    bool ok = false;
    std::string error;
};

// Replaces the document with `document`. Refused, leaving the file untouched,
// when the file is missing, the offset is unknown or lies before the end of
// the index object (or past the end of the file), or `document` is not a
// well-formed XML document. The new document is written in one piece at the
// offset and flushed before the file is cut to its new length, so a crash
// leaves the media part as it was.
WriteBackResult WriteChapterDocument(const std::string& path, const std::string& document);

}  // namespace zmr
