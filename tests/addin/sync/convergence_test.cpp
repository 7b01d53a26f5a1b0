// Runs that fail, overlap or meet odd names, and what the next clean run
// makes of them: every edit arrives, nothing is left on one side only,
// nothing is there twice. Each test is one way this went wrong.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "addin/codec/item_codec.h"
#include "addin/sync/conversion_table.h"
#include "tests/addin/sync/sync_fixture.h"

namespace qvsync::testing {
namespace {

using Strings = std::vector<std::string>;
using qv::servlet::Fault;
using qv::servlet::Loss;

constexpr const char* kFailedBatchBox =
    "There was a problem with the last batch sent to the server. Please sync again to send any which failed again.";

class Convergence : public SyncFixture {
 protected:
  Convergence() { Config().calendarSyncMode = Config().contactSyncMode = 0; }
  bool Batch() const { return Config().batchMode == 1; }

  Variant Task(const std::string& subject) { return OutlookItem("TASK", subject); }
  void EditTask(const std::string& subject, const std::string& field, const std::string& value) {
    Variant item = Task(subject);
    ASSERT_FALSE(item.IsNothing()) << subject;
    qv::outlook::EditItem(item, {{field, value}});
  }
  std::string ServerUid(const std::string& subject) {
    for (const auto& item : ServerItems("TASK"))
      if (Field(item, "Subject") == subject) return item.uid;
    return "";
  }
  // A server field of the task named `subject`; "<missing>" without one.
  std::string ServerField(const std::string& subject, const std::string& field) {
    for (const auto& item : ServerItems("TASK"))
      if (Field(item, "Subject") == subject) return Field(item, field);
    return "<missing>";
  }
  std::string OutlookField(const std::string& subject, const std::string& field) {
    Variant item = Task(subject);
    return item.IsNothing() ? "<missing>" : item.get(field).ToText();
  }
  Strings ServerSubjects(const char* cls = "TASK", const char* field = "Subject") {
    Strings subjects;
    for (const auto& item : ServerItems(cls)) subjects.push_back(Field(item, field));
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }
  bool ShownBox(const std::string& text) const {
    for (const auto& box : ui_.boxes())
      if (box.text == text) return true;
    return false;
  }
  // A run whose BATCH (batch mode) or whose first EDIT (direct mode) gets no answer.
  void SyncLosingTheChanges() {
    if (Batch()) servlet_.SetFault(Fault::kBatchAsHtml);
    else servlet_.LoseRequest("EDIT-", 1, Loss::kRequest);
    Sync();
    servlet_.SetFault(Fault::kNone);
    servlet_.LoseRequest("", 1000000, Loss::kRequest);  // disarmed
  }
  size_t Requests(const std::string& command) const {
    size_t n = 0;
    for (const auto& request : servlet_.Requests()) {
      if (request.command == command) ++n;
      if (request.command == "BATCH")
        for (size_t at = request.body.find("Cmd=" + command); at != std::string::npos;
             at = request.body.find("Cmd=" + command, at + 1))
          ++n;
    }
    return n;
  }
};

// The tests that hold in both modes.
class ConvergenceTest : public Convergence, public ::testing::WithParamInterface<bool> {
 protected:
  ConvergenceTest() { Config().batchMode = GetParam() ? 1 : 0; }
};

// Those that hold in one.
class BatchConvergenceTest : public Convergence {
 protected:
  BatchConvergenceTest() { Config().batchMode = 1; }
};
class DirectConvergenceTest : public Convergence {};

INSTANTIATE_TEST_SUITE_P(Modes, ConvergenceTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? std::string("Batch") : std::string("Direct"); });

// A server item pulled into Outlook by a run that then failed is no Outlook
// edit: the next runs bring the server's newer edit over, never the pulled copy back.
TEST_P(ConvergenceTest, AnItemPulledByAFailedRunIsNotSentBackOverANewerServerEdit) {
  for (const char* subject : {"X", "Y"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  Sync();
  Advance();
  ASSERT_TRUE(servlet_.ChangeItem(kUser, ServerUid("X"), {{"Companies", "X1"}}));
  EditTask("Y", "Companies", "Y1");  // something for the failing run to send
  SyncLosingTheChanges();
  ASSERT_EQ(OutlookField("X", "Body"), "");
  Advance();
  ASSERT_TRUE(servlet_.ChangeItem(kUser, ServerUid("X"), {{"Subject", "X2"}}));
  Sync();
  Advance();
  Sync();
  EXPECT_EQ(ServerSubjects(), (Strings{"X2", "Y"}));
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"X2", "Y"}));
  EXPECT_EQ(ServerField("Y", "Companies"), "Y1") << "the edit the failed run could not send";
}

