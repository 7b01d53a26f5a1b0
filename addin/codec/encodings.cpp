#include "addin/codec/encodings.h"

#include <array>
#include <cstdint>
#include <optional>
#include <cstdio>
#include <ctime>
#include <vector>

#include "addin/codec/strings.h"
#include "platform/codepage/codepage.h"
#include "platform/timezone/timezone.h"

namespace qvsync {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kB64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The characters EscapeValue leaves as they are, indexed by ASCII code.
struct SafeSet {
  bool safe[128] = {};
  constexpr SafeSet() {
    const char* chars =
        "1234567890ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz:/.?=_-$(){}~";
    for (const char* p = chars; *p; ++p) safe[static_cast<unsigned char>(*p)] = true;
  }
};
constexpr SafeSet kSafeSet;

// Next code point of UTF-8 `s` at `pos`; an invalid byte gives U+FFFD and is
// consumed on its own.
uint32_t NextCodePoint(std::string_view s, size_t& pos) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char c = byte(pos);
  if (c < 0x80) {
    ++pos;
    return c;
  }
  size_t len = 0;
  uint32_t cp = 0, min = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2, cp = c & 0x1F, min = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3, cp = c & 0x0F, min = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4, cp = c & 0x07, min = 0x10000;
  }
  if (len == 0 || pos + len > s.size()) {
    ++pos;
    return 0xFFFD;
  }
  for (size_t i = 1; i < len; ++i) {
    unsigned char cc = byte(pos + i);
    if ((cc & 0xC0) != 0x80) {
      ++pos;
      return 0xFFFD;
    }
    cp = (cp << 6) | (cc & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++pos;
    return 0xFFFD;
  }
  pos += len;
  return cp;
}

void AppendUnitEscape(std::string& out, uint32_t unit) {
  out += "%u";
  out += kHexDigits[(unit >> 12) & 0xF];
  out += kHexDigits[(unit >> 8) & 0xF];
  out += kHexDigits[(unit >> 4) & 0xF];
  out += kHexDigits[unit & 0xF];
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

using qv::timezone::CivilFromDays;
using qv::timezone::DaysFromCivil;

// A decimal part of a date text: digits only, optionally surrounded by spaces,
// at most nine digits.
bool ParseDatePart(std::string_view part, int64_t& value) {
  part = TrimSpaces(part);
  if (part.empty() || part.size() > 9) return false;
  value = 0;
  for (char c : part) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

}  // namespace

LocalDateTime NowLocal() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return {local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
          local.tm_hour,        local.tm_min,     local.tm_sec};
}

std::string EscapeValue(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  size_t pos = 0;
  while (pos < text.size()) {
    uint32_t cp = NextCodePoint(text, pos);
    if (cp < 128 && kSafeSet.safe[cp]) {
      out += static_cast<char>(cp);
    } else if (cp == ' ') {
      out += '+';
    } else if (cp >= 0x10000) {
      uint32_t v = cp - 0x10000;
      AppendUnitEscape(out, 0xD800 + (v >> 10));
      AppendUnitEscape(out, 0xDC00 + (v & 0x3FF));
    } else {
      AppendUnitEscape(out, cp);
    }
  }
  return out;
}

std::string FormatServerDate(const LocalDateTime& date) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d-%02d-%02d", date.year, date.month, date.day,
                date.hour, date.minute);
  return buf;
}

LocalDateTime ParseServerDate(std::string_view text, long offsetMinutes) {
  return TryParseServerDate(text, offsetMinutes).value_or(NowLocal());
}

