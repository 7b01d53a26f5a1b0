#include "library/crypto/blowfish.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qvaiso {
namespace {

inline uint32_t LoadBigEndian(const uint8_t* bytes) {
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap32(value);
  return value;
}

inline void StoreBigEndian(uint8_t* bytes, uint32_t value) {
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap32(value);
  std::memcpy(bytes, &value, sizeof value);
}

// The round function: the four S-boxes indexed by the four bytes of x, most
// significant byte into the first box.
#define QV_BF_F(x) \
  ((((s0[(x) >> 24] + s1[((x) >> 16) & 0xff]) ^ s2[((x) >> 8) & 0xff]) + s3[(x) & 0xff]))

// Sixteen rounds without the half swap: each line does two rounds.
#define QV_BF_ENCRYPT(l, r)                                             \
  do {                                                                  \
    l ^= p[0];                                                          \
    r ^= QV_BF_F(l) ^ p[1];  l ^= QV_BF_F(r) ^ p[2];                    \
    r ^= QV_BF_F(l) ^ p[3];  l ^= QV_BF_F(r) ^ p[4];                    \
    r ^= QV_BF_F(l) ^ p[5];  l ^= QV_BF_F(r) ^ p[6];                    \
    r ^= QV_BF_F(l) ^ p[7];  l ^= QV_BF_F(r) ^ p[8];                    \
    r ^= QV_BF_F(l) ^ p[9];  l ^= QV_BF_F(r) ^ p[10];                   \
    r ^= QV_BF_F(l) ^ p[11]; l ^= QV_BF_F(r) ^ p[12];                   \
    r ^= QV_BF_F(l) ^ p[13]; l ^= QV_BF_F(r) ^ p[14];                   \
    r ^= QV_BF_F(l) ^ p[15]; l ^= QV_BF_F(r) ^ p[16];                   \
    r ^= p[17];                                                         \
    std::swap(l, r);                                                    \
  } while (0)

#define QV_BF_DECRYPT(l, r)                                             \
  do {                                                                  \
    l ^= p[17];                                                         \
    r ^= QV_BF_F(l) ^ p[16]; l ^= QV_BF_F(r) ^ p[15];                   \
    r ^= QV_BF_F(l) ^ p[14]; l ^= QV_BF_F(r) ^ p[13];                   \
    r ^= QV_BF_F(l) ^ p[12]; l ^= QV_BF_F(r) ^ p[11];                   \
    r ^= QV_BF_F(l) ^ p[10]; l ^= QV_BF_F(r) ^ p[9];                    \
    r ^= QV_BF_F(l) ^ p[8];  l ^= QV_BF_F(r) ^ p[7];                    \
    r ^= QV_BF_F(l) ^ p[6];  l ^= QV_BF_F(r) ^ p[5];                    \
    r ^= QV_BF_F(l) ^ p[4];  l ^= QV_BF_F(r) ^ p[3];                    \
    r ^= QV_BF_F(l) ^ p[2];  l ^= QV_BF_F(r) ^ p[1];                    \
    r ^= p[0];                                                          \
    std::swap(l, r);                                                    \
  } while (0)

// Local copies of the table pointers let the compiler keep them in registers.
#define QV_BF_TABLES(schedule)               \
  const uint32_t* const p = (schedule).p;    \
  const uint32_t* const s0 = (schedule).s[0]; \
  const uint32_t* const s1 = (schedule).s[1]; \
  const uint32_t* const s2 = (schedule).s[2]; \
  const uint32_t* const s3 = (schedule).s[3]

void CheckBufferLength(size_t length) {
  if (length == 0 || length % BlowfishCipher::kBlockSize != 0) {
    throw BlowfishError("Incorrect buffer length");
  }
}

}  // namespace

BlowfishMode BlowfishModeFromNumber(int value) {
  switch (value) {
    case 1:
      return BlowfishMode::Cbc;
    case 2:
      return BlowfishMode::Cfb64;
    default:
      return BlowfishMode::Ecb;
  }
}

BlowfishCipher::BlowfishCipher(const uint8_t* key, size_t keyLength, uint32_t ivLeft,
                               uint32_t ivRight)
    : ivLeft_(ivLeft), ivRight_(ivRight) {
  if (keyLength == 0 || key == nullptr) throw BlowfishError("Incorrect key length");
  keyLength = std::min(keyLength, kMaxKeyLength);

  std::memcpy(schedule_.p, blowfish_detail::kPiP, sizeof schedule_.p);
  std::memcpy(schedule_.s, blowfish_detail::kPiS, sizeof schedule_.s);

  // XOR the key, cycled and read big-endian, into the P-array.
  size_t next = 0;
  for (uint32_t& word : schedule_.p) {
    uint32_t keyWord = 0;
    for (int i = 0; i < 4; ++i) {
      keyWord = (keyWord << 8) | key[next];
      next = next + 1 == keyLength ? 0 : next + 1;
    }
    word ^= keyWord;
  }

  // Replace P and then the S-boxes with the successive encryptions of the
  // all-zero block under the schedule built so far.
  QV_BF_TABLES(schedule_);
  uint32_t l = 0;
  uint32_t r = 0;
  for (size_t i = 0; i < 18; i += 2) {
    QV_BF_ENCRYPT(l, r);
    schedule_.p[i] = l;
    schedule_.p[i + 1] = r;
  }
  for (auto& box : schedule_.s) {
    for (size_t i = 0; i < 256; i += 2) {
      QV_BF_ENCRYPT(l, r);
      box[i] = l;
      box[i + 1] = r;
    }
  }
}

void BlowfishCipher::EncryptBlock(uint32_t& left, uint32_t& right) const {
  QV_BF_TABLES(schedule_);
  uint32_t l = left;
  uint32_t r = right;
  QV_BF_ENCRYPT(l, r);
  left = l;
  right = r;
}