// Two failed runs in a row: the first leaves an add for the second to
// confirm, the second fails to send an edit made between them. It arrives all the same.
TEST_P(ConvergenceTest, AnEditSurvivesTwoFailedRunsInARow) {
  for (const char* subject : {"Edited", "Other"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  Sync();
  Advance();
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "New"}});
  if (Batch()) servlet_.SetFault(Fault::kDropAfterBatch);  // carried out, the answer lost
  else servlet_.LoseRequest("ADD-", 1, Loss::kReply);
  Sync();
  servlet_.SetFault(Fault::kNone);
  Advance();
  EditTask("Edited", "Companies", "Contoso");
  Advance();
  SyncLosingTheChanges();  // confirms the add, then loses the edit
  Advance();
  Sync();
  EXPECT_EQ(ServerField("Edited", "Companies"), "Contoso");
  EXPECT_EQ(ServerSubjects(), (Strings{"Edited", "New", "Other"}));
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Edited", "New", "Other"}));
}

// A BATCH answered with anything but a batch reply was not carried out.
TEST_F(BatchConvergenceTest, ABatchAnsweredWithAnErrorDocumentOrStrangeElementsCountsAsFailed) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Edited"}});
  Sync();
  for (const char* reply : {"", "<BATCHRESPONSE><SOMETHING>1</SOMETHING><ELSE/></BATCHRESPONSE>"}) {
    SCOPED_TRACE(reply);
    Advance();
    EditTask("Edited", "Companies", std::string("C") + reply);
    ui_.Clear();
    qv::ui::ClearCommandFailures();
    if (*reply == '\0') servlet_.SetFault(Fault::kBatchAsError);
    else servlet_.SetCannedReply("BATCH", std::string(reply));
    Sync();
    servlet_.SetFault(Fault::kNone);
    servlet_.SetCannedReply("BATCH", std::nullopt);
    EXPECT_TRUE(ShownBox(kFailedBatchBox));
    EXPECT_NE(qv::ui::CommandFailures(), "");
    Advance();
    Sync();
    EXPECT_EQ(ServerField("Edited", "Companies"), std::string("C") + reply);
  }
  qv::ui::ClearCommandFailures();
}

// Direct mode: an add that got no answer is sent again, however old its
// item (batch mode: FaultTest.AnAddThatNeverArrivedIsSentEvenWhenThePassNoLongerReachesIt).
TEST_F(DirectConvergenceTest, AnUnansweredAddIsSentAgainWhenThePassNoLongerReachesIt) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Synced"}});
  Sync();
  AddItemMadeDaysAgo("TASK", "Never arrived");
  servlet_.LoseRequest("ADD-", 1, Loss::kRequest);
  Sync();
  ASSERT_EQ(ServerSubjects(), Strings{"Synced"});
  SetTableTimes(0);  // the failed run wrote its table: the item is older than the next run's SinceDate
  ClearLog();
  Sync();
  EXPECT_TRUE(Logged("Item [Never arrived] of the last failed batch is being added to the server"));
  Sync();
  EXPECT_EQ(ServerSubjects(), (Strings{"Never arrived", "Synced"}));
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Never arrived", "Synced"}));
}

