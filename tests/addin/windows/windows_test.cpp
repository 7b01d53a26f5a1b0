// The add-in's windows driven through their handlers as a user would, with
// the boxes shown recorded, against fresh registry hives, an emulated Outlook
// and the servlet emulator on loopback.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "addin/config/config_dialog.h"
#include "addin/config/config_store.h"
#include "addin/config/qvaiso_binding.h"
#include "addin/config/sync_config.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/server/http_transport.h"
#include "addin/server/protocol.h"
#include "addin/sync/conversion_table.h"
#include "addin/windows.h"
#include "platform/outlook/outlook.h"
#include "platform/registry/registry.h"
#include "platform/shell/shell.h"
#include "platform/ui/ui.h"
#include "tests/common/stalling_server.h"
#include "tests/common/test_support.h"
#include "tools/qvservlet/servlet.h"

namespace qvsync {
namespace {

using qv::outlook::Variant;
using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;
using qv::registry::Value;
using qv::ui::Answer;
using qv::ui::Buttons;
using qv::ui::Icon;

const char kLoginFailure[] =
    "Unable to log in to server as alice. Please check the credentials and ensure that the version of Quorvia you "
    "are using is compatible with this utility.";

// Records what the windows would start instead of starting it.
class RecordingLauncher : public qv::shell::Launcher {
 public:
  bool Run(const std::vector<std::string>& argv) override {
    started.push_back(argv);
    return true;
  }
  std::vector<std::vector<std::string>> started;
};

class WindowsTest : public qv::testing::RegistryTest {
 protected:
  WindowsTest() : data_("XDG_DATA_HOME", dir_.File("data")), qvaiso_("QUORVIA_QVAISO", FAKE_QVAISO) {
    ResetQvaisoBindingForTesting();
    servlet_.AddUser("alice", "secret");
    EXPECT_TRUE(servlet_.Start("127.0.0.1", 0));
    SetLogFilePathForTesting(dir_.File("QVSync.Log"));
    ClearCookieStore();
    loggedIn = false;
    profile_ = qv::outlook::Profile::Open(dir_.File("profile.db"));
    profile_->AddStore("Archive");
    application_ = qv::outlook::StartOutlook(profile_);
    AddinState().mapiNamespace = application_.call("GetNamespace", "MAPI");
    Config() = SyncConfig{};
    Config().host = servlet_.host();
    Config().username = "alice";
    Config().password = "secret";
    Config().contactSyncMode = Config().calendarSyncMode = Config().taskSyncMode = 1;
    Config().restrictValue = 14;
    Config().dataDirectory = dir_.File("tables");
    std::filesystem::create_directory(dir_.File("tables"));
    SetSynchronizeAll([this] { ++synchronisations_; });
    qv::shell::SetLauncherForTesting(&launcher_);
  }
  ~WindowsTest() override {
    qv::shell::SetLauncherForTesting(nullptr);
    SetSynchronizeAll(nullptr);
    servlet_.Stop();
    AddinState() = AddinStateRecord{};
    Config() = SyncConfig{};
    SetLogFilePathForTesting("");
    ResetQvaisoBindingForTesting();
  }

  // The registry value `name` of the add-in's key, or nullopt.
  std::optional<std::string> Stored(const char* name) {
    Key key;
    if (Key::Open(Hive::CurrentUser, kConfigKey, qv::registry::Access::Read, &key) != Status::Ok) return std::nullopt;
    Value value;
    if (key.Get(name, &value) != Status::Ok) return std::nullopt;
    if (value.type == qv::registry::ValueType::Dword) return std::to_string(value.AsDword());
    return value.data.substr(0, value.data.find('\0'));
  }

  std::vector<std::string> Commands() {
    std::vector<std::string> commands;
    for (const auto& request : servlet_.Requests()) {
      std::string body = request.body;
      commands.push_back(body.substr(0, body.find('&')));
    }
    return commands;
  }

  std::string Log() { return qv::testing::ReadFile(dir_.File("QVSync.Log")); }

