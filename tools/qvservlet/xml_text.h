// Text that the servlet emulator puts into its XML replies. XML 1.0 cannot
// carry every character: NUL and the other C0 controls except TAB, LF and CR,
// the UTF-16 surrogate halves, U+FFFE and U+FFFF are not allowed, not even as
// character references. The emulator refuses such values when they arrive
// (they are never stored), and as a last guard every reply is written through
// WriteXml, which shows any that still reach it (an echoed command name, an
// item stored by an older emulator) as U+FFFD, so a reply is always
// well-formed and nothing in it is cut.
#ifndef QV_TOOLS_QVSERVLET_XML_TEXT_H
#define QV_TOOLS_QVSERVLET_XML_TEXT_H

#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace qv::servlet {

// The first thing in `text` (UTF-8) that XML 1.0 cannot carry, described for
// an error message ("U+0001", "U+FFFE", "the byte 0xFF, which is not UTF-8"),
// or "" when there is none.
std::string FirstCharacterXmlCannotCarry(std::string_view text);

// `text` with every such character (and every byte that is not UTF-8)
// replaced by U+FFFD.
std::string XmlSafeText(std::string_view text);

// The node (a document or an element) as XML text without indentation, its
// texts and attribute values made safe first.
std::string WriteXml(pugi::xml_node node);

// Checks a written XML document for what a parser need not notice: every
// character (raw, or named by a character reference) is one XML 1.0 allows,
// and the text is UTF-8. "" when it is, else what is wrong.
std::string XmlCharacterFault(std::string_view document);

}  // namespace qv::servlet

#endif
