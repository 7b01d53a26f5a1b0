// qvsync.dll as an in-process COM server: the class factory of Connect, the
// Connect object Outlook creates (IDTExtensibility2, reached through its
// vtable or through IDispatch), self-registration from the rows of
// addin/registration.tsv, and the unload check. The events are forwarded to
// the same Connect logic the Linux host drives; the Outlook objects they carry
// become Objects over IDispatch (platform/win32/outlook).
//
// Threads: Outlook's user-interface thread, a single-threaded apartment
// (ThreadingModel "Apartment"). Nothing thrown leaves a COM method.
#include <objbase.h>
#include <olectl.h>

#include <new>
#include <string>

#include "addin/connect.h"
#include "addin/registration_rows.h"
#include "platform/shell/shell.h"
#include "platform/win32/outlook/com_bridge.h"
#include "platform/win32/outlook/extensibility_com.h"

namespace qvsync {
namespace {

using qv::outlook::Error;
using qv::outlook::Variant;
namespace com = qv::outlook::com;

LONG g_serverLocks = 0;

// Runs one event of the add-in and turns what escapes it into the HRESULT
// (and error object) the host reads.
template <typename Step>
HRESULT Guarded(Step&& step) {
  try {
    step();
    return S_OK;
  } catch (const Error& e) {
    return com::ReportToCaller(e, com::kIidExtensibility2);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return com::ReportToCaller(Error(qv::outlook::kErrFailed, e.what()), com::kIidExtensibility2);
  } catch (...) {
    return E_FAIL;
  }
}

Variant ObjectOf(IDispatch* dispatch) { return Variant(com::WrapDispatch(dispatch)); }

// The add-in object: one Connect behind the extensibility interface.
class ConnectObject final : public com::WithoutTypeInfo<com::IDTExtensibility2>, public ISupportErrorInfo,
                            public com::ComCounted {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, com::kIidExtensibility2)) {
      *out = static_cast<com::IDTExtensibility2*>(this);
    } else if (IsEqualIID(iid, IID_ISupportErrorInfo)) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsEqualIID(iid, com::kIidExtensibility2) ? S_OK : S_FALSE;
  }

  // IDispatch, without a type library: the five members by name and DISPID.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    static const struct {
      const wchar_t* name;
      DISPID id;
    } kMembers[] = {
        {L"OnConnection", com::kDispidOnConnection},
        {L"OnDisconnection", com::kDispidOnDisconnection},
        {L"OnAddInsUpdate", com::kDispidOnAddInsUpdate},
        {L"OnStartupComplete", com::kDispidOnStartupComplete},
        {L"OnBeginShutdown", com::kDispidOnBeginShutdown},
    };
    if (names == nullptr || ids == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      ids[i] = DISPID_UNKNOWN;
      for (const auto& member : kMembers) {
        if (i == 0 && names[i] != nullptr && lstrcmpiW(names[i], member.name) == 0) ids[i] = member.id;
      }
      if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT*) override {
    if (result) VariantInit(result);
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    const UINT count = params ? params->cArgs : 0;
    if (count > 0 && params->rgvarg == nullptr) return E_POINTER;
    // The n-th declared argument (arguments arrive last first).
    auto arg = [&](UINT n) { return com::FromVariant(params->rgvarg[count - 1 - n]); };
    auto expect = [&](UINT wanted) {
      if (count != wanted) throw Error(450, "Wrong number of arguments or invalid property assignment");
    };
    return com::GuardInvoke(exception, [&]() -> HRESULT {
      switch (member) {
        case com::kDispidOnConnection:
          expect(4);
          connect_.OnConnection(arg(0), arg(1).ToLong(), arg(2), Variant());
          return S_OK;
        case com::kDispidOnDisconnection:
          expect(2);
          connect_.OnDisconnection(arg(0).ToLong(), Variant());
          return S_OK;
        case com::kDispidOnAddInsUpdate: expect(1); connect_.OnAddInsUpdate(Variant()); return S_OK;
        case com::kDispidOnStartupComplete: expect(1); connect_.OnStartupComplete(Variant()); return S_OK;
        case com::kDispidOnBeginShutdown: expect(1); connect_.OnBeginShutdown(Variant()); return S_OK;
        default: return DISP_E_MEMBERNOTFOUND;
      }
    });
  }

  // IDTExtensibility2. `custom` is not used (Outlook passes an empty array).
  HRESULT STDMETHODCALLTYPE OnConnection(IDispatch* application, int connectMode, IDispatch* addInInst,
                                         SAFEARRAY**) override {
    return Guarded([&] { connect_.OnConnection(ObjectOf(application), connectMode, ObjectOf(addInInst), Variant()); });
  }
  HRESULT STDMETHODCALLTYPE OnDisconnection(int removeMode, SAFEARRAY**) override {
    return Guarded([&] { connect_.OnDisconnection(removeMode, Variant()); });
  }
  HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY**) override {
    return Guarded([&] { connect_.OnAddInsUpdate(Variant()); });
  }
  HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY**) override {
    return Guarded([&] { connect_.OnStartupComplete(Variant()); });
  }
  HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY**) override {
    return Guarded([&] { connect_.OnBeginShutdown(Variant()); });
  }

 private:
  Connect connect_;
};

// The class factory of Connect. Static: it lives as long as the module, and
// its references only count as server locks.
class ConnectFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&g_serverLocks)) + 1; }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(InterlockedDecrement(&g_serverLocks)) + 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ConnectObject* object = new (std::nothrow) ConnectObject;
    if (object == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(iid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      InterlockedIncrement(&g_serverLocks);
    } else {
      InterlockedDecrement(&g_serverLocks);
    }
    return S_OK;
  }
};

ConnectFactory g_factory;

bool RegisteredClass(CLSID* clsid) {
  const std::string& text = RegisteredClassId();
  std::wstring wide(text.begin(), text.end());  // "{...}" is ASCII
  return !text.empty() && SUCCEEDED(CLSIDFromString(wide.c_str(), clsid));
}

}  // namespace
}  // namespace qvsync

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  CLSID served{};
  if (!qvsync::RegisteredClass(&served) || !IsEqualCLSID(clsid, served)) return CLASS_E_CLASSNOTAVAILABLE;
  return qvsync::g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow(void) {
  const bool busy = InterlockedCompareExchange(&qvsync::g_serverLocks, 0, 0) != 0 ||
                    qv::outlook::com::LiveComObjects() != 0 || qvsync::Connect::LiveObjects() != 0;
  return busy ? S_FALSE : S_OK;
}

STDAPI DllRegisterServer(void) {
  try {
    const std::string library = qv::shell::ModulePath(reinterpret_cast<const void*>(&DllRegisterServer));
    if (library.empty()) return SELFREG_E_CLASS;
    return qvsync::WriteRegistration(library) ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}

STDAPI DllUnregisterServer(void) {
  try {
    return qvsync::RemoveRegistration() ? S_OK : SELFREG_E_CLASS;
  } catch (...) {
    return SELFREG_E_CLASS;
  }
}
