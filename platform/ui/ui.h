// Message boxes and modal windows: the model every front end shares.
//
// The add-in's windows are classes that own their controls as plain fields
// (TextBox txtPassword, CheckBox chkTroubleshoot, ...) and their event
// handlers; a window lists its controls for the front end, and the front end
// renders them and lets the user fill them and press buttons. This header is
// the front-end-neutral part: controls, windows, message boxes with their
// default buttons, waits a person may cancel, fill scripts (filling windows
// without a person), the front end interface, and a scripted front end for
// tests. A front end lives in files of its own: the terminal one in
// terminal_front_end.h, chosen by the build (see sources.cmake); it provides
// PlatformFrontEnd().
//
// Everything here runs on the add-in's single user-interface thread.
#ifndef QV_PLATFORM_UI_H
#define QV_PLATFORM_UI_H

#include <cstddef>
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
// Which of the box's buttons is the default one: pressed by Enter, and taken
// whenever nobody answers (no person, end of input). A question whose first
// button deletes something has another default.
enum class DefaultButton { First = 0, Second = 1, Third = 2 };

struct MessageBox {
  std::string text;
  std::string title;
  Buttons buttons = Buttons::OK;
  Icon icon = Icon::None;
  DefaultButton defaultButton = DefaultButton::First;
};

const char* AnswerName(Answer answer);  // "OK", "Cancel", "Yes", ...
// Reads an answer name in any case ("yes", "No", "OK"); false when it is none.
bool ParseAnswer(const char* text, Answer* answer);
// The buttons of a box, in the order Windows shows them.
std::vector<Answer> ButtonsOf(Buttons buttons);
// The box's default button (its first one when the default names none).
Answer DefaultAnswer(const MessageBox& box);

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
//
// The commands (FIELD is a control's name, its caption or its label's
// caption, in quotes when it has spaces, or "&" and its access key):
//   set FIELD TEXT       fill a text box; tick or clear a box (on/off); pick
//                        a list entry (its position or its text)
//   append FIELD TEXT    add a line to a text box of several lines
//   check FIELD          toggle a check box
//   choose FIELD ENTRY   pick a list entry (position or text)
//   click BUTTON         press a button; a button's caption alone or "&v"
//                        (an access key) do the same
//   close                close the window without a button

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
  // The next section not used yet that names `window` (by class name or
  // caption), marked used; nullptr when there is none.
  const FillSection* Take(const Window& window);

 private:
  std::vector<bool> used_;
};

// The longest script and the longest line accepted.
inline constexpr size_t kMaxFillScriptBytes = 64 * 1024;
inline constexpr size_t kMaxFillLineBytes = 4096;

// Reads a fill script. False with `*error` ("line N: ...") for a script that
// is too long, holds a NUL byte or an over-long line, a command outside a
// section, an empty or unterminated section header, or a command whose verb
// is not one of the commands above.
bool ParseFillScript(std::string_view text, FillScript* script, std::string* error);

// Carries out one command on `window` through the controls' own events: a
// button's Click, a check box's and a list's onClick. False with `*error`
// when it cannot (unknown command or control, disabled control, no such
// entry). Every front end fills its windows with it, or with the two halves
// below.
bool ExecuteCommand(Window& window, const std::string& command, std::string* error);

// What one command does to its window, found without doing it: a front end
// that renders the controls itself carries it out on them (a dialog's
// controls, through window messages).
struct FillAction {
  enum Kind { Close, Click, SetText, Tick, Choose };
  Kind kind = Close;
  Control* control = nullptr;  // not owned; nullptr for Close
  std::string text;            // SetText: the box's whole new text (appended, cut to its length)
  bool ticked = false;         // Tick: the box's new state
  int index = -1;              // Choose: the entry picked
};
// False with `*error` as ExecuteCommand.
bool ResolveCommand(Window& window, const std::string& command, FillAction* action, std::string* error);
// Carries the action out on the model, as ExecuteCommand does.
void ApplyAction(Window& window, const FillAction& action);

// The text box a command fills ("set txtPassword x", "&p"), or nullptr: front
// ends ask a person for the text of a "set FIELD" without one.
TextBox* TextBoxOfCommand(Window& window, const std::string& command);
// The command as a front end may echo it: trimmed, a password's text shown
// as "*"s, control characters as "?".
std::string CommandForEcho(Window& window, const std::string& command);
// Whether the command names a text box without giving its text ("set FIELD"
// or an access key alone): a person is asked for the text.
bool CommandLacksText(const std::string& command);
// A caption without its access-key ampersands ("&Synchronize" -> "Synchronize").
std::string PlainCaption(const std::string& caption);
// The caption a text box is known by: its label's, else its own, else its name.
std::string TextBoxTitle(Window& window, const TextBox& box);

// ---- Front ends ----

class FrontEnd {
 public:
  virtual ~FrontEnd() = default;
  virtual Answer ShowMessage(const MessageBox& box) = 0;
  // Runs the window until it is hidden. The window is marked shown first.
  virtual void RunModal(Window& window) = 0;

  // A wait for something outside (a server's answer) that may last. The
  // front end shows `what` ("Connecting to mail.example.com ...") when the
  // wait lasts, and lets a person cancel it. WaitCancelled is asked often
  // (several times a second) until EndWait; true once the person has
  // cancelled. Waits do not nest. By default nothing is shown and nothing
  // cancels.
  virtual void BeginWait(const std::string& what) { (void)what; }
  virtual bool WaitCancelled() { return false; }
  virtual void EndWait() {}