// Contacts named after their e-mail address: shared, escaped, or taken.
TEST_P(ConvergenceTest, ContactsWhoseAddressCannotNameThemStillArriveOnceEach) {
  Config().taskSyncMode = 0;
  Config().contactSyncMode = 1;
  const Strings people = {"Ann One", "Ann Two", "Amp Sand", "Plus Sign", "Omega Man", "Taken Name"};
  const Strings addresses = {"ann@example.com", "ann@example.com", "r&d@example.com", "a+b@example.com",
                             "\xCE\xA9mega@example.com", "taken@example.com"};
  // Another server contact already carries the name the last address would give.
  servlet_.AddItem(kUser, "CONTACT", {{"FullName", "Server Person"}, {"EMail", "other@example.com"}},
                   "taken@example.com.VCF");
  for (size_t i = 0; i < people.size(); ++i)
    qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", people[i]}, {"Email1Address", addresses[i]}});
  Sync();
  Sync();
  Strings expected = people;
  expected.push_back("Server Person");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ServerSubjects("CONTACT", "FullName"), expected);
  EXPECT_EQ(OutlookSubjects("CONTACT"), expected);
  for (size_t i = 0; i < people.size(); ++i)
    for (const auto& item : ServerItems("CONTACT"))
      if (Field(item, "FullName") == people[i]) EXPECT_EQ(Field(item, "EMail"), addresses[i]) << people[i];
  servlet_.ClearRequests();
  Sync();
  EXPECT_EQ(Commands(), (Strings{"LOGIN", "LIST-CONTACTS"}));
}

// The appointment's own UID property arrives as it was.
TEST_P(ConvergenceTest, AnAppointmentUidArrivesWhole) {
  Config().taskSyncMode = 0;
  Config().calendarSyncMode = 1;
  Variant meeting = qv::outlook::AddItem(Folder("APPOINTMENT"), {{"Subject", "Meeting"}});
  qv::outlook::Bytes uid;
  for (int i = 0; i < 60; ++i) uid.push_back(static_cast<uint8_t>(0xF8 + i % 8));  // Base64 full of "+" and "/"
  Variant wrapper = application_.call("CreateObject", "Redemption.SafeAppointmentItem");
  wrapper.put("Item", meeting);
  wrapper.put("Fields", {Variant(kTagAppointmentUid)}, Variant(uid));
  meeting.call("Save");
  Sync();
  const auto items = servlet_.ListItems(kUser, "APPOINTMENT");
  ASSERT_EQ(items.size(), 1u);
  const std::string sent = Field(items[0], "AppointmentUID");
  std::string decoded = B64Decode(sent);
  EXPECT_EQ(qv::outlook::Bytes(decoded.begin(), decoded.end()), uid) << sent;
}

// A distribution list whose new members cannot all be told apart keeps the members it had.
TEST_P(ConvergenceTest, AListWhoseNewMemberIsAmbiguousKeepsItsMembers) {
  Config().taskSyncMode = 0;
  Config().contactSyncMode = 1;
  qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Bob Stone"}, {"Email1Address", "bob@example.com"}});
  qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Ann Lee"}, {"Email1Address", "ann1@example.com"}});
  qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Ann Lee"}, {"Email1Address", "ann2@example.com"}});
  Sync();
  Variant list = Folder("CONTACT").get("Items").call("Add", 7);
  list.put("DLName", "Team");
  Variant scratch = application_.call("CreateItem", 0);
  scratch.get("Recipients").call("Add", "Bob Stone");
  scratch.get("Recipients").call("ResolveAll");
  list.call("AddMembers", scratch.get("Recipients"));
  list.call("Save");
  Advance();
  Sync();
  Sync();
  const auto groups = servlet_.ListItems(kUser, "CONTACTGROUP");
  ASSERT_EQ(groups.size(), 1u);
  std::string annUid;
  for (const auto& item : servlet_.ListItems(kUser, "CONTACT"))
    if (Field(item, "EMail") == "ann1@example.com") annUid = item.uid;
  const std::string bobOnly = Field(groups[0], "Members");
  ASSERT_NE(bobOnly, "");
  // On the server Ann Lee (the first) joins the list.
  Advance();
  ASSERT_TRUE(servlet_.ChangeItem(kUser, groups[0].uid, {{"Members", bobOnly + ";" + annUid}}));
  ClearLog();
  Sync();
  Advance();
  Sync();
  Variant kept = OutlookItem("CONTACT", "Team");
  ASSERT_FALSE(kept.IsNothing());
  EXPECT_EQ(kept.get("MemberCount").ToLong(), 1) << "Bob stays";
  EXPECT_NE(Field(*servlet_.GetItem(kUser, groups[0].uid), "Members"), "") << "never sent back empty";
  EXPECT_TRUE(LoggedContaining("could not be brought up to date"));
}

