// ParseServerDate on any text and offset; the result is always a real date.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "addin/codec/encodings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int32_t offset = 0;
  if (size >= sizeof offset) {
    std::memcpy(&offset, data, sizeof offset);
    data += sizeof offset;
    size -= sizeof offset;
  }
  std::string text(reinterpret_cast<const char*>(data), size);
  qvsync::LocalDateTime d = qvsync::ParseServerDate(text, offset);
  if (d.year < 100 || d.year > 9999 || d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31 ||
      d.hour < 0 || d.hour > 23 || d.minute < 0 || d.minute > 59) {
    __builtin_trap();
  }
  if (qvsync::FormatServerDate(d).size() != 16) __builtin_trap();
  return 0;
}
