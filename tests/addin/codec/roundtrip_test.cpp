// Items serialised, posted to the servlet emulator over loopback HTTP, fetched
// back with GET and deserialised onto fresh items agree on every field the
// requests carry.
#include <cstdint>

#include "addin/codec/item_codec.h"
#include "addin/codec/strings.h"
#include "platform/timezone/timezone.h"
#include "tests/addin/codec/wrapper_access.h"
#include "tests/addin/server/server_fixture.h"

namespace qvsync {
namespace {

using qv::outlook::Date;
using qv::outlook::MakeDate;
using qv::outlook::Variant;
using qv::testing::ScopedEnv;

class RoundTripTest : public testing::ServerTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    ServerTest::SetUp();
    profile_ = qv::outlook::Profile::Open(dir_.File("profile.db"));
    profile_->SetWrapperLibraryInstalled(GetParam());
    app_ = qv::outlook::StartOutlook(profile_, qv::outlook::StartMode::Automation);
    ns_ = app_.call("GetNamespace", "MAPI");
    UseRedemption = GetParam();
    Config().timeZoneSource = 0;
    // Summer in central Europe: the offset is 120 minutes.
    qv::timezone::SetNowForTesting(
        static_cast<std::time_t>(qv::timezone::DaysFromCivil(2013, 7, 1)) * 86400);
    ASSERT_EQ(Login(), 1);
  }
  void TearDown() override {
    qv::timezone::SetNowForTesting(std::nullopt);
    UseRedemption = false;
    ServerTest::TearDown();
  }
  Variant Access(const Variant& item) { return testing::AccessObject(app_, item, GetParam()); }
  Variant Folder(int special) { return ns_.call("GetDefaultFolder", special); }
  // ADD through the protocol; the new server UID.
  std::string Post(const Variant& item) {
    const std::string reply = PostItemToServer(*MakeServerItem(Access(item)));
    EXPECT_FALSE(reply.empty());
    return GetToken(reply, "\t", 1);
  }
  // GET through the protocol onto a fresh item of the same type.
  Variant Fetch(const std::string& uid, int itemType) {
    Variant fresh = Folder(itemType == 1   ? 9
                           : itemType == 3 ? 13
                                           : 10)
                        .get("Items")
                        .call("Add", itemType);
    EXPECT_TRUE(GetItemFromServer(uid, *MakeServerItem(Access(fresh))));
    return fresh;
  }
  void ExpectSame(const Variant& a, const Variant& b, std::initializer_list<const char*> names) {
    for (const char* name : names) EXPECT_EQ(a.get(name).ToText(), b.get(name).ToText()) << name;
  }
  void ExpectSamePattern(const Variant& a, const Variant& b) {
    ASSERT_TRUE(b.get("IsRecurring").ToBool());
    ExpectSame(a.call("GetRecurrencePattern"), b.call("GetRecurrencePattern"),
               {"RecurrenceType", "Interval", "Instance", "PatternStartDate", "PatternEndDate",
                "NoEndDate", "Occurrences", "DayOfMonth", "DayOfWeekMask", "MonthOfYear"});
  }

  ScopedEnv tz_{"TZ", "CET-1CEST,M3.5.0,M10.5.0/3"};
  ScopedEnv hklm_{"QUORVIA_HKLM", dir_.File("hklm.db")};
  std::shared_ptr<qv::outlook::Profile> profile_;
  Variant app_;
  Variant ns_;
};

INSTANTIATE_TEST_SUITE_P(Wrapper, RoundTripTest, ::testing::Bool(), testing::WrapperCase);

