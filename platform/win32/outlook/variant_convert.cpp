// VARIANT <-> Variant, BSTR <-> UTF-8, and failures <-> COM errors.
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/win32/outlook/com_bridge.h"

namespace qv::outlook::com {

namespace {

LONG g_liveObjects = 0;

// Late-binding error numbers travel as FACILITY_CONTROL HRESULTs.
constexpr LONG kFacilityControl = 10;

// The longest byte array read from a SAFEARRAY (the largest MAPI binary
// property Outlook hands out is far below this).
constexpr ULONG kMaxBytes = 64u * 1024 * 1024;

bool IsLateBindingNumber(int32_t number) { return number > 0 && number <= 0xFFFF; }

Variant FromByteArray(SAFEARRAY* array) {
  if (array == nullptr) return Bytes{};
  if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != 1) throw Error(kErrTypeMismatch);
  LONG lower = 0, upper = -1;
  if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) {
    throw Error(kErrTypeMismatch);
  }
  const int64_t count = static_cast<int64_t>(upper) - lower + 1;
  if (count <= 0) return Bytes{};
  if (count > kMaxBytes) throw Error(kErrOverflow);
  void* data = nullptr;
  if (FAILED(SafeArrayAccessData(array, &data))) throw Error(kErrTypeMismatch);
  const auto* bytes = static_cast<const uint8_t*>(data);
  Bytes out(bytes, bytes + count);
  SafeArrayUnaccessData(array);
  return out;
}

Variant FromUnsigned(uint64_t value) { return Variant(value); }

}  // namespace

ComCounted::ComCounted() { InterlockedIncrement(&g_liveObjects); }
ComCounted::~ComCounted() { InterlockedDecrement(&g_liveObjects); }

long LiveComObjects() { return InterlockedCompareExchange(&g_liveObjects, 0, 0); }

std::string FromBstr(const BSTR text) {
  if (text == nullptr) return {};
  const UINT length = SysStringLen(text);
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return {};
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

BSTR ToBstr(std::string_view utf8) {
  if (utf8.empty()) return SysAllocStringLen(L"", 0);
  if (utf8.size() > static_cast<size_t>(std::numeric_limits<int>::max())) return nullptr;
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (length <= 0) return SysAllocStringLen(L"", 0);
  BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(length));
  if (out == nullptr) return nullptr;
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out, length);
  return out;
}

Variant FromVariant(const VARIANT& value) {
  const VARTYPE type = V_VT(&value);
  if (type & VT_BYREF) {
    if (type == (VT_BYREF | VT_VARIANT)) {
      if (V_VARIANTREF(&value) == nullptr) throw Error(kErrTypeMismatch);
      if (V_VT(V_VARIANTREF(&value)) == (VT_BYREF | VT_VARIANT)) throw Error(kErrTypeMismatch);
      return FromVariant(*V_VARIANTREF(&value));
    }
    if (V_BYREF(&value) == nullptr) throw Error(kErrTypeMismatch);
    VARIANT copy;
    VariantInit(&copy);
    if (FAILED(VariantCopyInd(&copy, const_cast<VARIANT*>(&value)))) throw Error(kErrTypeMismatch);
    try {
      Variant result = FromVariant(copy);
      VariantClear(&copy);
      return result;
    } catch (...) {
      VariantClear(&copy);
      throw;
    }
  }
  switch (type) {
    case VT_EMPTY:
    case VT_NULL: return Variant();
    case VT_ERROR: return V_ERROR(&value) == DISP_E_PARAMNOTFOUND ? Variant() : Variant(static_cast<int>(V_ERROR(&value)));
    case VT_BOOL: return Variant(V_BOOL(&value) != VARIANT_FALSE);
    case VT_I1: return Variant(static_cast<int>(V_I1(&value)));
    case VT_UI1: return Variant(static_cast<int>(V_UI1(&value)));
    case VT_I2: return Variant(static_cast<int>(V_I2(&value)));
    case VT_UI2: return Variant(static_cast<int>(V_UI2(&value)));
    case VT_I4: return Variant(static_cast<int>(V_I4(&value)));
    case VT_INT: return Variant(static_cast<int>(V_INT(&value)));
    case VT_UI4: return FromUnsigned(V_UI4(&value));
    case VT_UINT: return FromUnsigned(V_UINT(&value));
    case VT_I8: return Variant(static_cast<int64_t>(V_I8(&value)));
    case VT_UI8: return FromUnsigned(V_UI8(&value));
    case VT_R4: return Variant(static_cast<double>(V_R4(&value)));
    case VT_R8: return Variant(V_R8(&value));
    case VT_CY: return Variant(static_cast<double>(V_CY(&value).int64) / 10000.0);
    case VT_DECIMAL: {
      double number = 0;
      if (FAILED(VarR8FromDec(const_cast<DECIMAL*>(&V_DECIMAL(&value)), &number))) throw Error(kErrOverflow);
      return Variant(number);
    }
    case VT_DATE: return Variant(Date{V_DATE(&value)});
    case VT_BSTR: return Variant(FromBstr(V_BSTR(&value)));
    case VT_DISPATCH: return Variant(WrapDispatch(V_DISPATCH(&value)));
    case VT_UNKNOWN: {
      IUnknown* unknown = V_UNKNOWN(&value);
      if (unknown == nullptr) return Variant::Nothing();
      IDispatch* dispatch = nullptr;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))) || !dispatch) {
        throw Error(kErrTypeMismatch);
      }
      ObjectRef object = WrapDispatch(dispatch);
      dispatch->Release();
      return Variant(std::move(object));
    }
    case VT_ARRAY | VT_UI1:
    case VT_ARRAY | VT_I1: return FromByteArray(V_ARRAY(&value));
    default: throw Error(kErrTypeMismatch);
  }
}

