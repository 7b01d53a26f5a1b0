// DecodeEncodedWord on any text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "addin/codec/encodings.h"
#include "platform/codepage/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::string charset;
  std::string decoded = qvsync::DecodeEncodedWord(text, &charset);
  // A text without "=?" comes back untouched.
  if (text.find("=?") == std::string::npos && decoded != text) __builtin_trap();
  // Text in, text out.
  if (qv::codepage::IsValidUtf8(text) && !qv::codepage::IsValidUtf8(decoded)) __builtin_trap();
  return 0;
}
