// The platform's front ends where the terminal is the only one.
#include "platform/ui/terminal_front_end.h"
#include "platform/ui/terminal_progress.h"

namespace qv::ui {

FrontEnd& PlatformFrontEnd() { return HostTerminalFrontEnd(); }

ProgressFrontEnd& PlatformProgressFrontEnd() { return HostTerminalProgress(); }

}  // namespace qv::ui
