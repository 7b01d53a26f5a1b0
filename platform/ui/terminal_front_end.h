// The terminal front end of the window model (ui.h): message boxes printed
// with their buttons, windows printed with their controls and filled by the
// commands a person types (or a fill script holds). On POSIX, and on
// Windows through its POSIX layer for a console host; the platform's front
// end on Linux.
//
// Used on the add-in's user-interface thread.
#ifndef QV_PLATFORM_UI_TERMINAL_FRONT_END_H
#define QV_PLATFORM_UI_TERMINAL_FRONT_END_H

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/ui/ui.h"

namespace qv::ui {

// A front end at a terminal. Message boxes are printed; the answer is read
// from `in` unless a fixed answer was set or `in` is no terminal. With
// nobody to answer (no terminal, the end of the input, Ctrl-D, Enter alone)
// the box's default button is taken; a fixed answer (SetFixedAnswer) is taken
// when the box has that button. Every text is filtered before it is printed
// (terminal::SafeText), since much of it comes from a server.
//
// A wait (BeginWait) shows what it waits for once it has lasted half a
// second; Ctrl-C cancels it (and, while a progress window is shown, presses
// its Cancel too).
//
// Windows are printed with their caption, labels and current values; the
// user types the commands of a fill script (see ui.h), and besides:
//   set FIELD            asks for the text (a password without echo)
//   help                 the list of commands
// A fill script, when one is set, fills the windows it names with the same
// commands before (or, without a person, instead of) the user.
class TerminalFrontEnd : public FrontEnd {
 public:
  TerminalFrontEnd(std::FILE* in, std::FILE* out);
  ~TerminalFrontEnd() override;
  // Answers every message box with `answer` when the box has that button
  // (--yes / --no on the host's command line).
  void SetFixedAnswer(Answer answer) { fixed_ = answer; hasFixed_ = true; }
  // Whether prompts are read from the input (a terminal) or answered by default.
  void SetInteractive(bool interactive) { interactive_ = interactive; }
  // The windows shown from now on are filled from `script`.
  void SetFillScript(FillScript script) { script_ = std::move(script); }

  Answer ShowMessage(const MessageBox& box) override;
  void RunModal(Window& window) override;
  void BeginWait(const std::string& what) override;
  bool WaitCancelled() override;
  void EndWait() override;

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

  std::FILE* in_;
  std::FILE* out_;
  bool interactive_;
  bool hasFixed_ = false;
  Answer fixed_ = Answer::OK;
  FillScript script_;
  // The wait going on: what it is for, since when, whether it is on screen,
  // and Ctrl-C caught for it.
  struct Wait;
  std::unique_ptr<Wait> wait_;
};

// The terminal front end of the process on standard input and output, made
// at first use with what the host asked for (its fixed answer and fill
// script) and kept for the process.
TerminalFrontEnd& HostTerminalFrontEnd();

}  // namespace qv::ui

#endif
