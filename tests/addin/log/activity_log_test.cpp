#include "addin/log/activity_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "addin/config/sync_config.h"
#include "platform/shell/shell.h"
#include "tests/common/test_support.h"

namespace {

using qv::testing::ReadFile;
using qv::testing::TempDir;

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qvsync::Config() = qvsync::SyncConfig{};
    qvsync::SetLogFilePathForTesting(dir_.File("QVSync.Log"));
  }
  void TearDown() override { qvsync::SetLogFilePathForTesting(""); }
  TempDir dir_;
  qv::testing::ScopedEnv codepage_{"QUORVIA_CODEPAGE", std::nullopt};
};

TEST_F(ActivityLogTest, NothingIsWrittenWhenTroubleshootingIsOff) {
  qvsync::LogMessage("hidden", 5);
  struct stat st;
  EXPECT_NE(stat(dir_.File("QVSync.Log").c_str(), &st), 0);
}

TEST_F(ActivityLogTest, EachMessageIsOneStampedLine) {
  qvsync::Config().troubleshootingMode = 1;
  qvsync::LogMessage("first", 5);
  qvsync::LogMessage("second caf\xC3\xA9", 1);
  std::string text = ReadFile(dir_.File("QVSync.Log"));
  std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\tfirst\r\n)"
                  R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\tsecond caf\xE9\r\n)");
  EXPECT_TRUE(std::regex_match(text, line)) << text;
}

TEST_F(ActivityLogTest, TheModeIsReadAtEveryCall) {
  qvsync::Config().troubleshootingMode = 1;
  qvsync::LogMessage("on", 5);
  qvsync::Config().troubleshootingMode = 0;
  qvsync::LogMessage("off", 5);
  std::string text = ReadFile(dir_.File("QVSync.Log"));
  EXPECT_NE(text.find("\ton\r\n"), std::string::npos);
  EXPECT_EQ(text.find("off"), std::string::npos);
}

TEST_F(ActivityLogTest, ADeletedLogIsCreatedAgain) {
  qvsync::Config().troubleshootingMode = 1;
  qvsync::LogMessage("one", 5);
  ASSERT_EQ(std::remove(dir_.File("QVSync.Log").c_str()), 0);
  qvsync::LogMessage("two", 5);
  std::string text = ReadFile(dir_.File("QVSync.Log"));
  EXPECT_EQ(text.find("one"), std::string::npos);
  EXPECT_NE(text.find("\ttwo\r\n"), std::string::npos);
}

// The number of this process's descriptors open on `path`.
int DescriptorsOn(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) ++count;
  }
  return count;
}

// A session keeps the log open, and every line is still in the file, whole,
// the moment it is written; a log deleted or replaced meanwhile is made anew.
TEST_F(ActivityLogTest, ASessionKeepsTheLogOpenAndEveryLineReadableAtOnce) {
  qvsync::Config().troubleshootingMode = 1;
  const std::string path = dir_.File("QVSync.Log");
  {
    qvsync::LogSession session;
    qvsync::LogSession nested;
    qvsync::LogMessage("one", 5);
    EXPECT_NE(ReadFile(path).find("\tone\r\n"), std::string::npos);
    qvsync::LogMessage("two", 5);
    EXPECT_NE(ReadFile(path).find("\ttwo\r\n"), std::string::npos);
    EXPECT_EQ(DescriptorsOn(path), 1);
    ASSERT_EQ(std::remove(path.c_str()), 0);
    qvsync::LogMessage("three", 5);
    EXPECT_NE(ReadFile(path).find("\tthree\r\n"), std::string::npos) << "a deleted log is made anew";
    ASSERT_TRUE(qv::testing::WriteFile(dir_.File("other"), "rotated\r\n"));
    ASSERT_EQ(std::rename(dir_.File("other").c_str(), path.c_str()), 0);
    qvsync::LogMessage("four", 5);
    EXPECT_EQ(ReadFile(path).find("rotated\r\n"), 0u);
    EXPECT_NE(ReadFile(path).find("\tfour\r\n"), std::string::npos) << "a replaced log gets the next line";
  }
  EXPECT_EQ(DescriptorsOn(path), 0) << "closed with the outermost session";
}

