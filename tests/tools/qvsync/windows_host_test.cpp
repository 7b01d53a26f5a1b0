// The add-in's windows through the host, as a separate process: filled from a
// file and from command-line options without a person, and filled by a
// person at a pseudo-terminal. The servlet emulator runs in this test, on
// loopback.
#include "tests/tools/qvsync/host_fixture.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;
using qv::testing::HostTerminal;
using Result = qv::testing::CommandResult;
using WindowsThroughTheHost = qv::testing::HostWithServlet;

TEST_F(WindowsThroughTheHost, AFillFileConfiguresTheAddinThroughTheWindowsChecks) {
  ASSERT_TRUE(qv::testing::WriteFile(dir_.File("setup.txt"),
                                     "# the demo's set-up\n"
                                     "[frmConfig]\n"
                                     "set txtHostName http://" + servlet_.host() + "\n"
                                     "set \"Username\" alice\n"
                                     "set txtPassword secret\n"
                                     "set chkTroubleshoot on\n"
                                     "choose cboDirection Client propagates to server\n"
                                     "click OK\n"));
  Result configured = Run("--no --fill " + dir_.File("setup.txt") + " click Configure...");
  EXPECT_EQ(configured.status, 0) << configured.output;
  EXPECT_NE(configured.output.find("Would you like to synchronize with Quorvia now?"), std::string::npos)
      << configured.output;
  EXPECT_EQ(configured.output.find("secret"), std::string::npos) << "the password is not printed";
  EXPECT_EQ(Stored("Host"), servlet_.host()) << "the prefix is removed as for a person";
  EXPECT_EQ(Stored("Username"), "alice");
  EXPECT_NE(Stored("Password"), "secret");
  EXPECT_EQ(Stored("Direction"), "1");
  EXPECT_EQ(Stored("Troubleshooting Mode"), "1");
  EXPECT_NE(qv::testing::ReadFile(dir_.File("addin/QVSync.Log")).find("Successfully logged in to server as alice"),
            std::string::npos);
}

TEST_F(WindowsThroughTheHost, OptionsFillTheSameWindowAndItsChecksStillRefuse) {
  Result refused = Run("--no --set frmConfig.txtHostName=a_b --set frmConfig.txtPassword=secret "
                       "--press frmConfig.OK click Configure...");
  EXPECT_EQ(refused.status, 1) << "a scripted set-up learns that it did not complete";
  EXPECT_NE(refused.output.find("Please enter a valid server name to connect to."), std::string::npos)
      << refused.output;
  EXPECT_NE(refused.output.find("qvsync: a window filled from the script was closed without completing it"),
            std::string::npos)
      << refused.output;
  EXPECT_FALSE(Stored("Host").has_value()) << "a refused window writes nothing";

  Result accepted = Run("--no --set frmConfig.txtHostName=" + servlet_.host() +
                        " --set frmConfig.txtUsername=alice --set frmConfig.txtPassword=wrong "
                        "--set frmConfig.chkSyncTasks=off --press frmConfig.cmdOK click Configure...");
  EXPECT_NE(accepted.output.find("Unable to log in to server as alice."), std::string::npos) << accepted.output;
  EXPECT_EQ(Stored("Task Sync Mode"), "0") << "saved whatever the login gives";
  EXPECT_EQ(accepted.status, 1) << "the window stayed open after the failed login";

  // A command that cannot be carried out says so too.
  Result failed = Run("--no --set frmConfig.txtNoSuchBox=x click Configure...");
  EXPECT_EQ(failed.status, 1) << failed.output;

  // What is no script is refused before anything runs.
  ASSERT_TRUE(qv::testing::WriteFile(dir_.File("bad.txt"), "[frmConfig]\nset txtHostName x\nformat c:\n"));
  Result bad = Run("--fill " + dir_.File("bad.txt") + " click Configure...");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.output.find("bad.txt: line 3: unknown command \"format\""), std::string::npos) << bad.output;
  EXPECT_EQ(Run("--set frmConfig.txtHostName click Configure...").status, 2);
  EXPECT_EQ(Run("--fill " + dir_.File("missing.txt") + " start").status, 2);
}

TEST_F(WindowsThroughTheHost, SynchronisingUnconfiguredOpensTheConfigurationWindow) {
  servlet_.AddItem("alice", "TASK", {{"Subject", "Task from the server"}});
  ASSERT_TRUE(qv::testing::WriteFile(dir_.File("setup.txt"), "[frmConfig]\nset txtHostName " + servlet_.host() +
                                                                 "\nset txtUsername alice\nset txtPassword secret\n"
                                                                 "click OK\n"));
  Result result = Run("--yes --fill " + dir_.File("setup.txt") + " click Synchronize");
  EXPECT_EQ(result.status, 0) << result.output;
  const size_t box = result.output.find("Quorvia Sync Utility is not configured.");
  const size_t window = result.output.find("=== Quorvia Synchronization Configuration ===");
  ASSERT_NE(box, std::string::npos) << result.output;
  ASSERT_NE(window, std::string::npos) << result.output;
  EXPECT_LT(box, window);
  EXPECT_EQ(Stored("Username"), "alice");
  // The offer, answered Yes, ran the synchronisation that brought the task.
  EXPECT_NE(Run("items Tasks").output.find("Task from the server"), std::string::npos);
}

