#include <cstring>
#include <string>

#include "library/support/support.h"
#include "tests/common/test_support.h"

namespace qvaiso {
namespace {

std::string Encode(const std::string& bytes, int capacity = 1024) {
  std::string out(static_cast<size_t>(capacity), '#');
  int n = Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()),
                       out.data(), capacity);
  if (n < 0) return "<fail>";
  EXPECT_EQ(out[static_cast<size_t>(n)], '\0');
  return out.substr(0, static_cast<size_t>(n));
}

// The decoded bytes, or "<fail>".
std::string Decode(const char* text, int capacity = 1024) {
  std::string out(static_cast<size_t>(capacity), '\0');
  int n = Base64Decode(text, reinterpret_cast<unsigned char*>(out.data()), capacity);
  return n < 0 ? "<fail>" : out.substr(0, static_cast<size_t>(n));
}

TEST(Base64, EncodesTheStandardVectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, coded] : vectors) {
    EXPECT_EQ(Encode(plain), coded) << plain;
    EXPECT_EQ(Decode(coded), plain) << coded;
  }
  EXPECT_EQ(Encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
}

TEST(Base64, EncodeNeedsRoomForTheTerminator) {
  EXPECT_EQ(Encode("foo", 5), "Zm9v");
  EXPECT_EQ(Encode("foo", 4), "<fail>");
  EXPECT_EQ(Encode("", 1), "");
  EXPECT_EQ(Base64Encode(nullptr, 3, nullptr, 10), -1);
  char out[8];
  EXPECT_EQ(Base64Encode(reinterpret_cast<const unsigned char*>("x"), -1, out, 8), -1);
}

TEST(Base64, DecodeSkipsWhitespaceAnywhere) {
  EXPECT_EQ(Decode(" Zm9v\r\nYm Fy\t"), "foobar");
  EXPECT_EQ(Decode("Zm8\n="), "fo");
  EXPECT_EQ(Decode("Zg= =  \n"), "f");
}

TEST(Base64, DecodeIsStrictAboutPaddingAndAlphabet) {
  EXPECT_EQ(Decode("Zm9v!"), "<fail>");   // outside the alphabet
  EXPECT_EQ(Decode("Zg="), "<fail>");     // two characters need two "="
  EXPECT_EQ(Decode("Zm8=="), "<fail>");   // three characters need one
  EXPECT_EQ(Decode("Zm9v="), "<fail>");   // nothing to pad
  EXPECT_EQ(Decode("Z"), "<fail>");       // a lone character is no group
  EXPECT_EQ(Decode("Zg"), "<fail>");      // padding missing
  EXPECT_EQ(Decode("Zg==Zg=="), "<fail>");  // only whitespace after padding
  EXPECT_EQ(Decode("Zh=="), "<fail>");    // unused low bits set
  EXPECT_EQ(Decode("Zm9="), "<fail>");
  EXPECT_EQ(Decode("Zm8="), "fo");
  EXPECT_EQ(Decode(""), "");
  EXPECT_EQ(Base64Decode(nullptr, nullptr, 0), -1);
}

TEST(Base64, DecodeNeverWritesPastTheCapacity) {
  // Exactly sized buffers work; one byte less fails without writing past it.
  for (int length = 0; length < 20; ++length) {
    std::string bytes(static_cast<size_t>(length), '\0');
    for (int i = 0; i < length; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(i * 37 + 1);
    std::string coded = Encode(bytes);
    std::string exact(static_cast<size_t>(length) + 1, '\x55');
    ASSERT_EQ(Base64Decode(coded.c_str(), reinterpret_cast<unsigned char*>(exact.data()), length), length);
    EXPECT_EQ(exact.substr(0, static_cast<size_t>(length)), bytes);
    EXPECT_EQ(exact.back(), '\x55');
    if (length > 0) {
      std::string small(static_cast<size_t>(length), '\x55');
      EXPECT_EQ(Base64Decode(coded.c_str(), reinterpret_cast<unsigned char*>(small.data()), length - 1), -1);
      EXPECT_EQ(small.back(), '\x55') << "wrote past the capacity for length " << length;
    }
  }
}

}  // namespace
}  // namespace qvaiso
