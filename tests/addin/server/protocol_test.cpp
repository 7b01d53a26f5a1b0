// The servlet commands against the servlet emulator on loopback.
#include "addin/server/protocol.h"

#include "addin/codec/strings.h"

#include <regex>

#include "tests/addin/server/server_fixture.h"
#include "tests/common/stalling_server.h"

namespace qvsync::testing {
namespace {

using qv::servlet::Fault;
using qv::servlet::kAlternativePath;
using qv::servlet::kDefaultPath;

// An item whose fields are given; records what the deserialiser was handed.
class FakeItem : public ServerItem {
 public:
  FakeItem(int outlookClass, std::string subject, std::string email, std::string fields)
      : class_(outlookClass), subject_(std::move(subject)), email_(std::move(email)),
        fields_(std::move(fields)) {}
  int OutlookClass() const override { return class_; }
  std::string Subject() const override { return subject_; }
  std::string Email1Address() const override { return email_; }
  std::string SerializeItem(const std::string& serverId) const override {
    return serverId.empty() ? fields_ : fields_ + "&ID=" + serverId;
  }
  int DeserializeItem(const std::string& xml) override {
    deserialized.push_back(xml);
    return 1;
  }
  std::vector<std::string> deserialized;

 private:
  int class_;
  std::string subject_, email_, fields_;
};

class ProtocolTest : public ServerTest {};

TEST_F(ProtocolTest, LoginFindsTheServletOnTheSecondPath) {
  servlet_.SetPathEnabled(kDefaultPath, false);
  EXPECT_EQ(Login(), 1);
  EXPECT_TRUE(loggedIn);
  EXPECT_EQ(Config().requestUrl, kAlternativePath);
  std::vector<std::string> list;
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 5, 21, 14, 30, 0}), 1);
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].path, kDefaultPath);
  EXPECT_EQ(requests[1].path, kAlternativePath);
  EXPECT_EQ(requests[2].path, kAlternativePath);
  EXPECT_EQ(requests[0].body, "Cmd=LOGIN&Username=alice&Password=secret&Client=QVSYNC");
  EXPECT_TRUE(LogHasLine("Logging in to Server as: alice"));
}

