#include "addin/server/protocol.h"

#include <strings.h>
#include <sys/random.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <pugixml.hpp>

#include "addin/codec/strings.h"
#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "addin/server/http_transport.h"
#include "platform/ui/ui.h"

namespace qvsync {

bool loggedIn = false;

namespace {

// What the activity log shows in place of a password.
constexpr const char* kMaskedPassword = "********";

std::string Post(std::string_view body) {
  int32_t errorCode = 0;
  std::string errorMessage;
  return PostToServer(body, errorCode, errorMessage);
}

// Why a command failed, for its box: the server's own words when it gave
// some, else the transport's, else what little the answer tells.
std::string FailureReason(const std::string& serverText, const std::string& transportText, const std::string& reply) {
  if (!serverText.empty()) return serverText;
  if (!transportText.empty()) return transportText;
  return reply.empty() ? "The server's answer was empty." : "The server gave no reason.";
}

// Whether any character data (text or CDATA) anywhere in the document holds
// more than white space. Attribute values do not count.
bool HasText(const pugi::xml_document& doc) {
  struct Finder : pugi::xml_tree_walker {
    bool found = false;
    bool for_each(pugi::xml_node& node) override {
      if (node.type() != pugi::node_pcdata && node.type() != pugi::node_cdata) return true;
      for (const char* c = node.value(); *c != '\0'; ++c) {
        if (*c != ' ' && *c != '\t' && *c != '\r' && *c != '\n') {
          found = true;
          return false;  // stop walking
        }
      }
      return true;
    }
  } finder;
  const_cast<pugi::xml_document&>(doc).traverse(finder);
  return finder.found;
}

// Loads a reply; false when it is invalid: empty, not XML with a document
// element, or a document without any text (such as "<ITEMS/>" or
// "<R><ELEMENTS/></R>"): a real answer always carries at least its return
// value or an item's date, and a list reply taken as empty would have every
// known item deleted. The reply is text already (the transport decoded its
// bytes), so an encoding named in its XML declaration must not make the
// parser decode it again.
bool LoadReply(const std::string& reply, pugi::xml_document& doc) {
  if (reply.empty()) return false;
  pugi::xml_parse_result result =
      doc.load_buffer(reply.data(), reply.size(), pugi::parse_default, pugi::encoding_utf8);
  return result && doc.document_element() && HasText(doc);
}

// RETURNVALUE as a number when it reads as one (spaces, a sign, digits and a
// decimal part allowed), else 0.
double NumericValue(std::string_view text) {
  std::string trimmed(TrimSpaces(text));
  if (trimmed.empty()) return 0;
  size_t pos = 0;
  if (trimmed[pos] == '+' || trimmed[pos] == '-') ++pos;
  bool digits = false, point = false;
  for (; pos < trimmed.size(); ++pos) {
    char c = trimmed[pos];
    if (c >= '0' && c <= '9') {
      digits = true;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      return 0;
    }
  }
  return digits ? std::strtod(trimmed.c_str(), nullptr) : 0;
}

// An answer that is an error rather than a result: an error value from the
// servlet (an expired session, a refused command) or an HTML page (a server
// error, a proxy's page).
bool IsErrorReply(std::string_view reply) {
  if (!GetXmlValue(reply, "ERRORVALUE").empty() || !GetXmlValue(reply, "ERROR_VALUE").empty()) return true;
  size_t start = reply.find_first_not_of(" \t\r\n");
  if (start == std::string_view::npos) return false;
  std::string head(reply.substr(start, 14));
  for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return head.rfind("<html", 0) == 0 || head == "<!doctype html";
}

}  // namespace

std::string GetXmlValue(std::string_view reply, std::string_view tag) {
  std::string open = "<", close = "</";
  open.append(tag).append(">");
  close.append(tag).append(">");
  size_t start = reply.find(open);
  if (start == reply.npos) return "";
  start += open.size();
  size_t end = reply.find(close, start);  // a closing tag before the opening one does not count
  if (end == reply.npos) return "";
  return std::string(reply.substr(start, end - start));
}

bool ReadItemList(const std::string& reply, std::vector<std::string>& list) {
  pugi::xml_document doc;
  if (!LoadReply(reply, doc)) return false;
  pugi::xpath_node_set elements = doc.select_nodes("//ELEMENT");
  // The list is taken as every item the server has: an answer without items
  // that is really an error (an expired session or a refused command, told by
  // an error value; an HTML error page that happens to be well-formed) would
  // have every known item deleted from Outlook, so it counts as no answer. A
  // bare RETURNVALUE 0 is not taken as an error here: it may count the items.
  // A reply that reports failure (RETURNVALUE 0) is no empty list either.
  if (elements.empty()) {
    const bool page = strcasecmp(doc.document_element().name(), "html") == 0;
    if (page || IsErrorReply(reply) || TrimSpaces(GetXmlValue(reply, "RETURNVALUE")) == "0") {
      return false;
    }
  }
  if (!elements.empty()) {
    list.clear();
    list.reserve(elements.size());
    for (const pugi::xpath_node& node : elements) {
      pugi::xml_node element = node.node();
      pugi::xml_node modified = element.child("MODIFIEDDATE");
      list.push_back(std::string(element.attribute("ID").value()) + "\t" +
                     (modified ? modified.text().get() : "0"));
    }
  }
  return true;
}

bool ReadAutoResponse(const std::string& reply, bool& enabled, std::string& subject,
                      std::string& body) {
  pugi::xml_document doc;
  if (!LoadReply(reply, doc)) return false;
  pugi::xml_node root = doc.document_element();
  if (pugi::xml_node node = root.child("ENABLED")) enabled = std::string(node.text().get()) == "1";
  if (pugi::xml_node node = root.child("SUBJECT")) subject = node.text().get();
  if (pugi::xml_node node = root.child("BODY")) body = node.text().get();
  return true;
}

std::string ClassName(int outlookClass) {
  switch (outlookClass) {
    case kClassAppointment:
      return "APPOINTMENT";
    case kClassContact:
      return "CONTACT";
    case kClassTask:
      return "TASK";
    default:
      return "";
  }
}

std::string NewUniqueName() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) return "00000000";
    got += static_cast<size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  // Data1, Data2 and Data3 as numbers, then the eight remaining bytes in order;
  // written big-endian the digits are those of the bytes in order.
  char text[33];
  for (size_t i = 0; i < 16; ++i) std::snprintf(text + 2 * i, 3, "%02X", bytes[i]);
  return std::string(text, 32);
}

