#include "platform/keystore/keystore.h"
#include "platform/files/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <utility>

namespace qv::keystore {
namespace {

constexpr std::string_view kHeader = "QV-KEY-CONTAINER 1\n";
constexpr std::string_view kSignatureSection = "[signature]\n";
constexpr std::string_view kExchangeSection = "[exchange]\n";

// ---- POSIX storage ----

int WriteAll(int fd, const std::string& contents) {
  size_t done = 0;
  while (done < contents.size()) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<size_t>(n);
  }
  return ::fsync(fd) == 0 ? 0 : errno;
}

// Writes `contents` to a new owner-only file beside `path`; its name goes to
// *temp.
int WriteTemporary(const std::string& path, const std::string& contents, std::string* temp) {
  *temp = path + ".XXXXXX";
  const int fd = ::mkstemp(temp->data());
  if (fd < 0) return errno;
  int error = ::fchmod(fd, 0600) == 0 ? 0 : errno;
  if (error == 0) error = WriteAll(fd, contents);
  ::close(fd);
  if (error != 0) ::unlink(temp->c_str());
  return error;
}

class PosixStorage : public Storage {
 public:
  int ReadFile(const std::string& path, std::string* contents) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    contents->clear();
    char buffer[4096];
    int error = 0;
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
      }
      if (n == 0) break;
      contents->append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return error;
  }

  // The new file appears whole or not at all: it is written under a
  // temporary name and linked into place, which fails if the name is taken.
  int CreateFile(const std::string& path, const std::string& contents) override {
    std::string temp;
    if (const int error = WriteTemporary(path, contents, &temp); error != 0) return error;
    const int error = ::link(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
    ::unlink(temp.c_str());
    return error;
  }

  // Keeps the container's mode (and owner, as root) and writes through a link.
  int ReplaceFile(const std::string& path, const std::string& contents) override {
    return qv::files::ReplaceFile(path, contents, 0600);
  }

  int MakeDirectories(const std::string& path) override {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
      const std::string prefix = path.substr(0, slash);
      if (!prefix.empty() && ::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return errno;
      if (slash == std::string::npos) break;
    }
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return errno;
    return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  }
};

std::atomic<Storage*> g_testStorage{nullptr};

Storage& CurrentStorage() {
  Storage* storage = g_testStorage.load();
  return storage != nullptr ? *storage : DefaultStorage();
}

Status StatusFromErrno(int error) {
  switch (error) {
    case 0:
      return Status::Ok;
    case ENOENT:
      return Status::NotFound;
    case EEXIST:
      return Status::AlreadyExists;
    case EACCES:
    case EPERM:
    case EROFS:
      return Status::AccessDenied;
    default:
      return Status::IoError;
  }
}

// A container name is one plain file name.
bool ValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\0') == std::string::npos;
}

std::string ContainerPath(const std::string& name) {
  std::string directory = MachineKeyDirectory();
  if (!directory.empty() && directory.back() != '/') directory += '/';
  return directory + name;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const { EVP_PKEY_CTX_free(ctx); }
};

struct P8Free {
  void operator()(PKCS8_PRIV_KEY_INFO* info) const { PKCS8_PRIV_KEY_INFO_free(info); }
};

// True when `pem` holds a well-formed PKCS#8 RSA private key. Checked at the
// ASN.1 level only: opening a container is frequent, building the key is not
// needed to use it.
bool ValidPrivateKey(std::string_view pem) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) return false;
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, P8Free> info(
      PEM_read_bio_PKCS8_PRIV_KEY_INFO(bio.get(), nullptr, nullptr, nullptr));
  const ASN1_OBJECT* algorithm = nullptr;
  return info != nullptr &&
         PKCS8_pkey_get0(&algorithm, nullptr, nullptr, nullptr, info.get()) == 1 &&
         OBJ_obj2nid(algorithm) == NID_rsaEncryption;
}

