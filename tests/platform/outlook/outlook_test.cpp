#include "platform/outlook/outlook.h"

#include <sqlite3.h>
#include <cstdio>
#include <vector>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/common/test_support.h"

namespace qv::outlook {
namespace {

using qv::testing::TempDir;

// Runs `body` and expects it to throw Error with `number`.
template <typename F>
void ExpectError(int32_t number, F&& body) {
  try {
    body();
    ADD_FAILURE() << "no error, expected " << number;
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), number) << e.description();
  }
}

// A fresh profile with a controllable clock, started with an explorer.
class OutlookTest : public ::testing::Test {
 protected:
  OutlookTest() : profile_(Profile::Open(dir_.File("profile.db"))) {
    profile_->SetClock([this] { return now_; });
    app_ = StartOutlook(profile_);
    ns_ = app_.call("GetNamespace", "MAPI");
  }
  Variant Folder(int special) { return ns_.call("GetDefaultFolder", special); }
  Variant NewContact(const std::string& fullName, const std::string& email = "") {
    Variant c = Folder(10).get("Items").call("Add");
    c.put("FullName", fullName);
    if (!email.empty()) c.put("Email1Address", email);
    c.call("Save");
    return c;
  }
  void Tick(int seconds) { now_ = AddSeconds(now_, seconds); }

  TempDir dir_;
  Date now_ = MakeDate(2013, 5, 21, 9, 0, 0);
  std::shared_ptr<Profile> profile_;
  Variant app_;
  Variant ns_;
};

TEST(VariantTest, ConvertsLikeLateBindingAndRejectsWhatDoesNotConvert) {
  EXPECT_EQ(Variant(" 12 ").ToLong(), 12);
  EXPECT_EQ(Variant("2.5").ToLong(), 2);  // half to even
  EXPECT_EQ(Variant(true).ToLong(), -1);
  EXPECT_TRUE(Variant("tRUE").ToBool());
  EXPECT_FALSE(Variant("0").ToBool());
  EXPECT_EQ(Variant(42).ToText(), "42");
  EXPECT_EQ(Variant(false).ToText(), "False");
  EXPECT_EQ(Variant("2013-05-21 12:30").ToDate(), MakeDate(2013, 5, 21, 12, 30));
  EXPECT_EQ(Variant("5/21/2013 1:05:09 PM").ToDate(), MakeDate(2013, 5, 21, 13, 5, 9));
  EXPECT_EQ(Variant(MakeDate(4501, 1, 1)).ToDate(), kNoDate);
  EXPECT_EQ(Variant(size_t{7}), Variant(7));
  EXPECT_EQ(Variant(0x816A0102u).type(), VarType::Double);
  EXPECT_EQ(Variant(int64_t{-5}).ToLong(), -5);
  EXPECT_EQ(SplitDate(MakeDate(2000, 2, 29, 23, 59, 59)).day, 29);

  ExpectError(kErrTypeMismatch, [] { Variant("").ToLong(); });
  ExpectError(kErrTypeMismatch, [] { Variant("12abc").ToDouble(); });
  ExpectError(kErrTypeMismatch, [] { Variant("").ToDate(); });
  ExpectError(kErrTypeMismatch, [] { Variant("2013-02-30").ToDate(); });
  ExpectError(kErrTypeMismatch, [] { Variant("yes").ToBool(); });
  ExpectError(kErrTypeMismatch, [] { Variant(Bytes{1}).ToText(); });
  ExpectError(kErrOverflow, [] { Variant("3000000000").ToLong(); });
  ExpectError(kErrOverflow, [] { Variant(MakeDate(10000, 1, 1)).ToDate(); });
  ExpectError(kErrOverflow, [] { Variant(Date{1e300}).ToDate(); });
  ExpectError(kErrOverflow, [] { Variant(2000000000).ToDate(); });
  EXPECT_EQ(Variant(41415).ToDate(), MakeDate(2013, 5, 21));
  ExpectError(kErrObjectNotSet, [] { Variant::Nothing().get("Name"); });
  ExpectError(kErrObjectRequired, [] { Variant(5).get("Name"); });
}

TEST_F(OutlookTest, NewProfileHasOneStoreWithTheDefaultFolders) {
  const Variant stores = ns_.get("Folders");
  ASSERT_EQ(stores.get("Count").ToLong(), 1);
  const Variant store = stores.call("Item", 1);
  EXPECT_EQ(store.get("Name").ToText(), "Personal Folders");
  for (const char* name : {"Inbox", "Contacts", "Calendar", "Tasks", "Deleted Items"})
    EXPECT_EQ(store.get("Folders").call("Item", name).get("Name").ToText(), name);
  EXPECT_EQ(Folder(9).get("Name").ToText(), "Calendar");
  EXPECT_EQ(Folder(10).get("DefaultItemType").ToLong(), 2);
  EXPECT_EQ(Folder(13).get("Parent").get("Name").ToText(), "Personal Folders");
  EXPECT_EQ(Folder(13).get("StoreID").ToText(), store.get("StoreID").ToText());
  // Names are late bound: case does not matter, unknown ones fail with 438.
  EXPECT_EQ(ns_.call("getdefaultfolder", 13).get("NAME").ToText(), "Tasks");
  ExpectError(kErrNotSupported, [&] { Folder(13).get("NoSuchProperty"); });
  ExpectError(kErrNotFound, [&] { store.get("Folders").call("Item", "Journal"); });
  ExpectError(kErrNotFound, [&] { ns_.call("GetDefaultFolder", 16); });
}

TEST_F(OutlookTest, AssignmentConvertsOrRejectsAsOutlookDoes) {
  Variant task = Folder(13).get("Items").call("Add");
  EXPECT_EQ(task.get("Class").ToLong(), 48);
  task.put("Sensitivity", "2");  // a number in text converts
  EXPECT_EQ(task.get("Sensitivity"), Variant(2));
  task.put("PercentComplete", 50.4);
  EXPECT_EQ(task.get("PercentComplete"), Variant(50));
  ExpectError(kErrTypeMismatch, [&] { task.put("Importance", "high"); });
  ExpectError(kErrTypeMismatch, [&] { task.put("Importance", ""); });   // empty text into a number
  ExpectError(kErrTypeMismatch, [&] { task.put("DueDate", ""); });      // empty text into a date
  ExpectError(kErrInvalidValue, [&] { task.put("Importance", 7); });    // out of the enumeration
  ExpectError(kErrNotSupported, [&] { task.put("Class", 40); });        // read-only
  ExpectError(kErrNotSupported, [&] { task.put("FullName", "x"); });    // not a task property
  EXPECT_EQ(task.get("Importance"), Variant(1));                        // unchanged: normal
  task.put("Subject", 12);
  EXPECT_EQ(task.get("Subject"), Variant("12"));
  task.put("Complete", "True");
  EXPECT_EQ(task.get("Status"), Variant(2));
  EXPECT_EQ(task.get("PercentComplete"), Variant(100));
  task.put("PercentComplete", 30);  // the status follows the percentage
  EXPECT_EQ(task.get("Status"), Variant(1));
}

