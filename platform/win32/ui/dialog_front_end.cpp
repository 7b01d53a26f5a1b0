#include <algorithm>
#include <cstdio>

#include "platform/win32/ui/dialog.h"
#include "platform/win32/ui/dialogs.h"

namespace qv::ui {
namespace {

using Clock = std::chrono::steady_clock;

// How long a wait goes on before its window is shown.
constexpr std::chrono::milliseconds kWaitShownAfter(500);
// The most messages one look at the queue lets through.
constexpr int kMessagesPerPump = 1000;

bool IsInput(UINT message) {
  return (message >= WM_KEYFIRST && message <= WM_KEYLAST) || (message >= WM_MOUSEFIRST && message <= WM_MOUSELAST) ||
         (message >= WM_NCMOUSEMOVE && message <= WM_NCXBUTTONDBLCLK);
}

}  // namespace

UINT MessageBoxStyle(const MessageBox& box) {
  UINT style = static_cast<UINT>(box.buttons) | static_cast<UINT>(box.icon);
  // A default the box has no button for is its first button.
  const size_t index = static_cast<size_t>(box.defaultButton);
  if (index < ButtonsOf(box.buttons).size()) {
    style |= index == 1 ? MB_DEFBUTTON2 : index == 2 ? MB_DEFBUTTON3 : MB_DEFBUTTON1;
  }
  return style;
}

// The window of a wait: what it waits for, and Cancel (the close box cancels too).
class DialogFrontEnd::WaitWindow : public Window {
 public:
  WaitWindow(const std::string& what, bool* cancelled) : cancelled_(cancelled) {
    name = "frmWait";
    caption = "Please wait";
    lblWhat.caption = what;
    cmdCancel.caption = "Cancel";
    cmdCancel.isDefault = true;
    cmdCancel.isCancel = true;
    cmdCancel.onClick = [cancelled] { *cancelled = true; };
  }
  std::vector<Control*> Controls() override { return {&lblWhat, &cmdCancel}; }
  void OnClose() override { *cancelled_ = true; }

  Label lblWhat{"lblWhat"};
  Button cmdCancel{"cmdCancel"};

