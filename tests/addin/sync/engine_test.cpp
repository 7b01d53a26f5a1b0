// The synchronisation run end to end, per class and in direct and batch mode:
// emulated Outlook on one side, the servlet emulator over loopback HTTP on the
// other.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "tests/addin/sync/sync_fixture.h"

namespace qvsync::testing {
namespace {

// How one class is made and named on each side.
struct ClassCase {
  const char* messageClass;
  const char* listCommand;
  const char* serverSubjectField;  // the server field that carries the subject
};

const ClassCase kTasks{"TASK", "LIST-TASKS", "Subject"};
const ClassCase kAppointments{"APPOINTMENT", "LIST-APPOINTMENTS", "Description"};
const ClassCase kContacts{"CONTACT", "LIST-CONTACTS", "FullName"};

class EngineTest : public SyncFixture, public ::testing::WithParamInterface<std::tuple<ClassCase, bool>> {
 protected:
  EngineTest() {
    Config().batchMode = std::get<1>(GetParam()) ? 1 : 0;
    // Only this class is synchronised, so what the run does is all its own.
    Config().taskSyncMode = Config().calendarSyncMode = Config().contactSyncMode = 0;
    const std::string cls = Case().messageClass;
    (cls == "TASK"          ? Config().taskSyncMode
     : cls == "APPOINTMENT" ? Config().calendarSyncMode
                            : Config().contactSyncMode) = 1;
  }

  const ClassCase& Case() const { return std::get<0>(GetParam()); }
  const char* Cls() const { return Case().messageClass; }

  Variant AddLocal(const std::string& subject) {
    const std::string cls = Cls();
    if (cls == "CONTACT") {
      return qv::outlook::AddItem(Folder(Cls()),
                                  {{"FullName", subject}, {"Email1Address", Lower(subject) + "@example.com"}});
    }
    if (cls == "APPOINTMENT") {
      return qv::outlook::AddItem(Folder(Cls()),
                                  {{"Subject", subject}, {"Start", "2026-12-10 10:00"}, {"End", "2026-12-10 11:00"}});
    }
    return qv::outlook::AddItem(Folder(Cls()), {{"Subject", subject}});
  }

  static std::string Lower(std::string text) {
    std::replace(text.begin(), text.end(), ' ', '.');
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
  }

  qv::servlet::FormFields ServerFields(const std::string& subject) const {
    const std::string cls = Cls();
    if (cls == "CONTACT") {
      const size_t space = subject.find(' ');
      return {{"FirstName", subject.substr(0, space)},
              {"LastName", space == std::string::npos ? "" : subject.substr(space + 1)},
              {"FullName", subject},
              {"EMail", Lower(subject) + "@example.com"}};
    }
    if (cls == "APPOINTMENT") {
      return {{"StartTime", "2026-12-09-09-00"}, {"FinishTime", "2026-12-09-09-30"}, {"Description", subject},
              {"AllDayEvent", "0"}};
    }
    return {{"Subject", subject}, {"Importance", "1"}};
  }

  std::string AddRemote(const std::string& subject) {
    return servlet_.AddItem(kUser, Cls(), ServerFields(subject));
  }