TEST_F(ProtocolTest, LoginOnTheDefaultPathKeepsIt) {
  EXPECT_EQ(Login(), 1);
  EXPECT_EQ(Config().requestUrl, kDefaultPath);
  EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(ProtocolTest, ConfiguredWrongPathIsTriedOnce) {
  Config().requestUrl = "/Wrong/Request.aspx";
  int32_t code = 0;
  std::string message;
  EXPECT_EQ(ServerLogin("alice", "secret", code, message), 0);
  EXPECT_FALSE(loggedIn);
  EXPECT_EQ(code, 404);
  EXPECT_EQ(Requests().size(), 1u);
  EXPECT_EQ(Config().requestUrl, "/Wrong/Request.aspx");
}

TEST_F(ProtocolTest, LoginSucceedsOnlyWithoutErrorValue) {
  servlet_.SetCannedReply("LOGIN", "<R><RETURNVALUE>1</RETURNVALUE><ERRORVALUE>3</ERRORVALUE></R>");
  EXPECT_EQ(Login(), 0);
  EXPECT_FALSE(loggedIn);
  EXPECT_EQ(Requests().size(), 1u);  // an answer on the first path ends the search
  servlet_.SetCannedReply("LOGIN", "<R><RETURNVALUE>1</RETURNVALUE></R>");
  EXPECT_EQ(Login(), 1);
  EXPECT_TRUE(loggedIn);
}

TEST_F(ProtocolTest, WrongPasswordIsRejected) {
  int32_t code = -1;
  std::string message = "x";
  EXPECT_EQ(ServerLogin("alice", "wrong", code, message), 0);
  EXPECT_FALSE(loggedIn);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(message, "Invalid user name or password.") << "the server's reason is carried";
  EXPECT_EQ(Config().requestUrl, "");
  // A refusal without a description, and an answer that is no login result.
  servlet_.SetCannedReply("LOGIN", "<R><RETURNVALUE>0</RETURNVALUE><ERRORVALUE>3</ERRORVALUE></R>");
  EXPECT_EQ(ServerLogin("alice", "wrong", code, message), 0);
  EXPECT_EQ(message, "The server refused the login (error value 3).");
  servlet_.SetCannedReply("LOGIN", "<HTML><BODY>Welcome</BODY></HTML>");
  EXPECT_EQ(ServerLogin("alice", "secret", code, message), 0);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(message, "The server's answer holds no login result.");
}

// A login that got no answer in time is not tried again on the second path:
// the server is not answering, and a second wait would double the person's.
TEST_F(ProtocolTest, ALoginWithoutAnAnswerInTimeIsNotTriedOnTheSecondPath) {
  qv::testing::StallingServer silent(qv::testing::StallingServer::kSilent);
  Config().host = silent.host();
  TransportTimeouts timeouts;
  timeouts.silenceMilliseconds = 500;
  SetTransportTimeouts(timeouts);
  int32_t code = 0;
  std::string message;
  EXPECT_EQ(ServerLogin("alice", "secret", code, message), 0);
  EXPECT_EQ(silent.connections(), 1);
  EXPECT_EQ(code, 12002);
  EXPECT_EQ(message, "The server did not answer within 1 second (error 12002).");
}

TEST_F(ProtocolTest, LoginValuesAreEscaped) {
  servlet_.AddUser("b\xC3\xB6" "b & co", "p@ss w+rd%");
  int32_t code = 0;
  std::string message;
  EXPECT_EQ(ServerLogin("b\xC3\xB6" "b & co", "p@ss w+rd%", code, message), 1);
  EXPECT_EQ(Requests().back().body,
            "Cmd=LOGIN&Username=b%u00F6b+%u0026+co&Password=p%u0040ss+w%u002Brd%u0025"
            "&Client=QVSYNC");
}

TEST_F(ProtocolTest, EnsureLoggedInLogsInOnce) {
  int32_t code = 0;
  std::string message;
  EXPECT_EQ(EnsureLoggedIn("alice", "secret", code, message), 1);
  EXPECT_EQ(EnsureLoggedIn("alice", "secret", code, message), 2);
  EXPECT_EQ(Requests().size(), 1u);
}

TEST_F(ProtocolTest, UnreachableServerFailsTheLoginWithTheTransportError) {
  Config().host = "no-such-host.invalid";
  int32_t code = 0;
  std::string message;
  EXPECT_EQ(ServerLogin("alice", "secret", code, message), 0);
  EXPECT_EQ(code, 12007);
  EXPECT_EQ(message, "Could not resolve the server name. Check the server details entered.");
}

TEST_F(ProtocolTest, ListBodiesForContactsAndTasks) {
  ASSERT_EQ(Login(), 1);
  std::vector<std::string> list;
  EXPECT_EQ(GetItemListFromServer(list, "CONTACT", {2013, 5, 21, 14, 30, 0}), 1);
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 5, 9, 7, 0}), 1);
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].body, "Cmd=LIST-CONTACTS&Pagination=None&Groups=1&Since=2013-05-21-14-30");
  EXPECT_EQ(requests[2].body, "Cmd=LIST-TASKS&Pagination=None&Since=2013-01-05-09-07");
  EXPECT_TRUE(LogHasLine("Request->(" + servlet_.host() + ": " + kDefaultPath));
}

TEST_F(ProtocolTest, ListGivesEveryServerItemOfTheClass) {
  ASSERT_EQ(Login(), 1);
  std::string contact = servlet_.AddItem("alice", "CONTACT", {{"FirstName", "Ann"}});
  std::string group = servlet_.AddItem("alice", "CONTACTGROUP", {{"GroupName", "G"}});
  servlet_.AddItem("alice", "TASK", {{"Subject", "t"}});
  std::vector<std::string> list{"stale"};
  ASSERT_EQ(GetItemListFromServer(list, "CONTACT", {2013, 1, 1, 0, 0, 0}), 1);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0], contact + "\t" + std::to_string(servlet_.GetItem("alice", contact)->modified));
  EXPECT_EQ(list[1], group + "\t" + std::to_string(servlet_.GetItem("alice", group)->modified));
  EXPECT_LT(std::stol(GetToken(list[0], "\t", 2)), std::stol(GetToken(list[1], "\t", 2)));
}