void BlowfishCipher::DecryptBlock(uint32_t& left, uint32_t& right) const {
  QV_BF_TABLES(schedule_);
  uint32_t l = left;
  uint32_t r = right;
  QV_BF_DECRYPT(l, r);
  left = l;
  right = r;
}

void BlowfishCipher::Encrypt(uint8_t* buffer, size_t length, BlowfishMode mode) {
  CheckBufferLength(length);
  QV_BF_TABLES(schedule_);
  uint8_t* const end = buffer + length;
  switch (mode) {
    case BlowfishMode::Ecb: {
      uint8_t* block = buffer;
      // Two independent blocks per step keep both dependency chains busy.
      for (; end - block >= 16; block += 16) {
        uint32_t l1 = LoadBigEndian(block), r1 = LoadBigEndian(block + 4);
        uint32_t l2 = LoadBigEndian(block + 8), r2 = LoadBigEndian(block + 12);
        QV_BF_ENCRYPT(l1, r1);
        QV_BF_ENCRYPT(l2, r2);
        StoreBigEndian(block, l1);
        StoreBigEndian(block + 4, r1);
        StoreBigEndian(block + 8, l2);
        StoreBigEndian(block + 12, r2);
      }
      if (block != end) {
        uint32_t l = LoadBigEndian(block), r = LoadBigEndian(block + 4);
        QV_BF_ENCRYPT(l, r);
        StoreBigEndian(block, l);
        StoreBigEndian(block + 4, r);
      }
      break;
    }
    case BlowfishMode::Cbc: {
      uint32_t chainL = ivLeft_, chainR = ivRight_;
      for (uint8_t* block = buffer; block != end; block += 8) {
        uint32_t l = LoadBigEndian(block) ^ chainL, r = LoadBigEndian(block + 4) ^ chainR;
        QV_BF_ENCRYPT(l, r);
        StoreBigEndian(block, l);
        StoreBigEndian(block + 4, r);
        chainL = l;
        chainR = r;
      }
      break;
    }
    case BlowfishMode::Cfb64: {
      uint32_t chainL = ivLeft_, chainR = ivRight_;
      for (uint8_t* block = buffer; block != end; block += 8) {
        QV_BF_ENCRYPT(chainL, chainR);
        chainL ^= LoadBigEndian(block);
        chainR ^= LoadBigEndian(block + 4);
        StoreBigEndian(block, chainL);
        StoreBigEndian(block + 4, chainR);
      }
      break;
    }
  }
}

void BlowfishCipher::Decrypt(uint8_t* buffer, size_t length, BlowfishMode mode) {
  CheckBufferLength(length);
  QV_BF_TABLES(schedule_);
  uint8_t* const end = buffer + length;
  switch (mode) {
    case BlowfishMode::Ecb: {
      uint8_t* block = buffer;
      for (; end - block >= 16; block += 16) {
        uint32_t l1 = LoadBigEndian(block), r1 = LoadBigEndian(block + 4);
        uint32_t l2 = LoadBigEndian(block + 8), r2 = LoadBigEndian(block + 12);
        QV_BF_DECRYPT(l1, r1);
        QV_BF_DECRYPT(l2, r2);
        StoreBigEndian(block, l1);
        StoreBigEndian(block + 4, r1);
        StoreBigEndian(block + 8, l2);
        StoreBigEndian(block + 12, r2);
      }
      if (block != end) {
        uint32_t l = LoadBigEndian(block), r = LoadBigEndian(block + 4);
        QV_BF_DECRYPT(l, r);
        StoreBigEndian(block, l);
        StoreBigEndian(block + 4, r);
      }
      break;
    }
    case BlowfishMode::Cbc: {
      // Every block's chaining value is the ciphertext before it, so two
      // blocks can be deciphered side by side.
      uint32_t chainL = ivLeft_, chainR = ivRight_;
      uint8_t* block = buffer;
      for (; end - block >= 16; block += 16) {
        const uint32_t c1l = LoadBigEndian(block), c1r = LoadBigEndian(block + 4);
        const uint32_t c2l = LoadBigEndian(block + 8), c2r = LoadBigEndian(block + 12);
        uint32_t l1 = c1l, r1 = c1r, l2 = c2l, r2 = c2r;
        QV_BF_DECRYPT(l1, r1);
        QV_BF_DECRYPT(l2, r2);
        StoreBigEndian(block, l1 ^ chainL);
        StoreBigEndian(block + 4, r1 ^ chainR);
        StoreBigEndian(block + 8, l2 ^ c1l);
        StoreBigEndian(block + 12, r2 ^ c1r);
        chainL = c2l;
        chainR = c2r;
      }
      if (block != end) {
        const uint32_t cl = LoadBigEndian(block), cr = LoadBigEndian(block + 4);
        uint32_t l = cl, r = cr;
        QV_BF_DECRYPT(l, r);
        StoreBigEndian(block, l ^ chainL);
        StoreBigEndian(block + 4, r ^ chainR);
      }
      break;
    }
    case BlowfishMode::Cfb64: {
      // Decryption also runs the cipher forwards over the register.
      uint32_t chainL = ivLeft_, chainR = ivRight_;
      for (uint8_t* block = buffer; block != end; block += 8) {
        QV_BF_ENCRYPT(chainL, chainR);
        const uint32_t cl = LoadBigEndian(block), cr = LoadBigEndian(block + 4);
        StoreBigEndian(block, cl ^ chainL);
        StoreBigEndian(block + 4, cr ^ chainR);
        chainL = cl;
        chainR = cr;
      }
      break;
    }
  }
}

}  // namespace qvaiso
