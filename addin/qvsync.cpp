// libqvsync.so, the Outlook add-in, is assembled from its component libraries.
#include "addin/config/config_dialog.h"
#include "addin/sync/synchronize.h"
#include "platform/ui/ui.h"

namespace {

// The Synchronize command, the start-up and the shut-down synchronisation run
// the synchronisation engine from the moment the library is loaded.
const bool kDriverInstalled = (qvsync::modSynchronize::InstallSynchronizeAll(), true);

// An account that is not configured or cannot log in sends the user to the
// configuration window. Closed without a configuration that logs in, the
// synchronization did not run: the host learns it.
const bool kDialogInstalled = (qvsync::modSynchronize::SetConfigurationDialog([] {
                                 qvsync::frmConfig window;
                                 window.ShowModal();
                                 if (window.accepted) return;
                                 qv::ui::ReportCommandFailure(
                                     window.loginFailure.empty()
                                         ? "The synchronization did not run: the account is not configured, or its "
                                           "login failed."
                                         : window.loginFailure);
                               }),
                               true);

}  // namespace
