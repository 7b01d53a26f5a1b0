#include "addin/codec/item_xml.h"

namespace qvsync {

std::string ElementText(const pugi::xml_node& element) {
  std::string text;
  for (pugi::xml_node node = element.first_child(); node;) {
    if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) text += node.value();
    // Depth first, without recursion: into children, else on to the next
    // sibling of this node or of the nearest ancestor that has one.
    if (node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node && node != element && !node.next_sibling()) node = node.parent();
    if (!node || node == element) break;
    node = node.next_sibling();
  }
  return text;
}

std::optional<std::string> ChildText(const pugi::xml_node& root, const char* name) {
  const pugi::xml_node child = root.child(name);
  if (!child) return std::nullopt;
  return ElementText(child);
}

}  // namespace qvsync
