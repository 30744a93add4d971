// Small helpers shared by the zmr sub-commands: JSON text, number parsing,
// GBK texts that may not be valid, and the chapter list of a document.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zmrtool {

// `s` as a JSON string literal, quotes included. `s` is UTF-8.
std::string JsonString(const std::string& s);

// GBK bytes to UTF-8; bytes that are not GBK become U+FFFD instead of failing.
std::string GbkToUtf8Lenient(const std::string& gbk);

// Whole-string parses; false on trailing garbage, overflow or an empty text.
bool ParseInt(const std::string& s, int64_t* out);
bool ParseDouble(const std::string& s, double* out);
// "640x480" with both sides in 1..limit.
bool ParseSize(const std::string& s, int limit, int* w, int* h);

struct ChapterEntry {
    int id = 0;
    int time = 0;
    std::string title;  // UTF-8
};
// The Chapter elements under Index, in document order, read in the encoding
// the document declares. Attributes read as the C library's atoi reads them.
// False (with `error`) when the document is not well formed; a document
// without Index has no chapters.
bool ParseChapterList(const std::string& document, std::vector<ChapterEntry>* out, std::string* error);

}  // namespace zmrtool
