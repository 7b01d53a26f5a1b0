// The parameter decompressor on any code sequence, and compress/decompress
// round trips of any byte sequence.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "library/remote/lzw.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> input(data, size);
  std::string out;
  const size_t limit = size * 8;
  const auto status = qvaiso::lzw::Decompress(input, limit, &out);
  if (out.size() > limit) __builtin_trap();
  if (status == qvaiso::lzw::DecodeStatus::Ok && size > 0 && out.empty()) __builtin_trap();

  const std::string packed = qvaiso::lzw::Compress(input);
  std::string back;
  if (qvaiso::lzw::Decompress(
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(packed.data()), packed.size()),
          size, &back) != qvaiso::lzw::DecodeStatus::Ok ||
      back != std::string(reinterpret_cast<const char*>(data), size)) {
    __builtin_trap();
  }
  return 0;
}
