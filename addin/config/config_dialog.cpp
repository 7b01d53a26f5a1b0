#include "addin/config/config_dialog.h"

#include <cctype>
#include <cstdint>
#include <cstdio>

#include "addin/config/config_store.h"
#include "addin/config/sync_config.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/server/protocol.h"
#include "addin/sync/conversion_table.h"
#include "addin/windows.h"
#include "platform/shell/shell.h"

namespace qvsync {

using qv::outlook::Error;
using qv::outlook::Variant;
using qv::ui::Answer;
using qv::ui::Buttons;
using qv::ui::Icon;

namespace {

constexpr const char* kDefaultStore = "Default Message Store";

// Outlook folder types.
constexpr int olFolderCalendar = 9;
constexpr int olFolderContacts = 10;
constexpr int olFolderTasks = 13;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// The "days" entry as a number of days: decimal digits, spaces around them
// allowed. False for anything else (empty, signs, fractions, too large).
bool ParseDays(const std::string& text, int32_t* days) {
  size_t begin = text.find_first_not_of(' ');
  size_t end = text.find_last_not_of(' ');
  if (begin == std::string::npos) return false;
  int64_t value = 0;
  for (size_t i = begin; i <= end; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    value = value * 10 + (text[i] - '0');
    if (value > INT32_MAX) return false;
  }
  *days = static_cast<int32_t>(value);
  return true;
}

}  // namespace

HostProblem CheckHostName(const std::string& name) {
  if (name.empty() || !IsValidHostName(name)) return HostProblem::kName;
  const size_t colon = name.find(':');
  if (colon == std::string::npos) return HostProblem::kNone;
  if (colon == 0) return HostProblem::kName;
  const std::string port = name.substr(colon + 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) {
    return HostProblem::kPort;
  }
  const long number = std::stol(port);
  return number >= 1 && number <= 65535 ? HostProblem::kNone : HostProblem::kPort;
}

bool IsValidHostName(const std::string& name) {
  static const std::string kAllowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz1234567890-.:";
  if (name.size() > 67) return false;
  if (!name.empty()) {
    for (char edge : {name.front(), name.back()}) {
      if (edge == '-' || edge == '.') return false;
    }
  }
  return name.find_first_not_of(kAllowed) == std::string::npos;
}

bool StoreSupportsFolder(int storePosition, const std::string& folderName) {
  const std::string upper = Upper(folderName);
  const int type = upper == "TASKS" ? olFolderTasks : upper == "CONTACTS" ? olFolderContacts
                                                    : upper == "CALENDAR" ? olFolderCalendar : 0;
  Variant folders;
  try {
    folders = AddinState().mapiNamespace.get("Folders").get("Item", storePosition).get("Folders");
  } catch (const Error&) {
    return false;
  }
  try {
    folders.get("Item", folderName);
    return true;
  } catch (const Error&) {
  }
  try {
    if (type != 0) {
      folders.call("Add", folderName, type);
    } else {
      folders.call("Add", folderName);
    }
    return true;
  } catch (const Error&) {
    return false;
  }
}

frmConfig::frmConfig() {
  name = "frmConfig";
  caption = "Quorvia Synchronization Configuration";
  lblInstructions.caption = "Please specify details for connecting to your mail server:";
  fmServer.caption = "Server Properties";
  lblHostName.caption = "Server Name:";
  lblHostName.buddy = &txtHostName;
  lblUsername.caption = "&Username:";
  lblUsername.buddy = &txtUsername;
  lblPassword.caption = "&Password:";
  lblPassword.buddy = &txtPassword;
  txtPassword.password = true;
  lblStore.caption = "Store:";
  lblStore.buddy = &cboStore;
  lblMessage.caption = "Warning: Special folders are not supported by this message store";
  lblMessage.visible = false;
  fmSynchronization.caption = "Synchronization";
  lblSyncItems.caption = "Synchronize the following items:";
  chkSyncContacts.caption = "&Contacts";
  chkSyncCalendar.caption = "Ca&lendar";
  chkSyncTasks.caption = "&Tasks";
  lblDirection.caption = "Direction:";
  lblDirection.buddy = &cboDirection;
  chkSyncStartUp.caption = "&Synchronize when Outlook starts up";
  chkSyncShutdown.caption = "Synchronize when Outlook closes";
  chkRestrict.caption = "&Restrict to changes within the last";
  txtRestrictValue.caption = "days";
  lblDays.caption = "days.";
  lblDays.buddy = &txtRestrictValue;
  chkTroubleshoot.caption = "&Enable Troubleshooting/Logging";
  cmdReset.caption = "&Reset Synchronization";
  cmdView.caption = "&View..";
  cmdOK.caption = "OK";
  cmdOK.isDefault = true;
  cmdCancel.caption = "Cancel";
  cmdCancel.isCancel = true;
  cmdHelp.caption = "&Help ..";

  cboStore.onClick = [this] { cboStore_Click(); };
  chkTroubleshoot.onClick = [this] { chkTroubleshoot_Click(); };
  cmdOK.onClick = [this] { cmdOK_Click(); };
  cmdCancel.onClick = [this] { cmdCancel_Click(); };
  cmdHelp.onClick = [this] { cmdHelp_Click(); };
  cmdView.onClick = [this] { cmdView_Click(); };
  cmdReset.onClick = [this] { cmdReset_Click(); };
}

std::vector<qv::ui::Control*> frmConfig::Controls() {
  return {&lblInstructions, &fmServer,       &lblHostName,     &txtHostName,       &lblUsername,   &txtUsername,
          &lblPassword,     &txtPassword,    &lblStore,        &cboStore,          &lblMessage,    &fmSynchronization,
          &lblSyncItems,    &chkSyncContacts, &chkSyncCalendar, &chkSyncTasks,      &lblDirection,  &cboDirection,
          &chkSyncStartUp,  &chkSyncShutdown, &chkRestrict,     &txtRestrictValue,  &lblDays,       &chkTroubleshoot,
          &cmdReset,        &cmdView,        &cmdOK,           &cmdCancel,         &cmdHelp};
}

void frmConfig::Form_Load() {
  const SyncConfig& config = Config();

  cboDirection.items = {"Both Directions", "Client propagates to server", "Server propagates to client"};
  // A direction the list does not hold shows as the first entry.
  cboDirection.listIndex = config.direction >= 0 && config.direction <= 2 ? config.direction : 0;

  cboStore.items = {kDefaultStore};
  try {
    Variant folders = AddinState().mapiNamespace.get("Folders");
    const int32_t count = folders.get("Count").ToLong();
    for (int32_t i = 1; i <= count; ++i) cboStore.items.push_back(folders.get("Item", i).get("Name").ToText());
  } catch (const Error&) {
    // The stores that could be listed stay listed.
  }
  // A store that is no longer open shows as the default store; the load of
  // the configuration has already warned that the profile changed.
  const int32_t index = config.rootFolderIndex;
  cboStore.listIndex = index >= 0 && index < static_cast<int32_t>(cboStore.items.size()) ? index : 0;

  txtUsername.text = config.username;
  txtPassword.text = config.password;
  txtHostName.text = config.host;
  txtRestrictValue.text = std::to_string(config.restrictValue);

  chkRestrict.value = config.restrict == 1;
  chkTroubleshoot.value = config.troubleshootingMode == 1;
  chkSyncCalendar.value = config.calendarSyncMode == 1;
  chkSyncTasks.value = config.taskSyncMode == 1;
  chkSyncContacts.value = config.contactSyncMode == 1;
  CheckStore();
  chkSyncStartUp.value = config.syncOnStartUp == 1;
  chkSyncShutdown.value = config.syncOnShutdown == 1;
  chkTroubleshoot_Click();
  SetFocus(txtHostName);
}

void frmConfig::CheckStore() {
  lblMessage.visible = false;
  if (cboStore.listIndex <= 0) return;
  if (!chkSyncContacts.value && !chkSyncCalendar.value && !chkSyncTasks.value) return;
  if (StoreSupportsFolder(cboStore.listIndex, "Contacts")) return;
  lblMessage.caption = "Warning: Special folders (Contacts, Calendars, etc) do not seem to be supported by this message store";
  lblMessage.visible = true;
}

void frmConfig::cboStore_Click() { CheckStore(); }

void frmConfig::chkTroubleshoot_Click() {
  cmdView.enabled = chkTroubleshoot.value;
  cmdReset.enabled = chkTroubleshoot.value;
}

void frmConfig::cmdOK_Click() {
  // 1-3. The entries, in order.
  if (txtPassword.text.empty()) {
    qv::ui::ShowMessage("Please enter a password for this server.", "Warning", Buttons::OK, Icon::Information);
    SetFocus(txtPassword);
    return;
  }
  for (const char* prefix : {"HTTP://", "HTTPS://"}) {
    const std::string wanted(prefix);
    if (Upper(txtHostName.text.substr(0, wanted.size())) == wanted) {
      txtHostName.text.erase(0, wanted.size());
      break;
    }
  }
  const HostProblem problem = CheckHostName(txtHostName.text);
  if (problem == HostProblem::kName) {
    qv::ui::ShowMessage("Please enter a valid server name to connect to.", "Error", Buttons::OK, Icon::Exclamation);
    SetFocus(txtHostName);
    return;
  }
  // The transport connects to no other port; a login failure would blame the
  // credentials.
  if (problem == HostProblem::kPort) {
    qv::ui::ShowMessage("Please enter a port number from 1 to 65535 after the \":\" in the server name.", "Error",
                        Buttons::OK, Icon::Exclamation);
    SetFocus(txtHostName);
    return;
  }
  // The user name names the account's folder of synchronization records.
  if (!IsUsableAccountFolderName(txtUsername.text, txtHostName.text)) {
    qv::ui::ShowMessage("Please enter a user name without / \\ * ? \" < > | or control characters.", "Error",
                        Buttons::OK, Icon::Exclamation);
    SetFocus(txtUsername);
    return;
  }
  // The days must be a number before anything is copied or written.
  int32_t days = 0;
  if (!ParseDays(txtRestrictValue.text, &days)) {
    qv::ui::ShowMessage("Please enter the number of days as a whole number, for example 14.", "Error", Buttons::OK,
                        Icon::Exclamation);
    SetFocus(txtRestrictValue);
    return;
  }

  // 4. Copy and save: from here on the settings are saved whatever the login gives.
  SyncConfig& config = Config();
  config.host = txtHostName.text;
  config.username = txtUsername.text;
  config.password = txtPassword.text;
  config.rootFolderIndex = cboStore.listIndex > 0 ? cboStore.listIndex : 0;
  config.rootFolderName = cboStore.Text();
  config.direction = cboDirection.listIndex > 0 ? cboDirection.listIndex : 0;
  config.contactSyncMode = chkSyncContacts.value ? 1 : 0;
  config.calendarSyncMode = chkSyncCalendar.value ? 1 : 0;
  config.taskSyncMode = chkSyncTasks.value ? 1 : 0;
  config.syncOnStartUp = chkSyncStartUp.value ? 1 : 0;
  config.syncOnShutdown = chkSyncShutdown.value ? 1 : 0;
  config.restrict = chkRestrict.value ? 1 : 0;
  config.restrictValue = days;
  config.troubleshootingMode = chkTroubleshoot.value ? 1 : 0;
  SaveConfig();

  WarnIfPasswordSavedInClear();

  // 5-8. Log in and report.
  int32_t errorCode = 0;
  std::string errorMessage;
  const std::string failure = "Unable to log in to server as " + config.username +
                              ". Please check the credentials and ensure that the version of Quorvia you are using "
                              "is compatible with this utility.";
  if (ServerLogin(config.username, config.password, errorCode, errorMessage) == 1) {
    LogMessage("Successfully logged in to server as " + config.username, 5);
    loginFailure.clear();
    accepted = true;
    Hide();
    if (qv::ui::ShowMessage("Would you like to synchronize with Quorvia now?", "Synchronize with Quorvia",
                            Buttons::YesNo, Icon::Information) == Answer::Yes) {
      SynchronizeAll();
    }
  } else if (errorMessage.empty()) {
    LogMessage(failure, 5);
    loginFailure = failure;
    qv::ui::ShowMessage(failure, "Quorvia Synchronization", Buttons::OK, Icon::Information);
  } else {
    loginFailure = failure + " Error: " + errorMessage;
    LogMessage(failure + " Error: " + errorMessage, 5);
    qv::ui::ShowMessage(failure + "\r\nError: " + errorMessage, "Quorvia Synchronization", Buttons::OK,
                        Icon::Information);
  }
}

void frmConfig::cmdCancel_Click() { Hide(); }

void frmConfig::cmdHelp_Click() { ShowHelp(); }

void frmConfig::cmdView_Click() {
  if (!ViewLog()) {
    qv::ui::ShowMessage("The activity log cannot be shown here, since no desktop is available. It is kept in " +
                            LogFilePath(),
                        "Quorvia Synchronization", Buttons::OK, Icon::Information);
  }
}

void frmConfig::cmdReset_Click() {
  if (qv::ui::ShowMessage("If you reset the synchronization link to Quorvia, you may incur duplicates if you "
                          "attempt to synchronize in future.\r\n\r\nAre you sure you wish to break the "
                          "synchronization link to Quorvia?",
                          "Break Synchronization", Buttons::YesNo, Icon::Question,
                          qv::ui::DefaultButton::Second) != Answer::Yes) {
    return;
  }
  // Without a data directory there are no files of the account to delete
  // (and a relative path would name files of the current folder).
  if (Config().dataDirectory.empty()) return;
  struct ClassFiles {
    const qv::ui::CheckBox* box;
    const char* folderName;
    const char* className;
  };
  const ClassFiles classes[] = {
      {&chkSyncCalendar, "Calendar", "APPOINTMENT"},
      {&chkSyncTasks, "Tasks", "TASK"},
      {&chkSyncContacts, "Contacts", "CONTACT"},
  };
  for (const ClassFiles& files : classes) {
    if (!files.box->value) continue;
    // A file that is missing or cannot be deleted is left as it is.
    if (const std::string path = GetConversionTablePath(files.folderName); !path.empty())
      std::remove(path.c_str());
    if (const std::string path = BatchFilePath(files.className); !path.empty()) std::remove(path.c_str());
  }
}

}  // namespace qvsync
