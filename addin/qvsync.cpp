// libqvsync.so, the Outlook add-in, is assembled from its component libraries.
#include "addin/sync/synchronize.h"

namespace {

// The Synchronize command, the start-up and the shut-down synchronisation run
// the synchronisation engine from the moment the library is loaded.
const bool kDriverInstalled = (qvsync::modSynchronize::InstallSynchronizeAll(), true);

}  // namespace
