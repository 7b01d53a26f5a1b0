// The Blowfish block cipher (the published algorithm: 64-bit blocks, 16
// rounds, keys of 1 to 56 bytes, initial tables from the digits of pi) with
// ECB, CBC and 64-bit CFB over whole buffers. Blocks are read and written
// big-endian: the first four bytes of a block are its left half.
//
// Internal to libqvaiso; the C exports in crypto.h wrap it and turn its errors
// into result codes.
#ifndef QVAISO_CRYPTO_BLOWFISH_H
#define QVAISO_CRYPTO_BLOWFISH_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace qvaiso {

// Raised for a key of length 0 ("Incorrect key length") and for a buffer
// whose length is not a positive multiple of 8 ("Incorrect buffer length").
class BlowfishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class BlowfishMode {
  Ecb = 0,    // each block by itself
  Cbc = 1,    // plaintext XOR chaining register, then encrypt
  Cfb64 = 2,  // encrypted register XOR block; ciphertext feeds back
};

// The mode numbered `value` by the exports; any other number means ECB.
BlowfishMode BlowfishModeFromNumber(int value);

// The expanded key: P-array and S-boxes, side by side so that one round
// touches a single structure.
struct BlowfishSchedule {
  uint32_t p[18];
  uint32_t s[4][256];
};

// One keyed cipher. Owns its key schedule and chaining register; holds no
// pointers. Not shared between threads (each caller makes its own).
class BlowfishCipher {
 public:
  static constexpr size_t kBlockSize = 8;
  static constexpr size_t kMaxKeyLength = 56;

  // Expands `key` (a longer key is cut to its first 56 bytes). The
  // initialisation vector (two 32-bit halves) is where every buffer operation
  // starts its chaining register. Throws BlowfishError for an empty key.
  BlowfishCipher(const uint8_t* key, size_t keyLength, uint32_t ivLeft = 0, uint32_t ivRight = 0);

  // Encrypt/decrypt `length` bytes in place, first block to last, starting
  // from the initialisation vector. Throws BlowfishError unless `length` is a
  // positive multiple of 8.
  void Encrypt(uint8_t* buffer, size_t length, BlowfishMode mode);
  void Decrypt(uint8_t* buffer, size_t length, BlowfishMode mode);

  // One block, halves in registers.
  void EncryptBlock(uint32_t& left, uint32_t& right) const;
  void DecryptBlock(uint32_t& left, uint32_t& right) const;

 private:
  BlowfishSchedule schedule_;
  uint32_t ivLeft_;
  uint32_t ivRight_;
};

namespace blowfish_detail {
// The initial tables (hexadecimal digits of pi).
extern const uint32_t kPiP[18];
extern const uint32_t kPiS[4][256];
}  // namespace blowfish_detail

}  // namespace qvaiso

#endif