TEST_P(RoundTripTest, Contact) {
  Variant c = Folder(10).get("Items").call("Add");
  c.put("FullName", "Ann B. Lee");
  c.put("NickName", "Annie & Co <x>");
  c.put("Email1Address", "ann@example.com");
  c.put("CompanyName", "Caf\xC3\xA9 \xE2\x82\xAC");
  c.put("Department", "R&D");
  c.put("Sensitivity", 2);
  c.put("BusinessTelephoneNumber", "+49 30 1");
  c.put("HomeTelephoneNumber", "2");
  c.put("MobileTelephoneNumber", "3");
  c.call("Save");
  Variant back = Fetch(Post(c), 2);
  ExpectSame(c, back,
             {"FirstName", "MiddleName", "LastName", "FullName", "NickName", "Email1Address",
              "CompanyName", "Department", "Sensitivity", "BusinessTelephoneNumber",
              "HomeTelephoneNumber", "MobileTelephoneNumber"});
  EXPECT_EQ(back.get("FileAs").ToText(), "Ann B. Lee");
}

TEST_P(RoundTripTest, RecurringAppointment) {
  Variant a = Folder(9).get("Items").call("Add");
  a.put("Subject", "Review \"Q3\"");
  a.put("Location", "Room 1; floor 2");
  a.put("Start", MakeDate(2013, 7, 2, 9, 30));
  a.put("End", MakeDate(2013, 7, 2, 11, 0));
  a.put("BusyStatus", 1);
  a.put("Importance", 2);
  a.put("Sensitivity", 1);
  a.put("ReminderSet", true);
  a.put("ReminderMinutesBeforeStart", 30);
  a.put("Body", "line 1\nline 2");
  Variant p = a.call("GetRecurrencePattern");
  p.put("RecurrenceType", 3);  // the second Tuesday of every other month
  p.put("Interval", 2);
  p.put("Instance", 2);
  p.put("DayOfWeekMask", 4);
  p.put("Occurrences", 6);
  // Bytes whose Base64 holds "+" and "/", long enough to be broken into lines.
  qv::outlook::Bytes uidBytes(100, 0xAB);
  for (size_t i = 0; i < uidBytes.size(); i += 3) uidBytes[i] = 0xFB;
  if (GetParam()) Access(a).put("Fields", {Variant(kTagAppointmentUid)}, Variant(uidBytes));
  a.call("Save");
  Variant back = Fetch(Post(a), 1);
  ExpectSame(a, back,
             {"Subject", "Location", "Start", "End", "AllDayEvent", "BusyStatus", "Importance",
              "Sensitivity", "ReminderSet", "ReminderMinutesBeforeStart", "Body"});
  ExpectSamePattern(a, back);
  if (GetParam())
    EXPECT_EQ(Access(back).get("Fields", kTagAppointmentUid).ToBytes(), uidBytes);

  // Attendees travel back in the details a batch GET asks for.
  Variant b = Folder(9).get("Items").call("Add");
  b.put("Start", MakeDate(2013, 7, 3, 9, 0));
  b.put("RequiredAttendees", "x@example.com");
  b.get("Recipients").call("ResolveAll");
  b.get("Recipients").call("Item", 1).put("TrackingStatus", 3);
  const std::string uid = Post(b);
  int32_t code = 0;
  std::string message;
  const std::string reply =
      PostToServer("Cmd=GET-APPOINTMENT&ID=" + uid + "&ReturnAttendeesDetails=1", code, message);
  Variant fresh = Folder(9).get("Items").call("Add");
  EXPECT_EQ(DeserializeItem(reply, Access(fresh)), 1);
  Variant recipients = fresh.get("Recipients");
  ASSERT_EQ(recipients.get("Count").ToLong(), 1);
  EXPECT_EQ(recipients.call("Item", 1).get("Address").ToText(), "x@example.com");
  EXPECT_EQ(recipients.call("Item", 1).get("TrackingStatus").ToLong(), GetParam() ? 3 : 0);
}

// A daily series from 2024 to 2027 has 1461 occurrences, more than a count
// can give: it comes back ending on its own end date.
TEST_P(RoundTripTest, ASeriesOfMoreThan999Occurrences) {
  Variant a = Folder(9).get("Items").call("Add");
  a.put("Start", MakeDate(2024, 1, 1, 9, 0));
  Variant p = a.call("GetRecurrencePattern");
  p.put("RecurrenceType", 0);
  p.put("PatternEndDate", MakeDate(2027, 12, 31));
  a.call("Save");
  Variant back = Fetch(Post(a), 1);
  ExpectSamePattern(a, back);
  EXPECT_EQ(back.call("GetRecurrencePattern").get("PatternEndDate").ToDate(), MakeDate(2027, 12, 31));
}

