#include "tools/qvservlet/servlet.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <pugixml.hpp>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tools/qvservlet/xml_text.h"

#include "platform/timezone/timezone.h"

namespace qv::servlet {
namespace {

constexpr const char* kErrorPage =
    "<HTML><HEAD><TITLE>500 Internal Server Error</TITLE></HEAD>"
    "<BODY><H1>Internal Server Error</H1><P>The server could not process the request.</P>"
    "</BODY></HTML>";
constexpr const char* kBatchErrorPage =
    "<HTML><HEAD><TITLE>Error</TITLE></HEAD><BODY>The batch could not be processed.</BODY></HTML>";
constexpr const char* kNotFoundPage =
    "<HTML><HEAD><TITLE>404 Not Found</TITLE></HEAD><BODY>Not Found</BODY></HTML>";
// The error value of a request refused because a value holds a character that
// XML cannot carry.
constexpr const char* kUncarriableError = "7";

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

bool KnownClass(const std::string& className) {
  return className == "TASK" || className == "APPOINTMENT" || className == "CONTACT" ||
         className == "CONTACTGROUP";
}

// An element name made of a field name, or "" when it cannot be one.
std::string ElementName(const std::string& field) {
  if (field.empty() || !std::isalpha(static_cast<unsigned char>(field[0]))) return "";
  for (char c : field) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return "";
  }
  return Upper(field);
}

std::string RandomHex(size_t digits) {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (size_t i = 0; i < digits; ++i) out += hex[generator() & 15];
  return out;
}

std::string Serialize(const pugi::xml_document& doc) { return WriteXml(doc); }

// "Body holds U+0001, a character XML cannot carry." for the first field whose
// name or value holds one, or "".
std::string Uncarriable(const FormFields& fields) {
  for (const auto& [name, value] : fields) {
    std::string found = FirstCharacterXmlCannotCarry(name);
    if (found.empty()) found = FirstCharacterXmlCannotCarry(value);
    if (!found.empty()) return XmlSafeText(name) + " holds " + found + ", a character XML cannot carry.";
  }
  return "";
}

// The form fields of `body`, with the command taken from the raw text (a BATCH
// body is not decoded as a whole).
std::string CommandOf(std::string_view body) { return DecodeFormValue(RawField(body, "Cmd")); }

// A reply document <RESPONSE> with RETURNVALUE (when not empty).
pugi::xml_node NewResponse(pugi::xml_document& doc, const std::string& returnValue) {
  pugi::xml_node root = doc.append_child("RESPONSE");
  if (!returnValue.empty()) root.append_child("RETURNVALUE").text().set(returnValue.c_str());
  return root;
}

void AddError(pugi::xml_node node, const std::string& value, const std::string& description) {
  node.append_child("ERROR_VALUE").text().set(value.c_str());
  node.append_child("ERROR_DESCRIPTION").text().set(description.c_str());
}

// The servlet's answer to a command without a valid session.
std::string SessionExpired() {
  pugi::xml_document doc;
  pugi::xml_node root = NewResponse(doc, "");
  root.append_child("ERRORVALUE").text().set("1");
  AddError(root, "1", "Your session has expired. Please log in again.");
  return WriteXml(doc);
}

// A batch reply with only its first `keep` elements.
std::string CutBatchReply(const std::string& reply, size_t keep) {
  pugi::xml_document doc;
  if (!doc.load_string(reply.c_str())) return reply;
  pugi::xml_node root = doc.document_element();
  std::vector<pugi::xml_node> extra;
  size_t kept = 0;
  for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element && kept++ >= keep) extra.push_back(child);
  for (pugi::xml_node node : extra) root.remove_child(node);
  return WriteXml(doc);
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> pieces;
  std::string piece;
  std::istringstream in(text);
  while (std::getline(in, piece, ';')) {
    size_t b = piece.find_first_not_of(' ');
    size_t e = piece.find_last_not_of(' ');
    if (b != std::string::npos) pieces.push_back(piece.substr(b, e - b + 1));
  }
  return pieces;
}

