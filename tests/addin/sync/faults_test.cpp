// A synchronisation run when the server fails it: a batch whose answer is
// lost, a batch answered with an HTML page, a list that cannot be fetched.
// Whatever happens, the next run leaves every item once on each side.
#include <algorithm>
#include <set>

#include "addin/sync/conversion_table.h"
#include "addin/sync/item_access.h"
#include "addin/sync/pending_creation.h"
#include "tests/addin/sync/sync_fixture.h"

namespace qvsync::testing {
namespace {

using Strings = std::vector<std::string>;
using qv::servlet::Fault;

constexpr const char* kFailedBatchBox =
    "There was a problem with the last batch sent to the server. Please sync again to send any which failed again.";
constexpr const char* kRecoveryBox =
    "The last synchronisation failed. The items from last batch will be confirmed with server.";

class FaultTest : public SyncFixture {
 protected:
  FaultTest() {
    Config().batchMode = 1;
    Config().calendarSyncMode = 0;
  }

  void AddLocalItems() {
    for (const char* subject : {"Task 1", "Task 2", "Task 3"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
    qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Ann Lee"}, {"Email1Address", "ann@example.com"}});
    qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Bob Stone"}});
    Variant list = Folder("CONTACT").get("Items").call("Add", 7);
    list.put("DLName", "Team");
    list.call("Save");
    servlet_.AddItem(kUser, "TASK", {{"Subject", "Server task"}});
  }

  Strings ServerSubjects(const char* cls, const char* field) {
    Strings subjects;
    for (const auto& item : ServerItems(cls)) subjects.push_back(Field(item, field));
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  // Every item once on both sides.
  void ExpectEverythingOnce() {
    EXPECT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Server task", "Task 1", "Task 2", "Task 3"}));
    EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Server task", "Task 1", "Task 2", "Task 3"}));
    EXPECT_EQ(servlet_.ListItems(kUser, "CONTACT").size(), 2u);
    EXPECT_EQ(servlet_.ListItems(kUser, "CONTACTGROUP").size(), 1u);
    EXPECT_EQ(qv::outlook::ListItems(Folder("CONTACT")).size(), 3u);
  }

  bool ShownBox(const std::string& text) const {
    for (const auto& box : ui_.boxes())
      if (box.text == text) return true;
    return false;
  }
};

TEST_F(FaultTest, ABatchWhoseAnswerIsLostIsConfirmedByTheNextRun) {
  AddLocalItems();
  servlet_.SetFault(Fault::kDropAfterBatch);
  Sync();
  EXPECT_TRUE(ShownBox(kFailedBatchBox));
  EXPECT_TRUE(modBatch::BatchFileExists("TASK"));
  EXPECT_TRUE(modBatch::BatchFileExists("CONTACT"));
  // The server took the batch: the adds are there, the answer never came.
  ASSERT_EQ(servlet_.ListItems(kUser, "TASK").size(), 4u);
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Task 1", "Task 2", "Task 3"}));

  // One add of the batch did not arrive after all.
  for (const auto& item : servlet_.ListItems(kUser, "TASK")) {
    if (qv::servlet::FieldValue(item.fields, "Subject") == "Task 2") servlet_.DeleteItem(kUser, item.uid);
  }

  servlet_.SetFault(Fault::kNone);
  ui_.Clear();
  ClearLog();
  Sync();
  EXPECT_TRUE(ShownBox(kRecoveryBox));
  EXPECT_FALSE(ShownBox(kFailedBatchBox));
  EXPECT_TRUE(Logged("There are 1 items which have to be sent to server from last failed batch."));
  EXPECT_TRUE(LoggedContaining(".TSK succeeded in last failed batch."));
  EXPECT_TRUE(LoggedContaining(".GRP succeeded in last failed batch."));
  EXPECT_FALSE(modBatch::BatchFileExists("TASK"));
  EXPECT_FALSE(modBatch::BatchFileExists("CONTACT"));
  ExpectEverythingOnce();

  ui_.Clear();
  Sync();
  EXPECT_TRUE(ui_.boxes().empty());
  ExpectEverythingOnce();
}

// Direct mode: an add the server answers and refuses holds nothing there, so
// unlike an unanswered one it leaves no recovery for the next run.
TEST_F(FaultTest, InDirectModeAnAddTheServerRefusesLeavesNoRecoveryBehind) {
  Config().batchMode = 0;
  Config().contactSyncMode = 0;
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Kept"}});
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Bell \x07 rings"}});  // no XML can carry it
  Sync();
  EXPECT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Kept"}));
  EXPECT_TRUE(LoggedContaining("Item was not syncronized to Server. Reason: "));
  EXPECT_FALSE(modBatch::BatchFileExists("TASK"));

  ui_.Clear();
  Sync();
  EXPECT_FALSE(ShownBox(kRecoveryBox));
  EXPECT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Kept"}));
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Bell \x07 rings", "Kept"}));
}

// Direct mode: a deletion that never reached the server (nothing came back)
// keeps its row, so the next run sends it again instead of bringing the
// item back from the server into Outlook.
TEST_F(FaultTest, InDirectModeADeletionWithoutAnAnswerIsSentAgainNotUndone) {
  Config().batchMode = 0;
  Config().contactSyncMode = 0;
  for (const char* subject : {"Keep 1", "Keep 2", "Drop"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  Sync();
  ASSERT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Drop", "Keep 1", "Keep 2"}));

  Advance();
  OutlookItem("TASK", "Drop").call("Delete");
  servlet_.SetCannedReply("DELETE-TASK", "");  // the answer never comes
  ClearLog();
  Sync();
  EXPECT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Drop", "Keep 1", "Keep 2"}));
  EXPECT_TRUE(LoggedContaining("did not answer the deletion of UID="));

  servlet_.SetCannedReply("DELETE-TASK", std::nullopt);
  Advance();
  Sync();
  EXPECT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Keep 1", "Keep 2"}));
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Keep 1", "Keep 2"})) << "the deleted item stays deleted";
  Advance();
  Sync();
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Keep 1", "Keep 2"}));
}

// An edit the server never answered (direct: no reply to the EDIT; batch: a
// failed batch) is sent again by the next run, even when the run changed
// other rows: the last sync time does not move past an unsent edit.
class UnsentEditTest : public FaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(UnsentEditTest, AnEditThatGotNoAnswerIsSentAgainByTheNextRun) {
  Config().batchMode = GetParam() ? 1 : 0;
  Config().contactSyncMode = 0;
  for (const char* subject : {"Edited", "Other"}) qv::outlook::AddItem(Folder("TASK"), {{"Subject", subject}});
  const std::string gone = servlet_.AddItem(kUser, "TASK", {{"Subject", "Gone"}});
  Sync();
  ASSERT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Edited", "Gone", "Other"}));

  Advance();
  Variant edited = OutlookItem("TASK", "Edited");
  edited.put("Companies", "Contoso");
  edited.call("Save");
  ASSERT_TRUE(servlet_.DeleteItem(kUser, gone));  // a row change of this run: its deletion in Outlook
  if (GetParam()) servlet_.SetFault(Fault::kBatchAsHtml);
  else servlet_.SetCannedReply("EDIT-TASK", "");
  Sync();
  EXPECT_EQ(OutlookSubjects("TASK"), (Strings{"Edited", "Other"}));
  for (const auto& item : ServerItems("TASK"))
    if (Field(item, "Subject") == "Edited") EXPECT_EQ(Field(item, "Companies"), "");

  servlet_.SetFault(Fault::kNone);
  servlet_.SetCannedReply("EDIT-TASK", std::nullopt);
  Advance();
  Sync();
  bool arrived = false;
  for (const auto& item : ServerItems("TASK"))
    if (Field(item, "Subject") == "Edited") arrived = Field(item, "Companies") == "Contoso";
  EXPECT_TRUE(arrived) << "the edit reached the server";
  EXPECT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Edited", "Other"}));
}

INSTANTIATE_TEST_SUITE_P(Modes, UnsentEditTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? std::string("Batch") : std::string("Direct"); });

TEST_F(FaultTest, ABatchAnsweredWithAnHtmlPageCountsAsFailed) {
  AddLocalItems();
  servlet_.SetFault(Fault::kBatchAsHtml);
  Sync();
  EXPECT_TRUE(ShownBox(kFailedBatchBox));
  EXPECT_TRUE(modBatch::BatchFileExists("TASK"));
  EXPECT_TRUE(LoggedContaining("Server Returned Invalid Response: <HTML>"));
  EXPECT_EQ(servlet_.ListItems(kUser, "TASK").size(), 1u);  // nothing was carried out

  servlet_.SetFault(Fault::kNone);
  Sync();
  ExpectEverythingOnce();
  EXPECT_FALSE(modBatch::BatchFileExists("TASK"));
}

TEST_F(FaultTest, AnAddThatNeverArrivedIsSentEvenWhenThePassNoLongerReachesIt) {
  Config().contactSyncMode = 0;
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Synced"}});
  Sync();
  AddItemMadeDaysAgo("TASK", "Never arrived");
  servlet_.SetFault(Fault::kBatchAsHtml);
  Sync();
  ASSERT_TRUE(modBatch::BatchFileExists("TASK"));
  // The table was written after the failed run (another change of that run):
  // the item is older than the next run's SinceDate.
  SetTableTimes(0);

  servlet_.SetFault(Fault::kNone);
  Sync();
  EXPECT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Never arrived", "Synced"}));
  EXPECT_TRUE(Logged("Item [Never arrived] of the last failed batch is being added to the server"));
  servlet_.ClearRequests();
  Sync();
  EXPECT_EQ(ServerSubjects("TASK", "Subject"), (Strings{"Never arrived", "Synced"}));
}

TEST_F(FaultTest, AListThatCannotBeFetchedEndsTheRunWithoutSavingTheTable) {
  AddLocalItems();
  servlet_.SetCannedReply("LIST-TASKS", std::string("<HTML><BODY>Service unavailable</BODY></HTML>"));
  Sync();
  EXPECT_TRUE(Logged("Error: GetItemListFromServer failed for message class: TASK. Operation aborted!"));
  EXPECT_TRUE(Logged("Task Synchronization Complete!"));
  // Nothing queued for tasks was sent; the contacts run went on.
  for (const auto& request : servlet_.Requests()) {
    if (request.command == "BATCH") {
      EXPECT_EQ(request.body.find("TASK"), std::string::npos);
    }
  }
  EXPECT_EQ(servlet_.ListItems(kUser, "CONTACT").size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(AccountDirectory() + "/ic_Tasks.tab"));
  EXPECT_TRUE(modBatch::BatchFileExists("TASK"));

  servlet_.SetCannedReply("LIST-TASKS", std::nullopt);
  Sync();
  ExpectEverythingOnce();
}

TEST_F(FaultTest, InDirectModeAFailedListKeepsTheRowsOfWhatWasSent) {
  Config().batchMode = 0;
  Config().contactSyncMode = 0;
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Sent once"}});
  servlet_.SetCannedReply("LIST-TASKS", std::string("<HTML><BODY>Service unavailable</BODY></HTML>"));
  Sync();
  EXPECT_EQ(servlet_.ListItems(kUser, "TASK").size(), 1u);

  servlet_.SetCannedReply("LIST-TASKS", std::nullopt);
  Sync();
  EXPECT_EQ(servlet_.ListItems(kUser, "TASK").size(), 1u);
  EXPECT_EQ(OutlookSubjects("TASK"), Strings{"Sent once"});
}

}  // namespace
}  // namespace qvsync::testing

namespace qvsync::testing {
namespace {

// The records of Outlook items being made from server items, as a run that
// died leaves them, resolved by the next run's recovery.
class PendingCreationTest : public SyncFixture {
 protected:
  // The row the journal holds when the run dies right after `item` was saved
  // for server item `uid`: the record, with no row after it.
  std::string DiesAfterSaving(Variant item, const std::string& uid, bool saved = true) {
    ConversionTable table;
    PendingCreation creation(table, item, uid, "1000");
    if (saved) item.call("Save");
    return table.rows().back();
  }

  Variant NewTask(const char* subject) {
    Variant item = Folder("TASK").get("Items").call("Add");
    item.put("Subject", subject);
    return item;
  }
};

TEST_F(PendingCreationTest, ARecordIsTiedToTheItemOfItsClassAndNameMadeThenAndToNothingElse) {
  ConversionTable table;
  // Already tied, same name: never taken.
  Variant tied = qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Call Bob"}});
  table.AddItemIdConversion("T0", TextOf(tied, "EntryID"), "900");
  // A person's item of the same name, made an hour before: not the one.
  lead_ = -3600;
  const Variant old = qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Call Bob"}});
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Water plants"}});
  lead_ = 0;
  // A contact of the same name: another class.
  qv::outlook::AddItem(Folder("CONTACT"), {{"FullName", "Call Bob"}});

  std::vector<std::string> rows = table.rows();
  Variant first = NewTask("Call Bob");
  rows.push_back(DiesAfterSaving(first, "U1"));
  Variant second = NewTask("Call\tBob");  // read back with a space, as the record keeps it
  rows.push_back(DiesAfterSaving(second, "U2"));
  rows.push_back(DiesAfterSaving(NewTask("Water plants"), "U3", /*saved=*/false));
  rows.push_back(DiesAfterSaving(NewTask("Call Bob"), "T0"));  // T0 has its row already
  rows.push_back("\tU4\t1000\t48\tnot a time\tCall Bob");     // damaged
  rows.push_back("\tU5\t1000\t48\tnan\tCall Bob");            // no time either

  ConversionTable recovered(rows);
  EXPECT_EQ(RecoverPendingCreations(recovered, Folder("TASK")), 2u);
  const std::string firstId = TextOf(first, "EntryID"), secondId = TextOf(second, "EntryID");
  // The two of one name go to the two records, either way round.
  EXPECT_EQ((std::set<std::string>{recovered.GetEntryIDFromUID("U1"), recovered.GetEntryIDFromUID("U2")}),
            (std::set<std::string>{firstId, secondId}));
  EXPECT_EQ(recovered.GetEntryIDFromUID("T0"), TextOf(tied, "EntryID"));
  EXPECT_EQ(recovered.GetUIDFromEntryID(TextOf(old, "EntryID")), "");
  EXPECT_EQ(recovered.GetEntryIDFromUID("U3"), "");
  EXPECT_EQ(recovered.GetEntryIDFromUID("U4"), "");
  EXPECT_EQ(recovered.GetEntryIDFromUID("U5"), "");
  // Whatever was not tied is blanked: no record is left for the saved table.
  size_t records = 0;
  for (const std::string& row : recovered.rows()) records += IsPendingCreationRow(row);
  EXPECT_EQ(records, 0u);
  EXPECT_EQ(recovered.size(), rows.size());
  EXPECT_EQ(RecoverPendingCreations(recovered, Folder("TASK")), 0u);
}

TEST_F(PendingCreationTest, AnItemThatIsSavedOrFailsLeavesItsRowOrABlank) {
  ConversionTable table;
  Variant made = NewTask("Kept");
  {
    PendingCreation creation(table, made, "U1", "1000");
    EXPECT_EQ(table.GetEntryIDFromUID("U1"), "") << "a record is no row to any lookup";
    made.call("Save");
    creation.Saved(TextOf(made, "EntryID"));
  }
  {
    PendingCreation creation(table, NewTask("Failed"), "U2", "1000");
  }
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table.rows()[0], TextOf(made, "EntryID") + "\tU1\t1000");
  EXPECT_EQ(table.rows()[1], "\t\t");
}

}  // namespace
}  // namespace qvsync::testing
