#include "addin/windows.h"

#include <cstdint>
#include <string>

#include "addin/config/config_store.h"
#include "addin/config/qvaiso_binding.h"
#include "addin/config/sync_config.h"
#include "addin/server/protocol.h"
#include "platform/shell/shell.h"
#include "qv_version.h"

namespace qvsync {

using qv::ui::Buttons;
using qv::ui::Icon;

// ---- frmAbout ----

frmAbout::frmAbout() {
  name = "frmAbout";
  caption = "About Quorvia Synchronization";
  lblTitle.caption = "Quorvia Synchronization Utility";
  lblVersion.caption = "Version " QV_VERSION_SHOWN;
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

void frmAbout::cmdHelp_Click() { ShowHelp(); }

void WarnIfPasswordSavedInClear() {
  static bool shown = false;  // told once per process
  std::string why;
  if (shown || Config().password.find_first_not_of(' ') == std::string::npos || !QvaisoUnavailable(&why)) return;
  shown = true;
  qv::ui::ShowMessage(
      "Your password could not be encrypted because the Quorvia library (QVAISO) is not available. It has been "
      "saved unencrypted in your settings.",
      "Warning", Buttons::OK, Icon::Exclamation);
}

void ShowHelp() {
  if (qv::shell::ShowDocumentDetached(kHelpAddress)) return;
  qv::ui::ShowMessage(std::string("The help cannot be shown here, since no desktop is available. It is at ") +
                          kHelpAddress,
                      "Quorvia Synchronization", Buttons::OK, Icon::Information);
}

// ---- frmChangePassword ----

frmChangePassword::frmChangePassword() {
  name = "frmChangePassword";
  caption = "Change Password";
  lblDirections.caption =
      "To change the password to your email account, enter your current password and the new password, and then "
      "confirm the new password by entering it again.";
  lblCurrentPassword.caption = "Current password:";
  lblCurrentPassword.buddy = &txtCurrentPassword;
  lblNewPassword.caption = "New password:";
  lblNewPassword.buddy = &txtNewPassword;
  lblConfirmNewPassword.caption = "Confirm new password:";
  lblConfirmNewPassword.buddy = &txtConfirmNewPassword;
  for (qv::ui::TextBox* box : {&txtCurrentPassword, &txtNewPassword, &txtConfirmNewPassword}) box->password = true;
  cmdChangePassword.caption = "OK";
  cmdChangePassword.isDefault = true;
  cmdChangePassword.onClick = [this] { cmdChangePassword_Click(); };
  cmdCancel.caption = "Cancel";
  cmdCancel.isCancel = true;
  cmdCancel.onClick = [this] { cmdCancel_Click(); };
  Form_Load();
}

std::vector<qv::ui::Control*> frmChangePassword::Controls() {
  return {&lblDirections,         &lblCurrentPassword,    &txtCurrentPassword, &lblNewPassword, &txtNewPassword,
          &lblConfirmNewPassword, &txtConfirmNewPassword, &cmdChangePassword,  &cmdCancel};
}

void frmChangePassword::Form_Load() {
  txtCurrentPassword.text.clear();
  txtNewPassword.text.clear();
  txtConfirmNewPassword.text.clear();
  SetFocus(txtCurrentPassword);
}

void frmChangePassword::cmdChangePassword_Click() {
  if (txtCurrentPassword.text.empty()) {
    qv::ui::ShowMessage("Please enter the current password to change.", "Warning", Buttons::OK, Icon::Exclamation);
    SetFocus(txtCurrentPassword);
    return;
  }
  if (txtNewPassword.text.empty()) {
    qv::ui::ShowMessage("Please enter the new password.", "Warning", Buttons::OK, Icon::Exclamation);
    SetFocus(txtNewPassword);
    return;
  }
  if (txtConfirmNewPassword.text.empty()) {
    qv::ui::ShowMessage("Please confirm the new password.", "Warning", Buttons::OK, Icon::Exclamation);
    SetFocus(txtConfirmNewPassword);
    return;
  }
  if (txtConfirmNewPassword.text != txtNewPassword.text) {
    qv::ui::ShowMessage(
        "New password confirmation does not match. Please confirm the new password by entering it as an exact "
        "match.",
        "New Password Confirmation Failure", Buttons::OK, Icon::Exclamation);
    return;
  }
  // The server takes a password change only within a session: log in with
  // the configured account first unless that has happened already (a change
  // right after start-up would otherwise always fail). A login the server
  // refused is left to the change's own report; a server that cannot be
  // reached is reported at once, with the transport's reason.
  SyncConfig& config = Config();
  int32_t errorCode = 0;
  std::string errorMessage;
  if (EnsureLoggedIn(config.username, config.password, errorCode, errorMessage) == 0 && errorCode != 0) {
    ReportPasswordChangeFailure(errorMessage);
    Hide();
    return;
  }
  // The command shows the outcome; the window closes whatever it was. The
  // password the server now has becomes the stored one, or the next command
  // could not log in.
  if (ChangePassword(txtCurrentPassword.text, txtNewPassword.text) == 1) {
    config.password = txtNewPassword.text;
    SavePassword();
    WarnIfPasswordSavedInClear();
  }
  Hide();
}

void frmChangePassword::cmdCancel_Click() { Hide(); }

// ---- frmAutoResponse ----

frmAutoResponse::frmAutoResponse() {
  name = "frmAutoResponse";
  caption = "Configure Auto Response";
  lblDirections.caption =
      "To configure an out of office auto response message to be automatically returned to anyone who sends a "
      "message to this mailbox, select to enable auto response, and enter the message details below.";
  chkEnabled.caption = "Auto Response Enabled";
  lblSubject.caption = "Subject:";
  lblSubject.buddy = &txtSubject;
  lblBody.caption = "Body:";
  lblBody.buddy = &txtBody;
  txtBody.multiLine = true;
  cmdOkay.caption = "OK";
  cmdOkay.isDefault = true;
  cmdOkay.onClick = [this] { cmdOkay_Click(); };
  cmdCancel.caption = "Cancel";
  cmdCancel.isCancel = true;
  cmdCancel.onClick = [this] { cmdCancel_Click(); };
}

std::vector<qv::ui::Control*> frmAutoResponse::Controls() {
  return {&lblDirections, &chkEnabled, &lblSubject, &txtSubject, &lblBody, &txtBody, &cmdOkay, &cmdCancel};
}

void frmAutoResponse::Form_Load() {
  const SyncConfig& config = Config();
  int32_t errorCode = 0;
  std::string errorMessage;
  if (EnsureLoggedIn(config.username, config.password, errorCode, errorMessage) != 0) {
    bool enabled = false;
    std::string subject, body;
    // A failed request leaves the form empty; nothing is shown.
    if (GetAutoResponse(enabled, subject, body) == 1) {
      chkEnabled.value = enabled;
      txtSubject.text = subject;
      txtBody.text = body;
    }
  } else {
    const std::string text = "Could not log into the server. Err (" + std::to_string(errorCode) + "). " + errorMessage;
    qv::ui::ShowMessage(text, "Error", Buttons::OK, Icon::Information);
    qv::ui::ReportCommandFailure(text);
  }
}

void frmAutoResponse::cmdOkay_Click() {
  // The command shows a message only when it fails; the window closes anyway.
  SetAutoResponse(chkEnabled.value, txtSubject.text, txtBody.text);
  Hide();
}

void frmAutoResponse::cmdCancel_Click() { Hide(); }

}  // namespace qvsync