TEST_F(ProtocolTest, ListReplyParsing) {
  ASSERT_EQ(Login(), 1);
  std::vector<std::string> list{"kept"};
  servlet_.SetCannedReply("LIST-TASKS", "<R><RETURNVALUE>1</RETURNVALUE><X/></R>");
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 1);
  EXPECT_EQ(list, std::vector<std::string>{"kept"});  // no ELEMENT: left as it was

  servlet_.SetCannedReply("LIST-TASKS",
                          "<R><A><ELEMENT ID=\"a.TSK\" TYPE=\"TASK\"><MODIFIEDDATE>7</MODIFIEDDATE>"
                          "</ELEMENT></A><ELEMENT ID=\"b.TSK\"/><ELEMENT><MODIFIEDDATE/></ELEMENT></R>");
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 1);
  EXPECT_EQ(list, (std::vector<std::string>{"a.TSK\t7", "b.TSK\t0", "\t"}));

  servlet_.SetCannedReply("LIST-CONTACTS", "<R><ELEMENT ID=\"x\">");
  EXPECT_EQ(GetItemListFromServer(list, "CONTACT", {2013, 1, 1, 0, 0, 0}), 0);
  EXPECT_TRUE(LogHasLine("Invalid result from: Cmd=LIST-CONTACTS&Pagination=None"));
  EXPECT_TRUE(LogHasLine("Result: <R><ELEMENT ID=\"x\">"));
  EXPECT_EQ(list.size(), 3u);
}

TEST_F(ProtocolTest, AnErrorInsteadOfAListIsNoList) {
  // Taken as an empty list, any of these would have every known item deleted.
  std::vector<std::string> list{"kept"};
  Config().requestUrl = kDefaultPath;
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 0) << "no session";
  ASSERT_EQ(Login(), 1);
  servlet_.SetFault(Fault::kServerError);
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 0) << "HTML error page";
  servlet_.SetFault(Fault::kNone);
  servlet_.SetCannedReply("LIST-TASKS", "<R><RETURNVALUE>0</RETURNVALUE><ERROR_VALUE>4</ERROR_VALUE></R>");
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 0);
  EXPECT_EQ(list, std::vector<std::string>{"kept"});
  EXPECT_TRUE(LogHasLine("Invalid result from: Cmd=LIST-TASKS&Pagination=None"));

  // A document without any text is no answer either: not an empty list.
  for (const char* textless : {"<ITEMS/>", "<R><ELEMENTS/></R>", "<R>\n  <ELEMENTS>  </ELEMENTS>\n</R>",
                               "<R><X A=\"attributes are no text\"/></R>",
                               "<R><ELEMENT ID=\"a.TSK\"/><![CDATA[ ]]></R>"}) {
    servlet_.ClearRequests();
    servlet_.SetCannedReply("LIST-TASKS", textless);
    EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 0) << textless;
    EXPECT_EQ(list, std::vector<std::string>{"kept"}) << textless;
    EXPECT_TRUE(LogHasLine(std::string("Result: ") + textless)) << textless;
  }

  // A list without items that is no error is an empty list.
  servlet_.SetCannedReply("LIST-TASKS", std::nullopt);
  servlet_.AddItem("alice", "TASK", {{"Subject", "t"}});
  ASSERT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 1);
  ASSERT_EQ(list.size(), 1u);
  ASSERT_TRUE(servlet_.DeleteItem("alice", GetToken(list[0], "\t", 1)));
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 1);  // RETURNVALUE 1 only
  // A RETURNVALUE 0 reports a failure, even without an error value: taken as
  // no items, it would have every synchronised item deleted.
  servlet_.SetCannedReply("LIST-TASKS", "<R><RETURNVALUE> 0 </RETURNVALUE></R>");
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 0);
  servlet_.SetCannedReply("LIST-TASKS", "<R><![CDATA[1]]></R>");
  EXPECT_EQ(GetItemListFromServer(list, "TASK", {2013, 1, 1, 0, 0, 0}), 1);
}

