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
#include <string_view>
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
  std::string caption;  // label text or button caption; "&" marks the access key
  bool enabled = true;
  bool visible = true;
  // The access key: the lower-case character after a single "&" in the
  // caption ("&View.." -> 'v'), or 0 when there is none.
  char AccessKey() const;
};

// Static text. A label that names another control (the "&Username:" before
// txtUsername) has it as its buddy: front ends show the two together, and the
// label's access key reaches the buddy.
class Label : public Control {
 public:
  using Control::Control;
  Control* buddy = nullptr;  // not owned
};

// A titled group of the controls that follow it.
class Frame : public Control {
 public:
  using Control::Control;
};

class TextBox : public Control {
 public:
  using Control::Control;
  std::string text;
  bool password = false;   // shown masked, typed without echo
  bool multiLine = false;  // lines separated by CR LF
  int maxLength = 0;       // 0: no limit
  bool locked = false;     // read-only
};

class CheckBox : public Control {
 public:
  using Control::Control;
  bool value = false;
  // Runs when the user changes the box (not when a handler sets `value`).
  std::function<void()> onClick;
  // The user ticks or clears the box: sets it and runs onClick.
  void Set(bool ticked) {
    value = ticked;
    if (onClick) onClick();
  }
};

class ComboBox : public Control {
 public:
  using Control::Control;
  std::vector<std::string> items;
  int listIndex = -1;  // -1: nothing chosen
  // Runs when the user picks an entry (not when a handler sets listIndex).
  std::function<void()> onClick;
  std::string Text() const {
    return listIndex >= 0 && listIndex < static_cast<int>(items.size()) ? items[static_cast<size_t>(listIndex)] : "";
  }
  // The user picks entry `index`; false (and nothing changes) when there is none.
  bool Choose(int index) {
    if (index < 0 || index >= static_cast<int>(items.size())) return false;
    listIndex = index;
    if (onClick) onClick();
    return true;
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
  std::string name;     // the window's class name ("frmConfig"), used by fill scripts
  std::string caption;
  virtual std::vector<Control*> Controls() = 0;
  // Called by the front end when the user closes the window without a button.
  virtual void OnClose() { Hide(); }

  // Runs when the window is shown, before the front end renders it (the
  // window's Form_Load).
  virtual void OnLoad() {}

  // Loads the window (OnLoad) and shows it modally through the current front
  // end; returns when it is hidden (by a handler calling Hide, or by the user
  // closing it).
  void ShowModal();
  void Hide() { shown_ = false; }
  bool IsShown() const { return shown_; }

  // The control that has the focus (not owned); handlers move it to the field
  // a check found wanting.
  Control* focused = nullptr;
  void SetFocus(Control& control) { focused = &control; }

 private:
  friend class FrontEnd;
  bool shown_ = false;
};

// ---- Filling windows without a person ----
//
// A fill script holds, for each showing of a window, the commands a person
// would type at the terminal, in sections headed by the window's class name
// or caption:
//
//   # the configuration window, filled and confirmed
//   [frmConfig]
//   set txtHostName mail.example.com
//   set txtPassword secret
//   set chkTroubleshoot on
//   click OK
//
// Each section is used once, for the next showing of a window it names. Blank
// lines and lines starting with "#" are skipped.

struct FillCommand {
  int line = 0;      // line number in the script, for messages
  std::string text;  // the command, as typed at the terminal
};

struct FillSection {
  std::string window;  // class name or caption
  int line = 0;
  std::vector<FillCommand> commands;
};

struct FillScript {
  std::vector<FillSection> sections;
};

// The longest script and the longest line accepted.
inline constexpr size_t kMaxFillScriptBytes = 64 * 1024;
inline constexpr size_t kMaxFillLineBytes = 4096;

// Reads a fill script. False with `*error` ("line N: ...") for a script that
// is too long, holds a NUL byte or an over-long line, a command outside a
// section, an empty or unterminated section header, or a command whose verb
// is not one of the terminal's commands.
bool ParseFillScript(std::string_view text, FillScript* script, std::string* error);

// Carries out one command of a fill script on `window` (the commands are
// those of the terminal, see TerminalFrontEnd), through the controls' own
// events: a button's Click, a check box's and a list's onClick. False with
// `*error` when it cannot (unknown command or control, disabled control, no
// such entry). Any front end can fill its windows with it.
bool ExecuteCommand(Window& window, const std::string& command, std::string* error);

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
// standard input and output. Two environment variables configure that
// terminal front end, so a host can pass its options to every module it
// loads: QUORVIA_UI_ANSWER ("yes", "no", "ok" or "cancel") gives it a fixed
// answer, and QUORVIA_UI_SCRIPT holds a fill script for its windows (taken
// out of the environment once read, since it may hold a password).
FrontEnd& CurrentFrontEnd();
// Installs `frontEnd` (not owned) until called with nullptr.
void SetFrontEnd(FrontEnd* frontEnd);

// Whether a window filled from a script was closed without completing its
// section (a command that failed, or a window its section left open, such as
// one whose OK refused an entry). Kept in the environment variable
// QUORVIA_UI_FILL_INCOMPLETE, so that the host learns it from the front end
// of whichever module showed the window.
bool FillIncomplete();
void ClearFillIncomplete();

// A command that failed (a synchronisation that could not fetch a list, could
// not keep its records, had adds refused; a password change the server
// refused ...). Message boxes tell the person at the screen; this tells the
// host, so that a script or a scheduler sees it in the exit status. Each
// reason is one line (line breaks inside it become spaces); the reasons
// accumulate until cleared. Kept in the environment variable
// QUORVIA_COMMAND_FAILURES for the same reason as the fill mark above.
void ReportCommandFailure(const std::string& reason);
// The reasons reported since the last clear, each ended by a line feed;
// empty when the command succeeded.
std::string CommandFailures();
void ClearCommandFailures();

// Shows a message box through the current front end.
Answer ShowMessage(const std::string& text, const std::string& title, Buttons buttons = Buttons::OK,
                   Icon icon = Icon::None);

// A front end at a terminal. Message boxes are printed; the answer is read
// from `in` unless a fixed answer was set or `in` is no terminal, in which
// case the default answer is taken (the first button, or the one set with
// SetFixedAnswer, when it is one of the box's buttons).
//
// Windows are printed with their caption, labels and current values; the user
// types commands (FIELD is a control's name, its caption or its label's
// caption, in quotes when it has spaces, or "&" and its access key):
//   set FIELD [TEXT]     fill a text box (without TEXT: prompts, a password
//                        without echo); tick or clear a box (on/off);
//                        pick a list entry (its position or its text)
//   append FIELD TEXT    add a line to a text box of several lines
//   check FIELD          toggle a check box
//   choose FIELD ENTRY   pick a list entry (position or text)
//   click BUTTON         press a button; "OK" or "&v" alone do the same
//   close                close the window without a button
//   help                 the list of commands
// A fill script, when one is set, fills the windows it names with the same
// commands before (or, without a person, instead of) the user.
class TerminalFrontEnd : public FrontEnd {
 public:
  TerminalFrontEnd(std::FILE* in, std::FILE* out);
  // Answers every message box with `answer` when the box has that button
  // (--yes / --no on the host's command line).
  void SetFixedAnswer(Answer answer) { fixed_ = answer; hasFixed_ = true; }
  // Whether prompts are read from the input (a terminal) or answered by default.
  void SetInteractive(bool interactive) { interactive_ = interactive; }
  // The windows shown from now on are filled from `script`.
  void SetFillScript(FillScript script) { script_ = std::move(script); used_.assign(script_.sections.size(), false); }

  Answer ShowMessage(const MessageBox& box) override;
  void RunModal(Window& window) override;

  // Carries out one command on `window`, as typed at the terminal. False with
  // `*error` when it cannot (unknown command or control, disabled control,
  // no such entry).
  bool Execute(Window& window, const std::string& command, std::string* error);

 private:
  void PrintWindow(Window& window);
  // Execute; `person` lets a command without its text prompt for it.
  bool Run(Window& window, const std::string& command, bool person, std::string* error);
  bool ReadLine(std::string* line);
  // Prints `prompt` and reads a line with the terminal's echo off (passwords).
  bool ReadSecret(const std::string& prompt, std::string* line);
  // Asks for the new contents of a text box.
  bool PromptFor(Window& window, TextBox& box, std::string* text);
  const FillSection* TakeSection(const Window& window);

  std::FILE* in_;
  std::FILE* out_;
  bool interactive_;
  bool hasFixed_ = false;
  Answer fixed_ = Answer::OK;
  FillScript script_;
  std::vector<bool> used_;
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
