// Base64Decode never writes past its capacity on any text, and every byte
// string survives Base64Encode then Base64Decode unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "library/support/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the capacity, so short buffers are tried too.
  const int capacity = data[0] % 64 + (data[0] & 0x80 ? 1024 : 0);
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  // Heap buffers of the exact capacity: any overrun is an AddressSanitizer report.
  auto out = std::make_unique<unsigned char[]>(static_cast<size_t>(capacity) + 0);
  int n = qvaiso::Base64Decode(text.c_str(), out.get(), capacity);
  if (n > capacity) abort();

  const int length = static_cast<int>(size - 1);
  const int encodedCapacity = (length + 2) / 3 * 4 + 1;
  auto encoded = std::make_unique<char[]>(static_cast<size_t>(encodedCapacity));
  int chars = qvaiso::Base64Encode(data + 1, length, encoded.get(), encodedCapacity);
  if (chars != encodedCapacity - 1) abort();
  auto decoded = std::make_unique<unsigned char[]>(static_cast<size_t>(length) + 1);
  int bytes = qvaiso::Base64Decode(encoded.get(), decoded.get(), length);
  if (bytes != length || std::memcmp(decoded.get(), data + 1, static_cast<size_t>(length)) != 0) abort();
  return 0;
}
