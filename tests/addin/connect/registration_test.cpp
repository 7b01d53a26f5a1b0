// The COM server exports, called as the host calls them.
#include "addin/connect.h"
#include "platform/outlook/extensibility.h"
#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

extern "C" {
int DllRegisterServer(void);
int DllUnregisterServer(void);
int DllGetClassObject(const char* clsid, const char* iid, void** object);
int DllCanUnloadNow(void);
}

namespace qvsync {
namespace {

using qv::registry::Access;
using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

std::string Default(const std::string& path) {
  Key key;
  std::string text;
  if (Key::Open(Hive::CurrentUser, path, Access::Read, &key) != Status::Ok) return "<missing>";
  key.GetString("", &text);
  return text;
}

class Registration : public qv::testing::RegistryTest {};

TEST_F(Registration, RegistersTheClassAndTheAddinEntry) {
  ASSERT_EQ(DllRegisterServer(), qv::outlook::kS_OK);
  Key addin;
  ASSERT_EQ(Key::Open(Hive::CurrentUser, "Software\\Microsoft\\Office\\Outlook\\Addins\\QVSync.Connect",
                      Access::Read, &addin),
            Status::Ok);
  std::string text;
  ASSERT_EQ(addin.GetString("FriendlyName", &text), Status::Ok);
  EXPECT_EQ(text, "Quorvia Synchronization Add-In");
  ASSERT_EQ(addin.GetString("Description", &text), Status::Ok);
  EXPECT_EQ(text, "Quorvia Synchronization Add-In");
  uint32_t behaviour = 0;
  ASSERT_EQ(addin.GetDword("LoadBehavior", &behaviour), Status::Ok);
  EXPECT_EQ(behaviour, 3u);

  const std::string clsid = Default("Software\\Classes\\QVSync.Connect\\CLSID");
  ASSERT_EQ(clsid.front(), '{');
  const std::string server = Default("Software\\Classes\\CLSID\\" + clsid + "\\InprocServer32");
  EXPECT_EQ(server.front(), '/') << "the library's full path: " << server;
  const std::string libId = Default("Software\\Classes\\CLSID\\" + clsid + "\\TypeLib");
  EXPECT_EQ(Default("Software\\Classes\\TypeLib\\" + libId + "\\1.0"), "Quorvia Synchronization Utility");

  void* object = nullptr;
  ASSERT_EQ(DllGetClassObject(clsid.c_str(), qv::outlook::kIidClassFactory, &object), qv::outlook::kS_OK);
  auto* factory = static_cast<qv::outlook::ClassFactory*>(object);
  EXPECT_EQ(DllCanUnloadNow(), qv::outlook::kS_OK);
  qv::outlook::AddIn* addinObject = factory->CreateInstance();
  ASSERT_NE(addinObject, nullptr);
  EXPECT_EQ(DllCanUnloadNow(), qv::outlook::kS_FALSE) << "a live object keeps the library loaded";
  addinObject->Release();
  EXPECT_EQ(DllCanUnloadNow(), qv::outlook::kS_OK);

  ASSERT_EQ(DllUnregisterServer(), qv::outlook::kS_OK);
  EXPECT_EQ(Default("Software\\Classes\\QVSync.Connect\\CLSID"), "<missing>");
  EXPECT_EQ(Default("Software\\Classes\\CLSID\\" + clsid), "<missing>");
  EXPECT_EQ(Key::Open(Hive::CurrentUser, "Software\\Microsoft\\Office\\Outlook\\Addins\\QVSync.Connect",
                      Access::Read, &addin),
            Status::NotFound);
  EXPECT_EQ(DllUnregisterServer(), qv::outlook::kS_OK) << "unregistering twice is harmless";
}

TEST_F(Registration, TheFactoryServesOnlyItsClass) {
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(DllGetClassObject("{00000000-0000-0000-0000-000000000000}", qv::outlook::kIidClassFactory, &object),
            qv::outlook::kCLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(DllGetClassObject(nullptr, nullptr, nullptr), qv::outlook::kE_POINTER);
  ASSERT_EQ(DllRegisterServer(), qv::outlook::kS_OK);
  const std::string clsid = Default("Software\\Classes\\QVSync.Connect\\CLSID");
  EXPECT_EQ(DllGetClassObject(clsid.c_str(), "{00000000-0000-0000-0000-000000000000}", &object),
            qv::outlook::kE_NOINTERFACE);
}

}  // namespace
}  // namespace qvsync
