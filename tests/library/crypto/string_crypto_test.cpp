// Pass-phrase string encryption: round trips, the Windows-compatible content
// key, the base64-only fallback when the key container cannot be opened, and
// SetupCrypto's container handling and failure reports.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "library/crypto/crypto.h"
#include "library/crypto/string_crypto.h"
#include "platform/eventlog/eventlog.h"
#include "platform/keystore/keystore.h"
#include "tests/common/test_support.h"
#include "tests/library/crypto/test_hex.h"

namespace {

using qv::testing::ReadFile;
using qv::testing::ScopedEnv;
using qv::testing::TempDir;
using qv::testing::WriteFile;

constexpr size_t kCapacity = qvaiso::kStringCryptoCapacity;
const char kPassPhrase[] = "123456789";

class StringCryptoTest : public ::testing::Test {
 protected:
  StringCryptoTest() : keys_(dir_.File("machine-keys")), env_("QUORVIA_MACHINE_KEYS", keys_) {}

  std::string ContainerPath() const { return keys_ + "/QV_Key"; }

  // EncryptString into a fresh buffer; the result code goes to *result.
  std::string Encrypt(const std::string& plain, int32_t* result,
                      const char* passPhrase = kPassPhrase) {
    std::string output(kCapacity, '\x7f');
    *result = EncryptString(passPhrase, plain.c_str(), output.data());
    return output.c_str();
  }
  std::string Decrypt(const std::string& cipher, int32_t* result,
                      const char* passPhrase = kPassPhrase) {
    std::string output(kCapacity, '\x7f');
    *result = DecryptString(passPhrase, cipher.c_str(), output.data());
    return output.c_str();
  }

  TempDir dir_;
  std::string keys_;
  ScopedEnv env_;
  qv::eventlog::ScopedCapture events_;
};

// A storage whose reads or writes fail, to stand for a container the process
// may not touch (the tests may run as root, where file modes do not stop it).
class FailingStorage : public qv::keystore::Storage {
 public:
  int readError = 0;
  int replaceError = 0;
  int failReplaceAfter = 0;  // replacements that succeed before the failures
  int ReadFile(const std::string& path, std::string* contents) override {
    return readError != 0 ? readError : qv::keystore::DefaultStorage().ReadFile(path, contents);
  }
  int CreateFile(const std::string& path, const std::string& contents) override {
    return qv::keystore::DefaultStorage().CreateFile(path, contents);
  }
  int ReplaceFile(const std::string& path, const std::string& contents) override {
    if (replaceError != 0 && failReplaceAfter-- <= 0) return replaceError;
    return qv::keystore::DefaultStorage().ReplaceFile(path, contents);
  }
  int MakeDirectories(const std::string& path) override {
    return qv::keystore::DefaultStorage().MakeDirectories(path);
  }
};

class ScopedStorage {
 public:
  explicit ScopedStorage(qv::keystore::Storage* storage) { qv::keystore::SetStorageForTesting(storage); }
  ~ScopedStorage() { qv::keystore::SetStorageForTesting(nullptr); }
};

std::string RandomText(std::mt19937& random, size_t length) {
  std::string text(length, ' ');
  for (char& c : text) c = static_cast<char>(1 + random() % 255);
  return text;
}

TEST_F(StringCryptoTest, RoundTripsEveryLengthUpTo765) {
  std::mt19937 random(765);
  for (size_t length = 1; length <= 765; ++length) {
    const std::string plain = RandomText(random, length);
    int32_t result = -1;
    const std::string cipher = Encrypt(plain, &result);
    ASSERT_EQ(result, 1) << length;
    ASSERT_EQ(cipher.size(), 4 * ((length + 2) / 3)) << length;
    EXPECT_EQ(Decrypt(cipher, &result), plain) << length;
    EXPECT_EQ(result, 1);
  }
}

TEST_F(StringCryptoTest, TooLongAndEmptyPlaintextsFail) {
  int32_t result = -1;
  EXPECT_EQ(Encrypt(std::string(766, 'x'), &result), "");
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Encrypt("", &result), "");
  EXPECT_EQ(result, 0);
}

