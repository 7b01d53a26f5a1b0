// The host with nobody to answer, at a terminal a person leaves or
// interrupts, and against a server that never answers: each case a separate
// process, the servlet emulator (or a silent server) on loopback.
#include <fcntl.h>
#include <sys/file.h>

#include "tests/common/stalling_server.h"
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

// A server that accepts and never answers: the configuration window says
// whom it waits for, Ctrl-C ends the wait at once, the box names the cause,
// and the host's exit status says the configuration failed.
TEST_F(Unattended, CtrlCEndsTheWaitForASilentServer) {
  qv::testing::StallingServer silent(qv::testing::StallingServer::kSilent);
  HostTerminal terminal({QVSYNC_HOST, "--profile", dir_.File("profile.db"), "click", "Configure..."});
  ASSERT_TRUE(terminal.Expect("Configuration> ")) << terminal.output();
  terminal.Send("set txtHostName " + silent.host() + "\nset txtUsername alice\nset txtPassword secret\n");
  terminal.Send("OK\n");
  ASSERT_TRUE(terminal.Expect("Connecting to " + silent.host() + " ...", 10)) << terminal.output();
  const auto pressed = std::chrono::steady_clock::now();
  terminal.Send("\x03");
  ASSERT_TRUE(terminal.Expect("Error: The request to the server was cancelled", 10)) << terminal.output();
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(3));
  ASSERT_TRUE(terminal.Expect("(OK) > ")) << terminal.output();
  terminal.Send("\n");
  ASSERT_TRUE(terminal.Expect("Configuration> ")) << terminal.output();
  terminal.Send("close\n");
  EXPECT_EQ(terminal.Wait(), 1) << terminal.output();
  EXPECT_NE(terminal.output().find("qvsync: Unable to log in to server as alice"), std::string::npos)
      << terminal.output();
}

// Commands that failed make the exit status 1 and say why; the reasons of
// the transport and of the server reach the boxes.
TEST_F(Unattended, FailedAccountCommandsExitNonZeroWithTheirReason) {
  StoreAccount("127.0.0.1:1");  // nothing listens there
  Result password = Run("--set frmChangePassword.txtCurrentPassword=secret --set frmChangePassword.txtNewPassword=n "
                        "--set frmChangePassword.txtConfirmNewPassword=n --press frmChangePassword.OK "
                        "click \"Change Password...\"");
  EXPECT_EQ(password.status, 1) << password.output;
  EXPECT_NE(password.output.find("failed with the following error: Could not connect to server (error 12029)"),
            std::string::npos)
      << password.output;
  EXPECT_NE(password.output.find("qvsync: The password change operation failed"), std::string::npos)
      << password.output;

  StoreAccount(servlet_.host(), "wrong");
  Result autoResponse = Run("--press frmAutoResponse.Cancel click \"Set Auto Response...\"");
  EXPECT_EQ(autoResponse.status, 1) << autoResponse.output;
  EXPECT_NE(autoResponse.output.find("Could not log into the server. Err (0). Invalid user name or password."),
            std::string::npos)
      << autoResponse.output;

  StoreAccount(servlet_.host());
  servlet_.SetCannedReply("SET-AUTORESPONSE", "<RESPONSE><RETURNVALUE>0</RETURNVALUE></RESPONSE>");
  Result refused = Run("--press frmAutoResponse.OK click \"Set Auto Response...\"");
  EXPECT_EQ(refused.status, 1) << refused.output;
  EXPECT_NE(refused.output.find("qvsync: The auto response change operation failed"), std::string::npos)
      << refused.output;
}

// A synchronisation that finds another run of the account going on does
// nothing and says so in its exit status.
TEST_F(Unattended, ARunThatFindsAnotherRunOfTheAccountFails) {
  StoreAccount(servlet_.host());
  ASSERT_EQ(Run("click \"&Synchronize\"").status, 0);
  const std::string lock = FindFile("_sync.lock");
  ASSERT_FALSE(lock.empty());
  const int fd = open(lock.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
  Result busy = Run("click \"&Synchronize\"");
  close(fd);
  EXPECT_EQ(busy.status, 1) << busy.output;
  EXPECT_NE(busy.output.find("qvsync: Quorvia Sync Utility is already synchronizing this account."),
            std::string::npos)
      << busy.output;
  EXPECT_NE(Run("--help").output.find("Exit status: 0"), std::string::npos);
}

}  // namespace
