// Message boxes and modal windows.
//
// The add-in's windows are classes that own their controls as plain fields
// (TextBox txtPassword, CheckBox chkTroubleshoot, ...) and their event
// handlers; a window lists its controls for the front end, and the front end
// renders them and lets the user fill them and press buttons. The terminal
// front end does that at a terminal; tests install a ScriptedFrontEnd, which
// records every message box and answers from a script, and drive the window
// handlers directly.
//
// Everything here runs on the add-in's single user-interface thread.
#ifndef QV_PLATFORM_UI_H
#define QV_PLATFORM_UI_H

#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace qv::ui {

// Buttons and icons of a message box, numbered as the Windows style bits.
enum class Buttons { OK = 0, OKCancel = 1, AbortRetryIgnore = 2, YesNoCancel = 3, YesNo = 4, RetryCancel = 5 };
enum class Icon { None = 0, Critical = 16, Question = 32, Exclamation = 48, Information = 64 };
// The button chosen, numbered as Windows numbers it.
enum class Answer { OK = 1, Cancel = 2, Abort = 3, Retry = 4, Ignore = 5, Yes = 6, No = 7 };

struct MessageBox {
  std::string text;
  std::string title;
  Buttons buttons = Buttons::OK;
  Icon icon = Icon::None;
};

const char* AnswerName(Answer answer);  // "OK", "Cancel", "Yes", ...
// Reads an answer name in any case ("yes", "No", "OK"); false when it is none.
bool ParseAnswer(const char* text, Answer* answer);

// ---- Controls ----

class Control {
 public:
  explicit Control(std::string name) : name(std::move(name)) {}
  virtual ~Control() = default;
  std::string name;     // as the window names it: "txtPassword", "cmdOK"
  std::string caption;  // label text or button caption
  bool enabled = true;
  bool visible = true;
};

class Label : public Control {
 public:
  using Control::Control;
};

class TextBox : public Control {
 public:
  using Control::Control;
  std::string text;
  bool password = false;  // shown masked
  int maxLength = 0;      // 0: no limit
  bool locked = false;    // read-only
};

class CheckBox : public Control {
 public:
  using Control::Control;
  bool value = false;
};

class ComboBox : public Control {
 public:
  using Control::Control;
  std::vector<std::string> items;
  int listIndex = -1;  // -1: nothing chosen
  std::string Text() const {
    return listIndex >= 0 && listIndex < static_cast<int>(items.size()) ? items[static_cast<size_t>(listIndex)] : "";
  }
};

class Button : public Control {
 public:
  using Control::Control;
  std::function<void()> onClick;
  bool isDefault = false;  // pressed by Enter
  bool isCancel = false;   // pressed by Escape
  void Click() {
    if (enabled && onClick) onClick();
  }
};

// A modal window. Subclasses own their controls as fields and list them in
// Controls() in display order.
class Window {
 public:
  virtual ~Window() = default;
  std::string caption;
  virtual std::vector<Control*> Controls() = 0;
  // Called by the front end when the user closes the window without a button.
  virtual void OnClose() { Hide(); }

  // Shows the window modally through the current front end; returns when it is
  // hidden (by a handler calling Hide, or by the user closing it).
  void ShowModal();
  void Hide() { shown_ = false; }
  bool IsShown() const { return shown_; }

 private:
  friend class FrontEnd;
  bool shown_ = false;
};

// ---- Front ends ----

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual Answer ShowMessage(const MessageBox& box) = 0;
  // Runs the window until it is hidden. The window is marked shown first.
  virtual void RunModal(Window& window) = 0;

 protected:
  static void MarkShown(Window& window) { window.shown_ = true; }
};

// The front end in use: the one installed, else a terminal front end on
// standard input and output. The environment variable QUORVIA_UI_ANSWER
// ("yes", "no", "ok" or "cancel") gives that terminal front end a fixed
// answer, so a host can pass its --yes / --no to every module it loads.
FrontEnd& CurrentFrontEnd();
// Installs `frontEnd` (not owned) until called with nullptr.
void SetFrontEnd(FrontEnd* frontEnd);

// Shows a message box through the current front end.
Answer ShowMessage(const std::string& text, const std::string& title, Buttons buttons = Buttons::OK,
                   Icon icon = Icon::None);

// A front end at a terminal. Message boxes are printed; the answer is read
// from `in` unless a fixed answer was set or `in` is no terminal, in which
// case the default answer is taken (the first button, or the one set with
// SetFixedAnswer, when it is one of the box's buttons). Windows are printed
// with their controls; the user types commands such as
//   set txtUserName alice     check chkTroubleshoot     choose cboStore 2
//   click cmdOK               close                     help
class TerminalFrontEnd : public FrontEnd {
 public:
  TerminalFrontEnd(std::FILE* in, std::FILE* out);
  // Answers every message box with `answer` when the box has that button
  // (--yes / --no on the host's command line).
  void SetFixedAnswer(Answer answer) { fixed_ = answer; hasFixed_ = true; }
  // Whether prompts are read from the input (a terminal) or answered by default.
  void SetInteractive(bool interactive) { interactive_ = interactive; }

  Answer ShowMessage(const MessageBox& box) override;
  void RunModal(Window& window) override;

 private:
  void PrintWindow(Window& window);
  bool ReadLine(std::string* line);

  std::FILE* in_;
  std::FILE* out_;
  bool interactive_;
  bool hasFixed_ = false;
  Answer fixed_ = Answer::OK;
};

// A front end for tests: records every message box, answers from a queue of
// answers (the box's first button when the queue is empty), and runs windows
// by calling the script given for them.
class ScriptedFrontEnd : public FrontEnd {
 public:
  Answer ShowMessage(const MessageBox& box) override;
  void RunModal(Window& window) override;

  void QueueAnswer(Answer answer) { answers_.push_back(answer); }
  // Called with each window shown modally; it should press a button or call
  // Hide(). Without one (or if the window is still shown after it), the window
  // is closed as the user would close it.
  void SetWindowScript(std::function<void(Window&)> script) { windowScript_ = std::move(script); }

  const std::vector<MessageBox>& boxes() const { return boxes_; }
  const std::vector<std::string>& windowsShown() const { return windowsShown_; }
  void Clear() { boxes_.clear(); windowsShown_.clear(); }

 private:
  std::deque<Answer> answers_;
  std::function<void(Window&)> windowScript_;
  std::vector<MessageBox> boxes_;
  std::vector<std::string> windowsShown_;
};

// Installs a front end for its lifetime.
class ScopedFrontEnd {
 public:
  explicit ScopedFrontEnd(FrontEnd* frontEnd) { SetFrontEnd(frontEnd); }
  ~ScopedFrontEnd() { SetFrontEnd(nullptr); }
  ScopedFrontEnd(const ScopedFrontEnd&) = delete;
  ScopedFrontEnd& operator=(const ScopedFrontEnd&) = delete;
};

// The buttons of a box, in the order Windows shows them.
std::vector<Answer> ButtonsOf(Buttons buttons);

}  // namespace qv::ui

#endif