// The content key is the whole MD5 digest of the pass phrase (see
// string_crypto.cpp); these ciphertexts were computed with an independent
// RC4 keyed with that digest.
TEST_F(StringCryptoTest, CiphertextMatchesTheWindowsKeyDerivation) {
  int32_t result = -1;
  EXPECT_EQ(Encrypt("Secret password", &result), "04TmfFRGiQZVekfjA5Xp");
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Encrypt("p", &result, "987654321"), "jg==");
  EXPECT_EQ(Decrypt("04TmfFRGiQZVekfjA5Xp", &result), "Secret password");
  EXPECT_EQ(result, 1);
}

TEST(ContentKey, FortyBitKeysCarryElevenBytesOfZeroSalt) {
  qvaiso::Md5Digest digest;
  for (size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<uint8_t>(0xa0 + i);
  EXPECT_EQ(qv::testing::ToHex(qvaiso::DeriveRc4Key(digest, 40)),
            "A0A1A2A3A40000000000000000000000");
  EXPECT_EQ(qv::testing::ToHex(qvaiso::DeriveRc4Key(digest, 128)),
            "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF");
}

TEST(ContentKey, FortyBitVariantDecryptsTextsOfBaseProviderMachines) {
  auto providers = qvaiso::CipherProviders::Load();
  ASSERT_NE(providers, nullptr);
  qvaiso::Md5Digest digest;
  ASSERT_TRUE(providers->Md5(kPassPhrase, &digest));
  EXPECT_EQ(qv::testing::ToHex(digest.data(), digest.size()), "25F9E794323B453885F5181F1B624D0B");
  // "JJ6ptf299UU+r5tIV+oE" is "Secret password" under the 40-bit key.
  const std::vector<uint8_t> cipher = qv::testing::FromHex("249EA9B5FDBDF5453EAF9B4857EA04");
  std::vector<uint8_t> data = cipher;
  ASSERT_TRUE(providers->Rc4(qvaiso::DeriveRc4Key(digest, 40), data.data(), data.size()));
  EXPECT_EQ(std::string(data.begin(), data.end()), "Secret password");
}

TEST_F(StringCryptoTest, CiphertextIsDeterministicAndWhitespaceIsIgnored) {
  int32_t result = -1;
  const std::string cipher = Encrypt("the same text", &result);
  EXPECT_EQ(Encrypt("the same text", &result), cipher);
  std::string spaced;
  for (char c : cipher) {
    spaced += c;
    spaced += " \r\n\t"[spaced.size() % 4];
  }
  EXPECT_EQ(Decrypt(spaced, &result), "the same text");
  EXPECT_EQ(result, 1);
}

TEST_F(StringCryptoTest, InvalidBase64Fails) {
  ASSERT_EQ(SetupCrypto(), 1);
  int32_t result = -1;
  for (const char* bad : {"ab!d", "abc", "a===", "YQ==YQ==", "YR=="}) {
    EXPECT_EQ(Decrypt(bad, &result), "") << bad;
    EXPECT_EQ(result, 0) << bad;
  }
  // 1023 bytes and the terminator fill the output; 1024 bytes do not fit.
  std::string fits;
  for (int i = 0; i < 341; ++i) fits += "YWFh";
  Decrypt(fits, &result);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(Decrypt(fits + "YQ==", &result), "");
  EXPECT_EQ(result, 0);
}

TEST_F(StringCryptoTest, WrongPassPhraseStillSucceeds) {
  int32_t result = -1;
  const std::string cipher = Encrypt("a secret", &result);
  const std::string other = Decrypt(cipher, &result, "000000000");
  EXPECT_EQ(result, 1);
  EXPECT_NE(other, "a secret");
}

TEST_F(StringCryptoTest, MissingContainerFallsBackToBase64) {
  // The key directory cannot exist below a regular file.
  ASSERT_TRUE(WriteFile(dir_.File("file"), "x"));
  ScopedEnv blocked("QUORVIA_MACHINE_KEYS", dir_.File("file") + "/keys");
  int32_t result = -1;
  EXPECT_EQ(Encrypt("plain text", &result), "cGxhaW4gdGV4dA==");
  EXPECT_EQ(result, 10);
  EXPECT_EQ(Decrypt("cGxhaW4gdGV4dA==", &result), "plain text");
  EXPECT_EQ(result, 10);
  EXPECT_EQ(Decrypt("not base64!", &result), "");
  EXPECT_EQ(result, 10);
  EXPECT_EQ(Encrypt(std::string(766, 'x'), &result), "");
  EXPECT_EQ(result, 0);
}

TEST_F(StringCryptoTest, UnreadableContainerFallsBackToBase64) {
  ASSERT_EQ(SetupCrypto(), 1);
  FailingStorage storage;
  storage.readError = EACCES;
  ScopedStorage scoped(&storage);
  int32_t result = -1;
  EXPECT_EQ(Encrypt("plain text", &result), "cGxhaW4gdGV4dA==");
  EXPECT_EQ(result, 10);
  EXPECT_EQ(Decrypt("cGxhaW4gdGV4dA==", &result), "plain text");
  EXPECT_EQ(result, 10);
}

TEST_F(StringCryptoTest, ContainerWithoutPermissionsFallsBackToBase64) {
  ASSERT_EQ(SetupCrypto(), 1);
  ASSERT_EQ(::chmod(ContainerPath().c_str(), 0), 0);
  if (::geteuid() != 0) {
    int32_t result = -1;
    EXPECT_EQ(Encrypt("plain text", &result), "cGxhaW4gdGV4dA==");
    EXPECT_EQ(result, 10);
    return;
  }
  // File modes do not stop root: try as an ordinary account in a child.
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(3);
    int32_t result = -1;
    std::string output = Encrypt("plain text", &result);
    ::_exit(output == "cGxhaW4gdGV4dA==" && result == 10 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no fallback to 10; 3: could not drop privileges";
}

TEST_F(StringCryptoTest, SetupCryptoCreatesOnceWithOwnerOnlyPermissions) {
  ASSERT_EQ(SetupCrypto(), 1);
  const std::string first = ReadFile(ContainerPath());
  ASSERT_FALSE(first.empty());
  struct stat info;
  ASSERT_EQ(::stat(ContainerPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  qv::keystore::Container container;
  ASSERT_EQ(qv::keystore::Container::Open("QV_Key", &container), qv::keystore::Status::Ok);
  EXPECT_TRUE(container.HasKeyPair(qv::keystore::KeySpec::Signature));
  EXPECT_TRUE(container.HasKeyPair(qv::keystore::KeySpec::KeyExchange));

  EXPECT_EQ(SetupCrypto(), 1);
  EXPECT_EQ(ReadFile(ContainerPath()), first);  // new keys would change the file
  EXPECT_TRUE(events_.sink().entries().empty());
}

TEST_F(StringCryptoTest, ConcurrentFirstCallsAllSucceed) {
  std::vector<int32_t> results(6, -1);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&results, i] { results[i] = SetupCrypto(); });
  }
  for (auto& thread : threads) thread.join();
  for (int32_t result : results) EXPECT_EQ(result, 1);
  EXPECT_TRUE(events_.sink().entries().empty());
  int32_t result = -1;
  EXPECT_EQ(Decrypt(Encrypt("after the race", &result), &result), "after the race");
  EXPECT_EQ(result, 1);
}

TEST_F(StringCryptoTest, SetupCryptoCompletesAHalfMadeContainer) {
  qv::keystore::Container container;
  ASSERT_EQ(qv::keystore::Container::Create("QV_Key", &container), qv::keystore::Status::Ok);
  ASSERT_EQ(container.GenerateKeyPair(qv::keystore::KeySpec::Signature), qv::keystore::Status::Ok);
  const std::string before = ReadFile(ContainerPath());
  ASSERT_EQ(SetupCrypto(), 1);
  ASSERT_EQ(qv::keystore::Container::Open("QV_Key", &container), qv::keystore::Status::Ok);
  EXPECT_TRUE(container.HasKeyPair(qv::keystore::KeySpec::KeyExchange));
  // The signature key pair was kept.
  const std::string after = ReadFile(ContainerPath());
  EXPECT_EQ(after.substr(0, before.size()), before);
}

// The text every report carries after its message.
void ExpectReport(const qv::eventlog::Entry& entry, const std::string& message) {
  EXPECT_EQ(entry.type, qv::eventlog::EventType::Error);
  EXPECT_EQ(entry.source, "Quorvia");
  EXPECT_EQ(entry.eventId, 10000u);
  ASSERT_EQ(entry.strings.size(), 2u);
  const std::string& text = entry.strings[1];
  const std::string prefix = message + ". Last Error: ";
  ASSERT_EQ(text.substr(0, prefix.size()), prefix) << text;
  const size_t user = text.find("\nCurrent User: ");
  ASSERT_NE(user, std::string::npos) << text;
  EXPECT_EQ(entry.strings[0],
            "Quorvia System Option Provider error: " + text.substr(prefix.size(), user - prefix.size()));
  const std::string account = text.substr(user + 15, text.find('\n', user + 1) - user - 15);
  EXPECT_NE(account.find('\\'), std::string::npos) << account;
  EXPECT_NE(text.find("\nProcess: crypto_test"), std::string::npos) << text;
}

TEST_F(StringCryptoTest, SetupCryptoReportsAContainerItCannotCreate) {
  ASSERT_TRUE(WriteFile(dir_.File("file"), "x"));
  ScopedEnv blocked("QUORVIA_MACHINE_KEYS", dir_.File("file") + "/keys");
  EXPECT_EQ(SetupCrypto(), 0);
  const auto entries = events_.sink().entries();
  ASSERT_EQ(entries.size(), 1u);
  ExpectReport(entries[0],
               "SetupCrypto::CryptAcquireContext failed to create key container. This probably "
               "indicates insufficient privileges to the [appdata]\\Microsoft\\Crypto\\RSA\\"
               "MachineKeys directory.");
  // The Windows number for a path that does not lead to a folder.
  EXPECT_NE(entries[0].strings[1].find("Last Error: 3\n"), std::string::npos) << entries[0].strings[1];
}

TEST_F(StringCryptoTest, SetupCryptoReportsFailedKeyGeneration) {
  FailingStorage storage;
  storage.replaceError = EIO;
  {
    ScopedStorage scoped(&storage);
    EXPECT_EQ(SetupCrypto(), 0);
  }
  storage.failReplaceAfter = 1;
  {
    ScopedStorage scoped(&storage);
    EXPECT_EQ(SetupCrypto(), 0);
  }
  const auto entries = events_.sink().entries();
  ASSERT_EQ(entries.size(), 2u);
  ExpectReport(entries[0], "SetupCrypto::CryptGetUserKey(AT_SIGNATURE) error during CryptGenKey");
  ExpectReport(entries[1], "SetupCrypto::CryptGetUserKey(AT_KEYEXCHANGE) incurred an error");
  EXPECT_EQ(SetupCrypto(), 1);  // nothing lost: the next call completes the container
}

TEST_F(StringCryptoTest, CorruptContainerIsNeitherUsedNorReplaced) {
  ASSERT_EQ(::mkdir(keys_.c_str(), 0700), 0);
  ASSERT_TRUE(WriteFile(ContainerPath(), "not a key container"));
  EXPECT_EQ(SetupCrypto(), 0);
  EXPECT_EQ(ReadFile(ContainerPath()), "not a key container");
  int32_t result = -1;
  EXPECT_EQ(Encrypt("abc", &result), "YWJj");
  EXPECT_EQ(result, 10);
}

TEST_F(StringCryptoTest, WithoutTheLegacyProviderEncryptionFailsCleanly) {
  EXPECT_EQ(qvaiso::CipherProviders::Load("/nonexistent/ossl-modules"), nullptr);
  ASSERT_EQ(SetupCrypto(), 1);
  char output[kCapacity];
  EXPECT_EQ(qvaiso::EncryptStringWith(nullptr, kPassPhrase, "text", output), 0);
  EXPECT_STREQ(output, "");
  EXPECT_EQ(qvaiso::DecryptStringWith(nullptr, kPassPhrase, "dGV4dA==", output), 0);
  EXPECT_STREQ(output, "");
}

TEST_F(StringCryptoTest, NullPointersGiveZero) {
  char output[kCapacity] = "keep";
  EXPECT_EQ(EncryptString(nullptr, "text", output), 0);
  EXPECT_STREQ(output, "");
  EXPECT_EQ(EncryptString(kPassPhrase, nullptr, output), 0);
  EXPECT_EQ(EncryptString(kPassPhrase, "text", nullptr), 0);
  EXPECT_EQ(DecryptString(nullptr, "dGV4dA==", output), 0);
  EXPECT_EQ(DecryptString(kPassPhrase, nullptr, output), 0);
  EXPECT_EQ(DecryptString(kPassPhrase, "dGV4dA==", nullptr), 0);
}

}  // namespace
