#include "library/support/messages.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "library/support/support.h"
#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;
using qv::testing::ReadFile;
using qv::testing::TempDir;
using qv::testing::WriteFile;

class SystemMessagesTest : public qv::testing::RegistryTest {
 protected:
  SystemMessagesTest() {
    Key root;
    EXPECT_EQ(Key::Create(Hive::LocalMachine, qvaiso::kMachineRoot, &root), Status::Ok);
    EXPECT_EQ(root.SetString("Configuration Directory", config_.path()), Status::Ok);
    Reset();
  }
  ~SystemMessagesTest() override { Reset(); }

  void Reset() {
    qvaiso::ResetConfigurationDirectoryForTesting();
    qvaiso::ResetSystemMessageSettingsForTesting();
  }

  void SetSetting(const char* name, uint32_t value) {
    Key root;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, qvaiso::kMachineRoot, &root), Status::Ok);
    ASSERT_EQ(root.SetDword(name, value), Status::Ok);
    qvaiso::ResetSystemMessageSettingsForTesting();
  }

  std::string File() const { return config_.File("Messages/Messages.xml"); }

  // The ids of the stored messages, newest first.
  std::vector<int> StoredIds() {
    pugi::xml_document document;
    EXPECT_TRUE(document.load_file(File().c_str()));
    std::vector<int> ids;
    for (pugi::xml_node message : document.child("SystemMessages").child("Messages").children()) {
      ids.push_back(message.attribute("id").as_int());
    }
    return ids;
  }

  TempDir config_;
};

TEST_F(SystemMessagesTest, DisabledPostsCreateNothing) {
  qvaiso::PostSystemMessage(1, "text", 2, "po", "mb");
  struct stat info {};
  EXPECT_NE(::stat(config_.File("Messages").c_str(), &info), 0);
  SetSetting("System Messages Enabled", 2);
  qvaiso::PostSystemMessage(1, "text", 2, "po", "mb");
  EXPECT_NE(::stat(config_.File("Messages").c_str(), &info), 0);
}

TEST_F(SystemMessagesTest, PostsAtTheSameTimeAreAllKept) {
  SetSetting("System Messages Enabled", 1);
  SetSetting("System Messages Limit", 1000);
  constexpr int kThreads = 8;
  constexpr int kPostsEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kPostsEach; ++i) {
        qvaiso::PostSystemMessage(t * 100 + i, "concurrent", 1, nullptr, nullptr);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::vector<int> ids = StoredIds();
  std::sort(ids.begin(), ids.end());
  std::vector<int> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPostsEach; ++i) expected.push_back(t * 100 + i);
  }
  EXPECT_EQ(ids, expected);
}

TEST_F(SystemMessagesTest, AMessageHasTheLayoutOfTheFile) {
  SetSetting("System Messages Enabled", 1);
  qvaiso::PostSystemMessage(29, "Abuse detected from 10.0.0.1 by smtp", 2, "example.com", "joe");
  qvaiso::PostSystemMessage(7, "plain & <simple>", 0, "", nullptr);

  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(File().c_str())) << ReadFile(File());
  pugi::xml_node messages = document.child("SystemMessages").child("Messages");
  pugi::xml_node newest = messages.first_child();
  EXPECT_STREQ(newest.name(), "SystemMessage");
  EXPECT_STREQ(newest.attribute("id").value(), "7");
  std::vector<std::string> names;
  for (pugi::xml_node child : newest.children()) names.push_back(child.name());
  EXPECT_EQ(names, (std::vector<std::string>{"Time", "Message", "Severity"}));
  EXPECT_STREQ(newest.child_value("Message"), "plain & <simple>");
  EXPECT_STREQ(newest.child_value("Severity"), "Information");

  pugi::xml_node older = newest.next_sibling();
  names.clear();
  for (pugi::xml_node child : older.children()) names.push_back(child.name());
  EXPECT_EQ(names,
            (std::vector<std::string>{"Time", "Message", "Severity", "Postoffice", "Mailbox"}));
  EXPECT_STREQ(older.child_value("Severity"), "Critical");
  EXPECT_STREQ(older.child_value("Postoffice"), "example.com");
  EXPECT_STREQ(older.child_value("Mailbox"), "joe");
  std::string time = older.child_value("Time");
  ASSERT_EQ(time.size(), 19u) << time;
  EXPECT_EQ(time[4], '-');
  EXPECT_EQ(time[10], 'T');
  EXPECT_EQ(time[16], ':');

  qvaiso::PostSystemMessage(8, "w", 1, nullptr, nullptr);
  qvaiso::PostSystemMessage(9, "odd", 5, nullptr, nullptr);
  ASSERT_TRUE(document.load_file(File().c_str()));
  pugi::xml_node first = document.child("SystemMessages").child("Messages").first_child();
  EXPECT_STREQ(first.child_value("Severity"), "");
  EXPECT_STREQ(first.next_sibling().child_value("Severity"), "Warning");
}

