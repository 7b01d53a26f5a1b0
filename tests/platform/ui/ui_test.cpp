#include "platform/ui/ui.h"

#include <cstdio>

#include "tests/common/test_support.h"

namespace qv::ui {
namespace {

// A small window in the manner of the add-in's: controls as fields, handlers
// as members.
class SampleWindow : public Window {
 public:
  SampleWindow() {
    caption = "Sample";
    txtName.caption = "Name";
    txtSecret.password = true;
    chkEnabled.caption = "&Enabled";
    cboChoice.items = {"first", "second"};
    cmdOK.caption = "OK";
    cmdOK.isDefault = true;
    cmdOK.onClick = [this] { cmdOK_Click(); };
    cmdCancel.caption = "Cancel";
    cmdCancel.isCancel = true;
    cmdCancel.onClick = [this] { cancelled = true; Hide(); };
  }
  std::vector<Control*> Controls() override { return {&txtName, &txtSecret, &chkEnabled, &cboChoice, &cmdOK, &cmdCancel}; }
  void cmdOK_Click() {
    accepted = txtName.text;
    Hide();
  }

  TextBox txtName{"txtName"};
  TextBox txtSecret{"txtSecret"};
  CheckBox chkEnabled{"chkEnabled"};
  ComboBox cboChoice{"cboChoice"};
  Button cmdOK{"cmdOK"};
  Button cmdCancel{"cmdCancel"};
  std::string accepted;
  bool cancelled = false;
};

// Runs `body` with a terminal front end reading `input`; returns what it printed.
template <typename Body>
std::string AtTerminal(const std::string& input, bool interactive, Body body) {
  std::FILE* in = fmemopen(const_cast<char*>(input.data()), input.size(), "r");
  char* outBuffer = nullptr;
  size_t outSize = 0;
  std::FILE* out = open_memstream(&outBuffer, &outSize);
  {
    TerminalFrontEnd terminal(input.empty() ? nullptr : in, out);
    terminal.SetInteractive(interactive);
    body(terminal);
  }
  std::fclose(out);
  std::string printed(outBuffer, outSize);
  free(outBuffer);
  std::fclose(in);
  return printed;
}

TEST(ScriptedFrontEnd, RecordsBoxesAndAnswersFromItsQueue) {
  ScriptedFrontEnd scripted;
  ScopedFrontEnd installed(&scripted);
  scripted.QueueAnswer(Answer::No);
  EXPECT_EQ(ShowMessage("Continue?", "Warning", Buttons::YesNo, Icon::Question), Answer::No);
  EXPECT_EQ(ShowMessage("Done", "Quorvia Synchronization", Buttons::OK, Icon::Information), Answer::OK);
  EXPECT_EQ(ShowMessage("Again?", "Warning", Buttons::YesNoCancel), Answer::Yes);
  ASSERT_EQ(scripted.boxes().size(), 3u);
  EXPECT_EQ(scripted.boxes()[0].text, "Continue?");
  EXPECT_EQ(scripted.boxes()[0].title, "Warning");
  EXPECT_EQ(scripted.boxes()[0].icon, Icon::Question);
  EXPECT_EQ(scripted.boxes()[1].buttons, Buttons::OK);
}

TEST(ScriptedFrontEnd, RunsWindowsThroughTheirHandlers) {
  ScriptedFrontEnd scripted;
  ScopedFrontEnd installed(&scripted);
  SampleWindow window;
  scripted.SetWindowScript([](Window& shown) {
    auto& sample = static_cast<SampleWindow&>(shown);
    EXPECT_TRUE(sample.IsShown());
    sample.txtName.text = "alice";
    sample.cmdOK.Click();
  });
  window.ShowModal();
  EXPECT_EQ(window.accepted, "alice");
  EXPECT_FALSE(window.IsShown());
  EXPECT_EQ(scripted.windowsShown(), std::vector<std::string>{"Sample"});

  // A window its script leaves open is closed as the user would close it.
  SampleWindow other;
  scripted.SetWindowScript(nullptr);
  other.ShowModal();
  EXPECT_FALSE(other.IsShown());
  EXPECT_EQ(other.accepted, "");
}

TEST(TerminalFrontEnd, PromptsForAnAnswerAtATerminal) {
  Answer answer = Answer::OK;
  std::string printed = AtTerminal("maybe\nn\n", true, [&](TerminalFrontEnd& terminal) {
    answer = terminal.ShowMessage({"Delete it?", "Warning", Buttons::YesNo, Icon::Exclamation});
  });
  EXPECT_EQ(answer, Answer::No);
  EXPECT_NE(printed.find("[Warning] Warning\nDelete it?\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("(Yes / No) > "), std::string::npos);
}

TEST(TerminalFrontEnd, AnswersWithoutPromptWhenNotInteractiveOrFixed) {
  Answer answer = Answer::Cancel;
  AtTerminal("", false, [&](TerminalFrontEnd& terminal) {
    answer = terminal.ShowMessage({"Proceed?", "Warning", Buttons::YesNo, Icon::Question});
  });
  EXPECT_EQ(answer, Answer::Yes);
  AtTerminal("yes\n", true, [&](TerminalFrontEnd& terminal) {
    terminal.SetFixedAnswer(Answer::No);
    answer = terminal.ShowMessage({"Proceed?", "Warning", Buttons::YesNo, Icon::Question});
    // A fixed answer the box does not offer falls back to its first button.
    EXPECT_EQ(terminal.ShowMessage({"Done", "Info", Buttons::OK, Icon::Information}), Answer::OK);
  });
  EXPECT_EQ(answer, Answer::No);
}

TEST(Answers, ParseInAnyCase) {
  Answer answer = Answer::OK;
  EXPECT_TRUE(ParseAnswer("no", &answer));
  EXPECT_EQ(answer, Answer::No);
  EXPECT_TRUE(ParseAnswer("YES", &answer));
  EXPECT_EQ(answer, Answer::Yes);
  EXPECT_FALSE(ParseAnswer("maybe", &answer));
  EXPECT_FALSE(ParseAnswer(nullptr, &answer));
  EXPECT_EQ(answer, Answer::Yes);
}

TEST(TerminalFrontEnd, LetsAPersonFillAWindow) {
  SampleWindow window;
  std::string printed = AtTerminal("set txtName bob smith\nset txtSecret hunter2\ncheck chkEnabled\nchoose cboChoice 1\nbogus\nclick cmdOK\n", true,
                                   [&](TerminalFrontEnd& terminal) { terminal.RunModal(window); });
  EXPECT_EQ(window.accepted, "bob smith");
  EXPECT_TRUE(window.chkEnabled.value);
  EXPECT_EQ(window.cboChoice.Text(), "second");
  EXPECT_EQ(printed.find("hunter2"), std::string::npos) << "a password must be shown masked";
  EXPECT_NE(printed.find("*******"), std::string::npos);
  EXPECT_NE(printed.find("Commands:"), std::string::npos);
}

TEST(TerminalFrontEnd, EndOfInputClosesTheWindow) {
  SampleWindow window;
  AtTerminal("set txtName carol\n", true, [&](TerminalFrontEnd& terminal) { terminal.RunModal(window); });
  EXPECT_FALSE(window.IsShown());
  EXPECT_EQ(window.accepted, "");
  SampleWindow unattended;
  AtTerminal("", false, [&](TerminalFrontEnd& terminal) { terminal.RunModal(unattended); });
  EXPECT_TRUE(unattended.cancelled) << "without a person the cancel button is pressed";
}

}  // namespace
}  // namespace qv::ui
