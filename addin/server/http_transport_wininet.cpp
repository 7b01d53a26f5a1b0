// The HTTP transport on WinInet (modWinInet as Windows runs it): one session,
// connection and request per call, all closed at its end; the cookies the
// server sets are kept by WinInet's cookie store, and the session cookie's
// value goes into the "Quorvia-SessionId" header of every request.
//
// The waits. WinInet's calls block, and Wine's WinInet ignores the send and
// receive time-outs, so the calls run on a worker thread of their own while
// the caller's thread waits for it in steps of a tenth of a second: it asks
// the front end whether the person cancelled, and applies the limits of
// request_limits.h itself (connect; silence, from WinInet's status callback
// and the chunks read; the whole answer). A wait cut short closes the
// request's handle from the caller's thread, which ends a blocking call on
// Windows, and leaves the worker to finish on its own: it holds only its own
// state and a reference to this library, so neither is freed under it.
// (A worker thread rather than WinInet's asynchronous mode: the calls stay
// the plain blocking ones, every handle has one owner, and no callback of a
// request that was given up can reach state the caller has freed.)
#include <windows.h>
#include <wininet.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "addin/codec/strings.h"
#include "addin/server/host_address.h"
#include "addin/server/http_transport.h"
#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"

namespace qvsync {
namespace {

constexpr const wchar_t* kAgent = L"http generic";
constexpr const char* kResolveMessage = "Could not resolve the server name. Check the server details entered.";
constexpr const char* kNotFoundMessage =
    "Required page not found on the server that was specified. Make sure that web mail is "
    "configured at the server name used.";
constexpr const char* kSessionCookie = "Quorvia-SessionId";
// Chunks of the reply, and the cookie buffer, as the transport reads them.
constexpr DWORD kChunk = 2048;
constexpr DWORD kCookieCharacters = 255;

std::mutex& TimeoutsMutex() {
  static std::mutex mutex;
  return mutex;
}

TransportTimeouts& Timeouts() {
  static TransportTimeouts timeouts;
  return timeouts;
}

std::wstring Wide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), length);
  return out;
}

std::string Narrow(const wchar_t* text, size_t length) {
  if (length == 0) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), size, nullptr, nullptr);
  return out;
}

// An Internet handle, closed at the end of its scope.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_ != nullptr) InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;
  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

using Clock = std::chrono::steady_clock;

long long NowMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// One request, shared by the caller's thread and the worker that makes the
// blocking calls. The inputs are set before the worker starts and not
// changed after; the progress is atomic; the results are written by the
// worker before it signals `done`; the rest is guarded by `lock`.
struct Exchange {
  Exchange() : done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Exchange() {
    if (done != nullptr) CloseHandle(done);
  }
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;

  // Inputs.
  std::wstring name;
  INTERNET_PORT port = INTERNET_DEFAULT_HTTP_PORT;
  std::wstring path;
  bool http10 = false;
  std::wstring headers;
  std::string body;
  DWORD connectTimeout = 0;
  DWORD silenceTimeout = 0;

  // Progress: the connection made, and when a byte last moved either way.
  std::atomic<bool> connected{false};
  std::atomic<long long> lastMoved{0};

  // Results.
  enum class Outcome { NotOpened, SendFailed, NotFound, Reply };
  Outcome outcome = Outcome::NotOpened;
  DWORD error = 0;            // SendFailed: the system's number
  bool readTimedOut = false;  // Reply: WinInet's own receive time-out ended it
  std::string received;
  HANDLE done;

  // Giving up. The caller sets `abandoned`; while the worker is inside a
  // blocking call on `request`, the caller closes the handle to end the
  // call, and the worker never touches it again.
  std::mutex lock;
  bool abandoned = false;
  bool inCall = false;
  bool closedByCaller = false;
  HINTERNET request = nullptr;
};

// WinInet's report of the request's progress, on the worker's thread.
void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, void*, DWORD) {
  auto* exchange = reinterpret_cast<Exchange*>(context);
  if (exchange == nullptr) return;
  switch (status) {
    case INTERNET_STATUS_CONNECTED_TO_SERVER:
      exchange->lastMoved = NowMilliseconds();
      exchange->connected = true;
      break;
    case INTERNET_STATUS_REQUEST_SENT:
    case INTERNET_STATUS_RESPONSE_RECEIVED:
      exchange->lastMoved = NowMilliseconds();
      break;
    default:
      break;
  }
}

// Runs `call`, a blocking call on the request, unless the caller has given
// the request up; false when it had, or did while the call ran (the call's
// result is then of no use, and the handle may be closed).
template <typename Call>
bool Blocking(Exchange& x, Call&& call, BOOL* result) {
  {
    std::lock_guard<std::mutex> hold(x.lock);
    if (x.abandoned) return false;
    x.inCall = true;
  }
  *result = call();
  const DWORD error = GetLastError();
  std::lock_guard<std::mutex> hold(x.lock);
  x.inCall = false;
  SetLastError(error);
  return !x.abandoned;
}

