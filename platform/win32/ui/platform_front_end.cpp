// The platform's front ends on Windows: the dialogs, unless the host is a
// console that asked for its terminal (qvsync.exe does, unless told
// --dialogs). Outlook asks for nothing: its add-ins show dialogs.
#include "platform/ui/terminal_front_end.h"
#include "platform/ui/terminal_progress.h"
#include "platform/win32/ui/dialogs.h"

namespace qv::ui {
namespace {

bool HostWantsTerminal() { return HostFrontEnd() == kHostFrontEndTerminal; }

}  // namespace

FrontEnd& PlatformFrontEnd() {
  static FrontEnd* chosen =
      HostWantsTerminal() ? static_cast<FrontEnd*>(&HostTerminalFrontEnd()) : &HostDialogFrontEnd();
  return *chosen;
}

ProgressFrontEnd& PlatformProgressFrontEnd() {
  static ProgressFrontEnd* chosen =
      HostWantsTerminal() ? static_cast<ProgressFrontEnd*>(&HostTerminalProgress()) : &HostDialogFrontEnd();
  return *chosen;
}

}  // namespace qv::ui
