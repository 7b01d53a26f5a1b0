// The servlet emulator's own behaviour: value decoding, the item commands
// alone and in a batch, and the account commands. Requests run through
// Execute (no HTTP) unless the test is about the HTTP side.
#include "tools/qvservlet/servlet.h"

#include <gtest/gtest.h>

#include <pugixml.hpp>
#include <random>

#include "addin/codec/encodings.h"
#include "tests/common/test_support.h"

namespace qv::servlet {
namespace {

std::string Value(const std::string& xml, const std::string& xpath) {
  pugi::xml_document doc;
  if (!doc.load_string(xml.c_str())) return "<not xml>";
  return doc.select_node(xpath.c_str()).node().text().get();
}

class ServletTest : public ::testing::Test {
 protected:
  ServletTest() { servlet_.AddUser("alice", "secret"); }
  std::string Run(const std::string& body) { return servlet_.Execute("alice", body); }
  qv::testing::ScopedEnv codepage_{"QUORVIA_CODEPAGE", std::nullopt};
  Servlet servlet_;
};

TEST(FormDecoding, Values) {
  qv::testing::ScopedEnv codepage("QUORVIA_CODEPAGE", std::nullopt);
  EXPECT_EQ(DecodeFormValue("a+b%u0026c"), "a b&c");
  EXPECT_EQ(DecodeFormValue("%u00E9%u20AC"), "\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(DecodeFormValue("%uD83D%uDE00"), "\xF0\x9F\x98\x80");
  EXPECT_EQ(DecodeFormValue("%uD83Dx"), "\xEF\xBF\xBDx");  // a lone half
  EXPECT_EQ(DecodeFormValue("%E9%41%"), "\xC3\xA9" "A%");   // bytes in the code page
  EXPECT_EQ(DecodeFormValue("caf\xE9"), "caf\xC3\xA9");
  EXPECT_EQ(DecodeFormValue("%u12"), "%u12");
  FormFields fields = ParseForm("Cmd=X&A=1&&B&C=x=y");
  EXPECT_EQ(fields, (FormFields{{"Cmd", "X"}, {"A", "1"}, {"B", ""}, {"C", "x=y"}}));
  EXPECT_EQ(RawField("Cmd=BATCH&Batch=a%u0026\rb", "Batch"), "a%u0026\rb");
}

// Whatever the text, escaping it and decoding it gives it back.
TEST(FormDecoding, EscapeValueRoundTripsAnyUnicodeText) {
  qv::testing::ScopedEnv codepage("QUORVIA_CODEPAGE", std::nullopt);
  std::mt19937 random(20131);
  std::uniform_int_distribution<int> plane(0, 9);
  for (int round = 0; round < 2000; ++round) {
    std::u32string points;
    int length = static_cast<int>(random() % 40);
    for (int i = 0; i < length; ++i) {
      char32_t cp;
      switch (plane(random)) {
        case 0: cp = random() % 0x80; break;                       // ASCII, controls included
        case 1: cp = U" +&%=?\r\n;#"[random() % 11]; break;        // the awkward ones
        case 2: cp = 0x80 + random() % 0x780; break;               // two-byte forms
        case 3: cp = 0x10000 + random() % 0x100000; break;         // outside the basic plane
        default:
          do cp = 0x800 + random() % 0xF800; while (cp >= 0xD800 && cp <= 0xDFFF);
      }
      if (cp == 0) cp = 1;
      points += cp;
    }
    std::string text;
    for (char32_t cp : points) {
      if (cp < 0x80) {
        text += static_cast<char>(cp);
      } else if (cp < 0x800) {
        text += static_cast<char>(0xC0 | (cp >> 6));
        text += static_cast<char>(0x80 | (cp & 0x3F));
      } else if (cp < 0x10000) {
        text += static_cast<char>(0xE0 | (cp >> 12));
        text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (cp & 0x3F));
      } else {
        text += static_cast<char>(0xF0 | (cp >> 18));
        text += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (cp & 0x3F));
      }
    }
    std::string escaped = qvsync::EscapeValue(text);
    ASSERT_EQ(escaped.find('&'), std::string::npos);
    ASSERT_EQ(DecodeFormValue(escaped), text) << escaped;
  }
}

TEST_F(ServletTest, AddGivesNewUidsOrKeepsTheGivenId) {
  std::string reply = Run("Cmd=ADD-APPOINTMENT&Description=Meet");
  std::string uid = Value(reply, "/RESPONSE/UID");
  EXPECT_EQ(Value(reply, "/RESPONSE/RETURNVALUE"), "1");
  EXPECT_EQ(uid.size(), 36u);
  EXPECT_EQ(uid.substr(32), ".CAL");
  EXPECT_EQ(Value(Run("Cmd=ADD-CONTACTGROUP&GroupName=G"), "/RESPONSE/UID").substr(32), ".GRP");
  EXPECT_EQ(Value(Run("Cmd=ADD-TASK&Subject=T"), "/RESPONSE/UID").substr(32), ".TSK");

  reply = Run("Cmd=ADD-CONTACT&FirstName=Ann&ID=ann@example.com.VCF");
  EXPECT_EQ(Value(reply, "/RESPONSE/UID"), "ann@example.com.VCF");
  auto stored = servlet_.GetItem("alice", "ann@example.com.VCF");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->fields, (FormFields{{"FirstName", "Ann"}}));
  reply = Run("Cmd=ADD-CONTACT&FirstName=Other&ID=ann@example.com.VCF");
  EXPECT_EQ(Value(reply, "/RESPONSE/RETURNVALUE"), "0");
  EXPECT_EQ(servlet_.GetItem("alice", "ann@example.com.VCF")->fields[0].second, "Ann");
}

