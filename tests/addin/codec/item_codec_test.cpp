#include "addin/codec/item_codec.h"

#include <fcntl.h>

#include "addin/codec/recurrence.h"
#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "platform/registry/registry.h"
#include "platform/timezone/timezone.h"
#include "tests/addin/codec/wrapper_access.h"
#include "tests/common/test_support.h"

namespace qvsync {
namespace {

using qv::outlook::Date;
using qv::outlook::MakeDate;
using qv::outlook::Variant;
using qv::testing::ScopedEnv;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// A fresh profile in a zone 10 hours east of UTC; the parameter says whether
// the safe-item wrapper library is installed (and used).
class ItemCodecTest : public qv::testing::RegistryTest, public ::testing::WithParamInterface<bool> {
 protected:
  ItemCodecTest() : profile_(qv::outlook::Profile::Open(dir_.File("profile.db"))) {
    profile_->SetWrapperLibraryInstalled(GetParam());
    profile_->SetClock([this] { return now_; });
    app_ = qv::outlook::StartOutlook(profile_, qv::outlook::StartMode::Automation);
    ns_ = app_.call("GetNamespace", "MAPI");
    UseRedemption = GetParam();
    Config() = SyncConfig{};
    Config().troubleshootingMode = 1;
    SetLogFilePathForTesting(dir_.File("QVSync.Log"));
  }
  ~ItemCodecTest() override {
    SetLogFilePathForTesting("");
    UseRedemption = false;
    qv::timezone::SetNowForTesting(std::nullopt);
  }
  Variant Folder(int special) { return ns_.call("GetDefaultFolder", special); }
  Variant Contacts() { return Folder(10); }
  // The access object the engine hands in: the wrapper when installed.
  Variant Access(const Variant& item) { return testing::AccessObject(app_, item, GetParam()); }
  Variant NewItem(int type) { return app_.call("CreateItem", type); }
  Variant NewContact(const std::string& fullName, const std::string& email = "") {
    Variant c = Contacts().get("Items").call("Add");
    c.put("FullName", fullName);
    if (!email.empty()) c.put("Email1Address", email);
    c.call("Save");
    return c;
  }
  std::string Serialize(const Variant& item, const std::string& id = "",
                        const ConversionTable* table = nullptr) {
    return SerializeItem(id, Access(item), table);
  }
  int32_t Deserialize(const std::string& xml, const Variant& item,
                      const ConversionTable* table = nullptr) {
    return DeserializeItem(xml, Access(item), Variant(), table);
  }
  std::string Log() const { return qv::testing::ReadFile(dir_.File("QVSync.Log")); }

