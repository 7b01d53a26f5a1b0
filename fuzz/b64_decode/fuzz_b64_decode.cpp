// B64Decode on any text, and the round trip of the bytes through B64Encode.
#include <cstddef>
#include <cstdint>
#include <string>

#include "addin/codec/encodings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  std::string bytes = qvsync::B64Decode(input);
  if (bytes.size() > input.size()) __builtin_trap();
  if (qvsync::B64Decode(qvsync::B64Encode(input)) != input) __builtin_trap();
  return 0;
}