TEST_F(ProtocolTest, AddStoresTheItemAndReturnsItsUid) {
  ASSERT_EQ(Login(), 1);
  FakeItem contact(kClassContact, "Ann", "ann@example.com", "FirstName=Ann&Email1Address=ann%u0040example.com");
  std::string result = PostItemToServer(contact);
  std::string uid = GetToken(result, "\t", 1);
  ASSERT_NE(uid, "");
  auto stored = servlet_.GetItem("alice", uid);
  ASSERT_TRUE(stored);
  EXPECT_EQ(result, uid + "\t" + std::to_string(stored->modified));
  EXPECT_EQ(stored->className, "CONTACT");
  EXPECT_EQ(Requests().back().body, "Cmd=ADD-CONTACT&FirstName=Ann&Email1Address=ann%u0040example.com");
  EXPECT_TRUE(LogHasLine("PostItemToServer returned: " + std::string("<?xml version=\"1.0\"?><RESPONSE>"
                         "<RETURNVALUE>1</RETURNVALUE><UID>") + uid + "</UID><MODIFIEDDATE>" +
                         std::to_string(stored->modified) + "</MODIFIEDDATE></RESPONSE>"));
}

TEST_F(ProtocolTest, AddWithoutUidInTheReplyUsesTheLocalName) {
  ASSERT_EQ(Login(), 1);
  servlet_.SetCannedReply("ADD-CONTACT", "<R><RETURNVALUE>1</RETURNVALUE></R>");
  FakeItem withAddress(kClassContact, "Ann", "ann@example.com", "FirstName=Ann");
  EXPECT_EQ(PostItemToServer(withAddress), "ann@example.com.VCF\t0");
  FakeItem withoutAddress(kClassContact, "Bob", "", "FirstName=Bob");
  EXPECT_TRUE(std::regex_match(PostItemToServer(withoutAddress),
                               std::regex("[0-9A-F]{32}\\.VCF\t0")));
  servlet_.SetCannedReply("ADD-APPOINTMENT", "no reply at all");
  FakeItem appointment(kClassAppointment, "Meet", "", "StartTime=2013-01-01-10-00");
  EXPECT_TRUE(std::regex_match(PostItemToServer(appointment),
                               std::regex("[0-9A-F]{32}\\.CAL\t0")));
}

TEST_F(ProtocolTest, AddWithoutAnyReplyIsNotTakenAsAdded) {
  ASSERT_EQ(Login(), 1);
  FakeItem task(kClassTask, "Write report", "", "Subject=Write+report");
  servlet_.SetFault(Fault::kDropConnection);
  EXPECT_EQ(PostItemToServer(task), "");
  servlet_.SetFault(Fault::kNone);
  servlet_.SetCannedReply("ADD-TASK", "");
  EXPECT_EQ(PostItemToServer(task), "");
  EXPECT_TRUE(LogHasLine("Error: Unable to process item [Write report]. Item was not syncronized "
                         "to Server. Reason: no reply from the server"));
}

TEST_F(ProtocolTest, AddAnsweredWithAnErrorIsNotTakenAsAdded) {
  FakeItem task(kClassTask, "Write report", "", "Subject=Write+report");
  Config().requestUrl = kDefaultPath;
  EXPECT_EQ(PostItemToServer(task), "") << "no session: an error without RETURNVALUE";
  EXPECT_TRUE(LogHasLine("Error: Unable to process item [Write report]. Item was not syncronized "
                         "to Server. Reason: Your session has expired. Please log in again."));
  ASSERT_EQ(Login(), 1);
  servlet_.SetFault(Fault::kServerError);
  EXPECT_EQ(PostItemToServer(task), "") << "HTML error page";
  servlet_.SetFault(Fault::kNone);
  servlet_.SetCannedReply("ADD-TASK", "\r\n<!DOCTYPE html><html><body>Bad gateway</body></html>");
  EXPECT_EQ(PostItemToServer(task), "");
  EXPECT_TRUE(servlet_.ListItems("alice", "TASK").empty());
}

