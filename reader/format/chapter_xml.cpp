#include "chapter_xml.h"

namespace zmr {

namespace {

class StringWriter : public pugi::xml_writer {
  public:
    explicit StringWriter(std::string* out) : out_(out) {}
    void write(const void* data, size_t size) override { out_->append(static_cast<const char*>(data), size); }

  private:
    std::string* out_;
};

}  // namespace

ChapterXml ParseChapterXml(pugi::xml_document& doc, std::string_view bytes, unsigned options) {
    ChapterXml parsed;
    parsed.encoding = DetectDocumentEncoding(bytes);
    const std::string utf8 = DocumentToUtf8(bytes, parsed.encoding);
    parsed.result = doc.load_buffer(utf8.data(), utf8.size(), options, pugi::encoding_utf8);
    return parsed;
}

bool SerializeChapterXml(pugi::xml_document& doc, const DocumentEncoding& encoding, std::string* out) {
    if (encoding.charset.empty()) {
        for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling()) {
            pugi::xml_attribute declared =
                n.type() == pugi::node_declaration ? n.attribute("encoding") : pugi::xml_attribute();
            if (declared && !NamesUtf8(declared.value()))
                declared.set_value("UTF-8");
        }
    }
    std::string utf8;
    StringWriter writer(&utf8);
    doc.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
    return Utf8ToDocument(utf8, encoding, out);
}

}  // namespace zmr