  qv::testing::ScopedEnv data_;
  qv::testing::ScopedEnv qvaiso_;
  qv::testing::ScopedEnv noProxy_{"no_proxy", "127.0.0.1,localhost"};
  qv::testing::ScopedEnv httpProxy_{"http_proxy", std::nullopt};
  qv::servlet::Servlet servlet_;
  std::shared_ptr<qv::outlook::Profile> profile_;
  Variant application_;
  RecordingLauncher launcher_;
  qv::ui::ScriptedFrontEnd ui_;
  qv::ui::ScopedFrontEnd installed_{&ui_};
  const std::vector<qv::ui::MessageBox>& boxes_ = ui_.boxes();
  int synchronisations_ = 0;
};

// ---- frmChangePassword ----

TEST_F(WindowsTest, ChangePasswordChecksItsBoxesInOrderAndSendsNothingUntilTheyPass) {
  frmChangePassword window;
  window.Form_Load();
  struct Step {
    const char* current;
    const char* fresh;
    const char* confirm;
    const char* text;
    const char* title;
    qv::ui::TextBox frmChangePassword::*focus;
  };
  const Step steps[] = {
      {"", "new1", "new1", "Please enter the current password to change.", "Warning",
       &frmChangePassword::txtCurrentPassword},
      {"secret", "", "new1", "Please enter the new password.", "Warning", &frmChangePassword::txtNewPassword},
      {"secret", "new1", "", "Please confirm the new password.", "Warning",
       &frmChangePassword::txtConfirmNewPassword},
      {"secret", "new1", "NEW1",
       "New password confirmation does not match. Please confirm the new password by entering it as an exact match.",
       "New Password Confirmation Failure", nullptr},
  };
  for (const Step& step : steps) {
    ui_.Clear();
    window.txtCurrentPassword.text = step.current;
    window.txtNewPassword.text = step.fresh;
    window.txtConfirmNewPassword.text = step.confirm;
    window.focused = nullptr;
    window.cmdChangePassword.Click();
    ASSERT_EQ(boxes_.size(), 1u) << step.text;
    EXPECT_EQ(boxes_[0].text, step.text);
    EXPECT_EQ(boxes_[0].title, step.title);
    EXPECT_EQ(boxes_[0].icon, Icon::Exclamation);
    if (step.focus) {
      EXPECT_EQ(window.focused, &(window.*step.focus)) << step.text;
    }
  }
  EXPECT_TRUE(servlet_.Requests().empty()) << "nothing is sent before the checks pass";
}

TEST_F(WindowsTest, ChangePasswordSendsTheChangeAndClosesWhateverTheResult) {
  frmChangePassword window;
  window.txtCurrentPassword.text = "garbage";
  window.Form_Load();
  EXPECT_EQ(window.txtCurrentPassword.text, "") << "the boxes start empty";
  ui_.SetWindowScript([](qv::ui::Window& shown) {
    auto& form = static_cast<frmChangePassword&>(shown);
    form.txtCurrentPassword.text = "wrong";
    form.txtNewPassword.text = form.txtConfirmNewPassword.text = "n3w&pass";
    form.cmdChangePassword.Click();
    EXPECT_FALSE(form.IsShown()) << "closed after a failure too";
  });
  window.ShowModal();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text,
            "The password change operation failed with the following error: The current password is not correct.");
  EXPECT_EQ(boxes_[0].title, "Password Change Failed");
  EXPECT_TRUE(servlet_.CheckPassword("alice", "secret"));

  ui_.Clear();
  ui_.SetWindowScript([](qv::ui::Window& shown) {
    auto& form = static_cast<frmChangePassword&>(shown);
    form.txtCurrentPassword.text = "secret";
    form.txtNewPassword.text = form.txtConfirmNewPassword.text = "n3w&pass";
    form.cmdChangePassword.Click();
  });
  frmChangePassword again;
  again.ShowModal();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "The password to your account has been successfully changed.");
  EXPECT_EQ(boxes_[0].title, "Password Changed");
  EXPECT_TRUE(servlet_.CheckPassword("alice", "n3w&pass"));
  EXPECT_EQ(Commands(), (std::vector<std::string>{"Cmd=LOGIN", "Cmd=CHANGE-PASSWORD", "Cmd=CHANGE-PASSWORD"}))
      << "one login for the session the server wants, then the changes";
  // The new password is the stored one now, encrypted as the configuration
  // window stores it: the next command logs in with it.
  EXPECT_EQ(Stored("Password").value_or("").rfind("enc:", 0), 0u) << Stored("Password").value_or("(none)");
  Config().password.clear();
  LoadConfig();  // the host and user name were never stored here: only the password is read
  EXPECT_EQ(Config().password, "n3w&pass");
}

