// The servlet emulator's own behaviour: value decoding, the item commands
// alone and in a batch, and the account commands. Requests run through
// Execute (no HTTP) unless the test is about the HTTP side.
#include "tools/qvservlet/servlet.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sqlite3.h>

#include <pugixml.hpp>
#include <random>
#include <stdexcept>

#include "addin/codec/encodings.h"
#include "tests/common/test_support.h"
#include "tools/qvservlet/xml_text.h"

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

// ---- Volumes, the request log and the characters of the replies ----

// A servlet on loopback with a logged-in client.
class ServletHttpTest : public ServletTest {
 protected:
  ServletHttpTest() {
    EXPECT_TRUE(servlet_.Start());
    client_ = std::make_unique<httplib::Client>("127.0.0.1", servlet_.port());
    client_->set_read_timeout(60, 0);
    client_->set_write_timeout(60, 0);
    auto login = Post("Cmd=LOGIN&Username=alice&Password=secret&Client=QVSYNC");
    EXPECT_TRUE(login);
    if (login) {
      std::string cookie = login->get_header_value("Set-Cookie");
      client_->set_default_headers({{"Cookie", cookie.substr(0, cookie.find(';'))}});
    }
  }
  httplib::Result Post(const std::string& body) {
    return client_->Post(kDefaultPath, body, "application/x-www-form-urlencoded");
  }
  std::unique_ptr<httplib::Client> client_;
};

TEST_F(ServletHttpTest, BodiesOverEightKilobytesAndOfSeveralMebibytesAreServed) {
  // One value of 20 KB.
  std::string note(20000, 'x');
  auto reply = Post("Cmd=ADD-TASK&Subject=long&Body=" + note);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->status, 200);
  std::string uid = Value(reply->body, "/RESPONSE/UID");
  ASSERT_TRUE(servlet_.GetItem("alice", uid));
  EXPECT_EQ(FieldValue(servlet_.GetItem("alice", uid)->fields, "Body"), note);

  // A batch of 3,000 adds, nearly 4 MiB.
  std::string batch;
  std::string filler(1300, 'n');
  for (int i = 0; i < 3000; ++i) {
    batch += "Cmd=ADD-CONTACT\rFirstName=C" + std::to_string(i) + "\rBody=" + filler + "\rID=C" +
             std::to_string(i) + ".VCF\r\n";
  }
  ASSERT_GT(batch.size(), size_t{3} << 20);
  reply = Post("Cmd=BATCH&Batch=" + batch);
  ASSERT_TRUE(reply);
  ASSERT_EQ(reply->status, 200);
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_buffer(reply->body.data(), reply->body.size()));
  EXPECT_EQ(doc.select_nodes("/BATCHRESPONSE/RESPONSE[RETURNVALUE='1']").size(), 3000u);
  EXPECT_EQ(servlet_.ListItems("alice", "CONTACT").size(), 3000u);
  EXPECT_EQ(servlet_.Requests().back().bodyBytes, batch.size() + 16);
}

