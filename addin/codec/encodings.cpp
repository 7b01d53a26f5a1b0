#include "addin/codec/encodings.h"

#include <array>
#include <cstdint>
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
  std::vector<std::string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t dash = text.find('-', start);
    parts.push_back(text.substr(start, dash == text.npos ? text.npos : dash - start));
    if (dash == text.npos) break;
    start = dash + 1;
  }
  if (parts.size() < 3 || parts.size() == 4) return NowLocal();
  int64_t year, month, day, hour = 0, minute = 0;
  if (!ParseDatePart(parts[0], year) || !ParseDatePart(parts[1], month) ||
      !ParseDatePart(parts[2], day)) {
    return NowLocal();
  }
  if (parts.size() > 3 && (!ParseDatePart(parts[3], hour) || !ParseDatePart(parts[4], minute))) {
    return NowLocal();
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
  if (y < 100 || y > 9999) return NowLocal();
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

std::string DecodeEncodedWord(std::string_view text, std::string* charset) {
  if (charset) charset->clear();
  std::string_view s = TrimSpaces(text);
  size_t open = s.find("=?");
  size_t close = s.find("?=");
  if (open == s.npos || close == s.npos || close <= open) return std::string(text);

  const auto lower = [](std::string v) {
    for (char& c : v) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return v;
  };
  std::string name = lower(GetToken(s, "?", 2));
  std::string letter = lower(GetToken(s, "?", 3));
  std::string encoded = GetToken(s, "?", 4);
  if (charset) *charset = name;

  // The "?" that ends the encoding letter: when the first "?=" is that one, the
  // encoded text begins with "=" and the word ends at the next "?=".
  size_t third = s.npos;
  for (size_t pos = 0, seen = 0; pos < s.size(); ++pos) {
    if (s[pos] == '?' && ++seen == 3) {
      third = pos;
      break;
    }
  }
  if (close == third) {
    close = s.find("?=", close + 2);
    if (close == s.npos) return "";
  }

  std::string decoded;
  if (letter == "q") {
    for (char& c : encoded) {
      if (c == '_') c = ' ';
    }
    decoded = DecodeQuotedPrintable(encoded, false);
  } else if (letter == "b") {
    return std::string(text);
  } else {
    decoded = encoded;
  }
  std::string out(s.substr(0, open));
  out += decoded;
  out += s.substr(close + 2);
  return out;
}

std::string DecodeQuotedPrintable(std::string_view input, bool onlyLessThan) {
  std::string text = ReplaceAll(input, "=\r\n", "");
  if (!text.empty() && text.back() == '=') text.pop_back();
  text = ReplaceAll(text, "=20\r\n", " \r\n");
  text = ReplaceAll(text, "=3D", "~3D~");
  if (text.find('=') == std::string::npos) return ReplaceAll(text, "~3D~", "=");

  std::string bytes;
  bytes.reserve(text.size());
  size_t pos = 0;
  size_t literal = 0;  // start of the text not yet turned into bytes
  while ((pos = text.find('=', pos)) != std::string::npos) {
    int hi = pos + 1 < text.size() ? HexValue(text[pos + 1]) : -1;
    int lo = pos + 2 < text.size() ? HexValue(text[pos + 2]) : -1;
    if (hi < 0 || lo < 0) {  // not an escape: the "=" stays as text
      ++pos;
      continue;
    }
    bytes += qv::codepage::FromUtf8(std::string_view(text).substr(literal, pos - literal));
    int v = hi * 16 + lo;
    bool reference = onlyLessThan ? v == 60 : (v == 34 || v == 38 || v == 60);
    if (v < 0xA0 && reference) {
      bytes += "&#" + std::to_string(v) + ";";
    } else {
      bytes += static_cast<char>(v);
    }
    pos += 3;
    literal = pos;
  }
  bytes += qv::codepage::FromUtf8(std::string_view(text).substr(literal));
  return ReplaceAll(qv::codepage::ToUtf8(bytes), "~3D~", "=");
}

}  // namespace qvsync
