// DecryptString over arbitrary pass phrases and cipher texts, with and
// without an openable key container; the output buffer is exactly the
// documented 1024 bytes so that any overrun is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "library/crypto/crypto.h"

namespace {

std::string g_keys;
std::string g_container;

void RemoveKeys() {
  ::unlink(g_container.c_str());
  ::rmdir(g_keys.c_str());
  std::string parent = g_keys.substr(0, g_keys.rfind('/'));
  ::rmdir(parent.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/qv-fuzz-XXXXXX";
  if (::mkdtemp(dir.data()) == nullptr) std::abort();
  g_keys = dir + "/keys";
  g_container = g_keys + "/QV_Key";
  ::setenv("QUORVIA_MACHINE_KEYS", g_keys.c_str(), 1);
  if (SetupCrypto() != 1) std::abort();
  std::atexit(RemoveKeys);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte: flags; then the pass phrase up to a NUL, then the cipher text.
  const bool withoutContainer = (data[0] & 1) != 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t split = rest.find('\0');
  const std::string passPhrase = rest.substr(0, split);
  const std::string cipherText = split == std::string::npos ? "" : rest.substr(split + 1).c_str();

  char* output = static_cast<char*>(std::malloc(1024));
  if (withoutContainer) ::setenv("QUORVIA_MACHINE_KEYS", "/nonexistent/qv-fuzz", 1);
  const int32_t result = DecryptString(passPhrase.c_str(), cipherText.c_str(), output);
  if (withoutContainer) ::setenv("QUORVIA_MACHINE_KEYS", g_keys.c_str(), 1);
  if (result != 0 && result != 1 && result != 10) std::abort();
  if (std::memchr(output, '\0', 1024) == nullptr) std::abort();

  // Whatever decrypts re-encrypts to a text that decrypts to it again.
  if (result == 1 && !withoutContainer) {
    const size_t length = std::strlen(output);
    if (length > 0 && length <= 765) {
      char* again = static_cast<char*>(std::malloc(1024));
      char* back = static_cast<char*>(std::malloc(1024));
      if (EncryptString(passPhrase.c_str(), output, again) != 1) std::abort();
      if (DecryptString(passPhrase.c_str(), again, back) != 1) std::abort();
      if (std::strcmp(back, output) != 0) std::abort();
      std::free(again);
      std::free(back);
    }
  }
  std::free(output);
  return 0;
}