// The element a request field is served as: the field name in upper case,
// except where the server's item XML has its own name. An item's body (given
// as "Body" by a party other than the add-in) is served where the add-in reads
// it: "NOTES" for appointments and tasks, "NOTE" for contacts.
std::string ServedElementName(const std::string& field, const std::string& className) {
  if (field == "GroupName") return "NAME";
  if (field == "PercentComplete") return "PERCCOMP";
  if (field == "Body") return className == "CONTACT" ? "NOTE" : "NOTES";
  return ElementName(field);
}

// "YYYY-MM-DD-HH-mm" moved by `minutes`; other texts unchanged.
std::string ShiftServerDate(const std::string& text, long minutes) {
  int year, month, day, hour, minute;
  char tail;
  if (minutes == 0 ||
      std::sscanf(text.c_str(), "%4d-%2d-%2d-%2d-%2d%c", &year, &month, &day, &hour, &minute, &tail) != 5)
    return text;
  int64_t total = (qv::timezone::DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute + minutes;
  const int64_t days = total >= 0 ? total / 1440 : -((1439 - total) / 1440);
  total -= days * 1440;
  int64_t y;
  int m, d;
  qv::timezone::CivilFromDays(days, y, m, d);
  char buf[40];
  std::snprintf(buf, sizeof buf, "%04lld-%02d-%02d-%02d-%02d", static_cast<long long>(y), m, d,
                static_cast<int>(total / 60), static_cast<int>(total % 60));
  return buf;
}

// The attendee's response as the server names it, from the client's number.
const char* PartStat(const std::string& status) {
  if (status == "2") return "TENTATIVE";
  if (status == "3") return "ACCEPTED";
  if (status == "4") return "DECLINED";
  return "NEEDS-ACTION";
}

// The item's fields as child elements of `node`, as the item deserialiser reads
// them. Appointment times and recurrence dates arrive in local time with the
// client's "offset" and are served in UTC, as the server keeps them.
void AppendItem(pugi::xml_node node, const StoredItem& item, bool attendeeDetails) {
  node.append_child("UID").text().set(item.uid.c_str());
  node.append_child("MODIFIEDDATE").text().set(std::to_string(item.modified).c_str());
  const bool group = item.className == "CONTACTGROUP" || FieldValue(item.fields, "ObjectType") == "Group";
  long offset = 0;  // appointment times and recurrence dates are kept in UTC
  if (item.className == "APPOINTMENT" || item.className == "TASK") {
    const std::string text = FieldValue(item.fields, "offset");
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (!text.empty() && end && *end == '\0' && value > -1440 && value < 1440) offset = value;
  }
  std::string attendees, members;
  for (const auto& [name, value] : item.fields) {
    if (name == "Attendees") attendees = value;
    if (name == "Members") members = value;
    std::string element = ServedElementName(name, item.className);
    if (element.empty() || element == "ID" || element == "UID" || element == "MODIFIEDDATE" ||
        (group && element == "MEMBERS")) {
      continue;
    }
    const bool utc = element == "STARTTIME" || element == "FINISHTIME" ||
                     element == "PATTERNSTARTDATE" || element == "PATTERNENDDATE";
    const std::string served = utc ? ShiftServerDate(value, -offset) : value;
    node.append_child(element.c_str()).text().set(served.c_str());
  }
  if (item.className == "APPOINTMENT" && attendeeDetails) {
    pugi::xml_node details = node.append_child("ATTENDEESDETAILS");
    for (const std::string& entry : SplitList(attendees)) {
      // "address|response" from a client with response states, else "address".
      const size_t bar = entry.rfind('|');
      const std::string address = bar == std::string::npos ? entry : entry.substr(0, bar);
      const std::string status = bar == std::string::npos ? "" : entry.substr(bar + 1);
      pugi::xml_node attendee = details.append_child("ATTENDEE");
      attendee.append_attribute("ID").set_value(address.c_str());
      attendee.append_child("CN").text().set(address.c_str());
      attendee.append_child("PARTSTAT").text().set(PartStat(status));
      attendee.append_child("ROLE").text().set("REQ-PARTICIPANT");
    }
  }
  if (group) {
    pugi::xml_node list = node.append_child("MEMBERS");
    for (const std::string& uid : SplitList(members)) {
      list.append_child("MEMBER").append_attribute("ID").set_value(uid.c_str());
    }
  }
}

FormFields WithoutId(const FormFields& fields) {
  FormFields out;
  for (const auto& field : fields) {
    if (field.first != "ID" && field.first != "Cmd") out.push_back(field);
  }
  return out;
}

std::string CookieValue(const std::string& cookieHeader, const std::string& name) {
  size_t pos = 0;
  while (pos < cookieHeader.size()) {
    size_t end = cookieHeader.find(';', pos);
    if (end == std::string::npos) end = cookieHeader.size();
    std::string pair = cookieHeader.substr(pos, end - pos);
    size_t b = pair.find_first_not_of(' ');
    if (b != std::string::npos) pair = pair.substr(b);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    pos = end + 1;
  }
  return "";
}

// Closes the server's end of the TCP connection between the two ports, so
// that the client sees the connection end without an answer.
void DropConnection(int localPort, int remotePort) {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return;
  while (dirent* entry = readdir(dir)) {
    int fd = std::atoi(entry->d_name);
    if (fd <= 2 || fd == dirfd(dir)) continue;
    sockaddr_storage local{}, remote{};
    socklen_t localSize = sizeof local, remoteSize = sizeof remote;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0) continue;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0) continue;
    if (local.ss_family != AF_INET || remote.ss_family != AF_INET) continue;
    int lp = ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    int rp = ntohs(reinterpret_cast<sockaddr_in*>(&remote)->sin_port);
    if (lp == localPort && rp == remotePort) {
      shutdown(fd, SHUT_RDWR);
      break;
    }
  }
  closedir(dir);
}

}  // namespace

