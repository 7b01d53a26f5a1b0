// String encryption on CryptoAPI: the container in the machine key set, and
// texts that come out as RC4 under the whole MD5 digest of the pass phrase,
// which is what the POSIX build computes.
#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "library/crypto/crypto.h"
#include "library/crypto/string_crypto.h"
#include "library/support/support.h"
#include "platform/keystore/keystore.h"

namespace {

// RC4 as published, for an independent check of CryptoAPI's output.
std::string Rc4(const std::vector<uint8_t>& key, std::string data) {
  uint8_t s[256];
  for (int i = 0; i < 256; ++i) s[i] = static_cast<uint8_t>(i);
  for (int i = 0, j = 0; i < 256; ++i) {
    j = (j + s[i] + key[i % key.size()]) & 0xff;
    std::swap(s[i], s[j]);
  }
  for (size_t n = 0, i = 0, j = 0; n < data.size(); ++n) {
    i = (i + 1) & 0xff;
    j = (j + s[i]) & 0xff;
    std::swap(s[i], s[j]);
    data[n] = static_cast<char>(data[n] ^ s[(s[i] + s[j]) & 0xff]);
  }
  return data;
}

std::string Base64(const std::string& bytes) {
  char out[2048];
  const int n = qvaiso::Base64Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
                                     static_cast<int>(bytes.size()), out, sizeof out);
  return n < 0 ? "" : std::string(out, static_cast<size_t>(n));
}

class WindowsStringCrypto : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(SetupCrypto(), 1); }
};

TEST_F(WindowsStringCrypto, SetupCryptoLeavesBothKeyPairsInTheMachineKeySet) {
  HCRYPTPROV provider = 0;
  ASSERT_TRUE(CryptAcquireContextA(&provider, "QV_Key", MS_DEF_PROV_A, PROV_RSA_FULL, CRYPT_MACHINE_KEYSET))
      << GetLastError();
  for (DWORD keySpec : {AT_SIGNATURE, AT_KEYEXCHANGE}) {
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGetUserKey(provider, keySpec, &key)) << keySpec;
    if (key) CryptDestroyKey(key);
  }
  CryptReleaseContext(provider, 0);
  EXPECT_EQ(SetupCrypto(), 1);  // a second call finds everything in place
}

TEST_F(WindowsStringCrypto, DerivedKeyIsTheWholeMd5Digest) {
  const qvaiso::CipherProviders* providers = qvaiso::CipherProviders::Shared();
  ASSERT_NE(providers, nullptr);
  for (const char* pass : {"123456789", "", "pass phrase with spaces", "\xe9t\xe9"}) {
    qvaiso::Md5Digest digest;
    ASSERT_TRUE(providers->Md5(pass, &digest));
    std::vector<uint8_t> key;
    ASSERT_TRUE(providers->ContentKey(pass, &key));
    EXPECT_EQ(key, qvaiso::DeriveRc4Key(digest, 128)) << pass;
  }
}

TEST_F(WindowsStringCrypto, EncryptStringIsRc4UnderTheDigestInBase64) {
  const qvaiso::CipherProviders* providers = qvaiso::CipherProviders::Shared();
  ASSERT_NE(providers, nullptr);
  std::mt19937 random(7);
  for (size_t length : {1u, 2u, 3u, 64u, 500u, 765u}) {
    std::string plain(length, '\0');
    for (char& c : plain) c = static_cast<char>(1 + random() % 255);
    const std::string pass = std::to_string(100000000 + random() % 900000000);
    qvaiso::Md5Digest digest;
    ASSERT_TRUE(providers->Md5(pass, &digest));
    const std::vector<uint8_t> key(digest.begin(), digest.end());

    char output[1024];
    ASSERT_EQ(EncryptString(pass.c_str(), plain.c_str(), output), 1);
    EXPECT_EQ(output, Base64(Rc4(key, plain))) << length;
    char back[1024];
    ASSERT_EQ(DecryptString(pass.c_str(), output, back), 1);
    EXPECT_EQ(back, plain) << length;
  }
}

TEST_F(WindowsStringCrypto, TextsBeyondTheLimitFailWithAnEmptyOutput) {
  const std::string plain(766, 'x');
  char output[1024];
  std::memset(output, 'z', sizeof output);
  EXPECT_EQ(EncryptString("123456789", plain.c_str(), output), 0);
  EXPECT_STREQ(output, "");
  EXPECT_EQ(DecryptString("123456789", "not base64 !", output), 0);
  EXPECT_STREQ(output, "");
}

}  // namespace
