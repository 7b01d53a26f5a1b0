#include "addin/connect.h"

#include <fstream>

#include "addin/config/config_store.h"
#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "platform/registry/registry.h"
#include "platform/ui/ui.h"
#include "tests/common/test_support.h"

namespace qvsync {
namespace {

using qv::outlook::Variant;
using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

// An add-in connected to a fresh profile, with fresh hives, a scripted front
// end, a log in a temporary folder and a recording synchronisation driver.
class ConnectTest : public qv::testing::RegistryTest {
 protected:
  ConnectTest() : data_("XDG_DATA_HOME", dir_.File("data")), qvaiso_("QUORVIA_QVAISO", dir_.File("none.so")) {
    SetLogFilePathForTesting(dir_.File("QVSync.Log"));
    Config() = SyncConfig{};
    profile_ = qv::outlook::Profile::Open(dir_.File("profile.db"));
    SetSynchronizeAll([this] {
      // What the run sees of the menu tells whether it ran before the bar went.
      syncs_.push_back(AddinState().commandBar.IsEmpty() ? "no bar" : "bar");
    });
  }
  ~ConnectTest() override {
    SetSynchronizeAll(nullptr);
    SetLogFilePathForTesting("");
    Config() = SyncConfig{};
  }

  void SetDword(const char* name, uint32_t value) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, kConfigKey, &key), Status::Ok);
    ASSERT_EQ(key.SetDword(name, value), Status::Ok);
  }

  Variant Start(qv::outlook::StartMode mode = qv::outlook::StartMode::Interactive) {
    return qv::outlook::StartOutlook(profile_, mode);
  }

  std::vector<std::string> Captions(const Variant& application) {
    std::vector<std::string> captions;
    for (const auto& command : qv::outlook::ListMenuCommands(application)) {
      captions.push_back(command.control.get("Caption").ToText());
      EXPECT_TRUE(command.control.get("Enabled").ToBool()) << captions.back();
    }
    return captions;
  }

  std::vector<std::string> LogLines() {
    std::string text = qv::testing::ReadFile(dir_.File("QVSync.Log"));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      lines.push_back(line.substr(line.find('\t') + 1));
      start = end + 2;
    }
    return lines;
  }

  qv::testing::ScopedEnv data_;
  qv::testing::ScopedEnv qvaiso_;
  std::shared_ptr<qv::outlook::Profile> profile_;
  qv::ui::ScriptedFrontEnd ui_;
  qv::ui::ScopedFrontEnd installed_{&ui_};
  std::vector<std::string> syncs_;
};

TEST_F(ConnectTest, BuildsTheMenuInOrderAndClicksReachTheHandlers) {
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  EXPECT_EQ(Captions(app), (std::vector<std::string>{"&Synchronize", "Change &Password...", "Set Auto &Response...",
                                                     "&Configure...", "&About..."}));
  EXPECT_EQ(connect.BhSynchronize.get("TooltipText").ToText(), "Synchronize Outlook with Quorvia");
  EXPECT_EQ(connect.BhAbout.get("TooltipText").ToText(), "About Quorvia Synchronization");
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_TRUE(syncs_.empty()) << "no start-up synchronisation by default";

  connect.BhAbout.call("Execute");
  EXPECT_EQ(ui_.windowsShown(), std::vector<std::string>{"About Quorvia Synchronization"});
  connect.BhSynchronize.call("Execute");
  EXPECT_EQ(syncs_.size(), 1u);
  connect.BhChangePassword.call("Execute");
  connect.BhConfigure.call("Execute");
  EXPECT_EQ(ui_.windowsShown(), (std::vector<std::string>{"About Quorvia Synchronization", "Change Password",
                                                           "Quorvia Synchronization Configuration"}));
  EXPECT_TRUE(ui_.boxes().empty()) << "closing the windows unfilled sends and shows nothing";

  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
  EXPECT_TRUE(qv::outlook::ListMenuCommands(app).empty()) << "the bar is deleted at disconnection";
  EXPECT_TRUE(AddinState().outlookApplication.IsEmpty());
}

TEST_F(ConnectTest, CommandsReloadTheConfigurationExceptAbout) {
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  SetDword("Direction", 2);
  connect.BhAbout.call("Execute");
  EXPECT_EQ(Config().direction, 0);
  connect.BhConfigure.call("Execute");
  EXPECT_EQ(Config().direction, 2);
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
}

TEST_F(ConnectTest, SynchronisesAtStartUpAndShutdownWhenConfigured) {
  SetDword("Sync On StartUp", 1);
  SetDword("Sync On Shutdown", 1);
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  EXPECT_EQ(syncs_, std::vector<std::string>{"bar"});
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
  EXPECT_EQ(syncs_, (std::vector<std::string>{"bar", "bar"})) << "the last run comes before the bar is deleted";
}

TEST_F(ConnectTest, ShutdownDecidesOnTheValueLoadedBefore) {
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  SetDword("Sync On Shutdown", 1);  // set after the last load: not seen
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
  EXPECT_TRUE(syncs_.empty());
}

TEST_F(ConnectTest, WithoutAnExplorerNothingHappensAndNothingIsShown) {
  SetDword("Sync On StartUp", 1);
  Variant app = Start(qv::outlook::StartMode::Automation);
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_TRUE(syncs_.empty());
  EXPECT_EQ(Config().contactSyncMode, 0) << "the configuration is not loaded";
  EXPECT_TRUE(connect.BhSynchronize.IsEmpty());
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
}

