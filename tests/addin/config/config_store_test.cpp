#include "addin/config/config_store.h"

#include <sys/stat.h>

#include "addin/config/qvaiso_binding.h"
#include "addin/log/activity_log.h"
#include "platform/registry/registry.h"
#include "platform/ui/ui.h"
#include "tests/common/test_support.h"

namespace qvsync {
namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

class ConfigStore : public qv::testing::RegistryTest {
 protected:
  ConfigStore() : data_("XDG_DATA_HOME", dir_.File("appdata")), qvaiso_("QUORVIA_QVAISO", FAKE_QVAISO) {
    Config() = SyncConfig{};
    SetLogFilePathForTesting(dir_.File("QVSync.Log"));
    ResetQvaisoBindingForTesting();
  }
  ~ConfigStore() override {
    SetConfigNamespace(qv::outlook::Variant());
    ResetQvaisoBindingForTesting();
    SetLogFilePathForTesting("");
    Config() = SyncConfig{};
  }

  Key ConfigKey() {
    Key key;
    EXPECT_EQ(Key::Create(Hive::CurrentUser, kConfigKey, &key), Status::Ok);
    return key;
  }
  std::string Stored(const char* name) {
    std::string text;
    ConfigKey().GetString(name, &text);
    return text;
  }
  std::string Log() { return qv::testing::ReadFile(dir_.File("QVSync.Log")); }

