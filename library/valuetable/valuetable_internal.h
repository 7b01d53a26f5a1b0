// Internals of the value tables, for their tests: the XML parser selection,
// the name and text checks, and a fault hook.
#ifndef QVAISO_VALUETABLE_INTERNAL_H
#define QVAISO_VALUETABLE_INTERNAL_H

#include <string_view>

namespace qvaiso::valuetable {

// The parser class named by the "XML Version" setting of
// "SOFTWARE\Quorvia\Quorvia\Providers\Store". Every choice is served by the
// same parser here; the setting is still read once per process so that the
// choice stays visible.
enum class XmlParserVersion { V30, V40, V60 };
XmlParserVersion SelectedXmlParser();

// True for a name that can be written as an element name: an XML name without
// a namespace prefix (letters, digits, "_", "-", ".", and any non-ASCII byte;
// not starting with a digit, "-" or ".").
bool IsElementName(std::string_view name);

// True for text that a UTF-8 XML file can hold as character data: valid UTF-8
// of characters that XML 1.0 allows (no NUL-like control characters).
bool IsXmlText(std::string_view text);

// Makes the next creation of a document fail as if the parser could not be
// instantiated (tests of the creation-failure report).
void FailNextDocumentCreationForTesting();

}  // namespace qvaiso::valuetable

#endif