void ToVariant(const Variant& value, VARIANT* out, Role role) {
  VariantInit(out);
  switch (value.type()) {
    case VarType::Empty:
      if (role == Role::Argument) {
        V_VT(out) = VT_ERROR;
        V_ERROR(out) = DISP_E_PARAMNOTFOUND;
      }
      return;
    case VarType::Bool:
      V_VT(out) = VT_BOOL;
      V_BOOL(out) = value.ToBool() ? VARIANT_TRUE : VARIANT_FALSE;
      return;
    case VarType::Long:
      V_VT(out) = VT_I4;
      V_I4(out) = value.ToLong();
      return;
    case VarType::Double:
      V_VT(out) = VT_R8;
      V_R8(out) = value.ToDouble();
      return;
    case VarType::Date:
      V_VT(out) = VT_DATE;
      V_DATE(out) = value.ToDouble();
      return;
    case VarType::Text: {
      BSTR text = ToBstr(value.ToText());
      if (text == nullptr) throw Error(7, "Out of memory");
      V_VT(out) = VT_BSTR;
      V_BSTR(out) = text;
      return;
    }
    case VarType::Bytes: {
      const Bytes bytes = value.ToBytes();
      if (bytes.size() > kMaxBytes) throw Error(kErrOverflow);
      SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(bytes.size()));
      if (array == nullptr) throw Error(7, "Out of memory");
      if (!bytes.empty()) {
        void* data = nullptr;
        if (FAILED(SafeArrayAccessData(array, &data))) {
          SafeArrayDestroy(array);
          throw Error(7, "Out of memory");
        }
        std::memcpy(data, bytes.data(), bytes.size());
        SafeArrayUnaccessData(array);
      }
      V_VT(out) = VT_ARRAY | VT_UI1;
      V_ARRAY(out) = array;
      return;
    }
    case VarType::Object:
      V_VT(out) = VT_DISPATCH;
      V_DISPATCH(out) = value.IsNothing() ? nullptr : ExposeObject(value.ToObject());
      return;
  }
}

HRESULT HresultOf(const Error& error) {
  const int32_t number = error.number();
  if (IsLateBindingNumber(number)) return MAKE_HRESULT(SEVERITY_ERROR, kFacilityControl, number);
  return number < 0 ? static_cast<HRESULT>(number) : E_FAIL;
}

namespace {

// The late-binding number of a failure HRESULT.
int32_t NumberOf(HRESULT hr) {
  switch (hr) {
    case DISP_E_MEMBERNOTFOUND:
    case DISP_E_UNKNOWNNAME: return kErrNotSupported;
    case DISP_E_TYPEMISMATCH: return kErrTypeMismatch;
    case DISP_E_PARAMNOTOPTIONAL: return kErrArgumentMissing;
    case DISP_E_BADPARAMCOUNT: return 450;  // wrong number of arguments
    case DISP_E_OVERFLOW: return kErrOverflow;
    case E_OUTOFMEMORY: return 7;
    default: break;
  }
  if (HRESULT_FACILITY(hr) == kFacilityControl && HRESULT_SEVERITY(hr) == SEVERITY_ERROR) return HRESULT_CODE(hr);
  return static_cast<int32_t>(hr);
}

std::string DescriptionOf(int32_t number) {
  switch (number) {
    case 7: return "Out of memory";
    case 450: return "Wrong number of arguments or invalid property assignment";
    default: return Error(number).description();
  }
}

}  // namespace

Error ErrorFromHresult(HRESULT hr, EXCEPINFO* info) {
  if (hr == DISP_E_EXCEPTION && info != nullptr) {
    if (info->pfnDeferredFillIn != nullptr) info->pfnDeferredFillIn(info);
    int32_t number = info->scode != 0 ? NumberOf(info->scode) : info->wCode != 0 ? info->wCode : kErrFailed;
    std::string description = FromBstr(info->bstrDescription);
    SysFreeString(info->bstrDescription);
    SysFreeString(info->bstrSource);
    SysFreeString(info->bstrHelpFile);
    info->bstrDescription = info->bstrSource = info->bstrHelpFile = nullptr;
    if (description.empty()) description = DescriptionOf(number);
    return Error(number, std::move(description));
  }
  const int32_t number = NumberOf(hr);
  return Error(number, DescriptionOf(number));
}

HRESULT ReportToInvoke(const Error& error, EXCEPINFO* info) {
  if (info != nullptr) {
    *info = EXCEPINFO{};
    info->bstrSource = ToBstr("Outlook");
    info->bstrDescription = ToBstr(error.description());
    info->scode = HresultOf(error);
  }
  return DISP_E_EXCEPTION;
}

HRESULT ReportToCaller(const Error& error, const GUID& interfaceId) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create)) && create != nullptr) {
    BSTR description = ToBstr(error.description());
    create->SetGUID(interfaceId);
    create->SetDescription(description);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info))) && info) {
      SetErrorInfo(0, info);
      info->Release();
    }
    SysFreeString(description);
    create->Release();
  }
  return HresultOf(error);
}

Error ErrorFromCall(HRESULT hr) {
  IErrorInfo* info = nullptr;
  std::string description;
  if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
    BSTR text = nullptr;
    if (SUCCEEDED(info->GetDescription(&text))) description = FromBstr(text);
    SysFreeString(text);
    info->Release();
  }
  const int32_t number = NumberOf(hr);
  return Error(number, description.empty() ? DescriptionOf(number) : description);
}

}  // namespace qv::outlook::com
