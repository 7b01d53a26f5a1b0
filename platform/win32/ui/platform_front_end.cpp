// The platform's front ends on Windows: the dialogs, unless the host asked
// for its terminal (qvsync.exe does, unless its environment holds
// QUORVIA_UI_FRONT_END=dialogs) and has standard input to read answers from.
// Outlook asks for nothing and has no console: its add-ins show dialogs.
// dialogs.h first: it brings <windows.h> without its MessageBox macro.
#include "platform/win32/ui/dialogs.h"

#include "platform/ui/terminal_front_end.h"
#include "platform/ui/terminal_progress.h"

namespace qv::ui {
namespace {

bool HasStandardInput() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  return input != nullptr && input != INVALID_HANDLE_VALUE && GetFileType(input) != FILE_TYPE_UNKNOWN;
}

// Asked once: every window of the process goes to one front end.
bool UseTerminal() {
  static const bool terminal = HostFrontEnd() == kHostFrontEndTerminal && HasStandardInput();
  return terminal;
}

}  // namespace

FrontEnd& PlatformFrontEnd() {
  if (UseTerminal()) return HostTerminalFrontEnd();
  return HostDialogFrontEnd();
}

ProgressFrontEnd& PlatformProgressFrontEnd() {
  if (UseTerminal()) return HostTerminalProgress();
  return HostDialogFrontEnd();
}

}  // namespace qv::ui
