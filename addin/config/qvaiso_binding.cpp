#include "addin/config/qvaiso_binding.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <cstring>
#include <vector>

#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "platform/shell/shell.h"

namespace qvsync {
namespace {

using CryptFunction = int (*)(const char* passPhrase, const char* input, char* output);

// QVAISO's file on this platform, and whether it is found by the loader's own
// search (on Linux the add-in's run path) when it is not beside the add-in.
// On Windows only the file beside the add-in is taken: a search by name would
// reach the host program's folder, the current folder and PATH.
constexpr const char* kQvaisoFile = QV_QVAISO_FILE;
constexpr bool kQvaisoByName = QV_QVAISO_BY_NAME;

// The size of the output buffer the add-in hands to QVAISO.
constexpr size_t kOutputCapacity = 1024;

struct Binding {
  bool tried = false;
  void* library = nullptr;  // Owned; stays loaded for the process.
  CryptFunction encrypt = nullptr;
  CryptFunction decrypt = nullptr;
  std::string why;        // why the binding failed; "" when it did not
  bool reported = false;  // the log has said why
};

Binding& TheBinding() {
  static Binding binding;
  return binding;
}

// Looks the library and its two functions up once. True when both are there.
bool Bind() {
  Binding& b = TheBinding();
  if (!b.tried) {
    b.tried = true;
    std::string why;
    const char* configured = std::getenv("QUORVIA_QVAISO");
    std::string name = configured && *configured ? configured : "";
    if (name.empty()) {
      name = qv::shell::FileBesideModule(reinterpret_cast<const void*>(&Bind), kQvaisoFile);
      if (kQvaisoByName && (name.empty() || !std::filesystem::exists(name))) name = kQvaisoFile;
    }
    b.library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (b.library == nullptr) {
      const char* error = dlerror();
      why = "QVAISO could not be loaded (" + (error ? std::string(error) : name) + ")";
    } else {
      b.encrypt = reinterpret_cast<CryptFunction>(dlsym(b.library, "EncryptString"));
      b.decrypt = reinterpret_cast<CryptFunction>(dlsym(b.library, "DecryptString"));
      if (b.encrypt == nullptr || b.decrypt == nullptr) {
        why = std::string("QVAISO (") + name + ") has no " + (b.encrypt == nullptr ? "EncryptString" : "DecryptString");
      }
    }
    b.why = why;
  }
  // Reported once, but only once it has really reached the log: the first
  // binding attempt may come before troubleshooting mode is on.
  if (!b.why.empty() && !b.reported && Config().troubleshootingMode != 0) {
    b.reported = true;
    LogMessage("Failure: " + b.why + "; the password is stored and used unencrypted", 5);
  }
  return b.encrypt != nullptr && b.decrypt != nullptr;
}

int Call(CryptFunction function, const std::string& passPhrase, const std::string& input, std::string* output) {
  std::vector<char> buffer(kOutputCapacity, '\0');
  int result = function(passPhrase.c_str(), input.c_str(), buffer.data());
  buffer.back() = '\0';  // the text is the buffer up to its first NUL
  output->assign(buffer.data());
  return result;
}

}  // namespace

int CallEncryptString(const std::string& passPhrase, const std::string& plainText, std::string* output) {
  output->clear();
  if (!Bind()) return 0;
  return Call(TheBinding().encrypt, passPhrase, plainText, output);
}

int CallDecryptString(const std::string& passPhrase, const std::string& cipherText, std::string* output) {
  output->clear();
  if (!Bind()) return 0;
  return Call(TheBinding().decrypt, passPhrase, cipherText, output);
}

bool QvaisoUnavailable(std::string* why) {
  Bind();
  if (why) *why = TheBinding().why;
  return !TheBinding().why.empty();
}

void ResetQvaisoBindingForTesting() {
  Binding& b = TheBinding();
  if (b.library) dlclose(b.library);
  b = Binding{};
}

}  // namespace qvsync
