// DOM work shared by the chapter operations: loading and saving the working
// copy, finding the Chapter elements, reading and replacing element text.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <vector>

#include "chapter_xml.h"

namespace kovel::player {

// What loading the working copy found: whether it parsed, and the encoding
// it declares, which it is saved back in.
using ChapterDomLoad = zmr::ChapterXml;

// The whole file; false when it cannot be opened or read.
bool ReadWhole(const std::string& path, std::string* bytes);

// Loads `path` in the encoding it declares, keeping declarations, comments
// and a whitespace-only title.
ChapterDomLoad LoadChapterDom(pugi::xml_document& doc, const std::string& path);

// True when the load failed for want of resources rather than because the
// document is missing, empty or not well formed.
bool LoadCallFailed(const ChapterDomLoad& loaded);

// Every element named Chapter anywhere below `root`, in document order.
// Walks without recursion, so a deeply nested document cannot exhaust the
// stack.
std::vector<pugi::xml_node> ChapterElements(const pugi::xml_node& root);

// All text below the element, concatenated.
std::string ElementText(const pugi::xml_node& element);
// Replaces the element's children with one text node (none for "").
void SetElementText(pugi::xml_node element, const std::string& text);
// Sets an attribute, adding it at the end when missing.
bool SetAttribute(pugi::xml_node element, const char* name, const std::string& value);

// True when the element's "id" attribute is present and reads exactly `id`.
bool IdMatches(const pugi::xml_node& element, const std::string& id);

// The elements among `chapters` whose "id" reads exactly `id` and that lie
// inside no other such element: changing or removing one of those would take
// the inner ones with it.
std::vector<pugi::xml_node> OutermostMatches(const std::vector<pugi::xml_node>& chapters,
                                             const std::string& id, size_t* allMatches = nullptr);

// Writes the document in the encoding it was loaded in (UTF-8 for one made
// anew), tab-indented like the lessons' own documents.
bool SaveChapterDom(pugi::xml_document& doc, const ChapterDomLoad& loaded, const std::string& path);

}  // namespace kovel::player