TEST_F(ProtocolTest, RefusedAddIsLogged) {
  ASSERT_EQ(Login(), 1);
  servlet_.SetCannedReply(
      "ADD-TASK",
      "<R><RETURNVALUE>0</RETURNVALUE><ERROR_VALUE>5</ERROR_VALUE><ERROR_DESCRIPTION>Too big"
      "</ERROR_DESCRIPTION></R>");
  FakeItem task(kClassTask, "Write report", "", "Subject=Write+report");
  EXPECT_EQ(PostItemToServer(task), "");
  EXPECT_TRUE(LogHasLine("Error: Unable to process item [Write report]. Item was not syncronized "
                         "to Server. Reason: Too big"));
}

TEST_F(ProtocolTest, EditTellsTakenMissingAndNoAnswer) {
  ASSERT_EQ(Login(), 1);
  std::string uid = servlet_.AddItem("alice", "TASK", {{"Subject", "old"}});
  FakeItem task(kClassTask, "new", "", "Subject=new");
  std::string result = EditItemOnServer(uid, task);
  auto stored = servlet_.GetItem("alice", uid);
  ASSERT_TRUE(stored);
  EXPECT_EQ(result, "1\t" + uid + "\t" + std::to_string(stored->modified));
  EXPECT_EQ(stored->fields, (qv::servlet::FormFields{{"Subject", "new"}}));
  EXPECT_EQ(Requests().back().body, "Cmd=EDIT-TASK&Subject=new&ID=" + uid);

  EXPECT_EQ(EditItemOnServer("gone.TSK", task), "1001\tgone.TSK\t");
  servlet_.SetFault(Fault::kDropConnection);
  EXPECT_EQ(EditItemOnServer(uid, task), "0\t" + uid + "\t0");
}

TEST_F(ProtocolTest, GetHandsTheReplyToTheDeserialiser) {
  ASSERT_EQ(Login(), 1);
  std::string uid = servlet_.AddItem("alice", "CONTACT", {{"FirstName", "Ren\xC3\xA9"}});
  FakeItem contact(kClassContact, "", "", "");
  EXPECT_TRUE(GetItemFromServer(uid, contact));
  EXPECT_EQ(Requests().back().body, "Cmd=GET-CONTACT&ID=" + uid);
  ASSERT_EQ(contact.deserialized.size(), 1u);
  EXPECT_EQ(GetXmlValue(contact.deserialized[0], "FIRSTNAME"), "Ren\xC3\xA9");

  EXPECT_FALSE(GetItemFromServer("gone.VCF", contact));
  EXPECT_EQ(contact.deserialized.size(), 1u);
  EXPECT_TRUE(LogHasLine("Server Request Failed: Cmd=GET-CONTACT&ID=gone.VCF"));
}

TEST_F(ProtocolTest, ChangePasswordSucceedsAndMasksPasswordsInTheLog) {
  ASSERT_EQ(Login(), 1);
  EXPECT_EQ(ChangePassword("secret", "n&w=pa%s+"), 1);
  EXPECT_TRUE(servlet_.CheckPassword("alice", "n&w=pa%s+"));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text, "The password to your account has been successfully changed.");
  EXPECT_EQ(boxes_[0].title, "Password Changed");
  EXPECT_EQ(boxes_[0].icon, qv::ui::Icon::Information);
  EXPECT_EQ(Requests().back().body,
            "Cmd=CHANGE-PASSWORD&Username=alice&Password=secret&NewPassword=n%u0026w=pa%u0025s%u002B");
  EXPECT_TRUE(LogHasLine("Changing password from [********] to [********]"));
  EXPECT_EQ(Log().find("secret"), std::string::npos);
}

