#include "library/audit/audit.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "library/audit/audit_internal.h"
#include "library/support/messages.h"
#include "library/support/support.h"
#include "platform/eventlog/eventlog.h"
#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;
using qv::testing::ReadFile;
using qv::testing::TempDir;
using qv::testing::WriteFile;

constexpr const char* kAuditing = "SOFTWARE\\Quorvia\\Quorvia\\Auditing";

bool Exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

void SetAge(const std::string& path, long long minutes) {
  struct timeval times[2];
  times[0].tv_sec = times[1].tv_sec = std::time(nullptr) - minutes * 60;
  times[0].tv_usec = times[1].tv_usec = 0;
  ASSERT_EQ(::utimes(path.c_str(), times), 0) << path;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // an unterminated rest
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

class AuditTest : public qv::testing::RegistryTest {
 protected:
  AuditTest() {
    Key root;
    EXPECT_EQ(Key::Create(Hive::LocalMachine, qvaiso::kMachineRoot, &root), Status::Ok);
    EXPECT_EQ(root.SetString("Configuration Directory", config_.path()), Status::Ok);
    EXPECT_EQ(root.SetString("Mail Root", mailRoot_.path()), Status::Ok);
    EXPECT_EQ(root.SetDword("System Messages Enabled", 1), Status::Ok);
    Reset();
  }
  ~AuditTest() override { Reset(); }

  static void Reset() {
    qvaiso::ResetConfigurationDirectoryForTesting();
    qvaiso::ResetSystemMessageSettingsForTesting();
    qvaiso::audit::ResetAuditSettingsForTesting();
  }

  static void Set(const char* name, uint32_t value) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, kAuditing, &key), Status::Ok);
    ASSERT_EQ(key.SetDword(name, value), Status::Ok);
    qvaiso::audit::ResetAuditSettingsForTesting();
  }

  void MakePostoffice(const std::string& name) {
    ASSERT_TRUE(qvaiso::CreateDirectoryPath(mailRoot_.File(name + "/MAILROOT")));
  }

  std::string AuditFile(const std::string& folder = "") const {
    std::string base = config_.File("Audit");
    if (!folder.empty()) base += "/" + folder;
    return base + "/" + qvaiso::audit::AuditFileName(std::time(nullptr));
  }

  TempDir config_;
  TempDir mailRoot_;
};

TEST_F(AuditTest, StatusUnsetWritesNothingAndCreatesNoFolder) {
  EXPECT_EQ(AddAuditEntry(1, "po", "joe", "text", 10, 1), 1);
  EXPECT_FALSE(Exists(config_.File("Audit")));
  EXPECT_FALSE(Exists(config_.File("Messages")));
}

TEST_F(AuditTest, AnEntryForAnExistingPostofficeGoesToTheMailboxFolder) {
  Set("Status", 1);
  MakePostoffice("example.com");
  EXPECT_EQ(AddAuditEntry(1, "example.com", "joe@example.com", "logged in", 4, 3), 1);
  std::string text = ReadFile(AuditFile("example.com/joe"));
  static const std::regex kLine(
      R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d\t\[3\.4\] logged in\r\n)");
  EXPECT_TRUE(std::regex_match(text, kLine)) << text;

  // Without a MAILROOT folder the entry goes to the audit folder itself.
  EXPECT_EQ(AddAuditEntry(1, "other.com", "ann", "second", 0, 0), 1);
  EXPECT_NE(ReadFile(AuditFile()).find("\t[0.0] second\r\n"), std::string::npos);
  EXPECT_FALSE(Exists(config_.File("Audit/other.com")));
  // Names that would leave their folder level are not used as folders.
  EXPECT_EQ(AddAuditEntry(1, "example.com", "../../escape", "third", 0, 0), 1);
  EXPECT_NE(ReadFile(AuditFile()).find("] third\r\n"), std::string::npos);
  EXPECT_FALSE(Exists(config_.File("escape")));
}

TEST_F(AuditTest, AnEmptyPostofficeMeansTheDefaultAccount) {
  Set("Status", 1);
  MakePostoffice("default.org");
  Key auth;
  ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\Providers\\Authentication",
                        &auth),
            Status::Ok);
  ASSERT_EQ(auth.SetString("Default Account", "default.org"), Status::Ok);
  AddAuditEntry(1, "", "joe", "not enabled yet", 0, 0);
  EXPECT_TRUE(Exists(AuditFile()));
  ASSERT_EQ(auth.SetDword("Default Account Enabled", 1), Status::Ok);
  AddAuditEntry(1, nullptr, "joe", "enabled", 0, 0);
  EXPECT_NE(ReadFile(AuditFile("default.org/joe")).find("] enabled\r\n"), std::string::npos);
}

TEST_F(AuditTest, EntriesBelowTheLevelAreNotWritten) {
  Set("Status", 1);
  Set("Level", 3);
  for (int level = 0; level <= 5; ++level) {
    AddAuditEntry(1, "po", "joe", ("level " + std::to_string(level)).c_str(), level, 7);
  }
  std::vector<std::string> lines = Lines(ReadFile(AuditFile()));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("\t[7.3] level 3"), std::string::npos) << lines[0];
  EXPECT_NE(lines[2].find("\t[7.5] level 5"), std::string::npos) << lines[2];
}

