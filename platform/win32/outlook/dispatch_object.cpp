// An Object over any IDispatch: every Get, Put and call is GetIDsOfNames
// (kept per object and name) and Invoke; Click events arrive through the
// button's connection point.
#include <algorithm>
#include <map>
#include <vector>

#include "platform/win32/outlook/com_bridge.h"
#include "platform/win32/outlook/dispatch_object.h"

namespace qv::outlook::com {

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// Clears the VARIANTs of an argument list, whatever happens in between.
class VariantList {
 public:
  explicit VariantList(size_t size) : values_(size) {
    for (VARIANT& v : values_) VariantInit(&v);
  }
  ~VariantList() {
    for (VARIANT& v : values_) VariantClear(&v);
  }
  VariantList(const VariantList&) = delete;
  VariantList& operator=(const VariantList&) = delete;
  VARIANT* data() { return values_.data(); }
  VARIANT& operator[](size_t i) { return values_[i]; }

 private:
  std::vector<VARIANT> values_;
};

// The sink an add-in connects to a button's _CommandBarButtonEvents: Click
// (DISPID 1) runs the handler with the button and the by-reference cancel
// flag. A failure of the handler goes back to the button's owner as an
// exception of the event.
class ClickSink final : public WithoutTypeInfo<IDispatch>, public ComCounted {
 public:
  explicit ClickSink(ClickHandler handler) : handler_(std::move(handler)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, kDiidCommandBarButtonEvents)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefImpl(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseImpl(); }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
    if (names == nullptr || ids == nullptr) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
      const bool click = i == 0 && names[i] != nullptr && lstrcmpiW(names[i], L"Click") == 0;
      ids[i] = click ? kDispidClick : DISPID_UNKNOWN;
      if (!click) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argumentError) override {
    if (result) VariantInit(result);
    if (member != kDispidClick) return DISP_E_MEMBERNOTFOUND;
    if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
    if (params == nullptr || params->cArgs != 2 || params->rgvarg == nullptr) return DISP_E_BADPARAMCOUNT;
    // Arguments arrive last first: rgvarg[1] is Ctrl, rgvarg[0] CancelDefault.
    VARIANT& cancelArg = params->rgvarg[0];
    if (argumentError) *argumentError = 0;
    return GuardInvoke(exception, [&] {
      const Variant ctrl = FromVariant(params->rgvarg[1]);
      bool cancel = false;
      VARIANT_BOOL* cancelRef = nullptr;
      if (V_VT(&cancelArg) == (VT_BOOL | VT_BYREF) && V_BOOLREF(&cancelArg) != nullptr) {
        cancelRef = V_BOOLREF(&cancelArg);
        cancel = *cancelRef != VARIANT_FALSE;
      } else if (V_VT(&cancelArg) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&cancelArg) != nullptr &&
                 V_VT(V_VARIANTREF(&cancelArg)) == VT_BOOL) {
        cancelRef = &V_BOOL(V_VARIANTREF(&cancelArg));
        cancel = *cancelRef != VARIANT_FALSE;
      } else {
        cancel = FromVariant(cancelArg).ToBool();
      }
      handler_(ctrl, cancel);
      if (cancelRef) *cancelRef = cancel ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
    });
  }

 private:
  ClickHandler handler_;
};

}  // namespace

DispatchObject::DispatchObject(IDispatch* dispatch) : dispatch_(dispatch) { dispatch_->AddRef(); }

DispatchObject::~DispatchObject() {
  for (auto& [cookie, connection] : connections_) {
    connection.point->Unadvise(connection.cookie);
    connection.point->Release();
  }
  dispatch_->Release();
}

