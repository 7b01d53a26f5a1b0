// The host with nobody to answer, and at a terminal a person leaves or
// interrupts: each case a separate process, the servlet emulator on loopback.
#include "tests/tools/qvsync/host_fixture.h"

namespace {

using qv::testing::HostTerminal;
using Result = qv::testing::CommandResult;

class Unattended : public qv::testing::HostWithServlet {
 protected:
  // The first file under the test's folder named `name`, or "".
  std::string FindFile(const std::string& name) {
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
      if (entry.path().filename() == name) return entry.path().string();
    }
    return "";
  }
  size_t TasksInOutlook() {
    const std::string rows = Run("items Tasks").output;
    return static_cast<size_t>(std::count(rows.begin(), rows.end(), '\n')) - 1;  // less the header
  }
};

// The mass-deletion guard's question with nobody to answer takes its
// default, No, and keeps the items, as the end of input does at a terminal.
TEST_F(Unattended, NobodyToAnswerTheGuardsQuestionKeepsTheItems) {
  StoreAccount(servlet_.host());
  for (int i = 0; i < 14; ++i) servlet_.AddItem("alice", "TASK", {{"Subject", "Task " + std::to_string(i)}});
  ASSERT_EQ(Run("click \"&Synchronize\"").status, 0);
  ASSERT_EQ(TasksInOutlook(), 14u);
  const auto items = servlet_.ListItems("alice", "TASK");
  for (size_t i = 0; i < 12; ++i) servlet_.DeleteItem("alice", items[i].uid);

  Result unattended = Run("click \"&Synchronize\"");
  EXPECT_NE(unattended.output.find("Delete them from Outlook?"), std::string::npos) << unattended.output;
  EXPECT_NE(unattended.output.find("-> No"), std::string::npos) << unattended.output;
  EXPECT_EQ(TasksInOutlook(), 14u);
  EXPECT_NE(Log().find("Answered No; kept."), std::string::npos);

  // Ctrl-D at the question is the end of input: No again, and the host goes
  // on reading its commands.
  HostTerminal terminal({QVSYNC_HOST, "--profile", dir_.File("profile.db")});
  ASSERT_TRUE(terminal.Expect("qvsync> ")) << terminal.output();
  terminal.Send("click Synchronize\n");
  ASSERT_TRUE(terminal.Expect("Delete them from Outlook?")) << terminal.output();
  ASSERT_TRUE(terminal.Expect("> ")) << terminal.output();
  terminal.Send("\x04");
  ASSERT_TRUE(terminal.Expect("-> No")) << terminal.output();
  ASSERT_TRUE(terminal.Expect("qvsync> ")) << terminal.output();
  terminal.Send("quit\n");
  EXPECT_EQ(terminal.Wait(), 0) << terminal.output();
  EXPECT_EQ(TasksInOutlook(), 14u);
}

// Reset's question ("break the synchronization link") defaults to No: Ctrl-D
// and a script without --yes keep the conversion table.
TEST_F(Unattended, ResetWithNobodyToAnswerKeepsTheConversionTable) {
  StoreAccount(servlet_.host());
  servlet_.AddItem("alice", "TASK", {{"Subject", "Kept"}});
  ASSERT_EQ(Run("click \"&Synchronize\"").status, 0);
  const std::string table = FindFile("ic_Tasks.tab");
  ASSERT_FALSE(table.empty());

  Result scripted = Run("--press frmConfig.cmdReset --press frmConfig.Cancel click Configure...");
  EXPECT_NE(scripted.output.find("Are you sure you wish to break the synchronization link"), std::string::npos)
      << scripted.output;
  EXPECT_TRUE(std::filesystem::exists(table)) << scripted.output;

  HostTerminal terminal({QVSYNC_HOST, "--profile", dir_.File("profile.db"), "click", "Configure..."});
  ASSERT_TRUE(terminal.Expect("Configuration> ")) << terminal.output();
  terminal.Send("click cmdReset\n");
  ASSERT_TRUE(terminal.Expect("break the synchronization link")) << terminal.output();
  ASSERT_TRUE(terminal.Expect("Enter for No) > ")) << terminal.output();
  terminal.Send("\x04");
  ASSERT_TRUE(terminal.Expect("-> No")) << terminal.output();
  ASSERT_TRUE(terminal.Expect("Configuration> ")) << terminal.output();
  terminal.Send("close\n");
  EXPECT_EQ(terminal.Wait(), 0) << terminal.output();
  EXPECT_TRUE(std::filesystem::exists(table));
  EXPECT_NE(Run("--help").output.find("never one that deletes"), std::string::npos);
}

// Escape sequences in a server's reply reach the terminal as "?".
TEST_F(Unattended, ServerTextIsFilteredBeforeItReachesTheTerminal) {
  StoreAccount(servlet_.host());
  servlet_.SetCannedReply("CHANGE-PASSWORD",
                          "<RESPONSE><RETURNVALUE>0</RETURNVALUE><ERRORDETAILS>\x1b[2J\x1b]0;owned\x07"
                          "\x1b[31mred\xC2\x9B" "0m</ERRORDETAILS></RESPONSE>");
  Result result = Run("--set frmChangePassword.txtCurrentPassword=secret --set frmChangePassword.txtNewPassword=n "
                      "--set frmChangePassword.txtConfirmNewPassword=n --press frmChangePassword.OK "
                      "click \"Change Password...\"");
  EXPECT_NE(result.output.find("failed with the following error: ?[2J?]0;owned??[31mred?0m"), std::string::npos)
      << result.output;
  EXPECT_EQ(result.output.find('\x1b'), std::string::npos);
  EXPECT_EQ(result.output.find("\xC2\x9B"), std::string::npos);
  EXPECT_EQ(result.output.find("Warning"), std::string::npos) << "the icon is no word that contradicts the title";
}

// Ctrl-C or SIGTERM at a password prompt ends the host with the terminal
// echoing again.
TEST_F(Unattended, ASignalAtAPasswordPromptLeavesTheTerminalEchoing) {
  for (int signal : {SIGINT, SIGTERM}) {
    HostTerminal terminal({QVSYNC_HOST, "--profile", dir_.File("profile.db"), "click", "Configure..."});
    ASSERT_TRUE(terminal.Expect("Configuration> ")) << terminal.output();
    terminal.Send("set txtPassword\n");
    ASSERT_TRUE(terminal.Expect("(not shown) ")) << terminal.output();
    ASSERT_FALSE(terminal.Echoes());
    if (signal == SIGINT) {
      terminal.Send("\x03");
    } else {
      terminal.Kill(SIGTERM);
    }
    terminal.Wait();
    EXPECT_EQ(terminal.signal(), signal) << terminal.output();
    EXPECT_TRUE(terminal.Echoes()) << "after signal " << signal;
  }
}

}  // namespace