Servlet::Servlet(const std::string& databasePath) : store_(databasePath) {}

Servlet::~Servlet() { Stop(); }

bool Servlet::Start(const std::string& address, int port) {
  Stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = false;
  }
  server_ = std::make_unique<httplib::Server>();
  server_->set_payload_max_length(kMaxRequestBody);
  // A handler that reads the body itself: the library's own reading refuses
  // form bodies over 8 KB.
  server_->Post(".*", [this](const httplib::Request& req, httplib::Response& res,
                             const httplib::ContentReader& readBody) {
    RecordedRequest record;
    record.path = req.path;
    record.version = req.version;
    record.userAgent = req.get_header_value("User-Agent");
    record.contentType = req.get_header_value("Content-Type");
    record.hasSessionHeader = req.has_header(kSessionCookie);
    record.sessionHeader = req.get_header_value(kSessionCookie);
    record.cookieHeader = req.get_header_value("Cookie");
    uint64_t received = 0;
    bool tooLarge = false;
    bool complete = readBody([&](const char* data, size_t length) {
      received += length;
      if (received > kMaxRequestBody) {
        // Read on (to a limit) so that the answer reaches a client still sending.
        tooLarge = true;
        record.body.clear();
        return received <= 4 * static_cast<uint64_t>(kMaxRequestBody);
      }
      record.body.append(data, length);
      return true;
    });
    if (tooLarge || res.status == 413) {
      record.body.clear();
      record.bodyBytes = std::max<uint64_t>(received, req.get_header_value<uint64_t>("Content-Length"));
      record.command = "";
      Record(std::move(record));
      pugi::xml_document doc;
      pugi::xml_node root = NewResponse(doc, "0");
      AddError(root, "413",
               "The request body is larger than the " + std::to_string(kMaxRequestBody) +
                   " bytes the server accepts.");
      res.status = 413;
      res.set_header("Connection", "close");
      res.set_content(Serialize(doc), "text/xml; charset=utf-8");
      return;
    }
    if (!complete) {  // the client stopped sending in the middle of the body
      res.status = 400;
      return;
    }
    record.bodyBytes = record.body.size();
    Reply reply = Handle(std::move(record));
    if (reply.drop) {
      DropConnection(req.local_port, req.remote_port);
      return;
    }
    res.status = reply.status;
    if (!reply.setCookie.empty()) res.set_header("Set-Cookie", reply.setCookie);
    res.set_content(reply.body, reply.contentType.c_str());
  });
  int bound = port == 0 ? server_->bind_to_any_port(address) : port;
  if (port != 0 && !server_->bind_to_port(address, port)) bound = -1;
  if (bound <= 0) {
    server_.reset();
    return false;
  }
  port_ = bound;
  thread_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only works once the accept loop runs, so wait for it.
  while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void Servlet::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
  }
  stopping_.notify_all();
  if (server_) server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

