// The configuration provider table and the local halves of the option calls.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "library/options/local.h"
#include "library/support/support.h"

namespace qvaiso::options {
namespace {

constexpr size_t kProviderNameCapacity = 1024;
constexpr size_t kProviderFileCapacity = 128;
constexpr size_t kWorkingValueCapacity = 4096;
constexpr size_t kFieldCapacity = sizeof(SystemOptionRecord::optionKey);

// Loaded provider modules by exact name. Entries stay until the library is
// unloaded. Guarded by `mutex`; lives for the whole process.
struct ProviderTable {
  std::mutex mutex;
  std::map<std::string, void*> modules;
};

ProviderTable& Table() {
  static ProviderTable* table = new ProviderTable();
  return *table;
}

// The selected provider name and the cached default name. Set once, early;
// the small lock only keeps concurrent readers well defined.
struct ProviderNames {
  std::mutex mutex;
  std::string selected;
  std::string cachedDefault;
};

ProviderNames& Names() {
  static ProviderNames* names = new ProviderNames();
  return *names;
}

void ReportInformation(uint32_t eventId, const std::string& message) {
  ReportSystemEvent(kEventInformation, "Quorvia", nullptr, eventId, message.c_str());
}

// The selected name, else the registry's "Current Provider" (cached once it
// reads non-empty). A failed read is reported.
std::string ProviderName() {
  ProviderNames& names = Names();
  {
    std::lock_guard lock(names.mutex);
    if (!names.selected.empty()) return names.selected;
    if (!names.cachedDefault.empty()) return names.cachedDefault;
  }
  char name[kProviderNameCapacity];
  if (!ReadMachineString(kProvidersKey, "Current Provider", name, sizeof name)) {
    const long error = LastErrorCode();
    char message[2048];
    std::snprintf(message, sizeof message,
                  "An error was reported by the configuration provider abstraction interface "
                  "when accessing Registry Key %s:Current Provider. Error: %ld",
                  kProvidersKey, error);
    ReportInformation(kEventIdInformation, message);
    return "";
  }
  std::lock_guard lock(names.mutex);
  names.cachedDefault = name;
  return names.cachedDefault;
}

template <typename Function>
Function EntryPoint(void* module, const char* name) {
  return reinterpret_cast<Function>(dlsym(module, name));
}

// Copies at most capacity - 1 bytes of a possibly unterminated field.
std::string FieldText(const char* field, size_t capacity) {
  return std::string(field, strnlen(field, capacity));
}

// Copies text into a field of `capacity` bytes; false (field emptied) when it
// does not fit with its terminator.
bool PutField(char* field, size_t capacity, const char* text) {
  const size_t length = strnlen(text, capacity);
  if (length >= capacity) {
    field[0] = '\0';
    return false;
  }
  std::memcpy(field, text, length + 1);
  return true;
}

}  // namespace

void EnsureLibraryLoaded() {
  static std::once_flag once;
  // The provider itself is resolved by the call that follows.
  std::call_once(once, [] { GetConfigurationDirectory(); });
}

void* ResolveProviderModule() {
  const std::string name = ProviderName();
  if (name.empty()) return nullptr;
  ProviderTable& table = Table();
  std::lock_guard lock(table.mutex);
  if (auto found = table.modules.find(name); found != table.modules.end()) return found->second;

  char file[kProviderFileCapacity];
  ReadMachineString(std::string(kProvidersKey) + "\\" + name, "Provider DLL", file, sizeof file);
  const std::string path = GetApplicationDirectory() + "/" + file;
  void* module = file[0] ? dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL) : nullptr;
  if (module == nullptr) {
    // What Windows' loader says of a library that is missing or does not
    // load: the module was not found; the loader's own words follow.
    const char* why = file[0] ? dlerror() : "no \"Provider DLL\" is set";
    const long error = 126;  // ERROR_MOD_NOT_FOUND
    SetLastErrorCode(126);
    ReportInformation(kEventIdInformation,
                      "An error was reported by the configuration provider abstraction "
                      "interface. Load Library (" +
                          path + ") Failed. Error: " + std::to_string(error) + " (" +
                          (why ? why : "unknown reason") + ")");
    return nullptr;  // not in the table: the next call tries again
  }
  table.modules.emplace(name, module);
  return module;
}

