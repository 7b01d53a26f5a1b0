// The Windows front end of the window model (ui.h, progress.h): message
// boxes through MessageBox with their icon and default button; every window
// a real dialog, made at run time from the controls the window lists and
// laid out by dialog_layout.h; the progress window modeless, its Cancel
// reached while a progress update lets pending messages through; a wait for
// the server shown in a small window of its own with a Cancel button.
//
// While a progress update or a wait lets messages through, only this front
// end's progress and wait windows take the keyboard and the mouse: a click
// anywhere else (Outlook's menu included) cannot start a second command
// inside the first.
//
// A fill script (--fill, --set, --press of a host) fills a dialog through its
// controls: text set into its edit boxes, its buttons and boxes clicked, its
// lists picked, by window messages. A host's fixed answer (--yes, --no)
// answers every box without showing it.
//
// Everything runs on the thread that shows the windows (Outlook's
// user-interface thread).
#ifndef QV_PLATFORM_WIN32_UI_DIALOGS_H
#define QV_PLATFORM_WIN32_UI_DIALOGS_H

#include <windows.h>
// The window model has a MessageBox of its own; the system's is MessageBoxW.
#undef MessageBox

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/ui/progress.h"
#include "platform/ui/ui.h"

namespace qv::ui {

// The dialog item ID of a control: kFirstControlId plus the control's
// position in its window's Controls(), so that a tool (or a test) can find
// it.
inline constexpr int kFirstControlId = 100;

// The MessageBox style of a box: its buttons, icon and default button.
UINT MessageBoxStyle(const MessageBox& box);

class Dialog;

class DialogFrontEnd : public FrontEnd, public ProgressFrontEnd {
 public:
  DialogFrontEnd();
  ~DialogFrontEnd() override;
  DialogFrontEnd(const DialogFrontEnd&) = delete;
  DialogFrontEnd& operator=(const DialogFrontEnd&) = delete;

  // The windows shown from now on are filled from `script`.
  void SetFillScript(FillScript script) { script_ = std::move(script); }

  Answer ShowMessage(const MessageBox& box) override;
  void RunModal(Window& window) override;
  void BeginWait(const std::string& what) override;
  bool WaitCancelled() override;
  void EndWait() override;

  void Show(ProgressWindow& window) override;
  void Repaint(ProgressWindow& window) override;
  void DoEvents(ProgressWindow& window) override;
  void Hide(ProgressWindow& window) override;

 private:
  class WaitWindow;
  // The window boxes and dialogs are owned by: the topmost dialog of ours on
  // screen, else the thread's active window (Outlook's), else none.
  HWND Owner() const;
  // Takes the dialogs whose window a handler has hidden off the screen
  // (their handler goes on, a box or a synchronisation after it).
  void HideFinishedDialogs();
  // Lets the pending messages through, input only to the progress and wait
  // windows.
  void Pump();
  bool TakesInput(HWND target) const;
  void Retire(std::unique_ptr<Dialog> dialog);

  FillScript script_;
  std::vector<Dialog*> modal_;        // open modal dialogs, innermost last; not owned
  std::unique_ptr<Dialog> progress_;  // the progress window on screen
  // Dialogs taken off the screen from inside their own message handling,
  // freed once that has returned.
  std::vector<std::unique_ptr<Dialog>> retired_;
  int pumping_ = 0;  // Pump calls going on

  // The wait going on.
  struct Wait;
  std::unique_ptr<Wait> wait_;
};

// The front end of the process, made at first use with what the host asked
// for (its fixed answer and fill script) and kept for the process.
DialogFrontEnd& HostDialogFrontEnd();

}  // namespace qv::ui

#endif
