// An IDispatch over any Object: names get DISPIDs from one table of the
// module (so a name has the same DISPID on every object, as members of one
// type library do), Invoke runs Get or Put, and objects that raise Click offer
// the _CommandBarButtonEvents connection point.
#include <map>
#include <mutex>
#include <vector>

#include "platform/win32/outlook/com_bridge.h"
#include "platform/win32/outlook/dispatch_object.h"

namespace qv::outlook::com {

namespace {

// DISPIDs given to names start here, clear of the reserved ones.
constexpr DISPID kFirstNameId = 1000;
// The most names the table takes: a caller asking for ever new names must not
// make it grow without end (an object model has a few hundred).
constexpr size_t kMaxNames = 65536;

// The name table: lower-case name -> DISPID, and back.
struct NameTable {
  std::mutex lock;
  std::map<std::string, DISPID> ids;
  std::vector<std::string> names;  // names[id - kFirstNameId], as first asked for
};

NameTable& Names() {
  static NameTable* table = new NameTable;  // lives for the process: adapters may outlive statics
  return *table;
}

// The DISPID of a name; DISPID_UNKNOWN once the table is full.
DISPID IdOfName(const std::string& name) {
  std::string key = name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  NameTable& table = Names();
  std::lock_guard<std::mutex> hold(table.lock);
  if (auto it = table.ids.find(key); it != table.ids.end()) return it->second;
  if (table.names.size() >= kMaxNames) return DISPID_UNKNOWN;
  const DISPID id = kFirstNameId + static_cast<DISPID>(table.names.size());
  table.ids.emplace(std::move(key), id);
  table.names.push_back(name);
  return id;
}

bool NameOfId(DISPID id, std::string* name) {
  if (id == DISPID_VALUE) {
    *name = "Item";  // the default member of a collection
    return true;
  }
  NameTable& table = Names();
  std::lock_guard<std::mutex> hold(table.lock);
  if (id < kFirstNameId || static_cast<size_t>(id - kFirstNameId) >= table.names.size()) return false;
  *name = table.names[static_cast<size_t>(id - kFirstNameId)];
  return true;
}

// The interface by which this module recognises its own adapters: an IID made
// afresh for each module, so that an adapter of another module (which holds
// objects of that module's heap) is never taken for one of ours.
const GUID& OwnAdapterIid() {
  static const GUID iid = [] {
    GUID made{};
    CoCreateGuid(&made);
    return made;
  }();
  return iid;
}

class ExposedObject;

// A button's _CommandBarButtonEvents connection point: each Advise binds the
// sink's Click to the Object's Click event, until Unadvise.
class ButtonConnectionPoint final : public IConnectionPoint, public ComCounted {
 public:
  ButtonConnectionPoint(ObjectRef object, IConnectionPointContainer* container)
      : object_(std::move(object)), container_(container) {
    container_->AddRef();
  }
  ~ButtonConnectionPoint() override { container_->Release(); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (iid == nullptr) return E_POINTER;
    *iid = kDiidCommandBarButtonEvents;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
    if (out == nullptr) return E_POINTER;
    *out = container_;
    container_->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    *cookie = 0;
    IDispatch* dispatch = nullptr;
    if (FAILED(sink->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))) || dispatch == nullptr) {
      return CONNECT_E_CANNOTCONNECT;
    }
    // The handler holds the sink until the binding ends.
    struct SinkRef {
      IDispatch* sink;
      explicit SinkRef(IDispatch* s) : sink(s) {}
      ~SinkRef() { sink->Release(); }
    };
    auto held = std::make_shared<SinkRef>(dispatch);
    try {
      const uint64_t bound = object_->Advise("Click", [held](const Variant& ctrl, bool& cancel) {
        RaiseClick(held->sink, ctrl, cancel);
      });
      *cookie = ++lastCookie_;
      cookies_.emplace(*cookie, bound);
      return S_OK;
    } catch (const Error&) {
      return CONNECT_E_CANNOTCONNECT;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    auto it = cookies_.find(cookie);
    if (it == cookies_.end()) return CONNECT_E_NOCONNECTION;
    try {
      object_->Unadvise(it->second);
    } catch (...) {
    }
    cookies_.erase(it);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

 private:
  // Calls the sink's Click(Ctrl, CancelDefault) and carries a failure back
  // as the Error it reports.
  static void RaiseClick(IDispatch* sink, const Variant& ctrl, bool& cancel) {
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    VARIANT_BOOL cancelFlag = cancel ? VARIANT_TRUE : VARIANT_FALSE;
    V_VT(&args[0]) = VT_BOOL | VT_BYREF;
    V_BOOLREF(&args[0]) = &cancelFlag;
    ToVariant(ctrl, &args[1], Role::Value);
    DISPPARAMS params{args, nullptr, 2, 0};
    EXCEPINFO exception{};
    UINT argumentError = 0;
    const HRESULT hr =
        sink->Invoke(kDispidClick, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, &exception,
                     &argumentError);
    VariantClear(&args[1]);
    if (FAILED(hr)) throw ErrorFromHresult(hr, &exception);
    cancel = cancelFlag != VARIANT_FALSE;
  }

  ObjectRef object_;
  IConnectionPointContainer* container_;
  std::map<DWORD, uint64_t> cookies_;  // our cookie -> the Object's
  DWORD lastCookie_ = 0;
};

class ExposedObject final : public WithoutTypeInfo<IDispatch>, public IConnectionPointContainer, public ComCounted {
 public:
  explicit ExposedObject(ObjectRef object) : object_(std::move(object)) {}