TEST_F(OutlookTest, TaskDatesUseTheNoDateValueAndKeepOnlyTheDay) {
  Variant task = Folder(13).get("Items").call("Add");
  EXPECT_EQ(task.get("DueDate").ToDate(), kNoDate);
  EXPECT_EQ(task.get("StartDate").ToDate(), MakeDate(4501, 1, 1));
  task.put("DueDate", "2013-05-21 17:45");
  EXPECT_EQ(task.get("DueDate").ToDate(), MakeDate(2013, 5, 21));
  task.put("DueDate", kNoDate);
  EXPECT_EQ(task.get("DueDate").ToDate(), kNoDate);
}

TEST_F(OutlookTest, FullNameIsSplitIntoItsPartsAndFileAsFollows) {
  Variant c = Folder(10).get("Items").call("Add");
  c.put("FullName", "Ann  Marie Louise Smith");
  EXPECT_EQ(c.get("FirstName").ToText(), "Ann");
  EXPECT_EQ(c.get("MiddleName").ToText(), "Marie Louise");
  EXPECT_EQ(c.get("LastName").ToText(), "Smith");
  EXPECT_EQ(c.get("FullName").ToText(), "Ann Marie Louise Smith");
  EXPECT_EQ(c.get("FileAs").ToText(), "Smith, Ann Marie Louise");
  EXPECT_EQ(c.get("Subject").ToText(), "Ann Marie Louise Smith");
  c.put("FullName", "Jones, Bob");
  EXPECT_EQ(c.get("FirstName").ToText(), "Bob");
  EXPECT_EQ(c.get("MiddleName").ToText(), "");
  EXPECT_EQ(c.get("LastName").ToText(), "Jones");
  c.put("FullName", "Cher");
  EXPECT_EQ(c.get("FirstName").ToText(), "Cher");
  EXPECT_EQ(c.get("LastName").ToText(), "");
  c.put("LastName", "Sarkisian");  // parts recompose the full name
  EXPECT_EQ(c.get("FullName").ToText(), "Cher Sarkisian");
  c.put("FileAs", "Singer");
  c.put("Subject", "nick");
  EXPECT_EQ(c.get("FileAs").ToText(), "Singer");
  EXPECT_EQ(c.get("Subject").ToText(), "nick");
}