// A server that cannot be reached: the change is not sent, and the box says
// why after its fixed text.
TEST_F(WindowsTest, ChangePasswordWithTheServerDownGivesTheTransportsReason) {
  servlet_.Stop();
  Config().host = "127.0.0.1:1";
  ui_.SetWindowScript([](qv::ui::Window& shown) {
    auto& form = static_cast<frmChangePassword&>(shown);
    form.txtCurrentPassword.text = "secret";
    form.txtNewPassword.text = form.txtConfirmNewPassword.text = "other";
    form.cmdChangePassword.Click();
  });
  frmChangePassword window;
  window.ShowModal();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text,
            "The password change operation failed with the following error: Could not connect to server (error "
            "12029). Check the server details entered.");
  EXPECT_EQ(Config().password, "secret") << "nothing changed, nothing stored";
}

// ---- frmAutoResponse ----

TEST_F(WindowsTest, AutoResponseOpensWithTheServersSettingsAndOkSendsTheForm) {
  servlet_.Execute("alice", "Cmd=SET-AUTORESPONSE&Enabled=1&Subject=Away&Body=Back%20on%20Monday");
  ui_.SetWindowScript([](qv::ui::Window& shown) {
    auto& form = static_cast<frmAutoResponse&>(shown);
    EXPECT_TRUE(form.chkEnabled.value);
    EXPECT_EQ(form.txtSubject.text, "Away");
    EXPECT_EQ(form.txtBody.text, "Back on Monday");
    form.txtSubject.text = "Holiday & more";
    form.chkEnabled.Set(false);
    form.cmdOkay.Click();
  });
  frmAutoResponse window;
  window.ShowModal();
  EXPECT_TRUE(boxes_.empty());
  qv::servlet::AutoResponse stored = servlet_.GetAutoResponse("alice");
  EXPECT_FALSE(stored.enabled);
  EXPECT_EQ(stored.subject, "Holiday & more");
  EXPECT_EQ(stored.body, "Back on Monday");

  // Cancel sends nothing.
  servlet_.ClearRequests();
  ui_.SetWindowScript([](qv::ui::Window& shown) {
    auto& form = static_cast<frmAutoResponse&>(shown);
    form.txtSubject.text = "not sent";
    form.cmdCancel.Click();
  });
  frmAutoResponse cancelled;
  cancelled.ShowModal();
  for (const std::string& command : Commands()) EXPECT_NE(command, "Cmd=SET-AUTORESPONSE");
  EXPECT_EQ(servlet_.GetAutoResponse("alice").subject, "Holiday & more");
}

