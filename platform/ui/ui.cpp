#include "platform/ui/ui.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace qv::ui {
namespace {

FrontEnd* g_frontEnd = nullptr;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A caption without its access-key ampersands ("&Synchronize" -> "Synchronize").
std::string Plain(const std::string& caption) {
  std::string plain;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size() && caption[i + 1] != '&') continue;
    if (caption[i] == '&') ++i;
    plain.push_back(caption[i]);
  }
  return plain;
}

const char* IconName(Icon icon) {
  switch (icon) {
    case Icon::Critical: return "Error";
    case Icon::Question: return "Question";
    case Icon::Exclamation: return "Warning";
    case Icon::Information: return "Information";
    case Icon::None: break;
  }
  return "";
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

void Window::ShowModal() { CurrentFrontEnd().RunModal(*this); }

FrontEnd& CurrentFrontEnd() {
  if (g_frontEnd) return *g_frontEnd;
  static TerminalFrontEnd* terminal = [] {
    auto* front = new TerminalFrontEnd(stdin, stdout);  // lives for the process
    Answer fixed;
    if (ParseAnswer(std::getenv("QUORVIA_UI_ANSWER"), &fixed)) front->SetFixedAnswer(fixed);
    return front;
  }();
  return *terminal;
}

void SetFrontEnd(FrontEnd* frontEnd) { g_frontEnd = frontEnd; }

Answer ShowMessage(const std::string& text, const std::string& title, Buttons buttons, Icon icon) {
  return CurrentFrontEnd().ShowMessage(MessageBox{text, title, buttons, icon});
}

// ---- TerminalFrontEnd ----

TerminalFrontEnd::TerminalFrontEnd(std::FILE* in, std::FILE* out)
    : in_(in), out_(out), interactive_(in != nullptr && isatty(fileno(in))) {}

bool TerminalFrontEnd::ReadLine(std::string* line) {
  line->clear();
  if (in_ == nullptr) return false;
  int c;
  while ((c = std::fgetc(in_)) != EOF && c != '\n') line->push_back(static_cast<char>(c));
  if (c == EOF && line->empty()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

Answer TerminalFrontEnd::ShowMessage(const MessageBox& box) {
  const std::vector<Answer> choices = ButtonsOf(box.buttons);
  std::fprintf(out_, "\n[%s]%s%s\n", box.title.c_str(), box.icon == Icon::None ? "" : " ", IconName(box.icon));
  std::fprintf(out_, "%s\n", box.text.c_str());
  std::string names;
  for (Answer a : choices) names += std::string(names.empty() ? "" : " / ") + AnswerName(a);
  Answer answer = choices.front();
  if (hasFixed_ && std::find(choices.begin(), choices.end(), fixed_) != choices.end()) {
    answer = fixed_;
  } else if (interactive_) {
    for (;;) {
      std::fprintf(out_, "(%s) > ", names.c_str());
      std::fflush(out_);
      std::string line;
      if (!ReadLine(&line)) break;
      std::string want = Lower(line);
      auto match = std::find_if(choices.begin(), choices.end(), [&](Answer a) {
        std::string name = Lower(AnswerName(a));
        return !want.empty() && name.compare(0, want.size(), want) == 0;
      });
      if (line.empty()) break;  // Enter takes the default button
      if (match != choices.end()) {
        answer = *match;
        break;
      }
    }
  }
  std::fprintf(out_, "-> %s\n", AnswerName(answer));
  std::fflush(out_);
  return answer;
}

void TerminalFrontEnd::PrintWindow(Window& window) {
  std::fprintf(out_, "\n=== %s ===\n", window.caption.c_str());
  for (Control* control : window.Controls()) {
    if (!control->visible) continue;
    const char* disabled = control->enabled ? "" : " (disabled)";
    if (auto* box = dynamic_cast<TextBox*>(control)) {
      std::string shown = box->password ? std::string(box->text.size(), '*') : box->text;
      std::fprintf(out_, "  %-22s [%s]%s\n", box->name.c_str(), shown.c_str(), disabled);
    } else if (auto* check = dynamic_cast<CheckBox*>(control)) {
      std::fprintf(out_, "  %-22s [%c] %s%s\n", check->name.c_str(), check->value ? 'x' : ' ',
                   Plain(check->caption).c_str(), disabled);
    } else if (auto* combo = dynamic_cast<ComboBox*>(control)) {
      std::fprintf(out_, "  %-22s <%s>%s\n", combo->name.c_str(), combo->Text().c_str(), disabled);
      for (size_t i = 0; i < combo->items.size(); ++i) {
        std::fprintf(out_, "      %zu: %s\n", i, combo->items[i].c_str());
      }
    } else if (auto* button = dynamic_cast<Button*>(control)) {
      std::fprintf(out_, "  %-22s (%s)%s\n", button->name.c_str(), Plain(button->caption).c_str(), disabled);
    } else if (!control->caption.empty()) {
      std::fprintf(out_, "  %s\n", control->caption.c_str());
    }
  }
  std::fflush(out_);
}

void TerminalFrontEnd::RunModal(Window& window) {
  MarkShown(window);
  auto find = [&](const std::string& name) -> Control* {
    for (Control* control : window.Controls()) {
      if (Lower(control->name) == Lower(name)) return control;
    }
    return nullptr;
  };
  while (window.IsShown()) {
    PrintWindow(window);
    std::string line;
    if (!interactive_) {
      // Nobody to fill the window: press its default button, or close it.
      Button* chosen = nullptr;
      for (Control* control : window.Controls()) {
        if (auto* b = dynamic_cast<Button*>(control); b && b->isCancel && b->enabled) chosen = b;
      }
      if (chosen) {
        std::fprintf(out_, "-> click %s\n", chosen->name.c_str());
        chosen->Click();
      }
      if (window.IsShown()) window.OnClose();
      break;
    }
    std::fprintf(out_, "%s> ", window.caption.c_str());
    std::fflush(out_);
    if (!ReadLine(&line)) {
      window.OnClose();
      break;
    }
    std::istringstream words(line);
    std::string verb, name;
    words >> verb >> name;
    std::string rest;
    std::getline(words, rest);
    if (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
    verb = Lower(verb);
    Control* control = name.empty() ? nullptr : find(name);
    if (verb == "close") {
      window.OnClose();
    } else if (verb == "set" && dynamic_cast<TextBox*>(control)) {
      auto* box = static_cast<TextBox*>(control);
      if (box->enabled && !box->locked) box->text = rest;
    } else if (verb == "check" && dynamic_cast<CheckBox*>(control)) {
      auto* check = static_cast<CheckBox*>(control);
      if (check->enabled) check->value = !check->value;
    } else if (verb == "choose" && dynamic_cast<ComboBox*>(control)) {
      auto* combo = static_cast<ComboBox*>(control);
      int index = std::atoi(rest.c_str());
      if (combo->enabled && index >= 0 && index < static_cast<int>(combo->items.size())) combo->listIndex = index;
    } else if (verb == "click" && dynamic_cast<Button*>(control)) {
      static_cast<Button*>(control)->Click();
    } else {
      std::fprintf(out_,
                   "Commands: set TEXTBOX text | check CHECKBOX | choose COMBOBOX index | click BUTTON | close\n");
    }
  }
}

// ---- ScriptedFrontEnd ----

Answer ScriptedFrontEnd::ShowMessage(const MessageBox& box) {
  boxes_.push_back(box);
  if (answers_.empty()) return ButtonsOf(box.buttons).front();
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

}  // namespace qv::ui
