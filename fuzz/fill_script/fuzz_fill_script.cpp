// The fill-script reader takes any bytes without fault; a script it accepts
// runs against a window through the terminal front end without fault, and
// leaves the window's controls in a state the window can hold.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ui/terminal_front_end.h"

namespace {

using namespace qv::ui;

class Form : public Window {
 public:
  Form() {
    name = "frmForm";
    caption = "Form";
    lblName.caption = "&Name:";
    lblName.buddy = &txtName;
    txtSecret.password = true;
    txtNotes.multiLine = true;
    txtShort.maxLength = 4;
    chkOn.caption = "O&n";
    chkOn.onClick = [this] { cmdApply.enabled = chkOn.value; };
    cboList.items = {"zero", "one", "two"};
    cboList.onClick = [this] { lblInfo.visible = cboList.listIndex != 1; };
    cmdOK.caption = "OK";
    cmdOK.onClick = [this] { Hide(); };
    cmdApply.caption = "&Apply";
    cmdApply.onClick = [this] { txtName.text += "!"; };
    cmdCancel.caption = "Cancel";
    cmdCancel.isCancel = true;
    cmdCancel.onClick = [this] { Hide(); };
  }
  std::vector<Control*> Controls() override {
    return {&lblInfo, &lblName, &txtName, &txtSecret, &txtNotes, &txtShort, &chkOn, &cboList,
            &cmdOK,   &cmdApply, &cmdCancel};
  }
  Label lblInfo{"lblInfo"};
  Label lblName{"lblName"};
  TextBox txtName{"txtName"};
  TextBox txtSecret{"txtSecret"};
  TextBox txtNotes{"txtNotes"};
  TextBox txtShort{"txtShort"};
  CheckBox chkOn{"chkOn"};
  ComboBox cboList{"cboList"};
  Button cmdOK{"cmdOK"};
  Button cmdApply{"cmdApply"};
  Button cmdCancel{"cmdCancel"};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  FillScript script;
  std::string error;
  if (!ParseFillScript(text, &script, &error)) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  for (const FillSection& section : script.sections) {
    if (section.window.empty()) std::abort();
    for (const FillCommand& command : section.commands) {
      if (command.text.empty() || command.text.size() > kMaxFillLineBytes || command.line < 1) std::abort();
    }
  }
  static std::FILE* sink = std::fopen("/dev/null", "w");
  TerminalFrontEnd terminal(nullptr, sink);
  terminal.SetInteractive(false);
  script.sections.push_back(FillSection{"frmForm", 0, {}});  // at least one showing
  for (FillSection& section : script.sections) section.window = "frmForm";
  const size_t showings = script.sections.size();
  terminal.SetFillScript(std::move(script));
  for (size_t i = 0; i < showings; ++i) {
    Form form;
    terminal.RunModal(form);
    if (form.IsShown()) std::abort();  // without a person every window ends closed
    if (form.cboList.listIndex < -1 || form.cboList.listIndex >= static_cast<int>(form.cboList.items.size())) {
      std::abort();
    }
    if (form.txtShort.text.size() > 4) std::abort();
  }
  return 0;
}
