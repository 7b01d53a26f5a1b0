// One window of the model as a Win32 dialog: the controls the window lists,
// made as the dialog's child windows where dialog_layout.h puts them, and
// kept in step with the model both ways. A person's action on a control
// (typing, a click, a pick from a list) goes into the model at once and runs
// the control's handler; what a handler changed (texts, values, enabled,
// shown, focus) comes back to the controls after it. A window a handler hid
// ends a modal dialog. Used by the front end of dialogs.h only, on its thread.
#ifndef QV_PLATFORM_WIN32_UI_DIALOG_H
#define QV_PLATFORM_WIN32_UI_DIALOG_H

#include <windows.h>
// The window model has a MessageBox of its own; the system's is MessageBoxW.
#undef MessageBox

#include <string>
#include <vector>

#include "platform/ui/ui.h"

namespace qv::ui {

std::wstring WideText(const std::string& utf8);
std::string Utf8Text(const std::wstring& wide);

class Dialog {
 public:
  // `fill`: a fill script's section, carried out on the controls once a
  // modal dialog is up (not owned; may be null).
  explicit Dialog(Window& window, const FillSection* fill = nullptr);
  ~Dialog();
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  // Shows the dialog modally and returns when its window is hidden. False
  // when no dialog could be made (no desktop).
  bool RunModal(HWND owner);
  // A modeless dialog: made (hidden), shown, and destroyed.
  bool Create(HWND owner);
  void Show();
  void Destroy();

  // The controls brought in line with the model.
  void Refresh();
  // Takes the dialog off the screen while its handler goes on.
  void Conceal();

  HWND hwnd() const { return hwnd_; }
  Window& window() { return window_; }
  bool Contains(HWND target) const;

 private:
  struct Item {
    Control* control;  // not owned
    HWND hwnd = nullptr;
    std::vector<std::string> entries;  // a list's entries as last shown
  };
  static INT_PTR CALLBACK Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Build();
  void OnCommand(int id, int code);
  // The edit boxes' texts into the model before a handler runs: a text set
  // without a change notice (WM_SETTEXT to a box of several lines, another
  // program) counts too.
  void ReadTexts();
  // After a person's action: ends a modal dialog whose window was hidden,
  // else brings the controls in line.
  void AfterAction();
  void RunFillStep();
  void EndFill(const std::string& failure);
  Item* ItemOf(const Control* control);
  bool Make(const std::vector<WORD>& dialogTemplate, HWND owner, bool modal);

  Window& window_;
  const FillSection* fill_;
  size_t fillNext_ = 0;
  bool modal_ = false;
  HWND hwnd_ = nullptr;
  HFONT font_ = nullptr;
  std::vector<Item> items_;
  bool syncing_ = false;  // the controls are being set from the model
  Control* focused_ = nullptr;  // the model's focus as last applied
};

}  // namespace qv::ui

#endif
