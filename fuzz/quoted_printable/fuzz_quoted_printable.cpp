// DecodeQuotedPrintable on any text; the first byte picks the character set.
#include <cstddef>
#include <cstdint>
#include <string>

#include "addin/codec/encodings.h"
#include "platform/codepage/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const char* const kCharsets[] = {"", "utf-8", "iso-8859-2", "windows-1251", "koi8-r", "x-unknown"};
  const char* charset = kCharsets[data[0] % (sizeof kCharsets / sizeof kCharsets[0])];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string decoded = qvsync::DecodeQuotedPrintable(text, charset);
  // The result is text: escaped bytes went through the character set.
  if (qv::codepage::IsValidUtf8(text) && !qv::codepage::IsValidUtf8(decoded)) __builtin_trap();
  // Text without "=" needs no decoding.
  if (text.find('=') == std::string::npos && qv::codepage::IsValidUtf8(text) && decoded != text) __builtin_trap();
  return 0;
}
