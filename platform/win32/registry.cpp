// The registry hives on Windows: advapi32's registry itself.
//
// The system's keys live in the 32-bit view of the registry, where the 32-bit
// processes that load the library see them; a 64-bit build asks for that view
// explicitly (KEY_WOW64_32KEY), so both builds read and write the same keys.
// Paths that name the 32-bit view's folder themselves
// ("Software\Wow6432Node\Quorvia...") are rewritten by the library before they
// get here.
//
// COM's classes ("Software\Classes\...") are the exception: a class belongs to
// the view of the module that serves it (64-bit Windows keeps the 32-bit
// view's CLSID keys apart), so they are read and written in the process's
// own view, where COM of a process of the same kind looks for them.
#include <windows.h>

#include <cctype>
#include <map>
#include <mutex>

#include "platform/registry/registry.h"

namespace qv::registry {
namespace {

constexpr REGSAM kSystemView = KEY_WOW64_32KEY;

// The view a normalised path is read and written in (see above).
REGSAM ViewOf(const std::string& key) {
  constexpr char kClasses[] = "software\\classes";
  constexpr size_t kLength = sizeof kClasses - 1;
  if (key.size() < kLength || (key.size() > kLength && key[kLength] != '\\')) return kSystemView;
  for (size_t i = 0; i < kLength; ++i) {
    if (static_cast<char>(std::tolower(static_cast<unsigned char>(key[i]))) != kClasses[i]) return kSystemView;
  }
  return 0;
}

Status StatusFromError(LONG error) {
  switch (error) {
    case ERROR_SUCCESS: return Status::Ok;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return Status::NotFound;
    case ERROR_ACCESS_DENIED: return Status::AccessDenied;
    case ERROR_INVALID_PARAMETER:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE: return Status::InvalidArgument;
    case ERROR_BADDB:
    case ERROR_BADKEY:
    case ERROR_REGISTRY_CORRUPT: return Status::Corrupt;
    default: return Status::IoError;
  }
}

class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (key_ != nullptr) RegCloseKey(key_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

class Win32Store final : public Store {
 public:
  explicit Win32Store(HKEY root) : root_(root) {}

  Status KeyExists(std::string_view path) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    KeyHandle handle;
    return StatusFromError(RegOpenKeyExA(root_, key.c_str(), 0, KEY_READ | ViewOf(key), handle.out()));
  }

  Status CreateKey(std::string_view path) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    KeyHandle handle;
    return StatusFromError(RegCreateKeyExA(root_, key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                           KEY_ALL_ACCESS | ViewOf(key), nullptr, handle.out(), nullptr));
  }

