// The system's 8-bit code page on Windows: the ANSI code page of the machine
// (CP_ACP), converted with MultiByteToWideChar and WideCharToMultiByte.
#include <windows.h>

#include <string>

#include "platform/codepage/codepage.h"
#include "platform/codepage/utf8.h"

namespace qv::codepage {
namespace {

using detail::IsAscii;
using detail::Utf8SequenceLength;

unsigned DecodeUtf8(std::string_view s, size_t length) {
  const auto b = [&](size_t i) { return static_cast<unsigned>(static_cast<unsigned char>(s[i])); };
  switch (length) {
    case 1: return b(0);
    case 2: return ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
    case 3: return ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    default: return ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  }
}

void AppendUtf16(std::wstring& out, unsigned codePoint) {
  if (codePoint < 0x10000) {
    out += static_cast<wchar_t>(codePoint);
  } else {
    codePoint -= 0x10000;
    out += static_cast<wchar_t>(0xD800 + (codePoint >> 10));
    out += static_cast<wchar_t>(0xDC00 + (codePoint & 0x3FF));
  }
}

bool SingleByteCodePage() {
  CPINFO info;
  return GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1;
}

}  // namespace

std::string SystemCodePageName() {
  const UINT acp = GetACP();
  if (acp >= 1250 && acp <= 1258) return "WINDOWS-" + std::to_string(acp);
  if (acp == CP_UTF8) return "UTF-8";
  return "CP" + std::to_string(acp);
}

std::string FromUtf8(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  std::string out;
  std::wstring run;  // well-formed characters waiting for conversion
  const auto flush = [&] {
    if (run.empty()) return;
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, 0, run.data(), static_cast<int>(run.size()), nullptr, 0, "?",
                                      GetACP() == CP_UTF8 ? nullptr : &usedDefault);
    if (n > 0) {
      const size_t at = out.size();
      out.resize(at + static_cast<size_t>(n));
      WideCharToMultiByte(CP_ACP, 0, run.data(), static_cast<int>(run.size()), out.data() + at, n, "?",
                          GetACP() == CP_UTF8 ? nullptr : &usedDefault);
    }
    run.clear();
  };
  size_t pos = 0;
  while (pos < utf8.size()) {
    const size_t length = Utf8SequenceLength(utf8.substr(pos));
    if (length == 0) {  // an invalid byte
      flush();
      out += '?';
      ++pos;
      continue;
    }
    AppendUtf16(run, DecodeUtf8(utf8.substr(pos), length));
    pos += length;
  }
  flush();
  return out;
}

std::string ToUtf8(std::string_view bytes) {
  if (IsAscii(bytes)) return std::string(bytes);
  std::string out;
  if (SingleByteCodePage()) {
    for (unsigned char c : bytes) {
      wchar_t wide = 0;
      const char byte = static_cast<char>(c);
      // A byte without a character keeps its value as the character.
      if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &byte, 1, &wide, 1) != 1) wide = c;
      AppendUtf8(out, wide);
    }
    return out;
  }
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  for (size_t i = 0; i < wide.size(); ++i) {
    unsigned c = static_cast<unsigned>(wide[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned>(wide[i + 1]) - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);
  }
  return out;
}

namespace detail {

std::optional<std::string> SingleByteSetToUtf8(unsigned page, std::string_view bytes) {
  if (!IsValidCodePage(page)) return std::nullopt;
  std::string out;
  if (bytes.empty()) return out;
  // Without MB_ERR_INVALID_CHARS a byte without a character becomes the
  // code page's default character.
  const int n = MultiByteToWideChar(page, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(page, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  for (wchar_t c : wide) AppendUtf8(out, static_cast<unsigned>(c));  // single-byte sets: no surrogates
  return out;
}

}  // namespace detail

}  // namespace qv::codepage
