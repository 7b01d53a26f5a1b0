// A synchronisation run when the server fails it: a batch whose answer is
// lost, a batch answered with an HTML page, a list that cannot be fetched.
// Whatever happens, the next run leaves every item once on each side.
#include <algorithm>

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
  Advance();
  qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Never arrived"}});
  servlet_.SetFault(Fault::kBatchAsHtml);
  Sync();
  ASSERT_TRUE(modBatch::BatchFileExists("TASK"));
  // The table was written after the failed run (another change of that run)
  // and days have passed: the item is older than the next run's SinceDate.
  for (const auto& [path, time] : TableTimes())
    std::filesystem::last_write_time(path, time + std::chrono::hours(24 * 3));

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
