// Key containers on Windows: CryptoAPI's own, in the machine key set, of the
// base provider of type PROV_RSA_FULL. The container's file is CryptoAPI's
// business; the Storage interface only serves callers that keep files of their
// own through it.
#include "platform/keystore/keystore.h"

#include <windows.h>
#include <shlobj.h>
#include <wincrypt.h>

#undef CreateFile  // Storage::CreateFile and ReplaceFile are ours, not the ANSI/wide macros
#undef ReplaceFile

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace qv::keystore {
namespace {

// errno for the Win32 or CryptoAPI error of a failed step. The caller's
// failure report turns errno into a Windows error number, as it does for the
// Linux key store, so a missing container reads 2, a refused one 5, an
// existing one 80; CryptoAPI's own codes without such a counterpart read as
// an I/O failure.
int ErrnoFromKeystoreError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case static_cast<DWORD>(NTE_BAD_KEYSET):
    case static_cast<DWORD>(NTE_KEYSET_NOT_DEF): return ENOENT;
    case ERROR_PATH_NOT_FOUND: return ENOTDIR;
    case ERROR_ACCESS_DENIED:
    case static_cast<DWORD>(NTE_PERM): return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
    case static_cast<DWORD>(NTE_EXISTS): return EEXIST;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case static_cast<DWORD>(NTE_NO_MEMORY): return ENOMEM;
    case ERROR_INVALID_PARAMETER:
    case static_cast<DWORD>(NTE_BAD_FLAGS):
    case static_cast<DWORD>(NTE_BAD_KEYSET_PARAM): return EINVAL;
    case ERROR_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

// Leaves the failure of the last Win32 call in errno for the caller.
DWORD KeepLastError() {
  const DWORD error = GetLastError();
  errno = ErrnoFromKeystoreError(error);
  return error;
}

Status StatusFromError(DWORD error) {
  switch (error) {
    case static_cast<DWORD>(NTE_BAD_KEYSET):
    case static_cast<DWORD>(NTE_KEYSET_NOT_DEF):
      return Status::NotFound;
    case static_cast<DWORD>(NTE_EXISTS):
      return Status::AlreadyExists;
    case ERROR_ACCESS_DENIED:
    case static_cast<DWORD>(NTE_PERM):
      return Status::AccessDenied;
    case static_cast<DWORD>(NTE_KEYSET_ENTRY_BAD):
    case static_cast<DWORD>(NTE_BAD_KEYSET_PARAM):
      return Status::Corrupt;
    default:
      return Status::IoError;
  }
}

// A context on a container, released when it goes.
class Context {
 public:
  ~Context() {
    if (provider_ != 0) CryptReleaseContext(provider_, 0);
  }
  bool Acquire(const std::string& name, DWORD flags) {
    return CryptAcquireContextA(&provider_, name.c_str(), MS_DEF_PROV_A, PROV_RSA_FULL,
                                CRYPT_MACHINE_KEYSET | flags) != FALSE;
  }
  HCRYPTPROV get() const { return provider_; }

 private:
  HCRYPTPROV provider_ = 0;
};

// Files through the Win32 calls, for callers that use the Storage interface.
class Win32Storage : public Storage {
 public:
  int ReadFile(const std::string& path, std::string* contents) override {
    std::ifstream in(path, std::ios::binary);
    if (!in) return GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES ? ENOENT : EACCES;
    contents->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? EIO : 0;
  }
  int CreateFile(const std::string& path, const std::string& contents) override {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
    DWORD written = 0;
    const bool ok = WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr) &&
                    written == contents.size() && FlushFileBuffers(file);
    CloseHandle(file);
    if (!ok) DeleteFileA(path.c_str());
    return ok ? 0 : EIO;
  }
  int ReplaceFile(const std::string& path, const std::string& contents) override {
    const std::string temp = path + ".tmp";
    DeleteFileA(temp.c_str());
    if (const int error = CreateFile(temp, contents); error != 0) return error;
    if (MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
    DeleteFileA(temp.c_str());
    return EIO;
  }
  int MakeDirectories(const std::string& path) override {
    const int result = SHCreateDirectoryExA(nullptr, path.c_str(), nullptr);
    return result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS || result == ERROR_FILE_EXISTS ? 0 : EACCES;
  }
};

std::atomic<Storage*> g_testStorage{nullptr};

}  // namespace

const char* StatusName(Status status) {
  switch (status) {
    case Status::Ok: return "ok";
    case Status::NotFound: return "not found";
    case Status::AlreadyExists: return "already exists";
    case Status::AccessDenied: return "access denied";
    case Status::Corrupt: return "corrupt";
    case Status::IoError: return "I/O error";
    case Status::KeyGeneration: return "key generation failed";
  }
  return "unknown";
}

std::string MachineKeyDirectory() {
  if (const char* value = std::getenv(kMachineKeyDirectoryVariable); value != nullptr && value[0] != '\0') {
    return value;
  }
  char data[MAX_PATH];
  if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data) != S_OK) return "";
  return std::string(data) + "\\Microsoft\\Crypto\\RSA\\MachineKeys";
}

Storage& DefaultStorage() {
  if (Storage* storage = g_testStorage.load()) return *storage;
  static Win32Storage storage;
  return storage;
}

void SetStorageForTesting(Storage* storage) { g_testStorage.store(storage); }

Status Container::Open(const std::string& name, Container* out) {
  Context context;
  if (name.empty() || !context.Acquire(name, 0)) {
    const DWORD error = name.empty() ? static_cast<DWORD>(NTE_BAD_KEYSET) : GetLastError();
    errno = ErrnoFromKeystoreError(error);
    return StatusFromError(error);
  }
  Container opened;
  opened.name_ = name;
  opened.path_ = MachineKeyDirectory();
  *out = std::move(opened);
  return Status::Ok;
}

Status Container::Create(const std::string& name, Container* out) {
  Context context;
  if (name.empty() || !context.Acquire(name, CRYPT_NEWKEYSET)) {
    const DWORD error = name.empty() ? static_cast<DWORD>(NTE_BAD_KEYSET_PARAM) : GetLastError();
    errno = ErrnoFromKeystoreError(error);
    const Status status = StatusFromError(error);
    return status == Status::NotFound ? Status::IoError : status;
  }
  Container created;
  created.name_ = name;
  created.path_ = MachineKeyDirectory();
  *out = std::move(created);
  return Status::Ok;
}

bool Container::HasKeyPair(KeySpec kind) const {
  Context context;
  if (!context.Acquire(name_, 0)) return false;
  HCRYPTKEY key = 0;
  if (!CryptGetUserKey(context.get(), static_cast<DWORD>(kind), &key)) return false;
  CryptDestroyKey(key);
  return true;
}

Status Container::GenerateKeyPair(KeySpec kind) {
  Context context;
  if (!context.Acquire(name_, 0)) {
    return StatusFromError(KeepLastError());
  }
  HCRYPTKEY key = 0;
  if (!CryptGenKey(context.get(), static_cast<ALG_ID>(kind), 0, &key)) {
    KeepLastError();
    return Status::KeyGeneration;
  }
  CryptDestroyKey(key);
  return Status::Ok;
}

}  // namespace qv::keystore
