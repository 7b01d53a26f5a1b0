// The object model over COM: the late-bound `Object` of platform/outlook
// carried across a real COM boundary, in both directions.
//
// - WrapDispatch: an Object whose Get/Put go through any IDispatch
//   (GetIDsOfNames, then Invoke). This is how the add-in reaches Outlook.
// - ExposeObject: an IDispatch over any Object, so that a host hands an object
//   model of its own (the emulated Outlook) to an add-in through COM.
//
// Values cross as VARIANTs: Empty, VT_BOOL, VT_I4 (and the other integer
// types when read), VT_R8, VT_DATE, VT_BSTR (texts are UTF-8 on our side),
// SAFEARRAY of VT_UI1 for byte arrays, VT_DISPATCH for objects (null for
// Nothing). An omitted argument is VT_ERROR DISP_E_PARAMNOTFOUND. A VARIANT
// that has no Variant form reads as Error(13).
//
// Failures cross as DISP_E_EXCEPTION with an EXCEPINFO: an error number of
// late binding (91, 438, ...) travels as the HRESULT 0x800A0000 + number, as
// Visual Basic raises it, any other number as itself; the description as
// text. The other failure HRESULTs of Invoke map to the late-binding numbers
// (member not found 438, type mismatch 13, ...).
//
// Command bar buttons: Advise("Click") on a wrapped button connects a sink to
// the button's _CommandBarButtonEvents connection point; an exposed object
// offers that connection point for Objects that raise Click.
//
// Threads: objects of either kind belong to the thread (single-threaded
// apartment) that made them.
// Ownership: WrapDispatch keeps a reference to the IDispatch for the
// Object's lifetime; ExposeObject returns a pointer the caller releases, which
// keeps the Object alive until its last Release.
#ifndef QV_WIN32_OUTLOOK_COM_BRIDGE_H
#define QV_WIN32_OUTLOOK_COM_BRIDGE_H

#include <objbase.h>
#include <oaidl.h>
#include <ocidl.h>
#include <olectl.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>

#include "platform/outlook/outlook.h"

namespace qv::outlook::com {

// Office's _CommandBarButtonEvents dispatch interface; Click is DISPID 1 with
// (Ctrl As CommandBarButton, CancelDefault As Boolean ByRef).
inline constexpr GUID kDiidCommandBarButtonEvents = {
    0x000C0351, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr DISPID kDispidClick = 1;

// An Object over `dispatch` (null gives nullptr, i.e. Nothing). An IDispatch
// that ExposeObject of this module made gives back the Object it exposes.
ObjectRef WrapDispatch(IDispatch* dispatch);

// An IDispatch over `object` (AddRef'ed; null for nullptr). An Object that
// WrapDispatch made gives back its own IDispatch.
IDispatch* ExposeObject(const ObjectRef& object);

// VARIANT to Variant. Error(13) for a VARIANT without a Variant form.
Variant FromVariant(const VARIANT& value);

// How a Variant is meant when it becomes a VARIANT: an Empty argument is an
// omitted one.
enum class Role { Value, Argument };
// Variant to VARIANT. `out` is overwritten (not cleared first); the caller
// clears it with VariantClear.
void ToVariant(const Variant& value, VARIANT* out, Role role = Role::Value);

// UTF-8 <-> BSTR. ToBstr returns nullptr only when memory is short.
std::string FromBstr(const BSTR text);
BSTR ToBstr(std::string_view utf8);

// The Error a failed Invoke (or any failed call) means. With DISP_E_EXCEPTION
// `info` (which may be null) is read and its strings freed.
Error ErrorFromHresult(HRESULT hr, EXCEPINFO* info);
// The HRESULT that carries an error number (0x800A0000 + number for a late
// binding number, the number itself otherwise).
HRESULT HresultOf(const Error& error);
// Fills `info` (when given) for `error` and returns DISP_E_EXCEPTION.
HRESULT ReportToInvoke(const Error& error, EXCEPINFO* info);
// Sets the thread's error object for a failure of a vtable method and returns
// HresultOf(error).
HRESULT ReportToCaller(const Error& error, const GUID& interfaceId);
// The Error of a failed vtable call: the thread's error object when there is
// one, else the HRESULT alone.
Error ErrorFromCall(HRESULT hr);

// The number of COM objects of this module alive (wrappers, adapters, sinks),
// for DllCanUnloadNow.
long LiveComObjects();

// Base of the module's COM objects: reference count and the live count.
class ComCounted {
 protected:
  ComCounted();
  virtual ~ComCounted();
  ULONG AddRefImpl() { return static_cast<ULONG>(InterlockedIncrement(&references_)); }
  ULONG ReleaseImpl() {
    const LONG left = InterlockedDecrement(&references_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

 private:
  LONG references_ = 1;
};

// The IDispatch members that every object of this module answers alike: it
// has no type information.
template <typename Interface>
class WithoutTypeInfo : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    if (info) *info = nullptr;
    return E_NOTIMPL;
  }
};

// Runs the body of an Invoke; what it throws becomes the HRESULT and
// EXCEPINFO of the call, so that nothing thrown crosses the boundary.
template <typename Body>
HRESULT GuardInvoke(EXCEPINFO* exception, Body&& body) {
  try {
    return body();
  } catch (const Error& e) {
    return ReportToInvoke(e, exception);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return ReportToInvoke(Error(kErrFailed, e.what()), exception);
  } catch (...) {
    return ReportToInvoke(Error(kErrFailed), exception);
  }
}

}  // namespace qv::outlook::com

#endif
