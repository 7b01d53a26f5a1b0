// The keyed hex scrambler: a 256-byte table shuffled by a small generator
// seeded from a key text, XORed onto the text and written as lowercase hex.
// It hides a value from casual reading; it is not a cipher.
//
// Internal to libqvaiso; EncryptBuffer/DecryptBuffer in crypto.h wrap it.
// Pure functions, no state: callable from any thread.
#ifndef QVAISO_CRYPTO_HEX_SCRAMBLER_H
#define QVAISO_CRYPTO_HEX_SCRAMBLER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvaiso {

// Longest plaintext that can be scrambled and longest scrambled text that can
// be read back (the working buffers of 130 bytes, terminator included).
inline constexpr size_t kScrambleMaxPlainLength = 129;
inline constexpr size_t kScrambleMaxScrambledLength = 129;
// DecryptBuffer's output buffer: 63 bytes and the terminator.
inline constexpr size_t kUnscrambleOutputCapacity = 64;

using ScrambleTable = std::array<uint8_t, 256>;

// Sum over the key's bytes, each taken as a signed 8-bit value, of byte x
// position (first byte 1), wrapping at 32 bits.
int32_t PassPhraseSeed(std::string_view keyText);

// The table shuffled from `seed`; holds each value 0..127 twice.
ScrambleTable BuildScrambleTable(int32_t seed);

// The offset of a plaintext: its signed 8-bit byte sum, raised by 31 (in 8
// bits) while negative. Always 0..127.
int ScrambleOffset(std::string_view plainText);

// Outcome of the string operations below.
enum class ScrambleStatus {
  Ok,
  TooLong,      // plaintext over 129 bytes / scrambled text over 129 characters
  OddLength,    // scrambled text with an unpaired last digit
  BadOffset,    // offset pair above 7f
  NoRoom,       // unscrambled pass-through that does not fit
};

// Scrambles `plainText` under `keyText` into at most `capacity` bytes of
// `output`, terminator included: the offset pair, then one pair per byte,
// stopping before a pair that would not fit. An empty key copies the text
// unchanged (NoRoom when it does not fit; output is then ""); an empty text
// gives "". With capacity 0 nothing is written. On TooLong, output is "".
ScrambleStatus ScrambleText(std::string_view keyText, std::string_view plainText, char* output,
                            size_t capacity);

// Reverses ScrambleText into `output` (kUnscrambleOutputCapacity bytes). An
// empty key copies the text unchanged when it fits; an empty text gives "".
// Pairs are read leniently (see ReadHexPair). On any status but Ok, output is
// "". The decoded bytes may contain NUL when the key is wrong.
ScrambleStatus UnscrambleText(std::string_view keyText, std::string_view scrambledText,
                              char* output, size_t* outputLength = nullptr);

// Reads up to two characters as a hex value: "*" to "?" count as their low
// four bits, "a"-"f"/"A"-"F" as 10-15; reading stops at any other character
// and the value is formed from the digits read before it (none gives 0).
int ReadHexPair(char first, char second);

}  // namespace qvaiso

#endif