TEST_F(AuditTest, RetentionPurgeDeletesLogsOlderThanTheRetentionMinutes) {
  Set("Status", 1);
  std::string audit = config_.File("Audit");
  ASSERT_TRUE(qvaiso::CreateDirectoryPath(audit + "/dir.log"));
  for (const char* name : {"old.log", "kept.log", "OLD.LOG", ".hidden.log", "notes.txt"}) {
    ASSERT_TRUE(WriteFile(audit + "/" + name, "x"));
  }
  SetAge(audit + "/old.log", 7201);
  SetAge(audit + "/kept.log", 7200);
  SetAge(audit + "/OLD.LOG", 9000);
  SetAge(audit + "/.hidden.log", 9000);
  SetAge(audit + "/notes.txt", 9000);
  SetAge(audit + "/dir.log", 9000);

  AddAuditEntry(1, "po", "joe", "text", 0, 0);
  EXPECT_FALSE(Exists(audit + "/old.log"));
  EXPECT_FALSE(Exists(audit + "/OLD.LOG"));
  EXPECT_TRUE(Exists(audit + "/kept.log"));
  EXPECT_TRUE(Exists(audit + "/.hidden.log"));
  EXPECT_TRUE(Exists(audit + "/notes.txt"));
  EXPECT_TRUE(Exists(audit + "/dir.log"));
  EXPECT_TRUE(Exists(AuditFile()));
  EXPECT_EQ(ReadFile(audit + "/_purge.dat"),
            "This file is a flag file that denotes that a system change has occured");
}

TEST_F(AuditTest, AYoungPurgeFlagPostponesThePurge) {
  Set("Status", 1);
  Set("Retention Minutes", 60);
  std::string audit = config_.File("Audit");
  ASSERT_TRUE(qvaiso::CreateDirectoryPath(audit));
  ASSERT_TRUE(WriteFile(audit + "/_purge.dat", "flag"));
  ASSERT_TRUE(WriteFile(audit + "/old.log", "x"));
  SetAge(audit + "/_purge.dat", 60);
  SetAge(audit + "/old.log", 500);
  AddAuditEntry(1, "po", "joe", "text", 0, 0);
  EXPECT_TRUE(Exists(audit + "/old.log"));

  SetAge(audit + "/_purge.dat", 61);
  AddAuditEntry(1, "po", "joe", "text", 0, 0);
  EXPECT_FALSE(Exists(audit + "/old.log"));
  struct stat info {};
  ASSERT_EQ(::stat((audit + "/_purge.dat").c_str(), &info), 0);
  EXPECT_LE(std::time(nullptr) - info.st_mtime, 60);  // written anew
}

TEST_F(AuditTest, Level10PostsACriticalMessageEvenWithoutAMailbox) {
  Set("Status", 1);
  Set("Level", 20);
  EXPECT_EQ(AddAuditEntry(4711, "po", "", "disk full", 10, 1), 1);
  EXPECT_FALSE(Exists(AuditFile()));
  pugi::xml_document messages;
  ASSERT_TRUE(messages.load_file(config_.File("Messages/Messages.xml").c_str()));
  pugi::xml_node message = messages.child("SystemMessages").child("Messages").first_child();
  EXPECT_STREQ(message.attribute("id").value(), "4711");
  EXPECT_STREQ(message.child_value("Message"), "disk full");
  EXPECT_STREQ(message.child_value("Severity"), "Critical");
  EXPECT_STREQ(message.child_value("Postoffice"), "po");
  EXPECT_FALSE(message.child("Mailbox"));
}

TEST_F(AuditTest, ABusyFileIsWaitedForAndReportedWhenItStaysBusy) {
  Set("Status", 1);
  Set("Write Timeout", 0);
  ASSERT_TRUE(qvaiso::CreateDirectoryPath(config_.File("Audit")));
  int holder = ::open(AuditFile().c_str(), O_WRONLY | O_CREAT, 0666);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  {
    qv::eventlog::ScopedCapture capture;
    AddAuditEntry(1, "po", "joe", "lost entry", 0, 0);
    auto entries = capture.sink().entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].type, qv::eventlog::EventType::Error);
    EXPECT_EQ(entries[0].eventId, 10000u);
    ASSERT_EQ(entries[0].strings.size(), 2u);
    // The Windows number for a file another writer holds: a sharing violation.
    EXPECT_EQ(entries[0].strings[0], "Quorvia System Option Provider error: 32");
    EXPECT_EQ(entries[0].strings[1], "Timed out waiting to access audit file (" + AuditFile() +
                                         ") to log lost entry. Result=32");
  }
  EXPECT_EQ(ReadFile(AuditFile()), "");

  // With time to wait, the entry is written once the holder lets go.
  Set("Write Timeout", 30);
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::close(holder);
  });
  AddAuditEntry(1, "po", "joe", "waited", 0, 0);
  release.join();
  EXPECT_NE(ReadFile(AuditFile()).find("] waited\r\n"), std::string::npos);
}

