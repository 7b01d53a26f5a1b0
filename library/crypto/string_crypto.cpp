#include "library/crypto/string_crypto.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "library/support/support.h"
#include "platform/keystore/keystore.h"

namespace qvaiso {
namespace {

using qv::keystore::Container;
using qv::keystore::KeySpec;
using qv::keystore::Status;

// Longest plaintext whose base64 form and terminator fit the 1024-byte output.
constexpr size_t kMaxPlainLength = (kStringCryptoCapacity - 1) / 4 * 3;

constexpr const char* kAcquireFailure =
    "SetupCrypto::CryptAcquireContext failed to create key container. This probably indicates "
    "insufficient privileges to the [appdata]\\Microsoft\\Crypto\\RSA\\MachineKeys directory.";
constexpr const char* kSignatureFailure =
    "SetupCrypto::CryptGetUserKey(AT_SIGNATURE) error during CryptGenKey";
constexpr const char* kExchangeFailure =
    "SetupCrypto::CryptGetUserKey(AT_KEYEXCHANGE) incurred an error";

// Reports a SetupCrypto failure as an error event. The last-error code is
// taken before anything else can change it.
void ReportCryptoFailure(const char* message) {
  const int savedErrno = errno;
  const int lastError = LastErrorCode();
  const std::string text = CryptoFailureText(message, lastError);
  errno = savedErrno;
  ReportSystemEvent(kEventError, "Quorvia", nullptr, kEventIdError, text.c_str());
}

void WriteEmpty(char* output) { output[0] = '\0'; }

}  // namespace

// ---- The content key ----
//
// EncryptString and DecryptString on Windows hash the pass phrase with MD5 and
// call CryptDeriveKey(CALG_RC4, hash, CRYPT_EXPORTABLE) on a context acquired
// without a provider name, so the key comes from the machine's default provider
// of type PROV_RSA_FULL, with that provider's default RC4 key length (the flags
// carry no length in their upper sixteen bits). What that key is:
//
//  1. The default PROV_RSA_FULL provider on current Windows (registry
//     HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider Types\Type 001,
//     value Name, and what CryptGetDefaultProvider reports) is the
//     "Microsoft Strong Cryptographic Provider". The "Microsoft Base
//     Cryptographic Provider v1.0" that SetupCrypto names only creates the
//     container; the content key is derived on the default provider's context.
//  2. Microsoft's provider tables give the default RC4 key lengths: Base
//     provider 40 bits, Strong and Enhanced providers 128 bits.
//  3. CryptDeriveKey takes the first n bytes of the hash value as an n-byte
//     key. MD5 yields 16 bytes, exactly the 128 bits needed.
//  4. Salt: by default only keys of exactly 40 bits get salt (eleven zero
//     bytes, for compatibility with the first Base provider; CRYPT_NO_SALT
//     turns it off). Every other length gets none, so the 128-bit key has none.
//
// So the RC4 key is the whole 16-byte MD5 digest of the pass phrase's bytes
// (strlen, no terminator), and the RC4 keystream starts at its first byte for
// every text (no IV, one final call).
//
// For the record, a machine whose default were the Base provider (as Windows
// 2000 and earlier shipped) would derive a 40-bit key with zero salt: the
// first 5 digest bytes followed by 11 zero bytes, again a 16-byte RC4 key.
// DeriveRc4Key(digest, 40) builds that key; texts from such machines decrypt
// only with it.
std::vector<uint8_t> DeriveRc4Key(const Md5Digest& digest, unsigned keyBits) {
  const size_t keyBytes = std::min<size_t>(keyBits / 8, digest.size());
  std::vector<uint8_t> key(digest.begin(), digest.begin() + keyBytes);
  if (keyBits == 40) key.resize(16, 0);  // the eleven bytes of zero salt
  return key;
}

// ---- The operations ----

std::string CryptoFailureText(const char* message, int lastError) {
  std::string text = message;
  text += ". Last Error: ";
  text += std::to_string(lastError);
  text += "\nCurrent User: ";
  text += CurrentAccount();
  text += "\nProcess: ";
  text += ProcessName();
  return text;
}

int SetupCryptoContainer() {
  Container container;
  if (Container::Open(kCryptoContainerName, &container) != Status::Ok) {
    Status created = Container::Create(kCryptoContainerName, &container);
    // Another caller may have created it since it was looked for.
    if (created == Status::AlreadyExists) created = Container::Open(kCryptoContainerName, &container);
    if (created != Status::Ok) {
      ReportCryptoFailure(kAcquireFailure);
      return kStringCryptoFailure;
    }
  }
  if (!container.HasKeyPair(KeySpec::Signature) &&
      container.GenerateKeyPair(KeySpec::Signature) != Status::Ok) {
    ReportCryptoFailure(kSignatureFailure);
    return kStringCryptoFailure;
  }
  if (!container.HasKeyPair(KeySpec::KeyExchange) &&
      container.GenerateKeyPair(KeySpec::KeyExchange) != Status::Ok) {
    ReportCryptoFailure(kExchangeFailure);
    return kStringCryptoFailure;
  }
  return kStringCryptoSuccess;
}

int EncryptStringWith(const CipherProviders* providers, const char* passPhrase,
                      const char* plainText, char* output) {
  if (output == nullptr) return kStringCryptoFailure;
  WriteEmpty(output);
  if (passPhrase == nullptr || plainText == nullptr) return kStringCryptoFailure;

  SetupCryptoContainer();  // its result is not consulted: opening decides

  // Neither path can fit a longer text's base64 form into the output.
  const size_t plainLength = std::strlen(plainText);
  if (plainLength > kMaxPlainLength) return kStringCryptoFailure;
  const auto* plainBytes = reinterpret_cast<const unsigned char*>(plainText);

  Container container;
  if (Container::Open(kCryptoContainerName, &container) != Status::Ok) {
    const int written = Base64Encode(plainBytes, static_cast<int>(plainLength), output,
                                     static_cast<int>(kStringCryptoCapacity));
    if (written < 0) {
      WriteEmpty(output);
      return kStringCryptoFailure;
    }
    return kStringCryptoNoContainer;
  }

  std::vector<uint8_t> key;
  if (providers == nullptr || plainLength == 0 || !providers->ContentKey(passPhrase, &key)) {
    return kStringCryptoFailure;
  }
  std::vector<uint8_t> working(plainBytes, plainBytes + plainLength);
  int result = kStringCryptoFailure;
  if (providers->Rc4(key, working.data(), working.size()) &&
      Base64Encode(working.data(), static_cast<int>(working.size()), output,
                   static_cast<int>(kStringCryptoCapacity)) > 0) {
    result = kStringCryptoSuccess;
  } else {
    WriteEmpty(output);
  }
  SecureWipe(key.data(), key.size());
  SecureWipe(working.data(), working.size());
  return result;
}

int DecryptStringWith(const CipherProviders* providers, const char* passPhrase,
                      const char* cipherText, char* output) {
  if (output == nullptr) return kStringCryptoFailure;
  WriteEmpty(output);
  if (passPhrase == nullptr || cipherText == nullptr) return kStringCryptoFailure;

  auto* bytes = reinterpret_cast<unsigned char*>(output);
  // One byte of the output stays free for the terminator.
  constexpr int kDecodeCapacity = static_cast<int>(kStringCryptoCapacity) - 1;

  Container container;
  if (Container::Open(kCryptoContainerName, &container) != Status::Ok) {
    const int decoded = Base64Decode(cipherText, bytes, kDecodeCapacity);
    output[decoded < 0 ? 0 : decoded] = '\0';
    return kStringCryptoNoContainer;
  }

  std::vector<uint8_t> key;
  if (providers == nullptr || !providers->ContentKey(passPhrase, &key)) {
    return kStringCryptoFailure;
  }
  int result = kStringCryptoFailure;
  const int decoded = Base64Decode(cipherText, bytes, kDecodeCapacity);
  if (decoded >= 0 && providers->Rc4(key, bytes, static_cast<size_t>(decoded))) {
    output[decoded] = '\0';
    result = kStringCryptoSuccess;
  } else {
    SecureWipe(output, kStringCryptoCapacity);
    WriteEmpty(output);
  }
  SecureWipe(key.data(), key.size());
  return result;
}

}  // namespace qvaiso
