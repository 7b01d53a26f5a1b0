// The keyed hex scrambler: known outputs, round trips, the lenient digit
// reader, and that no input makes the exports write past their buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <string>

#include "library/crypto/crypto.h"
#include "library/crypto/hex_scrambler.h"

namespace {

using qvaiso::BuildScrambleTable;
using qvaiso::PassPhraseSeed;
using qvaiso::ReadHexPair;
using qvaiso::ScrambleOffset;

std::string Scramble(const std::string& key, const std::string& text, int32_t capacity = 300) {
  std::string output(static_cast<size_t>(std::max(capacity, 1)), '\x7f');
  EXPECT_EQ(EncryptBuffer(key.c_str(), text.c_str(), output.data(), capacity), 1);
  return output.c_str();
}

std::string Unscramble(const std::string& key, const std::string& text, int32_t expected = 1) {
  char output[qvaiso::kUnscrambleOutputCapacity];
  EXPECT_EQ(DecryptBuffer(key.c_str(), text.c_str(), output), expected) << text;
  return output;
}

// A text of `length` random bytes without NUL.
std::string RandomText(std::mt19937& random, size_t length) {
  std::string text(length, ' ');
  for (char& c : text) c = static_cast<char>(1 + random() % 255);
  return text;
}

// Outputs computed separately from the scheme's definition, covering signed
// key bytes, a key long enough for the seed to wrap, and a negative byte sum.
TEST(HexScrambler, KnownOutputs) {
  EXPECT_EQ(PassPhraseSeed("Quorvia"), 3003);
  EXPECT_EQ(Scramble("Quorvia", "hello world"), "5c1a7a1c2409792257050526");
  EXPECT_EQ(PassPhraseSeed("\xe9t\xe9\xff\x80key"), 1813);
  EXPECT_EQ(Scramble("\xe9t\xe9\xff\x80key", "P@ss\xe9word!"), "3c05741b5ff80d445c1c06");
  const std::string longKey(8000, 'z');
  EXPECT_EQ(PassPhraseSeed(longKey), -390479296);
  EXPECT_EQ(Scramble(longKey, "wraparound"), "436f700869322e1512237f");
  EXPECT_EQ(PassPhraseSeed("\x80\x80\x80"), -768);
  EXPECT_EQ(Scramble("\x80\x80\x80", "\xfc"), "1b82");
  EXPECT_EQ(Scramble(std::string(300, 'K'),
                     "A long enough text to use more of the table, 0123456789"),
            "136c3a204e3125480f6450783f6c33065077501c540f4b5266360e362e6f4d761e1e5d2c6e655e3b1068"
            "3b2917680e4603504d027c620e2e");
}

TEST(HexScrambler, TableHoldsEveryValueTwice) {
  for (int32_t seed : {0, 1, -1, 3003, INT_MAX, INT_MIN}) {
    auto table = BuildScrambleTable(seed);
    std::sort(table.begin(), table.end());
    for (int i = 0; i < 256; ++i) ASSERT_EQ(table[i], i / 2) << "seed " << seed;
  }
}

TEST(HexScrambler, OffsetIsTheSignedSumRaisedBy31WhileNegative) {
  EXPECT_EQ(ScrambleOffset("\xfc"), 27);  // -4
  EXPECT_EQ(ScrambleOffset("d"), 100);
  EXPECT_EQ(ScrambleOffset("\x80"), 27);  // -128 -> -97 -> -66 -> -35 -> -4 -> 27
  EXPECT_EQ(ScrambleOffset("\x7f\x01"), 27);  // 128 wraps to -128
  EXPECT_EQ(Scramble("key", "d").substr(0, 2), "64");
}

TEST(HexScrambler, RoundTripsEveryLengthUpTo63) {
  std::mt19937 random(63);
  for (size_t length = 1; length <= 63; ++length) {
    const std::string key = RandomText(random, 1 + random() % 20);
    const std::string text = RandomText(random, length);
    const std::string scrambled = Scramble(key, text);
    ASSERT_EQ(scrambled.size(), 2 + 2 * length);
    EXPECT_EQ(scrambled.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(Unscramble(key, scrambled), text) << "length " << length;
  }
}

TEST(HexScrambler, DeterministicAndTheOffsetDependsOnlyOnTheText) {
  const std::string a = Scramble("first key", "the same text");
  EXPECT_EQ(Scramble("first key", "the same text"), a);
  const std::string b = Scramble("second key", "the same text");
  EXPECT_EQ(a.substr(0, 2), b.substr(0, 2));
  EXPECT_NE(a, b);
  EXPECT_NE(Unscramble("second key", a), "the same text");  // no check on decoding
}

TEST(HexScrambler, EmptyKeyPassesThroughAndEmptyTextGivesEmpty) {
  EXPECT_EQ(Scramble("", "plain text"), "plain text");
  EXPECT_EQ(Unscramble("", "plain text"), "plain text");
  EXPECT_EQ(Scramble("key", ""), "");
  EXPECT_EQ(Unscramble("key", ""), "");
}

TEST(HexScrambler, ReadsDigitsOfEitherCaseAndLeniently) {
  const std::string scrambled = Scramble("Case", "Mixed Case");
  std::string upper = scrambled;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_EQ(Unscramble("Case", upper), "Mixed Case");

  EXPECT_EQ(ReadHexPair('*', '?'), 0xaf);
  EXPECT_EQ(ReadHexPair(':', ';'), 0xab);
  EXPECT_EQ(ReadHexPair('F', 'a'), 0xfa);
  EXPECT_EQ(ReadHexPair('1', 'g'), 0x1);  // stops at 'g': one digit read
  EXPECT_EQ(ReadHexPair('g', '1'), 0);    // no digit
  EXPECT_EQ(ReadHexPair('@', '0'), 0);
}

TEST(HexScrambler, OutputStopsBeforeTheCapacity) {
  const std::string full = Scramble("key", "abcdef");
  ASSERT_EQ(full.size(), 14u);
  for (int32_t capacity = 1; capacity <= 16; ++capacity) {
    std::string buffer(32, '\x7f');
    ASSERT_EQ(EncryptBuffer("key", "abcdef", buffer.data(), capacity), 1);
    const std::string written = buffer.c_str();
    // Only whole pairs after the offset pair, and never past the capacity.
    const size_t expected = capacity < 3 ? 0 : std::min<size_t>(14, (capacity - 1) / 2 * 2);
    EXPECT_EQ(written, full.substr(0, expected)) << "capacity " << capacity;
    EXPECT_EQ(buffer.find_first_not_of('\x7f', static_cast<size_t>(capacity)), std::string::npos);
  }
  char untouched[4] = {'x', 'y', 'z', '\0'};
  EXPECT_EQ(EncryptBuffer("key", "abcdef", untouched, 0), 1);
  EXPECT_STREQ(untouched, "xyz");
}

TEST(HexScrambler, RefusesTextsOutsideTheWorkingBuffers) {
  char output[400];
  EXPECT_EQ(EncryptBuffer("key", std::string(129, 'a').c_str(), output, sizeof output), 1);
  EXPECT_EQ(std::strlen(output), 2u + 2 * 129);
  EXPECT_EQ(EncryptBuffer("key", std::string(130, 'a').c_str(), output, sizeof output), 0);
  EXPECT_STREQ(output, "");
  // An empty key copies only what fits.
  EXPECT_EQ(EncryptBuffer("", "too long", output, 8), 0);
  EXPECT_STREQ(output, "");

  const std::string longest = Scramble("key", std::string(63, 'b'));
  EXPECT_EQ(Unscramble("key", longest), std::string(63, 'b'));
  EXPECT_EQ(Unscramble("key", longest + "00", 0), "");         // 130 characters
  EXPECT_EQ(Unscramble("key", longest.substr(0, 127), 0), "");  // odd length
  EXPECT_EQ(Unscramble("key", "8000", 0), "");                  // offset above 7f
  Unscramble("key", "7f00");                                   // offset 7f is the top
  EXPECT_EQ(Unscramble("", std::string(64, 'c'), 0), "");       // pass-through too long
  EXPECT_EQ(Unscramble("", std::string(63, 'c')), std::string(63, 'c'));
}

TEST(HexScrambler, DecryptBufferWritesAtMost64Bytes) {
  std::mt19937 random(64);
  for (int i = 0; i < 200; ++i) {
    std::string text(2 * (random() % 65), ' ');
    for (char& c : text) c = "0123456789abcdefABCDEF*?:g"[random() % 26];
    text[0] = '0' + random() % 8;  // keep the offset legal
    char output[128];
    std::memset(output, 0x7f, sizeof output);
    DecryptBuffer("any key", text.c_str(), output);
    for (size_t k = qvaiso::kUnscrambleOutputCapacity; k < sizeof output; ++k) {
      ASSERT_EQ(output[k], 0x7f) << text;
    }
  }
}

TEST(HexScrambler, NullPointersGiveZero) {
  char output[8] = "keep";
  EXPECT_EQ(EncryptBuffer(nullptr, "text", output, 8), 0);
  EXPECT_STREQ(output, "");
  EXPECT_EQ(EncryptBuffer("key", nullptr, output, 8), 0);
  EXPECT_EQ(EncryptBuffer("key", "text", nullptr, 8), 0);
  EXPECT_EQ(EncryptBuffer("key", "text", output, -1), 0);
  EXPECT_EQ(DecryptBuffer(nullptr, "00", output), 0);
  EXPECT_EQ(DecryptBuffer("key", nullptr, output), 0);
  EXPECT_EQ(DecryptBuffer("key", "00", nullptr), 0);
}

}  // namespace