TEST_F(WindowsTest, AutoResponseWithAWrongPasswordShowsTheLoginErrorAndAnEmptyForm) {
  servlet_.Execute("alice", "Cmd=SET-AUTORESPONSE&Enabled=1&Subject=Away&Body=Gone");
  Config().password = "wrong";
  ui_.SetWindowScript([](qv::ui::Window& shown) {
    auto& form = static_cast<frmAutoResponse&>(shown);
    EXPECT_FALSE(form.chkEnabled.value);
    EXPECT_EQ(form.txtSubject.text, "");
    EXPECT_EQ(form.txtBody.text, "");
    form.cmdOkay.Click();
  });
  frmAutoResponse window;
  window.ShowModal();
  ASSERT_GE(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Could not log into the server. Err (0). Invalid user name or password.")
      << "the server's reason follows";
  EXPECT_EQ(boxes_[0].title, "Error");
  EXPECT_EQ(boxes_[0].icon, Icon::Information);
  ASSERT_FALSE(servlet_.Requests().empty());
  EXPECT_EQ(servlet_.Requests().back().body, "Cmd=SET-AUTORESPONSE&Enabled=0&Subject=&Body=")
      << "OK still sends the empty form";
}

// ---- frmConfig ----

TEST_F(WindowsTest, ConfigLoadsTheSettingsIntoItsControls) {
  Config().direction = 2;
  Config().rootFolderIndex = 2;
  Config().calendarSyncMode = 2;  // ticked only when exactly 1
  Config().restrict = 1;
  Config().restrictValue = 30;
  Config().syncOnShutdown = 1;
  frmConfig window;
  window.Form_Load();
  EXPECT_EQ(window.caption, "Quorvia Synchronization Configuration");
  EXPECT_EQ(window.cboDirection.items, (std::vector<std::string>{"Both Directions", "Client propagates to server",
                                                                  "Server propagates to client"}));
  EXPECT_EQ(window.cboDirection.listIndex, 2);
  ASSERT_EQ(window.cboStore.items.size(), 3u);
  EXPECT_EQ(window.cboStore.items[0], "Default Message Store");
  EXPECT_EQ(window.cboStore.Text(), "Archive");
  EXPECT_EQ(window.txtHostName.text, servlet_.host());
  EXPECT_EQ(window.txtPassword.text, "secret");
  EXPECT_TRUE(window.txtPassword.password);
  EXPECT_EQ(window.txtRestrictValue.text, "30");
  EXPECT_TRUE(window.chkRestrict.value && window.chkSyncContacts.value && window.chkSyncTasks.value);
  EXPECT_FALSE(window.chkSyncCalendar.value);
  EXPECT_TRUE(window.chkSyncShutdown.value);
  EXPECT_FALSE(window.chkSyncStartUp.value);
  EXPECT_FALSE(window.lblMessage.visible);
}

TEST_F(WindowsTest, TroubleshootingDecidesWhetherViewAndResetCanBeUsed) {
  frmConfig window;
  window.Form_Load();
  EXPECT_FALSE(window.cmdView.enabled);
  EXPECT_FALSE(window.cmdReset.enabled);
  window.chkTroubleshoot.Set(true);
  EXPECT_TRUE(window.cmdView.enabled);
  EXPECT_TRUE(window.cmdReset.enabled);
  window.chkTroubleshoot.Set(false);
  EXPECT_FALSE(window.cmdView.enabled);
  window.cmdView.Click();
  EXPECT_TRUE(launcher_.started.empty()) << "a disabled button does nothing";

  Config().troubleshootingMode = 1;
  frmConfig on;
  on.Form_Load();
  EXPECT_TRUE(on.cmdView.enabled && on.cmdReset.enabled);
}

TEST_F(WindowsTest, OkChecksThePasswordThenTheServerNameBeforeWritingAnything) {
  frmConfig window;
  window.Form_Load();
  window.txtPassword.text = "";
  window.txtHostName.text = "a_b";
  window.cmdOK.Click();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Please enter a password for this server.");
  EXPECT_EQ(boxes_[0].title, "Warning");
  EXPECT_EQ(boxes_[0].icon, Icon::Information);
  EXPECT_EQ(window.focused, &window.txtPassword);

  window.txtPassword.text = "secret";
  for (const std::string& name : std::vector<std::string>{".x", "-x", "x-", "a/b", "a_b", std::string(68, 'a'), "http://", ""}) {
    ui_.Clear();
    window.txtHostName.text = name;
    window.cmdOK.Click();
    ASSERT_EQ(boxes_.size(), 1u) << name;
    EXPECT_EQ(boxes_[0].text, "Please enter a valid server name to connect to.");
    EXPECT_EQ(boxes_[0].title, "Error");
    EXPECT_EQ(boxes_[0].icon, Icon::Exclamation);
    EXPECT_EQ(window.focused, &window.txtHostName);
  }
  // A port is a number from 1 to 65535; nothing before the ":" is no name.
  for (const std::string& name : {"host:abc", "host:0", "host:65536", "host:1:2", "host:", "host:123456"}) {
    ui_.Clear();
    window.txtHostName.text = name;
    window.cmdOK.Click();
    ASSERT_EQ(boxes_.size(), 1u) << name;
    EXPECT_EQ(boxes_[0].text, "Please enter a port number from 1 to 65535 after the \":\" in the server name.") << name;
    EXPECT_EQ(window.focused, &window.txtHostName);
  }
  EXPECT_EQ(CheckHostName(":80"), HostProblem::kName);
  EXPECT_EQ(CheckHostName("host:1"), HostProblem::kNone);
  EXPECT_EQ(CheckHostName("host:65535"), HostProblem::kNone);
  window.txtHostName.text = servlet_.host();
  // The user name names the folder of the account's records: no separator.
  for (const std::string& name : {"../alice", "a\\b", "a<b", "a\tb"}) {
    ui_.Clear();
    window.txtUsername.text = name;
    window.cmdOK.Click();
    ASSERT_EQ(boxes_.size(), 1u) << name;
    EXPECT_EQ(boxes_[0].text, "Please enter a user name without / \\ * ? \" < > | or control characters.");
    EXPECT_EQ(boxes_[0].title, "Error");
    EXPECT_EQ(window.focused, &window.txtUsername);
  }
  window.txtUsername.text = "alice";
  ui_.Clear();
  window.txtRestrictValue.text = "two weeks";
  window.cmdOK.Click();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Please enter the number of days as a whole number, for example 14.");
  EXPECT_EQ(window.focused, &window.txtRestrictValue);

  EXPECT_FALSE(Stored("Host").has_value()) << "nothing is written before the checks pass";
  EXPECT_TRUE(servlet_.Requests().empty()) << "and no login is tried";
  EXPECT_TRUE(IsValidHostName(std::string(67, 'a')));
  EXPECT_TRUE(IsValidHostName("mail.example.com:8080"));
}

TEST_F(WindowsTest, OkSavesLogsInAndOffersASynchronisation) {
  Config().troubleshootingMode = 0;
  frmConfig window;
  bool shownAfterOk = true;
  ui_.SetWindowScript([&](qv::ui::Window&) {
    window.txtHostName.text = "HTTPS://" + servlet_.host();
    window.txtRestrictValue.text = " 21 ";
    window.chkRestrict.Set(true);
    window.chkTroubleshoot.Set(true);
    window.chkSyncTasks.Set(false);
    window.cboDirection.Choose(1);
    window.cmdOK.Click();
    shownAfterOk = window.IsShown();
  });
  ui_.QueueAnswer(Answer::Yes);
  window.ShowModal();
  EXPECT_FALSE(shownAfterOk);
  EXPECT_EQ(window.txtHostName.text, servlet_.host()) << "the prefix is removed in the box";
  EXPECT_FALSE(window.IsShown());
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "Would you like to synchronize with Quorvia now?");
  EXPECT_EQ(boxes_[0].title, "Synchronize with Quorvia");
  EXPECT_EQ(boxes_[0].buttons, Buttons::YesNo);
  EXPECT_EQ(boxes_[0].icon, Icon::Information);
  EXPECT_EQ(synchronisations_, 1);

  EXPECT_EQ(Stored("Host"), servlet_.host());
  EXPECT_EQ(Stored("Username"), "alice");
  EXPECT_NE(Stored("Password"), "secret") << "stored encrypted";
  EXPECT_EQ(Stored("RestrictValue"), "21");
  EXPECT_EQ(Stored("Restrict"), "1");
  EXPECT_EQ(Stored("Task Sync Mode"), "0");
  EXPECT_EQ(Stored("Direction"), "1");
  EXPECT_EQ(Stored("Troubleshooting Mode"), "1");
  EXPECT_EQ(Stored("Root Folder Name"), "");
  EXPECT_NE(Log().find("\tConfig Setting: Host = " + servlet_.host() + "\r\n"), std::string::npos) << Log();
  EXPECT_NE(Log().find("\tSuccessfully logged in to server as alice\r\n"), std::string::npos);
  EXPECT_TRUE(loggedIn);

  // No: the window closes and nothing runs.
  ui_.Clear();
  ui_.QueueAnswer(Answer::No);
  frmConfig again;
  again.Form_Load();
  again.cmdOK.Click();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(synchronisations_, 1);
}