TEST_F(SystemMessagesTest, PostingOverTheLimitDropsTheOldest) {
  SetSetting("System Messages Enabled", 1);
  for (int id = 1; id <= 60; ++id) qvaiso::PostSystemMessage(id, "m", 0, nullptr, nullptr);
  std::vector<int> ids = StoredIds();
  ASSERT_EQ(ids.size(), 60u);
  EXPECT_EQ(ids.front(), 60);
  EXPECT_EQ(ids.back(), 1);

  qvaiso::PostSystemMessage(61, "m", 0, nullptr, nullptr);
  ids = StoredIds();
  ASSERT_EQ(ids.size(), 60u);
  EXPECT_EQ(ids.front(), 61);
  EXPECT_EQ(ids.back(), 2);

  // A smaller limit trims the file at the next post; a limit of 0 keeps the newest.
  SetSetting("System Messages Limit", 3);
  qvaiso::PostSystemMessage(62, "m", 0, nullptr, nullptr);
  EXPECT_EQ(StoredIds(), (std::vector<int>{62, 61, 60}));
  SetSetting("System Messages Limit", 0);
  qvaiso::PostSystemMessage(63, "m", 0, nullptr, nullptr);
  EXPECT_EQ(StoredIds(), (std::vector<int>{63}));
}

TEST_F(SystemMessagesTest, DismissedNumbersAreNotPostedAgain) {
  SetSetting("System Messages Enabled", 1);
  ASSERT_EQ(::mkdir(config_.File("Messages").c_str(), 0777), 0);
  ASSERT_TRUE(WriteFile(File(),
                        "<SystemMessages><Messages/><DismissedMessageIds><int>29</int>"
                        "<int> 31 </int></DismissedMessageIds></SystemMessages>"));
  qvaiso::PostSystemMessage(29, "dismissed", 2, nullptr, nullptr);
  qvaiso::PostSystemMessage(31, "dismissed", 2, nullptr, nullptr);
  qvaiso::PostSystemMessage(30, "kept", 2, nullptr, nullptr);
  EXPECT_EQ(StoredIds(), (std::vector<int>{30}));
  // The administration tool's list survives the save.
  pugi::xml_document document;
  ASSERT_TRUE(document.load_file(File().c_str()));
  EXPECT_STREQ(
      document.child("SystemMessages").child("DismissedMessageIds").first_child().child_value(),
      "29");
}

TEST_F(SystemMessagesTest, AFileThatDoesNotLoadIsStartedAgain) {
  SetSetting("System Messages Enabled", 1);
  ASSERT_EQ(::mkdir(config_.File("Messages").c_str(), 0777), 0);
  ASSERT_TRUE(WriteFile(File(), "<SystemMessages><Messages>"));
  qvaiso::PostSystemMessage(5, "m", 0, nullptr, nullptr);
  EXPECT_EQ(StoredIds(), (std::vector<int>{5}));
}

TEST_F(SystemMessagesTest, AFailedSaveKeepsTheStoredMessages) {
  SetSetting("System Messages Enabled", 1);
  qvaiso::PostSystemMessage(1, "kept", 0, nullptr, nullptr);
  std::string before = ReadFile(File());
  qvaiso::FailAtomicWritesAfterForTesting(40);
  qvaiso::PostSystemMessage(2, "lost", 0, nullptr, nullptr);
  qvaiso::FailAtomicWritesAfterForTesting(-1);
  EXPECT_EQ(ReadFile(File()), before);
  EXPECT_EQ(StoredIds(), (std::vector<int>{1}));
}