TEST_F(OutlookTest, SaveAssignsAHexEntryIdAndMovesTheModificationTime) {
  Variant c = Folder(10).get("Items").call("Add");
  EXPECT_EQ(c.get("EntryID").ToText(), "");
  EXPECT_EQ(Folder(10).get("Items").get("Count").ToLong(), 0);  // not there before Save
  c.put("FullName", "Ann Smith");
  c.call("Save");
  const std::string entryId = c.get("EntryID").ToText();
  EXPECT_EQ(entryId.size(), 48u);
  EXPECT_EQ(entryId.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(c.get("LastModificationTime").ToDate(), now_);
  Tick(90);
  c.put("Title", "Dr.");
  EXPECT_EQ(c.get("LastModificationTime").ToDate(), AddSeconds(now_, -90));  // not before Save
  c.call("Save");
  EXPECT_EQ(c.get("LastModificationTime").ToDate(), now_);
  EXPECT_EQ(c.get("CreationTime").ToDate(), AddSeconds(now_, -90));
  EXPECT_EQ(c.get("EntryID").ToText(), entryId);
  // Another handle sees the saved content; unsaved changes stay with their handle.
  c.put("Title", "Prof.");
  const Variant again = ns_.call("GetItemFromID", entryId);
  EXPECT_EQ(again.get("Title").ToText(), "Dr.");
  EXPECT_EQ(again.get("Parent").get("Name").ToText(), "Contacts");
}

TEST_F(OutlookTest, SortByModificationTimeWalksNewestFirstAndFollowsChanges) {
  std::vector<Variant> tasks;
  for (int i = 0; i < 5; ++i) {
    Variant t = Folder(13).get("Items").call("Add");
    t.put("Subject", "task " + std::to_string(i));
    t.call("Save");
    tasks.push_back(t);
    Tick(10);
  }
  tasks[1].put("Body", "changed");
  tasks[1].call("Save");  // now the newest
  Variant items = Folder(13).get("Items");
  items.call("Sort", "[LastModificationTime]", true);
  ASSERT_EQ(items.get("Count").ToLong(), 5);
  std::vector<std::string> order;
  for (int i = 1; i <= 5; ++i) order.push_back(items.call("Item", i).get("Subject").ToText());
  EXPECT_EQ(order, (std::vector<std::string>{"task 1", "task 4", "task 3", "task 2", "task 0"}));
  EXPECT_EQ(items.call("GetFirst").get("Subject").ToText(), "task 1");
  EXPECT_EQ(items.call("GetNext").get("Subject").ToText(), "task 4");
  EXPECT_EQ(items.call("GetLast").get("Subject").ToText(), "task 0");
  EXPECT_TRUE(items.call("GetNext").IsNothing());
  // The collection is live: a later save reorders it.
  Tick(10);
  tasks[0].call("Save");
  EXPECT_EQ(items.call("Item", 1).get("Subject").ToText(), "task 0");
  ExpectError(kErrNotFound, [&] { items.call("Item", 6); });
  ExpectError(kErrNotFound, [&] { items.call("Item", 0); });
}

TEST_F(OutlookTest, GetItemFromIdOpensItemsOnlyInTheirOwnStore) {
  profile_->AddStore("Archive");
  const Variant stores = ns_.get("Folders");
  ASSERT_EQ(stores.get("Count").ToLong(), 2);
  const Variant archive = stores.call("Item", 2);
  EXPECT_EQ(archive.get("Name").ToText(), "Archive");
  const Variant archiveContacts = archive.get("Folders").call("Add", "Contacts", 10);
  Variant c = archiveContacts.get("Items").call("Add");
  EXPECT_EQ(c.get("Class").ToLong(), 40);
  c.put("FullName", "Old Friend");
  c.call("Save");
  const std::string entryId = c.get("EntryID").ToText();
  const std::string archiveId = archiveContacts.get("StoreID").ToText();
  const std::string defaultId = stores.call("Item", 1).get("StoreID").ToText();
  EXPECT_NE(archiveId, defaultId);

  EXPECT_EQ(ns_.call("GetItemFromID", entryId, archiveId).get("FullName").ToText(), "Old Friend");
  ExpectError(kErrNotFound, [&] { ns_.call("GetItemFromID", entryId, defaultId); });
  ExpectError(kErrNotFound, [&] { ns_.call("GetItemFromID", entryId); });  // default store only
  ExpectError(kErrNotFound, [&] { ns_.call("GetItemFromID", "00FF", archiveId); });
  ExpectError(kErrNotFound, [&] { ns_.call("GetItemFromID", entryId, "0000000200"); });
  // Every store has its own Deleted Items.
  EXPECT_EQ(archive.get("Folders").call("Item", "Deleted Items").get("Name").ToText(), "Deleted Items");
}

TEST_F(OutlookTest, DeleteMovesToDeletedItemsAndDeletingThereRemovesForGood) {
  Variant c = NewContact("Ann Smith");
  const std::string entryId = c.get("EntryID").ToText();
  const std::string storeId = Folder(10).get("StoreID").ToText();
  c.call("Delete");
  ExpectError(kErrFailed, [&] { c.get("Subject"); });  // the handle is gone
  EXPECT_EQ(Folder(10).get("Items").get("Count").ToLong(), 0);
  EXPECT_EQ(Folder(3).get("Items").get("Count").ToLong(), 1);
  Variant deleted = ns_.call("GetItemFromID", entryId, storeId);  // same EntryID
  EXPECT_EQ(deleted.get("Parent").get("Name").ToText(), "Deleted Items");
  deleted.call("Delete");
  EXPECT_EQ(Folder(3).get("Items").get("Count").ToLong(), 0);
  ExpectError(kErrNotFound, [&] { ns_.call("GetItemFromID", entryId, storeId); });
  // A new item that was never saved is just dropped.
  Variant fresh = Folder(10).get("Items").call("Add");
  fresh.call("Delete");
  EXPECT_EQ(Folder(3).get("Items").get("Count").ToLong(), 0);
}

TEST_F(OutlookTest, FoldersAreAddedWithTheirTypeUnlessTheStoreRefuses) {
  profile_->AddStore("Public");
  const Variant store = ns_.get("Folders").call("Item", 2);
  ExpectError(kErrNotFound, [&] { store.get("Folders").call("Item", "Calendar"); });
  const Variant calendar = store.get("Folders").call("Add", "Calendar", 9);
  EXPECT_EQ(calendar.get("DefaultItemType").ToLong(), 1);
  EXPECT_EQ(calendar.get("Items").call("Add").get("Class").ToLong(), 26);
  EXPECT_EQ(calendar.get("FolderPath").ToText(), "\\\\Public\\Calendar");
  ExpectError(kErrFailed, [&] { store.get("Folders").call("Add", "calendar", 9); });
  ExpectError(kErrInvalidValue, [&] { store.get("Folders").call("Add", "Odd", 99); });
  profile_->SetStoreRefusesNewFolders(2, true);
  ExpectError(kErrFailed, [&] { store.get("Folders").call("Add", "Tasks", 13); });
  ExpectError(kErrNotFound, [&] { profile_->SetStoreRefusesNewFolders(3, true); });
  ExpectError(kErrFailed, [&] { ns_.get("Folders").call("Add", "New Store"); });
  EXPECT_EQ(store.get("Folders").get("Count").ToLong(), 2);  // Deleted Items, Calendar
}

TEST_F(OutlookTest, RecipientsResolveAgainstContactsAndInternetAddresses) {
  NewContact("Ann Smith", "ann@example.com");
  Variant appt = Folder(9).get("Items").call("Add");
  EXPECT_EQ(appt.get("Class").ToLong(), 26);
  Variant recipients = appt.get("Recipients");
  recipients.call("Add", "ann smith");
  recipients.call("Add", "bob@example.com").put("Type", 2);
  recipients.call("Add", "Nobody Known");
  EXPECT_EQ(recipients.get("Count").ToLong(), 3);
  EXPECT_FALSE(recipients.call("ResolveAll").ToBool());  // one name resolves to no one
  EXPECT_EQ(recipients.call("Item", 1).get("Address").ToText(), "ann@example.com");
  EXPECT_TRUE(recipients.call("Item", 2).get("Resolved").ToBool());
  EXPECT_EQ(recipients.call("Item", 2).get("Address").ToText(), "bob@example.com");
  EXPECT_FALSE(recipients.call("Item", 3).get("Resolved").ToBool());
  EXPECT_EQ(appt.get("RequiredAttendees").ToText(), "ann smith; Nobody Known");
  EXPECT_EQ(appt.get("OptionalAttendees").ToText(), "bob@example.com");
  recipients.call("Item", 1).put("TrackingStatus", 3);
  ExpectError(kErrNotSupported, [&] { recipients.call("Item", 1).put("Address", "x@y"); });
  ExpectError(kErrInvalidValue, [&] { recipients.call("Item", 1).put("TrackingStatus", 9); });
  appt.put("OptionalAttendees", "carol@example.com; dave@example.com");
  EXPECT_EQ(recipients.get("Count").ToLong(), 4);
  appt.call("Save");
  const Variant again = ns_.call("GetItemFromID", appt.get("EntryID"));
  EXPECT_EQ(again.get("Recipients").call("Item", 1).get("TrackingStatus").ToLong(), 3);
  EXPECT_EQ(again.get("OptionalAttendees").ToText(), "carol@example.com; dave@example.com");
}

TEST_F(OutlookTest, ListMembersEmbedTheContactEntryIdAndOneOffsOpenNothing) {
  const Variant ann = NewContact("Ann Smith", "ann@example.com");
  const std::string annId = ann.get("EntryID").ToText();
  const std::string storeId = Folder(10).get("StoreID").ToText();
  Variant list = Folder(10).get("Items").call("Add", 7);
  EXPECT_EQ(list.get("Class").ToLong(), 69);
  list.put("DLName", "Friends");
  EXPECT_EQ(list.get("Subject").ToText(), "Friends");
  Variant scratch = app_.call("CreateItem", 0);
  EXPECT_EQ(scratch.get("Class").ToLong(), 43);
  scratch.get("Recipients").call("Add", "Ann Smith");
  scratch.get("Recipients").call("Add", "eve@example.com");
  EXPECT_TRUE(scratch.get("Recipients").call("ResolveAll").ToBool());
  list.call("AddMembers", scratch.get("Recipients"));
  list.call("Save");
  ASSERT_EQ(list.get("MemberCount").ToLong(), 2);

  const std::string member = list.call("GetMember", 1).get("EntryID").ToText();
  ASSERT_GE(member.size(), 87u);
  const std::string embedded = member.substr(72, member.size() - 72 - 6);
  EXPECT_EQ(embedded, annId);
  EXPECT_EQ(ns_.call("GetItemFromID", embedded, storeId).get("FullName").ToText(), "Ann Smith");
  EXPECT_EQ(list.call("GetMember", 1).get("Name").ToText(), "Ann Smith");

  const std::string oneOff = list.call("GetMember", 2).get("EntryID").ToText();
  ASSERT_GE(oneOff.size(), 87u);
  ExpectError(kErrNotFound, [&] {
    ns_.call("GetItemFromID", oneOff.substr(72, oneOff.size() - 78), storeId);
  });
  ExpectError(kErrNotFound, [&] { list.call("GetMember", 3); });
  ExpectError(kErrNotSupported, [&] { list.call("GetMember", 1).put("TrackingStatus", 1); });
  ExpectError(kErrTypeMismatch, [&] { list.call("AddMembers", Variant(ann)); });

  // Removing by the members' names empties the list.
  Variant remover = app_.call("CreateItem", 0);
  for (int i = 1; i <= 2; ++i)
    remover.get("Recipients").call("Add", list.call("GetMember", i).get("Name"));
  remover.get("Recipients").call("ResolveAll");
  list.call("RemoveMembers", remover.get("Recipients"));
  EXPECT_EQ(list.get("MemberCount").ToLong(), 0);

  // A name that resolves to no one is refused, and nothing is added.
  Variant bad = app_.call("CreateItem", 0);
  bad.get("Recipients").call("Add", "Ann Smith");
  bad.get("Recipients").call("Add", "Nobody Known");
  ExpectError(kErrFailed, [&] { list.call("AddMembers", bad.get("Recipients")); });
  EXPECT_EQ(list.get("MemberCount").ToLong(), 0);
}

TEST_F(OutlookTest, RecurrencePatternPropertiesAreRejectedWhereTheTypeDoesNotAllowThem) {
  Variant appt = Folder(9).get("Items").call("Add");
  appt.put("Start", MakeDate(2013, 5, 21, 10, 0));  // a Tuesday
  appt.put("End", MakeDate(2013, 5, 21, 11, 0));
  EXPECT_FALSE(appt.get("IsRecurring").ToBool());
  EXPECT_EQ(appt.get("RecurrenceState").ToLong(), 0);
  ExpectError(kErrNotSupported, [&] { appt.put("RecurrenceState", 1); });
  Variant pattern = appt.call("GetRecurrencePattern");
  EXPECT_TRUE(appt.get("IsRecurring").ToBool());
  EXPECT_EQ(appt.get("RecurrenceState").ToLong(), 1);
  EXPECT_EQ(pattern.get("RecurrenceType").ToLong(), 1);  // weekly
  EXPECT_EQ(pattern.get("DayOfWeekMask").ToLong(), 4);   // Tuesday
  EXPECT_TRUE(pattern.get("NoEndDate").ToBool());
  ExpectError(kErrInvalidValue, [&] { pattern.put("DayOfMonth", 5); });
  ExpectError(kErrInvalidValue, [&] { pattern.put("MonthOfYear", 5); });
  ExpectError(kErrInvalidValue, [&] { pattern.put("Instance", 2); });
  EXPECT_EQ(pattern.get("DayOfMonth").ToLong(), 0);  // reads never fail
  pattern.put("RecurrenceType", 2);                  // monthly
  EXPECT_EQ(pattern.get("DayOfMonth").ToLong(), 21);
  pattern.put("DayOfMonth", 5);
  ExpectError(kErrInvalidValue, [&] { pattern.put("DayOfWeekMask", 2); });
  ExpectError(kErrInvalidValue, [&] { pattern.put("DayOfMonth", 32); });
  ExpectError(kErrTypeMismatch, [&] { pattern.put("Interval", "x"); });
  pattern.put("RecurrenceType", 6);  // the n-th weekday of a month of the year
  pattern.put("Instance", 3);
  pattern.put("MonthOfYear", 11);
  pattern.put("Occurrences", 10);
  EXPECT_FALSE(pattern.get("NoEndDate").ToBool());
  appt.call("Save");

  Variant again = ns_.call("GetItemFromID", appt.get("EntryID"));
  Variant saved = again.call("GetRecurrencePattern");
  EXPECT_EQ(saved.get("RecurrenceType").ToLong(), 6);
  EXPECT_EQ(saved.get("Instance").ToLong(), 3);
  EXPECT_EQ(saved.get("MonthOfYear").ToLong(), 11);
  EXPECT_EQ(saved.get("Occurrences").ToLong(), 10);
  again.call("ClearRecurrencePattern");
  EXPECT_FALSE(again.get("IsRecurring").ToBool());
  ExpectError(kErrFailed, [&] { saved.get("Interval"); });

  Variant task = Folder(13).get("Items").call("Add");
  task.call("GetRecurrencePattern").put("RecurrenceType", 0);
  EXPECT_TRUE(task.get("IsRecurring").ToBool());
  ExpectError(kErrNotSupported, [&] { task.put("RecurrenceState", 0); });
  ExpectError(kErrInvalidValue, [&] { task.call("GetRecurrencePattern").put("DayOfWeekMask", 62); });
}

TEST_F(OutlookTest, PatternEndDateAndOccurrencesFollowEachOther) {
  Variant appt = Folder(9).get("Items").call("Add");
  appt.put("Start", MakeDate(2013, 5, 21, 10, 0));  // a Tuesday
  Variant p = appt.call("GetRecurrencePattern");
  const auto endAfter = [&](int occurrences) {
    p.put("Occurrences", occurrences);
    return p.get("PatternEndDate").ToDate();
  };
  const auto countTo = [&](Date end) {
    p.put("PatternEndDate", end);
    return p.get("Occurrences").ToLong();
  };
  p.put("RecurrenceType", 0);  // every third day
  p.put("Interval", 3);
  EXPECT_EQ(endAfter(4), MakeDate(2013, 5, 30));
  EXPECT_EQ(countTo(MakeDate(2013, 6, 1, 12, 0)), 4);
  EXPECT_EQ(p.get("PatternEndDate").ToDate(), MakeDate(2013, 5, 30));  // the last occurrence
  p.put("RecurrenceType", 1);  // Mondays and Fridays of every other week
  p.put("Interval", 2);
  p.put("DayOfWeekMask", 2 | 32);
  EXPECT_EQ(endAfter(3), MakeDate(2013, 6, 7));  // Fri 24 May, Mon 3 and Fri 7 June
  p.put("RecurrenceType", 3);  // the last Friday of every month
  p.put("Interval", 1);
  p.put("Instance", 5);
  p.put("DayOfWeekMask", 32);
  EXPECT_EQ(endAfter(3), MakeDate(2013, 7, 26));
  p.put("RecurrenceType", 2);  // the 31st, or the month's last day
  p.put("DayOfMonth", 31);
  EXPECT_EQ(endAfter(2), MakeDate(2013, 6, 30));
  p.put("RecurrenceType", 5);  // 29 February, every year: clamped to the 28th
  p.put("MonthOfYear", 2);
  p.put("DayOfMonth", 29);
  EXPECT_EQ(endAfter(4), MakeDate(2017, 2, 28));
  EXPECT_EQ(countTo(MakeDate(2100, 1, 1)), 86);  // 2014 to 2099
  p.put("NoEndDate", true);
  EXPECT_EQ(p.get("Occurrences").ToLong(), 0);
  EXPECT_EQ(p.get("PatternEndDate").ToDate(), kNoDate);
}

TEST_F(OutlookTest, AppointmentStartKeepsTheDurationAndAllDayRunsMidnightToMidnight) {
  Variant appt = Folder(9).get("Items").call("Add");
  EXPECT_EQ(appt.get("Start").ToDate(), MakeDate(2013, 5, 21, 9, 0));  // the next half hour
  appt.put("Start", "2013-06-01 10:00");
  appt.put("End", "2013-06-01 11:30");
  EXPECT_EQ(appt.get("Duration").ToLong(), 90);
  appt.put("Start", "2013-06-02 08:00");
  EXPECT_EQ(appt.get("End").ToDate(), MakeDate(2013, 6, 2, 9, 30));
  ExpectError(kErrInvalidValue, [&] { appt.put("End", "2013-06-01 08:00"); });
  appt.put("AllDayEvent", "1");
  EXPECT_EQ(appt.get("Start").ToDate(), MakeDate(2013, 6, 2));
  EXPECT_EQ(appt.get("End").ToDate(), MakeDate(2013, 6, 3));
  EXPECT_EQ(appt.get("BusyStatus").ToLong(), 2);
  // Nothing is pushed past the last date there is.
  appt.put("AllDayEvent", false);
  appt.put("Duration", 60);
  appt.put("Start", "9999-12-31 10:00");
  appt.put("End", "9999-12-31 23:00");
  ExpectError(kErrInvalidValue, [&] { appt.put("Start", "9999-12-31 12:00"); });
  ExpectError(kErrInvalidValue, [&] { appt.put("AllDayEvent", true); });
  ExpectError(kErrInvalidValue, [&] { appt.put("Duration", 2000000000); });
  EXPECT_FALSE(appt.get("AllDayEvent").ToBool());
  EXPECT_EQ(appt.get("End").ToDate(), MakeDate(9999, 12, 31, 23, 0));
}

TEST_F(OutlookTest, WrappersNeedTheLibraryAndAnswerForTheItemWithFields) {
  ExpectError(kErrCannotCreate, [&] { app_.call("CreateObject", "Redemption.SafeContactItem"); });
  profile_->SetWrapperLibraryInstalled(true);
  ExpectError(kErrCannotCreate, [&] { app_.call("CreateObject", "Redemption.NoSuchThing"); });
  for (const char* progId : {"Redemption.SafeContactItem", "Redemption.SafeAppointmentItem",
                             "Redemption.SafeTaskItem", "Redemption.SafeDistList"})
    EXPECT_FALSE(app_.call("CreateObject", progId).IsNothing());

  Variant appt = Folder(9).get("Items").call("Add");
  Variant safe = app_.call("CreateObject", "Redemption.SafeAppointmentItem");
  ExpectError(kErrObjectNotSet, [&] { safe.get("Subject"); });
  ExpectError(kErrTypeMismatch, [&] { safe.put("Item", Folder(9)); });
  safe.put("Item", appt);
  safe.put("Subject", "Review");
  EXPECT_EQ(appt.get("Subject").ToText(), "Review");  // the wrapper answers for the item
  EXPECT_EQ(safe.get("Class").ToLong(), 26);
  EXPECT_EQ(safe.get("Item"), appt);

  const Bytes uid = {0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0, 0x00, 0xFF};
  safe.put("Fields", {0x816A0102u}, uid);
  EXPECT_EQ(safe.get("Fields", static_cast<int>(0x816A0102)).ToBytes(), uid);
  EXPECT_TRUE(safe.get("Fields", 0x0065001E).IsEmpty());  // never set
  safe.put("Fields", {0x0065001E}, "organizer@example.com");
  safe.put("Fields", {0x0042001E}, "The Organizer");
  EXPECT_EQ(safe.get("Fields", 0x0037001E).ToText(), "Review");  // PR_SUBJECT is the subject
  ExpectError(kErrTypeMismatch, [&] { safe.put("Fields", {static_cast<int>(0x816A0102)}, "text"); });
  ExpectError(kErrNotSupported, [&] { appt.get("Fields", 0x0037001E); });  // plain item: no Fields

  Variant r = safe.get("Recipients").call("Add", "Dana");
  r.put("Fields", {0x3003001E}, "dana@example.com");
  r.put("Fields", {0x5FFD0003}, 3);
  EXPECT_EQ(r.get("Address").ToText(), "dana@example.com");
  EXPECT_EQ(safe.get("Recipients").call("Item", 1).get("Fields", 0x5FFD0003), Variant(3));
  ExpectError(kErrNotSupported, [&] { appt.get("Recipients").call("Item", 1).get("Fields", 0x5FFD0003); });
  safe.call("Save");

  const Variant again = ns_.call("GetItemFromID", appt.get("EntryID"));
  Variant safeAgain = app_.call("CreateObject", "Redemption.SafeContactItem");
  safeAgain.put("Item", again);  // any wrapper takes any item
  EXPECT_EQ(safeAgain.get("Fields", static_cast<int>(0x816A0102)).ToBytes(), uid);
  EXPECT_EQ(safeAgain.get("Fields", 0x0042001E).ToText(), "The Organizer");
  EXPECT_EQ(again.get("Recipients").call("Item", 1).get("Address").ToText(), "dana@example.com");

  profile_->SetWrapperLibraryInstalled(false);
  ExpectError(kErrCannotCreate, [&] { app_.call("CreateObject", "Redemption.SafeDistList"); });
}

TEST_F(OutlookTest, CommandBarClicksReachTheBoundHandler) {
  Variant bar = app_.get("ActiveExplorer").get("CommandBars").call("Add", "Quorvia", 1, false, true);
  bar.put("Visible", true);
  Variant popup = bar.get("Controls").call("Add", 10, Variant(), Variant(), Variant(), true);
  popup.put("Caption", "Quorvia");
  EXPECT_EQ(popup.get("Type").ToLong(), 10);
  Variant controls = popup.get("Controls");
  for (const char* caption : {"&About...", "&Configure...", "&Synchronize"}) {
    Variant button = controls.call("Add", 1, Variant(), Variant(), 1, true);
    button.put("Caption", caption);
    button.put("Enabled", true);
  }
  ASSERT_EQ(controls.get("Count").ToLong(), 3);
  EXPECT_EQ(controls.call("Item", 1).get("Caption").ToText(), "&Synchronize");
  EXPECT_EQ(controls.call("Item", 3).get("Caption").ToText(), "&About...");

  const auto commands = ListMenuCommands(app_);
  ASSERT_EQ(commands.size(), 3u);
  EXPECT_EQ(commands[0].path, "Quorvia > Quorvia > &Synchronize");
  EXPECT_TRUE(ListMenuCommands(StartOutlook(profile_, StartMode::Automation)).empty());

  std::vector<std::string> clicks;
  ClickBinding sync(controls.call("Item", 1), [&](const Variant& ctrl, bool& cancel) {
    clicks.push_back(ctrl.get("Caption").ToText());
    EXPECT_FALSE(cancel);
  });
  commands[0].control.call("Execute");
  controls.call("Item", 2).call("Execute");  // nothing bound
  EXPECT_EQ(clicks, std::vector<std::string>{"&Synchronize"});
  controls.call("Item", 1).put("Enabled", false);
  controls.call("Item", 1).call("Execute");
  EXPECT_EQ(clicks.size(), 1u);
  controls.call("Item", 1).put("Enabled", true);
  sync.Reset();
  controls.call("Item", 1).call("Execute");
  EXPECT_EQ(clicks.size(), 1u);
  ExpectError(kErrTypeMismatch, [&] { ClickBinding(popup, [](const Variant&, bool&) {}); });

  bar.call("Delete");
  EXPECT_EQ(app_.get("ActiveExplorer").get("CommandBars").get("Count").ToLong(), 0);
  ExpectError(kErrFailed, [&] { popup.get("Caption"); });
}

TEST_F(OutlookTest, StartedForAutomationThereIsNoExplorer) {
  Variant app = StartOutlook(profile_, StartMode::Automation);
  EXPECT_TRUE(app.get("ActiveExplorer").IsNothing());
  ExpectError(kErrObjectNotSet, [&] { app.get("ActiveExplorer").get("CommandBars"); });
  EXPECT_EQ(app.call("GetNamespace", "MAPI").get("Folders").get("Count").ToLong(), 1);
}

TEST_F(OutlookTest, HostHelpersListAddEditAndDescribeItems) {
  const Variant tasks = FindFolder(app_, "\\\\Personal Folders\\Tasks");
  EXPECT_EQ(tasks.get("Name").ToText(), "Tasks");
  ExpectError(kErrNotFound, [&] { FindFolder(app_, "Personal Folders\\Nope"); });
  const auto paths = ListFolderPaths(app_);
  EXPECT_EQ(paths.size(), 6u);
  Variant first = AddItem(tasks, {{"Subject", "first"}, {"DueDate", "2013-06-01"}});
  Tick(5);
  AddItem(tasks, {{"Subject", "second"}});
  ExpectError(kErrTypeMismatch, [&] { AddItem(tasks, {{"PercentComplete", "lots"}}); });
  Tick(5);
  EditItem(first, {{"Subject", "first, edited"}});
  Variant third = AddItem(tasks, {{"Subject", "third"}});
  DeleteItem(third);
  EXPECT_EQ(ListItems(FindFolder(app_, "Personal Folders\\Deleted Items")).size(), 1u);
  const auto items = ListItems(tasks);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].subject, "first, edited");
  EXPECT_EQ(items[0].itemClass, 48);
  const Variant opened = OpenItem(app_, items[1].entryId);
  EXPECT_EQ(opened.get("Subject").ToText(), "second");
  const auto description = DescribeItem(first);
  EXPECT_NE(std::find(description.begin(), description.end(),
                      std::pair<std::string, std::string>("DueDate", "2013-06-01 00:00:00")),
            description.end());
}