TEST_F(ServletHttpTest, ABodyOverTheLimitIsRefusedWithAClearReplyAndServingGoesOn) {
  std::string body = "Cmd=ADD-TASK&Subject=huge&Body=" + std::string(kMaxRequestBody, 'x');
  auto reply = Post(body);
  ASSERT_TRUE(reply) << httplib::to_string(reply.error());
  EXPECT_EQ(reply->status, 413);
  EXPECT_EQ(Value(reply->body, "/RESPONSE/RETURNVALUE"), "0");
  EXPECT_EQ(Value(reply->body, "/RESPONSE/ERROR_DESCRIPTION"),
            "The request body is larger than the 67108864 bytes the server accepts.");
  EXPECT_TRUE(servlet_.ListItems("alice", "TASK").empty());
  RecordedRequest last = servlet_.Requests().back();
  EXPECT_EQ(last.body, "");  // not kept
  EXPECT_EQ(last.bodyBytes, body.size());

  // The same without a length (chunked): refused alike.
  size_t sent = 0;
  reply = client_->Post(
      kDefaultPath,
      [&](size_t, httplib::DataSink& sink) {
        if (sent > kMaxRequestBody + (1 << 20)) {
          sink.done();
          return true;
        }
        std::string chunk(1 << 20, 'y');
        if (sent == 0) chunk.replace(0, 13, "Cmd=ADD-TASK&");
        sent += chunk.size();
        return sink.write(chunk.data(), chunk.size());
      },
      "application/x-www-form-urlencoded");
  ASSERT_TRUE(reply) << httplib::to_string(reply.error());
  EXPECT_EQ(reply->status, 413);

  // A body of exactly the limit is served (a batch with a field it ignores).
  std::string limit = "Cmd=BATCH&Batch=Cmd=ADD-TASK\rSubject=edge\rID=E.TSK&Pad=";
  limit += std::string(kMaxRequestBody - limit.size(), 'z');
  reply = Post(limit);
  ASSERT_TRUE(reply) << httplib::to_string(reply.error());
  EXPECT_EQ(reply->status, 200);
  EXPECT_EQ(Value(reply->body, "/BATCHRESPONSE/RESPONSE/RETURNVALUE"), "1");
  EXPECT_TRUE(servlet_.GetItem("alice", "E.TSK"));
}

TEST_F(ServletTest, TheRequestLogKeepsTheNewestWithinItsLimits) {
  ASSERT_TRUE(servlet_.Start());
  httplib::Client client("127.0.0.1", servlet_.port());
  servlet_.SetRequestLogLimits(3, 1000);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(client.Post(kDefaultPath, "Cmd=LOGIN&Username=alice&Password=" + std::to_string(i),
                            "application/x-www-form-urlencoded"));
  }
  std::vector<RecordedRequest> log = servlet_.Requests();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log.front().body, "Cmd=LOGIN&Username=alice&Password=2");
  EXPECT_EQ(log.back().body, "Cmd=LOGIN&Username=alice&Password=4");
  EXPECT_EQ(servlet_.DroppedRequests(), 2u);
  // By bytes: a body larger than the rest pushes the older ones out, and is kept whole itself.
  std::string big = "Cmd=LOGIN&Username=" + std::string(1500, 'b');
  ASSERT_TRUE(client.Post(kDefaultPath, big, "application/x-www-form-urlencoded"));
  log = servlet_.Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].body, big);
  EXPECT_EQ(log[0].command, "LOGIN");
}

TEST_F(ServletTest, ValuesXmlCannotCarryAreRefusedNeverStoredOrCut) {
  for (const char* value : {"a%u0000b", "a%00b", "a%u0001b", "a%1Fb", "a%uFFFEb", "a%uFFFFb"}) {
    std::string reply = Run(std::string("Cmd=ADD-TASK&Subject=ok&Body=") + value);
    EXPECT_EQ(XmlCharacterFault(reply), "") << reply;
    EXPECT_EQ(Value(reply, "/RESPONSE/RETURNVALUE"), "0") << value;
    EXPECT_EQ(Value(reply, "/RESPONSE/ERROR_VALUE"), "7") << value;
    EXPECT_NE(Value(reply, "/RESPONSE/ERROR_DESCRIPTION").find("Body holds U+"), std::string::npos) << reply;
  }
  EXPECT_EQ(Value(Run("Cmd=ADD-TASK&Body=%u0001"), "/RESPONSE/ERROR_DESCRIPTION"),
            "Body holds U+0001, a character XML cannot carry.");
  EXPECT_TRUE(servlet_.ListItems("alice", "TASK").empty());

  // An edit too: the stored item keeps its value.
  std::string uid = servlet_.AddItem("alice", "TASK", {{"Subject", "before"}});
  EXPECT_EQ(Value(Run("Cmd=EDIT-TASK&Subject=af%u0008ter&ID=" + uid), "/RESPONSE/RETURNVALUE"), "0");
  EXPECT_EQ(FieldValue(servlet_.GetItem("alice", uid)->fields, "Subject"), "before");
  // In a batch only the request that holds one is refused.
  std::string batch = Run("Cmd=BATCH&Batch=Cmd=ADD-TASK\rSubject=x%u0000y\rID=A.TSK\r\n"
                          "Cmd=ADD-TASK\rSubject=fine\rID=B.TSK\r\nCmd=ODD%u0002-X");
  EXPECT_EQ(XmlCharacterFault(batch), "") << batch;
  EXPECT_EQ(Value(batch, "/*/*[1]/RETURNVALUE"), "0");
  EXPECT_EQ(Value(batch, "/*/*[2]/RETURNVALUE"), "1");
  EXPECT_EQ(Value(batch, "/*/*[3]/RETURNVALUE"), "0");
  EXPECT_FALSE(servlet_.GetItem("alice", "A.TSK"));
  // The auto response, and the other party's own changes.
  EXPECT_EQ(Value(Run("Cmd=SET-AUTORESPONSE&Enabled=1&Subject=%u0007&Body=b"), "/RESPONSE/RETURNVALUE"), "0");
  EXPECT_EQ(servlet_.GetAutoResponse("alice").body, "");
  EXPECT_THROW(servlet_.AddItem("alice", "TASK", {{"Subject", std::string("a\0b", 3)}}), std::invalid_argument);
  EXPECT_THROW(servlet_.ChangeItem("alice", uid, {{"Subject", "\xEF\xBF\xBE"}}), std::invalid_argument);
}