std::string Servlet::host() const { return "127.0.0.1:" + std::to_string(port_); }

void Servlet::AddUser(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(mutex_);
  store_.SetUser(user, password);
}

bool Servlet::CheckPassword(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_.CheckPassword(user, password);
}

void Servlet::SetPathEnabled(const std::string& path, bool enabled) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (enabled) {
    disabledPaths_.erase(path);
  } else {
    disabledPaths_.insert(path);
  }
}

void Servlet::SetFault(Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  fault_ = fault;
}

void Servlet::SetDelay(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(mutex_);
  delay_ = delay;
}

void Servlet::SetCannedReply(const std::string& command, std::optional<std::string> reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reply) {
    canned_[Upper(command)] = *reply;
  } else {
    canned_.erase(Upper(command));
  }
}

void Servlet::SetRequireSession(bool require) {
  std::lock_guard<std::mutex> lock(mutex_);
  requireSession_ = require;
}

void Servlet::LoseRequest(const std::string& prefix, int nth, Loss loss) {
  std::lock_guard<std::mutex> lock(mutex_);
  loss_ = PendingLoss{Upper(prefix), std::max(nth, 1) - 1, loss};
}

void Servlet::SetBatchReplyLimit(std::optional<size_t> elements) {
  std::lock_guard<std::mutex> lock(mutex_);
  batchReplyLimit_ = elements;
}

std::vector<RecordedRequest> Servlet::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<RecordedRequest>(requests_.begin(), requests_.end());
}

void Servlet::ClearRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.clear();
  requestBytes_ = 0;
}

void Servlet::SetRequestLogLimits(size_t maxRequests, size_t maxBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  maxRequests_ = maxRequests;
  maxRequestBytes_ = maxBytes;
}

uint64_t Servlet::DroppedRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return droppedRequests_;
}

// Called with mutex_ held.
void Servlet::Record(RecordedRequest request) {
  requestBytes_ += request.body.size();
  requests_.push_back(std::move(request));
  while (requests_.size() > 1 && (requests_.size() > maxRequests_ || requestBytes_ > maxRequestBytes_)) {
    requestBytes_ -= requests_.front().body.size();
    requests_.pop_front();
    ++droppedRequests_;
  }
  if (maxRequests_ == 0 && !requests_.empty()) {
    requestBytes_ = 0;
    requests_.clear();
    ++droppedRequests_;
  }
}

std::string Servlet::AddItem(const std::string& user, const std::string& className,
                             const FormFields& fields, const std::string& uid) {
  std::lock_guard<std::mutex> lock(mutex_);
  FormFields stored = WithoutId(fields);
  std::string refused = Uncarriable(stored);
  if (refused.empty()) refused = Uncarriable({{"UID", uid}});
  if (!refused.empty()) throw std::invalid_argument(refused);
  StoredItem item;
  item.className = Upper(className);
  item.uid = uid.empty() ? NewUid(item.className) : uid;
  item.fields = std::move(stored);
  store_.PutItem(user, item);
  return item.uid;
}

bool Servlet::ChangeItem(const std::string& user, const std::string& uid,
                         const FormFields& fields) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::string refused = Uncarriable(WithoutId(fields)); !refused.empty()) throw std::invalid_argument(refused);
  std::optional<StoredItem> item = store_.GetItem(user, uid);
  if (!item) return false;
  for (const auto& [name, value] : WithoutId(fields)) {
    bool replaced = false;
    for (auto& field : item->fields) {
      if (field.first == name) {
        field.second = value;
        replaced = true;
      }
    }
    if (!replaced) item->fields.emplace_back(name, value);
  }
  store_.PutItem(user, *item);
  return true;
}

bool Servlet::DeleteItem(const std::string& user, const std::string& uid) {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_.DeleteItem(user, uid);
}

std::optional<StoredItem> Servlet::GetItem(const std::string& user, const std::string& uid) {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_.GetItem(user, uid);
}