// An item edited on both sides between two runs: Outlook's version, on both sides.
TEST_P(ConvergenceTest, AnItemEditedOnBothSidesEndsWithOutlooksVersionOnBoth) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Both"}});
  Sync();
  Advance();
  ASSERT_TRUE(servlet_.ChangeItem(kUser, ServerUid("Both"), {{"Subject", "Both on the server"}}));
  EditTask("Both", "Subject", "Both in Outlook");
  Sync();
  EXPECT_EQ(ServerSubjects(), Strings{"Both in Outlook"});
  EXPECT_EQ(OutlookSubjects("TASK"), Strings{"Both in Outlook"});
  servlet_.ClearRequests();
  Advance();
  Sync();
  EXPECT_EQ(Commands(), (Strings{"LOGIN", "LIST-TASKS"}));
}

// An edit the server refuses is logged with the server's reason, tried again,
// and given up after a few runs; it never deletes the Outlook item.
TEST_P(ConvergenceTest, AnEditTheServerRefusesIsLoggedAndTriedAgainAFewTimes) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Refused"}});
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Fine"}});
  Sync();
  Advance();
  EditTask("Refused", "Companies", "Bell \x07 rings");  // no XML can carry it
  ClearLog();
  Sync();
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Fine", "Refused"}));
  EXPECT_TRUE(DeletedSubjects().empty());
  EXPECT_TRUE(LoggedContaining("a character XML cannot carry")) << "the server's reason";
  EXPECT_NE(qv::ui::CommandFailures(), "");
  qv::ui::ClearCommandFailures();
  for (int run = 0; run < 5; ++run) {
    Advance();
    Sync();
  }
  EXPECT_EQ(Requests("EDIT-TASK"), 3u) << "sent three times in all, then left until it changes again";
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Fine", "Refused"}));
  // Changed again, it is sent again, and now taken.
  Advance();
  EditTask("Refused", "Companies", "Fixed");
  Sync();
  EXPECT_EQ(ServerField("Refused", "Companies"), "Fixed");
  qv::ui::ClearCommandFailures();
}

// An unchanged run after a learnt stamp reports no interrupted run.
TEST_P(ConvergenceTest, ALearntStampLeavesNothingForTheNextRunToRecover) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Known"}});
  Sync();
  const std::string path = AccountDirectory() + "/ic_Tasks.tab";
  std::string text = qv::testing::ReadFile(path);
  const size_t stamp = text.find('\t', text.find('\t') + 1) + 1;
  text.replace(stamp, text.find_first_of("\t\r", stamp) - stamp, "0");
  ASSERT_TRUE(qv::testing::WriteFile(path, text));
  Sync();
  ClearLog();
  Sync();
  EXPECT_FALSE(LoggedContaining("Recovered")) << "nothing was interrupted";
}

// A batch reply that answers only some requests: the rest wait for the next run.
TEST_F(BatchConvergenceTest, ABatchReplyCutShortLeavesTheUnansweredForTheNextRun) {
  for (const char* subject : {"A", "B", "C"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  servlet_.AddItem(kUser, "TASK", {{"Subject", "S"}});
  servlet_.SetBatchReplyLimit(1);
  Sync();
  servlet_.SetBatchReplyLimit(std::nullopt);
  EXPECT_TRUE(ShownBox(kFailedBatchBox));
  Sync();
  Sync();
  EXPECT_EQ(ServerSubjects(), (Strings{"A", "B", "C", "S"}));
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"A", "B", "C", "S"}));
  qv::ui::ClearCommandFailures();
}