std::string RequestClassName(int outlookClass) {
  return outlookClass == kClassDistributionList ? "CONTACTGROUP" : ClassName(outlookClass);
}

bool IsPlainItemName(std::string_view name) {
  if (name.empty()) return false;
  for (char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_' || c == '@';
    if (!plain) return false;
  }
  return true;
}

std::string IdField(std::string_view id) { return "&ID=" + EscapeValue(id); }

std::string ItemFileName(const ServerItem& item) {
  switch (item.OutlookClass()) {
    case kClassAppointment:
      return NewUniqueName() + ".CAL";
    case kClassContact: {
      std::string address = item.Email1Address();
      return (IsPlainItemName(address) ? address : NewUniqueName()) + ".VCF";
    }
    default:
      return "";
  }
}

std::string PostToServer(std::string_view body, int32_t& errorCode, std::string& errorMessage) {
  const SyncConfig& config = Config();
  // Before any login has found the servlet (a password change right after
  // start-up), the default path is the one to use, not an empty one.
  const std::string path = config.requestUrl.empty() ? kDefaultRequestPath : config.requestUrl;
  return HttpPost(config.host, path, body, config.httpVersion, errorCode, errorMessage);
}

int ServerLogin(const std::string& user, const std::string& password, int32_t& errorCode,
                std::string& errorMessage) {
  SyncConfig& config = Config();
  LogMessage("Logging in to Server as: " + user, 5);
  const std::string body = "Cmd=LOGIN&Username=" + EscapeValue(user) +
                           "&Password=" + EscapeValue(password) + "&Client=QVSYNC";
  std::string path = config.requestUrl.empty() ? kDefaultRequestPath : config.requestUrl;
  loggedIn = false;
  std::string reply;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    reply = HttpPost(config.host, path, body, config.httpVersion, errorCode, errorMessage);
    if (!GetXmlValue(reply, "RETURNVALUE").empty()) {
      const std::string refusal = GetXmlValue(reply, "ERRORVALUE");
      loggedIn = refusal.empty();
      // A refused login carries the server's reason for the person to read.
      if (!loggedIn) {
        errorMessage = GetXmlValue(reply, "ERROR_DESCRIPTION");
        if (errorMessage.empty()) errorMessage = "The server refused the login (error value " + refusal + ").";
      }
      break;
    }
    if (!config.requestUrl.empty()) break;
    // A server that did not answer in time (or a wait the person cancelled)
    // is not asked again on the second path: that would double the wait.
    if (errorCode == kErrorTimeout || errorCode == kErrorCancelled) break;
    path = kAlternativeRequestPath;
  }
  if (!loggedIn) {
    if (errorMessage.empty()) {
      errorMessage = reply.empty() ? "The server's answer was empty." : "The server's answer holds no login result.";
    }
    return 0;
  }
  if (config.requestUrl.empty()) config.requestUrl = path;
  return 1;
}

