// Batch mode on its own: the request text, the batch file and its recovery,
// and the reading of replies.
#include "addin/sync/batch.h"
#include "addin/sync/item_state.h"

#include "tests/addin/sync/sync_fixture.h"

namespace qvsync::testing {
namespace {

using modBatch::Batch;
using modBatch::QueueBatchRequest;

class BatchTest : public SyncFixture {
 protected:
  BatchTest() { Config().batchMode = 1; }
  ConversionTable table_;
};

bool IsUniqueName(const std::string& id, const std::string& suffix) {
  if (id.size() != 32 + suffix.size() || id.substr(32) != suffix) return false;
  return id.find_first_not_of("0123456789ABCDEF") >= 32;
}

TEST_F(BatchTest, RequestsAreJoinedWithCarriageReturnsAndListsKeepTheirPositions) {
  Variant contact = qv::outlook::AddItem(Folder("CONTACT"),
                                         {{"FullName", "Ann Lee"}, {"Email1Address", "ann.lee@example.com"}});
  Variant list = Folder("CONTACT").get("Items").call("Add", 7);
  list.put("DLName", "Team");
  list.call("Save");

  ASSERT_EQ(QueueBatchRequest("APPOINTMENT", "GET", Variant(), "X1.CAL", "17", table_), 1);
  ASSERT_EQ(QueueBatchRequest("CONTACT", "DELETE", Variant(), "Y.GRP", "", table_), 1);
  ASSERT_EQ(QueueBatchRequest("CONTACT", "DELETE", list, "Z", "", table_), 1);
  ASSERT_EQ(QueueBatchRequest("CONTACT", "ADD", contact, "", "", table_), 1);

  const modBatch::BatchValues& batch = Batch();
  const std::string text = batch.requestText;
  EXPECT_EQ(text.rfind("Cmd=GET-APPOINTMENT\rID=X1.CAL\rReturnAttendeesDetails=1\r\n"
                       "Cmd=DELETE-CONTACTGROUP\rID=Y.GRP\r\n"
                       "Cmd=DELETE-CONTACTGROUP\rID=Z\r\n"
                       "Cmd=ADD-CONTACT\rFirstName=Ann\r",
                       0),
            0u)
      << text;
  EXPECT_EQ(text.find('&'), std::string::npos);
  EXPECT_NE(text.find("\rID=ann.lee%u0040example.com.VCF"), std::string::npos) << "escaped like every value";
  ASSERT_EQ(batch.size(), 4u);
  EXPECT_EQ(batch.entryIds[0], "[NONE]");
  EXPECT_EQ(batch.entryIds[2], list.get("EntryID").ToText());
  EXPECT_EQ(batch.entryIds[3], contact.get("EntryID").ToText());
  EXPECT_EQ(batch.uids, (std::vector<std::string>{"X1.CAL", "Y.GRP", "Z", ""}));
  EXPECT_EQ(batch.dates[0], "17");

  // Only adds reach the batch file, one CR LF line each, with the item's
  // state as sent.
  EXPECT_EQ(qv::testing::ReadFile(modBatch::BatchFilePath("CONTACT")),
            "ADD\t" + contact.get("EntryID").ToText() + "\tann.lee@example.com.VCF\t" + batch.states[3] + "\r\n");
  EXPECT_TRUE(ParseItemState(batch.states[3]).known());
}

TEST_F(BatchTest, TasksAndListsAreAddedUnderANameTheRecoveryCanFind) {
  Variant task = qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Call Bob"}});
  ASSERT_EQ(QueueBatchRequest("TASK", "ADD", task, "", "", table_), 1);
  Variant list = Folder("CONTACT").get("Items").call("Add", 7);
  list.put("DLName", "Team");
  list.call("Save");
  ASSERT_EQ(QueueBatchRequest("CONTACT", "ADD", list, "", "", table_), 1);

  ASSERT_EQ(Batch().newIds.size(), 2u);
  EXPECT_TRUE(IsUniqueName(Batch().newIds[0], ".TSK")) << Batch().newIds[0];
  EXPECT_TRUE(IsUniqueName(Batch().newIds[1], ".GRP")) << Batch().newIds[1];
  EXPECT_NE(Batch().requestText.find("\rID=" + Batch().newIds[0]), std::string::npos);
  EXPECT_NE(Batch().requestText.find("Cmd=ADD-CONTACTGROUP\r"), std::string::npos);

  modBatch::FailedBatch failed;
  ASSERT_TRUE(modBatch::LoadFailedBatch(failed, "TASK"));
  ASSERT_EQ(failed.count(Batch().newIds[0]), 1u);
  EXPECT_EQ(failed[Batch().newIds[0]],
            "ADD\t" + task.get("EntryID").ToText() + "\t" + Batch().newIds[0] + "\t" + Batch().states[0]);
  // Direct mode keeps the protocol's names: none for a task.
  EXPECT_EQ(modBatch::BatchItemId(kClassAppointment, "A.CAL"), "A.CAL");
}

TEST_F(BatchTest, TheRecoveryConfirmsWhatArrivedOnceWithTheRecordedEntryId) {
  modBatch::FailedBatch failed = modBatch::ReadFailedBatch(
      "ADD\tEID1\tA.VCF\r\nADD\tEID9\tA.VCF\r\n\r\nADD\tEID2\tB.TSK\r\nADD\tEID3\tC.CAL\n");
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed["A.VCF"], "ADD\tEID1\tA.VCF");  // the first line of an ID wins

