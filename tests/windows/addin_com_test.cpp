// qvsync.dll as a COM server, used as COM uses it: registered by its own
// export, created through the system's COM by ProgID, driven through
// IDispatch (as Office may drive an add-in) and through its vtable.
#include <gtest/gtest.h>

#include "platform/outlook/outlook.h"
#include "platform/registry/registry.h"
#include "platform/win32/outlook/com_bridge.h"
#include "platform/win32/outlook/extensibility_com.h"
#include "tests/common/test_support.h"
#include "tests/windows/dialog_driver.h"

namespace qv::outlook::com {
namespace {

using qv::registry::Hive;
using qv::registry::Status;

class AddinCom : public qv::testing::RegistryTest {
 protected:
  AddinCom() {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    module_ = LoadLibraryA(QVSYNC_DLL);
    EXPECT_NE(module_, nullptr) << QVSYNC_DLL;
  }
  ~AddinCom() override {
    CopyClasses(/*remove=*/true);
    CoUninitialize();
  }

  template <typename F>
  F Export(const char* name) {
    return reinterpret_cast<F>(GetProcAddress(module_, name));
  }
  HRESULT Call(const char* name) { return Export<HRESULT(STDAPICALLTYPE*)()>(name)(); }

  // Wine's COM reads only the machine's classes (its 64-bit view here):
  // copying the per-user rows there lets the system's own activation read
  // exactly what was registered.
  void CopyClasses(bool remove) {
    qv::registry::Value value;
    if (!remove && qv::registry::HiveStore(Hive::CurrentUser)
                           .GetValue("Software\\Classes\\QVSync.Connect\\CLSID", "", &value) == Status::Ok) {
      copied_ = value.data.c_str();
    }
    if (copied_.empty()) return;
    const std::string clsid = copied_;
    HKEY userClasses = nullptr, machineClasses = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Classes", 0, KEY_READ, &userClasses), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Classes", 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                            &machineClasses),
              ERROR_SUCCESS);
    for (const std::string& key : {std::string("QVSync.Connect"), "CLSID\\" + clsid}) {
      if (remove) {
        RegDeleteTreeA(machineClasses, key.c_str());
        continue;
      }
      HKEY from = nullptr, to = nullptr;
      EXPECT_EQ(RegOpenKeyExA(userClasses, key.c_str(), 0, KEY_READ, &from), ERROR_SUCCESS) << key;
      EXPECT_EQ(RegCreateKeyExA(machineClasses, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &to, nullptr),
                ERROR_SUCCESS)
          << key;
      EXPECT_EQ(RegCopyTreeA(from, nullptr, to), ERROR_SUCCESS) << key;
      RegCloseKey(from);
      RegCloseKey(to);
    }
    RegCloseKey(userClasses);
    RegCloseKey(machineClasses);
  }

  HMODULE module_ = nullptr;
  std::string copied_;  // the class copied to the machine's classes
};

TEST_F(AddinCom, TheSystemsComCreatesTheRegisteredClassByProgId) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  CLSID clsid{};
  CopyClasses(/*remove=*/false);
  ASSERT_EQ(CLSIDFromProgID(L"QVSync.Connect", &clsid), S_OK);
  IDTExtensibility2* addin = nullptr;
  ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidExtensibility2,
                             reinterpret_cast<void**>(&addin)),
            S_OK);
  ISupportErrorInfo* errors = nullptr;
  ASSERT_EQ(addin->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&errors)), S_OK);
  EXPECT_EQ(errors->InterfaceSupportsErrorInfo(kIidExtensibility2), S_OK);
  errors->Release();
  IUnknown* aggregate = nullptr;
  IClassFactory* factory = nullptr;
  ASSERT_EQ(CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                             reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(factory->CreateInstance(addin, IID_IUnknown, reinterpret_cast<void**>(&aggregate)),
            CLASS_E_NOAGGREGATION);
  factory->Release();
  EXPECT_EQ(Call("DllCanUnloadNow"), S_FALSE) << "a live Connect keeps the library";
  addin->Release();
  CoFreeUnusedLibraries();
  EXPECT_EQ(Call("DllUnregisterServer"), S_OK);
}