// The worker's part: open, send, read. Every handle it opens it closes,
// except a request handle the caller closed to end a blocking call.
void RunExchange(Exchange& x) {
  InternetHandle session(InternetOpenW(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return;
  // Windows applies these itself; the wait applies the same limits anyway.
  if (x.connectTimeout > 0) {
    InternetSetOptionW(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &x.connectTimeout, sizeof x.connectTimeout);
  }
  if (x.silenceTimeout > 0) {
    InternetSetOptionW(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &x.silenceTimeout, sizeof x.silenceTimeout);
    InternetSetOptionW(session.get(), INTERNET_OPTION_SEND_TIMEOUT, &x.silenceTimeout, sizeof x.silenceTimeout);
  }
  InternetSetStatusCallbackW(session.get(), &StatusCallback);
  const DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&x);
  InternetHandle connection(InternetConnectW(session.get(), x.name.c_str(), x.port, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, context));
  if (!connection) return;
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                      INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_AUTH;
  HINTERNET request = HttpOpenRequestW(connection.get(), L"POST", x.path.c_str(), x.http10 ? L"HTTP/1.0" : L"HTTP/1.1",
                                       nullptr, nullptr, flags, context);
  if (request == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(x.lock);
    x.request = request;
  }
  const auto run = [&] {
    if (!HttpAddRequestHeadersW(request, x.headers.c_str(), static_cast<DWORD>(-1L),
                                HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
      return;
    }
    // No connection outlives its request: WinInet keeps idle connections for
    // the whole process and sends a request again, unasked, when a kept
    // connection turns out closed, which would carry out a batch twice.
    HttpAddRequestHeadersW(request, L"Connection: close\r\n", static_cast<DWORD>(-1L),
                           HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    BOOL sent = FALSE;
    if (!Blocking(x, [&] {
          return HttpSendRequestW(request, nullptr, 0, x.body.empty() ? nullptr : x.body.data(),
                                  static_cast<DWORD>(x.body.size()));
        }, &sent)) {
      return;
    }
    if (!sent) {
      x.error = GetLastError();
      x.outcome = Exchange::Outcome::SendFailed;
      return;
    }
    x.connected = true;
    x.lastMoved = NowMilliseconds();
    wchar_t status[4] = {};
    DWORD statusSize = sizeof status;
    if (HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE, status, &statusSize, nullptr) ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
      if (status[0] == L'4' && status[1] == L'0' && status[2] == L'4') {
        x.outcome = Exchange::Outcome::NotFound;
        return;
      }
    }
    // Every other status is a reply; a read that fails ends it with what
    // has arrived.
    x.outcome = Exchange::Outcome::Reply;
    char chunk[kChunk];
    for (;;) {
      // What has arrived, at least a byte (a read alone would wait for a
      // whole chunk, and a server that trickles would seem silent).
      DWORD available = 0;
      BOOL ok = FALSE;
      if (!Blocking(x, [&] { return InternetQueryDataAvailable(request, &available, 0, 0); }, &ok)) return;
      if (!ok) {
        x.readTimedOut = GetLastError() == ERROR_INTERNET_TIMEOUT;
        return;
      }
      if (available == 0) return;
      x.lastMoved = NowMilliseconds();
      DWORD read = 0;
      if (!Blocking(x, [&] { return InternetReadFile(request, chunk, available < kChunk ? available : kChunk, &read); },
                    &ok)) {
        return;
      }
      if (!ok) {
        x.readTimedOut = GetLastError() == ERROR_INTERNET_TIMEOUT;
        return;
      }
      if (read == 0) return;
      x.received.append(chunk, read);
      x.lastMoved = NowMilliseconds();
    }
  };
  run();
  std::lock_guard<std::mutex> hold(x.lock);
  if (!x.closedByCaller) InternetCloseHandle(request);
  x.request = nullptr;
}

// Gives the request up: the worker stops at its next step, and a blocking
// call it is in ends now.
void Abandon(Exchange& x) {
  std::lock_guard<std::mutex> hold(x.lock);
  x.abandoned = true;
  if (x.inCall && x.request != nullptr && !x.closedByCaller) {
    x.closedByCaller = true;
    InternetCloseHandle(x.request);
  }
}

// The worker thread. It keeps this library loaded until it has returned:
// a request given up may finish long after the caller, the add-in and the
// host that loaded it have moved on.
DWORD WINAPI ExchangeThread(void* parameter) {
  std::unique_ptr<std::shared_ptr<Exchange>> exchange(static_cast<std::shared_ptr<Exchange>*>(parameter));
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ExchangeThread), &self);
  RunExchange(**exchange);
  SetEvent((*exchange)->done);
  exchange.reset();
  if (self != nullptr) FreeLibraryAndExitThread(self, 0);
  return 0;
}

// Starts the worker; false when no thread could be had.
bool Start(const std::shared_ptr<Exchange>& exchange) {
  auto* parameter = new std::shared_ptr<Exchange>(exchange);
  HANDLE thread = CreateThread(nullptr, 0, &ExchangeThread, parameter, 0, nullptr);
  if (thread == nullptr) {
    delete parameter;
    return false;
  }
  CloseHandle(thread);
  return true;
}