std::vector<StoredItem> Servlet::ListItems(const std::string& user, const std::string& className) {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_.ListItems(user, {Upper(className)});
}

AutoResponse Servlet::GetAutoResponse(const std::string& user) {
  std::lock_guard<std::mutex> lock(mutex_);
  return store_.GetAutoResponse(user);
}

std::string Servlet::NewUid(const std::string& className) {
  std::string suffix = className == "APPOINTMENT"    ? ".CAL"
                       : className == "CONTACT"      ? ".VCF"
                       : className == "CONTACTGROUP" ? ".GRP"
                                                     : ".TSK";
  return RandomHex(32) + suffix;
}

void Servlet::WaitDelay(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(mutex_);
  stopping_.wait_for(lock, delay, [this] { return stopped_; });
}

Servlet::Reply Servlet::Handle(RecordedRequest request) {
  const std::string command = Upper(CommandOf(request.body));
  const std::string path = request.path;
  const std::string cookie = request.cookieHeader;
  const std::string sessionHeader = request.sessionHeader;
  request.command = command;
  std::string body = request.body;
  std::chrono::milliseconds delay;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Record(std::move(request));
    delay = delay_;
  }
  if (delay.count() > 0) WaitDelay(delay);

  Reply reply;
  std::lock_guard<std::mutex> lock(mutex_);
  if ((path != kDefaultPath && path != kAlternativePath) || disabledPaths_.count(path) > 0) {
    reply.status = 404;
    reply.contentType = "text/html";
    reply.body = kNotFoundPage;
    return reply;
  }
  if (fault_ == Fault::kServerError) {
    reply.status = 500;
    reply.contentType = "text/html";
    reply.body = kErrorPage;
    return reply;
  }
  if (fault_ == Fault::kDropConnection) {
    reply.drop = true;
    return reply;
  }
  if (auto canned = canned_.find(command); canned != canned_.end()) {
    reply.body = canned->second;
    return reply;
  }
  try {
    if (command == "LOGIN") {
      std::string sessionId;
      reply.body = Login(ParseForm(body), sessionId);
      if (!sessionId.empty()) {
        reply.setCookie = std::string(kSessionCookie) + "=" + sessionId + "; Path=/";
      }
      return reply;
    }
    std::string user;
    std::string sessionId = CookieValue(cookie, kSessionCookie);
    if (sessionId.empty()) sessionId = sessionHeader;
    auto session = sessions_.find(sessionId);
    if (session != sessions_.end()) {
      user = session->second;
    } else if (requireSession_) {
      reply.body = SessionExpired();
      return reply;
    } else {
      user = lastUser_;
    }
    if (command == "BATCH" && fault_ == Fault::kBatchAsHtml) {
      reply.contentType = "text/html";
      reply.body = kBatchErrorPage;
      return reply;
    }
    if (command == "BATCH" && fault_ == Fault::kBatchAsError) {
      reply.body = SessionExpired();
      return reply;
    }
    // A request picked to be lost: dropped before or after it is carried out.
    bool lost = false;
    if (loss_ && command.rfind(loss_->prefix, 0) == 0 && (!loss_->prefix.empty() || command != "LOGIN")) {
      if (loss_->remaining-- == 0) {
        lost = true;
        const Loss how = loss_->loss;
        loss_.reset();
        if (how == Loss::kRequest) {
          reply.drop = true;
          return reply;
        }
      }
    }
    reply.body = Execute(user, body);
    if (command == "BATCH" && batchReplyLimit_) reply.body = CutBatchReply(reply.body, *batchReplyLimit_);
    if (lost || (command == "BATCH" && fault_ == Fault::kDropAfterBatch)) reply.drop = true;
  } catch (const std::exception& e) {
    reply.status = 500;
    reply.contentType = "text/html";
    reply.body = std::string("<HTML><BODY>") + e.what() + "</BODY></HTML>";
  }
  return reply;
}

std::string Servlet::Login(const FormFields& fields, std::string& sessionId) {
  const std::string user = FieldValue(fields, "Username");
  pugi::xml_document doc;
  if (!store_.CheckPassword(user, FieldValue(fields, "Password"))) {
    pugi::xml_node root = NewResponse(doc, "0");
    root.append_child("ERRORVALUE").text().set("3");
    AddError(root, "3", "Invalid user name or password.");
    return Serialize(doc);
  }
  sessionId = RandomHex(32);
  sessions_[sessionId] = user;
  lastUser_ = user;
  NewResponse(doc, "1");
  return Serialize(doc);
}

