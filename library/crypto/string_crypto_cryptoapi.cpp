// The Windows side of the string encryption: CryptoAPI itself hashes the pass
// phrase (CALG_MD5), derives the content key (CryptDeriveKey of CALG_RC4 with
// CRYPT_EXPORTABLE and the provider's default length) and runs RC4, on the
// machine's default provider of type PROV_RSA_FULL. This is the reference the
// POSIX side (string_crypto_openssl.cpp) agrees with.
#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <string>

#include "library/crypto/string_crypto.h"

namespace qvaiso {
namespace {

HCRYPTPROV ProviderOf(uintptr_t handle) { return static_cast<HCRYPTPROV>(handle); }

class Hash {
 public:
  ~Hash() {
    if (hash_ != 0) CryptDestroyHash(hash_);
  }
  HCRYPTHASH* out() { return &hash_; }
  HCRYPTHASH get() const { return hash_; }

 private:
  HCRYPTHASH hash_ = 0;
};

class Key {
 public:
  ~Key() {
    if (key_ != 0) CryptDestroyKey(key_);
  }
  HCRYPTKEY* out() { return &key_; }
  HCRYPTKEY get() const { return key_; }

 private:
  HCRYPTKEY key_ = 0;
};

bool HashOf(HCRYPTPROV provider, std::string_view data, Hash* hash) {
  return CryptCreateHash(provider, CALG_MD5, 0, 0, hash->out()) &&
         CryptHashData(hash->get(), reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0);
}

// A PLAINTEXTKEYBLOB: the blob header, the key's length, the key's bytes.
struct PlainKeyHeader {
  BLOBHEADER header;
  DWORD length;
};

}  // namespace

std::string CurrentAccount() {
  char host[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD hostLength = sizeof host;
  char user[257];
  DWORD userLength = sizeof user;
  if (!GetComputerNameA(host, &hostLength) || !GetUserNameA(user, &userLength)) return "UNKNOWN";
  return std::string(host, hostLength) + "\\" + user;
}

std::string ProcessName() {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  if (length == 0 || length >= sizeof path) return "UNKNOWN";
  const std::string full(path, length);
  const size_t slash = full.find_last_of("\\/");
  return slash == std::string::npos ? full : full.substr(slash + 1);
}

void SecureWipe(void* data, size_t length) { SecureZeroMemory(data, length); }

// ---- CryptoAPI ----

std::unique_ptr<CipherProviders> CipherProviders::Load(const char* /*moduleDirectory: OpenSSL's only*/) {
  std::unique_ptr<CipherProviders> providers(new CipherProviders());
  HCRYPTPROV provider = 0;
  // No provider name: the machine's default provider of the type.
  if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return nullptr;
  providers->cryptoApiProvider_ = static_cast<uintptr_t>(provider);
  return providers;
}

CipherProviders* CipherProviders::Shared() {
  static const std::unique_ptr<CipherProviders> shared = Load();
  return shared.get();
}

CipherProviders::~CipherProviders() {
  if (cryptoApiProvider_ != 0) CryptReleaseContext(ProviderOf(cryptoApiProvider_), 0);
}

bool CipherProviders::Md5(std::string_view data, Md5Digest* digest) const {
  Hash hash;
  DWORD length = static_cast<DWORD>(digest->size());
  return HashOf(ProviderOf(cryptoApiProvider_), data, &hash) &&
         CryptGetHashParam(hash.get(), HP_HASHVAL, digest->data(), &length, 0) && length == digest->size();
}

// The key comes in as the bytes the provider's own derivation exported (see
// ContentKey) and goes back in the same way, so RC4 runs under exactly the key
// CryptDeriveKey made.
bool CipherProviders::Rc4(const std::vector<uint8_t>& key, uint8_t* data, size_t length) const {
  if (key.empty() || length > MAXDWORD) return false;
  std::vector<BYTE> blob(sizeof(PlainKeyHeader) + key.size());
  PlainKeyHeader header = {};
  header.header.bType = PLAINTEXTKEYBLOB;
  header.header.bVersion = CUR_BLOB_VERSION;
  header.header.aiKeyAlg = CALG_RC4;
  header.length = static_cast<DWORD>(key.size());
  std::memcpy(blob.data(), &header, sizeof header);
  std::memcpy(blob.data() + sizeof header, key.data(), key.size());
  Key imported;
  const bool ok = CryptImportKey(ProviderOf(cryptoApiProvider_), blob.data(), static_cast<DWORD>(blob.size()), 0,
                                 CRYPT_EXPORTABLE, imported.out());
  SecureWipe(blob.data(), blob.size());
  if (!ok) return false;
  DWORD done = static_cast<DWORD>(length);
  return CryptEncrypt(imported.get(), 0, TRUE, 0, data, &done, static_cast<DWORD>(length)) && done == length;
}

bool CipherProviders::ContentKey(std::string_view passPhrase, std::vector<uint8_t>* key) const {
  const HCRYPTPROV provider = ProviderOf(cryptoApiProvider_);
  Hash hash;
  Key derived;
  if (!HashOf(provider, passPhrase, &hash) || !CryptDeriveKey(provider, CALG_RC4, hash.get(), CRYPT_EXPORTABLE,
                                                              derived.out())) {
    return false;
  }
  DWORD size = 0;
  if (!CryptExportKey(derived.get(), 0, PLAINTEXTKEYBLOB, 0, nullptr, &size) || size < sizeof(PlainKeyHeader)) {
    return false;
  }
  std::vector<BYTE> blob(size);
  bool ok = CryptExportKey(derived.get(), 0, PLAINTEXTKEYBLOB, 0, blob.data(), &size) != FALSE;
  if (ok) {
    PlainKeyHeader header;
    std::memcpy(&header, blob.data(), sizeof header);
    ok = header.length > 0 && header.length <= size - sizeof header;
    if (ok) key->assign(blob.begin() + sizeof header, blob.begin() + sizeof header + header.length);
  }
  SecureWipe(blob.data(), blob.size());
  return ok;
}

}  // namespace qvaiso