int EnsureLoggedIn(const std::string& user, const std::string& password, int32_t& errorCode,
                   std::string& errorMessage) {
  if (loggedIn) {
    errorCode = 0;
    errorMessage.clear();
    return 2;
  }
  return ServerLogin(user, password, errorCode, errorMessage);
}

int GetItemListFromServer(std::vector<std::string>& list, std::string_view className,
                          const LocalDateTime& sinceDate) {
  const SyncConfig& config = Config();
  LogMessage("Request->(" + config.host + ": " + config.requestUrl, 5);
  const std::string command = "Cmd=LIST-" + std::string(className) + "S&Pagination=None";
  std::string upper(className);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  std::string body = command;
  if (upper == "CONTACT") body += "&Groups=1";
  body += "&Since=" + FormatServerDate(sinceDate);
  std::string reply = Post(body);

  if (!ReadItemList(reply, list)) {
    LogMessage("Invalid result from: " + command, 5);
    LogMessage("Result: " + reply, 5);
    return 0;
  }
  return 1;
}

namespace {

// The request fields of `item` named by `id` ("&ID=" escaped); "" when the
// item gives none.
std::string RequestFields(const ServerItem& item, const std::string& id) {
  std::string fields = item.SerializeItem("");
  if (fields.empty()) return fields;
  if (!id.empty()) fields += IdField(id);
  return fields;
}

}  // namespace

ChangeResult AddItemOnServer(const ServerItem& item, const std::string& sentId) {
  ChangeResult result;
  const std::string fields = RequestFields(item, sentId);
  if (fields.empty()) {
    result.outcome = ChangeResult::Outcome::kNotSent;
    return result;
  }
  std::string reply = Post("Cmd=ADD-" + RequestClassName(item.OutlookClass()) + "&" + fields);
  LogMessage("PostItemToServer returned: " + reply, 5);
  // Nothing came back (the server could not be reached or broke off): the item
  // is not known to be on the server. Taking it as added would record a made-up
  // ID, and the next run, not finding that ID on the server, would delete the
  // Outlook item.
  if (reply.empty()) {
    LogMessage("Error: Unable to process item [" + item.Subject() +
                   "]. Item was not syncronized to Server. Reason: no reply from the server",
               5);
    return result;
  }
  // Refused: RETURNVALUE 0, or no RETURNVALUE in an answer that is an error;
  // the same made-up ID would come of taking the latter as added.
  const std::string returnValue = GetXmlValue(reply, "RETURNVALUE");
  if (returnValue == "0" || (returnValue.empty() && IsErrorReply(reply))) {
    result.outcome = ChangeResult::Outcome::kRefused;
    result.reason = GetXmlValue(reply, "ERROR_DESCRIPTION");
    LogMessage("Error: Unable to process item [" + item.Subject() +
                   "]. Item was not syncronized to Server. Reason: " + result.reason,
               5);
    LogMessage("Result: " + reply, 5);
    return result;
  }
  result.outcome = ChangeResult::Outcome::kTaken;
  result.uid = GetXmlValue(reply, "UID");
  if (result.uid.empty()) result.uid = sentId.empty() ? ItemFileName(item) : sentId;
  result.modified = GetXmlValue(reply, "MODIFIEDDATE");
  return result;
}

ChangeResult ChangeItemOnServer(const std::string& id, const ServerItem& item) {
  ChangeResult result;
  result.uid = id;
  const std::string fields = RequestFields(item, id);
  if (fields.empty()) {
    result.outcome = ChangeResult::Outcome::kNotSent;
    return result;
  }
  const std::string reply = Post("Cmd=EDIT-" + RequestClassName(item.OutlookClass()) + "&" + fields);
  const std::string code = GetXmlValue(reply, "RETURNVALUE");
  result.code = code;
  result.modified = GetXmlValue(reply, "MODIFIEDDATE");
  result.reason = GetXmlValue(reply, "ERROR_DESCRIPTION");
  if (code.empty()) {
    result.outcome = ChangeResult::Outcome::kUnanswered;
  } else if (code == "1") {
    result.outcome = ChangeResult::Outcome::kTaken;
  } else if (code == "1001") {
    result.outcome = ChangeResult::Outcome::kRemoved;
  } else {
    result.outcome = ChangeResult::Outcome::kRefused;
    if (result.reason.empty()) result.reason = "the server answered " + code;
  }
  return result;
}

std::string PostItemToServer(const ServerItem& item) { return PostItemToServer(item, ""); }