DISPID DispatchObject::IdOf(std::string_view name) {
  std::string key = Lower(name);
  if (auto it = ids_.find(key); it != ids_.end()) return it->second;
  BSTR wide = ToBstr(name);
  if (wide == nullptr) throw Error(7, "Out of memory");
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[1] = {wide};
  const HRESULT hr = dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  SysFreeString(wide);
  if (FAILED(hr)) throw ErrorFromHresult(hr == DISP_E_UNKNOWNNAME ? DISP_E_MEMBERNOTFOUND : hr, nullptr);
  ids_.emplace(std::move(key), id);
  return id;
}

Variant DispatchObject::Get(std::string_view name, Args args) {
  const DISPID id = IdOf(name);
  // Arguments go last first.
  VariantList list(args.size());
  for (size_t i = 0; i < args.size(); ++i) ToVariant(args[i], &list[args.size() - 1 - i], Role::Argument);
  DISPPARAMS params{list.data(), nullptr, static_cast<UINT>(args.size()), 0};
  VARIANT result;
  VariantInit(&result);
  EXCEPINFO exception{};
  UINT argumentError = 0;
  const HRESULT hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET,
                                       &params, &result, &exception, &argumentError);
  if (FAILED(hr)) {
    VariantClear(&result);
    throw ErrorFromHresult(hr, &exception);
  }
  try {
    Variant value = FromVariant(result);
    VariantClear(&result);
    return value;
  } catch (...) {
    VariantClear(&result);
    throw;
  }
}

void DispatchObject::Put(std::string_view name, Args args, const Variant& value) {
  const DISPID id = IdOf(name);
  // The value comes first in the list (it is the last argument), then the
  // index, last first.
  const size_t count = args.size() + 1;
  VariantList list(count);
  ToVariant(value, &list[0], Role::Value);
  for (size_t i = 0; i < args.size(); ++i) ToVariant(args[i], &list[count - 1 - i], Role::Argument);
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params{list.data(), &named, static_cast<UINT>(count), 1};
  EXCEPINFO exception{};
  UINT argumentError = 0;
  HRESULT hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr,
                                 &exception, &argumentError);
  // An object assigned to a property that only takes a reference (Set).
  if (hr == DISP_E_MEMBERNOTFOUND && value.IsObject()) {
    exception = EXCEPINFO{};
    hr = dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYPUTREF, &params, nullptr,
                           &exception, &argumentError);
  }
  if (FAILED(hr)) throw ErrorFromHresult(hr, &exception);
}

std::string_view DispatchObject::TypeName() const { return "Object"; }

uint64_t DispatchObject::Advise(std::string_view event, ClickHandler handler) {
  if (Lower(event) != "click" || !handler) throw Error(kErrTypeMismatch);
  IConnectionPointContainer* container = nullptr;
  if (FAILED(dispatch_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container))) ||
      container == nullptr) {
    throw Error(kErrTypeMismatch);
  }
  IConnectionPoint* point = nullptr;
  HRESULT hr = container->FindConnectionPoint(kDiidCommandBarButtonEvents, &point);
  container->Release();
  if (FAILED(hr) || point == nullptr) throw Error(kErrTypeMismatch);
  auto* sink = new ClickSink(std::move(handler));
  DWORD cookie = 0;
  hr = point->Advise(static_cast<IDispatch*>(sink), &cookie);
  sink->Release();  // the connection point keeps its own reference
  if (FAILED(hr)) {
    point->Release();
    throw ErrorFromHresult(hr, nullptr);
  }
  connections_.emplace(++lastCookie_, Connection{point, cookie});
  return lastCookie_;
}

void DispatchObject::Unadvise(uint64_t cookie) {
  auto it = connections_.find(cookie);
  if (it == connections_.end()) return;
  it->second.point->Unadvise(it->second.cookie);
  it->second.point->Release();
  connections_.erase(it);
}

ObjectRef WrapDispatch(IDispatch* dispatch) {
  if (dispatch == nullptr) return nullptr;
  if (ObjectRef own = UnwrapExposed(dispatch)) return own;
  return std::make_shared<DispatchObject>(dispatch);
}

}  // namespace qv::outlook::com
