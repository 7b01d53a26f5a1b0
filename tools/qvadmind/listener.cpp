#include "tools/qvadmind/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <fstream>

#include "library/abuse/abuse.h"
#include "library/options/local.h"
#include "library/remote/local.h"
#include "library/remote/wire.h"

namespace qvadmind {
namespace {

using qvaiso::wire::EncodeParameter;
using qvaiso::wire::FailureReply;
using qvaiso::wire::SuccessReply;

std::span<const uint8_t> Bytes(const void* data, size_t size) {
  return {static_cast<const uint8_t*>(data), size};
}

std::string NumberParameter(int number, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return EncodeParameter(number, Bytes(bytes, 4));
}

std::string ResultReply(int result, const std::string& more = "") {
  return SuccessReply(NumberParameter(0, static_cast<uint32_t>(result)) + more);
}

// A string parameter: its text up to the first NUL (always terminated here).
const std::string* Parameter(const Request& request, int number) {
  auto found = request.parameters.find(number);
  return found == request.parameters.end() ? nullptr : &found->second;
}

std::string StringParameter(const std::string& raw) { return raw.substr(0, raw.find('\0')); }

uint32_t NumberOf(const std::string& raw) {
  const auto* b = reinterpret_cast<const uint8_t*>(raw.data());
  return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// ---- The functions a remote caller may name; nothing else is served ----

using Handler = std::string (*)(const Request&);

std::string OptionCall(const Request& request, bool get) {
  const std::string* raw = Parameter(request, 1);
  if (!raw || raw->size() != sizeof(SystemOptionRecord)) return FailureReply("bad parameters");
  SystemOptionRecord record;
  std::memcpy(&record, raw->data(), sizeof record);
  qvaiso::options::TerminateOptionRecord(&record);
  if (!get) return ResultReply(qvaiso::options::LocalSetSystemOption(&record));
  const int result = qvaiso::options::LocalGetSystemOption(&record);
  return ResultReply(result, EncodeParameter(1, Bytes(&record, sizeof record)));
}

std::string GetSystemOptionCall(const Request& r) { return OptionCall(r, true); }
std::string SetSystemOptionCall(const Request& r) { return OptionCall(r, false); }

template <int (*Local)(ServiceRecord*), bool kReturnsRecord>
std::string ServiceCall(const Request& request) {
  const std::string* raw = Parameter(request, 1);
  if (!raw || raw->size() != sizeof(ServiceRecord)) return FailureReply("bad parameters");
  ServiceRecord record;
  std::memcpy(&record, raw->data(), sizeof record);
  qvaiso::remote::TerminateServiceRecord(&record);
  const int result = Local(&record);
  if (!kReturnsRecord) return ResultReply(result);
  return ResultReply(result, EncodeParameter(1, Bytes(&record, sizeof record)));
}

// Registry calls: 1 key path, 2 value name, 3 value (or placeholder).
bool RegistryParameters(const Request& request, std::string* key, std::string* name,
                        const std::string** third) {
  const std::string* rawKey = Parameter(request, 1);
  const std::string* rawName = Parameter(request, 2);
  *third = Parameter(request, 3);
  if (!rawKey || !rawName || !*third) return false;
  *key = StringParameter(*rawKey);
  *name = StringParameter(*rawName);
  return true;
}

std::string GetRegistryStringCall(const Request& request) {
  std::string key, name;
  const std::string* placeholder;
  if (!RegistryParameters(request, &key, &name, &placeholder)) {
    return FailureReply("bad parameters");
  }
  char value[qvaiso::remote::kRegistryStringCapacity] = {};
  const int result = qvaiso::remote::LocalGetRegistryString(key.c_str(), name.c_str(), value);
  std::string bytes(value);
  bytes.append(2, '\0');  // a string goes with its terminator and one more zero byte
  return ResultReply(result, EncodeParameter(3, Bytes(bytes.data(), bytes.size())));
}

std::string SetRegistryStringCall(const Request& request) {
  std::string key, name;
  const std::string* value;
  if (!RegistryParameters(request, &key, &name, &value)) return FailureReply("bad parameters");
  return ResultReply(qvaiso::remote::LocalSetRegistryString(key.c_str(), name.c_str(),
                                                            StringParameter(*value).c_str()));
}

std::string GetRegistryWordCall(const Request& request) {
  std::string key, name;
  const std::string* current;
  if (!RegistryParameters(request, &key, &name, &current) || current->size() != 4) {
    return FailureReply("bad parameters");
  }
  uint32_t number = NumberOf(*current);
  const int result = qvaiso::remote::LocalGetRegistryWord(key.c_str(), name.c_str(), &number);
  return ResultReply(result, NumberParameter(3, number));
}

std::string SetRegistryWordCall(const Request& request) {
  std::string key, name;
  const std::string* number;
  if (!RegistryParameters(request, &key, &name, &number) || number->size() != 4) {
    return FailureReply("bad parameters");
  }
  return ResultReply(
      qvaiso::remote::LocalSetRegistryWord(key.c_str(), name.c_str(), NumberOf(*number)));
}

struct Function {
  Method method;     // the request kind the function comes in
  const char* name;  // the function name of the request
  Handler handler;
};

constexpr Function kFunctions[] = {
    {Method::Exec, "GetSystemOption", GetSystemOptionCall},
    {Method::Exec, "SetSystemOption", SetSystemOptionCall},
    {Method::Exec, "QVServiceStart", ServiceCall<qvaiso::remote::LocalServiceStart, false>},
    {Method::Exec, "QVServiceStop", ServiceCall<qvaiso::remote::LocalServiceStop, false>},
    {Method::Exec, "QVServiceGetStatus", ServiceCall<qvaiso::remote::LocalServiceGetStatus, true>},
    {Method::Exec, "QVServiceFindFirst", ServiceCall<qvaiso::remote::LocalServiceFindFirst, true>},
    {Method::Exec, "QVServiceFindNext", ServiceCall<qvaiso::remote::LocalServiceFindNext, true>},
    {Method::Setting, "GetRegistryString", GetRegistryStringCall},
    {Method::Setting, "SetRegistryString", SetRegistryStringCall},
    {Method::Setting, "GetRegistryWord", GetRegistryWordCall},
    {Method::Setting, "SetRegistryWord", SetRegistryWordCall},
};

bool ConstantTimeEqual(const std::string& a, const std::string& b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  const std::string& reference = a.size() == b.size() ? b : a;
  for (size_t i = 0; i < a.size(); ++i) difference |= a[i] ^ reference[i];
  return difference == 0;
}

const char* MethodName(Method method) {
  switch (method) {
    case Method::Auth: return "AUTH";
    case Method::Load: return "LOAD";
    case Method::Ping: return "PING";
    case Method::Quit: return "QUIT";
    case Method::Exec: return "EXEC";
    case Method::Setting: return "SETTING";
  }
  return "?";
}

}  // namespace

namespace {
std::atomic<bool> g_logToStderr{false};
}  // namespace

void SetLogToStderr(bool toStderr) { g_logToStderr = toStderr; }

void Log(int priority, const char* format, ...) {
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  syslog(LOG_DAEMON | priority, "%s", text);
  if (g_logToStderr) std::fprintf(stderr, "qvadmind: %s\n", text);
}

bool LoadAccounts(const std::string& path, std::vector<Account>* accounts, std::string* error) {
  accounts->clear();
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = "cannot read credentials file " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "credentials file " + path + " is not a regular file";
    return false;
  }
  if ((info.st_mode & 077) != 0) {
    *error = "credentials file " + path + " must not be accessible to group or others (chmod 600)";
    return false;
  }
  std::ifstream in(path);
  if (!in) {
    *error = "cannot open credentials file " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || tab + 1 == line.size()) {
      *error = path + ":" + std::to_string(number) + ": expected protocol<TAB>credentials";
      return false;
    }
    accounts->push_back({line.substr(0, tab), line.substr(tab + 1)});
  }
  if (accounts->empty()) {
    *error = "credentials file " + path + " holds no account";
    return false;
  }
  return true;
}

