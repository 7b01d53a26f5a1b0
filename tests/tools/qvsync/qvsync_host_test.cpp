// The host as a person uses it: a separate process over temporary hives and a
// temporary profile, with the add-in installed in a folder of its own.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

using Result = qv::testing::CommandResult;

class QvsyncHost : public qv::testing::RegistryTest {
 protected:
  QvsyncHost() : data_("XDG_DATA_HOME", dir_.File("data")) {
    // The add-in writes its log beside itself: give it a folder of its own.
    std::filesystem::create_directory(dir_.File("addin"));
    addin_ = dir_.File("addin/libqvsync.so");
    std::filesystem::copy_file(QVSYNC_ADDIN, addin_);
    Result registered = Run("register " + addin_);
    EXPECT_EQ(registered.status, 0) << registered.output;
  }

  Result Run(const std::string& arguments) {
    std::string command = std::string(QVSYNC_HOST) + " --profile " + dir_.File("profile.db") + " " + arguments +
                          " </dev/null 2>&1";
    return qv::testing::RunCommand(command);
  }

  void SetDword(const char* name, uint32_t value) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, "SOFTWARE\\Quorvia\\Outlook Sync\\Default", &key), Status::Ok);
    ASSERT_EQ(key.SetDword(name, value), Status::Ok);
  }

  std::string LogPath() const { return dir_.File("addin/QVSync.Log"); }

  qv::testing::ScopedEnv data_;
  std::string addin_;
};

TEST_F(QvsyncHost, ListsTheMenuOfTheRegisteredAddin) {
  Result addins = Run("addins");
  EXPECT_NE(addins.output.find("QVSync.Connect"), std::string::npos);
  EXPECT_NE(addins.output.find("LoadBehavior: 3"), std::string::npos);
  EXPECT_NE(addins.output.find("Quorvia Synchronization Utility"), std::string::npos);

  Result menu = Run("menu");
  EXPECT_EQ(menu.status, 0);
  EXPECT_EQ(menu.output,
            "Quorvia > Quorvia > &Synchronize\n"
            "Quorvia > Quorvia > Change &Password...\n"
            "Quorvia > Quorvia > Set Auto &Response...\n"
            "Quorvia > Quorvia > &Configure...\n"
            "Quorvia > Quorvia > &About...\n");
}

TEST_F(QvsyncHost, ClicksACommandByCaption) {
  Result about = Run("click About...");
  EXPECT_EQ(about.status, 0) << about.output;
  EXPECT_NE(about.output.find("=== About Quorvia Synchronization ==="), std::string::npos) << about.output;
  EXPECT_NE(about.output.find("Version 1.24"), std::string::npos);

  Result missing = Run("click Frobnicate");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.output.find("no menu command"), std::string::npos);
}

TEST_F(QvsyncHost, StartUpSynchronisationFollowsTheSetting) {
  Result quiet = Run("--yes start");
  EXPECT_EQ(quiet.status, 0);
  EXPECT_EQ(quiet.output.find("Synchronization"), std::string::npos) << quiet.output;
  SetDword("Sync On StartUp", 1);
  Result started = Run("--yes start");
  EXPECT_NE(started.output.find("[Quorvia Synchronization]"), std::string::npos) << started.output;
}

TEST_F(QvsyncHost, AutomationShowsNothingAndBuildsNoMenu) {
  SetDword("Sync On StartUp", 1);
  Result menu = Run("--automation menu");
  EXPECT_EQ(menu.status, 0);
  EXPECT_EQ(menu.output, "No add-in has added a menu command.\n");
}

TEST_F(QvsyncHost, TheLogIsWrittenOnlyInTroubleshootingMode) {
  SetDword("Root Folder Index", 2);  // no second store: the folder check fails and logs
  Run("--yes click Synchronize");
  EXPECT_FALSE(std::filesystem::exists(LogPath()));
  SetDword("Troubleshooting Mode", 1);
  Run("--yes click Synchronize");
  std::string log = qv::testing::ReadFile(LogPath());
  ASSERT_FALSE(log.empty());
  // Date and time, a TAB, the message, CR LF.
  size_t tab = log.find('\t');
  ASSERT_NE(tab, std::string::npos);
  EXPECT_GE(tab, 10u);
  EXPECT_NE(log.find("\tFailure: Message Store [] does not support Contacts folders\r\n"), std::string::npos) << log;
}

