#include "chapter_dom.h"

#include <cstring>
#include <unordered_set>

namespace kovel::player {

namespace {

constexpr unsigned kParseFlags = pugi::parse_default | pugi::parse_declaration | pugi::parse_comments |
                                 pugi::parse_pi | pugi::parse_doctype | pugi::parse_ws_pcdata_single;

}  // namespace

pugi::xml_parse_result LoadChapterDom(pugi::xml_document& doc, const std::string& path) {
    return doc.load_file(path.c_str(), kParseFlags);
}

bool LoadCallFailed(const pugi::xml_parse_result& result) {
    return result.status == pugi::status_out_of_memory || result.status == pugi::status_internal_error;
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

bool SaveChapterDom(pugi::xml_document& doc, const pugi::xml_parse_result& loaded, const std::string& path) {
    // The DOM holds UTF-8 whatever the document was read as; a declaration
    // that names another encoding would no longer be true.
    if (loaded && loaded.encoding != pugi::encoding_utf8) {
        for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling())
            if (n.type() == pugi::node_declaration && n.attribute("encoding"))
                n.attribute("encoding").set_value("UTF-8");
    }
    return doc.save_file(path.c_str(), "\t", pugi::format_default, pugi::encoding_utf8);
}

}  // namespace kovel::player
