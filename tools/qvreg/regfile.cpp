#include "tools/qvreg/regfile.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>

namespace qv::regfile {
namespace {

using registry::Change;
using registry::Hive;
using registry::Value;
using registry::ValueType;

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

// ---------------------------------------------------------------------------
// Text encodings, through iconv.

// One iconv conversion descriptor, closed on destruction.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts as much of `in` as possible, appending to *out. Returns the number
  // of input bytes converted: in.size() on success, else the offset of the
  // first byte that is invalid or starts an incomplete sequence.
  size_t Convert(std::string_view in, std::string* out) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char buffer[4096];
    while (src_left > 0) {
      char* dst = buffer;
      size_t dst_left = sizeof buffer;
      size_t result = iconv(cd_, &src, &src_left, &dst, &dst_left);
      out->append(buffer, dst - buffer);
      if (result == static_cast<size_t>(-1) && errno != E2BIG) break;
    }
    return in.size() - src_left;
  }

 private:
  iconv_t cd_;
};

// Windows-1252 leaves five bytes undefined; Windows maps them to the C1
// controls of the same number, and so do we.
void AppendCp1252Byte(unsigned char byte, Converter& cp1252, std::string* utf8) {
  char c = static_cast<char>(byte);
  if (cp1252.Convert(std::string_view(&c, 1), utf8) == 1) return;
  utf8->push_back(static_cast<char>(0xC0 | (byte >> 6)));
  utf8->push_back(static_cast<char>(0x80 | (byte & 0x3F)));
}

// Whether `text` is valid UTF-8; *bad is the offset of the first fault.
bool ValidUtf8(std::string_view text, size_t* bad) {
  Converter check("UTF-16LE", "UTF-8");
  std::string ignored;
  size_t done = check.ok() ? check.Convert(text, &ignored) : 0;
  if (bad) *bad = done;
  return check.ok() && done == text.size();
}

// 8-bit text to UTF-8: unchanged when it is valid UTF-8, else from Windows-1252.
std::string EightBitToUtf8(std::string_view text) {
  if (ValidUtf8(text, nullptr)) return std::string(text);
  Converter cp1252("UTF-8", "WINDOWS-1252");
  std::string out;
  if (!cp1252.ok()) return out;
  size_t pos = 0;
  while (pos < text.size()) {
    pos += cp1252.Convert(text.substr(pos), &out);
    if (pos < text.size()) AppendCp1252Byte(static_cast<unsigned char>(text[pos++]), cp1252, &out);
  }
  return out;
}

// UTF-8 to UTF-16LE; bytes that are not valid UTF-8 are taken as Windows-1252.
std::string Utf8ToUtf16(std::string_view text) {
  Converter utf16("UTF-16LE", "UTF-8");
  Converter cp1252("UTF-8", "WINDOWS-1252");
  std::string out;
  if (!utf16.ok() || !cp1252.ok()) return out;
  size_t pos = 0;
  while (pos < text.size()) {
    pos += utf16.Convert(text.substr(pos), &out);
    if (pos < text.size()) {
      std::string one;
      AppendCp1252Byte(static_cast<unsigned char>(text[pos++]), cp1252, &one);
      utf16.Convert(one, &out);
    }
  }
  return out;
}

// UTF-16 (LE or BE) to UTF-8; false on unpaired surrogates or an odd length,
// with *bad the offset of the fault.
bool Utf16ToUtf8(std::string_view bytes, const char* encoding, std::string* out, size_t* bad) {
  Converter utf8("UTF-8", encoding);
  if (!utf8.ok()) {
    *bad = 0;
    return false;
  }
  *bad = utf8.Convert(bytes, out);
  return *bad == bytes.size();
}