TEST_F(WindowsTest, AWrongPasswordSavesTheSettingsAndKeepsTheWindowOpen) {
  Config().troubleshootingMode = 1;
  frmConfig window;
  bool shownAfterOk = false;
  ui_.SetWindowScript([&](qv::ui::Window&) {
    window.txtPassword.text = "wrong";
    window.cmdOK.Click();
    shownAfterOk = window.IsShown();
  });
  window.ShowModal();
  EXPECT_TRUE(shownAfterOk);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, std::string(kLoginFailure) + "\r\nError: Invalid user name or password.")
      << "the server's reason follows";
  EXPECT_EQ(boxes_[0].title, "Quorvia Synchronization");
  EXPECT_EQ(boxes_[0].icon, Icon::Information);
  EXPECT_EQ(Stored("Host"), servlet_.host()) << "saved whatever the login gives";
  EXPECT_NE(Log().find(std::string("\t") + kLoginFailure + " Error: Invalid user name or password.\r\n"),
            std::string::npos);
  EXPECT_EQ(synchronisations_, 0);
  EXPECT_FALSE(window.accepted);
  EXPECT_EQ(window.loginFailure, std::string(kLoginFailure) + " Error: Invalid user name or password.");
}

// A server that takes the login and never answers: one wait, shown as such,
// and the box names the cause instead of blaming the connection.
TEST_F(WindowsTest, ASilentServerIsNamedAsSuchAfterOneWait) {
  qv::testing::StallingServer silent(qv::testing::StallingServer::kSilent);
  TransportTimeouts timeouts;
  timeouts.silenceMilliseconds = 1000;
  SetTransportTimeouts(timeouts);
  frmConfig window;
  window.Form_Load();
  window.txtHostName.text = silent.host();
  window.cmdOK.Click();
  SetTransportTimeouts(TransportTimeouts{});
  EXPECT_EQ(ui_.waits(), std::vector<std::string>{"Connecting to " + silent.host() + " ..."});
  EXPECT_EQ(silent.connections(), 1) << "no second path is tried";
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text,
            std::string(kLoginFailure) + "\r\nError: The server did not answer within 1 second (error 12002).");
}

