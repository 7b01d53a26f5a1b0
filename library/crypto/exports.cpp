// The C boundary of the crypto family: pointer and length checks, and no
// exception ever leaves a function.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "library/crypto/blowfish.h"
#include "library/crypto/crypto.h"
#include "library/crypto/hex_scrambler.h"
#include "library/crypto/string_crypto.h"

namespace {

using qvaiso::BlowfishCipher;
using qvaiso::BlowfishError;
using qvaiso::ScrambleStatus;

// Fails a Blowfish call: null buffer, zero length.
int32_t BlowfishFailure(unsigned char** output, int32_t* outputLength) {
  if (output != nullptr) *output = nullptr;
  if (outputLength != nullptr) *outputLength = 0;
  return 0;
}

// True when the key and data arguments describe readable buffers.
bool ValidBlowfishArguments(const unsigned char* key, int32_t keyLength, const unsigned char* data,
                            int32_t dataLength, unsigned char** output, int32_t* outputLength) {
  return output != nullptr && outputLength != nullptr && keyLength > 0 && key != nullptr &&
         dataLength >= 0 && (data != nullptr || dataLength == 0);
}

}  // namespace

extern "C" {

int32_t SetupCrypto(void) {
  try {
    return qvaiso::SetupCryptoContainer();
  } catch (...) {
    return 0;
  }
}

int32_t EncryptString(const char* passPhrase, const char* plainText, char* output) {
  try {
    return qvaiso::EncryptStringWith(qvaiso::CipherProviders::Shared(), passPhrase, plainText,
                                     output);
  } catch (...) {
    if (output != nullptr) output[0] = '\0';
    return 0;
  }
}

int32_t DecryptString(const char* passPhrase, const char* cipherText, char* output) {
  try {
    return qvaiso::DecryptStringWith(qvaiso::CipherProviders::Shared(), passPhrase, cipherText,
                                     output);
  } catch (...) {
    if (output != nullptr) output[0] = '\0';
    return 0;
  }
}

int32_t Blowfish_Encrypt(const unsigned char* key, int32_t keyLength, const unsigned char* data,
                         int32_t dataLength, unsigned char** output, int32_t* outputLength,
                         int32_t mode) {
  if (!ValidBlowfishArguments(key, keyLength, data, dataLength, output, outputLength) ||
      dataLength > INT32_MAX - 8) {
    return BlowfishFailure(output, outputLength);
  }
  const size_t length = static_cast<size_t>(dataLength);
  const size_t padded = length + 8 - length % 8;
  auto* buffer = static_cast<unsigned char*>(std::malloc(padded));
  if (buffer == nullptr) return BlowfishFailure(output, outputLength);
  try {
    if (length > 0) std::memcpy(buffer, data, length);
    buffer[length] = 0x80;
    std::memset(buffer + length + 1, 0, padded - length - 1);
    BlowfishCipher cipher(key, static_cast<size_t>(keyLength));
    cipher.Encrypt(buffer, padded, qvaiso::BlowfishModeFromNumber(mode));
  } catch (...) {
    std::free(buffer);
    return BlowfishFailure(output, outputLength);
  }
  *output = buffer;
  *outputLength = static_cast<int32_t>(padded);
  return 1;
}

int32_t Blowfish_Decrypt(const unsigned char* key, int32_t keyLength, const unsigned char* data,
                         int32_t dataLength, unsigned char** output, int32_t* outputLength,
                         int32_t mode) {
  if (!ValidBlowfishArguments(key, keyLength, data, dataLength, output, outputLength) ||
      dataLength == 0 || dataLength % 8 != 0) {
    return BlowfishFailure(output, outputLength);
  }
  const size_t length = static_cast<size_t>(dataLength);
  auto* buffer = static_cast<unsigned char*>(std::malloc(length));
  if (buffer == nullptr) return BlowfishFailure(output, outputLength);
  try {
    BlowfishCipher cipher(key, static_cast<size_t>(keyLength));
    std::memcpy(buffer, data, length);
    cipher.Decrypt(buffer, length, qvaiso::BlowfishModeFromNumber(mode));
  } catch (...) {
    std::free(buffer);
    return BlowfishFailure(output, outputLength);
  }
  // Back over the zero padding, never past the first byte; the byte where
  // the scan stops is the 0x80 marker (its value is not checked).
  size_t end = length - 1;
  while (end > 0 && buffer[end] == 0) --end;
  buffer[end] = 0;  // the marker becomes a terminator for text callers
  *output = buffer;
  *outputLength = static_cast<int32_t>(end);
  return 1;
}

void Blowfish_FreeOutput(unsigned char* buffer) { std::free(buffer); }

int32_t EncryptBuffer(const char* keyText, const char* plainText, char* output, int32_t capacity) {
  if (capacity < 0) return 0;
  if (keyText == nullptr || plainText == nullptr || output == nullptr) {
    if (output != nullptr && capacity > 0) output[0] = '\0';
    return 0;
  }
  try {
    return qvaiso::ScrambleText(keyText, plainText, output, static_cast<size_t>(capacity)) ==
                   ScrambleStatus::Ok
               ? 1
               : 0;
  } catch (...) {
    if (capacity > 0) output[0] = '\0';
    return 0;
  }
}

int32_t DecryptBuffer(const char* keyText, const char* scrambledText, char* output) {
  if (output == nullptr) return 0;
  if (keyText == nullptr || scrambledText == nullptr) {
    output[0] = '\0';
    return 0;
  }
  try {
    return qvaiso::UnscrambleText(keyText, scrambledText, output) == ScrambleStatus::Ok ? 1 : 0;
  } catch (...) {
    output[0] = '\0';
    return 0;
  }
}

}  // extern "C"
