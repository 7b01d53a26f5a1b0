// The COM server exports, called as the host calls them.
#include "addin/connect.h"
#include "addin/registration_rows.h"
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

TEST_F(Registration, UnregisteringRemovesExactlyWhatRegistrationWrote) {
  // What was there before, and what someone else adds later, stays.
  Key other;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "Software\\Microsoft\\Office\\Outlook\\Addins\\Other.Addin", &other),
            Status::Ok);
  ASSERT_EQ(other.SetDword("LoadBehavior", 3), Status::Ok);
  ASSERT_EQ(DllRegisterServer(), qv::outlook::kS_OK);
  const std::string clsidKey = "Software\\Classes\\CLSID\\" + RegisteredClassId();
  Key foreign;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, clsidKey + "\\Implemented Categories", &foreign), Status::Ok);
  ASSERT_EQ(DllUnregisterServer(), qv::outlook::kS_OK);

  EXPECT_EQ(Key::Open(Hive::CurrentUser, clsidKey + "\\Implemented Categories", Access::Read, &foreign), Status::Ok);
  EXPECT_EQ(Default(clsidKey), "") << "our value is gone, the key stays for what it still holds";
  EXPECT_EQ(Key::Open(Hive::CurrentUser, clsidKey + "\\InprocServer32", Access::Read, &foreign), Status::NotFound);
  EXPECT_EQ(Key::Open(Hive::CurrentUser, "Software\\Microsoft\\Office\\Outlook\\Addins\\Other.Addin", Access::Read,
                      &other),
            Status::Ok);
  for (const RegistrationRow& row : RegistrationRows()) {
    if (row.key.find("CLSID\\{") != std::string::npos && row.key.find('\\', row.key.find('{')) == std::string::npos) {
      continue;  // the class key itself, kept above
    }
    EXPECT_EQ(Key::Open(Hive::CurrentUser, row.key, Access::Read, &foreign), Status::NotFound) << row.key;
  }
}

TEST(RegistrationRows, MalformedLinesAreRefusedWithTheirLineNumber) {
  struct Case {
    const char* text;
    const char* error;  // "" when the text parses
  } cases[] = {
      {"# comment\r\n\nA\\B\t@\tREG_SZ\t[LIBRARY]\r\nA\\B\tN\tREG_DWORD\t4294967295\nA\n", ""},
      {"A\\B\t@\tREG_SZ", "line 1: KEY alone"},
      {"A\\B\t\tREG_SZ\tx", "line 1: an empty value name"},
      {"\n\\A\t@\tREG_SZ\tx", "line 2: a key path"},
      {"A\\\\B", "line 1: a key path"},
      {"A\tN\tREG_DWORD\t4294967296", "line 1: REG_DWORD"},
      {"A\tN\tREG_DWORD\t-1", "line 1: REG_DWORD"},
      {"A\tN\tREG_DWORD\t", "line 1: REG_DWORD"},
      {"A\tN\tREG_BINARY\t00", "line 1: unknown type"},
  };
  for (const Case& c : cases) {
    std::vector<RegistrationRow> rows;
    std::string error;
    const bool parsed = ParseRegistrationRows(c.text, &rows, &error);
    EXPECT_EQ(parsed, *c.error == '\0') << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " gave " << error;
  }
  // The library's own rows: the class, its ProgID, and Outlook's entry.
  EXPECT_EQ(RegisteredClassId().size(), 38u);
  int placeholders = 0;
  for (const RegistrationRow& row : RegistrationRows()) placeholders += row.data == kLibraryPlaceholder ? 1 : 0;
  EXPECT_EQ(placeholders, 1);
}

}  // namespace
}  // namespace qvsync