  qv::testing::ScopedEnv data_;
  qv::testing::ScopedEnv qvaiso_;
  qv::ui::ScriptedFrontEnd ui_;
  qv::ui::ScopedFrontEnd installed_{&ui_};
};

TEST_F(ConfigStore, AnEmptyKeyGivesTheDefaultsAndTheDataDirectory) {
  SyncCancelled() = true;
  EXPECT_EQ(LoadConfig(), 0);
  const SyncConfig& c = Config();
  EXPECT_EQ(c.contactSyncMode, 1);
  EXPECT_EQ(c.calendarSyncMode, 1);
  EXPECT_EQ(c.taskSyncMode, 1);
  EXPECT_EQ(c.batchMode, 1);
  EXPECT_EQ(c.restrictValue, 14);
  for (int32_t field : {c.rootFolderIndex, c.troubleshootingMode, c.direction, c.syncOnStartUp, c.syncOnShutdown,
                        c.timeZoneSource, c.restrict}) {
    EXPECT_EQ(field, 0);
  }
  EXPECT_TRUE(c.host.empty() && c.username.empty() && c.password.empty() && c.httpVersion.empty());
  EXPECT_EQ(c.dataDirectory, dir_.File("appdata") + "/Quorvia/QvSync");
  struct stat info;
  EXPECT_EQ(stat(c.dataDirectory.c_str(), &info), 0);
  EXPECT_FALSE(SyncCancelled());
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_F(ConfigStore, WithoutAnApplicationDataFolderTheFallbackIsUsed) {
  qv::testing::ScopedEnv noData("XDG_DATA_HOME", std::nullopt);
  qv::testing::ScopedEnv home("HOME", dir_.File("home"));
  ASSERT_EQ(mkdir(dir_.File("home").c_str(), 0700), 0);
  LoadConfig();
  EXPECT_EQ(Config().dataDirectory, dir_.File("home") + "/.local/share/Quorvia/QvSync");
  qv::testing::ScopedEnv noHome("HOME", std::nullopt);
  EXPECT_EQ(GetSpecialFolderPath(kCsidlAppData), "") << "never a shared folder such as /tmp";
}

TEST_F(ConfigStore, WithoutAnyFolderOfTheUsersTheDataDirectoryStaysEmptyAndTheUserIsToldOnce) {
  qv::testing::ScopedEnv noData("XDG_DATA_HOME", std::nullopt);
  qv::testing::ScopedEnv noHome("HOME", std::nullopt);
  Config().troubleshootingMode = 0;
  LoadConfig();
  EXPECT_EQ(Config().dataDirectory, "");
  LoadConfig();
  size_t told = 0;
  for (const auto& box : ui_.boxes()) told += box.text.rfind("No folder could be found", 0) == 0;
  EXPECT_EQ(told, 1u) << "said once per process";
}

TEST_F(ConfigStore, MissingTextsLeaveTheFieldsAndNumbersTakeTheirDefaults) {
  Config().httpVersion = "HTTP/1.0";
  Config().requestUrl = "/found/at/login";
  Key key = ConfigKey();
  key.SetString("Host", "mail.example.com");
  key.SetString("Username", "ann");
  key.SetString("Troubleshooting Mode", "1");  // text, not a number
  key.SetDword("Direction", 1);
  key.SetString("Data Directory", dir_.File("tables"));
  EXPECT_EQ(LoadConfig(), 0) << "no password";
  EXPECT_EQ(Config().host, "mail.example.com");
  EXPECT_EQ(Config().httpVersion, "HTTP/1.0");
  EXPECT_EQ(Config().requestUrl, "/found/at/login");
  EXPECT_EQ(Config().troubleshootingMode, 0);
  EXPECT_EQ(Config().direction, 1);
  EXPECT_EQ(Config().dataDirectory, dir_.File("tables"));
  // A number read as text gives its decimal form.
  EXPECT_EQ(ReadStringSetting("", kConfigKey, "Direction"), "1");
  EXPECT_EQ(ReadDwordSetting("", kConfigKey, "Host", 7), 7);
  EXPECT_EQ(ReadStringSetting("elsewhere", kConfigKey, "Host"), "") << "no remote registry";
  EXPECT_FALSE(WriteStringSetting("otherhost", kConfigKey, "Host", "x"));
  EXPECT_TRUE(WriteStringSetting("LocalHost", kConfigKey, "Host", "mail.example.com"));
}

TEST_F(ConfigStore, ThePasswordIsStoredEncryptedAndABlankOneKeepsIt) {
  Config().host = "mail.example.com";
  Config().username = "ann";
  Config().password = "s3cret";
  SaveConfig();
  EXPECT_EQ(Stored("Password"), "enc:" + PassPhrase() + ":terc3s");
  Config().password = "";
  EXPECT_EQ(LoadConfig(), 1);
  EXPECT_EQ(Config().password, "s3cret");

  Config().password = "   ";
  SaveConfig();
  EXPECT_EQ(Stored("Password"), "enc:" + PassPhrase() + ":terc3s") << "a blank password writes nothing";
}

TEST_F(ConfigStore, AHandTypedPasswordIsUsedAsStored) {
  Key key = ConfigKey();
  key.SetString("Host", "h");
  key.SetString("Username", "u");
  key.SetString("Password", "typed by hand");
  EXPECT_EQ(LoadConfig(), 1);
  EXPECT_EQ(Config().password, "typed by hand");
}

TEST_F(ConfigStore, WithoutQvaisoThePasswordGoesInClearAndTheLogSaysWhyOnce) {
  qv::testing::ScopedEnv half("QUORVIA_QVAISO", HALF_QVAISO);
  ResetQvaisoBindingForTesting();
  Config().troubleshootingMode = 1;
  Config().password = "plain";
  SaveConfig();
  EXPECT_EQ(Stored("Password"), "plain");
  SaveConfig();
  LoadConfig();
  EXPECT_EQ(Config().password, "plain");
  std::string log = Log();
  size_t first = log.find("has no DecryptString");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("has no DecryptString", first + 1), std::string::npos) << "said once";

  qv::testing::ScopedEnv missing("QUORVIA_QVAISO", dir_.File("missing.so"));
  ResetQvaisoBindingForTesting();
  std::string out;
  EXPECT_EQ(CallEncryptString(PassPhrase(), "x", &out), 0);
  EXPECT_NE(Log().find("could not be loaded"), std::string::npos);
}

TEST_F(ConfigStore, TheMissingLibraryIsLoggedOnceTroubleshootingIsTurnedOn) {
  qv::testing::ScopedEnv missing("QUORVIA_QVAISO", dir_.File("missing.so"));
  ResetQvaisoBindingForTesting();
  Config().troubleshootingMode = 0;  // as at connection, before the user turns it on
  Config().password = "plain";
  SaveConfig();
  EXPECT_EQ(Log(), "");
  std::string why;
  EXPECT_TRUE(QvaisoUnavailable(&why));
  EXPECT_NE(why.find("could not be loaded"), std::string::npos) << why;
  Config().troubleshootingMode = 1;
  SaveConfig();
  SaveConfig();
  std::string log = Log();
  size_t first = log.find("could not be loaded");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("could not be loaded", first + 1), std::string::npos) << "said once";
}