TEST_F(AddinCom, OfficeMayRaiseTheEventsThroughIDispatch) {
  ASSERT_EQ(Call("DllRegisterServer"), S_OK);
  CLSID clsid{};
  qv::registry::Value value;
  ASSERT_EQ(qv::registry::HiveStore(Hive::CurrentUser)
                .GetValue("Software\\Classes\\QVSync.Connect\\CLSID", "", &value),
            Status::Ok);
  ASSERT_EQ(CLSIDFromString(std::wstring(value.data.begin(), value.data.end()).c_str(), &clsid), S_OK);
  auto getClassObject = Export<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
  IClassFactory* factory = nullptr;
  EXPECT_EQ(getClassObject(IID_IDispatch, IID_IClassFactory, reinterpret_cast<void**>(&factory)),
            CLASS_E_CLASSNOTAVAILABLE);
  ASSERT_EQ(getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
  IDispatch* addin = nullptr;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&addin)), S_OK);
  factory->Release();

  // The names, in any case, give the interface's DISPIDs.
  const wchar_t* names[] = {L"onconnection", L"OnDisconnection", L"OnAddInsUpdate", L"OnStartupComplete",
                            L"OnBeginShutdown"};
  for (DISPID expected = 1; expected <= 5; ++expected) {
    LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
    DISPID id = 0;
    EXPECT_EQ(addin->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, expected);
  }

  qv::testing::TempDir dir;
  auto profile = Profile::Open(dir.File("profile.db"));
  Variant outlook = StartOutlook(profile);
  // OnConnection(Application, ConnectMode, AddInInst, custom), last first.
  SAFEARRAY* custom = SafeArrayCreateVector(VT_VARIANT, 0, 0);
  VARIANT args[4];
  for (VARIANT& a : args) VariantInit(&a);
  V_VT(&args[0]) = VT_ARRAY | VT_VARIANT | VT_BYREF;
  V_ARRAYREF(&args[0]) = &custom;
  V_VT(&args[1]) = VT_DISPATCH;
  V_DISPATCH(&args[1]) = nullptr;
  V_VT(&args[2]) = VT_I4;
  V_I4(&args[2]) = 1;  // ext_cm_Startup
  ToVariant(outlook, &args[3]);
  DISPPARAMS params{args, nullptr, 4, 0};
  EXCEPINFO exception{};
  ASSERT_EQ(addin->Invoke(1, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, &exception, nullptr),
            S_OK);
  VariantClear(&args[3]);
  EXPECT_EQ(ListMenuCommands(outlook).size(), 5u) << "the menu was built through COM";

  // In a host that asked for nothing (as Outlook asks for nothing), the
  // add-in's windows are dialogs.
  for (const auto& command : ListMenuCommands(outlook)) {
    if (command.control.get("Caption").ToText() != "&About...") continue;
    qv::testing::Person person({[](HWND top) {
      if (qv::testing::TextOf(top) != "About Quorvia Synchronization") return false;
      SendMessageW(qv::testing::ChildWithText(top, "Button", "O&K"), BM_CLICK, 0, 0);
      return true;
    }});
    command.control.call("Execute");
    EXPECT_TRUE(person.Finished()) << "About showed no dialog";
  }

  // A wrong number of arguments is refused, nothing else happens.
  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXPECT_EQ(addin->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &none, nullptr, &exception, nullptr),
            DISP_E_EXCEPTION);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrSource);
  EXPECT_EQ(ListMenuCommands(outlook).size(), 5u);

  // OnDisconnection(RemoveMode, custom) deletes the bar.
  V_VT(&args[1]) = VT_I4;
  V_I4(&args[1]) = 0;  // ext_dm_HostShutdown
  DISPPARAMS disconnect{args, nullptr, 2, 0};
  ASSERT_EQ(addin->Invoke(2, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &disconnect, nullptr, &exception,
                          nullptr),
            S_OK);
  EXPECT_TRUE(ListMenuCommands(outlook).empty());
  SafeArrayDestroy(custom);
  addin->Release();
  EXPECT_EQ(Call("DllCanUnloadNow"), S_OK) << "nothing of the add-in is alive any more";
  EXPECT_EQ(Call("DllUnregisterServer"), S_OK);
}

}  // namespace
}  // namespace qv::outlook::com
