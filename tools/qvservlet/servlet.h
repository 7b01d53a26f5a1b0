// The servlet emulator: the server side of the web mail request protocol on an
// HTTP server (cpp-httplib) with mailboxes in SQLite, for tests, benchmarks and
// the demo. It answers both servlet paths (each can be switched off to answer
// 404), checks users, passwords and the "Quorvia-SessionId" session, and carries
// out LOGIN, LIST-, ADD-, EDIT-, GET-, DELETE- (TASK, APPOINTMENT, CONTACT,
// CONTACTGROUP), BATCH, CHANGE-PASSWORD, GET-AUTORESPONSE and SET-AUTORESPONSE.
// Values are decoded from "%uXXXX", "%XX" and "+". Bodies up to
// kMaxRequestBody are served. Values that XML 1.0 cannot carry are refused
// (RETURNVALUE 0, ERROR_VALUE 7, a description naming the field and the
// character), so every reply is well-formed XML.
//
// Tests can switch faults on (a 500 page, a dropped connection, an HTML or
// error-document batch reply, a batch reply cut short, one request or its
// reply lost, a delay, a canned reply for one command), see every request as it
// arrived, and play the other party by changing the mailboxes directly.
//
// Threads: the HTTP server runs on threads of its own between Start and Stop;
// every public method may be called from any thread (one mutex guards the state).
#ifndef QV_TOOLS_QVSERVLET_SERVLET_H
#define QV_TOOLS_QVSERVLET_SERVLET_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/qvservlet/form.h"
#include "tools/qvservlet/mailbox_store.h"

namespace httplib {
class Server;
}

namespace qv::servlet {

inline constexpr const char* kDefaultPath = "/QvWebMail/Bramble/Servlet/Request.aspx";
inline constexpr const char* kAlternativePath = "/Bramble/Servlet/Request.aspx";
inline constexpr const char* kSessionCookie = "Quorvia-SessionId";
// The largest request body served; a larger one is answered 413 with an
// error reply saying so.
inline constexpr size_t kMaxRequestBody = size_t{64} << 20;
// What the request log keeps by default: the newest requests, at most this
// many and this many body bytes in all (the newest is always kept whole).
inline constexpr size_t kRequestLogMaxRequests = 10000;
inline constexpr size_t kRequestLogMaxBytes = size_t{64} << 20;

enum class Fault {
  kNone,
  kServerError,     // every request answered 500 with an HTML page
  kDropConnection,  // the connection closed after the request was read, no answer
  kBatchAsHtml,     // BATCH answered 200 with an HTML page
  kDropAfterBatch,  // a BATCH is carried out, then the connection closes unanswered
  kBatchAsError,    // BATCH answered 200 with the servlet's own "session expired" document, not carried out
};

// How a request picked by LoseRequest is lost.
enum class Loss {
  kRequest,  // it never reaches the mailbox: nothing is carried out, the connection closes unanswered
  kReply,    // it is carried out, then the connection closes unanswered
};

// One request as it reached the server.
struct RecordedRequest {
  std::string path;
  std::string version;        // "HTTP/1.0" or "HTTP/1.1"
  std::string userAgent;
  std::string contentType;
  bool hasSessionHeader = false;
  std::string sessionHeader;  // value of the "Quorvia-SessionId" header
  std::string cookieHeader;   // the "Cookie" header as sent
  std::string body;           // raw body ("" when it was refused as too large)
  uint64_t bodyBytes = 0;     // the body's size as it arrived (or was announced)
  std::string command;        // decoded "Cmd"
};

class Servlet {
 public:
  // `databasePath`: SQLite file of the mailboxes; ":memory:" keeps them in memory.
  explicit Servlet(const std::string& databasePath = ":memory:");
  ~Servlet();
  Servlet(const Servlet&) = delete;
  Servlet& operator=(const Servlet&) = delete;

  // Binds `address`:`port` (0 = a port the system chooses) and serves on a
  // thread of its own. False when the address cannot be bound.
  bool Start(const std::string& address = "127.0.0.1", int port = 0);
  // Stops serving and waits for the server thread (also done by the destructor).
  void Stop();
  int port() const { return port_; }
  // "127.0.0.1:port", as the add-in's host setting.
  std::string host() const;

