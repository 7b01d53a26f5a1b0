#include "platform/ui/terminal_front_end.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "platform/ui/terminal.h"

namespace qv::ui {
namespace {

using terminal::SafeText;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

// The box's icon as a symbol: a word such as "Warning" could contradict the
// title ("Error").
const char* IconSymbol(Icon icon) {
  switch (icon) {
    case Icon::Critical: return "(x) ";
    case Icon::Question: return "(?) ";
    case Icon::Exclamation: return "(!) ";
    case Icon::Information: return "(i) ";
    case Icon::None: break;
  }
  return "";
}

// How long a wait goes on before it is shown.
constexpr std::chrono::milliseconds kWaitShownAfter(500);

}  // namespace

TerminalFrontEnd& HostTerminalFrontEnd() {
  static TerminalFrontEnd* terminal = [] {
    auto* front = new TerminalFrontEnd(stdin, stdout);  // lives for the process
    Answer fixed;
    if (HostAnswer(&fixed)) front->SetFixedAnswer(fixed);
    front->SetFillScript(TakeHostFillScriptForFrontEnd());
    return front;
  }();
  return *terminal;
}

struct TerminalFrontEnd::Wait {
  std::string what;
  std::chrono::steady_clock::time_point since;
  bool shown = false;
  bool live = false;  // shown on the terminal's current line
  terminal::InterruptScope interrupts;
};

TerminalFrontEnd::TerminalFrontEnd(std::FILE* in, std::FILE* out)
    : in_(in), out_(out), interactive_(in != nullptr && isatty(fileno(in))) {}

TerminalFrontEnd::~TerminalFrontEnd() = default;

bool TerminalFrontEnd::ReadLine(std::string* line) {
  line->clear();
  if (in_ == nullptr) return false;
  int c;
  while ((c = std::fgetc(in_)) != EOF && c != '\n') {
    if (line->size() < kMaxFillLineBytes * 16) line->push_back(static_cast<char>(c));
  }
  if (c == EOF) {
    // Ctrl-D at a terminal ends this answer, not the input: the host goes on
    // reading its commands.
    if (isatty(fileno(in_))) std::clearerr(in_);
    if (line->empty()) return false;
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

bool TerminalFrontEnd::ReadSecret(const std::string& prompt, std::string* line) {
  if (in_ == nullptr) return false;
  // Echo goes off before the prompt appears and comes back on every way out,
  // a signal that ends the process included.
  terminal::ModesScope quiet(fileno(in_), terminal::ModesScope::kQuiet);
  std::fputs(prompt.c_str(), out_);
  std::fflush(out_);
  return ReadLine(line);
}

bool TerminalFrontEnd::PromptFor(Window& window, TextBox& box, std::string* text) {
  const std::string label = SafeText(TextBoxTitle(window, box));
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
  const Answer byDefault = DefaultAnswer(box);
  std::fprintf(out_, "\n[%s]\n%s%s\n", SafeText(box.title).c_str(), IconSymbol(box.icon),
               SafeText(box.text, true).c_str());
  std::string names;
  for (Answer a : choices) names += std::string(names.empty() ? "" : " / ") + AnswerName(a);
  if (choices.size() > 1) names += std::string("; Enter for ") + AnswerName(byDefault);
  Answer answer = byDefault;
  if (hasFixed_ && std::find(choices.begin(), choices.end(), fixed_) != choices.end()) {
    answer = fixed_;
  } else if (interactive_) {
    // A line typed as usual, even while a progress window reads single keys.
    terminal::ModesScope cooked(in_ != nullptr ? fileno(in_) : -1, terminal::ModesScope::kCooked);
    for (;;) {
      std::fprintf(out_, "(%s) > ", names.c_str());
      std::fflush(out_);
      std::string line;
      if (!ReadLine(&line)) {
        std::fprintf(out_, "\n");  // Ctrl-D left the cursor after the prompt
        break;
      }
      std::string want = Lower(Trim(line));
      if (want.empty()) break;  // Enter takes the default button
      auto match = std::find_if(choices.begin(), choices.end(), [&](Answer a) {
        return Lower(AnswerName(a)).compare(0, want.size(), want) == 0;
      });
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

void TerminalFrontEnd::BeginWait(const std::string& what) {
  wait_.reset(new Wait{what, std::chrono::steady_clock::now(), false, false, {}});
}

bool TerminalFrontEnd::WaitCancelled() {
  if (!wait_) return false;
  if (!wait_->shown && std::chrono::steady_clock::now() - wait_->since >= kWaitShownAfter) {
    wait_->shown = true;
    // At a terminal the wait takes the current line (a progress line's too,
    // which its next update draws again) and gives it back when it ends.
    wait_->live = out_ != nullptr && isatty(fileno(out_));
    std::fprintf(out_, wait_->live ? "\r\x1b[K%s (Ctrl-C cancels)" : "%s (Ctrl-C cancels)\n",
                 SafeText(wait_->what).c_str());
    std::fflush(out_);
  }
  // A press stays pending for a progress window, whose Cancel it presses too.
  return terminal::InterruptPending();
}

void TerminalFrontEnd::EndWait() {
  if (wait_ && wait_->live) {
    std::fprintf(out_, "\r\x1b[K");
    std::fflush(out_);
  }
  wait_.reset();
}

void TerminalFrontEnd::PrintWindow(Window& window) {
  std::fprintf(out_, "\n=== %s ===\n", SafeText(window.caption).c_str());
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
      std::fprintf(out_, "%s %s%s\n", focus, SafeText(PlainCaption(label->caption)).c_str(), disabled);
    } else if (auto* frame = dynamic_cast<Frame*>(control)) {
      std::fprintf(out_, "  -- %s --\n", SafeText(frame->caption).c_str());
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
      std::fprintf(out_, "%s %-24s [%s]  %s%s%s\n", focus, SafeText(text).c_str(), SafeText(lines[0]).c_str(),
                   box->name.c_str(), key.c_str(), disabled);
      for (size_t i = 1; i < lines.size(); ++i) std::fprintf(out_, "  %-24s [%s]\n", "", SafeText(lines[i]).c_str());
    } else if (auto* check = dynamic_cast<CheckBox*>(control)) {
      std::string text = title();
      std::fprintf(out_, "%s [%c] %-40s %s%s%s\n", focus, check->value ? 'x' : ' ', SafeText(text).c_str(),
                   check->name.c_str(), key.c_str(), disabled);
    } else if (auto* combo = dynamic_cast<ComboBox*>(control)) {
      std::string text = title();
      std::fprintf(out_, "%s %-24s <%s>  %s%s%s\n", focus, SafeText(text).c_str(), SafeText(combo->Text()).c_str(),
                   combo->name.c_str(), key.c_str(), disabled);
      for (size_t i = 0; i < combo->items.size(); ++i) {
        std::fprintf(out_, "      %zu: %s\n", i, SafeText(combo->items[i]).c_str());
      }
    } else if (auto* button = dynamic_cast<Button*>(control)) {
      std::fprintf(out_, "%s (%s)  %s%s%s\n", focus, SafeText(PlainCaption(button->caption)).c_str(),
                   button->name.c_str(), key.c_str(), disabled);
    } else if (!control->caption.empty()) {
      std::fprintf(out_, "  %s\n", SafeText(control->caption).c_str());
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
                     SafeText(error).c_str(), SafeText(window.caption).c_str());
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
    std::fprintf(out_, "%s> ", SafeText(window.caption).c_str());
    std::fflush(out_);
    terminal::ModesScope cooked(in_ != nullptr ? fileno(in_) : -1, terminal::ModesScope::kCooked);
    if (!ReadLine(&line)) {
      window.OnClose();
      break;
    }
    if (Trim(line).empty()) continue;
    std::string error;
    if (!Run(window, line, true, &error)) {
      if (!error.empty()) std::fprintf(out_, "%s\n", SafeText(error).c_str());
      std::fprintf(out_,
                   "Commands: set FIELD [TEXT] | append FIELD TEXT | check FIELD | choose FIELD ENTRY | "
                   "click BUTTON | CAPTION | &KEY | close\n"
                   "FIELD: a control's name, its caption (in quotes when it has spaces) or &KEY. "
                   "\"set FIELD\" alone asks for the text (a password without echo).\n");
    }
  }
}

}  // namespace qv::ui
