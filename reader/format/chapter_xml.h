// Chapter index documents through the XML DOM, in whatever encoding they
// declare: parsed from their stored bytes and written back in the same
// encoding.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

#include "chapter_encoding.h"

namespace zmr {

struct ChapterXml {
    pugi::xml_parse_result result;
    DocumentEncoding encoding;
    explicit operator bool() const { return bool(result); }
};

// Parses the stored bytes of a document into `doc` (as UTF-8).
ChapterXml ParseChapterXml(pugi::xml_document& doc, std::string_view bytes,
                           unsigned options = pugi::parse_default);

// The document's bytes in `encoding`, tab-indented like the lessons' own
// documents. A declaration naming an encoding the document is not written
// in is corrected to UTF-8. False when the text cannot be encoded.
bool SerializeChapterXml(pugi::xml_document& doc, const DocumentEncoding& encoding, std::string* out);

}  // namespace zmr