std::optional<LocalDateTime> TryParseServerDate(std::string_view text, long offsetMinutes) {
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t dash = text.find('-', start);
    parts.push_back(text.substr(start, dash == text.npos ? text.npos : dash - start));
    if (dash == text.npos) break;
    start = dash + 1;
  }
  if (parts.size() < 3 || parts.size() == 4) return std::nullopt;
  int64_t year, month, day, hour = 0, minute = 0;
  if (!ParseDatePart(parts[0], year) || !ParseDatePart(parts[1], month) ||
      !ParseDatePart(parts[2], day)) {
    return std::nullopt;
  }
  if (parts.size() > 3 && (!ParseDatePart(parts[3], hour) || !ParseDatePart(parts[4], minute))) {
    return std::nullopt;
  }
  // Month carry-over first (month 0 is December of the year before), then the
  // day counts from the first of that month.
  int64_t monthIndex = month - 1;
  int64_t carryYears = monthIndex >= 0 ? monthIndex / 12 : -((11 - monthIndex) / 12);
  year += carryYears;
  monthIndex -= carryYears * 12;
  int64_t days = DaysFromCivil(year, monthIndex + 1, 1) + (day - 1);
  int64_t minutes = days * 1440 + hour * 60 + minute + static_cast<int64_t>(offsetMinutes);
  int64_t dayCount = minutes >= 0 ? minutes / 1440 : -((1439 - minutes) / 1440);
  int64_t minuteOfDay = minutes - dayCount * 1440;
  LocalDateTime result;
  int64_t y;
  CivilFromDays(dayCount, y, result.month, result.day);
  if (y < 100 || y > 9999) return std::nullopt;
  result.year = static_cast<int>(y);
  result.hour = static_cast<int>(minuteOfDay / 60);
  result.minute = static_cast<int>(minuteOfDay % 60);
  return result;
}

std::string B64Encode(std::string_view bytes) {
  std::string encoded;
  encoded.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  const auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    encoded += kB64Alphabet[(v >> 18) & 63];
    encoded += kB64Alphabet[(v >> 12) & 63];
    encoded += kB64Alphabet[(v >> 6) & 63];
    encoded += kB64Alphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = at(i) << 16;
    if (rest == 2) v |= at(i + 1) << 8;
    encoded += kB64Alphabet[(v >> 18) & 63];
    encoded += kB64Alphabet[(v >> 12) & 63];
    encoded += rest == 2 ? kB64Alphabet[(v >> 6) & 63] : '=';
    encoded += '=';
  }
  constexpr size_t kLine = 76;
  if (encoded.size() <= kLine) return encoded;
  std::string out;
  out.reserve(encoded.size() + encoded.size() / kLine * 2 + 2);
  for (size_t pos = 0; pos < encoded.size(); pos += kLine) {
    out.append(encoded, pos, kLine);
    if (pos + kLine < encoded.size() || encoded.size() % kLine == 0) out += "\r\n";
  }
  return out;
}

std::string B64Decode(std::string_view text) {
  static const auto kValues = [] {
    std::array<int8_t, 256> values{};
    values.fill(0);
    for (int k = 0; k < 64; ++k) values[static_cast<unsigned char>(kB64Alphabet[k])] = static_cast<int8_t>(k);
    return values;
  }();
  std::string out;
  out.reserve(text.size() / 4 * 3 + 2);
  uint32_t group = 0;
  int count = 0;
  for (unsigned char c : text) {
    if (c == '\r' || c == '\n' || c == '\t' || c == ' ' || c == '=') continue;
    if (c >= 0x80 && c < 0xC0) continue;  // continuation byte of a character already counted
    group = (group << 6) | static_cast<uint32_t>(kValues[c]);
    if (++count == 4) {
      out += static_cast<char>((group >> 16) & 0xFF);
      out += static_cast<char>((group >> 8) & 0xFF);
      out += static_cast<char>(group & 0xFF);
      group = 0;
      count = 0;
    }
  }
  if (count == 2) {
    out += static_cast<char>((group >> 4) & 0xFF);
  } else if (count == 3) {
    out += static_cast<char>((group >> 10) & 0xFF);
    out += static_cast<char>((group >> 2) & 0xFF);
  }
  return out;
}