// ---------------------------------------------------------------------------
// Key names.

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool ParseHive(std::string_view name, Hive* hive) {
  if (EqualsNoCase(name, "HKEY_CURRENT_USER") || EqualsNoCase(name, "HKCU")) {
    *hive = Hive::CurrentUser;
    return true;
  }
  if (EqualsNoCase(name, "HKEY_LOCAL_MACHINE") || EqualsNoCase(name, "HKLM")) {
    *hive = Hive::LocalMachine;
    return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// The parser.

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// A failure at one line, carried out of the parser's helpers.
struct Fault {
  int line;
  std::string message;
};

// Parses one .reg document already decoded to UTF-8 lines. Owns nothing but
// its cursor; lives for one Parse() call.
class Parser {
 public:
  Parser(std::vector<std::string_view> lines, Format format)
      : lines_(std::move(lines)), format_(format) {}

  std::optional<Fault> Run(std::vector<Entry>* entries) {
    entries_ = entries;
    // Line 1 is the header, checked by the caller.
    for (index_ = 1; index_ < lines_.size(); ++index_) {
      std::string_view line = TrimLeft(lines_[index_]);
      if (line.empty() || line.front() == ';') continue;
      std::optional<Fault> fault;
      if (line.front() == '[') {
        fault = KeyLine(line);
      } else if (line.front() == '"' || line.front() == '@') {
        fault = ValueLine(line);
      } else {
        fault = Fail("expected a [key] line, a value line (\"name\"=... or @=...) or a ; comment");
      }
      if (fault) return fault;
    }
    return std::nullopt;
  }

 private:
  int LineNumber() const { return static_cast<int>(index_) + 1; }
  Fault Fail(std::string message) const { return Fault{LineNumber(), std::move(message)}; }

  void Add(Change::Kind kind, std::string name, Value value) {
    Entry entry;
    entry.hive = hive_;
    entry.change.kind = kind;
    entry.change.path = path_;
    entry.change.name = std::move(name);
    entry.change.value = std::move(value);
    entry.line = LineNumber();
    entries_->push_back(std::move(entry));
  }

  // Windows' limits on the key just read (path_).
  std::optional<Fault> KeyLimits() const {
    if (registry::ValidKeyPath(path_)) return std::nullopt;
    size_t levels = 1;
    for (char c : path_) levels += c == '\\';
    if (levels > registry::kMaxKeyDepth) {
      return Fail("key name of " + std::to_string(levels) + " levels (at most " +
                  std::to_string(registry::kMaxKeyDepth) + ")");
    }
    return Fail("key name with a level longer than " +
                std::to_string(registry::kMaxKeyNameLength) + " characters");
  }

  std::optional<Fault> KeyLine(std::string_view line) {
    size_t close = line.rfind(']');
    if (close == std::string_view::npos) return Fail("key line without closing ]");
    if (!TrimLeft(line.substr(close + 1)).empty()) return Fail("text after the closing ] of a key line");
    std::string_view name = line.substr(1, close - 1);
    bool deletion = !name.empty() && name.front() == '-';
    if (deletion) name.remove_prefix(1);
    if (name.empty()) return Fail("empty key name");
    if (!SplitKeyName(name, &hive_, &path_)) {
      size_t slash = name.find('\\');
      std::string_view root = name.substr(0, slash);
      Hive ignored;
      if (!ParseHive(root, &ignored)) {
        return Fail("unknown or unsupported hive \"" + std::string(root) +
                    "\" (HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE are supported)");
      }
      return Fail("key name with an empty level (\"\\\\\")");
    }
    if (auto fault = KeyLimits()) return fault;
    if (deletion) {
      if (path_.empty()) return Fail("a hive's root key cannot be deleted");
      Add(Change::Kind::DeleteTree, "", Value{});
      key_open_ = false;
      after_deletion_ = true;
    } else {
      Add(Change::Kind::CreateKey, "", Value{});
      key_open_ = true;
    }
    return std::nullopt;
  }

  // Reads a quoted string starting at s[0] == '"'; *rest is what follows the
  // closing quote.
  std::optional<Fault> QuotedString(std::string_view s, std::string* out, std::string_view* rest) {
    out->clear();
    for (size_t i = 1; i < s.size(); ++i) {
      char c = s[i];
      if (c == '"') {
        *rest = s.substr(i + 1);
        return std::nullopt;
      }
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (++i == s.size()) break;
      switch (s[i]) {
        case '\\': out->push_back('\\'); break;
        case '"': out->push_back('"'); break;
        case 'n': out->push_back('\n'); break;
        case 'r': out->push_back('\r'); break;
        case '0': out->push_back('\0'); break;
        default:
          return Fail(std::string("unknown escape \\") + s[i] +
                      " in a quoted string (a backslash is written \\\\)");
      }
    }
    return Fail("quoted string without closing \"");
  }

  std::optional<Fault> ValueLine(std::string_view line) {
    if (!key_open_) {
      return Fail(after_deletion_ ? "value line under a key deletion [-KEY]"
                                  : "value line before the first [key] line");
    }
    std::string name;
    std::string_view rest;
    if (line.front() == '@') {
      rest = line.substr(1);
    } else if (auto fault = QuotedString(line, &name, &rest)) {
      return fault;
    } else if (name.find('\0') != std::string::npos) {
      return Fail("value name with a NUL character");
    } else if (!registry::ValidValueName(name)) {
      return Fail("value name longer than " + std::to_string(registry::kMaxValueNameLength) +
                  " characters");
    }
    rest = TrimLeft(rest);
    if (rest.empty() || rest.front() != '=') return Fail("expected = after the value name");
    rest = TrimRight(TrimLeft(rest.substr(1)));
    int start_line = LineNumber();

    if (rest == "-") {
      Add(Change::Kind::DeleteValue, std::move(name), Value{});
      return std::nullopt;
    }
    Value value;
    if (!rest.empty() && rest.front() == '"') {
      std::string text;
      std::string_view after;
      if (auto fault = QuotedString(rest, &text, &after)) return fault;
      if (!TrimLeft(after).empty()) return Fail("text after the closing \" of a string value");
      value.type = ValueType::String;
      value.data = std::move(text);
    } else if (StartsWithNoCase(rest, "dword:")) {
      std::string_view digits = rest.substr(6);
      if (digits.empty() || digits.size() > 8) return Fail("dword: needs 1 to 8 hex digits");
      uint32_t number = 0;
      for (char c : digits) {
        int d = HexDigit(c);
        if (d < 0) return Fail("dword: needs 1 to 8 hex digits");
        number = number << 4 | static_cast<uint32_t>(d);
      }
      value.type = ValueType::Dword;
      for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>(number >> (8 * i) & 0xFF));
    } else if (StartsWithNoCase(rest, "hex")) {
      if (auto fault = HexValue(rest.substr(3), &value)) return fault;
    } else {
      return Fail("unknown value data (expected \"text\", dword:, hex:, hex(N): or -)");
    }
    // Hex data may have moved the cursor over continuation lines; the entry
    // belongs to the line the value starts on.
    size_t end_index = index_;
    index_ = static_cast<size_t>(start_line - 1);
    Add(Change::Kind::SetValue, std::move(name), std::move(value));
    index_ = end_index;
    return std::nullopt;
  }

  // `form` follows "hex": "(N):bytes" or ":bytes".
  std::optional<Fault> HexValue(std::string_view form, Value* value) {
    uint32_t type = 3;
    if (!form.empty() && form.front() == '(') {
      size_t close = form.find(')');
      if (close == std::string_view::npos || close == 1 || close > 9) return Fail("malformed hex(N) type");
      type = 0;
      for (char c : form.substr(1, close - 1)) {
        int d = HexDigit(c);
        if (d < 0) return Fail("malformed hex(N) type");
        type = type << 4 | static_cast<uint32_t>(d);
      }
      form.remove_prefix(close + 1);
    }
    if (form.empty() || form.front() != ':') return Fail("expected : after hex");
    std::string bytes;
    if (auto fault = HexBytes(form.substr(1), &bytes)) return fault;
    return TypedValue(type, std::move(bytes), value);
  }

  // Reads comma-separated bytes; a line ending in "\" continues on the next.
  std::optional<Fault> HexBytes(std::string_view segment, std::string* bytes) {
    for (;;) {
      segment = TrimRight(segment);
      bool more = !segment.empty() && segment.back() == '\\';
      if (more) segment.remove_suffix(1);
      size_t pos = 0;
      for (;;) {
        size_t comma = segment.find(',', pos);
        bool last = comma == std::string_view::npos;
        std::string_view token =
            TrimRight(TrimLeft(segment.substr(pos, last ? std::string_view::npos : comma - pos)));
        if (token.empty()) {
          if (!last) return Fail("empty byte between commas in hex data");
          break;  // An empty segment, or a comma before the line break or at the end.
        }
        if (token.size() > 2 || HexDigit(token[0]) < 0 || (token.size() == 2 && HexDigit(token[1]) < 0)) {
          return Fail("\"" + std::string(token) + "\" is not a hex byte");
        }
        int byte = HexDigit(token[0]);
        if (token.size() == 2) byte = byte * 16 + HexDigit(token[1]);
        bytes->push_back(static_cast<char>(byte));
        if (last) break;
        pos = comma + 1;
      }
      if (!more) return std::nullopt;
      if (++index_ >= lines_.size()) {
        --index_;
        return Fail("hex data continues past the end of the file");
      }
      segment = TrimLeft(lines_[index_]);
    }
  }

  // String data of hex(1), hex(2) and hex(7) to UTF-8.
  std::optional<Fault> StringData(const std::string& bytes, std::string* text) {
    if (format_ == Format::Regedit4) {
      *text = EightBitToUtf8(bytes);
      return std::nullopt;
    }
    size_t bad;
    if (bytes.size() % 2 != 0) return Fail("UTF-16 string data with an odd number of bytes");
    if (!Utf16ToUtf8(bytes, "UTF-16LE", text, &bad)) return Fail("string data that is not valid UTF-16");
    return std::nullopt;
  }

  std::optional<Fault> TypedValue(uint32_t type, std::string bytes, Value* value) {
    switch (type) {
      case 0:
        value->type = ValueType::None;
        value->data = std::move(bytes);
        return std::nullopt;
      case 3:
        value->type = ValueType::Binary;
        value->data = std::move(bytes);
        return std::nullopt;
      case 4:
        if (bytes.size() != 4) return Fail("hex(4) (REG_DWORD) data must be exactly 4 bytes");
        value->type = ValueType::Dword;
        value->data = std::move(bytes);
        return std::nullopt;
      case 1:
      case 2: {
        std::string text;
        if (auto fault = StringData(bytes, &text)) return fault;
        if (!text.empty() && text.back() == '\0') text.pop_back();  // The terminator.
        value->type = type == 1 ? ValueType::String : ValueType::ExpandString;
        value->data = std::move(text);
        return std::nullopt;
      }
      case 7: {
        std::string text;
        if (auto fault = StringData(bytes, &text)) return fault;
        // Stored as each string followed by NUL, without the list's final NUL.
        if (text == std::string_view("\0", 1)) {
          text.clear();
        } else if (text.size() >= 2 && text.compare(text.size() - 2, 2, std::string_view("\0\0", 2)) == 0) {
          text.pop_back();
        } else if (!text.empty() && text.back() != '\0') {
          text.push_back('\0');
        }
        value->type = ValueType::MultiString;
        value->data = std::move(text);
        return std::nullopt;
      }
      default: {
        char number[16];
        std::snprintf(number, sizeof number, "%x", type);
        return Fail(std::string("value type hex(") + number +
                    ") is not supported (REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, "
                    "REG_MULTI_SZ and REG_NONE are)");
      }
    }
  }

  std::vector<std::string_view> lines_;
  Format format_;
  std::vector<Entry>* entries_ = nullptr;
  size_t index_ = 0;
  bool key_open_ = false;
  bool after_deletion_ = false;
  Hive hive_ = Hive::CurrentUser;
  std::string path_;
};

// The line (1-based) of byte `offset` of UTF-16 text, counting LF units.
int Utf16LineAt(std::string_view bytes, size_t offset, bool big_endian) {
  int line = 1;
  for (size_t i = 0; i + 1 < bytes.size() && i < offset; i += 2) {
    char lo = big_endian ? bytes[i + 1] : bytes[i];
    char hi = big_endian ? bytes[i] : bytes[i + 1];
    if (lo == '\n' && hi == '\0') ++line;
  }
  return line;
}

int LineAt(std::string_view text, size_t offset) {
  int line = 1;
  for (size_t i = 0; i < offset && i < text.size(); ++i) line += text[i] == '\n';
  return line;
}

// Decodes the file's bytes to UTF-8 text.
std::optional<Fault> DecodeFile(std::string_view bytes, std::string* text) {
  auto starts = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
  if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
    bool big_endian = bytes[0] == '\xFE';
    std::string_view body = bytes.substr(2);
    size_t bad;
    if (!Utf16ToUtf8(body, big_endian ? "UTF-16BE" : "UTF-16LE", text, &bad)) {
      return Fault{Utf16LineAt(body, bad, big_endian), "text that is not valid UTF-16"};
    }
    return std::nullopt;
  }
  if (starts("\xEF\xBB\xBF")) {
    std::string_view body = bytes.substr(3);
    size_t bad;
    if (!ValidUtf8(body, &bad)) return Fault{LineAt(body, bad), "text that is not valid UTF-8"};
    *text = body;
    return std::nullopt;
  }
  *text = EightBitToUtf8(bytes);
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// The writer.

void AppendHex(std::string* out, unsigned char byte) {
  static const char kDigits[] = "0123456789abcdef";
  out->push_back(kDigits[byte >> 4]);
  out->push_back(kDigits[byte & 15]);
}

// Escapes a quoted string; CR, LF and NUL use the escapes this parser reads.
std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\0': out += "\\0"; break;
      default: out.push_back(c);
    }
  }
  out.push_back('"');
  return out;
}

