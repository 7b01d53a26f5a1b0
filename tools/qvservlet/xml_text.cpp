#include "tools/qvservlet/xml_text.h"

#include <cstdio>
#include <sstream>

namespace qv::servlet {
namespace {

// Reads one UTF-8 character at `pos`; false for a byte that starts none
// (overlong forms and values above U+10FFFF included). Surrogates are read as
// characters, so that the caller can refuse them by their value.
bool ReadUtf8(std::string_view text, size_t& pos, char32_t& cp) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(pos);
  size_t length;
  char32_t min;
  if (lead < 0x80) {
    cp = lead;
    ++pos;
    return true;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, min = 0x80, cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, min = 0x800, cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, cp = lead & 0x07;
  } else {
    return false;
  }
  if (pos + length > text.size()) return false;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(pos + i) & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (byte(pos + i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF) return false;
  pos += length;
  return true;
}

bool XmlCarries(char32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) ||
         (cp >= 0x10000 && cp <= 0x10FFFF);
}

constexpr const char* kReplacement = "\xEF\xBF\xBD";

// Makes every text and attribute value under `node` safe, in place.
void MakeSafe(pugi::xml_node root) {
  struct Walker : pugi::xml_tree_walker {
    void Fix(pugi::xml_node node) {
      if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
        if (!FirstCharacterXmlCannotCarry(node.value()).empty()) node.set_value(XmlSafeText(node.value()).c_str());
      }
      if (node.type() == pugi::node_element) {
        for (pugi::xml_attribute a : node.attributes()) {
          if (!FirstCharacterXmlCannotCarry(a.value()).empty()) a.set_value(XmlSafeText(a.value()).c_str());
        }
      }
    }
    bool for_each(pugi::xml_node& node) override {
      Fix(node);
      return true;
    }
  } walker;
  walker.Fix(root);
  root.traverse(walker);
}

}  // namespace

std::string FirstCharacterXmlCannotCarry(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    char32_t cp = 0;
    char description[64];
    if (!ReadUtf8(text, pos, cp)) {
      std::snprintf(description, sizeof description, "the byte 0x%02X, which is not UTF-8",
                    static_cast<unsigned char>(text[start]));
      return description;
    }
    if (!XmlCarries(cp)) {
      std::snprintf(description, sizeof description, "U+%04X", static_cast<unsigned>(cp));
      return description;
    }
  }
  return "";
}

std::string XmlSafeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = pos;
    char32_t cp = 0;
    if (!ReadUtf8(text, pos, cp)) {
      out += kReplacement;
      pos = start + 1;
    } else if (!XmlCarries(cp)) {
      out += kReplacement;
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

std::string WriteXml(pugi::xml_node node) {
  MakeSafe(node);
  std::ostringstream stream;
  if (node.type() == pugi::node_document) {
    // As a document saves itself without indentation.
    stream << "<?xml version=\"1.0\"?>";
    for (pugi::xml_node child : node.children()) child.print(stream, "", pugi::format_raw);
  } else {
    node.print(stream, "", pugi::format_raw);
  }
  return stream.str();
}

std::string XmlCharacterFault(std::string_view document) {
  std::string raw = FirstCharacterXmlCannotCarry(document);
  if (!raw.empty()) return "raw " + raw;
  size_t pos = 0;
  while ((pos = document.find("&#", pos)) != std::string_view::npos) {
    pos += 2;
    bool hex = pos < document.size() && document[pos] == 'x';
    if (hex) ++pos;
    unsigned long value = 0;
    size_t digits = 0;
    while (pos < document.size() && document[pos] != ';' && digits < 8) {
      char c = document[pos];
      int d = c >= '0' && c <= '9' ? c - '0'
              : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
              : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                            : -1;
      if (d < 0) return "a malformed character reference";
      value = value * (hex ? 16 : 10) + static_cast<unsigned long>(d);
      ++pos, ++digits;
    }
    if (digits == 0 || pos >= document.size() || document[pos] != ';') return "a malformed character reference";
    if (!XmlCarries(static_cast<char32_t>(value))) return "a reference to U+" + std::to_string(value);
  }
  return "";
}

}  // namespace qv::servlet
