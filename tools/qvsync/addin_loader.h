// Loading the registered add-ins as Outlook does: the per-user add-in list,
// the COM registration of each ProgID, the library, its class factory and the
// add-in object. See platform/outlook/extensibility.h.
#ifndef QV_TOOLS_QVSYNC_ADDIN_LOADER_H
#define QV_TOOLS_QVSYNC_ADDIN_LOADER_H

#include <memory>
#include <string>
#include <vector>

#include "platform/outlook/extensibility.h"

namespace qvhost {

// One entry of the add-in list and what its registration says.
struct AddinEntry {
  std::string progId;
  std::string friendlyName;
  std::string description;
  uint32_t loadBehavior = 0;
  std::string clsid;
  std::string library;             // InprocServer32
  std::string libraryDescription;  // the type library's description
};

// Every add-in in HKCU\Software\Microsoft\Office\Outlook\Addins, in order.
std::vector<AddinEntry> ReadAddinList();

// A loaded add-in: its library and object. Releases the object on destruction.
// Add-in libraries are never unmapped once loaded: their process-wide state
// (registry connections, the HTTP cookie store) lives as long as the process,
// as it does in Outlook, which keeps loaded add-ins until it exits.
class LoadedAddin {
 public:
  ~LoadedAddin();
  const AddinEntry& entry() const { return entry_; }
  qv::outlook::AddIn& object() { return *object_; }

  // Loads the entry's library and creates its object; nullptr and `*error`
  // when that fails.
  static std::unique_ptr<LoadedAddin> Load(const AddinEntry& entry, std::string* error);

 private:
  LoadedAddin() = default;
  AddinEntry entry_;
  void* library_ = nullptr;
  qv::outlook::AddIn* object_ = nullptr;
};

// Runs the library's DllRegisterServer or DllUnregisterServer. The HRESULT, or
// kE_FAIL with `*error` when the library cannot be loaded.
int RegisterLibrary(const std::string& library, bool unregister, std::string* error);

}  // namespace qvhost

#endif