TEST_P(RoundTripTest, RecurringTask) {
  Variant t = Folder(13).get("Items").call("Add");
  t.put("Subject", "Report");
  t.put("StartDate", MakeDate(2013, 7, 1));
  t.put("DueDate", MakeDate(2013, 7, 5));
  t.put("Importance", 0);
  t.put("Sensitivity", 3);
  t.put("Status", 1);
  t.put("PercentComplete", 40);
  Variant p = t.call("GetRecurrencePattern");
  p.put("RecurrenceType", 2);
  p.put("DayOfMonth", 5);
  p.put("PatternEndDate", MakeDate(2014, 1, 31));
  t.call("Save");
  Variant back = Fetch(Post(t), 3);
  ExpectSame(t, back,
             {"Subject", "StartDate", "DueDate", "Importance", "Sensitivity", "Status",
              "PercentComplete"});
  ExpectSamePattern(t, back);

  // A task made on the server side keeps its body, a contact its note and title.
  const std::string made = servlet_.AddItem("alice", "TASK", {{"Subject", "From webmail"}, {"Body", "a note"}});
  EXPECT_EQ(Fetch(made, 3).get("Body").ToText(), "a note");
  const std::string contact =
      servlet_.AddItem("alice", "CONTACT", {{"FullName", "Ann Lee"}, {"Body", std::string(40000, 'n')}, {"Title", "Dr."}});
  Variant pulled = Fetch(contact, 2);
  EXPECT_EQ(pulled.get("Body").ToText(), std::string(40000, 'n'));
  EXPECT_EQ(pulled.get("Title").ToText(), "Dr.");

  Variant undated = Folder(13).get("Items").call("Add");
  undated.put("Subject", "Someday");
  Variant back2 = Fetch(Post(undated), 3);
  EXPECT_EQ(back2.get("DueDate").ToDate(), qv::outlook::kNoDate);
  EXPECT_FALSE(back2.get("IsRecurring").ToBool());
}

TEST_P(RoundTripTest, DistributionList) {
  ConversionTable table;
  std::vector<std::string> names = {"Ann Lee", "Bob Ray"};
  Variant scratch = app_.call("CreateItem", 0).get("Recipients");
  for (const std::string& name : names) {
    Variant c = Folder(10).get("Items").call("Add");
    c.put("FullName", name);
    c.call("Save");
    table.AddItemIdConversion(Post(c), c.get("EntryID").ToText(), "1");
    scratch.call("Add", name);
  }
  scratch.call("ResolveAll");
  Variant list = Folder(10).get("Items").call("Add", 7);
  list.put("DLName", "Team & friends");
  list.call("AddMembers", scratch);
  list.call("Save");
  const std::string fields = SerializeItem("", Access(list), &table);
  ASSERT_FALSE(fields.empty());
  int32_t code = 0;
  std::string message;
  const std::string added = PostToServer("Cmd=ADD-CONTACTGROUP&" + fields, code, message);
  const std::string uid = GetXmlValue(added, "UID");
  ASSERT_FALSE(uid.empty()) << added;
  const std::string reply = PostToServer("Cmd=GET-CONTACTGROUP&ID=" + uid, code, message);
  Variant fresh = Folder(10).get("Items").call("Add", 7);
  fresh.call("Save");
  EXPECT_EQ(DeserializeItem(reply, Access(fresh), Folder(10), &table), 1) << reply;
  EXPECT_EQ(fresh.get("Subject").ToText(), "Team & friends");
  ASSERT_EQ(fresh.get("MemberCount").ToLong(), 2);
  for (int i = 1; i <= 2; ++i)
    EXPECT_EQ(fresh.call("GetMember", i).get("EntryID").ToText(),
              list.call("GetMember", i).get("EntryID").ToText());
}

}  // namespace
}  // namespace qvsync
