// The character encoding of a chapter index document: found from its byte
// order mark or its XML declaration, decoded to UTF-8 for the DOM and
// encoded back the way the document declares itself.
#pragma once

#include <string>
#include <string_view>

namespace zmr {

struct DocumentEncoding {
    // iconv name of the encoding the bytes are in; empty for UTF-8.
    std::string charset;
    // iconv name the bytes are read with: a superset of `charset` where the
    // lessons' authoring tools wrote one under the other's name (GB2312 for
    // code page 936).
    std::string read_as;
    // The byte order mark the document began with, kept when it is written back.
    std::string bom;
};

// UTF-16 and UTF-32 by their byte order mark or by the first characters
// "<?"; otherwise the encoding the XML declaration names when iconv knows it
// and it writes ASCII as ASCII; otherwise UTF-8.
DocumentEncoding DetectDocumentEncoding(std::string_view bytes);

// The document as UTF-8, without its byte order mark. Byte sequences the
// encoding does not allow become U+FFFD.
std::string DocumentToUtf8(std::string_view bytes, const DocumentEncoding& encoding);

// UTF-8 text in the document's encoding, its byte order mark first.
// Characters the encoding cannot hold become numeric character references
// (&#N;). False only when the conversion is not available.
bool Utf8ToDocument(std::string_view utf8, const DocumentEncoding& encoding, std::string* out);

// Whether an encoding name means UTF-8, in any letter case.
bool NamesUtf8(std::string_view name);

}  // namespace zmr
