// The administration listener: serves the remote administration protocol on
// a listening TCP socket, a bounded number of connections at once, each on a
// thread of its own until QUIT, close, time-out or a malformed request. Calls
// are served by this host's own library code (options, registry, service
// control), never forwarded again, one request at a time across connections.
//
// Serve() runs on one thread and starts the connection threads; Next() and
// Handle() may be called from any thread.
#ifndef QVADMIND_LISTENER_H
#define QVADMIND_LISTENER_H

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/qvadmind/request.h"

namespace qvadmind {

// The listener's log: syslog (facility daemon), and standard error as well
// when asked. Each call is self-contained, so other users of syslog in the
// process (the event log) do not change where these lines go.
void SetLogToStderr(bool toStderr);
void Log(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// One accepted AUTH: the protocol and credentials texts, compared exactly.
struct Account {
  std::string protocol;
  std::string credentials;
};

// Reads the credentials file: one account per line, "protocol<TAB>credentials";
// blank lines and lines starting with "#" are skipped. The file must be a
// regular file that neither group nor others may read or write. False with
// `error` set when it is missing, unsafe, malformed or holds no account.
bool LoadAccounts(const std::string& path, std::vector<Account>* accounts, std::string* error);

// What one connection has established so far.
struct ConnectionState {
  std::string address;  // the peer's IP address, as the abuse register knows it
  std::string buffer;   // received bytes not yet taken as a request
  bool authenticated = false;
  bool libraryLoaded = false;  // "QVAISO.DLL" loaded: EXEC allowed
  int failedAuths = 0;
  int delayMs = 0;       // wait this long before sending the reply (failed AUTH)
  bool close = false;    // end the connection after this reply
  bool refused = false;  // ended on a refused request: the peer may still be sending
};

// Time-outs and bounds of the listener. Every time-out stays below the
// client's 60 s receive time-out, so a client never waits on a listener that
// has given up on it.
struct ListenerLimits {
  int idleTimeoutSeconds = 30;   // authenticated: from one request to the next
  int loginTimeoutSeconds = 10;  // from accept to a successful AUTH, however the bytes trickle
  int sendTimeoutSeconds = 10;
  int maxConnections = 16;       // served at once; more are refused at accept
  int authDelayMs = 200;         // after the first failed AUTH; doubles with each further one
};

class Listener {
 public:
  Listener(std::vector<Account> accounts, ListenerLimits limits);
  ~Listener();

  // Accepts connections and serves each on a thread of its own until `stop`
  // becomes true (checked at least four times a second); then waits for the
  // connection threads to end.
  void Serve(int listenSocket, const std::atomic<bool>& stop);

  // Serves one accepted connection until it ends; closes the socket.
  void ServeConnection(int socket, const std::string& peer, const std::string& address);

  // Takes the next complete request off `state->buffer` and sets `reply` to
  // its answer (also for an oversized or malformed one, which marks the
  // connection for closing). False when no complete request is buffered yet.
  bool Next(ConnectionState* state, const std::string& peer, std::string* reply);

  // The reply to one parsed request; may mark the connection for closing.
  std::string Handle(const Request& request, ConnectionState* state, const std::string& peer);

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  bool Authenticate(const Request& request) const;
  bool Stopping() const { return stop_ && stop_->load(); }
  void JoinWorkers(bool all);

  std::vector<Account> accounts_;
  ListenerLimits limits_;
  const std::atomic<bool>* stop_ = nullptr;  // Not owned; set by Serve().
  std::mutex callMutex_;  // one library call at a time: its process state is shared
  std::vector<Worker> workers_;
  std::atomic<int> active_{0};
};

// Failed AUTH requests after which a connection is closed.
inline constexpr int kMaxFailedAuths = 3;
// The name under which failed AUTHs are reported to the abuse register.
inline constexpr const char* kAbuseReporter = "qvadmind";

}  // namespace qvadmind

#endif
