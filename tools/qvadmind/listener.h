// The administration listener: serves the remote administration protocol on
// a listening TCP socket, one connection after another, each until QUIT, close,
// idle time-out or a malformed request. Calls are served by this host's own
// library code (options, registry, service control), never forwarded again.
//
// Lives on the thread that calls Serve(); not thread-safe.
#ifndef QVADMIND_LISTENER_H
#define QVADMIND_LISTENER_H

#include <atomic>
#include <string>
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
  bool authenticated = false;
  bool libraryLoaded = false;  // "QVAISO.DLL" loaded: EXEC allowed
  int failedAuths = 0;
  bool close = false;  // end the connection after this reply
};

class Listener {
 public:
  Listener(std::vector<Account> accounts, int idleTimeoutSeconds);

  // Accepts and serves connections until `stop` becomes true (checked after
  // each connection and whenever accept is interrupted).
  void Serve(int listenSocket, const std::atomic<bool>& stop);

  // Serves one accepted connection until it ends; closes the socket.
  void ServeConnection(int socket, const std::string& peer);

  // The reply to one parsed request; may mark the connection for closing.
  std::string Handle(const Request& request, ConnectionState* state, const std::string& peer);

 private:
  bool Authenticate(const Request& request) const;

  std::vector<Account> accounts_;
  int idleTimeoutSeconds_;
  const std::atomic<bool>* stop_ = nullptr;  // Not owned; set by Serve().
};

// Failed AUTH requests after which a connection is closed.
inline constexpr int kMaxFailedAuths = 3;

}  // namespace qvadmind

#endif