TEST_F(OutlookTest, CreatedItemsGoToTheDefaultFolderOfTheirType) {
  Variant appt = app_.call("CreateItem", 1);
  appt.put("Subject", "Dentist");
  appt.call("Save");
  EXPECT_EQ(appt.get("Parent").get("Name").ToText(), "Calendar");
  Variant list = app_.call("CreateItem", 7);
  list.call("Save");
  EXPECT_EQ(list.get("Parent").get("Name").ToText(), "Contacts");
  EXPECT_EQ(list.get("MessageClass").ToText(), "IPM.DistList");
  Variant mail = app_.call("CreateItem", 0);
  mail.put("To", "ann@example.com; bob@example.com");
  EXPECT_EQ(mail.get("Recipients").get("Count").ToLong(), 2);
  mail.call("Save");
  EXPECT_EQ(mail.get("Parent").get("Name").ToText(), "Inbox");
  ExpectError(kErrInvalidValue, [&] { app_.call("CreateItem", 5); });
  ExpectError(kErrArgumentMissing, [&] { app_.call("CreateItem"); });
  ExpectError(kErrInvalidValue, [&] { app_.call("GetNamespace", "XYZ"); });
  // A contacts folder holds lists and contacts; Add without a type gives a contact.
  const Variant contacts = Folder(10).get("Items");
  EXPECT_EQ(contacts.get("Count").ToLong(), 1);
  EXPECT_EQ(contacts.call("Add").get("Class").ToLong(), 40);
  EXPECT_EQ(contacts.call("Add", 7).get("Class").ToLong(), 69);
  ExpectError(kErrInvalidValue, [&] { contacts.call("Add", 4); });
}