Listener::Listener(std::vector<Account> accounts, ListenerLimits limits)
    : accounts_(std::move(accounts)), limits_(limits) {}

Listener::~Listener() { JoinWorkers(true); }

bool Listener::Authenticate(const Request& request) const {
  bool accepted = false;
  for (const Account& account : accounts_) {
    // Every account is compared, so the time taken tells nothing.
    const bool protocolMatches = ConstantTimeEqual(request.protocol, account.protocol);
    const bool credentialsMatch = ConstantTimeEqual(request.credentials, account.credentials);
    const bool match = protocolMatches && credentialsMatch;
    accepted = accepted || match;
  }
  return accepted;
}

std::string Listener::Handle(const Request& request, ConnectionState* state,
                             const std::string& peer) {
  switch (request.method) {
    case Method::Quit:
      state->close = true;
      return std::string(qvaiso::wire::kSuccess);
    case Method::Ping:
      return state->authenticated ? std::string(qvaiso::wire::kSuccess)
                                  : FailureReply("not authenticated");
    case Method::Auth:
      if (Authenticate(request)) {
        state->authenticated = true;
        Log(LOG_INFO, "%s: authenticated", peer.c_str());
        return std::string(qvaiso::wire::kSuccess);
      }
      state->authenticated = false;
      state->libraryLoaded = false;
      Log(LOG_WARNING, "%s: authentication refused", peer.c_str());
      // Guessing is slowed on the connection, and counted for the address:
      // once the abuse register calls it abusive, it is refused at connect.
      state->delayMs = limits_.authDelayMs << std::min(state->failedAuths, 8);
      if (++state->failedAuths >= kMaxFailedAuths) state->close = true;
      if (AbuseRegister_AddEntry(state->address.c_str(), kAbuseReporter) == 2) {
        Log(LOG_WARNING, "%s: address reported as abusive, connection closed", peer.c_str());
        state->close = true;
      }
      return FailureReply("authentication refused");
    case Method::Load:
      if (!state->authenticated) return FailureReply("not authenticated");
      if (request.library.empty()) {
        state->libraryLoaded = false;
        return std::string(qvaiso::wire::kSuccess);
      }
      if (strcasecmp(request.library.c_str(), "QVAISO.DLL") == 0) {
        state->libraryLoaded = true;
        return std::string(qvaiso::wire::kSuccess);
      }
      Log(LOG_WARNING, "%s: LOAD of unknown library refused", peer.c_str());
      return FailureReply("unknown library");
    case Method::Exec:
    case Method::Setting:
      break;
  }
  if (!state->authenticated) return FailureReply("not authenticated");
  if (request.method == Method::Exec && !state->libraryLoaded) {
    return FailureReply("no library loaded");
  }
  for (const Function& function : kFunctions) {
    if (function.method == request.method && request.function == function.name) {
      Log(LOG_INFO, "%s: %s %s", peer.c_str(), MethodName(request.method), function.name);
      return function.handler(request);
    }
  }
  Log(LOG_WARNING, "%s: %s of unknown function refused", peer.c_str(),
      MethodName(request.method));
  return FailureReply("unknown function");
}