TEST_F(WindowsTest, ATransportErrorFollowsTheLoginFailureOnALineOfItsOwn) {
  const std::string closed = servlet_.host();
  servlet_.Stop();  // nothing listens there any more
  SetTransportTimeouts(TransportTimeouts{2000, 5000, 5000});
  frmConfig window;
  window.Form_Load();
  window.txtHostName.text = closed;
  window.cmdOK.Click();
  SetTransportTimeouts(TransportTimeouts{});
  ASSERT_EQ(boxes_.size(), 1u);
  const std::string prefix = std::string(kLoginFailure) + "\r\nError: ";
  EXPECT_EQ(boxes_[0].text.rfind(prefix, 0), 0u) << boxes_[0].text;
  EXPECT_GT(boxes_[0].text.size(), prefix.size()) << "the transport's text follows";
}

TEST_F(WindowsTest, CancelWritesNothing) {
  frmConfig window;
  window.Form_Load();
  window.txtHostName.text = "elsewhere.example.com";
  window.chkSyncContacts.Set(false);
  window.cmdCancel.Click();
  EXPECT_FALSE(window.IsShown());
  EXPECT_FALSE(Stored("Host").has_value());
  EXPECT_EQ(Config().host, servlet_.host());
  EXPECT_EQ(Config().contactSyncMode, 1);
  EXPECT_TRUE(servlet_.Requests().empty());
}