TEST_F(OutlookTest, ItemsFindBySubjectAndSortByOtherProperties) {
  for (const char* subject : {"beta", "Alpha", "gamma"}) {
    Variant t = Folder(13).get("Items").call("Add");
    t.put("Subject", subject);
    t.call("Save");
  }
  Variant items = Folder(13).get("Items");
  EXPECT_EQ(items.call("Item", "ALPHA").get("Subject").ToText(), "Alpha");
  ExpectError(kErrNotFound, [&] { items.call("Item", "delta"); });
  items.call("Sort", "[Subject]");
  EXPECT_EQ(items.call("Item", 1).get("Subject").ToText(), "Alpha");
  EXPECT_EQ(items.call("Item", 3).get("Subject").ToText(), "gamma");
  ExpectError(kErrInvalidValue, [&] { items.call("Sort", "[NoSuchField]", true); });
  EXPECT_EQ(items.call("Item", 1).get("Subject").ToText(), "Alpha");  // the old order stays
}

TEST_F(OutlookTest, AHandleWhoseItemWasRemovedElsewhereFails) {
  Variant c = NewContact("Ann Smith");
  Variant other = Folder(10).get("Items").call("Item", 1);
  c.call("Delete");
  EXPECT_EQ(other.get("Parent").get("Name").ToText(), "Deleted Items");  // moved, still there
  Folder(3).get("Items").call("Item", 1).call("Delete");
  ExpectError(kErrFailed, [&] { other.get("FullName"); });
  ExpectError(kErrFailed, [&] { other.call("Save"); });
}