// A person at a pseudo-terminal: the host's prompt, the window's prompt, the
// password typed without echo, the offer answered with Yes, and the
// synchronisation that follows.
TEST_F(WindowsThroughTheHost, APersonFillsTheConfigurationAtATerminalAndSynchronises) {
  servlet_.AddItem("alice", "TASK", {{"Subject", "Task from the server"}});
  HostTerminal terminal({QVSYNC_HOST, "--profile", dir_.File("profile.db")});
  ASSERT_TRUE(terminal.started());
  const std::string window = "Quorvia Synchronization Configuration> ";
  ASSERT_TRUE(terminal.Expect("qvsync> ")) << terminal.output();
  terminal.Send("click Configure...\n");
  ASSERT_TRUE(terminal.Expect(window)) << terminal.output();
  terminal.Send("set txtHostName " + servlet_.host() + "\n");
  ASSERT_TRUE(terminal.Expect(window));
  terminal.Send("&u\n");  // the label's access key reaches its box
  ASSERT_TRUE(terminal.Expect("Username: ")) << terminal.output();
  terminal.Send("alice\n");
  ASSERT_TRUE(terminal.Expect(window));
  terminal.Send("set txtPassword\n");
  ASSERT_TRUE(terminal.Expect("(not shown) ")) << terminal.output();
  terminal.Send("secret\n");
  ASSERT_TRUE(terminal.Expect("[******]")) << terminal.output();
  ASSERT_TRUE(terminal.Expect(window));
  terminal.Send("&e\n");
  ASSERT_TRUE(terminal.Expect("[x] Enable Troubleshooting/Logging")) << terminal.output();
  ASSERT_TRUE(terminal.Expect(window));
  terminal.Send("OK\n");
  ASSERT_TRUE(terminal.Expect("Would you like to synchronize with Quorvia now?")) << terminal.output();
  ASSERT_TRUE(terminal.Expect("(Yes / No; Enter for Yes) > "));
  terminal.Send("y\n");
  ASSERT_TRUE(terminal.Expect("-> Yes"));
  // The synchronisation runs at once, with its progress bar, and brings the
  // server's task into Outlook.
  ASSERT_TRUE(terminal.Expect("Synchronizing Tasks..")) << terminal.output();
  ASSERT_TRUE(terminal.Expect("qvsync> ", 60)) << terminal.output();
  terminal.Send("items Tasks\n");
  ASSERT_TRUE(terminal.Expect("Task from the server")) << terminal.output();
  ASSERT_TRUE(terminal.Expect("qvsync> "));
  terminal.Send("quit\n");
  EXPECT_EQ(terminal.Wait(), 0) << terminal.output();
  EXPECT_EQ(terminal.output().find("secret"), std::string::npos) << "typed without echo";
  EXPECT_EQ(Stored("Username"), "alice");
  EXPECT_EQ(Stored("Host"), servlet_.host());
  EXPECT_EQ(Stored("Troubleshooting Mode"), "1");
  std::string log = qv::testing::ReadFile(dir_.File("addin/QVSync.Log"));
  EXPECT_NE(log.find("Successfully logged in to server as alice"), std::string::npos) << log;
}

// A person presses the progress window's Cancel key ("c") while the tasks are
// being synchronised: the run stops at its next check, and the classes after
// Tasks are left alone.
TEST_F(WindowsThroughTheHost, CancelOnTheProgressWindowStopsTheRunAtItsNextCheck) {
  for (int i = 0; i < 400; ++i) servlet_.AddItem("alice", "TASK", {{"Subject", "Server task " + std::to_string(i)}});
  servlet_.AddItem("alice", "CONTACT", {{"FirstName", "Zoe"}, {"LastName", "Contact"}, {"FullName", "Zoe Contact"}});
  {
    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, "SOFTWARE\\Quorvia\\Outlook Sync\\Default", &key), Status::Ok);
    key.SetString("Host", servlet_.host());
    key.SetString("Username", "alice");
    key.SetString("Password", "secret");
    key.SetDword("Troubleshooting Mode", 1);
    key.SetDword("Batch Mode", 0);  // one request per task: a run long enough to press Cancel in
  }
  HostTerminal terminal({QVSYNC_HOST, "--profile", dir_.File("profile.db")});
  ASSERT_TRUE(terminal.started());
  ASSERT_TRUE(terminal.Expect("qvsync> ")) << terminal.output();
  terminal.Send("click Synchronize\n");
  ASSERT_TRUE(terminal.Expect("Synchronizing Tasks..")) << terminal.output();
  // The key is read at the run's next progress update; press until the
  // window says it was seen.
  bool seen = false;
  for (int tries = 0; tries < 60 && !seen; ++tries) {
    terminal.Send("c");
    seen = terminal.Expect("Cancel pressed", 1);
  }
  ASSERT_TRUE(seen) << terminal.output();
  ASSERT_TRUE(terminal.Expect("qvsync> ", 60)) << terminal.output();
  terminal.Send("\x15items Contacts\n");  // Ctrl-U first: no stray key before the command
  ASSERT_TRUE(terminal.Expect("qvsync> ")) << terminal.output();
  terminal.Send("quit\n");
  EXPECT_EQ(terminal.Wait(), 0) << terminal.output();
  EXPECT_EQ(terminal.output().find("Zoe Contact"), std::string::npos) << terminal.output();
  const std::string log = qv::testing::ReadFile(dir_.File("addin/QVSync.Log"));
  EXPECT_NE(log.find("Task Synchronization Complete!"), std::string::npos) << log;
  EXPECT_EQ(log.find("Synchronizing Contacts.."), std::string::npos) << log;
  EXPECT_NE(log.find("Synchronizing Completed"), std::string::npos) << log;
}

}  // namespace