TEST_F(ProtocolTest, ChangePasswordFailureShowsTheServerDetails) {
  ASSERT_EQ(Login(), 1);
  EXPECT_EQ(ChangePassword("wrong", "other"), 0);
  EXPECT_TRUE(servlet_.CheckPassword("alice", "secret"));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text,
            "The password change operation failed with the following error: The current "
            "password is not correct.");
  EXPECT_EQ(boxes_[0].title, "Password Change Failed");
  EXPECT_EQ(boxes_[0].icon, qv::ui::Icon::Exclamation);
  EXPECT_TRUE(LogHasLine("Server Request Failed: Cmd=CHANGE-PASSWORD&Username=alice&Password="
                         "********&NewPassword=********; Error: The current password is not correct."));
  EXPECT_EQ(Log().find("wrong"), std::string::npos);
  EXPECT_EQ(Log().find("other"), std::string::npos);
}

TEST_F(ProtocolTest, ChangePasswordReadsTheReturnValueAsANumber) {
  ASSERT_EQ(Login(), 1);
  servlet_.SetCannedReply("CHANGE-PASSWORD", "<R><RETURNVALUE>01</RETURNVALUE></R>");
  EXPECT_EQ(ChangePassword("a", "b"), 1);
  servlet_.SetCannedReply("CHANGE-PASSWORD", "<R><RETURNVALUE>yes</RETURNVALUE></R>");
  EXPECT_EQ(ChangePassword("a", "b"), 0);
  servlet_.SetCannedReply("CHANGE-PASSWORD", "<R><RETURNVALUE>2</RETURNVALUE></R>");
  EXPECT_EQ(ChangePassword("a", "b"), 0);
  ASSERT_EQ(boxes_.size(), 3u);
  EXPECT_EQ(boxes_[0].title, "Password Changed");
  EXPECT_EQ(boxes_[1].title, "Password Change Failed");
  EXPECT_EQ(boxes_[2].title, "Password Change Failed");
}

TEST_F(ProtocolTest, AutoResponseRoundTrip) {
  ASSERT_EQ(Login(), 1);
  const std::string subject = "Away \xE2\x80\x94 caf\xC3\xA9 & co = 100% + \xF0\x9F\x8C\xB4";
  const std::string body = "Back Monday.\r\nUrgent: call <Bob>; \"quoted\" \xE4\xB8\xAD\xE6\x96\x87";
  EXPECT_EQ(SetAutoResponse(true, subject, body), 1);
  EXPECT_EQ(GetToken(Requests().back().body, "&", 2), "Enabled=1");
  bool enabled = false;
  std::string gotSubject, gotBody;
  EXPECT_EQ(GetAutoResponse(enabled, gotSubject, gotBody), 1);
  EXPECT_TRUE(enabled);
  EXPECT_EQ(gotSubject, subject);
  EXPECT_EQ(gotBody, "Back Monday.\nUrgent: call <Bob>; \"quoted\" \xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(SetAutoResponse(false, "", ""), 1);
  EXPECT_EQ(GetToken(Requests().back().body, "&", 2), "Enabled=0");
  EXPECT_EQ(GetAutoResponse(enabled, gotSubject, gotBody), 1);
  EXPECT_FALSE(enabled);
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(ProtocolTest, AutoResponseFailures) {
  ASSERT_EQ(Login(), 1);
  servlet_.SetCannedReply("GET-AUTORESPONSE", "<R><SUBJECT>s</SUBJECT></R>");
  bool enabled = true;
  std::string subject = "old", body = "old";
  EXPECT_EQ(GetAutoResponse(enabled, subject, body), 1);  // missing values stay
  EXPECT_TRUE(enabled);
  EXPECT_EQ(subject, "s");
  EXPECT_EQ(body, "old");
  servlet_.SetCannedReply("GET-AUTORESPONSE", "");
  EXPECT_EQ(GetAutoResponse(enabled, subject, body), 0);
  EXPECT_TRUE(LogHasLine("Invalid result from: Cmd=GET-AUTORESPONSE"));
  servlet_.SetCannedReply("GET-AUTORESPONSE", "<R><ENABLED/><SUBJECT/><BODY/></R>");
  EXPECT_EQ(GetAutoResponse(enabled, subject, body), 0);  // no text: invalid, nothing changed
  EXPECT_TRUE(enabled);
  EXPECT_EQ(subject, "s");

  servlet_.SetCannedReply("SET-AUTORESPONSE",
                          "<R><RETURNVALUE>0</RETURNVALUE><ERROR_DESCRIPTION>Locked"
                          "</ERROR_DESCRIPTION></R>");
  EXPECT_EQ(SetAutoResponse(true, "s", "b"), 0);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0].text,
            "The auto response change operation failed with the following error: Locked");
  EXPECT_EQ(boxes_[0].title, "Auto Response Change Failed");
  EXPECT_TRUE(LogHasLine("Server Request Failed: Cmd=SET-AUTORESPONSE&Enabled=1&Subject=s&Body=b"
                         "; Error: Locked"));
}

