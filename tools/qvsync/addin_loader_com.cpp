// Loading an add-in as Outlook does on Windows: the class of the entry's
// ProgID created through COM, asked for IDTExtensibility2, and its events
// raised through that interface's vtable. The host's Application goes to the
// add-in as an IDispatch over the emulated Outlook.
//
// Activation: the system's COM first (CLSIDFromProgID, CoCreateInstance).
// When the system does not know the class (Wine's COM reads only the
// machine's classes, not the per-user ones under HKCU\Software\Classes where
// the add-in registers itself), the host activates it from the per-user
// registration as Windows' merged view of the classes would: the library
// named by InprocServer32, its DllGetClassObject, the class factory.
#include <objbase.h>
#include <olectl.h>

#include <string>

#include "platform/win32/outlook/com_bridge.h"
#include "platform/win32/outlook/extensibility_com.h"
#include "tools/qvsync/addin_loader.h"

namespace qvhost {
namespace {

namespace com = qv::outlook::com;
using qv::outlook::Variant;

void InitializeCom() {
  static const bool initialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  (void)initialized;
}

std::wstring Wide(const std::string& text) {
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(length > 0 ? length : 1), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), length);
  out.resize(wcslen(out.c_str()));
  return out;
}

std::string HresultText(HRESULT hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

// The add-in's events through IDTExtensibility2. A failure the add-in reports
// comes back as the Error its error object describes.
class ComAddIn final : public qv::outlook::AddIn {
 public:
  explicit ComAddIn(com::IDTExtensibility2* extensibility) : extensibility_(extensibility) {}

  void OnConnection(const Variant& application, int connectMode, const Variant& addInInst,
                    const Variant&) override {
    IDispatch* app = Exposed(application);
    IDispatch* inst = Exposed(addInInst);
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    const HRESULT hr = extensibility_->OnConnection(app, connectMode, inst, &custom);
    Cleanup(custom, app, inst);
    Check(hr);
  }
  void OnDisconnection(int removeMode, const Variant&) override {
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    const HRESULT hr = extensibility_->OnDisconnection(removeMode, &custom);
    Cleanup(custom, nullptr, nullptr);
    Check(hr);
  }
  void OnAddInsUpdate(const Variant&) override { Simple(&com::IDTExtensibility2::OnAddInsUpdate); }
  void OnStartupComplete(const Variant&) override { Simple(&com::IDTExtensibility2::OnStartupComplete); }
  void OnBeginShutdown(const Variant&) override { Simple(&com::IDTExtensibility2::OnBeginShutdown); }
  void Release() override {
    extensibility_->Release();
    delete this;
  }

 private:
  ~ComAddIn() = default;

  void Simple(HRESULT (STDMETHODCALLTYPE com::IDTExtensibility2::*event)(SAFEARRAY**)) {
    SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
    const HRESULT hr = (extensibility_->*event)(&custom);
    Cleanup(custom, nullptr, nullptr);
    Check(hr);
  }
  // The object as IDispatch; null for anything else, Nothing included.
  static IDispatch* Exposed(const Variant& value) {
    return value.IsObject() && !value.IsNothing() ? com::ExposeObject(value.ToObject()) : nullptr;
  }
  static void Cleanup(SAFEARRAY* custom, IDispatch* a, IDispatch* b) {
    if (custom) SafeArrayDestroy(custom);
    if (a) a->Release();
    if (b) b->Release();
  }
  static void Check(HRESULT hr) {
    if (FAILED(hr)) throw com::ErrorFromCall(hr);
  }

  com::IDTExtensibility2* extensibility_;
};

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
using RegisterFn = HRESULT(STDAPICALLTYPE*)();

HMODULE LoadServer(const std::string& library, std::string* error) {
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryExW(Wide(library).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  SetErrorMode(previous);
  if (module == nullptr) *error = "cannot load " + library + " (error " + std::to_string(GetLastError()) + ")";
  return module;
}

}  // namespace

LoadedAddin::~LoadedAddin() {
  // The library stays loaded, as Outlook keeps its add-ins until it exits.
  if (object_) object_->Release();
}

std::unique_ptr<LoadedAddin> LoadedAddin::Load(const AddinEntry& entry, std::string* error) {
  InitializeCom();
  if (entry.library.empty() || entry.clsid.empty()) {
    *error = "the add-in " + entry.progId + " is not registered as a class";
    return nullptr;
  }
  std::unique_ptr<LoadedAddin> loaded(new LoadedAddin);
  loaded->entry_ = entry;
  com::IDTExtensibility2* extensibility = nullptr;
  CLSID clsid{};
  HRESULT hr = CLSIDFromProgID(Wide(entry.progId).c_str(), &clsid);
  if (SUCCEEDED(hr)) {
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, com::kIidExtensibility2,
                          reinterpret_cast<void**>(&extensibility));
  }
  if (hr == CO_E_CLASSSTRING || hr == REGDB_E_CLASSNOTREG || hr == REGDB_E_READREGDB) {
    // The per-user registration, read as the merged view of the classes.
    if (FAILED(CLSIDFromString(Wide(entry.clsid).c_str(), &clsid))) {
      *error = "the add-in " + entry.progId + " names no valid class (" + entry.clsid + ")";
      return nullptr;
    }
    HMODULE module = LoadServer(entry.library, error);
    if (module == nullptr) return nullptr;
    loaded->library_ = module;
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(GetProcAddress(module, "DllGetClassObject"));
    if (getClassObject == nullptr) {
      *error = entry.library + " is no in-process server (no DllGetClassObject)";
      return nullptr;
    }
    IClassFactory* factory = nullptr;
    hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr) || factory == nullptr) {
      *error = entry.library + " does not serve the class " + entry.clsid + " (" + HresultText(hr) + ")";
      return nullptr;
    }
    hr = factory->CreateInstance(nullptr, com::kIidExtensibility2, reinterpret_cast<void**>(&extensibility));
    factory->Release();
  }
  if (FAILED(hr) || extensibility == nullptr) {
    *error = "the add-in " + entry.progId + " could not be created (" + HresultText(hr) + ")";
    return nullptr;
  }
  loaded->object_ = new ComAddIn(extensibility);
  return loaded;
}

int RegisterLibrary(const std::string& library, bool unregister, std::string* error) {
  InitializeCom();
  HMODULE module = LoadServer(library, error);
  if (module == nullptr) return qv::outlook::kE_FAIL;
  auto function =
      reinterpret_cast<RegisterFn>(GetProcAddress(module, unregister ? "DllUnregisterServer" : "DllRegisterServer"));
  int hr = qv::outlook::kE_FAIL;
  if (function == nullptr) {
    *error = library + " cannot register itself";
  } else {
    hr = function();
    if (hr != qv::outlook::kS_OK) *error = library + " refused";
  }
  FreeLibrary(module);
  return hr;
}

}  // namespace qvhost
