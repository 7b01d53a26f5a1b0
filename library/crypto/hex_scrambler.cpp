#include "library/crypto/hex_scrambler.h"

#include <cstring>
#include <utility>

namespace qvaiso {
namespace {

// The scramble constant; the salt row is its 12 characters and a zero byte.
constexpr char kScrambleConstant[] = "KTBWQE%&LPZH";
constexpr size_t kScrambleConstantLength = 12;
constexpr size_t kSaltLength = 13;

constexpr char kHexDigits[] = "0123456789abcdef";

// Signed 32-bit arithmetic that wraps instead of overflowing.
inline int32_t WrapAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t WrapMul(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

inline int32_t Signed8(char c) { return static_cast<int8_t>(static_cast<uint8_t>(c)); }

// The value of one digit for ReadHexPair, or -1 when reading stops there.
int DigitValue(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= '*' && u <= '?') return u & 0x0f;
  if (u >= 'a' && u <= 'f') return u - 'a' + 10;
  if (u >= 'A' && u <= 'F') return u - 'A' + 10;
  return -1;
}

void WriteEmpty(char* output, size_t capacity) {
  if (capacity > 0) output[0] = '\0';
}

}  // namespace

int32_t PassPhraseSeed(std::string_view keyText) {
  int32_t seed = 0;
  int32_t position = 1;
  for (char c : keyText) {
    seed = WrapAdd(seed, WrapMul(Signed8(c), position));
    position = WrapAdd(position, 1);
  }
  return seed;
}

ScrambleTable BuildScrambleTable(int32_t seed) {
  int32_t a = WrapAdd(seed, 123);
  for (int32_t i = 0; i < static_cast<int32_t>(kScrambleConstantLength); ++i) {
    a = WrapAdd(WrapMul(a, Signed8(kScrambleConstant[i])), i);
  }

  ScrambleTable table;
  for (int i = 0; i < 256; ++i) table[i] = static_cast<uint8_t>(i < 128 ? i : i - 128);

  for (int i = 0; i < 256; ++i) {
    // The salt row's 13th byte is the constant's terminator, zero.
    a = WrapAdd(WrapMul(a, 5), Signed8(kScrambleConstant[i % kSaltLength]));
    // C++ '%' truncates toward zero, so the remainder keeps a's sign; the AND
    // then takes the low byte of its two's-complement form.
    const int32_t remainder = a % 65521;
    const int r = (remainder & 0xff) % (256 - i);
    std::swap(table[255 - i], table[r]);
  }
  return table;
}

int ScrambleOffset(std::string_view plainText) {
  int8_t sum = 0;
  for (char c : plainText) sum = static_cast<int8_t>(sum + Signed8(c));
  while (sum < 0) sum = static_cast<int8_t>(sum + 31);
  return sum;
}

int ReadHexPair(char first, char second) {
  int value = 0;
  for (char c : {first, second}) {
    const int digit = DigitValue(c);
    if (digit < 0) break;
    value = value * 16 + digit;
  }
  return value;
}

ScrambleStatus ScrambleText(std::string_view keyText, std::string_view plainText, char* output,
                            size_t capacity) {
  if (keyText.empty()) {
    if (capacity == 0) return plainText.empty() ? ScrambleStatus::Ok : ScrambleStatus::NoRoom;
    if (plainText.size() + 1 > capacity) {
      output[0] = '\0';
      return ScrambleStatus::NoRoom;
    }
    std::memcpy(output, plainText.data(), plainText.size());
    output[plainText.size()] = '\0';
    return ScrambleStatus::Ok;
  }
  if (plainText.empty()) {
    WriteEmpty(output, capacity);
    return ScrambleStatus::Ok;
  }
  if (plainText.size() > kScrambleMaxPlainLength) {
    WriteEmpty(output, capacity);
    return ScrambleStatus::TooLong;
  }
  const ScrambleTable table = BuildScrambleTable(PassPhraseSeed(keyText));
  if (capacity == 0) return ScrambleStatus::Ok;

  // The offset pair needs room of its own; without it the output is empty.
  if (capacity < 3) {
    output[0] = '\0';
    return ScrambleStatus::Ok;
  }
  const int offset = ScrambleOffset(plainText);
  size_t used = 0;
  output[used++] = kHexDigits[offset >> 4];
  output[used++] = kHexDigits[offset & 0xf];
  for (size_t k = 0; k < plainText.size() && used + 3 <= capacity; ++k) {
    // offset <= 127 and k <= 128, so the index stays inside the table.
    const uint8_t value = static_cast<uint8_t>(plainText[k]) ^ table[offset + k];
    output[used++] = kHexDigits[value >> 4];
    output[used++] = kHexDigits[value & 0xf];
  }
  output[used] = '\0';
  return ScrambleStatus::Ok;
}

ScrambleStatus UnscrambleText(std::string_view keyText, std::string_view scrambledText,
                              char* output, size_t* outputLength) {
  auto finish = [&](ScrambleStatus status, size_t length) {
    output[length] = '\0';
    if (outputLength != nullptr) *outputLength = length;
    return status;
  };
  if (keyText.empty()) {
    if (scrambledText.size() + 1 > kUnscrambleOutputCapacity) {
      return finish(ScrambleStatus::NoRoom, 0);
    }
    std::memcpy(output, scrambledText.data(), scrambledText.size());
    return finish(ScrambleStatus::Ok, scrambledText.size());
  }
  if (scrambledText.empty()) return finish(ScrambleStatus::Ok, 0);
  if (scrambledText.size() > kScrambleMaxScrambledLength) {
    return finish(ScrambleStatus::TooLong, 0);
  }
  if (scrambledText.size() % 2 != 0) return finish(ScrambleStatus::OddLength, 0);

  const int offset = ReadHexPair(scrambledText[0], scrambledText[1]);
  if (offset > 0x7f) return finish(ScrambleStatus::BadOffset, 0);

  const ScrambleTable table = BuildScrambleTable(PassPhraseSeed(keyText));
  // At most 64 pairs in 128 characters: 63 bytes after the offset pair.
  size_t length = 0;
  for (size_t pos = 2; pos + 1 < scrambledText.size(); pos += 2) {
    const int value = ReadHexPair(scrambledText[pos], scrambledText[pos + 1]);
    output[length] = static_cast<char>(table[offset + length] ^ value);
    ++length;
  }
  return finish(ScrambleStatus::Ok, length);
}

}  // namespace qvaiso
