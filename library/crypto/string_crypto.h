// Pass-phrase string encryption: RC4 under a key derived from the MD5 digest
// of a pass phrase exactly as CryptoAPI's CryptDeriveKey derives it, so that
// texts encrypted on Windows decrypt here and the other way round. MD5 and
// RC4 come from OpenSSL's libcrypto (RC4 from its legacy provider); on
// Windows from CryptoAPI itself, which derives the key.
//
// Internal to libqvaiso; SetupCrypto/EncryptString/DecryptString in crypto.h
// wrap it. Thread safety: every function may be called from any thread.
#ifndef QVAISO_CRYPTO_STRING_CRYPTO_H
#define QVAISO_CRYPTO_STRING_CRYPTO_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef struct ossl_lib_ctx_st OSSL_LIB_CTX;
typedef struct ossl_provider_st OSSL_PROVIDER;

namespace qvaiso {

// Name of the key container the string encryption opens.
inline constexpr const char* kCryptoContainerName = "QV_Key";
// The caller's output buffer of EncryptString/DecryptString, terminator included.
inline constexpr size_t kStringCryptoCapacity = 1024;

// Length of the content key in bits. See DeriveRc4Key for why it is 128.
inline constexpr unsigned kContentKeyBits = 128;

using Md5Digest = std::array<uint8_t, 16>;

// The RC4 key bytes CryptDeriveKey(CALG_RC4) makes from an MD5 hash for a key
// of `keyBits` (40 or 128): the first keyBits/8 bytes of the digest, and for
// exactly 40 bits the eleven zero bytes of salt the Microsoft providers append
// unless CRYPT_NO_SALT is given.
std::vector<uint8_t> DeriveRc4Key(const Md5Digest& digest, unsigned keyBits);

// A library context with OpenSSL's default and legacy providers loaded, for
// MD5 and RC4. Owns the context and both providers. Immutable once loaded, so
// one instance serves every thread.
class CipherProviders {
 public:
  // Loads the providers from `moduleDirectory` (nullptr: OpenSSL's own
  // module directory). Null when either provider cannot be loaded.
  static std::unique_ptr<CipherProviders> Load(const char* moduleDirectory = nullptr);
  // The process-wide instance, loaded at first use; null when loading failed.
  static CipherProviders* Shared();
  ~CipherProviders();

  // MD5 of `data`; false when OpenSSL fails.
  bool Md5(std::string_view data, Md5Digest* digest) const;
  // RC4 over `length` bytes in place (one final call); false when OpenSSL fails.
  bool Rc4(const std::vector<uint8_t>& key, uint8_t* data, size_t length) const;
  // The content key of `passPhrase` (MD5, then DeriveRc4Key with kContentKeyBits).
  bool ContentKey(std::string_view passPhrase, std::vector<uint8_t>* key) const;

 private:
  CipherProviders() = default;
  OSSL_LIB_CTX* context_ = nullptr;
  OSSL_PROVIDER* defaultProvider_ = nullptr;
  OSSL_PROVIDER* legacyProvider_ = nullptr;
  [[maybe_unused]] uintptr_t cryptoApiProvider_ = 0;  // the HCRYPTPROV of the Windows build
};

// The platform's side of the string encryption (string_crypto_openssl.cpp on
// POSIX, string_crypto_cryptoapi.cpp on Windows).
// The calling account as host\user, "UNKNOWN" when it cannot be found.
std::string CurrentAccount();
// The executable's file name without its folder, "UNKNOWN" when unknown.
std::string ProcessName();
// Overwrites `length` bytes at `data` with zeros in a way the compiler keeps.
void SecureWipe(void* data, size_t length);

// The status codes of the string encryption exports.
inline constexpr int kStringCryptoFailure = 0;
inline constexpr int kStringCryptoSuccess = 1;
inline constexpr int kStringCryptoNoContainer = 10;

// The implementations behind the exports; `output` holds kStringCryptoCapacity
// bytes. `providers` null means the legacy provider could not be loaded.
int SetupCryptoContainer();
int EncryptStringWith(const CipherProviders* providers, const char* passPhrase,
                      const char* plainText, char* output);
int DecryptStringWith(const CipherProviders* providers, const char* passPhrase,
                      const char* cipherText, char* output);

// The text of a SetupCrypto failure report: `message`, the last-error code,
// the current user as host\name and the executable's file name.
std::string CryptoFailureText(const char* message, int lastError);

}  // namespace qvaiso

#endif
