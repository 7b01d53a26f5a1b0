// The POSIX side of the string encryption: MD5 and RC4 from OpenSSL's
// libcrypto (RC4 from its legacy provider), the account and the executable's
// name from the system.
#include <limits.h>
#include <pwd.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <string>

#include "library/crypto/string_crypto.h"

namespace qvaiso {
namespace {

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
struct CipherFree {
  void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct MdFree {
  void operator()(EVP_MD* md) const { EVP_MD_free(md); }
};

}  // namespace

// The calling account as host\user, "UNKNOWN" when it cannot be found.
std::string CurrentAccount() {
  char host[HOST_NAME_MAX + 1] = {};
  if (::gethostname(host, sizeof host - 1) != 0) return "UNKNOWN";
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
    return "UNKNOWN";
  }
  return std::string(host) + "\\" + found->pw_name;
}

// The executable's file name without its directory.
std::string ProcessName() {
  char path[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return "UNKNOWN";
  const std::string full(path, static_cast<size_t>(length));
  const size_t slash = full.rfind('/');
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

// ---- OpenSSL providers ----

std::unique_ptr<CipherProviders> CipherProviders::Load(const char* moduleDirectory) {
  std::unique_ptr<CipherProviders> providers(new CipherProviders());
  providers->context_ = OSSL_LIB_CTX_new();
  if (providers->context_ == nullptr) return nullptr;
  if (moduleDirectory != nullptr &&
      OSSL_PROVIDER_set_default_search_path(providers->context_, moduleDirectory) != 1) {
    return nullptr;
  }
  providers->defaultProvider_ = OSSL_PROVIDER_load(providers->context_, "default");
  providers->legacyProvider_ = OSSL_PROVIDER_load(providers->context_, "legacy");
  if (providers->defaultProvider_ == nullptr || providers->legacyProvider_ == nullptr) {
    return nullptr;
  }
  return providers;
}

CipherProviders* CipherProviders::Shared() {
  static const std::unique_ptr<CipherProviders> shared = Load();
  return shared.get();
}

CipherProviders::~CipherProviders() {
  if (legacyProvider_ != nullptr) OSSL_PROVIDER_unload(legacyProvider_);
  if (defaultProvider_ != nullptr) OSSL_PROVIDER_unload(defaultProvider_);
  if (context_ != nullptr) OSSL_LIB_CTX_free(context_);
}

bool CipherProviders::Md5(std::string_view data, Md5Digest* digest) const {
  std::unique_ptr<EVP_MD, MdFree> md(EVP_MD_fetch(context_, "MD5", nullptr));
  unsigned int length = 0;
  return md != nullptr &&
         EVP_Digest(data.data(), data.size(), digest->data(), &length, md.get(), nullptr) == 1 &&
         length == digest->size();
}

bool CipherProviders::Rc4(const std::vector<uint8_t>& key, uint8_t* data, size_t length) const {
  if (key.empty() || length > static_cast<size_t>(INT_MAX)) return false;
  std::unique_ptr<EVP_CIPHER, CipherFree> cipher(EVP_CIPHER_fetch(context_, "RC4", nullptr));
  std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree> ctx(EVP_CIPHER_CTX_new());
  if (!cipher || !ctx ||
      EVP_CipherInit_ex2(ctx.get(), cipher.get(), nullptr, nullptr, 1, nullptr) != 1 ||
      EVP_CIPHER_CTX_set_key_length(ctx.get(), static_cast<int>(key.size())) != 1 ||
      EVP_CipherInit_ex2(ctx.get(), nullptr, key.data(), nullptr, 1, nullptr) != 1) {
    return false;
  }
  int written = 0;
  if (length > 0 &&
      EVP_CipherUpdate(ctx.get(), data, &written, data, static_cast<int>(length)) != 1) {
    return false;
  }
  int tail = 0;
  return EVP_CipherFinal_ex(ctx.get(), data + written, &tail) == 1 &&
         static_cast<size_t>(written + tail) == length;
}

bool CipherProviders::ContentKey(std::string_view passPhrase, std::vector<uint8_t>* key) const {
  Md5Digest digest;
  if (!Md5(passPhrase, &digest)) return false;
  *key = DeriveRc4Key(digest, kContentKeyBits);
  SecureWipe(digest.data(), digest.size());
  return true;
}

void SecureWipe(void* data, size_t length) { OPENSSL_cleanse(data, length); }

}  // namespace qvaiso