  std::vector<std::string> ServerSubjects() {
    std::vector<std::string> subjects;
    for (const auto& item : ServerItems(Cls())) subjects.push_back(Field(item, Case().serverSubjectField));
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  std::string RemoteUid(const std::string& subject) {
    for (const auto& item : ServerItems(Cls()))
      if (Field(item, Case().serverSubjectField) == subject) return item.uid;
    return "";
  }

  // What an unchanged run sends.
  std::vector<std::string> QuietRun() const { return {"LOGIN", Case().listCommand}; }
};

using Strings = std::vector<std::string>;

TEST_P(EngineTest, AFirstRunAddsEverythingBothWaysAndASecondSendsOnlyTheList) {
  AddLocal("Local One");
  AddLocal("Local Two");
  AddRemote("Remote One");

  Sync();
  EXPECT_EQ(OutlookSubjects(Cls()), (Strings{"Local One", "Local Two", "Remote One"}));
  EXPECT_EQ(ServerSubjects(), (Strings{"Local One", "Local Two", "Remote One"}));
  EXPECT_FALSE(LoggedContaining("is in an unknown state"));
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_FALSE(modBatch::BatchFileExists(Cls()));

  servlet_.ClearRequests();
  ClearLog();
  Sync();
  EXPECT_EQ(Commands(), QuietRun());
  EXPECT_EQ(OutlookSubjects(Cls()), (Strings{"Local One", "Local Two", "Remote One"}));
  EXPECT_EQ(ServerSubjects().size(), 3u);
  // The per-item lines of the troubleshooting log.
  EXPECT_TRUE(LoggedContaining("] with EID=")) << "validated";
  EXPECT_TRUE(LoggedContaining("] is already synchronized. (It exists in the conversion table"));
  EXPECT_TRUE(LoggedContaining("Checking Outlook for Item UID="));
}

TEST_P(EngineTest, EditsAndDeletionsOnEitherSideArriveOnTheOther) {
  AddLocal("Local A");
  AddLocal("Local B");
  AddRemote("Remote C");
  AddRemote("Remote D");
  Sync();
  ASSERT_EQ(ServerSubjects(), (Strings{"Local A", "Local B", "Remote C", "Remote D"}));

  Advance();
  Variant localA = OutlookItem(Cls(), "Local A");
  ASSERT_FALSE(localA.IsNothing());
  const std::string subjectProperty = std::string(Cls()) == "CONTACT" ? "FullName" : "Subject";
  qv::outlook::EditItem(localA, {{subjectProperty, "Local A2"}});
  qv::outlook::DeleteItem(OutlookItem(Cls(), "Local B"));  // into "Deleted Items"
  ASSERT_TRUE(servlet_.ChangeItem(kUser, RemoteUid("Remote C"), ServerFields("Remote C2")));
  ASSERT_TRUE(servlet_.DeleteItem(kUser, RemoteUid("Remote D")));

  Sync();
  EXPECT_EQ(OutlookSubjects(Cls()), (Strings{"Local A2", "Remote C2"}));
  EXPECT_EQ(ServerSubjects(), (Strings{"Local A2", "Remote C2"}));
  // The item deleted in Outlook stays in "Deleted Items"; the one the server
  // removed went there too.
  EXPECT_EQ(DeletedSubjects(), (Strings{"Local B", "Remote D"}));

  servlet_.ClearRequests();
  Sync();
  EXPECT_EQ(Commands(), QuietRun());
}

TEST_P(EngineTest, AnEditOfAnItemTheServerNoLongerHasDeletesTheLocalItem) {
  AddLocal("Gone Soon");
  Sync();
  Advance();
  qv::outlook::EditItem(OutlookItem(Cls(), "Gone Soon"), {{"Body", "changed"}});
  ASSERT_TRUE(servlet_.DeleteItem(kUser, RemoteUid("Gone Soon")));

  Sync();
  EXPECT_EQ(OutlookSubjects(Cls()), Strings{});
  // Deleted once: it waits in "Deleted Items", whichever path noticed first.
  EXPECT_EQ(DeletedSubjects(), Strings{"Gone Soon"});
  EXPECT_EQ(ServerSubjects(), Strings{});
  if (Config().batchMode == 0) {
    EXPECT_TRUE(Logged("Outlook Item [Gone Soon] could not be edited on server because it has been removed from the "
                       "server. Deleting local item"));
  }
  servlet_.ClearRequests();
  Sync();
  EXPECT_EQ(Commands(), QuietRun());
}

TEST_P(EngineTest, DirectionOneOnlySendsAndDirectionTwoOnlyReceives) {
  AddLocal("Local Only");
  AddRemote("Remote Only");

  Config().direction = 1;
  Sync();
  EXPECT_EQ(ServerSubjects(), (Strings{"Local Only", "Remote Only"}));
  EXPECT_EQ(OutlookSubjects(Cls()), Strings{"Local Only"});
  for (const std::string& command : Commands()) EXPECT_EQ(command.rfind("LIST-", 0), std::string::npos);

  Advance();
  AddLocal("Second Local");
  servlet_.ClearRequests();
  ClearLog();
  Config().direction = 2;
  Sync();
  EXPECT_EQ(OutlookSubjects(Cls()), (Strings{"Local Only", "Remote Only", "Second Local"}));
  EXPECT_EQ(ServerSubjects(), (Strings{"Local Only", "Remote Only"}));
  EXPECT_FALSE(LoggedContaining("Client->Server"));
}

TEST_P(EngineTest, RestrictLeavesOlderItemsAlone) {
  lead_ = -5 * 86400.0;
  AddLocal("Old Item");
  lead_ = 0;
  AddLocal("New Item");
  Config().restrict = 1;
  Config().restrictValue = 2;

  Sync();
  EXPECT_EQ(ServerSubjects(), Strings{"New Item"});
  // The list asks only for what changed since then.
  const qv::outlook::DateParts since =
      qv::outlook::SplitDate(qv::outlook::AddSeconds(qv::outlook::LocalNow(), -2 * 86400.0));
  char day[16];
  std::snprintf(day, sizeof day, "%04d-%02d-%02d", since.year, since.month, since.day);
  bool listed = false;
  for (const auto& request : servlet_.Requests()) {
    if (request.command != Case().listCommand) continue;
    listed = true;
    EXPECT_NE(request.body.find(std::string("&Since=") + day), std::string::npos) << request.body;
  }
  EXPECT_TRUE(listed);
}

INSTANTIATE_TEST_SUITE_P(Classes, EngineTest,
                         ::testing::Combine(::testing::Values(kTasks, kAppointments, kContacts),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).messageClass) +
                                  (std::get<1>(info.param) ? "_Batch" : "_Direct");
                         });

// The driver over all classes.
class DriverTest : public SyncFixture {};

TEST_F(DriverTest, ACancelDuringTasksLeavesAppointmentsAndContactsUntouched) {
  for (const char* subject : {"T1", "T2", "T3"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  qv::outlook::AddItem(Folder("APPOINTMENT"), {{"Subject", "Meeting"}});
  qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Dan Fox"}});
  servlet_.AddItem(kUser, "APPOINTMENT", {{"Description", "Remote meeting"}});
  progress_.CancelWhen([](const qv::ui::ProgressSnapshot& shown, int) {
    return shown.caption == "Synchronizing Tasks.." && shown.value == 2;
  });

  Sync();
  for (const std::string& command : Commands()) {
    EXPECT_EQ(command.find("APPOINTMENT"), std::string::npos) << command;
    EXPECT_EQ(command.find("CONTACT"), std::string::npos) << command;
  }
  EXPECT_EQ(servlet_.ListItems(kUser, "APPOINTMENT").size(), 1u);
  EXPECT_TRUE(servlet_.ListItems(kUser, "CONTACT").empty());
  EXPECT_EQ(OutlookSubjects("APPOINTMENT"), Strings{"Meeting"});
  EXPECT_TRUE(Logged("Synchronization was aborted by the user"));
  EXPECT_TRUE(Logged("Task Synchronization Complete!"));
  EXPECT_TRUE(Logged("Synchronizing Completed"));
  EXPECT_FALSE(Logged("Synchronizing Appointments.."));
  // The first task was sent before the cancel; the table remembers it.
  EXPECT_EQ(servlet_.ListItems(kUser, "TASK").size(), 1u);
}

TEST_F(DriverTest, WithEverySyncModeOffTheRunLogsInAndTouchesNothing) {
  Config().taskSyncMode = Config().calendarSyncMode = Config().contactSyncMode = 0;
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Stay"}});
  servlet_.AddItem(kUser, "CONTACT", {{"FullName", "Eve Ray"}});

  Sync();
  EXPECT_EQ(Commands(), Strings{"LOGIN"});
  EXPECT_TRUE(Logged("Synchronizing Started.."));
  EXPECT_TRUE(Logged("Synchronizing Completed"));
  EXPECT_TRUE(TableTimes().empty());
  EXPECT_EQ(OutlookSubjects("CONTACT"), Strings{});
}

TEST_F(DriverTest, AnUnconfiguredAccountAndAFailedLoginStopWithTheirBoxes) {
  Config().username = "";
  Sync();
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text,
            "Quorvia Sync Utility is not configured. Please configure it to synchronise with your account.");
  EXPECT_EQ(ui_.boxes()[0].title, "Quorvia Synchronization");
  EXPECT_EQ(ui_.boxes()[0].icon, qv::ui::Icon::Information);
  EXPECT_TRUE(Commands().empty());

  ui_.Clear();
  Config().username = kUser;
  Config().password = "wrong";
  int dialogs = 0;
  modSynchronize::SetConfigurationDialog([&] { ++dialogs; });
  Sync();
  modSynchronize::SetConfigurationDialog(nullptr);
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text, "Quorvia Sync Utility does not seem to be configured.");
  EXPECT_EQ(dialogs, 1);
  EXPECT_TRUE(Logged("Error: Invalid Username or password when attempting to synchronize. Aborted synchronization."));
  EXPECT_EQ(Commands(), Strings{"LOGIN"});
}

TEST_F(DriverTest, WithoutADataDirectoryTheRunStopsBeforeTouchingAnything) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Kept"}});
  Config().dataDirectory = "";
  Sync();
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text,
            "Quorvia Sync Utility has no data directory to keep its synchronization records in. Please configure one.");
  EXPECT_TRUE(Logged("Error: No data directory is configured. Aborted synchronization."));
  EXPECT_TRUE(Commands().empty());
  EXPECT_TRUE(ServerItems("TASK").empty());
}

