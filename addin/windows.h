// The add-in's small windows. Each owns its controls as fields named as the
// add-in names them, and its handlers; the front end renders them.
// Used on Outlook's user-interface thread.
#ifndef QVSYNC_WINDOWS_H
#define QVSYNC_WINDOWS_H

#include "platform/ui/ui.h"

namespace qvsync {

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

// The product's online help page, opened by the about window's Help button.
inline constexpr const char* kHelpAddress = "https://www.quorvia.com/support/qvsync";

// The windows not built yet in this version: each command says so in a box.
void ShowNotAvailable(const char* command);

}  // namespace qvsync

#endif
