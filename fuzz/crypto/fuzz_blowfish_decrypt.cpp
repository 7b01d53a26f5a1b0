// Blowfish_Decrypt over arbitrary keys, modes and data; every buffer it
// returns is exactly as long as promised, and encryption round-trips.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "library/crypto/crypto.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // Byte 0: key length (0..63, so empty and over-long keys occur); byte 1: mode.
  const size_t keyLength = data[0] & 63;
  const int32_t mode = static_cast<int8_t>(data[1]);
  data += 2;
  size -= 2;
  if (keyLength > size) return 0;
  const uint8_t* key = data;
  const uint8_t* body = data + keyLength;
  const int32_t bodyLength = static_cast<int32_t>(size - keyLength);

  unsigned char* output = nullptr;
  int32_t outputLength = -1;
  const int32_t result = Blowfish_Decrypt(key, static_cast<int32_t>(keyLength), body, bodyLength,
                                          &output, &outputLength, mode);
  if (result == 1) {
    if (outputLength < 0 || outputLength >= bodyLength || bodyLength % 8 != 0) std::abort();
    volatile unsigned char last = output[bodyLength - 1];  // the whole buffer is readable
    (void)last;
  } else if (output != nullptr || outputLength != 0) {
    std::abort();
  }
  Blowfish_FreeOutput(output);

  unsigned char* encrypted = nullptr;
  int32_t encryptedLength = 0;
  if (Blowfish_Encrypt(key, static_cast<int32_t>(keyLength), body, bodyLength, &encrypted,
                       &encryptedLength, mode) == 1) {
    unsigned char* decrypted = nullptr;
    int32_t decryptedLength = 0;
    if (Blowfish_Decrypt(key, static_cast<int32_t>(keyLength), encrypted, encryptedLength,
                         &decrypted, &decryptedLength, mode) != 1 ||
        decryptedLength != bodyLength ||
        (bodyLength > 0 && std::memcmp(decrypted, body, static_cast<size_t>(bodyLength)) != 0)) {
      std::abort();
    }
    Blowfish_FreeOutput(decrypted);
  } else if (keyLength != 0) {
    std::abort();
  }
  Blowfish_FreeOutput(encrypted);
  return 0;
}
