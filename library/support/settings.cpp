#include <cctype>
#include <cstring>
#include <mutex>

#include "library/support/support.h"

namespace qvaiso {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;
using qv::registry::Value;
using qv::registry::ValueType;

std::string RewriteWow6432Path(std::string_view keyPath) {
  static constexpr std::string_view kWow = "Software\\Wow6432Node\\Quorvia";
  static constexpr std::string_view kNative = "Software\\Quorvia";
  if (keyPath.size() < kWow.size()) return std::string(keyPath);
  for (size_t i = 0; i < kWow.size(); ++i) {
    unsigned char a = static_cast<unsigned char>(keyPath[i]);
    unsigned char b = static_cast<unsigned char>(kWow[i]);
    if (std::tolower(a) != std::tolower(b)) return std::string(keyPath);
  }
  return std::string(kNative) + std::string(keyPath.substr(kWow.size()));
}

bool ReadRegistryString(Hive hive, std::string_view keyPath, std::string_view valueName, char* dest,
                        size_t capacity) {
  if (dest == nullptr || capacity == 0) return false;
  dest[0] = '\0';
  Key key;
  if (Key::Open(hive, keyPath, qv::registry::Access::Read, &key) != Status::Ok) return false;
  std::string text;
  if (key.GetString(valueName, &text) != Status::Ok) return false;
  // A stored terminator is not part of the text.
  if (size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  if (text.empty() || text.size() + 1 > capacity) return false;
  std::memcpy(dest, text.c_str(), text.size() + 1);
  return true;
}

bool ReadMachineString(std::string_view keyPath, std::string_view valueName, char* dest, size_t capacity) {
  return ReadRegistryString(Hive::LocalMachine, RewriteWow6432Path(keyPath), valueName, dest, capacity);
}

std::string ReadMachineString(std::string_view keyPath, std::string_view valueName, size_t capacity) {
  std::string buffer(capacity, '\0');
  if (capacity == 0 || !ReadMachineString(keyPath, valueName, buffer.data(), capacity)) return "";
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

bool ReadRegistryDword(Hive hive, std::string_view keyPath, std::string_view valueName, uint32_t* value) {
  if (value == nullptr) return false;
  Key key;
  if (Key::Open(hive, keyPath, qv::registry::Access::Read, &key) != Status::Ok) return false;
  Value raw;
  // Read as 4 bytes, whatever the declared type, as the number read does.
  if (key.Get(valueName, &raw) != Status::Ok || raw.data.size() != 4) return false;
  *value = Value{ValueType::Dword, raw.data}.AsDword();
  return true;
}

namespace {

// MAX_PATH-sized, as the configuration directory buffer always was.
constexpr size_t kPathCapacity = 260;

// The cached configuration directory. Built on first use, so that code running
// while the library loads (before this file's globals exist) may read it.
struct ConfigDirCache {
  std::mutex mutex;
  bool read = false;
  std::string dir;
};

ConfigDirCache& TheConfigDir() {
  static ConfigDirCache* cache = new ConfigDirCache;  // lives for the process
  return *cache;
}

}  // namespace

std::string GetConfigurationDirectory() {
  ConfigDirCache& cache = TheConfigDir();
  std::lock_guard lock(cache.mutex);
  if (!cache.read) {
    cache.dir = ReadMachineString(kMachineRoot, "Configuration Directory", kPathCapacity);
    cache.read = true;
  }
  return cache.dir;
}

void ResetConfigurationDirectoryForTesting() {
  ConfigDirCache& cache = TheConfigDir();
  std::lock_guard lock(cache.mutex);
  cache.read = false;
  cache.dir.clear();
}

std::string GetMailRoot() { return ReadMachineString(kMachineRoot, "Mail Root", kPathCapacity); }

std::string GetApplicationDirectory(bool sixtyFourBit) {
  std::string dir = ReadMachineString(kMachineRoot, "Application Directory", kPathCapacity);
  if (sixtyFourBit && !dir.empty()) dir += "64";
  return dir;
}

std::string GetActivityLogDirectory() { return ReadMachineString(kMachineRoot, "Activity Log Directory", kPathCapacity); }

}  // namespace qvaiso