  ScopedEnv tz_{"TZ", "AEST-10"};
  Date now_ = MakeDate(2013, 5, 21, 9, 0, 0);
  std::shared_ptr<qv::outlook::Profile> profile_;
  Variant app_;
  Variant ns_;
};

INSTANTIATE_TEST_SUITE_P(Wrapper, ItemCodecTest, ::testing::Bool(), testing::WrapperCase);

TEST_P(ItemCodecTest, ContactFieldsInOrderWithBodyLineEndsFolded) {
  Variant c = NewItem(2);
  c.put("FirstName", "Ann");
  c.put("Body", "a\r\nb");
  c.put("Email1Address", "ann@example.com");
  const std::string text = Serialize(c);
  EXPECT_EQ(text.rfind("FirstName=Ann&MiddleName=&LastName=", 0), 0u) << text;
  EXPECT_FALSE(Contains(text, "&ID="));
  EXPECT_TRUE(Contains(text, "&EMail=ann%u0040example.com&Business=&Sensitivity=0&Department="));
  EXPECT_TRUE(text.ends_with("&Note=a%u000Ab")) << text;
  EXPECT_TRUE(Serialize(c, "7.VCF").ends_with("&Note=a%u000Ab&ID=7.VCF"));
  // Long values are escaped whole.
  c.put("Body", std::string(40000, 'a') + "\xC3\xA9");
  EXPECT_TRUE(Serialize(c).ends_with("&Note=" + std::string(40000, 'a') + "%u00E9"));
}

TEST_P(ItemCodecTest, AppointmentFieldsAndTheGroupsTheWrapperFeeds) {
  Config().timeZoneSource = 0;
  Variant a = NewItem(1);
  a.put("Subject", "R&D plan");
  a.put("Start", MakeDate(2013, 5, 21, 12, 30));
  a.put("End", MakeDate(2013, 5, 21, 13, 0));
  a.put("AllDayEvent", true);
  a.put("Body", "x");
  if (GetParam())
    Access(a).put("Fields", {Variant(kTagAppointmentUid)}, Variant(qv::outlook::Bytes{1, 2, 250}));
  const std::string text = Serialize(a);
  EXPECT_EQ(
      text.rfind(
          "StartTime=2013-05-21-00-00&FinishTime=2013-05-22-00-00&Description=R%u0026D+plan&", 0),
      0u)
      << text;
  EXPECT_TRUE(Contains(text, "&AllDayEvent=1&BusyStatus="));
  EXPECT_TRUE(Contains(text, "&IsRecurring=False&"));
  EXPECT_TRUE(Contains(text, "&RecurrenceState=0&ReminderSet=True&offset=600")) << text;
  EXPECT_FALSE(Contains(text, "&RecurrenceInterval="));
  EXPECT_EQ(Contains(text, "&AppointmentUID=AQL6&From=&SenderDisplayName=&Notes=x"), GetParam())
      << text;
  if (GetParam()) {  // "+" and the line breaks of a long UID are escaped like any value
    Access(a).put("Fields", {Variant(kTagAppointmentUid)}, Variant(qv::outlook::Bytes(60, 0xFB)));
    const std::string uid = Serialize(a).substr(Serialize(a).find("&AppointmentUID=") + 16);
    EXPECT_TRUE(uid.starts_with("%u002B/v7%u002B/v7") && Contains(uid, "%u000D%u000A") &&
                uid.find_first_of("+\r\n") == std::string::npos)
        << uid;
  }
  EXPECT_EQ(Contains(text, "&From="), GetParam());
  EXPECT_TRUE(text.ends_with("&Notes=x"));
}

TEST_P(ItemCodecTest, AttendeeListInBothForms) {
  NewContact("Bob Smith");  // no address: a directory entry
  NewContact("Carol Jones", "carol@example.com");
  Variant a = NewItem(1);
  a.put("RequiredAttendees", "Bob Smith; Carol Jones");
  a.put("OptionalAttendees", "dave@example.com");
  Variant recipients = a.get("Recipients");
  recipients.call("ResolveAll");
  recipients.call("Item", 2).put("TrackingStatus", 3);
  const std::string text = Serialize(a);
  if (GetParam()) {
    EXPECT_TRUE(Contains(text,
                         "&Attendees=Bob+Smith%u007C0%u003Bcarol%u0040example.com%u007C3%u003B"
                         "dave%u0040example.com%u007C0&"))
        << text;
  } else {
    EXPECT_TRUE(
        Contains(text, "&Attendees=Bob+Smith%u003B+Carol+Jones%u003Bdave%u0040example.com&"))
        << text;
    Variant onlyOptional = NewItem(1);
    onlyOptional.put("OptionalAttendees", "dave@example.com");
    EXPECT_TRUE(Contains(Serialize(onlyOptional), "&Attendees=dave%u0040example.com&"));
  }
}

TEST_P(ItemCodecTest, TaskWithoutDatesAndWithRecurrence) {
  Config().timeZoneSource = 2;
  Variant t = NewItem(3);
  t.put("Subject", "Write");
  std::string text = Serialize(t);
  EXPECT_EQ(text.rfind("Importance=1&Status=0&Attachments=0&Size=", 0), 0u) << text;
  EXPECT_TRUE(Contains(text, "&StartDate=&DueDate=&Read=False&Mileage=&"));
  EXPECT_TRUE(text.ends_with("&Subject=Write&IsRecurring=False&offset=0")) << text;

  t.put("StartDate", MakeDate(2013, 6, 3));
  Variant pattern = t.call("GetRecurrencePattern");
  pattern.put("RecurrenceType", 1);
  pattern.put("Interval", 2);
  pattern.put("DayOfWeekMask", 2);  // Mondays
  pattern.put("Occurrences", 10);
  text = Serialize(t);
  EXPECT_TRUE(Contains(text, "&StartDate=2013-06-03-00-00&"));
  EXPECT_TRUE(
      text.ends_with("&IsRecurring=True&offset=0&RecurrenceInterval=2&RecurrenceType=1"
                     "&PatternStartDate=2013-06-03-00-00&Occurrences=10&RecurrenceInstance=0"
                     "&NoEndDate=False&DayOfMonth=0&DayOfWeekMask=2&MonthOfYear=0"
                     "&PatternEndDate=2013-10-07-00-00"))
      << text;
}

TEST_P(ItemCodecTest, OffsetFollowsTheTimeZoneSource) {
  ScopedEnv cet("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  qv::timezone::SetNowForTesting(static_cast<std::time_t>(qv::timezone::DaysFromCivil(2013, 7, 1)) *
                                 86400);
  EXPECT_EQ(GetTimeZoneOffset(0), 120);
  EXPECT_EQ(GetTimeZoneOffset(1), 120);
  EXPECT_EQ(GetTimeZoneOffset(2), 0);
  EXPECT_EQ(GetTimeZoneOffset(5), std::nullopt);
  qv::registry::Key key;
  ASSERT_EQ(
      qv::registry::Key::Create(qv::registry::Hive::LocalMachine,
                                "System\\CurrentControlSet\\control\\TimeZoneInformation", &key),
      qv::registry::Status::Ok);
  ASSERT_EQ(key.SetDword("DisableAutoDaylightTimeSet", 1), qv::registry::Status::Ok);
  EXPECT_EQ(GetTimeZoneOffset(0), 60);
  EXPECT_EQ(GetTimeZoneOffset(1), 120);
  qv::timezone::SetNowForTesting(
      static_cast<std::time_t>(qv::timezone::DaysFromCivil(2013, 1, 10)) * 86400);
  key.SetDword("DisableAutoDaylightTimeSet", 0);
  EXPECT_EQ(GetTimeZoneOffset(0), 60);

  Config().timeZoneSource = 5;
  Variant a = NewItem(1);
  EXPECT_TRUE(Contains(Serialize(a), "&offset=&"));
  Deserialize("<R><STARTTIME>2013-05-21-02-30</STARTTIME></R>", a);
  EXPECT_EQ(a.get("Start").ToDate(), MakeDate(2013, 5, 21, 2, 30));
}

TEST_P(ItemCodecTest, DistributionListMembersFromTheTable) {
  Variant ann = NewContact("Ann Lee", "ann@example.com");
  Variant bob = NewContact("Bob Ray", "bob@example.com");
  Variant list = Contacts().get("Items").call("Add", 7);
  list.put("DLName", "Team");
  Variant scratch = NewItem(0);
  Variant recipients = scratch.get("Recipients");
  recipients.call("Add", "outsider@example.com");
  recipients.call("Add", "Ann Lee");
  recipients.call("Add", "Bob Ray");
  recipients.call("ResolveAll");
  list.call("AddMembers", recipients);
  list.call("Save");

  ConversionTable table;
  table.AddItemIdConversion("1.VCF", ann.get("EntryID").ToText(), "1");
  table.AddItemIdConversion("2.VCF", bob.get("EntryID").ToText(), "1");
  EXPECT_EQ(Serialize(list, "", &table),
            "ObjectType=Group&GroupName=Team&Members=%u003B1.VCF%u003B2.VCF");

  // A member without a server UID: nothing to send, the list saved once.
  table.RemoveItemIdConversionByUID("2.VCF");
  const Date before = list.get("LastModificationTime").ToDate();
  now_ = qv::outlook::AddSeconds(now_, 60);
  EXPECT_EQ(Serialize(list, "3.GRP", &table), "");
  EXPECT_EQ(list.get("LastModificationTime").ToDate(), qv::outlook::AddSeconds(before, 60));
  EXPECT_EQ(Serialize(list, "3.GRP", nullptr), "");

  Variant oneOff = Contacts().get("Items").call("Add", 7);
  oneOff.put("DLName", "Outside");
  Variant r2 = NewItem(0).get("Recipients");
  r2.call("Add", "outsider@example.com");
  r2.call("ResolveAll");
  oneOff.call("AddMembers", r2);
  EXPECT_EQ(Serialize(oneOff, "", &table), "ObjectType=Group&GroupName=Outside&Members=");
  EXPECT_EQ(MemberContactEntryID(std::string(72, 'H') + "ABCDEF" + "TTTTTT" + "123456789"),
            "ABCDEFTTTTTT123");
  EXPECT_EQ(MemberContactEntryID("SHORT"), "SHORT");
}

TEST_P(ItemCodecTest, AppointmentFromServerXml) {
  Config().timeZoneSource = 0;
  Variant a = NewItem(1);
  const std::string xml =
      "<RESPONSE><RETURNVALUE>1</RETURNVALUE><DESCRIPTION>=?iso-8859-1?q?Caf=E9?=</DESCRIPTION>"
      "<STARTTIME>2013-05-21-02-30</STARTTIME><FINISHTIME>2013-05-21-03-00</FINISHTIME>"
      "<SENSITIVITY>abc</SENSITIVITY><BUSYSTATUS>x</BUSYSTATUS><IMPORTANCE>2</IMPORTANCE>"
      "<APPOINTMENTUID>AQL6</APPOINTMENTUID>"
      "<ATTENDEESDETAILS><A ID='o@example.com'><CN>Olga</CN><PARTSTAT>ACCEPTED</PARTSTAT>"
      "<ROLE>OWNER</ROLE></A><A ID='p@example.com'><CN>p@example.com</CN>"
      "<PARTSTAT>NEEDS-ACTION</PARTSTAT><ROLE>REQ-PARTICIPANT</ROLE></A></ATTENDEESDETAILS></"
      "RESPONSE>";
  a.put("Sensitivity", 2);
  a.put("BusyStatus", 3);
  EXPECT_EQ(Deserialize(xml, a), 1);
  EXPECT_EQ(a.get("Subject").ToText(), "Caf\xC3\xA9");
  EXPECT_EQ(a.get("Start").ToDate(), MakeDate(2013, 5, 21, 12, 30));
  EXPECT_EQ(a.get("End").ToDate(), MakeDate(2013, 5, 21, 13, 0));
  EXPECT_EQ(a.get("Sensitivity").ToLong(), 0);
  EXPECT_EQ(a.get("BusyStatus").ToLong(), 3);  // not a number: left as it was
  EXPECT_EQ(a.get("Importance").ToLong(), 2);
  Variant recipients = a.get("Recipients");
  ASSERT_EQ(recipients.get("Count").ToLong(), 2);
  EXPECT_EQ(recipients.call("Item", 1).get("TrackingStatus").ToLong(), 3);
  EXPECT_EQ(recipients.call("Item", 2).get("TrackingStatus").ToLong(), 0);
  if (GetParam()) {
    Variant wrapped = Access(a);
    EXPECT_EQ(wrapped.get("Fields", kTagAppointmentUid).ToBytes(), (qv::outlook::Bytes{1, 2, 250}));
    Variant owner = wrapped.get("Recipients").call("Item", 1);
    EXPECT_EQ(owner.get("Fields", kTagRecipientFlags).ToLong(), 3);
    EXPECT_EQ(owner.get("Address").ToText(), "o@example.com");
  }
}

TEST_P(ItemCodecTest, AllDayReadingsAndUnparsableXml) {
  Variant a = NewItem(1);
  const auto allDay = [&](const std::string& text) {
    a.put("AllDayEvent", !TextToBoolean(text));
    Deserialize("<R><ALLDAYEVENT>" + text + "</ALLDAYEVENT></R>", a);
    return a.get("AllDayEvent").ToBool();
  };
  for (const char* yes : {"1", "-1", "True", "tRUE"}) EXPECT_TRUE(allDay(yes)) << yes;
  for (const char* no : {"0", "False", "yes"}) EXPECT_FALSE(allDay(no)) << no;

  a.put("Subject", "kept");
  EXPECT_EQ(Deserialize("<R><DESCRIPTION>x</R>", a), 1);
  EXPECT_EQ(a.get("Subject").ToText(), "kept");
  EXPECT_TRUE(
      Contains(Log(),
               "\tParser Error occured on item <R><DESCRIPTION>x</R> when deserializing XML: "
               "<R><DESCRIPTION>x</R>\r\n"));
}

TEST_P(ItemCodecTest, ContactAndTaskFromServerXml) {
  Variant c = NewItem(2);
  Deserialize(
      "<R><NICKNAME>Annie</NICKNAME><FIRSTNAME>X</FIRSTNAME><FULLNAME>Ann B Lee</FULLNAME>"
      "<EMAIL>ann@example.com</EMAIL><PHONEM>+61 4</PHONEM></R>",
      c);
  EXPECT_EQ(c.get("FirstName").ToText(), "Ann");
  EXPECT_EQ(c.get("MiddleName").ToText(), "B");
  EXPECT_EQ(c.get("FileAs").ToText(), "Ann B Lee");
  EXPECT_EQ(c.get("Subject").ToText(), "Annie");
  EXPECT_EQ(c.get("NickName").ToText(), "Annie");
  EXPECT_EQ(c.get("MobileTelephoneNumber").ToText(), "+61 4");

  Variant t = NewItem(3);
  t.put("DueDate", MakeDate(2013, 6, 1));
  t.put("StartDate", MakeDate(2013, 5, 30));
  Deserialize("<R><SUBJECT>s</SUBJECT><DUEDATE/><PERCCOMP>50</PERCCOMP><STATUS>1</STATUS></R>", t);
  EXPECT_EQ(t.get("DueDate").ToDate(), qv::outlook::kNoDate);
  EXPECT_EQ(t.get("StartDate").ToDate(), MakeDate(2013, 5, 30));  // missing: left alone
  EXPECT_EQ(t.get("PercentComplete").ToLong(), 50);
  EXPECT_EQ(t.get("Status").ToLong(), 1);
  Deserialize("<R><DUEDATE>2013-07-02-23-59</DUEDATE><PERCCOMP></PERCCOMP></R>", t);
  EXPECT_EQ(t.get("DueDate").ToDate(), MakeDate(2013, 7, 2));
  EXPECT_EQ(t.get("PercentComplete").ToLong(), 50);
}

TEST_P(ItemCodecTest, RecurrenceFromServerXml) {
  ScopedEnv cet("TZ", "CET-1");
  Config().timeZoneSource = 0;
  Variant a = NewItem(1);
  a.put("Start", MakeDate(2013, 6, 1, 9, 0));
  const std::string base =
      "<R><ISRECURRING>1</ISRECURRING><RECURRENCESTATE>1</RECURRENCESTATE><RECURRENCETYPE>1</"
      "RECURRENCETYPE>"
      "<RECURRENCEINTERVAL>2</RECURRENCEINTERVAL><RECURRENCEINSTANCE>0</RECURRENCEINSTANCE>"
      "<PATTERNSTARTDATE>2013-05-31-23-00</PATTERNSTARTDATE><DAYOFWEEKMASK>64</DAYOFWEEKMASK>"
      "<DAYOFMONTH>9</DAYOFMONTH>";
  Deserialize(base +
                  "<NOENDDATE>False</NOENDDATE><OCCURRENCES>0</OCCURRENCES>"
                  "<PATTERNENDDATE>2013-12-31-00-00</PATTERNENDDATE></R>",
              a);
  ASSERT_TRUE(a.get("IsRecurring").ToBool());
  Variant p = a.call("GetRecurrencePattern");
  EXPECT_EQ(p.get("RecurrenceType").ToLong(), 1);
  EXPECT_EQ(p.get("Interval").ToLong(), 2);
  EXPECT_EQ(p.get("DayOfWeekMask").ToLong(), 64);
  EXPECT_EQ(p.get("PatternStartDate").ToDate(), MakeDate(2013, 6, 1));
  // From 2013-12-31 01:00 local: the last occurrence before it.
  EXPECT_EQ(p.get("PatternEndDate").ToDate(), MakeDate(2013, 12, 28));
  EXPECT_FALSE(p.get("NoEndDate").ToBool());
  EXPECT_EQ(p.get("Occurrences").ToLong(), 16);  // every other Saturday to the end of the year

  Deserialize(base + "<NOENDDATE>True</NOENDDATE><OCCURRENCES>5</OCCURRENCES></R>", a);
  EXPECT_TRUE(p.get("NoEndDate").ToBool());
  EXPECT_EQ(p.get("Occurrences").ToLong(), 0);

  Deserialize(base +
                  "<NOENDDATE>False</NOENDDATE><OCCURRENCES>5</OCCURRENCES>"
                  "<PATTERNENDDATE>2013-12-31-00-00</PATTERNENDDATE></R>",
              a);
  EXPECT_EQ(p.get("Occurrences").ToLong(), 5);
  EXPECT_EQ(p.get("PatternEndDate").ToDate(), MakeDate(2013, 7, 27));

  Deserialize("<R><ISRECURRING>False</ISRECURRING></R>", a);
  EXPECT_TRUE(a.get("IsRecurring").ToBool());
}

TEST_P(ItemCodecTest, DistributionListFromServerXml) {
  Variant ann = NewContact("Ann Lee", "ann@example.com");
  Variant bob = NewContact("Bob Ray", "bob@example.com");
  ConversionTable table;
  table.AddItemIdConversion("1.VCF", ann.get("EntryID").ToText(), "1");
  table.AddItemIdConversion("2.VCF", bob.get("EntryID").ToText(), "1");
  table.AddItemIdConversion("3.VCF", "[NONE]", "1");
  Variant list = Contacts().get("Items").call("Add", 7);
  list.put("DLName", "Old");
  list.call("Save");

  const std::string both =
      "<R><NAME>Team</NAME><MEMBERS><MEMBER ID='1.VCF'/><MEMBER ID='2.VCF'/></MEMBERS></R>";
  EXPECT_EQ(Deserialize(both, list, &table), 1);
  EXPECT_EQ(list.get("Subject").ToText(), "Team");
  ASSERT_EQ(list.get("MemberCount").ToLong(), 2);
  EXPECT_EQ(MemberContactEntryID(list.call("GetMember", 2).get("EntryID").ToText()),
            bob.get("EntryID").ToText());

  for (const char* unknown : {"9.VCF", "3.VCF"}) {
    EXPECT_EQ(
        Deserialize(std::string("<R><NAME>New</NAME><MEMBERS><MEMBER ID='1.VCF'/><MEMBER ID='") +
                        unknown + "'/></MEMBERS></R>",
                    list, &table),
        0);
    EXPECT_EQ(list.get("Subject").ToText(), "Team");
    EXPECT_EQ(list.get("MemberCount").ToLong(), 2);
  }
  EXPECT_EQ(Deserialize("<R><NAME>Broken", list, &table), 0);
  EXPECT_EQ(list.get("MemberCount").ToLong(), 2);

  EXPECT_EQ(Deserialize("<R><NAME>Empty</NAME></R>", list, &table), 1);
  EXPECT_EQ(list.get("Subject").ToText(), "Empty");
  EXPECT_EQ(list.get("MemberCount").ToLong(), 0);
  Variant reopened = ns_.call("GetItemFromID", list.get("EntryID"));
  EXPECT_EQ(reopened.get("Subject").ToText(), "Empty");  // saved

  // A member contact that no longer opens: emptied, and 0.
  const std::string annId = ann.get("EntryID").ToText();
  ann.call("Delete");
  ns_.call("GetItemFromID", annId).call("Delete");
  EXPECT_EQ(Deserialize(both, list, &table), 0);
}

TEST_P(ItemCodecTest, ServerItemAdapter) {
  Variant c = NewContact("Ann Lee", "ann@example.com");
  auto item = MakeServerItem(Access(c));
  EXPECT_EQ(item->OutlookClass(), 40);
  EXPECT_EQ(item->Subject(), "Ann Lee");
  EXPECT_EQ(item->Email1Address(), "ann@example.com");
  EXPECT_EQ(item->SerializeItem("1.VCF"), Serialize(c, "1.VCF"));
  EXPECT_EQ(item->DeserializeItem("<R><PHONEH>123</PHONEH></R>"), 1);
  EXPECT_EQ(c.get("HomeTelephoneNumber").ToText(), "123");
  EXPECT_EQ(MakeServerItem(Variant::Nothing())->OutlookClass(), 0);
  EXPECT_EQ(MakeServerItem(Variant::Nothing())->SerializeItem("X"), "&ID=X");
}

// Every field a task's request carries, each with a value of its own, sits
// under its own name (a swap of two would show); Mileage is escaped like the
// other texts, so "&" and "+" reach the server as they are.
TEST_P(ItemCodecTest, EveryTaskFieldUnderItsOwnName) {
  Config().timeZoneSource = 2;
  Variant t = NewItem(3);
  const std::pair<const char*, Variant> values[] = {
      {"Importance", 2},       {"Sensitivity", 3},          {"UnRead", true},
      {"Mileage", "5+5 & km"}, {"BillingInformation", "B"}, {"Companies", "C; D"},
      {"Status", 3},           {"PercentComplete", 42},     {"TotalWork", 601},
      {"ActualWork", 602},     {"Subject", "S"},
  };
  for (const auto& [name, value] : values) t.put(name, value);
  t.put("StartDate", MakeDate(2013, 6, 3));
  t.put("DueDate", MakeDate(2013, 6, 4));
  EXPECT_EQ(Serialize(t).substr(0, Serialize(t).find("&Size=")), "Importance=2&Status=3&Attachments=0");
  const std::string text = Serialize(t);
  EXPECT_TRUE(Contains(text,
                       "&Sensitivity=3&StartDate=2013-06-03-00-00&DueDate=2013-06-04-00-00&Read=True"
                       "&Mileage=5%u002B5+%u0026+km&BillingInformation=B&Companies=C%u003B+D"
                       "&PercentComplete=42&Complete=False&TotalWork=601&ActualWork=602&Subject=S"
                       "&IsRecurring=False&offset=0"))
      << text;

  // What the server's item XML carries comes back under the same names.
  Variant back = NewItem(3);
  Deserialize("<R><READ>True</READ><MILEAGE>5+5 &amp; km</MILEAGE><BILLINGINFORMATION>B</BILLINGINFORMATION>"
              "<COMPANIES>C; D</COMPANIES><TOTALWORK>601</TOTALWORK><ACTUALWORK>602</ACTUALWORK>"
              "<NOTES>n</NOTES></R>",
              back);
  for (const char* name : {"UnRead", "Mileage", "BillingInformation", "Companies", "TotalWork", "ActualWork"})
    EXPECT_EQ(back.get(name).ToText(), t.get(name).ToText()) << name;
  EXPECT_EQ(back.get("Body").ToText(), "n");
}

// A contact's notes and title travel back, so that an edit in Outlook does
// not send them empty; names are kept as the server splits them.
TEST_P(ItemCodecTest, ContactNamesNotesAndTitleFromServerXml) {
  Variant c = NewItem(2);
  const std::string note(40000, 'n');
  Deserialize("<R><FIRSTNAME>Jean</FIRSTNAME><MIDDLENAME>Claude</MIDDLENAME><LASTNAME>Van Damme</LASTNAME>"
              "<FULLNAME>Jean Claude Van Damme</FULLNAME><NICKNAME></NICKNAME><TITLE>Dr.</TITLE>"
              "<NOTE>" + note + "</NOTE></R>",
              c);
  EXPECT_EQ(c.get("FirstName").ToText(), "Jean");
  EXPECT_EQ(c.get("MiddleName").ToText(), "Claude");
  EXPECT_EQ(c.get("LastName").ToText(), "Van Damme");
  EXPECT_EQ(c.get("Subject").ToText(), "Jean Claude Van Damme");  // not blanked by the nickname
  EXPECT_EQ(c.get("FileAs").ToText(), "Jean Claude Van Damme");
  EXPECT_EQ(c.get("Title").ToText(), "Dr.");
  EXPECT_EQ(c.get("Body").ToText(), note);
  EXPECT_TRUE(Contains(Serialize(c), "&Title=Dr.&") && Serialize(c).ends_with("&Note=" + note));
  // A full name that the parts do not make up is Outlook's to split.
  Deserialize("<R><FULLNAME>Ann B Lee</FULLNAME><NICKNAME>Annie</NICKNAME></R>", c);
  EXPECT_EQ(c.get("LastName").ToText(), "Lee");
  EXPECT_EQ(c.get("Subject").ToText(), "Annie");

  // A reply that does not parse changes nothing, its FileAs included.
  c.put("FileAs", "Kept, As Filed");
  EXPECT_EQ(Deserialize("<R><FULLNAME>X</R>", c), 1);
  EXPECT_EQ(c.get("FileAs").ToText(), "Kept, As Filed");
  EXPECT_EQ(c.get("FullName").ToText(), "Ann B Lee");
}

// A value that CDATA sections or a comment split is read whole.
TEST_P(ItemCodecTest, AnElementIsReadWhole) {
  Variant a = NewItem(1);
  Deserialize("<R><DESCRIPTION>R<![CDATA[&]]>D <!-- x -->plan<![CDATA[ <1>]]></DESCRIPTION>"
              "<LOCATION><![CDATA[]]>Room 1</LOCATION><NOTES> \t </NOTES></R>",
              a);
  EXPECT_EQ(a.get("Subject").ToText(), "R&D plan <1>");
  EXPECT_EQ(a.get("Location").ToText(), "Room 1");
  EXPECT_EQ(a.get("Body").ToText(), " \t ");  // white space only is a value too
}

// Encoded words are read in their own character set, their escapes as the
// characters they stand for.
TEST_P(ItemCodecTest, EncodedWordsInTheirOwnCharacterSet) {
  Variant a = NewItem(1);
  Deserialize("<R><DESCRIPTION>Re: =?utf-8?q?Caf=C3=A9?= =?utf-8?q?_=22Q3=22_=26_=3C1=3E?= ok</DESCRIPTION></R>", a);
  EXPECT_EQ(a.get("Subject").ToText(), "Re: Caf\xC3\xA9 \"Q3\" & <1> ok");
}

TEST(TimeZoneOffsetTest, NegativeDaylightSavingUnderEverySource) {
  qv::testing::TempDir dir;
  ScopedEnv hklm("QUORVIA_HKLM", dir.File("hklm.db"));
  for (const char* zone : {"Europe/Dublin", "Africa/Casablanca"}) {
    ScopedEnv tz("TZ", zone);
    qv::timezone::SetNowForTesting(qv::timezone::DaysFromCivil(2024, 1, 15) * 86400);
    EXPECT_EQ(GetTimeZoneOffset(1), 60) << zone;  // daylight time, as Windows has it
    qv::registry::Key key;
    ASSERT_EQ(qv::registry::Key::Create(qv::registry::Hive::LocalMachine,
                                        "System\\CurrentControlSet\\control\\TimeZoneInformation", &key),
              qv::registry::Status::Ok);
    ASSERT_EQ(key.SetDword("DisableAutoDaylightTimeSet", 1), qv::registry::Status::Ok);
    EXPECT_EQ(GetTimeZoneOffset(0), 0) << zone;  // standard time, as Windows has it
    key.SetDword("DisableAutoDaylightTimeSet", 0);
  }
  qv::timezone::SetNowForTesting(std::nullopt);
}

// Each date is converted with the offset in force at that date, whenever the
// conversion runs; the request carries the offset at the item's start, and
// every date of the item is sent so that the server's UTC is right.
TEST_P(ItemCodecTest, DatesTakeTheOffsetOfTheirOwnDay) {
  ScopedEnv berlin("TZ", "Europe/Berlin");
  Config().timeZoneSource = 0;
  for (const int month : {1, 7}) {  // serialised and read back in winter and in summer
    qv::timezone::SetNowForTesting(qv::timezone::DaysFromCivil(2024, month, 10) * 86400);
    Variant a = NewItem(1);
    a.put("Start", MakeDate(2024, 1, 15, 10, 0));
    a.put("End", MakeDate(2024, 4, 2, 10, 0));  // past the change to summer time
    Variant p = a.call("GetRecurrencePattern");
    p.put("RecurrenceType", 0);
    p.put("PatternEndDate", MakeDate(2024, 7, 15));
    const std::string text = Serialize(a);
    EXPECT_TRUE(text.starts_with("StartTime=2024-01-15-10-00&FinishTime=2024-04-02-09-00&")) << text;
    EXPECT_TRUE(Contains(text, "&offset=60&")) << text;
    EXPECT_TRUE(Contains(text, "&PatternStartDate=2024-01-15-00-00&")) << text;
    EXPECT_TRUE(Contains(text, "&PatternEndDate=2024-07-14-23-00")) << text;

    Variant back = NewItem(1);
    Deserialize("<R><STARTTIME>2024-01-15-09-00</STARTTIME><FINISHTIME>2024-04-02-08-00</FINISHTIME>"
                "<ISRECURRING>1</ISRECURRING><RECURRENCETYPE>1</RECURRENCETYPE>"
                "<PATTERNSTARTDATE>2024-01-14-23-00</PATTERNSTARTDATE><NOENDDATE>0</NOENDDATE>"
                "<PATTERNENDDATE>2024-07-14-22-00</PATTERNENDDATE><DAYOFWEEKMASK>2</DAYOFWEEKMASK></R>",
                back);
    EXPECT_EQ(back.get("Start").ToDate(), MakeDate(2024, 1, 15, 10, 0)) << month;
    EXPECT_EQ(back.get("End").ToDate(), MakeDate(2024, 4, 2, 10, 0)) << month;
    Variant pattern = back.call("GetRecurrencePattern");
    EXPECT_EQ(pattern.get("PatternStartDate").ToDate(), MakeDate(2024, 1, 15)) << month;
    EXPECT_EQ(pattern.get("PatternEndDate").ToDate(), MakeDate(2024, 7, 15)) << month;

    Variant allDay = NewItem(1);
    Deserialize("<R><STARTTIME>2024-01-19-23-00</STARTTIME><FINISHTIME>2024-01-20-23-00</FINISHTIME>"
                "<ALLDAYEVENT>1</ALLDAYEVENT></R>",
                allDay);
    EXPECT_EQ(allDay.get("Start").ToDate(), MakeDate(2024, 1, 20)) << month;
    EXPECT_EQ(allDay.get("End").ToDate(), MakeDate(2024, 1, 21)) << month;
  }
  // A summer meeting carries the summer offset, in winter too.
  Variant summer = NewItem(1);
  summer.put("Start", MakeDate(2024, 7, 15, 10, 0));
  EXPECT_TRUE(Contains(Serialize(summer), "&offset=120&"));
  // Sources 1 and 2 keep one offset for every date, and dates as they are.
  Config().timeZoneSource = 1;
  EXPECT_TRUE(Serialize(summer).starts_with("StartTime=2024-07-15-10-00&"));
  EXPECT_TRUE(Contains(Serialize(summer), "&offset=120&"));
  Config().timeZoneSource = 2;
  Deserialize("<R><STARTTIME>2024-01-15-09-00</STARTTIME></R>", summer);
  EXPECT_EQ(summer.get("Start").ToDate(), MakeDate(2024, 1, 15, 9, 0));
}

// A series that ends by date with more occurrences than a count can give
// comes back with its end date.
TEST_P(ItemCodecTest, ASeriesOfMoreThan999OccurrencesKeepsItsEnd) {
  Config().timeZoneSource = 2;
  Variant a = NewItem(1);
  a.put("Start", MakeDate(2024, 1, 1, 9, 0));
  Variant p = a.call("GetRecurrencePattern");
  p.put("RecurrenceType", 0);
  p.put("PatternEndDate", MakeDate(2027, 12, 31));
  EXPECT_EQ(p.get("Occurrences").ToLong(), 1461);
  const std::string text = Serialize(a);
  EXPECT_TRUE(Contains(text, "&Occurrences=1461&") && Contains(text, "&PatternEndDate=2027-12-31-00-00&")) << text;
  Variant back = NewItem(1);
  Deserialize("<R><ISRECURRING>1</ISRECURRING><RECURRENCETYPE>0</RECURRENCETYPE>"
              "<PATTERNSTARTDATE>2024-01-01-00-00</PATTERNSTARTDATE><NOENDDATE>False</NOENDDATE>"
              "<OCCURRENCES>1461</OCCURRENCES><PATTERNENDDATE>2027-12-31-00-00</PATTERNENDDATE></R>",
              back);
  Variant pattern = back.call("GetRecurrencePattern");
  EXPECT_EQ(pattern.get("PatternEndDate").ToDate(), MakeDate(2027, 12, 31));
  EXPECT_EQ(pattern.get("Occurrences").ToLong(), 1461);
  // Exactly 999 is still a count.
  Deserialize("<R><ISRECURRING>1</ISRECURRING><NOENDDATE>False</NOENDDATE><OCCURRENCES>999</OCCURRENCES>"
              "<PATTERNENDDATE>2099-12-31-00-00</PATTERNENDDATE></R>",
              back);
  EXPECT_EQ(pattern.get("Occurrences").ToLong(), 999);
  EXPECT_EQ(pattern.get("PatternEndDate").ToDate(), MakeDate(2026, 9, 25));
}

// The repeated hour in autumn: an item saved at 02:10 after the clock went
// back is newer than a synchronisation at 02:50 before it.
TEST(TimeZoneOffsetTest, AModificationInTheRepeatedHourIsNewerThanTheSyncBeforeIt) {
  ScopedEnv tz("TZ", "Europe/Berlin");
  const int64_t lastSync = qv::timezone::DaysFromCivil(2024, 10, 27) * 86400 + 50 * 60;  // 02:50 CEST
  const Date modified = MakeDate(2024, 10, 27, 2, 10);                                  // 02:10 CET
  EXPECT_GT(InstantOfOutlookDate(modified, qv::timezone::Fold::kLater), lastSync);
  EXPECT_EQ(InstantOfOutlookDate(MakeDate(2024, 1, 15, 10, 0, 30), qv::timezone::Fold::kLater),
            qv::timezone::DaysFromCivil(2024, 1, 15) * 86400 + 9 * 3600 + 30);
}

TEST(TextConversionTest, TextToLongAndTextToBoolean) {
  EXPECT_EQ(TextToLong("42"), 42);
  EXPECT_EQ(TextToLong(" -7 "), -7);
  EXPECT_EQ(TextToLong("abc"), 0);
  EXPECT_EQ(TextToLong("99999999999"), 0);
  EXPECT_TRUE(TextToBoolean("2"));
  EXPECT_FALSE(TextToBoolean(""));
  EXPECT_TRUE(TextToBoolean("TRUE"));
}

}  // namespace
}  // namespace qvsync