TEST_F(ServletTest, AValueStoredByAnOlderEmulatorIsShownNotCut) {
  qv::testing::TempDir dir;
  std::string uid;
  {
    Servlet first(dir.File("mail.db"));
    first.AddUser("bob", "pw");
    uid = first.AddItem("bob", "TASK", {{"Subject", "x"}});
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(dir.File("mail.db").c_str(), &db), SQLITE_OK);
  sqlite3_stmt* stmt = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE fields SET value = ?1", -1, &stmt, nullptr), SQLITE_OK);
  const char raw[] = "be\0fore\x01" "after\xFF";
  sqlite3_bind_text(stmt, 1, raw, sizeof raw - 1, SQLITE_STATIC);
  ASSERT_EQ(sqlite3_step(stmt), SQLITE_DONE);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  Servlet second(dir.File("mail.db"));
  std::string get = second.Execute("bob", "Cmd=GET-TASK&ID=" + uid);
  EXPECT_EQ(XmlCharacterFault(get), "") << get;
  EXPECT_EQ(Value(get, "/RESPONSE/SUBJECT"), "be\xEF\xBF\xBD" "fore\xEF\xBF\xBD" "after\xEF\xBF\xBD");
}

TEST(XmlText, FaultsAreFoundRawAndInReferences) {
  EXPECT_EQ(FirstCharacterXmlCannotCarry("fine\t\r\n\xC3\xA9\xF0\x9F\x98\x80"), "");
  EXPECT_EQ(FirstCharacterXmlCannotCarry(std::string("a\0", 2)), "U+0000");
  EXPECT_EQ(FirstCharacterXmlCannotCarry("\xED\xA0\x80"), "U+D800");           // a surrogate half
  EXPECT_EQ(FirstCharacterXmlCannotCarry("\xC0\xAF"), "the byte 0xC0, which is not UTF-8");  // overlong
  EXPECT_EQ(FirstCharacterXmlCannotCarry("\xE2\x82"), "the byte 0xE2, which is not UTF-8");  // cut short
  EXPECT_EQ(XmlSafeText("a\x01\xE2\x82z"), "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz");
  EXPECT_EQ(XmlCharacterFault("<a>&#13;&#x9;&#65;</a>"), "");
  EXPECT_NE(XmlCharacterFault("<a>&#01;</a>"), "");
  EXPECT_NE(XmlCharacterFault("<a>&#xFFFE;</a>"), "");
  EXPECT_NE(XmlCharacterFault("<a>\x0B</a>"), "");
}

}  // namespace
}  // namespace qv::servlet