TEST_F(OutlookTest, RecipientsCanBeFoundRemovedAndDeleted) {
  Variant mail = app_.call("CreateItem", 0);
  Variant recipients = mail.get("Recipients");
  for (const char* name : {"a@example.com", "b@example.com", "c@example.com"}) recipients.call("Add", name);
  EXPECT_EQ(recipients.call("Item", "B@example.com").get("Index").ToLong(), 2);
  recipients.call("Remove", 1);
  EXPECT_EQ(recipients.call("Item", 1).get("Name").ToText(), "b@example.com");
  recipients.call("Item", 2).call("Delete");
  EXPECT_EQ(recipients.get("Count").ToLong(), 1);
  EXPECT_TRUE(recipients.call("Item", 1).call("Resolve").ToBool());
  ExpectError(kErrNotFound, [&] { recipients.call("Item", 2); });
  ExpectError(kErrNotFound, [&] { recipients.call("Item", "nobody"); });
  ExpectError(kErrArgumentMissing, [&] { recipients.call("Add"); });
}

TEST_F(OutlookTest, TwoContactsOfTheSameNameDoNotResolve) {
  NewContact("Ann Smith", "ann1@example.com");
  NewContact("Ann Smith", "ann2@example.com");
  Variant mail = app_.call("CreateItem", 0);
  mail.get("Recipients").call("Add", "Ann Smith");
  mail.get("Recipients").call("Add", "ann2@example.com");  // by address: one contact
  EXPECT_FALSE(mail.get("Recipients").call("ResolveAll").ToBool());
  EXPECT_FALSE(mail.get("Recipients").call("Item", 1).get("Resolved").ToBool());
  const Variant second = mail.get("Recipients").call("Item", 2);
  EXPECT_TRUE(second.get("Resolved").ToBool());
  EXPECT_EQ(second.get("EntryID").ToText().substr(0, 8), "00000000");
  // Contacts in Deleted Items are no longer in the address book.
  Folder(10).get("Items").call("Item", 1).call("Delete");
  Variant again = app_.call("CreateItem", 0);
  again.get("Recipients").call("Add", "Ann Smith");
  EXPECT_TRUE(again.get("Recipients").call("ResolveAll").ToBool());
}

TEST_F(OutlookTest, PatternTypesTakeTheirDefaultsFromTheStartDate) {
  Variant appt = Folder(9).get("Items").call("Add");
  appt.put("Start", MakeDate(2013, 11, 21, 10, 0));  // the third Thursday of November
  Variant pattern = appt.call("GetRecurrencePattern");
  EXPECT_EQ(pattern.get("PatternStartDate").ToDate(), MakeDate(2013, 11, 21));
  pattern.put("RecurrenceType", 6);
  EXPECT_EQ(pattern.get("Instance").ToLong(), 3);
  EXPECT_EQ(pattern.get("DayOfWeekMask").ToLong(), 16);
  EXPECT_EQ(pattern.get("MonthOfYear").ToLong(), 11);
  pattern.put("RecurrenceType", 5);
  EXPECT_EQ(pattern.get("DayOfMonth").ToLong(), 21);
  EXPECT_EQ(pattern.get("Instance").ToLong(), 0);
  ExpectError(kErrInvalidValue, [&] { pattern.put("RecurrenceType", 4); });
  ExpectError(kErrInvalidValue, [&] { pattern.put("PatternEndDate", MakeDate(2013, 1, 1)); });
  pattern.put("PatternEndDate", MakeDate(2015, 1, 1));
  EXPECT_FALSE(pattern.get("NoEndDate").ToBool());
  pattern.put("Occurrences", 4);
  pattern.put("NoEndDate", true);
  EXPECT_EQ(pattern.get("Occurrences").ToLong(), 0);
  ExpectError(kErrInvalidValue, [&] { pattern.put("Interval", 0); });
  ExpectError(kErrNotSupported, [&] { pattern.put("Exceptions", 1); });
}