TEST_F(ProtocolTest, RepliesAreReadAsTheTextTheTransportDecoded) {
  ASSERT_EQ(Login(), 1);
  // A server that names its 8-bit encoding in the declaration: the transport
  // has already turned the bytes into text, which must not be decoded twice.
  servlet_.SetCannedReply("GET-AUTORESPONSE",
                          "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                          "<R><ENABLED>1</ENABLED><SUBJECT>Caf\xE9</SUBJECT></R>");
  bool enabled = false;
  std::string subject, body;
  EXPECT_EQ(GetAutoResponse(enabled, subject, body), 1);
  EXPECT_EQ(subject, "Caf\xC3\xA9");
  std::vector<std::string> list;
  EXPECT_TRUE(ReadItemList("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>"
                           "<R><ELEMENT ID=\"\xC3\xA9.VCF\"><MODIFIEDDATE>5</MODIFIEDDATE></ELEMENT></R>",
                           list));
  EXPECT_EQ(list, std::vector<std::string>{"\xC3\xA9.VCF\t5"});
}

TEST(GetXmlValue, TagScan) {
  EXPECT_EQ(GetXmlValue("<A><UID>x.VCF</UID></A>", "UID"), "x.VCF");
  EXPECT_EQ(GetXmlValue("<UID>a &amp; b</UID>", "UID"), "a &amp; b");
  EXPECT_EQ(GetXmlValue("<UID></UID>", "UID"), "");
  EXPECT_EQ(GetXmlValue("<uid>x</uid>", "UID"), "");
  EXPECT_EQ(GetXmlValue("<UID>x", "UID"), "");
  EXPECT_EQ(GetXmlValue("x</UID>", "UID"), "");                 // closing tag alone
  EXPECT_EQ(GetXmlValue("</UID><UID>y</UID>", "UID"), "y");     // closing tag first
  EXPECT_EQ(GetXmlValue("<UID>1</UID><UID>2</UID>", "UID"), "1");
  EXPECT_EQ(GetXmlValue("<ERROR_VALUE>3</ERROR_VALUE>", "ERRORVALUE"), "");
}

TEST(NewUniqueName, IsAVersion4GuidInHex) {
  std::string a = NewUniqueName(), b = NewUniqueName();
  EXPECT_TRUE(std::regex_match(a, std::regex("[0-9A-F]{12}4[0-9A-F]{3}[89AB][0-9A-F]{15}"))) << a;
  EXPECT_NE(a, b);
}

TEST(ItemFileName, PerClass) {
  EXPECT_EQ(ItemFileName(FakeItem(kClassContact, "", "a@b.c", "")), "a@b.c.VCF");
  EXPECT_TRUE(std::regex_match(ItemFileName(FakeItem(kClassContact, "", "", "")),
                               std::regex("[0-9A-F]{32}\\.VCF")));
  EXPECT_TRUE(std::regex_match(ItemFileName(FakeItem(kClassAppointment, "", "a@b.c", "")),
                               std::regex("[0-9A-F]{32}\\.CAL")));
  EXPECT_EQ(ItemFileName(FakeItem(kClassTask, "", "", "")), "");
  EXPECT_EQ(ItemFileName(FakeItem(kClassDistributionList, "", "", "")), "");
  EXPECT_EQ(ClassName(kClassTask), "TASK");
  EXPECT_EQ(ClassName(kClassDistributionList), "");
}

}  // namespace
}  // namespace qvsync::testing