std::string Servlet::Execute(const std::string& user, const std::string& body) {
  const std::string command = Upper(CommandOf(body));
  if (command == "BATCH") {
    StoreTransaction transaction(store_);
    std::string reply = Batch(user, RawField(body, "Batch"));
    transaction.Commit();
    return reply;
  }
  FormFields fields = ParseForm(body);
  pugi::xml_document doc;

  if (command == "CHANGE-PASSWORD") {
    const std::string name = FieldValue(fields, "Username");
    const std::string newPassword = FieldValue(fields, "NewPassword");
    if ((!user.empty() && name != user) || !store_.CheckPassword(name, FieldValue(fields, "Password"))) {
      NewResponse(doc, "0").append_child("ERRORDETAILS").text().set(
          "The current password is not correct.");
    } else if (newPassword.empty()) {
      NewResponse(doc, "0").append_child("ERRORDETAILS").text().set(
          "The new password must not be empty.");
    } else {
      store_.SetUser(name, newPassword);
      NewResponse(doc, "1");
    }
    return Serialize(doc);
  }
  if (command == "GET-AUTORESPONSE") {
    AutoResponse response = store_.GetAutoResponse(user);
    pugi::xml_node root = NewResponse(doc, "1");
    root.append_child("ENABLED").text().set(response.enabled ? "1" : "0");
    root.append_child("SUBJECT").text().set(response.subject.c_str());
    root.append_child("BODY").text().set(response.body.c_str());
    return Serialize(doc);
  }
  if (command == "SET-AUTORESPONSE") {
    if (std::string refused = Uncarriable(fields); !refused.empty()) {
      AddError(NewResponse(doc, "0"), kUncarriableError, refused);
      return Serialize(doc);
    }
    AutoResponse response;
    response.enabled = FieldValue(fields, "Enabled") == "1";
    response.subject = FieldValue(fields, "Subject");
    response.body = FieldValue(fields, "Body");
    store_.SetAutoResponse(user, response);
    NewResponse(doc, "1");
    return Serialize(doc);
  }
  if (command.rfind("LIST-", 0) == 0 && command.size() > 6 && command.back() == 'S') {
    std::string className = command.substr(5, command.size() - 6);
    if (!KnownClass(className)) {
      AddError(NewResponse(doc, "0"), "4", "Unknown item class.");
      return Serialize(doc);
    }
    std::vector<std::string> classes{className};
    if (className == "CONTACT" && FieldValue(fields, "Groups") == "1") {
      classes.push_back("CONTACTGROUP");
    }
    // The list is always complete: the client takes a missing UID as deleted.
    pugi::xml_node elements = NewResponse(doc, "1").append_child("ELEMENTS");
    for (const StoredItem& item : store_.ListItems(user, classes, false)) {
      pugi::xml_node element = elements.append_child("ELEMENT");
      element.append_attribute("ID").set_value(XmlSafeText(item.uid).c_str());
      element.append_attribute("TYPE").set_value(item.className.c_str());
      element.append_child("MODIFIEDDATE").text().set(std::to_string(item.modified).c_str());
    }
    return Serialize(doc);
  }
  size_t dash = command.find('-');
  if (dash != std::string::npos) {
    std::string verb = command.substr(0, dash);
    if (verb == "ADD" || verb == "EDIT" || verb == "GET" || verb == "DELETE") {
      return ItemCommand(user, verb, command.substr(dash + 1), fields, false);
    }
  }
  AddError(NewResponse(doc, "0"), "99", "Unknown command.");
  return Serialize(doc);
}

