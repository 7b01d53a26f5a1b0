#include <cstring>

#include "library/support/support.h"
#include "tests/common/test_support.h"

namespace qvaiso {
namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

class Settings : public qv::testing::RegistryTest {
 protected:
  Key Machine(const std::string& path) {
    Key key;
    EXPECT_EQ(Key::Create(Hive::LocalMachine, path, &key), Status::Ok);
    return key;
  }
};

TEST_F(Settings, Wow6432PathsReadTheNativeKey) {
  EXPECT_EQ(RewriteWow6432Path("SOFTWARE\\WOW6432NODE\\QUORVIA\\Quorvia"), "Software\\Quorvia\\Quorvia");
  EXPECT_EQ(RewriteWow6432Path("Software\\Wow6432Node\\Other"), "Software\\Wow6432Node\\Other");
  EXPECT_EQ(RewriteWow6432Path("X\\Software\\Wow6432Node\\Quorvia"), "X\\Software\\Wow6432Node\\Quorvia");
  EXPECT_EQ(RewriteWow6432Path("Software\\Wow6432Node\\Quorvia\\Software\\Wow6432Node\\Quorvia"),
            "Software\\Quorvia\\Software\\Wow6432Node\\Quorvia");

  Machine("SOFTWARE\\Quorvia\\Quorvia\\Providers\\System").SetString("Current Provider", "Registry");
  EXPECT_EQ(ReadMachineString("Software\\Wow6432Node\\Quorvia\\Quorvia\\Providers\\System", "Current Provider"),
            "Registry");
  EXPECT_EQ(ReadMachineString("SOFTWARE\\Quorvia\\Quorvia\\Providers\\System", "current provider"), "Registry");
}

TEST_F(Settings, BoundedStringReadsFailToTheEmptyString) {
  Key key = Machine(kMachineRoot);
  key.SetString("Mail Root", "/srv/mail");
  key.SetString("Empty", "");
  key.SetDword("Number", 5);

  char buffer[16];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_TRUE(ReadMachineString(kMachineRoot, "Mail Root", buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "/srv/mail");
  // Exactly the text and its terminator fit; one byte less does not.
  EXPECT_TRUE(ReadMachineString(kMachineRoot, "Mail Root", buffer, 10));
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_FALSE(ReadMachineString(kMachineRoot, "Mail Root", buffer, 9));
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(buffer[1], 'x');

  for (const char* name : {"Empty", "Number", "Missing"}) {
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(ReadMachineString(kMachineRoot, name, buffer, sizeof buffer)) << name;
    EXPECT_STREQ(buffer, "") << name;
  }
  EXPECT_FALSE(ReadMachineString("SOFTWARE\\Missing", "Mail Root", buffer, sizeof buffer));
  EXPECT_FALSE(ReadMachineString(kMachineRoot, "Mail Root", nullptr, 0));
}

TEST_F(Settings, NumberReadsKeepTheDefaultOnFailure) {
  Key key = Machine(kMachineRoot);
  key.SetDword("Threshold", 11);
  key.SetString("Text", "12");
  uint32_t value = 99;
  EXPECT_TRUE(ReadRegistryDword(Hive::LocalMachine, kMachineRoot, "threshold", &value));
  EXPECT_EQ(value, 11u);
  value = 99;
  EXPECT_FALSE(ReadRegistryDword(Hive::LocalMachine, kMachineRoot, "Text", &value));
  EXPECT_FALSE(ReadRegistryDword(Hive::LocalMachine, kMachineRoot, "Missing", &value));
  EXPECT_FALSE(ReadRegistryDword(Hive::CurrentUser, kMachineRoot, "Threshold", &value));
  EXPECT_EQ(value, 99u);
}

TEST_F(Settings, DirectorySettings) {
  ResetConfigurationDirectoryForTesting();
  EXPECT_EQ(GetConfigurationDirectory(), "");
  Key key = Machine(kMachineRoot);
  key.SetString("Configuration Directory", "/etc/quorvia");
  key.SetString("Mail Root", "/srv/mail");
  key.SetString("Application Directory", "/opt/quorvia/bin");
  key.SetString("Activity Log Directory", "/var/log/quorvia");
  // Read once per process: the empty answer stays until it is reset.
  EXPECT_EQ(GetConfigurationDirectory(), "");
  ResetConfigurationDirectoryForTesting();
  EXPECT_EQ(GetConfigurationDirectory(), "/etc/quorvia");
  key.SetString("Configuration Directory", "/elsewhere");
  EXPECT_EQ(GetConfigurationDirectory(), "/etc/quorvia");
  EXPECT_EQ(GetMailRoot(), "/srv/mail");
  EXPECT_EQ(GetApplicationDirectory(), "/opt/quorvia/bin");
  EXPECT_EQ(GetApplicationDirectory(true), "/opt/quorvia/bin64");
  EXPECT_EQ(GetActivityLogDirectory(), "/var/log/quorvia");
  // A directory longer than a path buffer is not a setting.
  key.SetString("Mail Root", std::string(300, 'm'));
  EXPECT_EQ(GetMailRoot(), "");
  ResetConfigurationDirectoryForTesting();
}

}  // namespace
}  // namespace qvaiso