// GET serves an item as the server keeps it: under the element names the
// client reads, appointment times and recurrence dates in UTC.
TEST_F(ServletTest, GetServesTheServersElementNamesAndUtcTimes) {
  const std::string appointment =
      Value(Run("Cmd=ADD-APPOINTMENT&StartTime=2013-05-21-00-30&FinishTime=2013-05-21-12-30"
                "&PatternStartDate=2013-05-21-00-00&PatternEndDate="
                "&Attendees=a%u0040x.org%u007C3%u003Bb%u0040y.org&offset=120"),
            "/RESPONSE/UID");
  std::string reply = Run("Cmd=GET-APPOINTMENT&ReturnAttendeesDetails=1&ID=" + appointment);
  EXPECT_EQ(Value(reply, "/RESPONSE/STARTTIME"), "2013-05-20-22-30");
  EXPECT_EQ(Value(reply, "/RESPONSE/FINISHTIME"), "2013-05-21-10-30");
  EXPECT_EQ(Value(reply, "/RESPONSE/PATTERNSTARTDATE"), "2013-05-20-22-00");
  EXPECT_EQ(Value(reply, "/RESPONSE/PATTERNENDDATE"), "");
  EXPECT_EQ(Value(reply, "/RESPONSE/ATTENDEESDETAILS/*[1]/PARTSTAT"), "ACCEPTED");
  EXPECT_EQ(Value(reply, "/RESPONSE/ATTENDEESDETAILS/*[1]/CN"), "a@x.org");
  EXPECT_EQ(Value(reply, "/RESPONSE/ATTENDEESDETAILS/*[2]/PARTSTAT"), "NEEDS-ACTION");

  const std::string task = Value(
      Run("Cmd=ADD-TASK&PercentComplete=40&DueDate=2013-05-21-00-00&offset=-300"), "/RESPONSE/UID");
  reply = Run("Cmd=GET-TASK&ID=" + task);
  EXPECT_EQ(Value(reply, "/RESPONSE/PERCCOMP"), "40");
  EXPECT_EQ(Value(reply, "/RESPONSE/DUEDATE"), "2013-05-21-00-00");  // task dates have no zone

  const std::string group =
      Value(Run("Cmd=ADD-CONTACTGROUP&ObjectType=Group&GroupName=Team&Members=1.VCF%u003B2.VCF"),
            "/RESPONSE/UID");
  reply = Run("Cmd=GET-CONTACTGROUP&ID=" + group);
  EXPECT_EQ(Value(reply, "/RESPONSE/NAME"), "Team");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(reply.c_str()));
  EXPECT_EQ(doc.select_nodes("/RESPONSE/MEMBERS").size(), 1u);
  EXPECT_EQ(doc.select_nodes("//MEMBERS/MEMBER").size(), 2u);
  EXPECT_STREQ(doc.select_node("//MEMBERS/MEMBER[2]/@ID").attribute().value(), "2.VCF");
}