namespace {

constexpr std::string_view kSpace = " \t\r\n";

// One encoded word "=?charset?letter?text?=" at `open` of `s`: its parts and
// the position after its closing "?=". The charset and the letter hold no
// "?"; the encoded text holds no "?" and no white space (it may begin with
// "=", as in "=?x?q?=E9t=E9?=").
struct EncodedWord {
  std::string_view charset, letter, text;
  size_t end = 0;
};

std::optional<EncodedWord> ReadEncodedWord(std::string_view s, size_t open) {
  if (s.compare(open, 2, "=?") != 0) return std::nullopt;
  const size_t q1 = s.find('?', open + 2);
  if (q1 == s.npos) return std::nullopt;
  const size_t q2 = s.find('?', q1 + 1);
  if (q2 == s.npos) return std::nullopt;
  const size_t close = s.find("?=", q2 + 1);
  if (close == s.npos) return std::nullopt;
  EncodedWord word{s.substr(open + 2, q1 - open - 2), s.substr(q1 + 1, q2 - q1 - 1),
                   s.substr(q2 + 1, close - q2 - 1), close + 2};
  // As mail has them: the charset a token, the encoding one letter, the
  // encoded text printable ASCII without spaces (and without "?").
  const auto printable = [](std::string_view v, std::string_view excluded) {
    for (char c : v) {
      if (c <= ' ' || c > '~' || excluded.find(c) != excluded.npos) return false;
    }
    return true;
  };
  const bool letter = word.letter.size() == 1 &&
                      ((word.letter[0] >= 'A' && word.letter[0] <= 'Z') || (word.letter[0] >= 'a' && word.letter[0] <= 'z'));
  if (word.charset.empty() || !printable(word.charset, "()<>@,;:\"/[]?.=") || !letter ||
      !printable(word.text, "?"))
    return std::nullopt;
  return word;
}

std::string Lower(std::string_view v) {
  std::string out(v);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Bytes of a named character set as text; the system code page when the set
// is unknown.
std::string CharsetText(std::string_view charset, std::string_view bytes) {
  if (auto text = qv::codepage::CharsetToUtf8(charset, bytes)) return *text;
  return qv::codepage::ToUtf8(bytes);
}

}  // namespace

std::string DecodeEncodedWord(std::string_view text, std::string* charset) {
  if (charset) charset->clear();
  std::string out;
  size_t pos = 0;            // start of the text not yet copied
  size_t afterWord = text.npos;  // end of the last word decoded, when only white space followed
  size_t open = 0;
  bool first = true;
  while ((open = text.find("=?", open)) != text.npos) {
    const std::optional<EncodedWord> word = ReadEncodedWord(text, open);
    if (!word) {
      open += 1;
      continue;
    }
    const std::string letter = Lower(word->letter);
    if (letter == "b") {  // Base64 words are left as they are
      open = word->end;
      continue;
    }
    if (first && charset) *charset = Lower(word->charset);
    first = false;
    // White space between two encoded words separates nothing; between a
    // word and plain text it is kept.
    const std::string_view between = text.substr(pos, open - pos);
    if (!(afterWord == pos && between.find_first_not_of(kSpace) == between.npos)) out += between;
    if (letter == "q") {
      std::string encoded(word->text);
      for (char& c : encoded) {
        if (c == '_') c = ' ';
      }
      out += DecodeQuotedPrintable(encoded, word->charset);
    } else {
      out += word->text;  // an unknown encoding: the text as it stands
    }
    pos = open = afterWord = word->end;
  }
  out += text.substr(pos);
  return out;
}

std::string DecodeQuotedPrintable(std::string_view input, std::string_view charset) {
  std::string out;
  out.reserve(input.size());
  std::string bytes;  // escaped and plain ASCII bytes waiting for the character set
  const auto flush = [&] {
    if (bytes.empty()) return;
    out += charset.empty() ? qv::codepage::ToUtf8(bytes) : CharsetText(charset, bytes);
    bytes.clear();
  };
  size_t pos = 0;
  while (pos < input.size()) {
    const char c = input[pos];
    if (c == '=') {
      // A soft line break (CR LF, or LF once an XML parser has read it), or
      // an "=" that ends the text: nothing.
      if (input.compare(pos, 3, "=\r\n") == 0) {
        pos += 3;
        continue;
      }
      if (input.compare(pos, 2, "=\n") == 0) {
        pos += 2;
        continue;
      }
      if (pos + 1 == input.size()) break;
      const int hi = pos + 1 < input.size() ? HexValue(input[pos + 1]) : -1;
      const int lo = pos + 2 < input.size() ? HexValue(input[pos + 2]) : -1;
      if (hi >= 0 && lo >= 0) {
        bytes += static_cast<char>(hi * 16 + lo);
        pos += 3;
        continue;
      }
      // Not an escape: the "=" stays as it is.
    }
    if (static_cast<unsigned char>(c) < 0x80) {
      bytes += c;
      ++pos;
      continue;
    }
    // A character outside ASCII is already text: kept as it is.
    flush();
    size_t end = pos;
    while (end < input.size() && static_cast<unsigned char>(input[end]) >= 0x80) ++end;
    out += input.substr(pos, end - pos);
    pos = end;
  }
  flush();
  return out;
}

}  // namespace qvsync