  Status GetValue(std::string_view path, std::string_view name, Value* out) override {
    KeyHandle handle;
    if (Status s = Open(path, KEY_QUERY_VALUE, &handle); s != Status::Ok) return s;
    const std::string valueName(name);
    DWORD type = 0;
    DWORD size = 0;
    LONG error = RegQueryValueExA(handle.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    std::string data;
    // The value may grow between the two calls: ask again until it fits.
    while (error == ERROR_SUCCESS || error == ERROR_MORE_DATA) {
      data.resize(size);
      DWORD got = size;
      error = RegQueryValueExA(handle.get(), valueName.c_str(), nullptr, &type,
                               reinterpret_cast<BYTE*>(data.data()), &got);
      if (error == ERROR_SUCCESS) {
        data.resize(got);
        break;
      }
      size = got;
    }
    if (error != ERROR_SUCCESS) return StatusFromError(error);
    *out = FromRegistry(type, std::move(data));
    return Status::Ok;
  }

  Status SetValue(std::string_view path, std::string_view name, const Value& value) override {
    KeyHandle handle;
    if (Status s = Open(path, KEY_SET_VALUE, &handle); s != Status::Ok) return s;
    const std::string valueName(name);
    std::string data = value.data;
    if (value.type == ValueType::String || value.type == ValueType::ExpandString) data.push_back('\0');
    if (value.type == ValueType::MultiString) data.push_back('\0');
    return StatusFromError(RegSetValueExA(handle.get(), valueName.c_str(), 0, static_cast<DWORD>(value.type),
                                          reinterpret_cast<const BYTE*>(data.data()),
                                          static_cast<DWORD>(data.size())));
  }

  Status DeleteValue(std::string_view path, std::string_view name) override {
    KeyHandle handle;
    if (Status s = Open(path, KEY_SET_VALUE, &handle); s != Status::Ok) return s;
    return StatusFromError(RegDeleteValueA(handle.get(), std::string(name).c_str()));
  }

  Status DeleteTree(std::string_view path) override {
    std::string key;
    if (!NormalizePath(path, &key) || key.empty()) return Status::InvalidArgument;
    KeyHandle handle;
    if (Status s = Open(key, KEY_ALL_ACCESS, &handle); s != Status::Ok) return s;
    if (LONG error = RegDeleteTreeA(handle.get(), nullptr); error != ERROR_SUCCESS) {
      return StatusFromError(error);
    }
    return StatusFromError(RegDeleteKeyExA(root_, key.c_str(), ViewOf(key), 0));
  }

  Status EnumSubkeys(std::string_view path, std::vector<std::string>* names) override {
    KeyHandle handle;
    if (Status s = Open(path, KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE, &handle); s != Status::Ok) return s;
    names->clear();
    char name[256];
    for (DWORD index = 0;; ++index) {
      DWORD length = sizeof name;
      LONG error = RegEnumKeyExA(handle.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (error == ERROR_NO_MORE_ITEMS) return Status::Ok;
      if (error != ERROR_SUCCESS) return StatusFromError(error);
      names->emplace_back(name, length);
    }
  }

  Status EnumValues(std::string_view path, std::vector<NamedValue>* values) override {
    KeyHandle handle;
    if (Status s = Open(path, KEY_QUERY_VALUE, &handle); s != Status::Ok) return s;
    values->clear();
    DWORD maxName = 0;
    DWORD maxData = 0;
    if (LONG error = RegQueryInfoKeyA(handle.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                      nullptr, &maxName, &maxData, nullptr, nullptr);
        error != ERROR_SUCCESS) {
      return StatusFromError(error);
    }
    std::string name(maxName + 1, '\0');
    std::string data(maxData, '\0');
    for (DWORD index = 0;; ++index) {
      DWORD nameLength = static_cast<DWORD>(name.size());
      DWORD dataLength = static_cast<DWORD>(data.size());
      DWORD type = 0;
      LONG error = RegEnumValueA(handle.get(), index, name.data(), &nameLength, nullptr, &type,
                                 reinterpret_cast<BYTE*>(data.data()), &dataLength);
      if (error == ERROR_NO_MORE_ITEMS) return Status::Ok;
      if (error == ERROR_MORE_DATA) {  // changed meanwhile: start over with room
        return EnumValues(path, values);
      }
      if (error != ERROR_SUCCESS) return StatusFromError(error);
      values->push_back({std::string(name.data(), nameLength), FromRegistry(type, data.substr(0, dataLength))});
    }
  }

  // Applied in order; the registry has no transaction here, so a failure
  // leaves the changes before it in place and reports the failing one.
  Status Apply(const std::vector<Change>& changes) override {
    for (const Change& change : changes) {
      Status s = Status::Ok;
      switch (change.kind) {
        case Change::Kind::CreateKey: s = CreateKey(change.path); break;
        case Change::Kind::DeleteTree:
          s = DeleteTree(change.path);
          if (s == Status::NotFound) s = Status::Ok;
          break;
        case Change::Kind::SetValue:
          s = CreateKey(change.path);
          if (s == Status::Ok) s = SetValue(change.path, change.name, change.value);
          break;
        case Change::Kind::DeleteValue:
          s = DeleteValue(change.path, change.name);
          if (s == Status::NotFound) s = Status::Ok;
          break;
      }
      if (s != Status::Ok) return s;
    }
    return Status::Ok;
  }

 private:
  Status Open(std::string_view path, REGSAM access, KeyHandle* handle) {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    return StatusFromError(RegOpenKeyExA(root_, key.c_str(), 0, access | ViewOf(key), handle->out()));
  }

  // Texts lose the terminators the registry keeps; a multi-string keeps one
  // NUL after each string.
  static Value FromRegistry(DWORD type, std::string data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      while (!data.empty() && data.back() == '\0') data.pop_back();
    } else if (type == REG_MULTI_SZ) {
      while (data.size() >= 2 && data[data.size() - 1] == '\0' && data[data.size() - 2] == '\0') data.pop_back();
      if (data == std::string(1, '\0')) data.clear();
    }
    return Value{static_cast<ValueType>(type), std::move(data)};
  }

  HKEY root_;
};

struct HiveRegistry {
  std::mutex mutex;
  Win32Store currentUser{HKEY_CURRENT_USER};
  Win32Store localMachine{HKEY_LOCAL_MACHINE};
  Store* overrides[2] = {nullptr, nullptr};
};

HiveRegistry& Hives() {
  static HiveRegistry* hives = new HiveRegistry;  // lives for the process
  return *hives;
}

}  // namespace

std::string HivePath(Hive hive) { return HiveName(hive); }

Store& HiveStore(Hive hive) {
  HiveRegistry& hives = Hives();
  std::lock_guard lock(hives.mutex);
  if (Store* store = hives.overrides[static_cast<int>(hive)]) return *store;
  return hive == Hive::CurrentUser ? static_cast<Store&>(hives.currentUser) : hives.localMachine;
}

void SetHiveStoreForTesting(Hive hive, Store* store) {
  HiveRegistry& hives = Hives();
  std::lock_guard lock(hives.mutex);
  hives.overrides[static_cast<int>(hive)] = store;
}

}  // namespace qv::registry