int LocalGetOptionEx(int scope, const char* key, const char* name, char* value, int capacity) {
  if (!key || !name || !value || capacity <= 0) return 0;
  void* module = ResolveProviderModule();
  if (module == nullptr) {
    SetLastErrorCode(126);  // ERROR_MOD_NOT_FOUND
    ReportInformation(kEventIdError,
                      "Error: The System Option Provider failed when calling the GetOption "
                      "function because the module handle is null");
    return 0;
  }
  if (auto getOptionEx = EntryPoint<GetOptionExFunction>(module, "GetOption_Ex")) {
    return getOptionEx(scope, key, name, value, capacity);
  }
  if (auto getOption = EntryPoint<GetOptionFunction>(module, "GetOption")) {
    // "GetOption" takes no capacity: it writes into a working buffer, and the
    // caller gets the value only when it fits in the caller's buffer.
    char working[kWorkingValueCapacity] = {};
    int result = getOption(scope, key, name, working);
    working[sizeof working - 1] = '\0';
    if (!PutField(value, static_cast<size_t>(capacity), working)) result = 0;
    return result;
  }
  SetLastErrorCode(127);  // ERROR_PROC_NOT_FOUND
  ReportInformation(kEventIdError,
                    "Error: The System Option Provider failed when calling the GetOption "
                    "function because the function pointer is null");
  return 0;
}

int LocalSetOption(int scope, const char* key, const char* name, const char* value) {
  if (!key || !name || !value) return 0;
  void* module = ResolveProviderModule();
  if (module == nullptr) return 0;
  auto setOption = EntryPoint<SetOptionFunction>(module, "SetOption");
  return setOption ? setOption(scope, key, name, value) : 0;
}

int LocalGetSystemOption(SystemOptionRecord* record) {
  if (record == nullptr) return 0;
  void* module = ResolveProviderModule();
  if (module == nullptr) return 0;
  auto getOption = EntryPoint<GetOptionFunction>(module, "GetOption");
  if (getOption == nullptr) return 0;
  const int scope = record->optionScope;
  const std::string key = FieldText(record->optionKey, kFieldCapacity - 1);
  const std::string name = FieldText(record->optionName, kFieldCapacity - 1);
  char working[kWorkingValueCapacity] = {};
  std::memcpy(working, record->optionValue, strnlen(record->optionValue, kFieldCapacity - 1));
  int result = getOption(scope, key.c_str(), name.c_str(), working);
  working[sizeof working - 1] = '\0';
  record->optionScope = scope;
  PutField(record->optionKey, kFieldCapacity, key.c_str());
  PutField(record->optionName, kFieldCapacity, name.c_str());
  // A value of 1024 bytes or more does not fit the record: refused, not cut.
  if (!PutField(record->optionValue, kFieldCapacity, working)) result = 0;
  return result;
}

int LocalSetSystemOption(SystemOptionRecord* record) {
  if (record == nullptr) return 0;
  const std::string key = FieldText(record->optionKey, kFieldCapacity - 1);
  const std::string name = FieldText(record->optionName, kFieldCapacity - 1);
  const std::string value = FieldText(record->optionValue, kFieldCapacity - 1);
  return LocalSetOption(record->optionScope, key.c_str(), name.c_str(), value.c_str());
}

void TerminateOptionRecord(SystemOptionRecord* record) {
  record->optionKey[kFieldCapacity - 1] = '\0';
  record->optionName[kFieldCapacity - 1] = '\0';
  record->optionValue[kFieldCapacity - 1] = '\0';
}

void SelectProviderName(const char* name) {
  ProviderNames& names = Names();
  std::lock_guard lock(names.mutex);
  names.selected = name ? name : "";
}

int CallSetLoggingFunction(int32_t a, int32_t b, int32_t c, int32_t d) {
  void* module = ResolveProviderModule();
  if (module == nullptr) return 0;
  auto setLogging = EntryPoint<SetLoggingFunctionFunction>(module, "SetLoggingFunction");
  return setLogging ? setLogging(a, b, c, d) : 0;
}

void ResetProviderNamesForTesting() {
  ProviderNames& names = Names();
  std::lock_guard lock(names.mutex);
  names.selected.clear();
  names.cachedDefault.clear();
}

bool ProviderLoadedForTesting(const std::string& name) {
  ProviderTable& table = Table();
  std::lock_guard lock(table.mutex);
  return table.modules.count(name) != 0;
}

namespace {

// Library unload: free every provider module. (The load-time work runs at the
// first option call instead, see EnsureLibraryLoaded: a load-time constructor
// would run before the static objects of the other components exist.)
__attribute__((destructor)) void OnLibraryUnload() {
  ProviderTable& table = Table();
  std::lock_guard lock(table.mutex);
  for (auto& [name, module] : table.modules) dlclose(module);
  table.modules.clear();
}

}  // namespace
}  // namespace qvaiso::options