TEST_F(ConfigStore, SaveWritesTheSettingsAndLogsThemWithoutThePassword) {
  SyncConfig& c = Config();
  c.host = "mail.example.com";
  c.username = "ann";
  c.password = "hunter2";
  c.troubleshootingMode = 1;
  c.restrict = 1;
  c.restrictValue = 30;
  c.direction = 2;
  c.syncOnShutdown = 1;
  c.contactSyncMode = 0;
  SaveConfig();
  Key key = ConfigKey();
  uint32_t number = 0;
  ASSERT_EQ(key.GetDword("RestrictValue", &number), Status::Ok);
  EXPECT_EQ(number, 30u);
  ASSERT_EQ(key.GetDword("Contact Sync Mode", &number), Status::Ok);
  EXPECT_EQ(number, 0u);
  ASSERT_EQ(key.GetDword("Sync On Shutdown", &number), Status::Ok);
  EXPECT_EQ(number, 1u);
  EXPECT_EQ(key.GetDword("Batch Mode", &number), Status::NotFound) << "never written by the add-in";
  EXPECT_EQ(Stored("Root Folder Name"), "");
  std::string log = Log();
  for (const char* line : {"\tConfig Setting: Host = mail.example.com\r\n", "\tConfig Setting: Username = ann\r\n",
                           "\tConfig Setting: Using HTTP/1.1\r\n",
                           "\tConfig Setting: Outlook Root Folder = Default Message Store\r\n"}) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  EXPECT_EQ(log.find("hunter2"), std::string::npos);
  EXPECT_EQ(log.find("Request URL"), std::string::npos);
}

TEST_F(ConfigStore, StoresAreListedAndAChangedProfileWarns) {
  auto profile = qv::outlook::Profile::Open(dir_.File("profile.db"));
  profile->AddStore("Archive");
  qv::outlook::Variant app = qv::outlook::StartOutlook(profile, qv::outlook::StartMode::Automation);
  SetConfigNamespace(app.call("GetNamespace", "MAPI"));
  Key key = ConfigKey();
  key.SetDword("Root Folder Index", 2);
  key.SetString("Root Folder Name", "Archive");
  LoadConfig();
  ASSERT_EQ(StoreNames().size(), 2u);
  EXPECT_EQ(StoreNames()[1], "Archive");
  EXPECT_TRUE(ui_.boxes().empty());

  key.SetString("Root Folder Name", "Old Archive");
  LoadConfig();
  LoadConfig();
  ASSERT_EQ(ui_.boxes().size(), 2u) << "the warning comes at every load";
  EXPECT_EQ(ui_.boxes()[0].text,
            "Warning: Your Outlook profile may have been recently updated. Please reconfigure your settings to "
            "ensure that you are synchronizing the correct folder");
  EXPECT_EQ(ui_.boxes()[0].title, "Quorvia Synchronization");
  EXPECT_EQ(ui_.boxes()[0].icon, qv::ui::Icon::Information);

  // An index past the open stores reads nothing outside them and warns too.
  key.SetDword("Root Folder Index", 9);
  LoadConfig();
  EXPECT_EQ(ui_.boxes().size(), 3u);
  Config().troubleshootingMode = 1;
  SaveConfig();
  EXPECT_NE(Log().find("Config Setting: Outlook Root Folder = Old Archive"), std::string::npos);
}

TEST(PassPhrase, IsNineFixedDigits) {
  std::string phrase = PassPhrase();
  EXPECT_EQ(phrase.size(), 9u);
  EXPECT_EQ(phrase.find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(phrase, PassPhrase());
}

}  // namespace
}  // namespace qvsync