// Two processes log at once: every line arrives whole.
TEST_F(ActivityLogTest, TwoProcessesLoggingAtOnceLeaveWholeLines) {
  qvsync::Config().troubleshootingMode = 1;
  const std::string filler(300, 'x');
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  {
    qvsync::LogSession session;
    for (int i = 0; i < 300; ++i) qvsync::LogMessage((child == 0 ? "child " : "parent ") + filler, 5);
  }
  if (child == 0) _exit(0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\t(child|parent) x{300}\r)");
  std::istringstream text(ReadFile(dir_.File("QVSync.Log")));
  int lines = 0;
  for (std::string read; std::getline(text, read); ++lines) ASSERT_TRUE(std::regex_match(read, line)) << read;
  EXPECT_EQ(lines, 600);
}

TEST_F(ActivityLogTest, FailuresAreIgnored) {
  qvsync::Config().troubleshootingMode = 1;
  qvsync::SetLogFilePathForTesting(dir_.File("missing-folder/QVSync.Log"));
  qvsync::LogMessage("lost", 5);  // must neither throw nor crash
  struct stat st;
  EXPECT_NE(stat(dir_.File("missing-folder").c_str(), &st), 0);
}

TEST_F(ActivityLogTest, DefaultLocationIsBesideTheBinary) {
  qvsync::SetLogFilePathForTesting("");
  std::string path = qvsync::LogFilePath();
  ASSERT_GE(path.size(), 11u);
  EXPECT_EQ(path.substr(path.size() - 11), "/QVSync.Log");
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  std::string exe(self, static_cast<size_t>(n));
  EXPECT_EQ(path, exe.substr(0, exe.rfind('/')) + "/QVSync.Log");
}

// Records the programs the View command would start, and how.
class RecordingLauncher : public qv::shell::Launcher {
 public:
  bool Run(const std::vector<std::string>& argv) override {
    runs.push_back(argv);
    return true;
  }
  bool Start(const std::vector<std::string>& argv) override {
    starts.push_back(argv);
    return argv[0] != "xdg-open" || opener_works;
  }
  std::vector<std::vector<std::string>> runs, starts;
  bool opener_works = true;
};

TEST_F(ActivityLogTest, ViewStartsADesktopProgramWithoutWaitingForIt) {
  qv::testing::ScopedEnv display("DISPLAY", ":0");
  qv::testing::ScopedEnv wayland("WAYLAND_DISPLAY", std::nullopt);
  RecordingLauncher launcher;
  qv::shell::SetLauncherForTesting(&launcher);
  qvsync::SetLogFilePathForTesting(dir_.File("QVSync.Log"));
  EXPECT_TRUE(qvsync::ViewLog());
  EXPECT_TRUE(launcher.runs.empty()) << "nothing is waited for";
  ASSERT_EQ(launcher.starts.size(), 1u);
  EXPECT_EQ(launcher.starts[0], (std::vector<std::string>{"xdg-open", dir_.File("QVSync.Log")}));
  EXPECT_TRUE(std::ifstream(dir_.File("QVSync.Log")).good()) << "a missing log is created empty to be shown";

  // Without xdg-open a graphical editor is started instead.
  launcher.opener_works = false;
  launcher.starts.clear();
  EXPECT_TRUE(qvsync::ViewLog());
  ASSERT_EQ(launcher.starts.size(), 2u);
  EXPECT_EQ(launcher.starts[1][1], dir_.File("QVSync.Log"));

  // Without a desktop nothing is started: a terminal editor would take the terminal.
  qv::testing::ScopedEnv noDisplay("DISPLAY", std::nullopt);
  launcher.starts.clear();
  EXPECT_FALSE(qvsync::ViewLog());
  EXPECT_TRUE(launcher.starts.empty());
  qv::shell::SetLauncherForTesting(nullptr);
}

}  // namespace
