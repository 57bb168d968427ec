#pragma once
// Loading of XML documents that come from outside (the network, files): the raw text is
// checked before pugixml builds a tree, because pugixml has no limit on size or depth and
// tearing down a very deep tree recurses.

#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace CNXml {

// Checks the raw text: at most maxBytes bytes (the caller's cap, see
// CNMessageBase::unserialize), no NUL character, no
// <! declaration other than comments and CDATA sections (so no DOCTYPE and no ENTITY), and
// elements nested at most CNMessageBase::kMaxDepth deep. Returns 0 or a CNMessageBase::Result.
int CheckText(std::string_view text, size_t maxBytes);

// Checks the text, parses it (no DOCTYPE, no entity expansion beyond the predefined and
// numeric references) and sets `root` to its single root element. Returns 0 or a Result.
int Load(const std::string& text, size_t maxBytes, pugi::xml_document& doc, pugi::xml_node& root);

// Writes the document without indentation into `out`.
void Save(const pugi::xml_document& doc, bool withDeclaration, std::string& out);

}  // namespace CNXml