TEST_F(OutlookTest, TaskStatusPercentageAndCompletionFollowEachOther) {
  Variant task = Folder(13).get("Items").call("Add");
  EXPECT_EQ(task.get("Status").ToLong(), 0);
  task.put("PercentComplete", 100);
  EXPECT_EQ(task.get("Status").ToLong(), 2);
  EXPECT_TRUE(task.get("Complete").ToBool());
  task.put("Status", 1);  // the status sent last stays
  EXPECT_EQ(task.get("PercentComplete").ToLong(), 0);
  EXPECT_FALSE(task.get("Complete").ToBool());
  task.put("Status", 4);
  task.put("PercentComplete", 25);
  EXPECT_EQ(task.get("Status").ToLong(), 4);  // deferred stays deferred
  task.put("Complete", false);
  EXPECT_EQ(task.get("Status").ToLong(), 4);
  ExpectError(kErrInvalidValue, [&] { task.put("PercentComplete", 101); });
  ExpectError(kErrInvalidValue, [&] { task.put("Status", 5); });
  EXPECT_EQ(task.get("Attachments").get("Count").ToLong(), 0);
  const int32_t emptySize = task.get("Size").ToLong();
  task.put("Body", std::string(1000, 'x'));
  EXPECT_GE(task.get("Size").ToLong(), emptySize + 1000);
}

TEST_F(OutlookTest, ContactsFileAsTheCompanyWhenTheyHaveNoName) {
  Variant c = Folder(10).get("Items").call("Add");
  c.put("CompanyName", "Acme");
  EXPECT_EQ(c.get("FileAs").ToText(), "Acme");
  c.put("FirstName", "Ann");
  EXPECT_EQ(c.get("FileAs").ToText(), "Ann");
  EXPECT_EQ(c.get("FullName").ToText(), "Ann");
  c.put("FullName", "");
  EXPECT_EQ(c.get("FirstName").ToText(), "");
  EXPECT_EQ(c.get("FileAs").ToText(), "Acme");
}

TEST_F(OutlookTest, WrappedListsAnswerForMembersAndRawFieldsKeepTheirTypes) {
  profile_->SetWrapperLibraryInstalled(true);
  NewContact("Ann Smith", "ann@example.com");
  Variant list = Folder(10).get("Items").call("Add", 7);
  Variant scratch = app_.call("CreateItem", 0);
  scratch.get("Recipients").call("Add", "Ann Smith");
  scratch.get("Recipients").call("ResolveAll");
  Variant safe = app_.call("CreateObject", "Redemption.SafeDistList");
  safe.put("Item", list);
  safe.call("AddMembers", scratch.get("Recipients"));
  EXPECT_EQ(safe.get("MemberCount").ToLong(), 1);
  const Variant member = safe.call("GetMember", 1);
  EXPECT_EQ(member.get("Address").ToText(), "ann@example.com");
  EXPECT_EQ(member.get("Fields", 0x3003001E).ToText(), "ann@example.com");
  ExpectError(kErrNotSupported, [&] { member.put("Fields", {0x3003001E}, "x@y"); });
  safe.put("Fields", {0x8001000B}, "True");
  safe.put("Fields", {0x80020005}, "2.5");
  safe.put("Fields", {0x80030040}, "2013-05-21 10:00");
  safe.put("Fields", {0x80040003}, "7");
  ExpectError(kErrTypeMismatch, [&] { safe.put("Fields", {0x80050003}, "seven"); });
  safe.call("Save");

  auto reopened = Profile::Open(profile_->path());
  const Variant app = StartOutlook(reopened);
  Variant again = app.call("CreateObject", "Redemption.SafeDistList");
  again.put("Item", OpenItem(app, list.get("EntryID").ToText()));
  EXPECT_EQ(again.get("Fields", 0x8001000B), Variant(true));
  EXPECT_EQ(again.get("Fields", 0x80020005), Variant(2.5));
  EXPECT_EQ(again.get("Fields", 0x80030040), Variant(MakeDate(2013, 5, 21, 10, 0)));
  EXPECT_EQ(again.get("Fields", 0x80040003), Variant(7));
  EXPECT_EQ(again.call("GetMember", 1).get("Name").ToText(), "Ann Smith");
}

TEST_F(OutlookTest, ClickBindingsMoveUnbindThemselvesAndOutliveTheirButton) {
  Variant bar = app_.get("ActiveExplorer").get("CommandBars").call("Add", "Bar");
  Variant button = bar.get("Controls").call("Add", 1);
  EXPECT_EQ(button.get("Index").ToLong(), 1);
  int clicks = 0;
  ClickBinding* self = nullptr;
  ClickBinding binding;
  EXPECT_FALSE(binding.bound());
  binding = ClickBinding(button, [&](const Variant&, bool&) {
    ++clicks;
    self->Reset();  // a handler may unbind itself
  });
  ClickBinding moved(std::move(binding));
  self = &moved;
  EXPECT_FALSE(binding.bound());
  EXPECT_TRUE(moved.bound());
  button.call("Execute");
  button.call("Execute");
  EXPECT_EQ(clicks, 1);
  ClickBinding late(button, [&](const Variant&, bool& cancel) { cancel = true; ++clicks; });
  button.call("Delete");
  EXPECT_EQ(bar.get("Controls").get("Count").ToLong(), 0);
  button = Variant();
  late.Reset();  // the button is gone: nothing to do
  EXPECT_FALSE(late.bound());
  ExpectError(kErrInvalidValue, [&] { bar.get("Controls").call("Add", 1, Variant(), Variant(), 5); });
  ExpectError(kErrInvalidValue, [&] { bar.get("Controls").call("Add", 4); });
  ExpectError(kErrInvalidValue, [&] { app_.get("ActiveExplorer").get("CommandBars").call("Item", "Nope"); });
}