std::string PostItemToServer(const ServerItem& item, const std::string& sentId, bool* refused) {
  const ChangeResult result = AddItemOnServer(item, sentId);
  if (refused != nullptr) *refused = result.outcome == ChangeResult::Outcome::kRefused;
  if (result.outcome != ChangeResult::Outcome::kTaken) return "";
  return result.uid + "\t" + (result.modified.empty() ? std::string("0") : result.modified);
}

std::string EditItemOnServer(const std::string& id, const ServerItem& item, bool* answered) {
  const ChangeResult result = ChangeItemOnServer(id, item);
  if (answered != nullptr) *answered = !result.code.empty();
  if (result.code.empty()) return "0\t" + id + "\t0";
  return result.code + "\t" + id + "\t" + result.modified;
}

bool GetItemFromServer(const std::string& id, ServerItem& item) {
  const std::string body = "Cmd=GET-" + ClassName(item.OutlookClass()) + IdField(id);
  std::string reply = Post(body);
  if (GetXmlValue(reply, "RETURNVALUE").empty()) {
    LogMessage("Server Request Failed: " + body, 5);
    LogMessage("Result: " + reply, 5);
    return false;
  }
  // An item that could not be brought up to date (a list whose members are not
  // all known) is no item pulled: it is asked for again next time.
  return item.DeserializeItem(reply) == 1;
}

int ChangePassword(const std::string& oldPassword, const std::string& newPassword) {
  const SyncConfig& config = Config();
  LogMessage(std::string("Changing password from [") + kMaskedPassword + "] to [" +
                 kMaskedPassword + "]",
             5);
  // The values are escaped like every other request value, so that "&", "=",
  // "%", "+" and non-ASCII characters reach the server as typed.
  const std::string prefix = "Cmd=CHANGE-PASSWORD&Username=" + EscapeValue(config.username);
  const std::string body = prefix + "&Password=" + EscapeValue(oldPassword) +
                           "&NewPassword=" + EscapeValue(newPassword);
  int32_t errorCode = 0;
  std::string errorMessage;
  std::string reply = PostToServer(body, errorCode, errorMessage);
  std::string value = GetXmlValue(reply, "RETURNVALUE");
  double code = NumericValue(value);
  if (code != 1) {
    const std::string details = FailureReason(GetXmlValue(reply, "ERRORDETAILS"), errorMessage, reply);
    ReportPasswordChangeFailure(details);
    const std::string loggedBody = prefix + "&Password=" + kMaskedPassword +
                                   "&NewPassword=" + kMaskedPassword;
    LogMessage("Server Request Failed: " + loggedBody + "; Error: " + details, 5);
    LogMessage("Result: " + reply, 5);
    return 0;
  }
  qv::ui::ShowMessage("The password to your account has been successfully changed.",
                 "Password Changed", qv::ui::Buttons::OK, qv::ui::Icon::Information);
  return 1;
}

void ReportPasswordChangeFailure(const std::string& details) {
  const std::string text = "The password change operation failed with the following error: " + details;
  qv::ui::ShowMessage(text, "Password Change Failed", qv::ui::Buttons::OK, qv::ui::Icon::Exclamation);
  qv::ui::ReportCommandFailure(text);
}

int GetAutoResponse(bool& enabled, std::string& subject, std::string& body) {
  const std::string command = "Cmd=GET-AUTORESPONSE";
  std::string reply = Post(command);
  if (!ReadAutoResponse(reply, enabled, subject, body)) {
    LogMessage("Invalid result from: " + command, 5);
    LogMessage("Result: " + reply, 5);
    return 0;
  }
  return 1;
}

int SetAutoResponse(bool enabled, const std::string& subject, const std::string& body) {
  // Escaped like every other request value, so the text arrives as typed.
  const std::string request = std::string("Cmd=SET-AUTORESPONSE&Enabled=") +
                              (enabled ? "1" : "0") + "&Subject=" + EscapeValue(subject) +
                              "&Body=" + EscapeValue(body);
  int32_t errorCode = 0;
  std::string errorMessage;
  std::string reply = PostToServer(request, errorCode, errorMessage);
  if (GetXmlValue(reply, "RETURNVALUE") != "1") {
    const std::string description = FailureReason(GetXmlValue(reply, "ERROR_DESCRIPTION"), errorMessage, reply);
    const std::string text = "The auto response change operation failed with the following error: " + description;
    qv::ui::ShowMessage(text, "Auto Response Change Failed", qv::ui::Buttons::OK, qv::ui::Icon::Exclamation);
    qv::ui::ReportCommandFailure(text);
    LogMessage("Server Request Failed: " + request + "; Error: " + description, 5);
    LogMessage("Result: " + reply, 5);
    return 0;
  }
  return 1;
}

}  // namespace qvsync