TEST_F(WindowsTest, ResetDeletesOnlyTheTickedClassesFilesAfterAYes) {
  const std::string account = dir_.File("tables") + "/alice@" + servlet_.host();
  std::filesystem::create_directory(account);
  const std::vector<std::string> files = {"ic_Calendar.tab", "ic_Tasks.tab", "ic_Contacts.tab",
                                          "_batch_APPOINTMENT.TAB", "_batch_TASK.TAB", "_batch_CONTACT.TAB"};
  for (const std::string& file : files) ASSERT_TRUE(qv::testing::WriteFile(account + "/" + file, "x"));
  EXPECT_EQ(GetConversionTablePath("Contacts"), account + "/ic_Contacts.tab");
  EXPECT_EQ(BatchFilePath("CONTACT"), account + "/_batch_CONTACT.TAB");

  Config().troubleshootingMode = 1;
  frmConfig window;
  window.Form_Load();
  window.chkSyncCalendar.Set(false);
  window.chkSyncTasks.Set(false);
  ui_.QueueAnswer(Answer::No);
  window.cmdReset.Click();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text,
            "If you reset the synchronization link to Quorvia, you may incur duplicates if you attempt to synchronize "
            "in future.\r\n\r\nAre you sure you wish to break the synchronization link to Quorvia?");
  EXPECT_EQ(boxes_[0].title, "Break Synchronization");
  EXPECT_EQ(boxes_[0].buttons, Buttons::YesNo);
  EXPECT_EQ(boxes_[0].icon, Icon::Question);
  for (const std::string& file : files) EXPECT_TRUE(std::filesystem::exists(account + "/" + file)) << file;

  ui_.QueueAnswer(Answer::Yes);
  window.cmdReset.Click();
  for (const std::string& file : files) {
    const bool contacts = file.find("Contacts") != std::string::npos || file.find("CONTACT.") != std::string::npos;
    EXPECT_EQ(std::filesystem::exists(account + "/" + file), !contacts) << file;
  }
  ui_.QueueAnswer(Answer::Yes);
  window.cmdReset.Click();  // the files are gone: nothing to report
  EXPECT_EQ(boxes_.size(), 3u);
  EXPECT_FALSE(Stored("Host").has_value()) << "Reset writes no settings";

  // A user name reaching out of the data directory names no files to delete.
  const std::string outside = dir_.File("alice@" + servlet_.host());
  std::filesystem::create_directory(outside);
  ASSERT_TRUE(qv::testing::WriteFile(outside + "/ic_Calendar.tab", "x"));
  Config().username = "../alice";
  window.chkSyncCalendar.Set(true);
  ui_.QueueAnswer(Answer::Yes);
  window.cmdReset.Click();
  EXPECT_TRUE(std::filesystem::exists(outside + "/ic_Calendar.tab"));
}