TEST_F(ServletTest, StampsIncreaseWithEveryChange) {
  std::string a = servlet_.AddItem("alice", "TASK", {{"Subject", "a"}});
  int64_t first = servlet_.GetItem("alice", a)->modified;
  std::string reply = Run("Cmd=EDIT-TASK&Subject=b&ID=" + a);
  int64_t second = std::stoll(Value(reply, "/RESPONSE/MODIFIEDDATE"));
  EXPECT_GT(second, first);
  ASSERT_TRUE(servlet_.ChangeItem("alice", a, {{"Subject", "c"}}));
  EXPECT_GT(servlet_.GetItem("alice", a)->modified, second);
}

TEST_F(ServletTest, MissingItemsAreToldApartAloneAndInABatch) {
  EXPECT_EQ(Value(Run("Cmd=EDIT-TASK&Subject=x&ID=gone.TSK"), "/RESPONSE/RETURNVALUE"), "1001");
  EXPECT_EQ(Value(Run("Cmd=DELETE-TASK&ID=gone.TSK"), "/RESPONSE/RETURNVALUE"), "0");
  std::string get = Run("Cmd=GET-TASK&ID=gone.TSK");
  EXPECT_EQ(get.find("RETURNVALUE"), std::string::npos) << get;

  std::string batch = Run("Cmd=BATCH&Batch=Cmd=EDIT-TASK\rSubject=x\rID=gone.TSK\r\n"
                          "Cmd=GET-TASK\rID=gone.TSK");
  EXPECT_EQ(Value(batch, "/*/*[1]/RETURNVALUE"), "0");
  EXPECT_EQ(Value(batch, "/*/*[2]/RETURNVALUE"), "0");
}

TEST_F(ServletTest, BatchAnswersOneElementPerRequest) {
  std::string old = servlet_.AddItem("alice", "TASK", {{"Subject", "old"}});
  std::string keep = servlet_.AddItem("alice", "APPOINTMENT",
                                      {{"Description", "Meet"}, {"Attendees", "a@x.org;b@y.org"}});
  std::string batch =
      "Cmd=ADD-TASK\rSubject=new%u0026+more\rID=N1.TSK\r\n"
      "Cmd=EDIT-TASK\rSubject=edited\rID=" + old + "\r\n"
      "Cmd=GET-APPOINTMENT\rID=" + keep + "\rReturnAttendeesDetails=1\r\n"
      "Cmd=DELETE-TASK\rID=" + old + "\r\n";
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(Run("Cmd=BATCH&Batch=" + batch).c_str()));
  pugi::xml_node root = doc.document_element();
  ASSERT_EQ(std::distance(root.begin(), root.end()), 4);
  auto child = root.begin();
  EXPECT_STREQ(child->attribute("METHOD").value(), "ADD-TASK");
  EXPECT_STREQ(child->child("UID").text().get(), "N1.TSK");
  ++child;
  EXPECT_STREQ(child->attribute("METHOD").value(), "EDIT-TASK");
  EXPECT_STREQ(child->child("RETURNVALUE").text().get(), "1");
  ++child;
  EXPECT_STREQ(child->attribute("METHOD").value(), "GET-APPOINTMENT");
  EXPECT_STREQ(child->child("DESCRIPTION").text().get(), "Meet");
  pugi::xml_node attendees = child->child("ATTENDEESDETAILS");
  ASSERT_EQ(std::distance(attendees.begin(), attendees.end()), 2);
  EXPECT_STREQ(attendees.first_child().attribute("ID").value(), "a@x.org");
  ++child;
  EXPECT_STREQ(child->attribute("METHOD").value(), "DELETE-TASK");
  EXPECT_STREQ(child->child("RETURNVALUE").text().get(), "1");

  EXPECT_EQ(servlet_.GetItem("alice", "N1.TSK")->fields, (FormFields{{"Subject", "new& more"}}));
  EXPECT_FALSE(servlet_.GetItem("alice", old));
  // A single GET carries no attendee details unless asked for.
  EXPECT_EQ(Run("Cmd=GET-APPOINTMENT&ID=" + keep).find("ATTENDEESDETAILS"), std::string::npos);
}