// A list reply that reports failure is no empty list.
TEST_P(ConvergenceTest, AListReplyReportingFailureDeletesNothing) {
  for (const char* subject : {"1", "2", "3", "4", "5", "6"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  Sync();
  for (const char* reply : {"<RESPONSE><RETURNVALUE>0</RETURNVALUE></RESPONSE>",
                            "<RESPONSE><RETURNVALUE>1</RETURNVALUE><ERROR_VALUE>9</ERROR_VALUE></RESPONSE>"}) {
    servlet_.SetCannedReply("LIST-TASKS", std::string(reply));
    qv::ui::ClearCommandFailures();
    Sync();
    EXPECT_EQ(OutlookSubjects("TASK").size(), 6u) << reply;
    EXPECT_TRUE(DeletedSubjects().empty()) << reply;
    EXPECT_NE(qv::ui::CommandFailures().find("TASK"), std::string::npos) << reply;
  }
  servlet_.SetCannedReply("LIST-TASKS", std::nullopt);
  Sync();
  EXPECT_EQ(ServerSubjects().size(), 6u);
  EXPECT_EQ(OutlookSubjects("TASK").size(), 6u);
  qv::ui::ClearCommandFailures();
}

// Outlook edits that a single table time could not tell from synchronised ones.
TEST_P(ConvergenceTest, EditsInTheLastSecondDuringARunAndAfterTheClockWentBackAreSent) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Same second"}});
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "During run"}});
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Clock back"}});
  Advance();
  Sync();
  EditTask("Same second", "Companies", "quick");  // no Advance: the second the run ended
  // An edit made while the run goes on, once the walk over Outlook is done.
  bool edited = false;
  progress_.CancelWhen([&](const qv::ui::ProgressSnapshot& shown, int) {
    if (!edited && shown.status.rfind("Checking", 0) != 0 && shown.caption.find("Tasks") != std::string::npos &&
        servlet_.Requests().back().command.rfind("LIST-", 0) == 0) {
      edited = true;
      EditTask("During run", "Companies", "meanwhile");
    }
    return false;
  });
  Sync();
  ASSERT_TRUE(edited);
  progress_.CancelWhen(nullptr);
  // The clock is set back an hour (by hand, or the repeated hour when summer
  // time ends): an edit whose local time is before the last sync.
  lead_ -= 3600;
  EditTask("Clock back", "Companies", "earlier");
  Sync();
  EXPECT_EQ(ServerField("Same second", "Companies"), "quick");
  EXPECT_EQ(ServerField("During run", "Companies"), "meanwhile");
  EXPECT_EQ(ServerField("Clock back", "Companies"), "earlier");
}

// A change of time zone neither hides Outlook edits nor makes unchanged items
// look edited (which would send them over the server's newer edits).
TEST_P(ConvergenceTest, AZoneChangeNeitherHidesEditsNorInventsThem) {
  qv::testing::ScopedEnv zone("TZ", "UTC");
  tzset();
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Edited here"}});
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Edited there"}});
  Sync();
  Advance();
  EditTask("Edited here", "Companies", "outlook");
  setenv("TZ", "Asia/Tokyo", 1);  // nine hours east
  tzset();
  Sync();
  EXPECT_EQ(ServerField("Edited here", "Companies"), "outlook");
  Advance();
  ASSERT_TRUE(servlet_.ChangeItem(kUser, ServerUid("Edited there"), {{"Companies", "server"}}));
  setenv("TZ", "America/New_York", 1);  // fourteen hours west of that
  tzset();
  Sync();
  EXPECT_EQ(ServerField("Edited there", "Companies"), "server");
  EXPECT_EQ(ServerField("Edited here", "Companies"), "outlook");
  unsetenv("TZ");
  tzset();
}

// Names outside the code page, and tables that say less than they hold.
TEST_P(ConvergenceTest, AServerUidOutsideTheCodePageReachesOutlookOnce) {
  const std::string uid = "\xCE\xA9mega-\xE4\xBB\xBB\xE5\x8A\xA1.TSK";  // "Ωmega-任务.TSK"
  servlet_.AddItem(kUser, "TASK", {{"Subject", "Wide"}}, uid);
  Sync();
  EXPECT_EQ(OutlookSubjects("TASK"), Strings{"Wide"});
  Sync();
  servlet_.ClearRequests();
  Sync();
  EXPECT_EQ(Commands(), (Strings{"LOGIN", "LIST-TASKS"}));
  EXPECT_EQ(OutlookSubjects("TASK"), Strings{"Wide"});
  EXPECT_EQ(ServerSubjects(), Strings{"Wide"});
}

TEST_P(ConvergenceTest, ATableWhoseCountLineSaysLessIsReadByItsRows) {
  for (const char* subject : {"1", "2", "3"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  Sync();
  const std::string path = AccountDirectory() + "/ic_Tasks.tab";
  std::string text = qv::testing::ReadFile(path);
  ASSERT_EQ(text.substr(0, 5), " 3 \r\n");
  ASSERT_TRUE(qv::testing::WriteFile(path, " 1 \r\n" + text.substr(5)));
  ClearLog();
  Advance();
  Sync();
  EXPECT_EQ(ServerSubjects(), (Strings{"1", "2", "3"}));
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"1", "2", "3"}));
  EXPECT_TRUE(LoggedContaining("holds 3 rows, but its first line says 1"));
}

