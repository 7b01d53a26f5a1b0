// The UTF-8 rules of the code page component, the same on every platform.
#include "platform/codepage/utf8.h"

#include <string>

#include "platform/codepage/codepage.h"

namespace qv::codepage {
namespace detail {

bool IsAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

size_t Utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < len) return 0;
  if (b(1) < lo || b(1) > hi) return 0;
  for (size_t i = 2; i < len; ++i) {
    if (b(i) < 0x80 || b(i) > 0xBF) return 0;
  }
  return len;
}

std::optional<unsigned> CodePageOfCharset(std::string_view name) {
  if (const size_t star = name.find('*'); star != name.npos) name = name.substr(0, star);
  if (name.size() > 20) return std::nullopt;
  std::string n;
  for (char c : name) n += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  const auto number = [&](std::string_view prefix, unsigned low, unsigned high) -> std::optional<unsigned> {
    if (n.size() <= prefix.size() || n.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    unsigned value = 0;
    for (size_t i = prefix.size(); i < n.size(); ++i) {
      if (n[i] < '0' || n[i] > '9' || value > 100000) return std::nullopt;
      value = value * 10 + static_cast<unsigned>(n[i] - '0');
    }
    if (value < low || value > high) return std::nullopt;
    return value;
  };
  if (n == "utf-8" || n == "utf8") return kCodePageUtf8;
  if (n == "us-ascii" || n == "ascii") return 20127u;
  if (n == "latin1") return 28591u;
  if (n == "koi8-r") return 20866u;
  if (n == "koi8-u") return 21866u;
  for (const char* prefix : {"iso-8859-", "iso8859-", "iso_8859-"}) {
    if (auto part = number(prefix, 1, 16); part && *part != 12) return 28590u + *part;
  }
  for (const char* prefix : {"windows-", "cp", "x-cp"}) {
    if (auto page = number(prefix, 1250, 1258)) return page;
  }
  return std::nullopt;
}

void AppendUtf8Lenient(std::string& out, std::string_view bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t len = Utf8SequenceLength(bytes.substr(pos));
    if (len == 0) {
      AppendUtf8(out, 0xFFFD);
      ++pos;
    } else {
      out.append(bytes.substr(pos, len));
      pos += len;
    }
  }
}

}  // namespace detail

std::optional<std::string> CharsetToUtf8(std::string_view charset, std::string_view bytes) {
  const std::optional<unsigned> page = detail::CodePageOfCharset(charset);
  if (!page) return std::nullopt;
  if (*page != detail::kCodePageUtf8) return detail::SingleByteSetToUtf8(*page, bytes);
  std::string out;
  detail::AppendUtf8Lenient(out, bytes);
  return out;
}

std::string Utf8OrCodePageToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = pos;
    while (end < bytes.size() && detail::Utf8SequenceLength(bytes.substr(end)) == 0) ++end;
    if (end > pos) {  // a run of stray bytes
      out += ToUtf8(bytes.substr(pos, end - pos));
      pos = end;
      continue;
    }
    const size_t len = detail::Utf8SequenceLength(bytes.substr(pos));
    out.append(bytes.substr(pos, len));
    pos += len;
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t len = detail::Utf8SequenceLength(bytes.substr(pos));
    if (len == 0) return false;
    pos += len;
  }
  return true;
}

void AppendUtf8(std::string& out, unsigned codePoint) {
  if (codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) codePoint = 0xFFFD;
  if (codePoint < 0x80) {
    out += static_cast<char>(codePoint);
  } else if (codePoint < 0x800) {
    out += static_cast<char>(0xC0 | (codePoint >> 6));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else if (codePoint < 0x10000) {
    out += static_cast<char>(0xE0 | (codePoint >> 12));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (codePoint >> 18));
    out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (codePoint & 0x3F));
  }
}

}  // namespace qv::codepage