std::string FailureMessage(DWORD code) {
  if (code == ERROR_INTERNET_NAME_NOT_RESOLVED) return kResolveMessage;
  return "Could not connect to server (error " + std::to_string(code) + "). Check the server details entered.";
}

}  // namespace

void SetTransportTimeouts(const TransportTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(TimeoutsMutex());
  Timeouts() = timeouts;
}

TransportTimeouts GetTransportTimeouts() {
  std::lock_guard<std::mutex> lock(TimeoutsMutex());
  return Timeouts();
}

std::string GetSessionCookie(std::string_view url, std::string_view name) {
  // The store answers "name=value" (or several, "; " between them); the
  // value is the text after the first "=" of the cookie text, cut at its
  // first NUL and trimmed.
  const std::wstring wideUrl = Wide(url);
  const std::wstring wideName = Wide(name);
  wchar_t buffer[kCookieCharacters + 1] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  if (!InternetGetCookieW(wideUrl.c_str(), wideName.c_str(), buffer, &size)) return "";
  std::string text = Narrow(buffer, wcsnlen(buffer, kCookieCharacters));
  // Of several cookies of the name, the first is the one of the longest path.
  const size_t separator = text.find(';');
  if (separator != std::string::npos) text.erase(separator);
  text = std::string(TrimSpaces(text));
  const std::string prefix = std::string(name) + "=";
  if (text.compare(0, prefix.size(), prefix) == 0) return text.substr(prefix.size());
  return GetToken(text, "=", 2);
}

void ClearCookieStore() { InternetSetOptionW(nullptr, INTERNET_OPTION_END_BROWSER_SESSION, nullptr, 0); }

std::string HttpPost(std::string_view host, std::string_view path, std::string_view body,
                     std::string_view httpVersion, int32_t& errorCode, std::string& errorMessage) {
  errorCode = 0;
  errorMessage.clear();
  HostAddress address;
  if (!ParseHostAddress(host, &address)) return "";
  std::string requestPath;
  if (path.empty() || path.front() != '/') requestPath = "/";
  requestPath += path;

  auto x = std::make_shared<Exchange>();
  if (x->done == nullptr) return "";
  x->body = qv::codepage::FromUtf8(body);
  const RequestLimits limits = LimitsFor(GetTransportTimeouts(), KindOfRequest(body), x->body.size());
  x->name = Wide(address.name);
  x->port = address.port;
  x->path = Wide(requestPath);
  x->http10 = httpVersion == "HTTP/1.0";
  x->connectTimeout = static_cast<DWORD>(limits.connectMilliseconds > 0 ? limits.connectMilliseconds : 0);
  x->silenceTimeout = static_cast<DWORD>(limits.silenceMilliseconds > 0 ? limits.silenceMilliseconds : 0);
  // The session id: the cookie's value (empty before the login).
  std::string sessionId = GetSessionCookie("http://" + std::string(host) + requestPath, kSessionCookie);
  const size_t end = sessionId.find_first_of(std::string("\r\n\0", 3));
  if (end != std::string::npos) sessionId.erase(end);
  sessionId = std::string(TrimSpaces(sessionId));
  x->headers = Wide("Content-Type: application/x-www-form-urlencoded\r\n" + std::string(kSessionCookie) + ": " +
                    sessionId + "\r\n");

  qv::ui::WaitScope wait("Connecting to " + std::string(host) + " ...");
  const long long started = NowMilliseconds();
  x->lastMoved = started;
  if (!Start(x)) return "";
  auto cut = [&](WaitEnd end) {
    Abandon(*x);
    errorCode = ErrorNumberOf(end);
    errorMessage = MessageOf(end, limits);
    return std::string();
  };
  // A tenth of a second at most between looks at the person and the clock.
  while (WaitForSingleObject(x->done, 100) != WAIT_OBJECT_0) {
    if (wait.Cancelled()) return cut(WaitEnd::Cancelled);
    const long long now = NowMilliseconds();
    const bool connected = x->connected;
    if (!connected && now - started >= limits.connectMilliseconds) return cut(WaitEnd::Connect);
    if (connected && now - x->lastMoved >= limits.silenceMilliseconds) return cut(WaitEnd::Silence);
    if (now - started >= limits.totalMilliseconds) return cut(connected ? WaitEnd::Total : WaitEnd::Connect);
  }

  switch (x->outcome) {
    case Exchange::Outcome::NotOpened:
      return "";
    case Exchange::Outcome::SendFailed:
      if (x->error == ERROR_INTERNET_TIMEOUT) return cut(x->connected ? WaitEnd::Silence : WaitEnd::Connect);
      errorCode = static_cast<int32_t>(x->error);
      errorMessage = FailureMessage(x->error);
      return "";
    case Exchange::Outcome::NotFound:
      errorCode = kErrorPageNotFound;
      errorMessage = kNotFoundMessage;
      return "";
    case Exchange::Outcome::Reply:
      break;
  }
  if (x->readTimedOut) return cut(WaitEnd::Silence);
  // A stray byte that is not UTF-8 is read in the code page on its own; the
  // rest of the reply stays UTF-8.
  return qv::codepage::Utf8OrCodePageToUtf8(x->received);
}

}  // namespace qvsync