TEST_F(DriverTest, AUserNameThatCannotNameTheAccountFolderStopsTheRunBeforeAnythingIsWritten) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Kept"}});
  const std::string data = Config().dataDirectory;
  for (const std::string& user : {"../" + std::string(kUser), std::string("a\\b"), std::string("a|b"),
                                 std::string("a\nb")}) {
    ui_.Clear();
    Config().username = user;
    EXPECT_EQ(GetConversionTablePath("Tasks"), "") << user;
    Sync();
    ASSERT_EQ(ui_.boxes().size(), 1u) << user;
    EXPECT_EQ(ui_.boxes()[0].text,
              "Quorvia Sync Utility cannot keep synchronization records for this user name. Please configure a user "
              "name without / \\ * ? \" < > | or control characters.");
    EXPECT_TRUE(Commands().empty()) << user;
  }
  EXPECT_TRUE(Logged("Error: The user name cannot name a folder for the synchronization records. Aborted "
                     "synchronization."));
  EXPECT_TRUE(ServerItems("TASK").empty());
  // Nothing was made beside the data directory either.
  const std::filesystem::path outside = std::filesystem::path(data).parent_path();
  for (const auto& entry : std::filesystem::directory_iterator(outside))
    EXPECT_EQ(entry.path().filename().string().find('@'), std::string::npos) << entry.path();
}

