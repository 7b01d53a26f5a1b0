#include "platform/ui/ui.h"

#include <termios.h>
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

void Window::ShowModal() {
  OnLoad();
  CurrentFrontEnd().RunModal(*this);
}

FrontEnd& CurrentFrontEnd() {
  if (g_frontEnd) return *g_frontEnd;
  static TerminalFrontEnd* terminal = [] {
    auto* front = new TerminalFrontEnd(stdin, stdout);  // lives for the process
    Answer fixed;
    if (ParseAnswer(std::getenv("QUORVIA_UI_ANSWER"), &fixed)) front->SetFixedAnswer(fixed);
    if (const char* text = std::getenv("QUORVIA_UI_SCRIPT"); text && *text) {
      FillScript script;
      std::string error;
      if (ParseFillScript(text, &script, &error)) {
        front->SetFillScript(std::move(script));
        // The script may hold a password: programs started later do not inherit it.
        unsetenv("QUORVIA_UI_SCRIPT");
      } else {
        std::fprintf(stderr, "The fill script in QUORVIA_UI_SCRIPT is not used: %s\n", error.c_str());
      }
    }
    return front;
  }();
  return *terminal;
}

void SetFrontEnd(FrontEnd* frontEnd) { g_frontEnd = frontEnd; }

namespace {
constexpr const char* kFillIncomplete = "QUORVIA_UI_FILL_INCOMPLETE";
void MarkFillIncomplete() { setenv(kFillIncomplete, "1", 1); }
}  // namespace

bool FillIncomplete() {
  const char* value = std::getenv(kFillIncomplete);
  return value != nullptr && *value != '\0';
}

void ClearFillIncomplete() { unsetenv(kFillIncomplete); }

namespace {
constexpr const char* kCommandFailures = "QUORVIA_COMMAND_FAILURES";
}  // namespace

void ReportCommandFailure(const std::string& reason) {
  std::string line = reason.empty() ? std::string("the command failed") : reason;
  std::replace(line.begin(), line.end(), '\r', ' ');
  std::replace(line.begin(), line.end(), '\n', ' ');
  setenv(kCommandFailures, (CommandFailures() + line + "\n").c_str(), 1);
}

std::string CommandFailures() {
  const char* value = std::getenv(kCommandFailures);
  return value != nullptr ? std::string(value) : std::string();
}

void ClearCommandFailures() { unsetenv(kCommandFailures); }

Answer ShowMessage(const std::string& text, const std::string& title, Buttons buttons, Icon icon) {
  return CurrentFrontEnd().ShowMessage(MessageBox{text, title, buttons, icon});
}

// ---- Fill scripts ----

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

// "&v", "alt-v" or "alt+v": the access key, else 0.
char AccessKeyCommand(const std::string& command) {
  std::string word = Lower(Trim(command));
  if (word.size() == 2 && word[0] == '&' && word[1] != ' ') return word[1];
  if (word.size() == 5 && word.compare(0, 4, "alt-") == 0) return word[4];
  if (word.size() == 5 && word.compare(0, 4, "alt+") == 0) return word[4];
  return 0;
}

// The verbs a fill script may use.
bool IsScriptVerb(const std::string& verb) {
  for (const char* known : {"set", "append", "check", "choose", "click", "press", "close"}) {
    if (verb == known) return true;
  }
  return false;
}

// A command split into its verb, the control it names (quotes removed) and
// the rest of the line.
struct Parsed {
  std::string verb;
  std::string field;
  std::string value;
  bool hasValue = false;
};

Parsed Split(const std::string& command) {
  Parsed parsed;
  size_t i = 0;
  const size_t n = command.size();
  while (i < n && IsSpace(command[i])) ++i;
  while (i < n && !IsSpace(command[i])) parsed.verb.push_back(command[i++]);
  parsed.verb = Lower(parsed.verb);
  while (i < n && IsSpace(command[i])) ++i;
  if (i < n && command[i] == '"') {
    ++i;
    while (i < n && command[i] != '"') parsed.field.push_back(command[i++]);
    if (i < n) ++i;
  } else {
    while (i < n && !IsSpace(command[i])) parsed.field.push_back(command[i++]);
  }
  if (i < n && IsSpace(command[i])) ++i;  // the one space after the field
  if (i < n) {
    parsed.value = command.substr(i);
    parsed.hasValue = true;
  }
  return parsed;
}

