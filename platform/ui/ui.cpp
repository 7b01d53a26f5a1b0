// The model's message boxes, windows, front-end choice and process-wide
// notes; fill scripts are in fill_script.cpp.
#include "platform/ui/ui.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "platform/ui/process_notes.h"

namespace qv::ui {
namespace {

FrontEnd* g_frontEnd = nullptr;

// The notes the host and the modules it loads share.
constexpr const char* kHostAnswer = "QUORVIA_UI_ANSWER";
constexpr const char* kHostFillScript = "QUORVIA_UI_SCRIPT";
constexpr const char* kFillIncomplete = "QUORVIA_UI_FILL_INCOMPLETE";
constexpr const char* kCommandFailures = "QUORVIA_COMMAND_FAILURES";
constexpr const char* kHostFrontEnd = "QUORVIA_UI_FRONT_END";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

bool ParseAnswer(const char* text, Answer* answer) {
  if (text == nullptr) return false;
  for (Answer a : {Answer::OK, Answer::Cancel, Answer::Abort, Answer::Retry, Answer::Ignore, Answer::Yes, Answer::No}) {
    if (Lower(text) == Lower(AnswerName(a))) {
      *answer = a;
      return true;
    }
  }
  return false;
}

const char* AnswerName(Answer answer) {
  switch (answer) {
    case Answer::OK: return "OK";
    case Answer::Cancel: return "Cancel";
    case Answer::Abort: return "Abort";
    case Answer::Retry: return "Retry";
    case Answer::Ignore: return "Ignore";
    case Answer::Yes: return "Yes";
    case Answer::No: return "No";
  }
  return "?";
}

std::vector<Answer> ButtonsOf(Buttons buttons) {
  switch (buttons) {
    case Buttons::OK: return {Answer::OK};
    case Buttons::OKCancel: return {Answer::OK, Answer::Cancel};
    case Buttons::AbortRetryIgnore: return {Answer::Abort, Answer::Retry, Answer::Ignore};
    case Buttons::YesNoCancel: return {Answer::Yes, Answer::No, Answer::Cancel};
    case Buttons::YesNo: return {Answer::Yes, Answer::No};
    case Buttons::RetryCancel: return {Answer::Retry, Answer::Cancel};
  }
  return {Answer::OK};
}

Answer DefaultAnswer(const MessageBox& box) {
  const std::vector<Answer> choices = ButtonsOf(box.buttons);
  const size_t index = static_cast<size_t>(box.defaultButton);
  return index < choices.size() ? choices[index] : choices.front();
}

char Control::AccessKey() const {
  for (size_t i = 0; i + 1 < caption.size(); ++i) {
    if (caption[i] != '&') continue;
    if (caption[i + 1] == '&') {
      ++i;
      continue;
    }
    return static_cast<char>(std::tolower(static_cast<unsigned char>(caption[i + 1])));
  }
  return 0;
}

void Window::ShowModal() {
  OnLoad();
  CurrentFrontEnd().RunModal(*this);
}

FrontEnd& CurrentFrontEnd() { return g_frontEnd != nullptr ? *g_frontEnd : PlatformFrontEnd(); }

void SetFrontEnd(FrontEnd* frontEnd) { g_frontEnd = frontEnd; }

void SetHostAnswer(Answer answer) { WriteProcessNote(kHostAnswer, Lower(AnswerName(answer))); }

bool HostAnswer(Answer* answer) { return ParseAnswer(ReadProcessNote(kHostAnswer).c_str(), answer); }

void SetHostFrontEnd(const std::string& name) { WriteProcessNote(kHostFrontEnd, name); }

std::string HostFrontEnd() { return ReadProcessNote(kHostFrontEnd); }

void SetHostFillScript(const std::string& text) { WriteProcessNote(kHostFillScript, text); }

bool TakeHostFillScript(FillScript* script, std::string* error) {
  error->clear();
  const std::string text = ReadProcessNote(kHostFillScript);
  if (text.empty()) return false;
  if (!ParseFillScript(text, script, error)) return false;
  EraseProcessNote(kHostFillScript);
  return true;
}

FillScript TakeHostFillScriptForFrontEnd() {
  FillScript script;
  std::string error;
  if (!TakeHostFillScript(&script, &error)) {
    if (!error.empty()) std::fprintf(stderr, "The host's fill script is not used: %s\n", error.c_str());
    return FillScript{};
  }
  return script;
}

bool FillIncomplete() { return !ReadProcessNote(kFillIncomplete).empty(); }

void MarkFillIncomplete() { WriteProcessNote(kFillIncomplete, "1"); }

void ClearFillIncomplete() { EraseProcessNote(kFillIncomplete); }

void ReportCommandFailure(const std::string& reason) {
  std::string line = reason.empty() ? std::string("the command failed") : reason;
  std::replace(line.begin(), line.end(), '\r', ' ');
  std::replace(line.begin(), line.end(), '\n', ' ');
  WriteProcessNote(kCommandFailures, CommandFailures() + line + "\n");
}

std::string CommandFailures() { return ReadProcessNote(kCommandFailures); }

void ClearCommandFailures() { EraseProcessNote(kCommandFailures); }

Answer ShowMessage(const std::string& text, const std::string& title, Buttons buttons, Icon icon,
                   DefaultButton defaultButton) {
  return CurrentFrontEnd().ShowMessage(MessageBox{text, title, buttons, icon, defaultButton});
}

// ---- ScriptedFrontEnd ----

Answer ScriptedFrontEnd::ShowMessage(const MessageBox& box) {
  boxes_.push_back(box);
  if (answers_.empty()) return DefaultAnswer(box);
  Answer answer = answers_.front();
  answers_.pop_front();
  return answer;
}

void ScriptedFrontEnd::RunModal(Window& window) {
  MarkShown(window);
  windowsShown_.push_back(window.caption);
  if (windowScript_) windowScript_(window);
  if (window.IsShown()) window.OnClose();
}

void ScriptedFrontEnd::BeginWait(const std::string& what) {
  waits_.push_back(what);
  polls_ = 0;
}

bool ScriptedFrontEnd::WaitCancelled() { return cancelAfter_ >= 0 && ++polls_ > cancelAfter_; }

}  // namespace qv::ui
