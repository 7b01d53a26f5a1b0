// The add-in library's COM server exports as the Linux host loads them:
// self-registration into the per-user registry (the rows of
// addin/registration.tsv), the class factory of Connect, and the unload check.
// See platform/outlook/extensibility.h for the contract with the host.
#include <string>

#include "addin/connect.h"
#include "addin/registration_rows.h"
#include "platform/outlook/extensibility.h"
#include "platform/shell/shell.h"

namespace qvsync {
namespace {

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
  try {
    const std::string library = qv::shell::ModulePath(reinterpret_cast<const void*>(&DllRegisterServer));
    if (library.empty()) return qv::outlook::kSELFREG_E_CLASS;
    return qvsync::WriteRegistration(library) ? qv::outlook::kS_OK : qv::outlook::kSELFREG_E_CLASS;
  } catch (...) {
    return qv::outlook::kSELFREG_E_CLASS;
  }
}

__attribute__((visibility("default"))) int DllUnregisterServer(void) {
  try {
    return qvsync::RemoveRegistration() ? qv::outlook::kS_OK : qv::outlook::kSELFREG_E_CLASS;
  } catch (...) {
    return qv::outlook::kSELFREG_E_CLASS;
  }
}

__attribute__((visibility("default"))) int DllGetClassObject(const char* clsid, const char* iid, void** object) {
  using namespace qvsync;
  if (object == nullptr) return qv::outlook::kE_POINTER;
  *object = nullptr;
  if (!EqualsNoCase(clsid, RegisteredClassId().c_str())) return qv::outlook::kCLASS_E_CLASSNOTAVAILABLE;
  if (!EqualsNoCase(iid, qv::outlook::kIidClassFactory)) return qv::outlook::kE_NOINTERFACE;
  static ConnectFactory factory;
  *object = static_cast<qv::outlook::ClassFactory*>(&factory);
  return qv::outlook::kS_OK;
}

__attribute__((visibility("default"))) int DllCanUnloadNow(void) {
  return qvsync::Connect::LiveObjects() == 0 ? qv::outlook::kS_OK : qv::outlook::kS_FALSE;
}

}  // extern "C"