// A caption as a person would type it: no "&", no trailing ":" or ".", any case.
std::string Normalized(const std::string& caption) {
  std::string plain = Trim(Plain(caption));
  while (!plain.empty() && (plain.back() == ':' || plain.back() == '.' || IsSpace(plain.back()))) plain.pop_back();
  return Lower(plain);
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

// The control `ref` names: its name, "&" and its access key, or its caption
// (a label's caption names the label's buddy). Only visible controls count.
Control* FindControl(Window& window, const std::string& ref) {
  if (ref.empty()) return nullptr;
  const std::vector<Control*> controls = window.Controls();
  auto target = [](Control* control) -> Control* {
    if (auto* label = dynamic_cast<Label*>(control); label && label->buddy) return label->buddy;
    return control;
  };
  if (char key = AccessKeyCommand(ref)) {
    for (Control* control : controls) {
      if (control->visible && control->AccessKey() == key) return target(control);
    }
    return nullptr;
  }
  for (Control* control : controls) {
    if (control->visible && Lower(control->name) == Lower(ref)) return control;
  }
  const std::string wanted = Normalized(ref);
  if (wanted.empty()) return nullptr;
  for (Control* control : controls) {
    if (!control->visible || dynamic_cast<Frame*>(control)) continue;
    if (dynamic_cast<Label*>(control) && !static_cast<Label*>(control)->buddy) continue;
    if (Normalized(control->caption) == wanted) return target(control);
  }
  return nullptr;
}

bool ParseTick(const std::string& text, bool* ticked) {
  const std::string word = Lower(Trim(text));
  for (const char* on : {"1", "on", "yes", "true", "ticked", "checked", "x"}) {
    if (word == on) return *ticked = true, true;
  }
  for (const char* off : {"0", "off", "no", "false", "cleared", "unchecked", ""}) {
    if (word == off) return *ticked = false, true;
  }
  return false;
}

// The entry `text` names: its position, else its text (exactly, then in any case).
int FindEntry(const ComboBox& combo, const std::string& text) {
  const std::string wanted = Trim(text);
  if (!wanted.empty() && wanted.size() < 10 &&
      std::all_of(wanted.begin(), wanted.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
    int index = std::atoi(wanted.c_str());
    if (index < static_cast<int>(combo.items.size())) return index;
  }
  for (size_t i = 0; i < combo.items.size(); ++i) {
    if (combo.items[i] == wanted) return static_cast<int>(i);
  }
  for (size_t i = 0; i < combo.items.size(); ++i) {
    if (Lower(combo.items[i]) == Lower(wanted)) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

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

bool ParseFillScript(std::string_view text, FillScript* script, std::string* error) {
  script->sections.clear();
  if (text.size() > kMaxFillScriptBytes) {
    *error = "the script is longer than " + std::to_string(kMaxFillScriptBytes) + " bytes";
    return false;
  }
  int number = 0;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find('\0') != std::string_view::npos) {
      *error = where + "a NUL byte";
      return false;
    }
    if (line.size() > kMaxFillLineBytes) {
      *error = where + "longer than " + std::to_string(kMaxFillLineBytes) + " bytes";
      return false;
    }
    size_t indent = 0;
    while (indent < line.size() && IsSpace(line[indent])) ++indent;
    line.remove_prefix(indent);
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      std::string header = Trim(line);
      if (header.size() < 2 || header.back() != ']') {
        *error = where + "a section header must end with \"]\"";
        return false;
      }
      std::string window = Trim(std::string_view(header).substr(1, header.size() - 2));
      if (window.empty()) {
        *error = where + "a section header must name a window";
        return false;
      }
      script->sections.push_back(FillSection{window, number, {}});
      continue;
    }
    if (script->sections.empty()) {
      *error = where + "a command before the first [window] section";
      return false;
    }
    std::string command(line);
    Parsed parsed = Split(command);
    if (!AccessKeyCommand(command) && !IsScriptVerb(parsed.verb)) {
      *error = where + "unknown command \"" + Printable(parsed.verb) + "\"";
      return false;
    }
    if (parsed.verb != "close" && !AccessKeyCommand(command) && parsed.field.empty()) {
      *error = where + "\"" + parsed.verb + "\" needs a control";
      return false;
    }
    script->sections.back().commands.push_back(FillCommand{number, command});
  }
  return true;
}

// ---- TerminalFrontEnd ----

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
  std::string label = Plain(box.caption);
  for (Control* control : window.Controls()) {
    if (auto* named = dynamic_cast<Label*>(control); named && named->buddy == &box) label = Plain(named->caption);
  }
  if (label.empty()) label = box.name;
  label = Printable(label);
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
      std::string text = label ? Plain(label->caption) : Plain(control->caption);
      if (label && label->AccessKey()) key = std::string("  &") + label->AccessKey();
      return text;
    };
    if (auto* label = dynamic_cast<Label*>(control)) {
      if (label->buddy && listed(label->buddy)) continue;
      std::fprintf(out_, "%s %s%s\n", focus, Printable(Plain(label->caption)).c_str(), disabled);
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
      std::fprintf(out_, "%s (%s)  %s%s%s\n", focus, Printable(Plain(button->caption)).c_str(), button->name.c_str(),
                   key.c_str(), disabled);
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
  if (person) {
    const std::string trimmed = Trim(command);
    Parsed parsed = Split(trimmed);
    Control* control = nullptr;
    if (AccessKeyCommand(trimmed)) {
      control = FindControl(window, trimmed);
    } else if (parsed.verb == "set" && !parsed.hasValue) {
      control = FindControl(window, parsed.field);
    }
    auto* box = dynamic_cast<TextBox*>(control);
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

bool ExecuteCommand(Window& window, const std::string& command, std::string* error) {
  const std::string trimmed = Trim(command);
  Parsed parsed = Split(trimmed);

  // "&v", "alt-v": what the access key reaches.
  if (char key = AccessKeyCommand(trimmed)) {
    Control* control = FindControl(window, trimmed);
    if (control == nullptr) {
      *error = std::string("no control has the access key \"") + key + "\"";
      return false;
    }
    if (!control->enabled) {
      *error = control->name + " is disabled";
      return false;
    }
    if (auto* button = dynamic_cast<Button*>(control)) {
      button->Click();
      return true;
    }
    if (auto* check = dynamic_cast<CheckBox*>(control)) {
      check->Set(!check->value);
      return true;
    }
    window.SetFocus(*control);
    *error = control->name + " needs a value: set " + control->name + " VALUE";
    return false;
  }

  if (parsed.verb == "close") {
    window.OnClose();
    return true;
  }
  if (parsed.verb == "help" || parsed.verb == "?") {
    *error = "";
    return false;
  }

  const bool known = IsScriptVerb(parsed.verb);
  Control* control = known ? FindControl(window, parsed.field) : nullptr;
  if (!known) {
    // A button's caption or name alone presses it ("OK", "Cancel").
    for (Control* candidate : window.Controls()) {
      auto* button = dynamic_cast<Button*>(candidate);
      if (button && button->visible &&
          (Normalized(button->caption) == Normalized(trimmed) || Lower(button->name) == Lower(trimmed))) {
        if (!button->enabled) {
          *error = button->name + " is disabled";
          return false;
        }
        button->Click();
        return true;
      }
    }
    *error = "unknown command \"" + Printable(parsed.verb) + "\"";
    return false;
  }
  if (control == nullptr) {
    *error = "no control \"" + Printable(parsed.field) + "\" in " + window.caption;
    return false;
  }
  if (!control->enabled) {
    *error = control->name + " is disabled";
    return false;
  }

  if (parsed.verb == "click" || parsed.verb == "press") {
    auto* button = dynamic_cast<Button*>(control);
    if (button == nullptr) {
      *error = control->name + " is not a button";
      return false;
    }
    button->Click();
    return true;
  }
  if (auto* box = dynamic_cast<TextBox*>(control)) {
    if (parsed.verb != "set" && parsed.verb != "append") {
      *error = control->name + " is a text box: set " + control->name + " TEXT";
      return false;
    }
    if (box->locked) {
      *error = control->name + " is read-only";
      return false;
    }
    window.SetFocus(*box);
    std::string text = parsed.value;
    if (parsed.verb == "append") {
      if (!box->multiLine) {
        *error = control->name + " holds one line: set " + control->name + " TEXT";
        return false;
      }
      text = box->text.empty() ? text : box->text + "\r\n" + text;
    }
    if (box->maxLength > 0 && text.size() > static_cast<size_t>(box->maxLength)) {
      text.resize(static_cast<size_t>(box->maxLength));
    }
    box->text = text;
    return true;
  }
  if (auto* check = dynamic_cast<CheckBox*>(control)) {
    bool ticked = !check->value;
    if (parsed.verb == "set" && !parsed.hasValue) {
      *error = control->name + " is a check box: set " + control->name + " on|off";
      return false;
    }
    if (parsed.hasValue && !ParseTick(parsed.value, &ticked)) {
      *error = control->name + " takes on or off, not \"" + Printable(parsed.value) + "\"";
      return false;
    }
    if (parsed.verb != "set" && parsed.verb != "check") {
      *error = control->name + " is a check box: check " + control->name;
      return false;
    }
    window.SetFocus(*check);
    check->Set(ticked);
    return true;
  }
  if (auto* combo = dynamic_cast<ComboBox*>(control)) {
    if (parsed.verb != "set" && parsed.verb != "choose") {
      *error = control->name + " is a list: choose " + control->name + " ENTRY";
      return false;
    }
    window.SetFocus(*combo);
    int index = FindEntry(*combo, parsed.value);
    if (index < 0 || !combo->Choose(index)) {
      *error = control->name + " has no entry \"" + Printable(parsed.value) + "\"";
      return false;
    }
    return true;
  }
  *error = control->name + " cannot be changed";
  return false;
}

const FillSection* TerminalFrontEnd::TakeSection(const Window& window) {
  for (size_t i = 0; i < script_.sections.size(); ++i) {
    if (used_[i]) continue;
    const std::string& wanted = script_.sections[i].window;
    if (Lower(wanted) == Lower(window.name) || Lower(wanted) == Lower(window.caption)) {
      used_[i] = true;
      return &script_.sections[i];
    }
  }
  return nullptr;
}

void TerminalFrontEnd::RunModal(Window& window) {
  MarkShown(window);
  if (const FillSection* section = TakeSection(window)) {
    PrintWindow(window);
    for (const FillCommand& command : section->commands) {
      if (!window.IsShown()) break;
      // A password typed into the script is not printed back.
      Parsed parsed = Split(command.text);
      auto* box = dynamic_cast<TextBox*>(FindControl(window, parsed.field));
      std::string shown = box && box->password && parsed.hasValue
                              ? parsed.verb + " " + parsed.field + " " + std::string(parsed.value.size(), '*')
                              : Printable(Trim(command.text));
      std::fprintf(out_, "-> %s\n", shown.c_str());
      std::fflush(out_);
      std::string error;
      if (!Execute(window, command.text, &error)) {
        std::fprintf(out_, "Fill script, line %d: %s; the window \"%s\" is closed.\n", command.line,
                     error.c_str(), window.caption.c_str());
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
    std::fprintf(out_, "%s> ", window.caption.c_str());
    std::fflush(out_);
    if (!ReadLine(&line)) {
      window.OnClose();
      break;
    }
    if (Trim(line).empty()) continue;
    std::string error;
    if (!Run(window, line, true, &error)) {
      if (!error.empty()) std::fprintf(out_, "%s\n", error.c_str());
      std::fprintf(out_,
                   "Commands: set FIELD [TEXT] | append FIELD TEXT | check FIELD | choose FIELD ENTRY | "
                   "click BUTTON | CAPTION | &KEY | close\n"
                   "FIELD: a control's name, its caption (in quotes when it has spaces) or &KEY. "
                   "\"set FIELD\" alone asks for the text (a password without echo).\n");
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