TEST_F(ServletTest, BatchSplitsAtCrLfAndFieldsAtCr) {
  std::string reply = Run("Cmd=BATCH&Batch=Cmd=ADD-TASK\rSubject=a\rID=A.TSK\r\n\r\n"
                          "Cmd=ADD-TASK\rSubject=b\rID=B.TSK");
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(reply.c_str()));
  EXPECT_EQ(doc.select_nodes("/*/*").size(), 2u);
  EXPECT_TRUE(servlet_.GetItem("alice", "A.TSK"));
  EXPECT_TRUE(servlet_.GetItem("alice", "B.TSK"));
}

TEST_F(ServletTest, ListWithGroupsAndWithout) {
  std::string contact = servlet_.AddItem("alice", "CONTACT", {});
  std::string group = servlet_.AddItem("alice", "CONTACTGROUP", {{"Members", contact}});
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_string(Run("Cmd=LIST-CONTACTS&Pagination=None&Groups=1&Since=2030-01-01-00-00").c_str()));
  EXPECT_EQ(doc.select_nodes("//ELEMENT").size(), 2u);  // "Since" never narrows the list
  EXPECT_STREQ(doc.select_node("//ELEMENT[2]").node().attribute("TYPE").value(), "CONTACTGROUP");
  ASSERT_TRUE(doc.load_string(Run("Cmd=LIST-CONTACTS&Pagination=None").c_str()));
  EXPECT_EQ(doc.select_nodes("//ELEMENT").size(), 1u);
  std::string get = Run("Cmd=GET-CONTACT&ID=" + group);
  ASSERT_TRUE(doc.load_string(get.c_str()));
  EXPECT_STREQ(doc.select_node("//MEMBERS/MEMBER").node().attribute("ID").value(), contact.c_str());
}

TEST_F(ServletTest, AccountCommands) {
  EXPECT_EQ(Value(Run("Cmd=CHANGE-PASSWORD&Username=alice&Password=bad&NewPassword=x"),
                  "/RESPONSE/RETURNVALUE"),
            "0");
  EXPECT_EQ(Value(Run("Cmd=CHANGE-PASSWORD&Username=alice&Password=secret&NewPassword=n%u0026w"),
                  "/RESPONSE/RETURNVALUE"),
            "1");
  EXPECT_TRUE(servlet_.CheckPassword("alice", "n&w"));
  EXPECT_EQ(Value(Run("Cmd=SET-AUTORESPONSE&Enabled=1&Subject=Away&Body=Back+soon"),
                  "/RESPONSE/RETURNVALUE"),
            "1");
  std::string reply = Run("Cmd=GET-AUTORESPONSE");
  EXPECT_EQ(Value(reply, "/RESPONSE/ENABLED"), "1");
  EXPECT_EQ(Value(reply, "/RESPONSE/BODY"), "Back soon");
  EXPECT_EQ(Value(Run("Cmd=NONSENSE"), "/RESPONSE/RETURNVALUE"), "0");
}

TEST_F(ServletTest, MailboxesOutliveTheServlet) {
  qv::testing::TempDir dir;
  std::string uid;
  {
    Servlet first(dir.File("mail.db"));
    first.AddUser("bob", "pw");
    uid = first.AddItem("bob", "TASK", {{"Subject", "persist"}});
  }
  Servlet second(dir.File("mail.db"));
  EXPECT_TRUE(second.CheckPassword("bob", "pw"));
  ASSERT_TRUE(second.GetItem("bob", uid));
  EXPECT_EQ(second.GetItem("bob", uid)->fields[0].second, "persist");
}

}  // namespace
}  // namespace qv::servlet