 protected:
  static void MarkShown(Window& window) { window.shown_ = true; }
};

// The front end in use: the one installed, else the platform's own
// (PlatformFrontEnd).
FrontEnd& CurrentFrontEnd();
// Installs `frontEnd` (not owned) until called with nullptr.
void SetFrontEnd(FrontEnd* frontEnd);
// The platform's front end, made at first use and kept for the process;
// defined by the front end the build chose (the terminal one on Linux).
FrontEnd& PlatformFrontEnd();

// What the host asked of the front ends of every module it loads (each
// module has front ends of its own), passed in process-wide notes:
// --yes/--no as a fixed answer, --fill/--set/--press as a fill script, and
// the front end to show windows with.
// kHostFrontEndTerminal: a console host's terminal. kHostFrontEndDialogs: the
// system's own dialogs. Nothing set (Outlook sets nothing): the platform's
// own front end, the dialogs on Windows and the terminal elsewhere.
inline constexpr const char* kHostFrontEndTerminal = "terminal";
inline constexpr const char* kHostFrontEndDialogs = "dialogs";
void SetHostFrontEnd(const std::string& name);
std::string HostFrontEnd();
void SetHostAnswer(Answer answer);
// False when the host set none.
bool HostAnswer(Answer* answer);
void SetHostFillScript(const std::string& text);
// The host's fill script, taken out of the notes once read (it may hold a
// password, and programs started later must not inherit it). False when there
// is none; false with `*error` when it is no script.
bool TakeHostFillScript(FillScript* script, std::string* error);
// For a front end made at first use: the host's fill script, or an empty one
// when the host set none or set one that cannot be read (said on stderr).
FillScript TakeHostFillScriptForFrontEnd();

// A wait while it lasts: BeginWait at construction, EndWait at the end.
class WaitScope {
 public:
  explicit WaitScope(const std::string& what) : frontEnd_(CurrentFrontEnd()) { frontEnd_.BeginWait(what); }
  ~WaitScope() { frontEnd_.EndWait(); }
  WaitScope(const WaitScope&) = delete;
  WaitScope& operator=(const WaitScope&) = delete;
  bool Cancelled() { return frontEnd_.WaitCancelled(); }

 private:
  FrontEnd& frontEnd_;
};

// Whether a window filled from a script was closed without completing its
// section (a command that failed, or a window its section left open, such as
// one whose OK refused an entry). A process-wide note, so that the host
// learns it from the front end of whichever module showed the window.
bool FillIncomplete();
void MarkFillIncomplete();
void ClearFillIncomplete();

// A command that failed (a synchronisation that could not fetch a list, could
// not keep its records, had adds refused; a password change the server
// refused ...). Message boxes tell the person at the screen; this tells the
// host, so that a script or a scheduler sees it in the exit status. Each
// reason is one line (line breaks inside it become spaces); the reasons
// accumulate until cleared. A process-wide note, as the fill mark above.
void ReportCommandFailure(const std::string& reason);
// The reasons reported since the last clear, each ended by a line feed;
// empty when the command succeeded.
std::string CommandFailures();
void ClearCommandFailures();

// Shows a message box through the current front end.
Answer ShowMessage(const std::string& text, const std::string& title, Buttons buttons = Buttons::OK,
                   Icon icon = Icon::None, DefaultButton defaultButton = DefaultButton::First);

// A front end for tests: records every message box, answers from a queue of
// answers (the box's default button when the queue is empty), runs windows by
// calling the script given for them, and records waits (cancelling them when
// told to).
class ScriptedFrontEnd : public FrontEnd {
 public:
  Answer ShowMessage(const MessageBox& box) override;
  void RunModal(Window& window) override;
  void BeginWait(const std::string& what) override;
  bool WaitCancelled() override;
  void EndWait() override {}

  void QueueAnswer(Answer answer) { answers_.push_back(answer); }
  // Called with each window shown modally; it should press a button or call
  // Hide(). Without one (or if the window is still shown after it), the window
  // is closed as the user would close it.
  void SetWindowScript(std::function<void(Window&)> script) { windowScript_ = std::move(script); }
  // Cancels every wait once it has been asked `polls` times (as a person who
  // presses Ctrl-C a moment into each wait); a negative number never cancels.
  void CancelWaitsAfter(int polls) { cancelAfter_ = polls; }

  const std::vector<MessageBox>& boxes() const { return boxes_; }
  const std::vector<std::string>& windowsShown() const { return windowsShown_; }
  const std::vector<std::string>& waits() const { return waits_; }
  void Clear() { boxes_.clear(); windowsShown_.clear(); waits_.clear(); }

 private:
  std::deque<Answer> answers_;
  std::function<void(Window&)> windowScript_;
  std::vector<MessageBox> boxes_;
  std::vector<std::string> windowsShown_;
  std::vector<std::string> waits_;
  int cancelAfter_ = -1;
  int polls_ = 0;
};

// Installs a front end for its lifetime.
class ScopedFrontEnd {
 public:
  explicit ScopedFrontEnd(FrontEnd* frontEnd) { SetFrontEnd(frontEnd); }
  ~ScopedFrontEnd() { SetFrontEnd(nullptr); }
  ScopedFrontEnd(const ScopedFrontEnd&) = delete;
  ScopedFrontEnd& operator=(const ScopedFrontEnd&) = delete;
};

}  // namespace qv::ui

#endif