 private:
  bool* cancelled_;
};

struct DialogFrontEnd::Wait {
  std::string what;
  Clock::time_point since;
  bool cancelled = false;
  std::unique_ptr<WaitWindow> window;
  std::unique_ptr<Dialog> dialog;
};

DialogFrontEnd& HostDialogFrontEnd() {
  static DialogFrontEnd* front = [] {
    auto* made = new DialogFrontEnd;  // lives for the process
    made->SetFillScript(TakeHostFillScriptForFrontEnd());
    return made;
  }();
  return *front;
}

DialogFrontEnd::DialogFrontEnd() = default;

DialogFrontEnd::~DialogFrontEnd() {
  wait_.reset();
  progress_.reset();
  retired_.clear();
}

HWND DialogFrontEnd::Owner() const {
  for (auto it = modal_.rbegin(); it != modal_.rend(); ++it) {
    if ((*it)->hwnd() != nullptr && IsWindowVisible((*it)->hwnd())) return (*it)->hwnd();
  }
  if (progress_ && progress_->hwnd() != nullptr && IsWindowVisible(progress_->hwnd())) return progress_->hwnd();
  return GetActiveWindow();
}

void DialogFrontEnd::HideFinishedDialogs() {
  for (Dialog* dialog : modal_) {
    if (!dialog->window().IsShown()) dialog->Conceal();
  }
}

void DialogFrontEnd::Retire(std::unique_ptr<Dialog> dialog) {
  if (!dialog) return;
  dialog->Destroy();
  retired_.push_back(std::move(dialog));
}

Answer DialogFrontEnd::ShowMessage(const MessageBox& box) {
  HideFinishedDialogs();
  const std::vector<Answer> choices = ButtonsOf(box.buttons);
  // A host that answers for a person (--yes, --no) is not asked twice.
  Answer fixed;
  if (HostAnswer(&fixed)) {
    return std::find(choices.begin(), choices.end(), fixed) != choices.end() ? fixed : DefaultAnswer(box);
  }
  HWND owner = Owner();
  const UINT style = MessageBoxStyle(box) | MB_SETFOREGROUND | (owner != nullptr ? 0 : MB_TASKMODAL);
  const int chosen = MessageBoxW(owner, WideText(box.text).c_str(), WideText(box.title).c_str(), style);
  for (Answer answer : choices) {
    if (static_cast<int>(answer) == chosen) return answer;
  }
  return DefaultAnswer(box);  // no box could be shown
}

void DialogFrontEnd::RunModal(Window& window) {
  MarkShown(window);
  HideFinishedDialogs();
  retired_.clear();
  const FillSection* section = script_.Take(window);
  HWND owner = Owner();
  Dialog dialog(window, section);
  modal_.push_back(&dialog);
  const bool shown = dialog.RunModal(owner);
  modal_.pop_back();
  if (!shown) {
    std::fprintf(stderr, "The window \"%s\" cannot be shown: no desktop to show it on.\n", window.caption.c_str());
    if (section != nullptr) MarkFillIncomplete();
  }
  if (window.IsShown()) window.OnClose();
}

void DialogFrontEnd::Pump() {
  ++pumping_;
  MSG message;
  for (int n = 0; n < kMessagesPerPump && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE); ++n) {
    if (message.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(message.wParam));  // for the loop that owns the thread
      break;
    }
    if (IsInput(message.message) && !TakesInput(message.hwnd)) continue;
    if (progress_ && progress_->hwnd() != nullptr && IsDialogMessageW(progress_->hwnd(), &message)) continue;
    if (wait_ && wait_->dialog && wait_->dialog->hwnd() != nullptr && IsDialogMessageW(wait_->dialog->hwnd(), &message)) {
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  --pumping_;
}

bool DialogFrontEnd::TakesInput(HWND target) const {
  return (progress_ && progress_->Contains(target)) || (wait_ && wait_->dialog && wait_->dialog->Contains(target));
}

void DialogFrontEnd::BeginWait(const std::string& what) {
  wait_ = std::make_unique<Wait>();
  wait_->what = what;
  wait_->since = Clock::now();
}

bool DialogFrontEnd::WaitCancelled() {
  if (!wait_) return false;
  Pump();
  if (!wait_) return true;
  if (!wait_->dialog && !wait_->cancelled && Clock::now() - wait_->since >= kWaitShownAfter) {
    wait_->window = std::make_unique<WaitWindow>(wait_->what, &wait_->cancelled);
    auto dialog = std::make_unique<Dialog>(*wait_->window);
    if (dialog->Create(Owner())) {
      dialog->Show();
      wait_->dialog = std::move(dialog);
    }
  }
  return wait_->cancelled;
}

void DialogFrontEnd::EndWait() {
  if (wait_ && wait_->dialog) wait_->dialog->Destroy();
  wait_.reset();
}

void DialogFrontEnd::Show(ProgressWindow& window) {
  if (pumping_ == 0) retired_.clear();
  if (progress_ && &progress_->window() != &window) Retire(std::move(progress_));
  if (!progress_) {
    auto dialog = std::make_unique<Dialog>(window);
    if (!dialog->Create(Owner())) return;
    progress_ = std::move(dialog);
  }
  progress_->Refresh();
  progress_->Show();
}

void DialogFrontEnd::Repaint(ProgressWindow& window) {
  if (!progress_ || &progress_->window() != &window || progress_->hwnd() == nullptr) return;
  progress_->Refresh();
  UpdateWindow(progress_->hwnd());
}

void DialogFrontEnd::DoEvents(ProgressWindow& window) {
  if (pumping_ == 0) retired_.clear();
  if (progress_ && &progress_->window() == &window) Pump();
}

void DialogFrontEnd::Hide(ProgressWindow& window) {
  if (!progress_ || &progress_->window() != &window) return;
  // Cancel pressed while a wait let messages through: the wait ends too.
  if (wait_ && pumping_ > 0) wait_->cancelled = true;
  Retire(std::move(progress_));
}

}  // namespace qv::ui
