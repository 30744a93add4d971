#include "chapter_dom.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <unordered_set>

namespace kovel::player {

namespace {

constexpr unsigned kParseFlags = pugi::parse_default | pugi::parse_declaration | pugi::parse_comments |
                                 pugi::parse_pi | pugi::parse_doctype | pugi::parse_ws_pcdata_single;

}  // namespace

bool ReadWhole(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    bytes->assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

ChapterDomLoad LoadChapterDom(pugi::xml_document& doc, const std::string& path) {
    std::string bytes;
    if (!ReadWhole(path, &bytes)) {
        ChapterDomLoad missing;
        doc.reset();
        missing.result.status = pugi::status_file_not_found;
        return missing;
    }
    return zmr::ParseChapterXml(doc, bytes, kParseFlags);
}

bool LoadCallFailed(const ChapterDomLoad& loaded) {
    return loaded.result.status == pugi::status_out_of_memory ||
           loaded.result.status == pugi::status_internal_error;
}

std::vector<pugi::xml_node> ChapterElements(const pugi::xml_node& root) {
    std::vector<pugi::xml_node> found;
    pugi::xml_node node = root.first_child();
    while (node) {
        if (node.type() == pugi::node_element && std::strcmp(node.name(), "Chapter") == 0)
            found.push_back(node);
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != root && !node.next_sibling()) node = node.parent();
        if (!node || node == root)
            break;
        node = node.next_sibling();
    }
    return found;
}

std::string ElementText(const pugi::xml_node& element) {
    std::string text;
    pugi::xml_node node = element.first_child();
    while (node) {
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            text += node.value();
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && node != element && !node.next_sibling()) node = node.parent();
        if (!node || node == element)
            break;
        node = node.next_sibling();
    }
    return text;
}

void SetElementText(pugi::xml_node element, const std::string& text) {
    while (pugi::xml_node child = element.first_child()) element.remove_child(child);
    if (!text.empty())
        element.append_child(pugi::node_pcdata).set_value(text.c_str());
}

bool SetAttribute(pugi::xml_node element, const char* name, const std::string& value) {
    pugi::xml_attribute attr = element.attribute(name);
    if (!attr)
        attr = element.append_attribute(name);
    return attr && attr.set_value(value.c_str());
}

bool IdMatches(const pugi::xml_node& element, const std::string& id) {
    const pugi::xml_attribute attr = element.attribute("id");
    return attr && id == attr.value();
}

std::vector<pugi::xml_node> OutermostMatches(const std::vector<pugi::xml_node>& chapters,
                                             const std::string& id, size_t* allMatches) {
    std::unordered_set<pugi::xml_node_struct*> matched;
    for (const pugi::xml_node& chapter : chapters)
        if (IdMatches(chapter, id))
            matched.insert(chapter.internal_object());
    if (allMatches)
        *allMatches = matched.size();
    std::vector<pugi::xml_node> outer;
    for (const pugi::xml_node& chapter : chapters) {
        if (!matched.count(chapter.internal_object()))
            continue;
        bool inside = false;
        for (pugi::xml_node p = chapter.parent(); p && !inside; p = p.parent())
            inside = matched.count(p.internal_object()) != 0;
        if (!inside)
            outer.push_back(chapter);
    }
    return outer;
}

bool SaveChapterDom(pugi::xml_document& doc, const ChapterDomLoad& loaded, const std::string& path) {
    // A document that did not load was made anew: UTF-8, as XML without a
    // declaration is.
    std::string bytes;
    if (!zmr::SerializeChapterXml(doc, loaded ? loaded.encoding : zmr::DocumentEncoding{}, &bytes))
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    out.close();
    return bool(out);
}

}  // namespace kovel::player