TEST(FileHelpers, CreateDirectoryPathMakesEveryLevel) {
  TempDir dir;
  EXPECT_TRUE(qvaiso::CreateDirectoryPath(dir.File("a/b/c")));
  EXPECT_TRUE(qvaiso::CreateDirectoryPath(dir.File("a/b/c")));
  ASSERT_TRUE(WriteFile(dir.File("file"), "x"));
  EXPECT_FALSE(qvaiso::CreateDirectoryPath(dir.File("file/sub")));
  EXPECT_FALSE(qvaiso::CreateDirectoryPath(""));
}

TEST(FileHelpers, WriteFileAtomicallyReplacesWholeOrNotAtAll) {
  TempDir dir;
  std::string path = dir.File("f.txt");
  ASSERT_TRUE(qvaiso::WriteFileAtomically(path, "first"));
  ASSERT_TRUE(qvaiso::WriteFileAtomically(path, "second"));
  EXPECT_EQ(ReadFile(path), "second");
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_NE(info.st_mode & S_IRUSR, 0u);
  EXPECT_FALSE(qvaiso::WriteFileAtomically(dir.File("missing/f.txt"), "x"));
  // A folder in the way: the rename fails and the temporary file goes.
  ASSERT_EQ(::mkdir(dir.File("d").c_str(), 0777), 0);
  ASSERT_TRUE(WriteFile(dir.File("d/inside"), "x"));
  EXPECT_FALSE(qvaiso::WriteFileAtomically(dir.File("d"), "x"));
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2);  // f.txt and d
}

// What python3's XML parser reads from Messages.xml: per message, its id and
// the hex of each child's UTF-8 text; "ERROR ..." when the file does not parse.
std::string ReadByPython(const std::string& path) {
  const std::string command =
      "PYTHONIOENCODING=utf-8 python3 -c 'import sys, xml.etree.ElementTree as E\n"
      "try:\n"
      "  root = E.parse(sys.argv[1]).getroot()\n"
      "except Exception as e:\n"
      "  print(\"ERROR\", e); sys.exit(0)\n"
      "for m in root.find(\"Messages\"):\n"
      "  print(m.get(\"id\"), *[c.tag + \"=\" + (c.text or \"\").encode(\"utf-8\").hex()"
      " for c in m if c.tag != \"Time\"])\n' " +
      path;
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    pclose(pipe);
  }
  return output;
}

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST_F(SystemMessagesTest, CodePageTextAndMarkupAreReadBackByAStandardParser) {
  SetSetting("System Messages Enabled", 1);
  qvaiso::PostSystemMessage(29, "Abuse detected from 192.0.2.7 by caf\xE9", 2, nullptr, nullptr);
  qvaiso::PostSystemMessage(7, "a<&>b\r\nc\rd", 1, "P\xF6st", "\x80 box");
  // A control character cannot be held by the file: not posted, the file
  // stays readable.
  qvaiso::PostSystemMessage(8, "bell\x07", 1, nullptr, nullptr);
  qvaiso::PostSystemMessage(9, "fine", 1, "esc\x1b", nullptr);
  EXPECT_EQ(ReadByPython(File()),
            "7 Message=" + Hex("a<&>b\r\nc\rd") + " Severity=" + Hex("Warning") +
                " Postoffice=" + Hex("P\xC3\xB6st") + " Mailbox=" + Hex("\xE2\x82\xAC box") + "\n" +
                "29 Message=" + Hex("Abuse detected from 192.0.2.7 by caf\xC3\xA9") +
                " Severity=" + Hex("Critical") + "\n");
}

TEST_F(SystemMessagesTest, SavesKeepTheFilesModeAndWriteThroughASymbolicLink) {
  SetSetting("System Messages Enabled", 1);
  qvaiso::PostSystemMessage(1, "first", 0, nullptr, nullptr);
  // The administrator keeps the real file elsewhere, owner-only.
  TempDir elsewhere;
  const std::string real = elsewhere.File("Messages.xml");
  ASSERT_EQ(::rename(File().c_str(), real.c_str()), 0);
  ASSERT_EQ(chmod(real.c_str(), 0600), 0);
  ASSERT_EQ(symlink(real.c_str(), File().c_str()), 0);
  qvaiso::PostSystemMessage(2, "second", 0, nullptr, nullptr);
  struct stat info {};
  ASSERT_EQ(lstat(File().c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(StoredIds(), (std::vector<int>{2, 1}));
}

}  // namespace
