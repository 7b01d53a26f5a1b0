// Blowfish: the published reference vectors (Eric Young's ECB set, the
// variable-key-length set and the CBC/CFB64 chaining example), agreement with
// OpenSSL's own Blowfish, and the padding and error rules of the exports.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "library/crypto/blowfish.h"
#include "library/crypto/crypto.h"
#include "tests/library/crypto/test_hex.h"

namespace {

using qv::testing::FromHex;
using qv::testing::ToHex;
using qvaiso::BlowfishCipher;
using qvaiso::BlowfishError;
using qvaiso::BlowfishMode;

struct EcbVector {
  const char* key;
  const char* plain;
  const char* cipher;
};

// Eric Young's classic ECB set.
const EcbVector kEcbVectors[] = {
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"},
    {"3000000000000000", "1000000000000001", "7D856F9A613063F2"},
    {"1111111111111111", "1111111111111111", "2466DD878B963C9D"},
    {"0123456789ABCDEF", "1111111111111111", "61F9C3802281B096"},
    {"1111111111111111", "0123456789ABCDEF", "7D0CC630AFDA1EC7"},
    {"0000000000000000", "0000000000000000", "4EF997456198DD78"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "59C68245EB05282B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "B1B8CC0B250F09A0"},
    {"07A1133E4A0B2686", "0248D43806F67172", "1730E5778BEA1DA4"},
    {"3849674C2602319E", "51454B582DDF440A", "A25E7856CF2651EB"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "353882B109CE8F1A"},
    {"0113B970FD34F2CE", "059B5E0851CF143A", "48F4D0884C379918"},
    {"0170F175468FB5E6", "0756D8E0774761D2", "432193B78951FC98"},
    {"43297FAD38E373FE", "762514B829BF486A", "13F04154D69D1AE5"},
    {"07A7137045DA2A16", "3BDD119049372802", "2EEDDA93FFD39C79"},
    {"04689104C2FD3B2F", "26955F6835AF609A", "D887E0393C2DA6E3"},
    {"37D06BB516CB7546", "164D5E404F275232", "5F99D04F5B163969"},
    {"1F08260D1AC2465E", "6B056E18759F5CCA", "4A057A3B24D3977B"},
    {"584023641ABA6176", "004BD6EF09176062", "452031C1E4FADA8E"},
    {"025816164629B007", "480D39006EE762F2", "7555AE39F59B87BD"},
    {"49793EBC79B3258F", "437540C8698F3CFA", "53C55F9CB49FC019"},
    {"4FB05E1515AB73A7", "072D43A077075292", "7A8E7BFA937E89A3"},
    {"49E95D6D4CA229BF", "02FE55778117F12A", "CF9C5D7A4986ADB5"},
    {"018310DC409B26D6", "1D9D5C5018F728C2", "D1ABB290658BC778"},
    {"1C587F1C13924FEF", "305532286D6F295A", "55CB3774D13EF201"},
    {"0101010101010101", "0123456789ABCDEF", "FA34EC4847B268B2"},
    {"1F1F1F1F0E0E0E0E", "0123456789ABCDEF", "A790795108EA3CAE"},
    {"E0FEE0FEF1FEF1FE", "0123456789ABCDEF", "C39E072D9FAC631D"},
    {"0000000000000000", "FFFFFFFFFFFFFFFF", "014933E0CDAFF6E4"},
    {"FFFFFFFFFFFFFFFF", "0000000000000000", "F21E9A77B71C49BC"},
    {"0123456789ABCDEF", "0000000000000000", "245946885754369A"},
    {"FEDCBA9876543210", "FFFFFFFFFFFFFFFF", "6B5C5A9C5D9E0A5A"},
};

// The variable-key-length set: the first n bytes of this key, n = 1..24,
// encrypting FEDCBA9876543210.
const char kVariableKey[] = "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677";
const char* const kVariableKeyCiphers[] = {
    "F9AD597C49DB005E", "E91D21C1D961A6D6", "E9C2B70A1BC65CF3", "BE1E639408640F05",
    "B39E44481BDB1E6E", "9457AA83B1928C0D", "8BB77032F960629D", "E87A244E2CC85E82",
    "15750E7A4F4EC577", "122BA70B3AB64AE0", "3A833C9AFFC537F6", "9409DA87A90F6BF2",
    "884F80625060B8B4", "1F85031C19E11968", "79D9373A714CA34F", "93142887EE3BE15C",
    "03429E838CE2D14B", "A4299E27469FF67B", "AFD5AED1C1BC96A8", "10851C0E3858DA9F",
    "E6F51ED79B9DB21F", "64A6E14AFD36B46F", "80C7D7D45A5479AD", "05044B62FA52D080",
};

// The chaining example: key, IV, and "7654321 Now is the time for " with its
// terminator (29 bytes).
const char kChainKey[] = "0123456789ABCDEFF0E1D2C3B4A59687";
const uint32_t kChainIvLeft = 0xFEDCBA98;
const uint32_t kChainIvRight = 0x76543210;
const char kChainPlain[] = "37363534333231204E6F77206973207468652074696D6520666F722000";
const char kChainCbc[] = "6B77B4D63006DEE605B156E27403979358DEB9E7154616D959F1652BD5FF92CC";
const char kChainCfb64[] = "E73214A2822139CAF26ECF6D2EB9E76E3DA3DE04D1517200519D57A6C3";

std::vector<uint8_t> RandomBytes(std::mt19937& random, size_t length) {
  std::vector<uint8_t> bytes(length);
  for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
  return bytes;
}

TEST(BlowfishVectors, EcbReferenceSetEncryptsAndDecrypts) {
  for (const EcbVector& vector : kEcbVectors) {
    const std::vector<uint8_t> key = FromHex(vector.key);
    std::vector<uint8_t> block = FromHex(vector.plain);
    BlowfishCipher cipher(key.data(), key.size());
    cipher.Encrypt(block.data(), block.size(), BlowfishMode::Ecb);
    EXPECT_EQ(ToHex(block), vector.cipher) << "key " << vector.key;
    cipher.Decrypt(block.data(), block.size(), BlowfishMode::Ecb);
    EXPECT_EQ(ToHex(block), vector.plain) << "key " << vector.key;
  }
}

TEST(BlowfishVectors, VariableKeyLengthSet) {
  const std::vector<uint8_t> fullKey = FromHex(kVariableKey);
  for (size_t length = 1; length <= fullKey.size(); ++length) {
    std::vector<uint8_t> block = FromHex("FEDCBA9876543210");
    BlowfishCipher cipher(fullKey.data(), length);
    cipher.Encrypt(block.data(), block.size(), BlowfishMode::Ecb);
    EXPECT_EQ(ToHex(block), kVariableKeyCiphers[length - 1]) << "key length " << length;
  }
}

TEST(BlowfishVectors, CbcExampleWithItsIv) {
  const std::vector<uint8_t> key = FromHex(kChainKey);
  std::vector<uint8_t> data = FromHex(kChainPlain);
  data.resize(32, 0);  // the example pads with zeros to whole blocks
  BlowfishCipher cipher(key.data(), key.size(), kChainIvLeft, kChainIvRight);
  cipher.Encrypt(data.data(), data.size(), BlowfishMode::Cbc);
  EXPECT_EQ(ToHex(data), kChainCbc);
  cipher.Decrypt(data.data(), data.size(), BlowfishMode::Cbc);
  std::vector<uint8_t> expected = FromHex(kChainPlain);
  expected.resize(32, 0);
  EXPECT_EQ(data, expected);
}

TEST(BlowfishVectors, Cfb64ExampleWithItsIv) {
  const std::vector<uint8_t> key = FromHex(kChainKey);
  std::vector<uint8_t> data = FromHex(kChainPlain);
  const size_t length = data.size();
  data.resize(32, 0);  // CFB is a stream: the first 29 bytes are the example's
  BlowfishCipher cipher(key.data(), key.size(), kChainIvLeft, kChainIvRight);
  cipher.Encrypt(data.data(), data.size(), BlowfishMode::Cfb64);
  EXPECT_EQ(ToHex(data.data(), length), kChainCfb64);
  cipher.Decrypt(data.data(), data.size(), BlowfishMode::Cfb64);
  EXPECT_EQ(ToHex(data.data(), length), kChainPlain);
}

TEST(BlowfishCipherTest, EveryBufferOperationStartsFromTheIv) {
  const std::vector<uint8_t> key = FromHex(kChainKey);
  BlowfishCipher cipher(key.data(), key.size(), kChainIvLeft, kChainIvRight);
  std::vector<uint8_t> first = FromHex(kChainPlain);
  first.resize(32, 0);
  std::vector<uint8_t> second = first;
  cipher.Encrypt(first.data(), first.size(), BlowfishMode::Cbc);
  cipher.Encrypt(second.data(), second.size(), BlowfishMode::Cbc);
  EXPECT_EQ(first, second);
}

TEST(BlowfishCipherTest, RejectsEmptyKeysAndPartialBlocks) {
  const uint8_t key[1] = {1};
  try {
    BlowfishCipher cipher(key, 0);
    FAIL() << "an empty key was accepted";
  } catch (const BlowfishError& error) {
    EXPECT_STREQ(error.what(), "Incorrect key length");
  }
  BlowfishCipher cipher(key, 1);
  uint8_t buffer[16] = {};
  for (size_t length : {0, 1, 7, 9, 15}) {
    try {
      cipher.Encrypt(buffer, length, BlowfishMode::Ecb);
      FAIL() << "length " << length << " was accepted";
    } catch (const BlowfishError& error) {
      EXPECT_STREQ(error.what(), "Incorrect buffer length");
    }
    EXPECT_THROW(cipher.Decrypt(buffer, length, BlowfishMode::Cbc), BlowfishError);
  }
}

TEST(BlowfishCipherTest, KeysAreCutToFiftySixBytes) {
  std::mt19937 random(56);
  const std::vector<uint8_t> key = RandomBytes(random, 80);
  const std::vector<uint8_t> plain = RandomBytes(random, 64);
  auto encrypt = [&](size_t keyLength) {
    std::vector<uint8_t> data = plain;
    BlowfishCipher(key.data(), keyLength).Encrypt(data.data(), data.size(), BlowfishMode::Cbc);
    return data;
  };
  EXPECT_EQ(encrypt(57), encrypt(56));
  EXPECT_EQ(encrypt(80), encrypt(56));
  EXPECT_NE(encrypt(56), encrypt(55));  // the 56th byte still counts
}

// OpenSSL's Blowfish is an independent implementation of the same algorithm:
// every mode over buffers of 1 to 21 blocks (odd and even counts take
// different paths here) must agree with it.
TEST(BlowfishCipherTest, AgreesWithOpenSsl) {
  std::mt19937 random(2024);
  for (size_t blocks = 1; blocks <= 21; ++blocks) {
    const std::vector<uint8_t> key = RandomBytes(random, 1 + random() % 56);
    const std::vector<uint8_t> plain = RandomBytes(random, blocks * 8);
    const uint32_t ivLeft = random(), ivRight = random();
    uint8_t ivBytes[8];
    for (int i = 0; i < 4; ++i) {
      ivBytes[i] = static_cast<uint8_t>(ivLeft >> (24 - 8 * i));
      ivBytes[4 + i] = static_cast<uint8_t>(ivRight >> (24 - 8 * i));
    }
    BF_KEY reference;
    BF_set_key(&reference, static_cast<int>(key.size()), key.data());
    BlowfishCipher cipher(key.data(), key.size(), ivLeft, ivRight);

    std::vector<uint8_t> ours = plain, theirs(plain.size());
    cipher.Encrypt(ours.data(), ours.size(), BlowfishMode::Ecb);
    for (size_t i = 0; i < plain.size(); i += 8) {
      BF_ecb_encrypt(plain.data() + i, theirs.data() + i, &reference, BF_ENCRYPT);
    }
    EXPECT_EQ(ours, theirs) << "ECB, " << blocks << " blocks";
    cipher.Decrypt(ours.data(), ours.size(), BlowfishMode::Ecb);
    EXPECT_EQ(ours, plain);

    ours = plain;
    uint8_t iv[8];
    std::memcpy(iv, ivBytes, 8);
    cipher.Encrypt(ours.data(), ours.size(), BlowfishMode::Cbc);
    BF_cbc_encrypt(plain.data(), theirs.data(), static_cast<long>(plain.size()), &reference, iv,
                   BF_ENCRYPT);
    EXPECT_EQ(ours, theirs) << "CBC, " << blocks << " blocks";
    cipher.Decrypt(ours.data(), ours.size(), BlowfishMode::Cbc);
    EXPECT_EQ(ours, plain);

    ours = plain;
    std::memcpy(iv, ivBytes, 8);
    int used = 0;
    cipher.Encrypt(ours.data(), ours.size(), BlowfishMode::Cfb64);
    BF_cfb64_encrypt(plain.data(), theirs.data(), static_cast<long>(plain.size()), &reference, iv,
                     &used, BF_ENCRYPT);
    EXPECT_EQ(ours, theirs) << "CFB64, " << blocks << " blocks";
    cipher.Decrypt(ours.data(), ours.size(), BlowfishMode::Cfb64);
    EXPECT_EQ(ours, plain);
  }
}

// ---- The exports ----

// Owns a buffer from the exports.
struct Output {
  unsigned char* data = nullptr;
  int32_t length = -1;
  ~Output() { Blowfish_FreeOutput(data); }
  std::vector<uint8_t> bytes() const { return {data, data + length}; }
};

const unsigned char kKey[] = "export key";
const int32_t kKeyLength = 10;

TEST(BlowfishExports, PadsWithAMarkerAndZerosAlways) {
  for (int32_t length : {0, 1, 7, 8, 9, 15, 16, 100}) {
    std::vector<uint8_t> data(static_cast<size_t>(length), 0x41);
    Output encrypted;
    ASSERT_EQ(Blowfish_Encrypt(kKey, kKeyLength, data.data(), length, &encrypted.data,
                               &encrypted.length, QVAISO_BLOWFISH_ECB),
              1);
    EXPECT_EQ(encrypted.length, length + 8 - length % 8) << length;

    // Deciphered without the export, the padding is visible.
    std::vector<uint8_t> padded = encrypted.bytes();
    BlowfishCipher(kKey, kKeyLength).Decrypt(padded.data(), padded.size(), BlowfishMode::Ecb);
    std::vector<uint8_t> expected = data;
    expected.push_back(0x80);
    expected.resize(padded.size(), 0);
    EXPECT_EQ(padded, expected) << length;
  }
}

TEST(BlowfishExports, RoundTripsInEveryModeIncludingTrailingZeros) {
  std::mt19937 random(7);
  for (int32_t mode : {QVAISO_BLOWFISH_ECB, QVAISO_BLOWFISH_CBC, QVAISO_BLOWFISH_CFB}) {
    for (int32_t length = 0; length <= 40; ++length) {
      std::vector<uint8_t> data = RandomBytes(random, static_cast<size_t>(length));
      if (length > 2) data[length - 1] = data[length - 2] = 0;
      Output encrypted, decrypted;
      ASSERT_EQ(Blowfish_Encrypt(kKey, kKeyLength, data.data(), length, &encrypted.data,
                                 &encrypted.length, mode),
                1);
      ASSERT_EQ(Blowfish_Decrypt(kKey, kKeyLength, encrypted.data, encrypted.length,
                                 &decrypted.data, &decrypted.length, mode),
                1);
      EXPECT_EQ(decrypted.length, length) << "mode " << mode;
      EXPECT_EQ(decrypted.bytes(), data) << "mode " << mode;
    }
  }
}

TEST(BlowfishExports, SameInputSameOutputAndUnknownModesActAsEcb) {
  const unsigned char data[] = "some text to hide";
  Output first, second, unknown, ecb;
  ASSERT_EQ(Blowfish_Encrypt(kKey, kKeyLength, data, 17, &first.data, &first.length, 1), 1);
  ASSERT_EQ(Blowfish_Encrypt(kKey, kKeyLength, data, 17, &second.data, &second.length, 1), 1);
  EXPECT_EQ(first.bytes(), second.bytes());
  ASSERT_EQ(Blowfish_Encrypt(kKey, kKeyLength, data, 17, &unknown.data, &unknown.length, 7), 1);
  ASSERT_EQ(Blowfish_Encrypt(kKey, kKeyLength, data, 17, &ecb.data, &ecb.length, 0), 1);
  EXPECT_EQ(unknown.bytes(), ecb.bytes());
  EXPECT_NE(unknown.bytes(), first.bytes());
}

TEST(BlowfishExports, FirstBlockOfAPublishedVector) {
  const std::vector<uint8_t> key = FromHex("FEDCBA9876543210");
  const std::vector<uint8_t> plain = FromHex("0123456789ABCDEF");
  Output encrypted;
  ASSERT_EQ(Blowfish_Encrypt(key.data(), 8, plain.data(), 8, &encrypted.data, &encrypted.length,
                             QVAISO_BLOWFISH_ECB),
            1);
  ASSERT_EQ(encrypted.length, 16);
  EXPECT_EQ(ToHex(encrypted.data, 8), "0ACEAB0FC6A0A28D");
}

TEST(BlowfishExports, AllZeroPlaintextGivesLengthZero) {
  std::vector<uint8_t> zeros(16, 0);
  BlowfishCipher(kKey, kKeyLength).Encrypt(zeros.data(), zeros.size(), BlowfishMode::Ecb);
  Output decrypted;
  ASSERT_EQ(Blowfish_Decrypt(kKey, kKeyLength, zeros.data(), 16, &decrypted.data,
                             &decrypted.length, QVAISO_BLOWFISH_ECB),
            1);
  EXPECT_EQ(decrypted.length, 0);
}

TEST(BlowfishExports, FailuresGiveNullAndZero) {
  const unsigned char data[16] = {};
  auto expectFailure = [](int32_t result, const Output& output) {
    EXPECT_EQ(result, 0);
    EXPECT_EQ(output.data, nullptr);
    EXPECT_EQ(output.length, 0);
  };
  {
    Output output;
    expectFailure(Blowfish_Encrypt(kKey, 0, data, 8, &output.data, &output.length, 0), output);
  }
  {
    Output output;
    expectFailure(Blowfish_Decrypt(kKey, 0, data, 8, &output.data, &output.length, 0), output);
  }
  for (int32_t length : {0, 7, 12, -8}) {
    Output output;
    expectFailure(Blowfish_Decrypt(kKey, kKeyLength, data, length, &output.data, &output.length, 0),
                  output);
  }
  {
    Output output;
    expectFailure(Blowfish_Encrypt(nullptr, 4, data, 8, &output.data, &output.length, 0), output);
  }
  {
    Output output;
    expectFailure(Blowfish_Encrypt(kKey, kKeyLength, nullptr, 8, &output.data, &output.length, 0),
                  output);
  }
  {
    Output output;
    expectFailure(Blowfish_Encrypt(kKey, kKeyLength, data, -1, &output.data, &output.length, 0),
                  output);
  }
  int32_t length = -1;
  EXPECT_EQ(Blowfish_Encrypt(kKey, kKeyLength, data, 8, nullptr, &length, 0), 0);
  EXPECT_EQ(length, 0);
  unsigned char* buffer = reinterpret_cast<unsigned char*>(&length);
  EXPECT_EQ(Blowfish_Decrypt(kKey, kKeyLength, data, 8, &buffer, nullptr, 0), 0);
  EXPECT_EQ(buffer, nullptr);
  Blowfish_FreeOutput(nullptr);
}

}  // namespace
