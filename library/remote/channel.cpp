#include "library/remote/channel.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "library/support/support.h"

namespace qvaiso::remote {
namespace {

constexpr size_t kMaxHostName = 1023;
constexpr size_t kHostValueCapacity = 256;  // "Address", "Credentials", ...
constexpr int kReceiveTimeoutMs = 60000;

// The process's one session. Not guarded (see channel.h).
struct Session {
  std::string currentHost;
  std::string connectedHost;
  std::string loadedLibrary;
  int socket = -1;
  // "ForceDefaultHost", read once per process: -1 not read yet, else 0 or 1.
  // Atomic because option calls served locally may come from any thread.
  std::atomic<int> forceDefaultHost{-1};
};

Session& TheSession() {
  static Session* session = new Session();  // lives until the process ends
  return *session;
}

ConnectFunction& ConnectOverride() {
  static ConnectFunction* function = new ConnectFunction();
  return *function;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

void CloseSocket() {
  Session& session = TheSession();
  if (session.socket >= 0) {
    close(session.socket);
    session.socket = -1;
  }
}

bool ForceDefaultHost() {
  Session& session = TheSession();
  int force = session.forceDefaultHost.load();
  if (force < 0) {
    uint32_t value = 0;
    ReadRegistryDword(qv::registry::Hive::CurrentUser, kAdministrationKey, "ForceDefaultHost",
                      &value);
    force = value != 0 ? 1 : 0;
    session.forceDefaultHost.store(force);
  }
  return force == 1;
}

std::string HostKey(const std::string& host) { return std::string(kHostsKey) + "\\" + host; }

// Opens the session socket to the current host. On failure the socket is
// closed and the connected host cleared.
bool Connect() {
  Session& session = TheSession();
  CloseSocket();
  auto fail = [&session] {
    CloseSocket();
    session.connectedHost.clear();
    return false;
  };
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    std::printf("Error connecting to remote admin: %d\n", errno);
    std::fflush(stdout);
    return fail();
  }
  session.socket = fd;

  const std::string key = HostKey(session.currentHost);
  char address[kHostValueCapacity];
  if (!ReadRegistryString(qv::registry::Hive::CurrentUser, key, "Address", address,
                          sizeof address)) {
    return fail();
  }
  uint32_t port = kDefaultPort;
  ReadRegistryDword(qv::registry::Hive::CurrentUser, key, "Port", &port);
  if (port == 0 || port > 65535) return fail();

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address, nullptr, &hints, &found) != 0 || found == nullptr) return fail();
  sockaddr_in target{};
  std::memcpy(&target, found->ai_addr, sizeof target);
  freeaddrinfo(found);
  target.sin_port = htons(static_cast<uint16_t>(port));

  const ConnectFunction& override = ConnectOverride();
  int connected;
  if (override) {
    connected = override(fd, target);
  } else {
    do {
      connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    } while (connected < 0 && errno == EINTR);
  }
  if (connected != 0) return fail();

  timeval timeout{kReceiveTimeoutMs / 1000, (kReceiveTimeoutMs % 1000) * 1000};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) != 0) {
    return fail();
  }
  return true;
}

bool Succeeded(const std::string& reply) { return reply.find(wire::kSuccess) != std::string::npos; }

// AUTH with the current host's credentials, then LOAD of `library` when it
// is not empty. The outcome shows itself in later requests.
void Authenticate(const std::string& library) {
  Session& session = TheSession();
  const std::string key = HostKey(session.currentHost);
  char credentials[kHostValueCapacity];
  char protocol[kHostValueCapacity];
  ReadRegistryString(qv::registry::Hive::CurrentUser, key, "Credentials", credentials,
                     sizeof credentials);
  ReadRegistryString(qv::registry::Hive::CurrentUser, key, "Authentication Protocol", protocol,
                     sizeof protocol);
  // A fresh session has no library loaded, whatever the previous one had:
  // remembering a stale name would skip LOAD on every later call for it.
  session.loadedLibrary.clear();
  std::string reply;
  if (RemoteExchange(wire::AuthRequest(protocol, credentials), &reply, kShortReplyCapacity) &&
      Succeeded(reply) && !library.empty() &&
      RemoteExchange(wire::LoadRequest(library), &reply, kShortReplyCapacity) &&
      Succeeded(reply)) {
    session.loadedLibrary = library;
  }
  session.connectedHost = session.currentHost;
}

bool Exchange(std::string_view request, std::string* reply, size_t capacity, bool closeOnFailure);

