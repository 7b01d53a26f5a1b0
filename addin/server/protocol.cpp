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
  if (elements.empty()) {
    const bool page = strcasecmp(doc.document_element().name(), "html") == 0;
    if (page || IsErrorReply(reply)) {
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

std::string ItemFileName(const ServerItem& item) {
  switch (item.OutlookClass()) {
    case kClassAppointment:
      return NewUniqueName() + ".CAL";
    case kClassContact: {
      std::string address = item.Email1Address();
      return (address.empty() ? NewUniqueName() : address) + ".VCF";
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

std::string PostItemToServer(const ServerItem& item) { return PostItemToServer(item, ""); }

std::string PostItemToServer(const ServerItem& item, const std::string& sentId, bool* refused) {
  if (refused != nullptr) *refused = false;
  std::string id = sentId.empty() ? ItemFileName(item) : sentId;
  const std::string body =
      "Cmd=ADD-" + ClassName(item.OutlookClass()) + "&" + item.SerializeItem(sentId);
  std::string reply = Post(body);
  LogMessage("PostItemToServer returned: " + reply, 5);
  // Nothing came back (the server could not be reached or broke off): the item
  // is not known to be on the server. Taking it as added would record a made-up
  // ID, and the next run, not finding that ID on the server, would delete the
  // Outlook item.
  if (reply.empty()) {
    LogMessage("Error: Unable to process item [" + item.Subject() +
                   "]. Item was not syncronized to Server. Reason: no reply from the server",
               5);
    return "";
  }
  // Refused: RETURNVALUE 0, or no RETURNVALUE in an answer that is an error;
  // the same made-up ID would come of taking the latter as added.
  const std::string returnValue = GetXmlValue(reply, "RETURNVALUE");
  if (returnValue == "0" || (returnValue.empty() && IsErrorReply(reply))) {
    std::string description = GetXmlValue(reply, "ERROR_DESCRIPTION");
    LogMessage("Error: Unable to process item [" + item.Subject() +
                   "]. Item was not syncronized to Server. Reason: " + description,
               5);
    LogMessage("Result: " + reply, 5);
    if (refused != nullptr) *refused = true;
    return "";
  }
  std::string uid = GetXmlValue(reply, "UID");
  if (!uid.empty()) id = uid;
  std::string modified = GetXmlValue(reply, "MODIFIEDDATE");
  return id + "\t" + (modified.empty() ? std::string("0") : modified);
}

std::string EditItemOnServer(const std::string& id, const ServerItem& item, bool* answered) {
  const std::string body =
      "Cmd=EDIT-" + ClassName(item.OutlookClass()) + "&" + item.SerializeItem(id);
  std::string reply = Post(body);
  std::string code = GetXmlValue(reply, "RETURNVALUE");
  if (answered != nullptr) *answered = !code.empty();
  if (code.empty()) return "0\t" + id + "\t0";
  return code + "\t" + id + "\t" + GetXmlValue(reply, "MODIFIEDDATE");
}

bool GetItemFromServer(const std::string& id, ServerItem& item) {
  const std::string body = "Cmd=GET-" + ClassName(item.OutlookClass()) + "&ID=" + id;
  std::string reply = Post(body);
  if (GetXmlValue(reply, "RETURNVALUE").empty()) {
    LogMessage("Server Request Failed: " + body, 5);
    LogMessage("Result: " + reply, 5);
    return false;
  }
  item.DeserializeItem(reply);
  return true;
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
