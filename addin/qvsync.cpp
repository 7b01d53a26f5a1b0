// libqvsync.so, the Outlook add-in, is assembled from its component libraries.
#include "addin/config/config_dialog.h"
#include "addin/sync/synchronize.h"

namespace {

// The Synchronize command, the start-up and the shut-down synchronisation run
// the synchronisation engine from the moment the library is loaded.
const bool kDriverInstalled = (qvsync::modSynchronize::InstallSynchronizeAll(), true);

// An account that is not configured or cannot log in sends the user to the
// configuration window.
const bool kDialogInstalled = (qvsync::modSynchronize::SetConfigurationDialog([] {
                                 qvsync::frmConfig window;
                                 window.ShowModal();
                               }),
                               true);

}  // namespace