  const ObjectRef& object() const { return object_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, OwnAdapterIid())) {
      *out = static_cast<IDispatch*>(this);
    } else if (IsEqualIID(iid, IID_IConnectionPointContainer)) {
      *out = static_cast<IConnectionPointContainer*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }

  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (names == nullptr || ids == nullptr) return E_POINTER;
    if (count == 0) return S_OK;
    if (names[0] == nullptr) return E_POINTER;
    // Only the member is named here; named arguments are not supported.
    try {
      BSTR name = SysAllocString(names[0]);
      ids[0] = IdOfName(FromBstr(name));
      SysFreeString(name);
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    for (UINT i = 1; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return count > 1 || ids[0] == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argumentError) override {
    if (result) VariantInit(result);
    std::string name;
    if (!NameOfId(member, &name)) return DISP_E_MEMBERNOTFOUND;
    const UINT count = params ? params->cArgs : 0;
    if (count > 0 && (params->rgvarg == nullptr)) return E_POINTER;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    if (put && (count == 0 || params->cNamedArgs != 1 || params->rgdispidNamedArgs == nullptr ||
                params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) {
      return DISP_E_PARAMNOTOPTIONAL;
    }
    if (!put && params && params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    return GuardInvoke(exception, [&] {
      // Arguments arrive last first; a put's value is the first of them.
      std::vector<Variant> args;
      const UINT first = put ? 1 : 0;
      for (UINT i = count; i > first; --i) {
        if (argumentError) *argumentError = i - 1;
        args.push_back(FromVariant(params->rgvarg[i - 1]));
      }
      if (put) {
        if (argumentError) *argumentError = 0;
        const Variant value = FromVariant(params->rgvarg[0]);
        object_->Put(name, args, value);
        return S_OK;
      }
      Variant value = object_->Get(name, args);
      if (result) ToVariant(value, result, Role::Value);
      return S_OK;
    });
  }

  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, kDiidCommandBarButtonEvents)) return CONNECT_E_NOCONNECTION;
    try {
      *out = new ButtonConnectionPoint(object_, static_cast<IConnectionPointContainer*>(this));
      return S_OK;
    } catch (...) {
      return E_OUTOFMEMORY;
    }
  }

 private:
  ObjectRef object_;
};

}  // namespace

IDispatch* ExposeObject(const ObjectRef& object) {
  if (!object) return nullptr;
  if (auto* wrapped = dynamic_cast<DispatchObject*>(object.get())) {
    wrapped->dispatch()->AddRef();
    return wrapped->dispatch();
  }
  return static_cast<IDispatch*>(new ExposedObject(object));
}

ObjectRef UnwrapExposed(IDispatch* dispatch) {
  void* own = nullptr;
  if (FAILED(dispatch->QueryInterface(OwnAdapterIid(), &own)) || own == nullptr) return nullptr;
  auto* exposed = static_cast<ExposedObject*>(static_cast<IDispatch*>(own));
  ObjectRef object = exposed->object();
  exposed->Release();
  return object;
}

}  // namespace qv::outlook::com