// Splits a container file into its key sections; false when it is no container.
bool Parse(std::string_view text, std::string* signaturePem, std::string* exchangePem) {
  if (text.substr(0, kHeader.size()) != kHeader) return false;
  text.remove_prefix(kHeader.size());
  std::string* current = nullptr;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view line =
        end == std::string_view::npos ? text : text.substr(0, end + 1);
    text.remove_prefix(line.size());
    if (line == kSignatureSection) {
      current = signaturePem;
    } else if (line == kExchangeSection) {
      current = exchangePem;
    } else if (current != nullptr) {
      current->append(line);
    } else if (line != "\n") {
      return false;
    }
  }
  if (!signaturePem->empty() && !ValidPrivateKey(*signaturePem)) return false;
  if (!exchangePem->empty() && !ValidPrivateKey(*exchangePem)) return false;
  return true;
}

// A new RSA private key as PKCS#8 PEM; "" when OpenSSL fails.
std::string GenerateRsaPem(int bits) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0 ||
      EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) <= 0) {
    return {};
  }
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_generate(ctx.get(), &raw) <= 0) return {};
  std::unique_ptr<EVP_PKEY, PkeyFree> key(raw);
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                       nullptr) <= 0) {
    return {};
  }
  char* data = nullptr;
  const long length = BIO_get_mem_data(bio.get(), &data);
  return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

}  // namespace

const char* StatusName(Status status) {
  switch (status) {
    case Status::Ok:
      return "ok";
    case Status::NotFound:
      return "not found";
    case Status::AlreadyExists:
      return "already exists";
    case Status::AccessDenied:
      return "access denied";
    case Status::Corrupt:
      return "corrupt";
    case Status::IoError:
      return "I/O error";
    case Status::KeyGeneration:
      return "key generation failed";
  }
  return "unknown";
}

std::string MachineKeyDirectory() {
  const char* value = std::getenv(kMachineKeyDirectoryVariable);
  return value != nullptr && value[0] != '\0' ? std::string(value)
                                              : std::string(kDefaultMachineKeyDirectory);
}

Storage& DefaultStorage() {
  static PosixStorage storage;
  return storage;
}

void SetStorageForTesting(Storage* storage) { g_testStorage.store(storage); }

Status Container::Open(const std::string& name, Container* out) {
  if (!ValidName(name)) {
    errno = EINVAL;
    return Status::NotFound;
  }
  const std::string path = ContainerPath(name);
  std::string text;
  if (const int error = CurrentStorage().ReadFile(path, &text); error != 0) {
    errno = error;
    return StatusFromErrno(error);
  }
  Container loaded;
  if (!Parse(text, &loaded.signaturePem_, &loaded.exchangePem_)) {
    errno = EILSEQ;
    return Status::Corrupt;
  }
  loaded.name_ = name;
  loaded.path_ = path;
  *out = std::move(loaded);
  return Status::Ok;
}

Status Container::Create(const std::string& name, Container* out) {
  if (!ValidName(name)) {
    errno = EINVAL;
    return Status::IoError;
  }
  Storage& storage = CurrentStorage();
  if (const int error = storage.MakeDirectories(MachineKeyDirectory()); error != 0) {
    errno = error;
    return StatusFromErrno(error);
  }
  Container created;
  created.name_ = name;
  created.path_ = ContainerPath(name);
  if (const int error = storage.CreateFile(created.path_, created.Serialize()); error != 0) {
    errno = error;
    return StatusFromErrno(error);
  }
  *out = std::move(created);
  return Status::Ok;
}

bool Container::HasKeyPair(KeySpec kind) const {
  return !(kind == KeySpec::Signature ? signaturePem_ : exchangePem_).empty();
}

Status Container::GenerateKeyPair(KeySpec kind) {
  std::string pem = GenerateRsaPem(kRsaBits);
  if (pem.empty()) {
    errno = EIO;
    return Status::KeyGeneration;
  }
  std::string& slot = kind == KeySpec::Signature ? signaturePem_ : exchangePem_;
  std::string previous = std::exchange(slot, std::move(pem));
  if (const int error = CurrentStorage().ReplaceFile(path_, Serialize()); error != 0) {
    slot = std::move(previous);
    errno = error;
    return StatusFromErrno(error);
  }
  return Status::Ok;
}

std::string Container::Serialize() const {
  std::string text(kHeader);
  if (!signaturePem_.empty()) {
    text += kSignatureSection;
    text += signaturePem_;
  }
  if (!exchangePem_.empty()) {
    text += kExchangeSection;
    text += exchangePem_;
  }
  return text;
}

}  // namespace qv::keystore
