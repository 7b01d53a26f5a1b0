#include "platform/ui/terminal.h"
#include "platform/ui/terminal_front_end.h"

#include <cstdio>

#include "tests/common/test_support.h"

namespace qv::ui {
namespace {

// A small window in the manner of the add-in's: controls as fields, handlers
// as members.
class SampleWindow : public Window {
 public:
  SampleWindow() {
    name = "frmSample";
    caption = "Sample";
    lblName.caption = "&Name:";
    lblName.buddy = &txtName;
    txtNotes.multiLine = true;
    cmdApply.caption = "&Apply";
    cmdApply.enabled = false;
    chkEnabled.onClick = [this] { ++clicks; };
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
  std::vector<Control*> Controls() override {
    return {&lblName, &txtName, &txtSecret, &chkEnabled, &cboChoice, &txtNotes, &cmdOK, &cmdApply, &cmdCancel};
  }
  void cmdOK_Click() {
    accepted = txtName.text;
    Hide();
  }

  Label lblName{"lblName"};
  TextBox txtName{"txtName"};
  TextBox txtNotes{"txtNotes"};
  Button cmdApply{"cmdApply"};
  int clicks = 0;
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
    answer = terminal.ShowMessage({"Delete it?", "Error", Buttons::YesNo, Icon::Exclamation});
  });
  EXPECT_EQ(answer, Answer::No);
  // The icon is a symbol: a word ("Warning") could contradict the title.
  EXPECT_NE(printed.find("[Error]\n(!) Delete it?\n"), std::string::npos) << printed;
  EXPECT_NE(printed.find("(Yes / No; Enter for Yes) > "), std::string::npos) << printed;
}

// Nobody to answer (no terminal, the end of the input, Enter alone) takes the
// box's default button; a fixed answer is taken where the box has it.
TEST(TerminalFrontEnd, TakesTheDefaultButtonWhenNobodyAnswers) {
  struct Case {
    const char* input;
    bool interactive;
    DefaultButton byDefault;
    const char* fixed;
    Answer expected;
  } const cases[] = {
      {"", false, DefaultButton::First, nullptr, Answer::Yes},
      {"", false, DefaultButton::Second, nullptr, Answer::No},
      {"", true, DefaultButton::Second, nullptr, Answer::No},      // end of input (Ctrl-D)
      {"\n", true, DefaultButton::Second, nullptr, Answer::No},    // Enter alone
      {"y\n", true, DefaultButton::Second, nullptr, Answer::Yes},  // a person's answer
      {"y\n", true, DefaultButton::Third, nullptr, Answer::Yes},   // a default the box lacks: its first
      {"", false, DefaultButton::Second, "yes", Answer::Yes},
      {"", true, DefaultButton::First, "no", Answer::No},
  };
  for (const Case& c : cases) {
    Answer answer = Answer::OK;
    AtTerminal(c.input, c.interactive, [&](TerminalFrontEnd& terminal) {
      Answer fixed;
      if (c.fixed != nullptr && ParseAnswer(c.fixed, &fixed)) terminal.SetFixedAnswer(fixed);
      answer = terminal.ShowMessage({"Delete them?", "Warning", Buttons::YesNo, Icon::Question, c.byDefault});
    });
    EXPECT_EQ(answer, c.expected) << "input \"" << c.input << "\", default " << static_cast<int>(c.byDefault);
  }
  // A box the fixed answer does not fit takes its default.
  AtTerminal("", false, [&](TerminalFrontEnd& terminal) {
    terminal.SetFixedAnswer(Answer::No);
    EXPECT_EQ(terminal.ShowMessage({"Done", "Info", Buttons::OK, Icon::Information}), Answer::OK);
  });
  ScriptedFrontEnd scripted;
  EXPECT_EQ(scripted.ShowMessage({"Delete them?", "Warning", Buttons::YesNo, Icon::Question, DefaultButton::Second}),
            Answer::No);
}

// Text from outside passes one filter before it is printed: control
// characters, C1 controls, bytes that are not UTF-8 and bidirectional
// overrides become "?"; line breaks stay where lines may break.
TEST(TerminalText, EscapesAndControlsNeverReachTheTerminal) {
  using terminal::SafeText;
  EXPECT_EQ(SafeText("\x1b[2J\x1b]0;title\x07red\x7f"), "?[2J?]0;title?red?");
  EXPECT_EQ(SafeText("a\xC2\x9B" "31m b\xE2\x80\xAE" "c \xC3\xA9 \xE4\xBB\xBB"), "a?31m b?c \xC3\xA9 \xE4\xBB\xBB");
  EXPECT_EQ(SafeText("bad \xC3 \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80 end\xE2\x82"), "bad ? ?? ??? ???? end??");
  EXPECT_EQ(SafeText("one\r\ntwo\rthree\nfour\tfive", true), "one\ntwo\nthree\nfour five");
  EXPECT_EQ(SafeText("one\r\ntwo\rthree\nfour", false), "one two three four");
  const std::string box = AtTerminal("", false, [](TerminalFrontEnd& terminal) {
    terminal.ShowMessage({"reply \x1b[31mred\r\nnext line", "Title \x1b]0;x\x07", Buttons::OK, Icon::None});
  });
  EXPECT_EQ(box, "\n[Title ?]0;x?]\nreply ?[31mred\nnext line\n-> OK\n");
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

TEST(TerminalFrontEnd, ReachesControlsByCaptionAndAccessKeyAndPressesButtonsByCaption) {
  SampleWindow window;
  std::string printed = AtTerminal(
      "set \"Name\" dave\n&e\nchoose cboChoice SECOND\nappend txtNotes one\nappend txtNotes two\n&a\nset chkEnabled maybe\nok\n",
      true, [&](TerminalFrontEnd& terminal) { terminal.RunModal(window); });
  EXPECT_EQ(window.accepted, "dave");
  EXPECT_TRUE(window.chkEnabled.value);
  EXPECT_EQ(window.clicks, 1) << "a user's tick runs the box's click handler";
  EXPECT_EQ(window.cboChoice.listIndex, 1);
  EXPECT_EQ(window.txtNotes.text, "one\r\ntwo");
  EXPECT_NE(printed.find("cmdApply is disabled"), std::string::npos) << printed;
  EXPECT_NE(printed.find("chkEnabled takes on or off"), std::string::npos) << printed;
  // The label is shown with its box, with its access key.
  EXPECT_NE(printed.find("Name:"), std::string::npos);
  EXPECT_NE(printed.find("&n"), std::string::npos) << printed;
}

TEST(TerminalFrontEnd, AnAccessKeyOrASetWithoutTextPromptsForTheText) {
  SampleWindow window;
  std::string printed = AtTerminal("&n\nerin\nset txtSecret\ns3cret\nset txtNotes\nfirst\nsecond\n.\nclick cmdOK\n",
                                   true, [&](TerminalFrontEnd& terminal) { terminal.RunModal(window); });
  EXPECT_EQ(window.accepted, "erin");
  EXPECT_EQ(window.txtSecret.text, "s3cret");
  EXPECT_EQ(window.txtNotes.text, "first\r\nsecond");
  EXPECT_NE(printed.find("Name: "), std::string::npos) << "the prompt names the label";
  EXPECT_NE(printed.find("(not shown)"), std::string::npos) << printed;
  EXPECT_EQ(printed.find("s3cret"), std::string::npos) << "a password is never printed";
}

TEST(FillScript, ReadsSectionsAndRefusesWhatIsNoScript) {
  FillScript script;
  std::string error;
  ASSERT_TRUE(ParseFillScript("# set-up\r\n[frmSample]\r\n  set txtName x\r\n\r\nclick OK\n[Sample]\n&e\nclose", &script,
                              &error))
      << error;
  ASSERT_EQ(script.sections.size(), 2u);
  EXPECT_EQ(script.sections[0].window, "frmSample");
  ASSERT_EQ(script.sections[0].commands.size(), 2u);
  EXPECT_EQ(script.sections[0].commands[0].text, "set txtName x");
  EXPECT_EQ(script.sections[0].commands[1].line, 5);
  EXPECT_EQ(script.sections[1].commands.size(), 2u);

  const std::pair<std::string, std::string> bad[] = {
      {"set txtName x\n", "line 1: a command before the first [window] section"},
      {"[frmSample\n", "line 1: a section header must end with \"]\""},
      {"[ ]\n", "line 1: a section header must name a window"},
      {"[frmSample]\nrm -rf /\n", "line 2: unknown command \"rm\""},
      {"[frmSample]\nclick\n", "line 2: \"click\" needs a control"},
      {std::string("[frmSample]\nset txtName a\0b\n", 27), "line 2: a NUL byte"},
      {"[frmSample]\nset txtName " + std::string(kMaxFillLineBytes, 'x'), "line 2: longer than 4096 bytes"},
      {std::string(kMaxFillScriptBytes + 1, '#'), "the script is longer than 65536 bytes"},
  };
  for (const auto& [text, message] : bad) {
    EXPECT_FALSE(ParseFillScript(text, &script, &error)) << message;
    EXPECT_EQ(error, message);
  }
}

TEST(FillScript, FillsEachShowingOnceWithoutAPerson) {
  FillScript script;
  std::string error;
  ASSERT_TRUE(ParseFillScript("[frmSample]\nset txtName fred\nset txtSecret pw\nset chkEnabled on\nclick OK\n"
                              "[Sample]\nset txtName gina\n",
                              &script, &error));
  SampleWindow first, second, third;
  std::string printed = AtTerminal("", false, [&](TerminalFrontEnd& terminal) {
    terminal.SetFillScript(script);
    terminal.RunModal(first);
    terminal.RunModal(second);
    terminal.RunModal(third);
  });
  EXPECT_EQ(first.accepted, "fred");
  EXPECT_TRUE(first.chkEnabled.value);
  EXPECT_EQ(printed.find("set txtSecret pw"), std::string::npos) << "the script's password is not echoed";
  EXPECT_NE(printed.find("set txtSecret **"), std::string::npos) << printed;
  // The second section filled the second showing, which nobody confirmed.
  EXPECT_EQ(second.txtName.text, "gina");
  EXPECT_EQ(second.accepted, "");
  EXPECT_FALSE(second.IsShown());
  // No section is left for the third: its cancel button is pressed.
  EXPECT_TRUE(third.cancelled);
}

TEST(FillScript, AFailingCommandClosesTheWindowWithoutPressingAnything) {
  FillScript script;
  std::string error;
  ASSERT_TRUE(ParseFillScript("[frmSample]\nset txtName hal\nset txtMissing x\nclick OK\n", &script, &error));
  SampleWindow window;
  std::string printed = AtTerminal("", false, [&](TerminalFrontEnd& terminal) {
    terminal.SetFillScript(script);
    terminal.RunModal(window);
  });
  EXPECT_EQ(window.accepted, "") << "OK is not pressed after a failed command";
  EXPECT_FALSE(window.IsShown());
  EXPECT_NE(printed.find("Fill script, line 3: no control \"txtMissing\" in Sample"), std::string::npos) << printed;
}

TEST(Controls, AccessKeysFollowTheFirstSingleAmpersand) {
  Button button("cmd");
  button.caption = "&View..";
  EXPECT_EQ(button.AccessKey(), 'v');
  button.caption = "Ca&lendar";
  EXPECT_EQ(button.AccessKey(), 'l');
  button.caption = "Fish && &Chips";
  EXPECT_EQ(button.AccessKey(), 'c');
  button.caption = "OK";
  EXPECT_EQ(button.AccessKey(), 0);
  button.caption = "trailing&";
  EXPECT_EQ(button.AccessKey(), 0);
}

}  // namespace
}  // namespace qv::ui

TEST(CommandFailures, AccumulateOneLinePerReasonUntilCleared) {
  qv::ui::ClearCommandFailures();
  EXPECT_EQ(qv::ui::CommandFailures(), "");
  qv::ui::ReportCommandFailure("the list of TASK items could not be fetched");
  qv::ui::ReportCommandFailure("two\r\nlines");
  qv::ui::ReportCommandFailure("");
  EXPECT_EQ(qv::ui::CommandFailures(),
            "the list of TASK items could not be fetched\ntwo  lines\nthe command failed\n");
  qv::ui::ClearCommandFailures();
  EXPECT_EQ(qv::ui::CommandFailures(), "");
}