TEST_F(DriverTest, ADistributionListTravelsAsAGroupInBatchMode) {
  Config().batchMode = 1;
  Config().taskSyncMode = Config().calendarSyncMode = 0;
  qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Gil Hart"}, {"Email1Address", "gil@example.com"}});
  Variant list = Folder("CONTACT").get("Items").call("Add", 7);
  list.put("DLName", "Team");
  list.call("Save");

  Sync();
  const auto groups = servlet_.ListItems(kUser, "CONTACTGROUP");
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].uid.substr(32), ".GRP");
  EXPECT_EQ(servlet_.ListItems(kUser, "CONTACT").size(), 1u);

  servlet_.ClearRequests();
  Sync();
  EXPECT_EQ(Commands(), (Strings{"LOGIN", "LIST-CONTACTS"}));
}

}  // namespace
}  // namespace qvsync::testing

namespace qvsync::testing {
namespace {

TEST_F(DriverTest, AServerListArrivesAsADistributionListInEitherMode) {
  Config().taskSyncMode = Config().calendarSyncMode = 0;
  for (int batch : {0, 1}) {
    Config().batchMode = batch;
    const std::string uid = servlet_.AddItem(kUser, "CONTACTGROUP", {{"ObjectType", "Group"}, {"GroupName", "Friends"}});
    Sync();
    int lists = 0;
    for (const auto& item : qv::outlook::ListItems(Folder("CONTACT"))) lists += item.itemClass == kClassDistributionList;
    EXPECT_EQ(lists, 1) << "batch " << batch;
    EXPECT_EQ(qv::outlook::ListItems(Folder("CONTACT")).size(), 1u);
    EXPECT_FALSE(LoggedContaining("Could not update"));
    // Gone from the server: gone from Outlook, before the other mode's turn.
    ASSERT_TRUE(servlet_.DeleteItem(kUser, uid));
    Sync();
    EXPECT_TRUE(qv::outlook::ListItems(Folder("CONTACT")).empty());
  }
}

}  // namespace
}  // namespace qvsync::testing

namespace qvsync::testing {
namespace {

TEST_F(DriverTest, ASecondRunOfTheSameAccountWaitsItsTurn) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Only once"}});
  // Another process synchronising the account holds its lock.
  const std::string lockPath = modBatch::AccountDirectory() + "/_sync.lock";
  int other = ::open(lockPath.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);