TEST_F(WindowsTest, ChoosingAStoreWithoutContactsCreatesTheFolderOrWarns) {
  Variant archive = AddinState().mapiNamespace.get("Folders").call("Item", 2);
  EXPECT_ANY_THROW(archive.get("Folders").call("Item", "Contacts"));
  frmConfig window;
  window.Form_Load();
  window.cboStore.Choose(2);
  EXPECT_NO_THROW(archive.get("Folders").call("Item", "Contacts")) << "the store check made it";
  EXPECT_FALSE(window.lblMessage.visible);

  profile_->AddStore("Public");
  profile_->SetStoreRefusesNewFolders(3, true);
  frmConfig other;
  other.Form_Load();
  other.chkSyncContacts.Set(false);
  other.chkSyncCalendar.Set(false);
  other.chkSyncTasks.Set(false);
  other.cboStore.Choose(3);
  EXPECT_FALSE(other.lblMessage.visible) << "no class ticked: no check";
  other.chkSyncTasks.Set(true);
  other.cboStore.Choose(3);
  EXPECT_TRUE(other.lblMessage.visible);
  EXPECT_EQ(other.lblMessage.caption,
            "Warning: Special folders (Contacts, Calendars, etc) do not seem to be supported by this message store");
  other.cboStore.Choose(0);
  EXPECT_FALSE(other.lblMessage.visible);
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(WindowsTest, WithoutQvaisoThePasswordIsSavedInClearAndTheUserIsToldOnce) {
  qv::testing::ScopedEnv missing("QUORVIA_QVAISO", dir_.File("missing.so"));
  ResetQvaisoBindingForTesting();
  for (int i = 0; i < 2; ++i) {
    frmConfig window;
    window.Form_Load();
    window.chkTroubleshoot.Set(true);
    ui_.QueueAnswer(Answer::No);
    window.cmdOK.Click();
  }
  EXPECT_EQ(Stored("Password"), "secret");
  size_t warnings = 0;
  for (const auto& box : boxes_) {
    if (box.title == "Warning") {
      ++warnings;
      EXPECT_NE(box.text.find("saved unencrypted"), std::string::npos) << box.text;
      EXPECT_EQ(box.icon, Icon::Exclamation);
    }
  }
  EXPECT_EQ(warnings, 1u);
  EXPECT_NE(Log().find("could not be loaded"), std::string::npos) << "the log says why" << Log();
}

TEST_F(WindowsTest, HelpAndViewStartTheirProgramOrSayWhereTheHelpAndTheLogAre) {
  frmConfig window;
  window.Form_Load();
  frmAbout about;
  {
    qv::testing::ScopedEnv display("DISPLAY", ":0");
    window.cmdHelp.Click();
    about.cmdHelp.Click();
  }
  ASSERT_EQ(launcher_.started.size(), 2u);
  EXPECT_EQ(launcher_.started[0], (std::vector<std::string>{"xdg-open", kHelpAddress}));
  EXPECT_EQ(launcher_.started[1], launcher_.started[0]);
  EXPECT_TRUE(boxes_.empty());
  {
    // No desktop: both say where the help is.
    qv::testing::ScopedEnv noDisplay("DISPLAY", std::nullopt);
    qv::testing::ScopedEnv noWayland("WAYLAND_DISPLAY", std::nullopt);
    window.cmdHelp.Click();
    about.cmdHelp.Click();
  }
  ASSERT_EQ(boxes_.size(), 2u);
  EXPECT_EQ(boxes_[0].text, std::string("The help cannot be shown here, since no desktop is available. It is at ") +
                                kHelpAddress);
  EXPECT_EQ(boxes_[1].text, boxes_[0].text);
  EXPECT_EQ(launcher_.started.size(), 2u);
  ui_.Clear();

  window.chkTroubleshoot.Set(true);
  {
    qv::testing::ScopedEnv display("DISPLAY", ":0");
    window.cmdView.Click();
    EXPECT_EQ(launcher_.started.back(), (std::vector<std::string>{"xdg-open", dir_.File("QVSync.Log")}));
    EXPECT_TRUE(boxes_.empty());
  }
  qv::testing::ScopedEnv noDisplay("DISPLAY", std::nullopt);
  qv::testing::ScopedEnv noWayland("WAYLAND_DISPLAY", std::nullopt);
  window.cmdView.Click();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_NE(boxes_[0].text.find(dir_.File("QVSync.Log")), std::string::npos) << boxes_[0].text;
}

TEST_F(WindowsTest, TheConfigureCommandFillsTheWindowThroughItsHandlers) {
  Connect connect;
  connect.OnConnection(application_, qv::outlook::ext_cm_Startup, Variant(), Variant());
  // The command reloads the (empty) registry settings first; the user fills
  // the window as at the terminal.
  const std::string host = servlet_.host();
  ui_.SetWindowScript([host](qv::ui::Window& shown) {
    auto& form = static_cast<frmConfig&>(shown);
    form.txtHostName.text = host;
    form.txtUsername.text = "alice";
    form.txtPassword.text = "secret";
    form.cboStore.Choose(2);
    form.cmdOK.Click();
  });
  ui_.QueueAnswer(Answer::No);
  connect.BhConfigure.call("Execute");
  EXPECT_EQ(ui_.windowsShown(), std::vector<std::string>{"Quorvia Synchronization Configuration"});
  EXPECT_EQ(Stored("Username"), "alice");
  EXPECT_EQ(Stored("Root Folder Index"), "2");
  EXPECT_EQ(Stored("Root Folder Name"), "Archive");
  ui_.SetWindowScript(nullptr);
  connect.OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
}

}  // namespace
}  // namespace qvsync