  // Accounts.
  void AddUser(const std::string& user, const std::string& password);
  bool CheckPassword(const std::string& user, const std::string& password);

  // Switches.
  void SetPathEnabled(const std::string& path, bool enabled);
  void SetFault(Fault fault);
  void SetDelay(std::chrono::milliseconds delay);
  // Answers every request of `command` (e.g. "LOGIN") with `reply` as it is;
  // std::nullopt removes the canned reply.
  void SetCannedReply(const std::string& command, std::optional<std::string> reply);
  // When false, commands run without a session (as the last logged-in user or "").
  void SetRequireSession(bool require);
  // Loses the `nth` (1-based) request from now on whose command starts with
  // `prefix` ("EDIT-", "ADD-CONTACT", "BATCH"; "" matches every command but
  // LOGIN), once. A later call replaces an earlier one that has not struck.
  void LoseRequest(const std::string& prefix, int nth, Loss loss);
  // Every BATCH is carried out whole, but its reply keeps only its first
  // `elements` elements (std::nullopt: all of them).
  void SetBatchReplyLimit(std::optional<size_t> elements);

  // What arrived: the newest requests, within the log's limits.
  std::vector<RecordedRequest> Requests() const;
  void ClearRequests();
  void SetRequestLogLimits(size_t maxRequests, size_t maxBytes);
  // Requests dropped from the front of the log to keep it within its limits.
  uint64_t DroppedRequests() const;

  // The other party: changes made on the server side.
  std::string AddItem(const std::string& user, const std::string& className,
                      const FormFields& fields, const std::string& uid = "");
  bool ChangeItem(const std::string& user, const std::string& uid, const FormFields& fields);
  bool DeleteItem(const std::string& user, const std::string& uid);
  std::optional<StoredItem> GetItem(const std::string& user, const std::string& uid);
  std::vector<StoredItem> ListItems(const std::string& user, const std::string& className);
  AutoResponse GetAutoResponse(const std::string& user);

  // Runs one request body as the servlet would for `user` (no HTTP, no session
  // check); the reply XML. Used by the HTTP handler and by benchmarks. A BATCH
  // runs in one database transaction: all of it is stored, or (when the
  // database fails) none of it.
  std::string Execute(const std::string& user, const std::string& body);

 private:
  struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "text/xml; charset=utf-8";
    std::string setCookie;
    bool drop = false;
  };

  // Records the request, then answers it.
  Reply Handle(RecordedRequest request);
  void Record(RecordedRequest request);
  std::string Login(const FormFields& fields, std::string& sessionId);
  // Commands that work on items; `inBatch` changes how a missing item is told.
  std::string ItemCommand(const std::string& user, const std::string& verb,
                          const std::string& className, const FormFields& fields, bool inBatch);
  std::string Batch(const std::string& user, const std::string& rawBatch);
  std::string NewUid(const std::string& className);
  void WaitDelay(std::chrono::milliseconds delay);

  mutable std::mutex mutex_;
  std::condition_variable stopping_;
  bool stopped_ = false;
  MailboxStore store_;
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::set<std::string> disabledPaths_;
  Fault fault_ = Fault::kNone;
  std::chrono::milliseconds delay_{0};
  std::map<std::string, std::string> canned_;
  struct PendingLoss {
    std::string prefix;
    int remaining = 0;  // matching requests still to pass before the lost one
    Loss loss = Loss::kRequest;
  };
  std::optional<PendingLoss> loss_;
  std::optional<size_t> batchReplyLimit_;
  bool requireSession_ = true;
  std::map<std::string, std::string> sessions_;  // session id -> user
  std::string lastUser_;
  std::deque<RecordedRequest> requests_;
  size_t requestBytes_ = 0;
  size_t maxRequests_ = kRequestLogMaxRequests;
  size_t maxRequestBytes_ = kRequestLogMaxBytes;
  uint64_t droppedRequests_ = 0;
};

}  // namespace qv::servlet

#endif