  table_.AddItemIdConversion("C.CAL", "EID3", "4");  // already confirmed earlier
  ConversionTable list(std::vector<std::string>{"A.VCF\t11", "\t", "X.VCF\t12", "C.CAL\t13"});
  modBatch::ConfirmFailedBatch(failed, list, table_);

  EXPECT_EQ(failed.size(), 1u);
  EXPECT_EQ(failed.count("B.TSK"), 1u);  // never reached the server
  EXPECT_EQ(table_.GetEntryIDFromUID("A.VCF"), "EID1");
  EXPECT_EQ(table_.GetModifiedDateFromEntryID("EID1"), "11");
  EXPECT_EQ(table_.GetUIDFromEntryID("EID3"), "C.CAL");
  EXPECT_EQ(table_.size(), 2u);  // no second row for C.CAL
  EXPECT_TRUE(Logged("Server item : A.VCF succeeded in last failed batch."));
  EXPECT_TRUE(Logged("Server item : X.VCF not in last failed batch."));

  modBatch::FailedBatch untouched{{"k", "v"}};
  EXPECT_FALSE(modBatch::LoadFailedBatch(untouched, "APPOINTMENT"));  // no file
  EXPECT_EQ(untouched.size(), 1u);
}

TEST_F(BatchTest, ReplyElementsAreReadFromTheirOwnChildrenOnly) {
  std::vector<modBatch::ReplyElement> elements;
  ASSERT_TRUE(modBatch::ReadBatchReply(
      "<?xml version=\"1.0\"?><BATCHRESPONSE>"
      "<RESPONSE METHOD=\"add-contact\"><RETURNVALUE>1</RETURNVALUE></RESPONSE>"
      "<RESPONSE METHOD=\"ADD-CONTACT\"><RETURNVALUE>1</RETURNVALUE><UID>B.VCF</UID>"
      "<MODIFIEDDATE>9</MODIFIEDDATE></RESPONSE></BATCHRESPONSE>",
      elements));
  ASSERT_EQ(elements.size(), 2u);
  EXPECT_EQ(elements[0].verb, "ADD");
  EXPECT_EQ(elements[0].cls, "CONTACT");
  EXPECT_EQ(elements[0].uid, "");  // not the next element's
  EXPECT_EQ(elements[0].modifiedDate, "");
  EXPECT_EQ(elements[1].uid, "B.VCF");

  for (const char* page : {"", "<html><body>busy</body></html>", "<!DOCTYPE html>\n<html><body/></html>",
                           "  <HTML></HTML>", "not xml at all", "<R><A>"}) {
    EXPECT_FALSE(modBatch::ReadBatchReply(page, elements)) << page;
  }
}

}  // namespace
}  // namespace qvsync::testing