bool Listener::Next(ConnectionState* state, const std::string& peer, std::string* reply) {
  const size_t length = CompleteRequestLength(state->buffer);
  if (length == 0) {
    if (state->buffer.size() <= kMaxRequestBytes) return false;
    Log(LOG_WARNING, "%s: request too large, connection closed", peer.c_str());
    *reply = FailureReply("request too large");
    state->buffer.clear();
    state->close = true;
    state->refused = true;
    return true;
  }
  Request request;
  std::string reason;
  if (ParseRequest(std::string_view(state->buffer).substr(0, length), &request, &reason)) {
    Log(LOG_DEBUG, "%s: request %s", peer.c_str(), MethodName(request.method));
    std::lock_guard<std::mutex> lock(callMutex_);
    *reply = Handle(request, state, peer);
  } else {
    Log(LOG_WARNING, "%s: %s, connection closed", peer.c_str(), reason.c_str());
    *reply = FailureReply(reason);
    state->close = true;
    state->refused = true;
  }
  state->buffer.erase(0, length);
  return true;
}

namespace {

using Clock = std::chrono::steady_clock;

// Waits up to `milliseconds` for input on `socket`; false on time-out or when
// `stop` was raised. Wakes at least four times a second to look at `stop`.
bool WaitReadable(int socket, long long milliseconds, const std::atomic<bool>* stop) {
  const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!(stop && stop->load())) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{socket, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left, 250)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let recv report it
  }
  return false;
}

void SleepUnlessStopped(int milliseconds, const std::atomic<bool>* stop) {
  const auto until = Clock::now() + std::chrono::milliseconds(milliseconds);
  while (!(stop && stop->load()) && Clock::now() < until) {
    std::this_thread::sleep_for(
        std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(250)));
  }
}

}  // namespace

