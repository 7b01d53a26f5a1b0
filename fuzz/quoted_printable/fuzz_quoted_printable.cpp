// DecodeQuotedPrintable on any text; the first byte picks the flag.
#include <cstddef>
#include <cstdint>
#include <string>

#include "addin/codec/encodings.h"
#include "platform/codepage/codepage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  bool onlyLessThan = (data[0] & 1) != 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string decoded = qvsync::DecodeQuotedPrintable(text, onlyLessThan);
  // The result is text: bytes went through the code page.
  if (qv::codepage::IsValidUtf8(text) && !qv::codepage::IsValidUtf8(decoded)) __builtin_trap();
  return 0;
}