bool Ping(bool closeOnFailure = true) {
  std::string reply;
  return Exchange(wire::kPing, &reply, kShortReplyCapacity, closeOnFailure);
}

}  // namespace

int EnsureRemoteSession(const char* libraryName) {
  Session& session = TheSession();
  const std::string library = libraryName ? libraryName : "";
  if (session.currentHost.empty()) {
    if (ForceDefaultHost()) {
      session.currentHost = "Default";
    } else {
      CloseSocket();
      return kServeLocally;
    }
  }
  // This machine is never reached over a socket: its calls are served here.
  if (session.currentHost == "127.0.0.1") {
    CloseSocket();
    return kServeLocally;
  }
  if (!SameText(session.currentHost, session.connectedHost) ||
      !SameText(library, session.loadedLibrary)) {
    if (session.socket >= 0 && !Ping(/*closeOnFailure=*/false)) {
      // Say goodbye on the way out, without waiting for an answer that an
      // unresponsive listener would not give.
      send(session.socket, wire::kQuit.data(), wire::kQuit.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      CloseSocket();
    }
    if (!Connect()) return kConnectFailed;
    Authenticate(library);
  } else if (!Ping()) {
    if (!Connect()) return kConnectFailed;
    Authenticate(library);
  }
  return kSessionOpen;
}

namespace {

// One request and its reply; a failure closes the session socket unless
// `closeOnFailure` is false.
bool Exchange(std::string_view request, std::string* reply, size_t capacity, bool closeOnFailure) {
  Session& session = TheSession();
  reply->clear();
  if (session.socket < 0 || capacity < 2) return false;
  if (!wire::SendAll(session.socket, request)) {
    if (closeOnFailure) CloseSocket();
    return false;
  }
  // One receive may not carry the whole reply: read on until the closing
  // "</DATA>", within the buffer.
  const size_t limit = capacity - 1;
  char chunk[4096];
  while (reply->size() < limit) {
    const size_t want = std::min(sizeof chunk, limit - reply->size());
    const ssize_t got = recv(session.socket, chunk, want, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    reply->append(chunk, static_cast<size_t>(got));
    const size_t tail = reply->size() > static_cast<size_t>(got) + wire::kEnd.size()
                            ? reply->size() - static_cast<size_t>(got) - wire::kEnd.size()
                            : 0;
    if (reply->find(wire::kEnd, tail) != std::string::npos) break;
  }
  if (reply->empty()) {
    if (closeOnFailure) CloseSocket();
    return false;
  }
  return true;
}

}  // namespace

bool RemoteExchange(std::string_view request, std::string* reply, size_t capacity) {
  return Exchange(request, reply, capacity, /*closeOnFailure=*/true);
}

void SetCurrentHostName(std::string_view host) {
  TheSession().currentHost = std::string(host.substr(0, kMaxHostName));
}

const std::string& CurrentHostName() { return TheSession().currentHost; }

int ForwardCall(const wire::Request& request, std::initializer_list<Output> outputs) {
  std::string reply;
  if (!RemoteExchange(request.Text(), &reply, kCallReplyCapacity)) return 0;
  int result = 0;
  if (auto value = wire::ReadParameter(reply, 0, 4); value && value->size() == 4) {
    const auto* b = reinterpret_cast<const uint8_t*>(value->data());
    result = static_cast<int>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                              static_cast<uint32_t>(b[2]) << 16 |
                              static_cast<uint32_t>(b[3]) << 24);
  }
  for (const Output& output : outputs) {
    if (output.buffer == nullptr || output.capacity == 0) continue;
    const auto value = wire::ReadParameter(reply, output.number, kCallReplyCapacity);
    if (!value) continue;
    if (output.kind == Output::Kind::Record) {
      if (value->size() == output.capacity) {
        std::memcpy(output.buffer, value->data(), output.capacity);
      }
    } else {
      const size_t length = std::min(strnlen(value->data(), value->size()), output.capacity - 1);
      std::memcpy(output.buffer, value->data(), length);
      static_cast<char*>(output.buffer)[length] = '\0';
    }
  }
  return result;
}

void SetConnectFunctionForTesting(ConnectFunction connect) { ConnectOverride() = std::move(connect); }

void ResetSessionForTesting() {
  CloseSocket();
  Session& session = TheSession();
  session.currentHost.clear();
  session.connectedHost.clear();
  session.loadedLibrary.clear();
  session.forceDefaultHost.store(-1);
}

bool SessionOpenForTesting() { return TheSession().socket >= 0; }

}  // namespace qvaiso::remote