// Appends "hex...:" data wrapped the way regedit wraps it: lines of at most
// 80 characters, continued with "\" and two spaces.
void AppendHexData(std::string* out, size_t line_start, std::string_view prefix, std::string_view bytes) {
  *out += prefix;
  size_t column = out->size() - line_start;
  for (size_t i = 0; i < bytes.size(); ++i) {
    AppendHex(out, static_cast<unsigned char>(bytes[i]));
    column += 2;
    if (i + 1 == bytes.size()) break;
    out->push_back(',');
    ++column;
    if (column > 76) {
      *out += "\\\r\n  ";
      column = 2;
    }
  }
}

// UTF-16LE string data with its terminator.
std::string StringBytes(std::string_view text) {
  std::string bytes = Utf8ToUtf16(text);
  bytes.append(2, '\0');
  return bytes;
}

void AppendValue(std::string* out, const registry::NamedValue& named) {
  size_t line_start = out->size();
  *out += named.name.empty() ? std::string("@") : Quote(named.name);
  out->push_back('=');
  const Value& value = named.value;
  switch (value.type) {
    case ValueType::String:
      if (value.data.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos) {
        *out += Quote(ValidUtf8(value.data, nullptr) ? value.data : EightBitToUtf8(value.data));
      } else {
        AppendHexData(out, line_start, "hex(1):", StringBytes(value.data));
      }
      break;
    case ValueType::Dword:
      if (value.data.size() == 4) {
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(value.data[i]);
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", number);
        *out += digits;
      } else {
        AppendHexData(out, line_start, "hex(4):", value.data);
      }
      break;
    case ValueType::Binary:
      AppendHexData(out, line_start, "hex:", value.data);
      break;
    case ValueType::ExpandString:
      AppendHexData(out, line_start, "hex(2):", StringBytes(value.data));
      break;
    case ValueType::MultiString:
      // Each string with its NUL, then the NUL that ends the list.
      AppendHexData(out, line_start, "hex(7):", StringBytes(value.data));
      break;
    default: {
      char prefix[32];
      std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
      AppendHexData(out, line_start, prefix, value.data);
    }
  }
  *out += "\r\n";
}

}  // namespace

