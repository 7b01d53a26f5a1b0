// The add-in library's COM server exports: self-registration into the
// per-user registry, the class factory of Connect, and the unload check. See
// platform/outlook/extensibility.h for the registry layout the host reads.
#include <string>

#include "addin/connect.h"
#include "platform/outlook/extensibility.h"
#include "platform/registry/registry.h"
#include "platform/shell/shell.h"

namespace qvsync {
namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

constexpr const char* kProgId = "QVSync.Connect";
constexpr const char* kClsid = "{5E3A9C71-2B4D-4F86-A0C3-7D19E2B64F58}";
constexpr const char* kLibId = "{A41F6D28-93C5-4E7B-B812-3C6E0F9D57A4}";
constexpr const char* kLibraryDescription = "Quorvia Synchronization Utility";
constexpr const char* kAddinDescription = "Quorvia Synchronization Add-In";
constexpr const char* kAddinsKey = "Software\\Microsoft\\Office\\Outlook\\Addins\\QVSync.Connect";

std::string ClassesKey(const std::string& below) { return "Software\\Classes\\" + below; }

bool WriteDefault(const std::string& path, const std::string& text) {
  Key key;
  return Key::Create(Hive::CurrentUser, path, &key) == Status::Ok && key.SetString("", text) == Status::Ok;
}

bool EqualsNoCase(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  for (; *a && *b; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
  }
  return *a == *b;
}

// The one class this library serves. Lives for the process.
class ConnectFactory final : public qv::outlook::ClassFactory {
 public:
  qv::outlook::AddIn* CreateInstance() override {
    try {
      return new Connect();
    } catch (...) {
      return nullptr;
    }
  }
};

}  // namespace
}  // namespace qvsync

extern "C" {

__attribute__((visibility("default"))) int DllRegisterServer(void) {
  using namespace qvsync;
  try {
    const std::string library = qv::shell::ModulePath(reinterpret_cast<const void*>(&DllRegisterServer));
    if (library.empty()) return qv::outlook::kSELFREG_E_CLASS;
    const std::string clsidKey = ClassesKey(std::string("CLSID\\") + kClsid);
    bool ok = WriteDefault(ClassesKey(kProgId), kProgId) &&
              WriteDefault(ClassesKey(std::string(kProgId) + "\\CLSID"), kClsid) &&
              WriteDefault(clsidKey, kProgId) && WriteDefault(clsidKey + "\\InprocServer32", library) &&
              WriteDefault(clsidKey + "\\ProgID", kProgId) && WriteDefault(clsidKey + "\\TypeLib", kLibId) &&
              WriteDefault(ClassesKey(std::string("TypeLib\\") + kLibId + "\\1.0"), kLibraryDescription);
    Key inproc;
    ok = ok && Key::Open(Hive::CurrentUser, clsidKey + "\\InprocServer32", qv::registry::Access::Full, &inproc) ==
                   Status::Ok &&
         inproc.SetString("ThreadingModel", "Apartment") == Status::Ok;
    Key addin;
    ok = ok && Key::Create(Hive::CurrentUser, kAddinsKey, &addin) == Status::Ok &&
         addin.SetString("FriendlyName", kAddinDescription) == Status::Ok &&
         addin.SetString("Description", kAddinDescription) == Status::Ok &&
         addin.SetDword("LoadBehavior", 3) == Status::Ok;
    return ok ? qv::outlook::kS_OK : qv::outlook::kSELFREG_E_CLASS;
  } catch (...) {
    return qv::outlook::kSELFREG_E_CLASS;
  }
}

__attribute__((visibility("default"))) int DllUnregisterServer(void) {
  using namespace qvsync;
  try {
    // Whatever is already gone counts as removed.
    for (const std::string& path :
         {std::string(kAddinsKey), ClassesKey(kProgId), ClassesKey(std::string("CLSID\\") + kClsid),
          ClassesKey(std::string("TypeLib\\") + kLibId)}) {
      Status s = qv::registry::DeleteKeyTree(Hive::CurrentUser, path);
      if (s != Status::Ok && s != Status::NotFound) return qv::outlook::kSELFREG_E_CLASS;
    }
    return qv::outlook::kS_OK;
  } catch (...) {
    return qv::outlook::kSELFREG_E_CLASS;
  }
}

__attribute__((visibility("default"))) int DllGetClassObject(const char* clsid, const char* iid, void** object) {
  using namespace qvsync;
  if (object == nullptr) return qv::outlook::kE_POINTER;
  *object = nullptr;
  if (!EqualsNoCase(clsid, kClsid)) return qv::outlook::kCLASS_E_CLASSNOTAVAILABLE;
  if (!EqualsNoCase(iid, qv::outlook::kIidClassFactory)) return qv::outlook::kE_NOINTERFACE;
  static ConnectFactory factory;
  *object = static_cast<qv::outlook::ClassFactory*>(&factory);
  return qv::outlook::kS_OK;
}

__attribute__((visibility("default"))) int DllCanUnloadNow(void) {
  return qvsync::Connect::LiveObjects() == 0 ? qv::outlook::kS_OK : qv::outlook::kS_FALSE;
}

}  // extern "C"