TEST_F(QvsyncHost, ProfileCommandsShowWhatIsInOutlook) {
  Result added = Run("add Contacts \"FullName=Ann B Smith\" Email1Address=ann@example.com");
  ASSERT_EQ(added.status, 0) << added.output;
  std::string entryId = added.output.substr(0, added.output.find('\n'));
  Result items = Run("items Contacts");
  EXPECT_NE(items.output.find(entryId + "\t40\t"), std::string::npos) << items.output;
  Result shown = Run("show " + entryId);
  EXPECT_NE(shown.output.find("LastName\tSmith"), std::string::npos) << shown.output;
  EXPECT_EQ(Run("delete " + entryId).status, 0);
  EXPECT_EQ(Run("items Contacts").output.find(entryId), std::string::npos);
  EXPECT_EQ(Run("add Nowhere Subject=x").status, 1);
  EXPECT_EQ(Run("--bogus menu").status, 2);
}

TEST_F(QvsyncHost, UnregisteringRemovesTheAddin) {
  ASSERT_EQ(Run("unregister " + addin_).status, 0);
  EXPECT_EQ(Run("menu").output, "No add-in has added a menu command.\n");
  EXPECT_EQ(Run("addins").output, "No add-ins are registered.\n");
}

TEST_F(QvsyncHost, ItemOutputKeepsOneRowPerLineAndOneFieldPerColumn) {
  // A subject with a TAB, a line end and a backslash cannot forge a row or a field.
  Result added = Run("add Tasks \"Subject=a\tb\" \"Body=line 1\nforged\tRow\\x\"");
  ASSERT_EQ(added.status, 0) << added.output;
  const std::string entryId = added.output.substr(0, added.output.find('\n'));
  Result items = Run("items Tasks");
  EXPECT_EQ(items.output, "EntryID\tClass\tLastModificationTime\tSubject\n" + entryId + "\t48\t" +
                              items.output.substr(items.output.find("\t48\t") + 4, 19) + "\ta\\tb\n")
      << items.output;
  Result shown = Run("show " + entryId);
  EXPECT_NE(shown.output.find("\nBody\tline 1\\nforged\\tRow\\\\x\n"), std::string::npos)
      << shown.output;
  // Nor can an escape sequence (from a server, say) command the terminal.
  ASSERT_EQ(Run("edit " + entryId + " \"Subject=\x1b[2J\xC2\x9B" "31m caf\xC3\xA9\"").status, 0);
  EXPECT_NE(Run("items Tasks").output.find("\t\\x1B[2J\\xC2\\x9B31m caf\xC3\xA9\n"), std::string::npos)
      << Run("items Tasks").output;
  // A failed assignment names the property.
  Result refused = Run("edit " + entryId + " Importance=high");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output, "qvsync: Importance: Type mismatch (13)\n");
}

TEST_F(QvsyncHost, AProfileInAMissingFolderIsCreated) {
  const std::string profile = dir_.File("new/sub/outlook.profile");
  const std::string command = std::string(QVSYNC_HOST) + " --profile " + profile +
                              " add Contacts FullName=Ann >/dev/null 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(std::filesystem::exists(profile));
}

TEST_F(QvsyncHost, TheInteractiveModeTakesEveryCommand) {
  const std::string input = dir_.File("input");
  ASSERT_TRUE(qv::testing::WriteFile(input, "add Contacts \"FullName=Ann B Smith\"\n"
                                            "stores\n"
                                            "items Contacts\n"
                                            "addins\n"
                                            "menu\n"
                                            "quit\n"));
  const std::string command = std::string(QVSYNC_HOST) + " --profile " + dir_.File("profile.db") +
                              " <" + input + " 2>&1";
  std::string output;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
  }
  EXPECT_EQ(output.find("unknown command"), std::string::npos) << output;
  EXPECT_NE(output.find("1\tPersonal Folders\n"), std::string::npos) << output;
  EXPECT_NE(output.find("\tAnn B Smith\n"), std::string::npos) << output;  // the subject, one field
  EXPECT_NE(output.find("FriendlyName: "), std::string::npos) << output;
  EXPECT_NE(output.find("Quorvia"), std::string::npos) << output;
}

}  // namespace
