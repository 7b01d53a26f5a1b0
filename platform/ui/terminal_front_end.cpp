#include "platform/ui/terminal_front_end.h"

#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace qv::ui {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// Text as it may be printed on a terminal: control characters (which could
// move the cursor or change the terminal's state) become "?".
std::string Printable(const std::string& text) {
  std::string shown;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    shown.push_back(u < 0x20 || u == 0x7f ? '?' : c);
  }
  return shown;
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

FrontEnd& PlatformFrontEnd() {
  static TerminalFrontEnd* terminal = [] {
    auto* front = new TerminalFrontEnd(stdin, stdout);  // lives for the process
    Answer fixed;
    if (HostAnswer(&fixed)) front->SetFixedAnswer(fixed);
    FillScript script;
    std::string error;
    if (TakeHostFillScript(&script, &error)) {
      front->SetFillScript(std::move(script));
    } else if (!error.empty()) {
      std::fprintf(stderr, "The host's fill script is not used: %s\n", error.c_str());
    }
    return front;
  }();
  return *terminal;
}

TerminalFrontEnd::TerminalFrontEnd(std::FILE* in, std::FILE* out)
    : in_(in), out_(out), interactive_(in != nullptr && isatty(fileno(in))) {}

bool TerminalFrontEnd::ReadLine(std::string* line) {
  line->clear();
  if (in_ == nullptr) return false;
  int c;
  while ((c = std::fgetc(in_)) != EOF && c != '\n') {
    if (line->size() < kMaxFillLineBytes * 16) line->push_back(static_cast<char>(c));
  }
  if (c == EOF && line->empty()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool TerminalFrontEnd::ReadSecret(const std::string& prompt, std::string* line) {
  if (in_ == nullptr) return false;
  const int fd = fileno(in_);
  termios saved{};
  const bool terminal = isatty(fd) && tcgetattr(fd, &saved) == 0;
  // Echo goes off before the prompt appears, and nothing typed is discarded:
  // a person (or a script) who answers the prompt at once is never echoed and
  // never loses the answer.
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL;
    tcsetattr(fd, TCSANOW, &quiet);
  }
  std::fputs(prompt.c_str(), out_);
  std::fflush(out_);
  bool read = ReadLine(line);
  if (terminal) tcsetattr(fd, TCSANOW, &saved);
  return read;
}

bool TerminalFrontEnd::PromptFor(Window& window, TextBox& box, std::string* text) {
  const std::string label = Printable(TextBoxTitle(window, box));
  if (box.password) {
    return ReadSecret(label + " (not shown) ", text);
  }
  if (box.multiLine) {
    std::fprintf(out_, "%s (end with a line holding only \".\")\n", label.c_str());
    std::fflush(out_);
    text->clear();
    std::string line;
    bool first = true;
    while (ReadLine(&line) && line != ".") {
      if (!first) *text += "\r\n";
      *text += line;
      first = false;
    }
    return true;
  }
  std::fprintf(out_, "%s ", label.c_str());
  std::fflush(out_);
  return ReadLine(text);
}

Answer TerminalFrontEnd::ShowMessage(const MessageBox& box) {
  const std::vector<Answer> choices = ButtonsOf(box.buttons);
  std::fprintf(out_, "\n[%s]%s%s\n", box.title.c_str(), box.icon == Icon::None ? "" : " ", IconName(box.icon));
  std::fprintf(out_, "%s\n", box.text.c_str());
  std::string names;
  for (Answer a : choices) names += std::string(names.empty() ? "" : " / ") + AnswerName(a);
  Answer answer = DefaultAnswer(box);
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
  std::fprintf(out_, "\n=== %s ===\n", Printable(window.caption).c_str());
  const std::vector<Control*> controls = window.Controls();
  // Labels that name a listed control are shown with it.
  auto labelOf = [&](Control* control) -> Label* {
    for (Control* other : controls) {
      if (auto* label = dynamic_cast<Label*>(other); label && label->buddy == control) return label;
    }
    return nullptr;
  };
  auto listed = [&](Control* control) {
    return std::find(controls.begin(), controls.end(), control) != controls.end();
  };
  for (Control* control : controls) {
    if (!control->visible) continue;
    const char* disabled = control->enabled ? "" : " (disabled)";
    const char* focus = window.focused == control ? ">" : " ";
    std::string key;
    if (char k = control->AccessKey()) key = std::string("  &") + k;
    auto title = [&]() {
      Label* label = labelOf(control);
      std::string text = label ? PlainCaption(label->caption) : PlainCaption(control->caption);
      if (label && label->AccessKey()) key = std::string("  &") + label->AccessKey();
      return text;
    };
    if (auto* label = dynamic_cast<Label*>(control)) {
      if (label->buddy && listed(label->buddy)) continue;
      std::fprintf(out_, "%s %s%s\n", focus, Printable(PlainCaption(label->caption)).c_str(), disabled);
    } else if (auto* frame = dynamic_cast<Frame*>(control)) {
      std::fprintf(out_, "  -- %s --\n", Printable(frame->caption).c_str());
    } else if (auto* box = dynamic_cast<TextBox*>(control)) {
      std::string text = title();
      // A text of several lines shows its first line here, the others below.
      std::vector<std::string> lines{""};
      if (box->password) {
        lines[0] = std::string(box->text.size(), '*');
      } else {
        for (char c : box->text) {
          if (c == '\n') {
            lines.emplace_back();
          } else if (c != '\r') {
            lines.back().push_back(c);
          }
        }
      }
      std::fprintf(out_, "%s %-24s [%s]  %s%s%s\n", focus, Printable(text).c_str(), Printable(lines[0]).c_str(),
                   box->name.c_str(), key.c_str(), disabled);
      for (size_t i = 1; i < lines.size(); ++i) std::fprintf(out_, "  %-24s [%s]\n", "", Printable(lines[i]).c_str());
    } else if (auto* check = dynamic_cast<CheckBox*>(control)) {
      std::string text = title();
      std::fprintf(out_, "%s [%c] %-40s %s%s%s\n", focus, check->value ? 'x' : ' ', Printable(text).c_str(),
                   check->name.c_str(), key.c_str(), disabled);
    } else if (auto* combo = dynamic_cast<ComboBox*>(control)) {
      std::string text = title();
      std::fprintf(out_, "%s %-24s <%s>  %s%s%s\n", focus, Printable(text).c_str(), Printable(combo->Text()).c_str(),
                   combo->name.c_str(), key.c_str(), disabled);
      for (size_t i = 0; i < combo->items.size(); ++i) {
        std::fprintf(out_, "      %zu: %s\n", i, Printable(combo->items[i]).c_str());
      }
    } else if (auto* button = dynamic_cast<Button*>(control)) {
      std::fprintf(out_, "%s (%s)  %s%s%s\n", focus, Printable(PlainCaption(button->caption)).c_str(),
                   button->name.c_str(), key.c_str(), disabled);
    } else if (!control->caption.empty()) {
      std::fprintf(out_, "  %s\n", Printable(control->caption).c_str());
    }
  }
  std::fflush(out_);
}

bool TerminalFrontEnd::Execute(Window& window, const std::string& command, std::string* error) {
  return ExecuteCommand(window, command, error);
}

bool TerminalFrontEnd::Run(Window& window, const std::string& command, bool person, std::string* error) {
  // A person may leave the text out: it is asked for (a password without echo).
  if (person && CommandLacksText(command)) {
    TextBox* box = TextBoxOfCommand(window, command);
    if (box && box->enabled && !box->locked) {
      window.SetFocus(*box);
      std::string text;
      if (PromptFor(window, *box, &text)) {
        if (box->maxLength > 0 && text.size() > static_cast<size_t>(box->maxLength)) {
          text.resize(static_cast<size_t>(box->maxLength));
        }
        box->text = text;
      }
      return true;
    }
  }
  return ExecuteCommand(window, command, error);
}

void TerminalFrontEnd::RunModal(Window& window) {
  MarkShown(window);
  if (const FillSection* section = script_.Take(window)) {
    PrintWindow(window);
    for (const FillCommand& command : section->commands) {
      if (!window.IsShown()) break;
      // A password typed into the script is not printed back.
      std::fprintf(out_, "-> %s\n", CommandForEcho(window, command.text).c_str());
      std::fflush(out_);
      std::string error;
      if (!Execute(window, command.text, &error)) {
        std::fprintf(out_, "Fill script, line %d: %s; the window \"%s\" is closed.\n", command.line,
                     Printable(error).c_str(), Printable(window.caption).c_str());
        std::fflush(out_);
        MarkFillIncomplete();
        if (window.IsShown()) window.OnClose();
        return;
      }
    }
    if (!window.IsShown()) return;
    if (!interactive_) {
      std::fprintf(out_, "-> close\n");
      MarkFillIncomplete();
      window.OnClose();
      return;
    }
  }
  while (window.IsShown()) {
    PrintWindow(window);
    std::string line;
    if (!interactive_) {
      // Nobody to fill the window: press its cancel button, or close it.
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
    std::fprintf(out_, "%s> ", Printable(window.caption).c_str());
    std::fflush(out_);
    if (!ReadLine(&line)) {
      window.OnClose();
      break;
    }
    if (Trim(line).empty()) continue;
    std::string error;
    if (!Run(window, line, true, &error)) {
      if (!error.empty()) std::fprintf(out_, "%s\n", Printable(error).c_str());
      std::fprintf(out_,
                   "Commands: set FIELD [TEXT] | append FIELD TEXT | check FIELD | choose FIELD ENTRY | "
                   "click BUTTON | CAPTION | &KEY | close\n"
                   "FIELD: a control's name, its caption (in quotes when it has spaces) or &KEY. "
                   "\"set FIELD\" alone asks for the text (a password without echo).\n");
    }
  }
}

}  // namespace qv::ui