TEST_F(ConnectTest, OtherConnectionFailuresAreShownOnce) {
  Connect connect;
  // An application that is no object fails with something other than 91.
  connect.OnConnection(Variant(5), qv::outlook::ext_cm_Startup, Variant(), Variant());
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text.rfind("AddinInstance_OnConnection: ", 0), 0u) << ui_.boxes()[0].text;
  EXPECT_EQ(ui_.boxes()[0].title, "Quorvia Synchronization");
  EXPECT_EQ(ui_.boxes()[0].icon, qv::ui::Icon::Information);
  EXPECT_EQ(Config().contactSyncMode, 0);
}

TEST_F(ConnectTest, ExternalConnectionBuildsAMenuThatDoesNothing) {
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_External, Variant(), Variant());
  EXPECT_EQ(Captions(app).size(), 5u);
  connect.BhAbout.call("Execute");
  connect.BhSynchronize.call("Execute");
  EXPECT_TRUE(ui_.windowsShown().empty());
  EXPECT_TRUE(syncs_.empty());
  EXPECT_EQ(Config().contactSyncMode, 1) << "the configuration is still loaded";
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
}

TEST_F(ConnectTest, AChosenStoreGetsTheFoldersItLacks) {
  profile_->AddStore("Archive");
  Variant app = Start();
  Variant archive = app.call("GetNamespace", "MAPI").get("Folders").call("Item", 2);
  archive.get("Folders").call("Add", "Contacts", 10);
  SetDword("Root Folder Index", 2);
  Key key;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, kConfigKey, &key), Status::Ok);
  key.SetString("Root Folder Name", "Archive");

  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  EXPECT_TRUE(ui_.boxes().empty()) << "the chosen store's name matches";
  for (const char* name : {"Contacts", "Calendar", "Tasks"}) {
    EXPECT_NO_THROW(archive.get("Folders").call("Item", name)) << name;
  }
  EXPECT_EQ(AddinState().calendarFolder.get("Name").ToText(), "Calendar");
  EXPECT_EQ(AddinState().calendarFolder.get("StoreID").ToText(), archive.get("StoreID").ToText());
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
}

TEST_F(ConnectTest, AStoreThatRefusesFoldersStopsTheCheckWithOneLine) {
  profile_->AddStore("Public");
  profile_->SetStoreRefusesNewFolders(2, true);
  SetDword("Root Folder Index", 2);
  SetDword("Troubleshooting Mode", 1);
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  EXPECT_EQ(LogLines(), std::vector<std::string>{"Failure: Message Store [Public] does not support Contacts folders"});
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
}

TEST_F(ConnectTest, TheDefaultStoreGivesTheThreeDefaultFolders) {
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  EXPECT_EQ(AddinState().contactsFolder.get("Name").ToText(), "Contacts");
  EXPECT_EQ(AddinState().calendarFolder.get("Name").ToText(), "Calendar");
  EXPECT_EQ(AddinState().tasksFolder.get("Name").ToText(), "Tasks");
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
}

// A namespace whose default store has no contacts folder: the other lookups
// go to the real namespace.
class NamespaceWithoutContacts final : public qv::outlook::Object {
 public:
  explicit NamespaceWithoutContacts(Variant real) : real_(std::move(real)) {}
  Variant Get(std::string_view name, qv::outlook::Args args) override {
    if (name == "GetDefaultFolder" && args.size() == 1 && args[0].ToLong() == 10) {
      throw qv::outlook::Error(-2147221233, "The folder does not exist.");
    }
    return real_.Invoke(name, args);
  }
  std::string_view TypeName() const override { return "NameSpace"; }

 private:
  Variant real_;
};

TEST_F(ConnectTest, ADefaultStoreWithoutOneFolderStillGivesTheOthers) {
  SetDword("Troubleshooting Mode", 1);
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  AddinState().contactsFolder = AddinState().calendarFolder = AddinState().tasksFolder = Variant();
  Variant real = AddinState().mapiNamespace;
  AddinState().mapiNamespace = Variant(std::make_shared<NamespaceWithoutContacts>(real));

  EXPECT_FALSE(CheckSpecialFolders());
  EXPECT_TRUE(AddinState().contactsFolder.IsEmpty());
  EXPECT_EQ(AddinState().calendarFolder.get("Name").ToText(), "Calendar");
  EXPECT_EQ(AddinState().tasksFolder.get("Name").ToText(), "Tasks");
  EXPECT_EQ(LogLines(), std::vector<std::string>{"Failure: Default Message Store does not support Task folders. "
                                                 "Error:-2147221233, The folder does not exist."});
  AddinState().mapiNamespace = real;
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
}

TEST_F(ConnectTest, NoLogFileWithoutTroubleshooting) {
  profile_->AddStore("Public");
  profile_->SetStoreRefusesNewFolders(2, true);
  SetDword("Root Folder Index", 2);
  Variant app = Start();
  Connect connect;
  connect.OnConnection(app, qv::outlook::ext_cm_Startup, Variant(), Variant());
  connect.BhSynchronize.call("Execute");
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
  EXPECT_FALSE(std::ifstream(dir_.File("QVSync.Log")).good());
}

}  // namespace
}  // namespace qvsync
