// The registry configuration provider: options live in the registry stand-in,
// HKLM "SOFTWARE\Quorvia\Quorvia\Options\<scope>\<option key>", one string
// value per option name. It exports the provider entry points libqvaiso
// looks up by name; results are 1 (done) or 0 (missing, refused, failed).
//
// Thread safety: every entry point may be called from any thread (the
// registry stand-in serialises its own access).
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/registry/registry.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

constexpr const char* kOptionsRoot = "SOFTWARE\\Quorvia\\Quorvia\\Options";
// "GetOption" has no capacity argument: its callers pass 1024 bytes.
constexpr int kGetOptionCapacity = 1024;

std::string OptionKey(int scope, const char* optionKey) {
  std::string path = std::string(kOptionsRoot) + "\\" + std::to_string(scope);
  if (optionKey[0] != '\0') path += std::string("\\") + optionKey;
  return path;
}

int ReadOption(int scope, const char* optionKey, const char* optionName, char* value,
               int capacity) {
  if (!optionKey || !optionName || !value || capacity <= 0) return 0;
  value[0] = '\0';
  Key key;
  if (Key::Open(Hive::LocalMachine, OptionKey(scope, optionKey), qv::registry::Access::Read,
                &key) != Status::Ok) {
    return 0;
  }
  std::string text;
  if (key.GetString(optionName, &text) != Status::Ok) return 0;
  if (text.size() >= static_cast<size_t>(capacity)) return 0;  // does not fit: refused
  std::memcpy(value, text.c_str(), text.size() + 1);
  return 1;
}

// The four values of the last SetLoggingFunction call; this provider logs
// nothing itself and only keeps them.
std::atomic<int32_t> g_logging[4];

}  // namespace

#define PROVIDER_EXPORT extern "C" __attribute__((visibility("default")))

PROVIDER_EXPORT int GetOption_Ex(int optionScope, const char* optionKey, const char* optionName,
                                 char* value, int capacity) {
  try {
    return ReadOption(optionScope, optionKey, optionName, value, capacity);
  } catch (...) {
    return 0;
  }
}

PROVIDER_EXPORT int GetOption(int optionScope, const char* optionKey, const char* optionName,
                              char* value) {
  return GetOption_Ex(optionScope, optionKey, optionName, value, kGetOptionCapacity);
}

PROVIDER_EXPORT int SetOption(int optionScope, const char* optionKey, const char* optionName,
                              const char* optionValue) {
  if (!optionKey || !optionName || !optionValue) return 0;
  try {
    Key key;
    if (Key::Create(Hive::LocalMachine, OptionKey(optionScope, optionKey), &key) != Status::Ok) {
      return 0;
    }
    return key.SetString(optionName, optionValue) == Status::Ok ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

PROVIDER_EXPORT int SetLoggingFunction(int32_t first, int32_t second, int32_t third,
                                       int32_t fourth) {
  g_logging[0] = first;
  g_logging[1] = second;
  g_logging[2] = third;
  g_logging[3] = fourth;
  return 1;
}