void Listener::ServeConnection(int socket, const std::string& peer, const std::string& address) {
  timeval sendTimeout{limits_.sendTimeoutSeconds, 0};
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  ConnectionState state;
  state.address = address;
  // Until AUTH succeeds the deadline is fixed: a peer trickling bytes does
  // not keep the connection open. After, each request earns the idle time.
  auto deadline = Clock::now() + std::chrono::seconds(limits_.loginTimeoutSeconds);
  char chunk[8192];
  while (!state.close) {
    std::string reply;
    if (Next(&state, peer, &reply)) {
      if (state.delayMs > 0) {
        SleepUnlessStopped(state.delayMs, stop_);
        state.delayMs = 0;
      }
      if (!qvaiso::wire::SendAll(socket, reply)) break;
      if (state.authenticated) {
        deadline = Clock::now() + std::chrono::seconds(limits_.idleTimeoutSeconds);
      }
      continue;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (!WaitReadable(socket, left, stop_)) {
      if (!Stopping()) {
        Log(LOG_INFO, "%s: %s, connection closed", peer.c_str(),
            state.authenticated ? "idle time-out" : "no authentication in time");
      }
      break;
    }
    const ssize_t got = recv(socket, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) {
      if (!state.buffer.empty()) {
        Log(LOG_WARNING, "%s: incomplete request dropped", peer.c_str());
      }
      break;
    }
    state.buffer.append(chunk, static_cast<size_t>(got));
  }
  if (state.refused) {
    // Closing with unread input would reset the connection and could destroy
    // the reply on its way; finish sending, then read (a bounded amount of)
    // what the peer still sends.
    shutdown(socket, SHUT_WR);
    size_t drained = 0;
    ssize_t got = 0;
    while (drained < 4 * kMaxRequestBytes && WaitReadable(socket, 1000, stop_) &&
           (got = recv(socket, chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
      drained += static_cast<size_t>(got);
    }
  }
  close(socket);
  Log(LOG_INFO, "%s: connection ended", peer.c_str());
}

void Listener::JoinWorkers(bool all) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (all || it->done->load()) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void Listener::Serve(int listenSocket, const std::atomic<bool>& stop) {
  stop_ = &stop;
  while (!stop.load()) {
    JoinWorkers(false);
    pollfd entry{listenSocket, POLLIN, 0};
    const int ready = poll(&entry, 1, 250);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int socket = accept4(listenSocket, reinterpret_cast<sockaddr*>(&address), &length,
                               SOCK_CLOEXEC);
    if (socket < 0) {
      if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EMFILE ||
          errno == ENFILE) {
        if (errno == EMFILE || errno == ENFILE) {
          Log(LOG_ERR, "accept failed: %s", std::strerror(errno));
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        continue;
      }
      Log(LOG_ERR, "accept failed: %s", std::strerror(errno));
      break;
    }
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    const std::string ip = text;
    const std::string peer = ip + ":" + std::to_string(ntohs(address.sin_port));
    if (AbuseRegister_FindEntryByIPAddress(ip.c_str()) == 1) {
      Log(LOG_WARNING, "%s: connection refused, address reported as abusive", peer.c_str());
      close(socket);
      continue;
    }
    if (active_.load() >= limits_.maxConnections) {
      Log(LOG_WARNING, "%s: connection refused, %d connections are served already", peer.c_str(),
          limits_.maxConnections);
      timeval timeout{1, 0};
      setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
      qvaiso::wire::SendAll(socket, FailureReply("too many connections"));
      close(socket);
      continue;
    }
    Log(LOG_INFO, "%s: connection accepted", peer.c_str());
    ++active_;
    try {
      workers_.reserve(workers_.size() + 1);  // so that keeping the thread cannot throw
      auto done = std::make_shared<std::atomic<bool>>(false);
      std::thread worker([this, socket, peer, ip, done] {
        ServeConnection(socket, peer, ip);
        --active_;
        done->store(true);
      });
      workers_.push_back({std::move(worker), std::move(done)});
    } catch (const std::exception& e) {  // no thread to be had: this one is not served
      Log(LOG_ERR, "%s: connection dropped: %s", peer.c_str(), e.what());
      --active_;
      close(socket);
    }
  }
  JoinWorkers(true);
}

}  // namespace qvadmind