std::string Servlet::ItemCommand(const std::string& user, const std::string& verb,
                                 const std::string& className, const FormFields& fields,
                                 bool inBatch) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("RESPONSE");
  const auto write = [&](pugi::xml_node node) -> std::string {
    return inBatch ? WriteXml(node) : Serialize(doc);
  };
  const auto returnValue = [&](const std::string& value) {
    root.append_child("RETURNVALUE").text().set(value.c_str());
  };
  if (inBatch) root.append_attribute("METHOD").set_value((verb + "-" + className).c_str());
  if (!KnownClass(className)) {
    returnValue("0");
    AddError(root, "4", "Unknown item class.");
    return write(root);
  }
  if (verb == "ADD" || verb == "EDIT") {
    // Refused rather than stored: a reply could not give the value back.
    if (std::string refused = Uncarriable(fields); !refused.empty()) {
      returnValue("0");
      AddError(root, kUncarriableError, refused);
      return write(root);
    }
  }
  const std::string id = FieldValue(fields, "ID");
  std::optional<StoredItem> existing;
  if (!id.empty()) existing = store_.GetItem(user, id);

  if (verb == "ADD") {
    if (existing) {
      returnValue("0");
      AddError(root, "2", "An item with this ID already exists.");
      return write(root);
    }
    StoredItem item;
    item.className = className;
    item.uid = id.empty() ? NewUid(className) : id;
    item.fields = WithoutId(fields);
    store_.PutItem(user, item);
    returnValue("1");
    root.append_child("UID").text().set(item.uid.c_str());
    root.append_child("MODIFIEDDATE").text().set(std::to_string(item.modified).c_str());
    return write(root);
  }
  if (!existing) {
    // A missing item: a single EDIT says 1001, a batched one 0 (each is how the
    // client reads it there); a single GET carries no RETURNVALUE at all.
    if (verb == "EDIT") {
      returnValue(inBatch ? "0" : "1001");
    } else if (verb != "GET" || inBatch) {
      returnValue("0");
    }
    AddError(root, "1001", "The item does not exist on the server.");
    return write(root);
  }
  if (verb == "EDIT") {
    existing->fields = WithoutId(fields);
    existing->className = className == "CONTACT" && existing->className == "CONTACTGROUP"
                              ? existing->className
                              : className;
    store_.PutItem(user, *existing);
    returnValue("1");
    root.append_child("UID").text().set(existing->uid.c_str());
    root.append_child("MODIFIEDDATE").text().set(std::to_string(existing->modified).c_str());
    return write(root);
  }
  if (verb == "GET") {
    returnValue("1");
    // AppendItem sets texts as C strings: a NUL stored by an older emulator
    // would cut its value, so such values are shown with U+FFFD instead.
    for (auto& field : existing->fields) field.second = XmlSafeText(field.second);
    existing->uid = XmlSafeText(existing->uid);
    AppendItem(root, *existing, FieldValue(fields, "ReturnAttendeesDetails") == "1");
    return write(root);
  }
  store_.DeleteItem(user, id);  // DELETE
  returnValue("1");
  return write(root);
}

std::string Servlet::Batch(const std::string& user, const std::string& rawBatch) {
  // Requests are separated by CR LF, the fields of one request by CR.
  std::string out = "<?xml version=\"1.0\"?><BATCHRESPONSE>";
  size_t pos = 0;
  while (pos <= rawBatch.size()) {
    size_t end = rawBatch.find("\r\n", pos);
    if (end == std::string::npos) end = rawBatch.size();
    std::string request = rawBatch.substr(pos, end - pos);
    pos = end + 2;
    if (request.empty()) continue;
    FormFields fields = ParseForm(request, '\r');
    std::string command = Upper(FieldValue(fields, "Cmd"));
    size_t dash = command.find('-');
    std::string verb = dash == std::string::npos ? command : command.substr(0, dash);
    std::string className = dash == std::string::npos ? "" : command.substr(dash + 1);
    if (verb != "ADD" && verb != "EDIT" && verb != "GET" && verb != "DELETE") {
      pugi::xml_document doc;
      pugi::xml_node node = doc.append_child("RESPONSE");
      node.append_attribute("METHOD").set_value(command.c_str());
      node.append_child("RETURNVALUE").text().set("0");
      AddError(node, "99", "Unknown command.");
      out += WriteXml(node);
      continue;
    }
    out += ItemCommand(user, verb, className, fields, true);
  }
  out += "</BATCHRESPONSE>";
  return out;
}

}  // namespace qv::servlet
