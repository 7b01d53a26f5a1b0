#include "addin/windows.h"

#include "platform/shell/shell.h"

namespace qvsync {

frmAbout::frmAbout() {
  caption = "About Quorvia Synchronization";
  lblTitle.caption = "Quorvia Synchronization Utility";
  lblVersion.caption = "Version 1.24";
  lblDescription.caption =
      "This utility allows Microsoft Outlook to Synchronize Appointments, Tasks and Contacts with a Quorvia "
      "E-Mail server.";
  lblDisclaimer.caption = "For more information on this utility please contact your e-mail server administrator.";
  cmdOK.caption = "O&K";
  cmdOK.isDefault = true;
  cmdOK.isCancel = true;
  cmdOK.onClick = [this] { cmdOK_Click(); };
  cmdHelp.caption = "&Help";
  cmdHelp.onClick = [this] { cmdHelp_Click(); };
}

std::vector<qv::ui::Control*> frmAbout::Controls() {
  return {&lblTitle, &lblVersion, &lblDescription, &lblDisclaimer, &cmdOK, &cmdHelp};
}

void frmAbout::cmdOK_Click() { Hide(); }

void frmAbout::cmdHelp_Click() { qv::shell::OpenAddress(kHelpAddress); }

void ShowNotAvailable(const char* command) {
  qv::ui::ShowMessage(std::string(command) + " is not available in this version of Quorvia Synchronization.",
                      "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
}

}  // namespace qvsync
