// Loading an add-in as the Linux host does: the library with dlopen, its
// class factory through the C++ contract of platform/outlook/extensibility.h.
#include "tools/qvsync/addin_loader.h"

#include <dlfcn.h>

namespace qvhost {

namespace {

using GetClassObjectFn = int (*)(const char*, const char*, void**);
using CanUnloadFn = int (*)();
using RegisterFn = int (*)();

}  // namespace

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