bool SplitKeyName(std::string_view full_name, Hive* hive, std::string* path) {
  size_t slash = full_name.find('\\');
  if (!ParseHive(full_name.substr(0, slash), hive)) return false;
  std::string_view rest = slash == std::string_view::npos ? std::string_view() : full_name.substr(slash);
  while (!rest.empty() && rest.front() == '\\') rest.remove_prefix(1);
  while (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
  if (rest.find("\\\\") != std::string_view::npos) return false;
  path->assign(rest);
  return true;
}

const char* HiveFullName(Hive hive) {
  return hive == Hive::LocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
}

bool Parse(std::string_view bytes, Document* out, ParseError* error) {
  *out = Document{};
  std::string text;
  std::optional<Fault> fault = DecodeFile(bytes, &text);

  std::vector<std::string_view> lines;
  if (!fault) {
    std::string_view rest = text;
    for (;;) {
      size_t newline = rest.find('\n');
      std::string_view line = rest.substr(0, newline);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (line.find('\0') != std::string_view::npos) {
        fault = Fault{static_cast<int>(lines.size()) + 1, "NUL character in the text"};
        break;
      }
      lines.push_back(line);
      if (newline == std::string_view::npos) break;
      rest.remove_prefix(newline + 1);
    }
  }
  Format format = Format::Regedit5;
  if (!fault) {
    std::string_view header = TrimRight(lines.front());
    if (header == kHeader4) {
      format = Format::Regedit4;
    } else if (header != kHeader5) {
      fault = Fault{1, "not a registry file: the first line must be \"" + std::string(kHeader5) +
                           "\" or \"" + std::string(kHeader4) + "\""};
    }
  }
  if (!fault) {
    Document document;
    document.format = format;
    fault = Parser(std::move(lines), format).Run(&document.entries);
    if (!fault) {
      *out = std::move(document);
      return true;
    }
  }
  error->line = fault->line;
  error->message = std::move(fault->message);
  return false;
}

std::vector<Change> ChangesFor(const Document& document, Hive hive) {
  std::vector<Change> changes;
  for (const Entry& entry : document.entries) {
    if (entry.hive == hive) changes.push_back(entry.change);
  }
  return changes;
}

std::string Write(Hive hive, const std::vector<KeyValues>& keys, Encoding encoding) {
  std::string text(kHeader5);
  text += "\r\n\r\n";
  for (const KeyValues& key : keys) {
    text += "[";
    text += HiveFullName(hive);
    if (!key.path.empty()) text += "\\" + (ValidUtf8(key.path, nullptr) ? key.path : EightBitToUtf8(key.path));
    text += "]\r\n";
    // In the store's order (first written first), so an import of the file
    // enumerates the same way.
    for (const auto& named : key.values) {
      registry::NamedValue copy{ValidUtf8(named.name, nullptr) ? named.name : EightBitToUtf8(named.name),
                                named.value};
      AppendValue(&text, copy);
    }
    text += "\r\n";
  }
  if (encoding == Encoding::Utf8) return text;
  return "\xFF\xFE" + Utf8ToUtf16(text);
}

}  // namespace qv::regfile
