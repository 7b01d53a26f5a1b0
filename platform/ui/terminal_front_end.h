// The terminal front end of the window model (ui.h): message boxes printed
// with their buttons, windows printed with their controls and filled by the
// commands a person types (or a fill script holds). POSIX only; the build
// picks it as the platform's front end on Linux.
//
// Used on the add-in's user-interface thread.
#ifndef QV_PLATFORM_UI_TERMINAL_FRONT_END_H
#define QV_PLATFORM_UI_TERMINAL_FRONT_END_H

#include <cstdio>
#include <string>

#include "platform/ui/ui.h"

namespace qv::ui {

// A front end at a terminal. Message boxes are printed; the answer is read
// from `in` unless a fixed answer was set or `in` is no terminal, in which
// case the default answer is taken (the box's default button, or the one set
// with SetFixedAnswer, when it is one of the box's buttons).
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
  // Answers every message box with `answer` when the box has that button
  // (--yes / --no on the host's command line).
  void SetFixedAnswer(Answer answer) { fixed_ = answer; hasFixed_ = true; }
  // Whether prompts are read from the input (a terminal) or answered by default.
  void SetInteractive(bool interactive) { interactive_ = interactive; }
  // The windows shown from now on are filled from `script`.
  void SetFillScript(FillScript script) { script_ = std::move(script); }

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

  std::FILE* in_;
  std::FILE* out_;
  bool interactive_;
  bool hasFixed_ = false;
  Answer fixed_ = Answer::OK;
  FillScript script_;
};

}  // namespace qv::ui

#endif