  Sync();
  EXPECT_TRUE(Commands().empty());
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text,
            "Quorvia Sync Utility is already synchronizing this account. Please try again when it has finished.");
  EXPECT_TRUE(servlet_.ListItems(kUser, "TASK").empty());

  ::close(other);  // that run ended
  Sync();
  EXPECT_EQ(servlet_.ListItems(kUser, "TASK").size(), 1u);
}

}  // namespace
}  // namespace qvsync::testing

namespace qvsync::testing {
namespace {

TEST_F(DriverTest, AStoredStampOfZeroIsLearntWithoutFetchingOrSavingOnItsOwn) {
  Config().calendarSyncMode = Config().contactSyncMode = 0;
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Known"}});
  Sync();
  const std::string path = AccountDirectory() + "/ic_Tasks.tab";
  std::string text = qv::testing::ReadFile(path);
  // The third field of the one row: the server's stamp.
  const size_t tab = text.find('\t', text.find('\t') + 1);
  ASSERT_NE(tab, std::string::npos);
  const size_t end = text.find_first_of("\t\r", tab + 1);
  const std::string stamp = text.substr(tab + 1, end - tab - 1);
  const std::string rest = text.substr(end);
  ASSERT_NE(stamp, "0");
  // A row whose server stamp was never learnt.
  const auto time = std::filesystem::last_write_time(path);
  ASSERT_TRUE(qv::testing::WriteFile(path, text.substr(0, tab + 1) + "0" + rest));
  std::filesystem::last_write_time(path, time);

  servlet_.ClearRequests();
  Sync();
  EXPECT_EQ(Commands(), (Strings{"LOGIN", "LIST-TASKS"}));  // no GET for it
  EXPECT_EQ(qv::testing::ReadFile(path).substr(tab + 1), "0" + rest);  // not saved for that alone
  EXPECT_EQ(std::filesystem::last_write_time(path), time);

  // Another change of a run writes the learnt stamp too.
  servlet_.AddItem(kUser, "TASK", {{"Subject", "New on the server"}});
  Sync();
  EXPECT_NE(qv::testing::ReadFile(path).find("\t" + stamp + "\t"), std::string::npos);
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Known", "New on the server"}));
}

}  // namespace
}  // namespace qvsync::testing

namespace qvsync::testing {
namespace {

TEST_F(DriverTest, EveryEditedItemTheServerLostIsDeletedNotJustEveryOther) {
  Config().calendarSyncMode = Config().contactSyncMode = 0;
  for (const char* subject : {"One", "Two", "Three", "Four"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  Sync();
  Advance();
  for (const char* subject : {"One", "Two", "Three", "Four"}) {
    for (const auto& item : qv::outlook::ListItems(Folder("TASK")))
      if (item.subject == subject)
        qv::outlook::EditItem(qv::outlook::OpenItem(application_, item.entryId), {{"Body", "edited"}});
  }
  for (const auto& item : servlet_.ListItems(kUser, "TASK")) servlet_.DeleteItem(kUser, item.uid);

  Sync();
  EXPECT_EQ(OutlookSubjects("TASK"), Strings{});
  EXPECT_EQ(DeletedSubjects(), (Strings{"Four", "One", "Three", "Two"}));
  // Each one was met by the walk itself (its EDIT answered 1001), none skipped
  // because an earlier deletion moved it up a position.
  int edits = 0;
  for (const std::string& line : LogLines())
    edits += line.find("could not be edited on server because it has been removed") != std::string::npos;
  EXPECT_EQ(edits, 4);
}

}  // namespace
}  // namespace qvsync::testing

namespace qvsync::testing {
namespace {

TEST_F(DriverTest, AClassWhoseFolderWasNotFoundIsSkipped) {
  AddinState().tasksFolder = Variant();
  qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Fay Lin"}});
  Sync();
  EXPECT_TRUE(Logged("Error: The Outlook folder for message class: TASK could not be found. Operation aborted!"));
  EXPECT_TRUE(Logged("Task Synchronization Complete!"));
  for (const std::string& command : Commands()) EXPECT_EQ(command.find("TASK"), std::string::npos) << command;
  EXPECT_EQ(servlet_.ListItems(kUser, "CONTACT").size(), 1u);
}

}  // namespace
}  // namespace qvsync::testing
