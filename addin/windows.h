// The add-in's small windows: about, change password and auto response (the
// configuration window lives with the configuration, addin/config). Each owns
// its controls as fields named as the add-in names them, and its handlers;
// the front end renders them. Used on Outlook's user-interface thread.
#ifndef QVSYNC_WINDOWS_H
#define QVSYNC_WINDOWS_H

#include "platform/ui/ui.h"

namespace qvsync {

// The product's online help page, opened by the Help buttons of the about and
// configuration windows. The one place it is kept.
inline constexpr const char* kHelpAddress = "https://www.quorvia.com/support/qvsync";

// Once per process, when QVAISO cannot be had: a box that says the password
// just saved is kept unencrypted.
void WarnIfPasswordSavedInClear();

// Help of the about and configuration windows: the help page in a browser of
// the desktop, or, without a desktop, a box that says where the help is.
void ShowHelp();

// The about window.
class frmAbout : public qv::ui::Window {
 public:
  frmAbout();
  std::vector<qv::ui::Control*> Controls() override;

  void cmdOK_Click();
  void cmdHelp_Click();

  qv::ui::Label lblTitle{"lblTitle"};
  qv::ui::Label lblVersion{"lblVersion"};
  qv::ui::Label lblDescription{"lblDescription"};
  qv::ui::Label lblDisclaimer{"lblDisclaimer"};
  qv::ui::Button cmdOK{"cmdOK"};
  qv::ui::Button cmdHelp{"cmdHelp"};
};

// The change-password window: the three boxes start empty; OK checks them in
// order and sends CHANGE-PASSWORD for the configured user, which shows the
// result; a change the server took becomes the stored password. The window
// then closes whatever the result.
class frmChangePassword : public qv::ui::Window {
 public:
  frmChangePassword();
  std::vector<qv::ui::Control*> Controls() override;
  void OnLoad() override { Form_Load(); }

  void Form_Load();
  void cmdChangePassword_Click();
  void cmdCancel_Click();

  qv::ui::Label lblDirections{"lblDirections"};
  qv::ui::Label lblCurrentPassword{"lblCurrentPassword"};
  qv::ui::TextBox txtCurrentPassword{"txtCurrentPassword"};
  qv::ui::Label lblNewPassword{"lblNewPassword"};
  qv::ui::TextBox txtNewPassword{"txtNewPassword"};
  qv::ui::Label lblConfirmNewPassword{"lblConfirmNewPassword"};
  qv::ui::TextBox txtConfirmNewPassword{"txtConfirmNewPassword"};
  qv::ui::Button cmdChangePassword{"cmdChangePassword"};
  qv::ui::Button cmdCancel{"cmdCancel"};
};

// The auto-response window: opening it logs in with the configured account
// and reads the auto response into the form (an empty form when that fails);
// OK sends the form, Cancel sends nothing.
class frmAutoResponse : public qv::ui::Window {
 public:
  frmAutoResponse();
  std::vector<qv::ui::Control*> Controls() override;
  void OnLoad() override { Form_Load(); }

  void Form_Load();
  void cmdOkay_Click();
  void cmdCancel_Click();

  qv::ui::Label lblDirections{"lblDirections"};
  qv::ui::CheckBox chkEnabled{"chkEnabled"};
  qv::ui::Label lblSubject{"lblSubject"};
  qv::ui::TextBox txtSubject{"txtSubject"};
  qv::ui::Label lblBody{"lblBody"};
  qv::ui::TextBox txtBody{"txtBody"};
  qv::ui::Button cmdOkay{"cmdOkay"};
  qv::ui::Button cmdCancel{"cmdCancel"};
};

}  // namespace qvsync

#endif
