// Reading the server's item XML (internal to the item codec).
#ifndef QVSYNC_CODEC_ITEM_XML_H
#define QVSYNC_CODEC_ITEM_XML_H

#include <optional>
#include <pugixml.hpp>
#include <string>

namespace qvsync {

// The whole text of an element, as MSXML's text property gives it: every
// text and CDATA section inside it, in document order, joined; comments and
// processing instructions between them split nothing.
std::string ElementText(const pugi::xml_node& element);

// The whole text of the root's child element `name`; nothing when there is
// no such child.
std::optional<std::string> ChildText(const pugi::xml_node& root, const char* name);

}  // namespace qvsync

#endif