TEST_F(AuditTest, APermanentFailureIsReportedAtOnceWithoutWaiting) {
  Set("Status", 1);
  Set("Write Timeout", 80);  // 80 s of retries, if a permanent failure were retried
  // A postoffice whose mailbox folder is a file: the log's folder cannot exist.
  ASSERT_TRUE(qvaiso::CreateDirectoryPath(config_.File("Audit/po")));
  ASSERT_TRUE(WriteFile(config_.File("Audit/po/joe"), "not a folder"));
  ASSERT_TRUE(qvaiso::CreateDirectoryPath(mailRoot_.File("po/MAILROOT")));
  qv::eventlog::ScopedCapture capture;
  const auto start = std::chrono::steady_clock::now();
  AddAuditEntry(1, "po", "joe", "lost entry", 0, 0);
  // A name too long for the file system.
  AddAuditEntry(1, "po", std::string(300, 'm').c_str(), "long entry", 0, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  auto entries = capture.sink().entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].strings[0], "Quorvia System Option Provider error: 3");  // path not found
  EXPECT_NE(entries[0].strings[1].find("Cannot access audit file ("), std::string::npos);
  EXPECT_NE(entries[0].strings[1].find(") to log lost entry. Result=3"), std::string::npos)
      << entries[0].strings[1];
  EXPECT_EQ(entries[1].strings[0], "Quorvia System Option Provider error: 206");  // name too long
}

// Run in child processes by the test below; skipped otherwise.
TEST(AuditWriterProcess, Writes) {
  const char* writer = std::getenv("QV_AUDIT_WRITER");
  if (writer == nullptr) GTEST_SKIP() << "run by AuditTest.WritersInSeveralProcesses";
  std::string padding(300, 'p');
  for (int line = 0; line < 200; ++line) {
    std::string text = "writer " + std::string(writer) + " line " + std::to_string(line) + " " +
                       padding;
    AddAuditEntry(1, "po", "joe", text.c_str(), 0, 0);
  }
}

TEST_F(AuditTest, WritersInSeveralProcessesNeverLoseOrInterleaveLines) {
  Set("Status", 1);
  MakePostoffice("po");
  constexpr int kWriters = 4;
  std::vector<pid_t> children;
  for (int writer = 0; writer < kWriters; ++writer) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // A fresh process image: nothing of this one (registry connections
      // included) is shared with the child.
      std::string id = std::to_string(writer);
      ::setenv("QV_AUDIT_WRITER", id.c_str(), 1);
      int quiet = ::open("/dev/null", O_WRONLY);
      if (quiet >= 0) ::dup2(quiet, STDOUT_FILENO);
      ::execl("/proc/self/exe", "audit_test", "--gtest_filter=AuditWriterProcess.Writes",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }

  std::string text = ReadFile(AuditFile("po/joe"));
  ASSERT_EQ(text.substr(text.size() - 2), "\r\n");
  std::vector<std::string> lines = Lines(text);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kWriters * 200));
  static const std::regex kLine(
      R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d\t\[0\.0\] writer (\d) line (\d+) p{300})");
  std::map<int, std::vector<int>> seen;
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, kLine)) << line;
    seen[std::stoi(match[1])].push_back(std::stoi(match[2]));
  }
  ASSERT_EQ(seen.size(), static_cast<size_t>(kWriters));
  for (const auto& [writer, numbers] : seen) {
    ASSERT_EQ(numbers.size(), 200u) << writer;
    for (int i = 0; i < 200; ++i) EXPECT_EQ(numbers[i], i) << writer;  // in order, none lost
  }
}

TEST(AuditFileName, TwoDigitYearMonthAndDayOfTheLocalDate) {
  std::tm local{};
  local.tm_year = 126;
  local.tm_mon = 11;
  local.tm_mday = 7;
  local.tm_hour = 12;
  local.tm_isdst = -1;
  EXPECT_EQ(qvaiso::audit::AuditFileName(std::mktime(&local)), "AUDIT-261207.log");
}

TEST(AuditAge, WholeMinutesOfElapsedTime) {
  using qvaiso::audit::AgeInMinutes;
  EXPECT_EQ(AgeInMinutes(1000, 1000), 0);
  EXPECT_EQ(AgeInMinutes(1059, 1000), 0);
  EXPECT_EQ(AgeInMinutes(1060, 1000), 1);
  EXPECT_EQ(AgeInMinutes(7201 * 60, 0), 7201);
  EXPECT_LT(AgeInMinutes(1000, 1060), 0);
  // Across the end of a 31-day month the age is the real one.
  std::tm endOfMonth{};
  endOfMonth.tm_year = 126;
  endOfMonth.tm_mon = 0;
  endOfMonth.tm_mday = 31;
  endOfMonth.tm_hour = 12;
  std::time_t written = timegm(&endOfMonth);
  EXPECT_EQ(AgeInMinutes(written + 24 * 3600, written), 24 * 60);
}

}  // namespace
