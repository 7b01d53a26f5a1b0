// Fill scripts and the commands that fill a window, shared by every front end.
#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "platform/ui/ui.h"

namespace qv::ui {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string Trim(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsSpace(text[begin])) ++begin;
  while (end > begin && IsSpace(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

// Text quoted back in a message: control characters become "?".
std::string Quoted(const std::string& text) {
  std::string shown;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    shown.push_back(u < 0x20 || u == 0x7f ? '?' : c);
  }
  return shown;
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
  std::string plain = Trim(PlainCaption(caption));
  while (!plain.empty() && (plain.back() == ':' || plain.back() == '.' || IsSpace(plain.back()))) plain.pop_back();
  return Lower(plain);
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

std::string PlainCaption(const std::string& caption) {
  std::string plain;
  for (size_t i = 0; i < caption.size(); ++i) {
    if (caption[i] == '&' && i + 1 < caption.size() && caption[i + 1] != '&') continue;
    if (caption[i] == '&') ++i;
    if (i < caption.size()) plain.push_back(caption[i]);
  }
  return plain;
}

std::string TextBoxTitle(Window& window, const TextBox& box) {
  std::string title = PlainCaption(box.caption);
  for (Control* control : window.Controls()) {
    if (auto* label = dynamic_cast<Label*>(control); label && label->buddy == &box) title = PlainCaption(label->caption);
  }
  return title.empty() ? box.name : title;
}

TextBox* TextBoxOfCommand(Window& window, const std::string& command) {
  const std::string trimmed = Trim(command);
  if (AccessKeyCommand(trimmed)) return dynamic_cast<TextBox*>(FindControl(window, trimmed));
  const Parsed parsed = Split(trimmed);
  if (parsed.verb != "set" && parsed.verb != "append") return nullptr;
  return dynamic_cast<TextBox*>(FindControl(window, parsed.field));
}

std::string CommandForEcho(Window& window, const std::string& command) {
  const Parsed parsed = Split(command);
  const TextBox* box = TextBoxOfCommand(window, command);
  if (box != nullptr && box->password && parsed.hasValue) {
    return parsed.verb + " " + Quoted(parsed.field) + " " + std::string(parsed.value.size(), '*');
  }
  return Quoted(Trim(command));
}

bool CommandLacksText(const std::string& command) {
  const std::string trimmed = Trim(command);
  if (AccessKeyCommand(trimmed)) return true;
  const Parsed parsed = Split(trimmed);
  return parsed.verb == "set" && !parsed.hasValue;
}

const FillSection* FillScript::Take(const Window& window) {
  used_.resize(sections.size(), false);
  for (size_t i = 0; i < sections.size(); ++i) {
    if (used_[i]) continue;
    const std::string wanted = Lower(sections[i].window);
    if (wanted == Lower(window.name) || wanted == Lower(window.caption)) {
      used_[i] = true;
      return &sections[i];
    }
  }
  return nullptr;
}

bool ParseFillScript(std::string_view text, FillScript* script, std::string* error) {
  *script = FillScript{};
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
      *error = where + "unknown command \"" + Quoted(parsed.verb) + "\"";
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

bool ResolveCommand(Window& window, const std::string& command, FillAction* action, std::string* error) {
  *action = FillAction{};
  const std::string trimmed = Trim(command);
  Parsed parsed = Split(trimmed);

  // "&v", "alt-v": what the access key reaches.
  if (char key = AccessKeyCommand(trimmed)) {
    Control* control = FindControl(window, trimmed);
    if (control == nullptr) {
      *error = std::string("no control has the access key \"") + Quoted(std::string(1, key)) + "\"";
      return false;
    }
    if (!control->enabled) {
      *error = control->name + " is disabled";
      return false;
    }
    action->control = control;
    if (dynamic_cast<Button*>(control)) {
      action->kind = FillAction::Click;
      return true;
    }
    if (auto* check = dynamic_cast<CheckBox*>(control)) {
      action->kind = FillAction::Tick;
      action->ticked = !check->value;
      return true;
    }
    window.SetFocus(*control);
    *error = control->name + " needs a value: set " + control->name + " VALUE";
    return false;
  }

  if (parsed.verb == "close") {
    action->kind = FillAction::Close;
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
        action->kind = FillAction::Click;
        action->control = button;
        return true;
      }
    }
    *error = "unknown command \"" + Quoted(parsed.verb) + "\"";
    return false;
  }
  if (control == nullptr) {
    *error = "no control \"" + Quoted(parsed.field) + "\" in " + window.caption;
    return false;
  }
  if (!control->enabled) {
    *error = control->name + " is disabled";
    return false;
  }
  action->control = control;

  if (parsed.verb == "click" || parsed.verb == "press") {
    if (dynamic_cast<Button*>(control) == nullptr) {
      *error = control->name + " is not a button";
      return false;
    }
    action->kind = FillAction::Click;
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
    action->kind = FillAction::SetText;
    action->text = text;
    return true;
  }
  if (auto* check = dynamic_cast<CheckBox*>(control)) {
    bool ticked = !check->value;
    if (parsed.verb == "set" && !parsed.hasValue) {
      *error = control->name + " is a check box: set " + control->name + " on|off";
      return false;
    }
    if (parsed.hasValue && !ParseTick(parsed.value, &ticked)) {
      *error = control->name + " takes on or off, not \"" + Quoted(parsed.value) + "\"";
      return false;
    }
    if (parsed.verb != "set" && parsed.verb != "check") {
      *error = control->name + " is a check box: check " + control->name;
      return false;
    }
    action->kind = FillAction::Tick;
    action->ticked = ticked;
    return true;
  }
  if (auto* combo = dynamic_cast<ComboBox*>(control)) {
    if (parsed.verb != "set" && parsed.verb != "choose") {
      *error = control->name + " is a list: choose " + control->name + " ENTRY";
      return false;
    }
    window.SetFocus(*combo);
    const int index = FindEntry(*combo, parsed.value);
    if (index < 0) {
      *error = control->name + " has no entry \"" + Quoted(parsed.value) + "\"";
      return false;
    }
    action->kind = FillAction::Choose;
    action->index = index;
    return true;
  }
  *error = control->name + " cannot be changed";
  return false;
}

void ApplyAction(Window& window, const FillAction& action) {
  switch (action.kind) {
    case FillAction::Close:
      window.OnClose();
      return;
    case FillAction::Click:
      if (auto* button = dynamic_cast<Button*>(action.control)) button->Click();
      return;
    case FillAction::SetText:
      if (auto* box = dynamic_cast<TextBox*>(action.control)) {
        window.SetFocus(*box);
        box->text = action.text;
      }
      return;
    case FillAction::Tick:
      if (auto* check = dynamic_cast<CheckBox*>(action.control)) {
        window.SetFocus(*check);
        check->Set(action.ticked);
      }
      return;
    case FillAction::Choose:
      if (auto* combo = dynamic_cast<ComboBox*>(action.control)) {
        window.SetFocus(*combo);
        combo->Choose(action.index);
      }
      return;
  }
}

bool ExecuteCommand(Window& window, const std::string& command, std::string* error) {
  FillAction action;
  if (!ResolveCommand(window, command, &action, error)) return false;
  ApplyAction(window, action);
  return true;
}

}  // namespace qv::ui
