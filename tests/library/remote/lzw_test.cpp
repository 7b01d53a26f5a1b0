#include "library/remote/lzw.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using qvaiso::lzw::Compress;
using qvaiso::lzw::DecodeStatus;
using qvaiso::lzw::Decompress;

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The compression rule written out literally: the dictionary as a list of
// strings, every lookup a scan for the lowest equal entry.
std::string ReferenceCompress(const std::string& input) {
  std::vector<std::string> dictionary;
  for (int i = 0; i < 256; ++i) dictionary.emplace_back(1, static_cast<char>(i));
  auto lowestCode = [&](const std::string& s) -> int {
    for (size_t code = 0; code < dictionary.size(); ++code) {
      if (dictionary[code] == s) return static_cast<int>(code);
    }
    return -1;
  };
  std::string out;
  auto put = [&](int code) {
    out.push_back(static_cast<char>(code & 0xFF));
    out.push_back(static_cast<char>(code >> 8));
  };
  std::string phrase;
  for (char c : input) {
    if (lowestCode(phrase + c) >= 0 && phrase.size() < 62) {
      phrase += c;
      continue;
    }
    put(lowestCode(phrase));
    if (dictionary.size() < 1023) dictionary.push_back(phrase + c);
    phrase = std::string(1, c);
  }
  if (!input.empty()) put(lowestCode(phrase));
  return out;
}

std::string RandomText(std::mt19937& random, size_t size, int alphabet) {
  std::uniform_int_distribution<int> pick(0, alphabet - 1);
  std::string text(size, '\0');
  for (char& c : text) c = static_cast<char>(pick(random));
  return text;
}

TEST(LzwTest, SmallInputGivesTheExpectedCodes) {
  // A, B, AB (256), ABA (258), little-endian.
  EXPECT_EQ(Compress(Bytes("ABABABA")), std::string("\x41\x00\x42\x00\x00\x01\x02\x01", 8));
}

TEST(LzwTest, TwentyIdenticalBytesTakeFewerThanTwentyCodes) {
  const std::string input(20, 'x');
  const std::string packed = Compress(Bytes(input));
  EXPECT_LT(packed.size() / 2, 20u);
  std::string back;
  ASSERT_EQ(Decompress(Bytes(packed), input.size(), &back), DecodeStatus::Ok);
  EXPECT_EQ(back, input);
}

TEST(LzwTest, EmptyInputGivesNoCodes) {
  EXPECT_TRUE(Compress({}).empty());
  std::string back = "stale";
  EXPECT_EQ(Decompress({}, 0, &back), DecodeStatus::Ok);
  EXPECT_TRUE(back.empty());
}

TEST(LzwTest, FastLookupMatchesTheLowestCodeRule) {
  std::mt19937 random(20261207);
  std::vector<std::string> inputs = {
      std::string(300, 'a'),              // phrases reach the 62-byte limit
      std::string(5000, '\0'),            // and fill the dictionary
      RandomText(random, 3072, 4),        // many repeats, dictionary fills
      RandomText(random, 3072, 256),      // little to compress
      RandomText(random, 20000, 2),       // full dictionary, long phrases
  };
  std::string mixed;
  for (int i = 0; i < 200; ++i) mixed += "Option " + std::to_string(i % 7) + std::string(i % 70, 'z');
  inputs.push_back(mixed);
  for (const std::string& input : inputs) {
    EXPECT_EQ(Compress(Bytes(input)), ReferenceCompress(input)) << "input of " << input.size();
  }
}

TEST(LzwTest, RandomBuffersUpTo64KiBRoundTrip) {
  std::mt19937 random(42);
  for (size_t size : {1u, 2u, 63u, 64u, 1000u, 4096u, 65536u}) {
    for (int alphabet : {2, 16, 256}) {
      const std::string input = RandomText(random, size, alphabet);
      const std::string packed = Compress(Bytes(input));
      std::string back;
      ASSERT_EQ(Decompress(Bytes(packed), input.size(), &back), DecodeStatus::Ok) << size;
      EXPECT_EQ(back, input) << size << " bytes over " << alphabet;
    }
  }
}

TEST(LzwTest, DecoderRefusesMalformedCodes) {
  std::string out;
  EXPECT_EQ(Decompress(Bytes(std::string("\x41", 1)), 10, &out), DecodeStatus::Malformed);
  // The first code must be a single byte.
  EXPECT_EQ(Decompress(Bytes(std::string("\x00\x01", 2)), 10, &out), DecodeStatus::Malformed);
  // 258 is two entries ahead of the dictionary after the first code.
  EXPECT_EQ(Decompress(Bytes(std::string("\x41\x00\x02\x01", 4)), 10, &out),
            DecodeStatus::Malformed);
  // Codes beyond the dictionary's 1023 entries.
  EXPECT_EQ(Decompress(Bytes(std::string("\x41\x00\xff\xff", 4)), 10, &out),
            DecodeStatus::Malformed);
}

TEST(LzwTest, DecoderNeverWritesPastItsLimit) {
  const std::string input(1000, 'q');
  const std::string packed = Compress(Bytes(input));
  std::string out;
  EXPECT_EQ(Decompress(Bytes(packed), 999, &out), DecodeStatus::TooLong);
  EXPECT_LE(out.size(), 999u);
  EXPECT_EQ(Decompress(Bytes(packed), 1000, &out), DecodeStatus::Ok);
}

TEST(LzwTest, DecoderRefusesEntriesLongerThan63Bytes) {
  // The code just being defined, over and over: each step adds an entry one
  // byte longer than the last; the 64-byte one is refused.
  std::string codes("\x61\x00", 2);
  for (int code = 256; code < 256 + 70; ++code) {
    codes.push_back(static_cast<char>(code & 0xFF));
    codes.push_back(static_cast<char>(code >> 8));
  }
  std::string out;
  EXPECT_EQ(Decompress(Bytes(codes), 1 << 20, &out), DecodeStatus::Malformed);
}

}  // namespace
