#include "addin/log/activity_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>

#include "addin/config/sync_config.h"
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

}  // namespace
