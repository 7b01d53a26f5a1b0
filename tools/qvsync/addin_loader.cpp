#include "tools/qvsync/addin_loader.h"

#include <dlfcn.h>

#include "platform/registry/registry.h"

namespace qvhost {

using qv::registry::Access;
using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

namespace {

constexpr const char* kAddinsKey = "Software\\Microsoft\\Office\\Outlook\\Addins";

std::string ReadDefault(const std::string& path, const std::string& name = "") {
  Key key;
  std::string text;
  if (Key::Open(Hive::CurrentUser, path, Access::Read, &key) != Status::Ok) return "";
  if (key.GetString(name, &text) != Status::Ok) return "";
  return text;
}

using GetClassObjectFn = int (*)(const char*, const char*, void**);
using CanUnloadFn = int (*)();
using RegisterFn = int (*)();

}  // namespace

std::vector<AddinEntry> ReadAddinList() {
  std::vector<AddinEntry> entries;
  Key list;
  if (Key::Open(Hive::CurrentUser, kAddinsKey, Access::Read, &list) != Status::Ok) return entries;
  std::vector<std::string> progIds;
  list.Subkeys(&progIds);
  for (const std::string& progId : progIds) {
    AddinEntry entry;
    entry.progId = progId;
    Key addin;
    if (Key::Open(Hive::CurrentUser, std::string(kAddinsKey) + "\\" + progId, Access::Read, &addin) != Status::Ok) {
      continue;
    }
    addin.GetString("FriendlyName", &entry.friendlyName);
    addin.GetString("Description", &entry.description);
    addin.GetDword("LoadBehavior", &entry.loadBehavior);
    entry.clsid = ReadDefault("Software\\Classes\\" + progId + "\\CLSID");
    if (!entry.clsid.empty()) {
      const std::string clsidKey = "Software\\Classes\\CLSID\\" + entry.clsid;
      entry.library = ReadDefault(clsidKey + "\\InprocServer32");
      std::string libId = ReadDefault(clsidKey + "\\TypeLib");
      if (!libId.empty()) entry.libraryDescription = ReadDefault("Software\\Classes\\TypeLib\\" + libId + "\\1.0");
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

LoadedAddin::~LoadedAddin() {
  if (object_) object_->Release();
  if (library_) {
    auto canUnload = reinterpret_cast<CanUnloadFn>(dlsym(library_, "DllCanUnloadNow"));
    if (canUnload == nullptr || canUnload() == qv::outlook::kS_OK) dlclose(library_);
  }
}

std::unique_ptr<LoadedAddin> LoadedAddin::Load(const AddinEntry& entry, std::string* error) {
  if (entry.library.empty()) {
    *error = "the add-in " + entry.progId + " is not registered as a class";
    return nullptr;
  }
  std::unique_ptr<LoadedAddin> loaded(new LoadedAddin);
  loaded->entry_ = entry;
  loaded->library_ = dlopen(entry.library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (loaded->library_ == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + entry.library + ": " + (why ? why : "unknown error");
    return nullptr;
  }
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(dlsym(loaded->library_, "DllGetClassObject"));
  if (getClassObject == nullptr) {
    *error = entry.library + " is no in-process server (no DllGetClassObject)";
    return nullptr;
  }
  void* factory = nullptr;
  int hr = getClassObject(entry.clsid.c_str(), qv::outlook::kIidClassFactory, &factory);
  if (hr != qv::outlook::kS_OK || factory == nullptr) {
    *error = entry.library + " does not serve the class " + entry.clsid;
    return nullptr;
  }
  loaded->object_ = static_cast<qv::outlook::ClassFactory*>(factory)->CreateInstance();
  if (loaded->object_ == nullptr) {
    *error = "the add-in " + entry.progId + " could not be created";
    return nullptr;
  }
  return loaded;
}

int RegisterLibrary(const std::string& library, bool unregister, std::string* error) {
  void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
  if (handle == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + library + ": " + (why ? why : "unknown error");
    return qv::outlook::kE_FAIL;
  }
  auto function = reinterpret_cast<RegisterFn>(dlsym(handle, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
  int hr = qv::outlook::kE_FAIL;
  if (function == nullptr) {
    *error = library + " cannot register itself";
  } else {
    hr = function();
  }
  dlclose(handle);
  return hr;
}

}  // namespace qvhost
