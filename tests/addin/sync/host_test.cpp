// The whole product as a user runs it: the qvsync host as a process of its
// own loads the add-in library registered in a temporary registry, the user
// clicks "&Synchronize", and the add-in talks to the servlet emulator served
// by this test on loopback.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "platform/registry/registry.h"
#include "tests/common/test_support.h"
#include "tools/qvservlet/servlet.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

struct Result {
  int status = -1;
  std::string output;
};

class SyncHostTest : public qv::testing::RegistryTest, public ::testing::WithParamInterface<bool> {
 protected:
  SyncHostTest() : data_("XDG_DATA_HOME", dir_.File("xdg")), answer_("QUORVIA_UI_ANSWER", "ok") {
    std::filesystem::create_directory(dir_.File("addin"));
    std::filesystem::create_directory(dir_.File("data"));
    addin_ = dir_.File("addin/libqvsync.so");
    std::filesystem::copy_file(QVSYNC_ADDIN, addin_);
    EXPECT_EQ(Run("register " + addin_).status, 0);
    servlet_.AddUser("ann", "secret");
    EXPECT_TRUE(servlet_.Start());

    Key key;
    EXPECT_EQ(Key::Create(Hive::CurrentUser, "SOFTWARE\\Quorvia\\Outlook Sync\\Default", &key), Status::Ok);
    key.SetString("Host", servlet_.host());
    key.SetString("Username", "ann");
    key.SetString("Password", "secret");
    key.SetString("Data Directory", dir_.File("data"));
    key.SetDword("Troubleshooting Mode", 1);
    key.SetDword("Batch Mode", GetParam() ? 1 : 0);
  }

  Result Run(const std::string& arguments) {
    std::string command = std::string(QVSYNC_HOST) + " --profile " + dir_.File("profile.db") + " " + arguments +
                          " </dev/null 2>&1";
    Result result;
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
  }

  std::vector<std::string> Commands() {
    std::vector<std::string> commands;
    for (const auto& request : servlet_.Requests()) commands.push_back(request.command);
    return commands;
  }

  std::vector<std::string> ServerSubjects() {
    std::vector<std::string> subjects;
    for (const auto& item : servlet_.ListItems("ann", "TASK"))
      subjects.push_back(qv::servlet::FieldValue(item.fields, "Subject"));
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  qv::testing::ScopedEnv data_;
  qv::testing::ScopedEnv answer_;
  std::string addin_;
  qv::servlet::Servlet servlet_;
};

TEST_P(SyncHostTest, ClickingSynchronizeKeepsBothSidesInAgreement) {
  ASSERT_EQ(Run("add Tasks \"Subject=Water the plants\"").status, 0);
  ASSERT_EQ(Run("add Contacts \"FullName=Ann B Smith\" Email1Address=ann.smith@example.com").status, 0);
  const std::string remote = servlet_.AddItem("ann", "TASK", {{"Subject", "File the taxes"}});

  Result first = Run("click \"&Synchronize\"");
  EXPECT_EQ(first.status, 0) << first.output;
  EXPECT_EQ(ServerSubjects(), (std::vector<std::string>{"File the taxes", "Water the plants"}));
  EXPECT_EQ(servlet_.ListItems("ann", "CONTACT").size(), 1u);
  Result tasks = Run("items Tasks");
  EXPECT_NE(tasks.output.find("File the taxes"), std::string::npos) << tasks.output;
  EXPECT_NE(tasks.output.find("Water the plants"), std::string::npos) << tasks.output;

  const std::string log = qv::testing::ReadFile(dir_.File("addin/QVSync.Log"));
  EXPECT_NE(log.find("\tSynchronizing Tasks..\r\n"), std::string::npos);
  EXPECT_NE(log.find("\tContact Synchronization Complete!\r\n"), std::string::npos);
  EXPECT_EQ(log.find("unknown state"), std::string::npos);

  // Nothing changed: the second click only asks for the lists.
  servlet_.ClearRequests();
  EXPECT_EQ(Run("click \"&Synchronize\"").status, 0);
  EXPECT_EQ(Commands(), (std::vector<std::string>{"LOGIN", "LIST-TASKS", "LIST-APPOINTMENTS", "LIST-CONTACTS"}));

  // A deletion on the server reaches Outlook.
  ASSERT_TRUE(servlet_.DeleteItem("ann", remote));
  EXPECT_EQ(Run("click \"&Synchronize\"").status, 0);
  tasks = Run("items Tasks");
  EXPECT_EQ(tasks.output.find("File the taxes"), std::string::npos) << tasks.output;
  EXPECT_NE(tasks.output.find("Water the plants"), std::string::npos) << tasks.output;
}

INSTANTIATE_TEST_SUITE_P(Modes, SyncHostTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? std::string("Batch") : std::string("Direct"); });

}  // namespace