// A table damaged from outside stops its folder rather than have every item
// added again on both sides.
TEST_F(DirectConvergenceTest, ADamagedTableStopsItsFolderRatherThanAddEverythingAgain) {
  for (const char* subject : {"1", "2"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  Sync();
  ASSERT_TRUE(qv::testing::WriteFile(AccountDirectory() + "/ic_Tasks.tab", "\x01\xFFgarbage\r\nA\tB\tC\r\n"));
  servlet_.ClearRequests();
  Sync();
  EXPECT_EQ(Commands(), Strings{"LOGIN"});
  EXPECT_NE(qv::ui::CommandFailures().find("damaged"), std::string::npos);
  EXPECT_EQ(ServerSubjects(), (Strings{"1", "2"}));
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"1", "2"}));
}

TEST_P(ConvergenceTest, AServerSpelledAnotherWayKeepsItsRecordsOrSaysSoFirst) {
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Once"}});
  const std::string port = std::to_string(servlet_.port());
  Config().host = "localhost:" + port;
  Sync();
  Config().host = "LocalHost:" + port;  // the same server, spelt otherwise
  Sync();
  EXPECT_EQ(ServerSubjects(), Strings{"Once"});
  EXPECT_EQ(OutlookSubjects("TASK"), Strings{"Once"});
  // A spelling that cannot be told to be the same server: asked first.
  Config().host = "127.0.0.1:" + port;
  Attended(true);
  ui_.Clear();
  ui_.QueueAnswer(qv::ui::Answer::No);
  servlet_.ClearRequests();
  Sync();
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_NE(ui_.boxes()[0].text.find("localhost:" + port), std::string::npos) << ui_.boxes()[0].text;
  EXPECT_TRUE(Commands().empty()) << "nothing was sent";
  qv::ui::ClearCommandFailures();
}

}  // namespace
}  // namespace qvsync::testing

#include "addin/sync/record_files.h"

namespace qvsync::testing {
namespace {

// The disk fills up at any byte of a run's records: the run stops where it
// can no longer keep them (saying so), and once there is room again one run
// leaves every item once on each side.
class FullDiskTest : public SyncFixture, public ::testing::WithParamInterface<std::tuple<bool, long>> {
 protected:
  ~FullDiskTest() override { records::SetWriteBudgetForTesting(-1); }
};

TEST_P(FullDiskTest, ARunOnADiskThatFillsUpConvergesOnceThereIsRoom) {
  Config().batchMode = std::get<0>(GetParam()) ? 1 : 0;
  Config().calendarSyncMode = 0;
  for (const char* subject : {"Local 1", "Local 2"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Ann Local"}, {"Email1Address", "ann@example.com"}});
  for (const char* subject : {"Server 1", "Server 2"}) servlet_.AddItem(kUser, "TASK", {{"Subject", subject}});
  servlet_.AddItem(kUser, "CONTACT", {{"FullName", "Bob Server"}});
  records::SetWriteBudgetForTesting(std::get<1>(GetParam()));
  Sync();
  // Every budget here runs out before the run ends.
  EXPECT_NE(qv::ui::CommandFailures().find("cannot keep"), std::string::npos) << qv::ui::CommandFailures();
  records::SetWriteBudgetForTesting(-1);
  qv::ui::ClearCommandFailures();
  Advance();
  Sync();
  EXPECT_EQ(qv::ui::CommandFailures(), "");
  const Strings tasks = {"Local 1", "Local 2", "Server 1", "Server 2"};
  const Strings contacts = {"Ann Local", "Bob Server"};
  EXPECT_EQ(OutlookSubjects("TASK"), tasks);
  EXPECT_EQ(OutlookSubjects("CONTACT"), contacts);
  Strings server;
  for (const auto& item : ServerItems("TASK")) server.push_back(Field(item, "Subject"));
  std::sort(server.begin(), server.end());
  EXPECT_EQ(server, tasks);
  EXPECT_EQ(ServerItems("CONTACT").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Bytes, FullDiskTest,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0, 60, 150, 250, 400, 600, 900, 1400)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Batch" : "Direct") + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace qvsync::testing
