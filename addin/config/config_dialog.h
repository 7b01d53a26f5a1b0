// frmConfig: the configuration window. It edits SyncConfig; OK checks the
// entries, saves them (SaveConfig), tests them with a login and offers a
// synchronisation; Reset breaks the synchronisation link by deleting the
// local state files of the ticked classes; View shows the activity log.
//
// The window is built into the add-in's Connect component (it opens the
// synchronisation through SynchronizeAll and lists the stores of the
// namespace Connect holds). Used on Outlook's user-interface thread; a new
// window is made for every showing.
#ifndef QVSYNC_CONFIG_CONFIG_DIALOG_H
#define QVSYNC_CONFIG_CONFIG_DIALOG_H

#include <string>

#include "platform/ui/ui.h"

namespace qvsync {

class frmConfig : public qv::ui::Window {
 public:
  frmConfig();
  std::vector<qv::ui::Control*> Controls() override;
  void OnLoad() override { Form_Load(); }

  // Fills the controls from SyncConfig and the stores open in Outlook.
  void Form_Load();
  // Handlers.
  void cboStore_Click();
  void chkTroubleshoot_Click();
  void cmdOK_Click();
  void cmdCancel_Click();
  void cmdHelp_Click();
  void cmdView_Click();
  void cmdReset_Click();

  // Hides the store warning, then shows it when a chosen store (not the
  // default one) is to hold a ticked class and has no "Contacts" folder that
  // can be found or made.
  void CheckStore();

  // Whether OK saved the settings and logged in with them.
  bool accepted = false;
  // The failure of the last OK whose login failed ("Unable to log in ...
  // Error: ..."), while no later OK succeeded; "" otherwise. The command that
  // showed the window reports it to the host when the window closes.
  std::string loginFailure;

  qv::ui::Label lblInstructions{"lblInstructions"};
  qv::ui::Frame fmServer{"fmServer"};
  qv::ui::Label lblHostName{"lblHostName"};
  qv::ui::TextBox txtHostName{"txtHostName"};
  qv::ui::Label lblUsername{"lblUsername"};
  qv::ui::TextBox txtUsername{"txtUsername"};
  qv::ui::Label lblPassword{"lblPassword"};
  qv::ui::TextBox txtPassword{"txtPassword"};
  qv::ui::Label lblStore{"lblStore"};
  qv::ui::ComboBox cboStore{"cboStore"};
  qv::ui::Label lblMessage{"lblMessage"};
  qv::ui::Frame fmSynchronization{"fmSynchronization"};
  qv::ui::Label lblSyncItems{"lblSyncItems"};
  qv::ui::CheckBox chkSyncContacts{"chkSyncContacts"};
  qv::ui::CheckBox chkSyncCalendar{"chkSyncCalendar"};
  qv::ui::CheckBox chkSyncTasks{"chkSyncTasks"};
  qv::ui::Label lblDirection{"lblDirection"};
  qv::ui::ComboBox cboDirection{"cboDirection"};
  qv::ui::CheckBox chkSyncStartUp{"chkSyncStartUp"};
  qv::ui::CheckBox chkSyncShutdown{"chkSyncShutdown"};
  qv::ui::CheckBox chkRestrict{"chkRestrict"};
  qv::ui::TextBox txtRestrictValue{"txtRestrictValue"};
  qv::ui::Label lblDays{"lblDays"};
  qv::ui::CheckBox chkTroubleshoot{"chkTroubleshoot"};
  qv::ui::Button cmdReset{"cmdReset"};
  qv::ui::Button cmdView{"cmdView"};
  qv::ui::Button cmdOK{"cmdOK"};
  qv::ui::Button cmdCancel{"cmdCancel"};
  qv::ui::Button cmdHelp{"cmdHelp"};
};

// Whether the store at `storePosition` (1-based, in Outlook's order) has a
// top-level folder `folderName`, creating it when it is missing ("TASKS",
// "CONTACTS" and "CALENDAR", in any case, get their folder type). False when
// it can neither be found nor created.
bool StoreSupportsFolder(int storePosition, const std::string& folderName);

// The server names OK accepts: at most 67 characters of letters, digits,
// "-", "." and ":", neither starting nor ending with "-" or ".".
bool IsValidHostName(const std::string& name);

// What OK finds wrong with a server name: kName when it is empty, fails
// IsValidHostName or has nothing before a ":"; kPort when what follows the
// ":" is not a port number from 1 to 65535 (another ":" included).
enum class HostProblem { kNone, kName, kPort };
HostProblem CheckHostName(const std::string& name);


}  // namespace qvsync

#endif