TEST(ProfileTest, AProfileWrittenByOneProcessIsReadByAnother) {
  TempDir dir;
  const std::string path = dir.File("shared.db");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int code = 1;
    try {
      auto profile = Profile::Open(path);
      profile->AddStore("Second");
      profile->SetWrapperLibraryInstalled(true);
      profile->SetStoreRefusesNewFolders(2, true);
      const Variant ns = StartOutlook(profile).call("GetNamespace", "MAPI");
      Variant c = ns.call("GetDefaultFolder", 10).get("Items").call("Add");
      c.put("FullName", "Ann Smith");
      c.put("Email1Address", "ann@example.com");
      c.call("Save");
      Variant t = ns.call("GetDefaultFolder", 13).get("Items").call("Add");
      t.put("Subject", "Report");
      t.put("DueDate", "2013-06-01");
      t.call("GetRecurrencePattern").put("Interval", 2);
      t.call("Save");
      code = 0;
    } catch (...) {
    }
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  auto profile = Profile::Open(path);
  EXPECT_TRUE(profile->WrapperLibraryInstalled());
  const Variant app = StartOutlook(profile);
  const Variant ns = app.call("GetNamespace", "MAPI");
  ASSERT_EQ(ns.get("Folders").get("Count").ToLong(), 2);
  EXPECT_EQ(ns.get("Folders").call("Item", 2).get("Name").ToText(), "Second");
  ExpectError(kErrFailed, [&] { ns.get("Folders").call("Item", 2).get("Folders").call("Add", "X"); });
  const Variant contact = ns.call("GetDefaultFolder", 10).get("Items").call("Item", 1);
  EXPECT_EQ(contact.get("LastName").ToText(), "Smith");
  EXPECT_EQ(contact.get("Email1Address").ToText(), "ann@example.com");
  const Variant task = ns.call("GetDefaultFolder", 13).get("Items").call("Item", 1);
  EXPECT_EQ(task.get("DueDate").ToDate(), MakeDate(2013, 6, 1));
  EXPECT_EQ(task.get("StartDate").ToDate(), kNoDate);
  EXPECT_TRUE(task.get("IsRecurring").ToBool());
  EXPECT_EQ(task.call("GetRecurrencePattern").get("Interval").ToLong(), 2);
  // New items never reuse the EntryID of one removed for good.
  const std::string oldId = task.get("EntryID").ToText();
  task.call("Delete");
  ns.call("GetDefaultFolder", 3).get("Items").call("Item", 1).call("Delete");
  Variant next = ns.call("GetDefaultFolder", 13).get("Items").call("Add");
  next.call("Save");
  EXPECT_NE(next.get("EntryID").ToText(), oldId);
}

TEST(ProfileTest, AFailedWriteKeepsNothingOfTheChange) {
  TempDir dir;
  const std::string path = dir.File("profile.db");
  auto profile = Profile::Open(path);
  const Variant tasks = StartOutlook(profile).call("GetNamespace", "MAPI").call("GetDefaultFolder", 13);
  Variant kept = tasks.get("Items").call("Add");
  kept.put("Subject", "kept");
  kept.call("Save");
  // Another connection makes every write of the subject "fail" abort half-way.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TRIGGER fail AFTER INSERT ON item_values"
                         " WHEN NEW.value = 'fail' BEGIN SELECT RAISE(ABORT, 'injected'); END",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);

  Variant lost = tasks.get("Items").call("Add");
  lost.put("Subject", "fail");
  ExpectError(kErrFailed, [&] { lost.call("Save"); });
  EXPECT_EQ(lost.get("EntryID").ToText(), "");
  kept.put("Subject", "fail");
  ExpectError(kErrFailed, [&] { kept.call("Save"); });
  EXPECT_EQ(tasks.get("Items").get("Count").ToLong(), 1);
  EXPECT_EQ(tasks.get("Items").call("Item", 1).get("Subject").ToText(), "kept");

  profile.reset();
  auto reopened = Profile::Open(path);
  const Variant again = StartOutlook(reopened).call("GetNamespace", "MAPI").call("GetDefaultFolder", 13);
  ASSERT_EQ(again.get("Items").get("Count").ToLong(), 1);
  EXPECT_EQ(again.get("Items").call("Item", 1).get("Subject").ToText(), "kept");
}

TEST(ProfileTest, ADamagedProfileGivesAClearError) {
  TempDir dir;
  ASSERT_TRUE(qv::testing::WriteFile(dir.File("junk.db"), std::string(4096, 'x')));
  try {
    Profile::Open(dir.File("junk.db"));
    ADD_FAILURE() << "opened a damaged profile";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrCorruptProfile);
    EXPECT_NE(e.description().find(dir.File("junk.db")), std::string::npos) << e.description();
  }
  // An empty file (made by mktemp, say) becomes a new profile.
  ASSERT_TRUE(qv::testing::WriteFile(dir.File("empty.db"), ""));
  EXPECT_EQ(StartOutlook(Profile::Open(dir.File("empty.db"))).call("GetNamespace", "MAPI")
                .call("GetDefaultFolder", 3).get("Name").ToText(),
            "Deleted Items");
  // A database another process has just made and not yet given its tables
  // (its header is written, so the file is not empty) becomes a new profile too.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("fresh.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(db);
  EXPECT_EQ(StartOutlook(Profile::Open(dir.File("fresh.db"))).call("GetNamespace", "MAPI")
                .call("GetDefaultFolder", 10).get("Name").ToText(),
            "Contacts");
  // A valid SQLite file that is no profile.
  ASSERT_EQ(sqlite3_open(dir.File("other.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE profile(key TEXT, value TEXT)", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  ExpectError(kErrCorruptProfile, [&] { Profile::Open(dir.File("other.db")); });
  // A profile whose folders lost their store.
  { Profile::Open(dir.File("good.db")); }
  ASSERT_EQ(sqlite3_open(dir.File("good.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "PRAGMA foreign_keys=OFF; DELETE FROM stores", nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  ExpectError(kErrCorruptProfile, [&] { Profile::Open(dir.File("good.db")); });
  ExpectError(kErrFailed, [&] { Profile::Open(dir.File("missing-dir/x.db")); });
}

TEST(ProfileTest, ParallelProcessesAddingToOneProfileLoseNothing) {
  TempDir dir;
  const std::string path = dir.File("shared.db");  // created by whichever child comes first
  constexpr int kProcesses = 3;
  constexpr int kAdds = 200;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      int failures = 0;
      for (int i = 0; i < kAdds; ++i) {
        try {  // each add as `qvsync add` does it: open, add, save, close
          auto profile = Profile::Open(path);
          Variant c = StartOutlook(profile).call("GetNamespace", "MAPI")
                          .call("GetDefaultFolder", 10).get("Items").call("Add");
          c.put("FullName", "P" + std::to_string(p) + " N" + std::to_string(i));
          c.call("Save");
        } catch (const Error& e) {
          if (failures++ == 0) std::fprintf(stderr, "child %d: %s\n", p, e.what());
        }
      }
      _exit(failures == 0 ? 0 : 1);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a child's add failed";
  }
  auto profile = Profile::Open(path);
  const Variant ns = StartOutlook(profile).call("GetNamespace", "MAPI");
  EXPECT_EQ(ns.call("GetDefaultFolder", 10).get("Items").get("Count").ToLong(),
            kProcesses * kAdds);
  EXPECT_EQ(ns.get("Folders").get("Count").ToLong(), 1);  // one default store, made once
}

TEST(ProfileTest, RowsClaimingAbsurdPositionsAreADamagedProfile) {
  TempDir dir;
  const std::string path = dir.File("profile.db");
  {
    auto profile = Profile::Open(path);
    Variant mail = StartOutlook(profile).call("GetNamespace", "MAPI").call("GetDefaultFolder", 6)
                       .get("Items").call("Add");
    mail.get("Recipients").call("Add", "ann@example.com");
    mail.get("Recipients").call("Add", "bob@example.com");
    mail.call("Save");
  }
  // Still a good profile: both recipients come back.
  {
    auto profile = Profile::Open(path);
    Variant mail = StartOutlook(profile).call("GetNamespace", "MAPI").call("GetDefaultFolder", 6)
                       .get("Items").call("Item", 1);
    EXPECT_EQ(mail.get("Recipients").get("Count").ToLong(), 2);
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "UPDATE item_values SET position = 99999 WHERE part = 'R' AND position = 1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  ExpectError(kErrCorruptProfile, [&] { Profile::Open(path); });
}

}  // namespace
}  // namespace qv::outlook
