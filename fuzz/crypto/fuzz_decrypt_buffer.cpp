// DecryptBuffer over arbitrary keys and scrambled texts into exactly 64
// bytes, and EncryptBuffer into exactly `capacity` bytes; scrambling then
// unscrambling gives the text back whenever it fits.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "library/crypto/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t split = rest.find('\0');
  const std::string key = rest.substr(0, split);
  const std::string text = split == std::string::npos ? "" : rest.substr(split + 1).c_str();

  char* output = static_cast<char*>(std::malloc(64));
  const int32_t result = DecryptBuffer(key.c_str(), text.c_str(), output);
  if (result != 0 && result != 1) std::abort();
  std::free(output);

  char* scrambled = static_cast<char*>(std::malloc(capacity == 0 ? 1 : capacity));
  const int32_t scrambledResult =
      EncryptBuffer(key.c_str(), text.c_str(), scrambled, static_cast<int32_t>(capacity));
  if (scrambledResult == 1 && capacity > 0 && !key.empty() && !text.empty() &&
      text.size() <= 63 && capacity >= 2 * text.size() + 3) {
    char back[64];
    if (DecryptBuffer(key.c_str(), scrambled, back) != 1 || std::memcmp(back, text.data(), text.size()) != 0) {
      std::abort();
    }
  }
  std::free(scrambled);
  return 0;
}
