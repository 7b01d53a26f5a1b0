// The HTTP transport on WinInet (modWinInet as Windows runs it): one session,
// connection and request per call, all closed at its end; the cookies the
// server sets are kept by WinInet's cookie store, and the session cookie's
// value goes into the "Quorvia-SessionId" header of every request.
//
// The limits of request_limits.h: the connect limit is WinInet's connect
// time-out, the silence limit its send and receive time-outs (which Wine's
// WinInet ignores), the whole answer's limit and a person's cancelling are
// checked between the chunks of the reply. The calls block: connecting,
// sending and the wait for the first byte are not cut short by the person.
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <mutex>
#include <string>

#include "addin/codec/strings.h"
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

// Host name and port of a configured host: "name", "name:port", "[v6]" or
// "[v6]:port" (the brackets are not part of the name). False when the text
// cannot be a host.
bool SplitHost(std::string_view host, std::string& name, INTERNET_PORT& port) {
  port = INTERNET_DEFAULT_HTTP_PORT;
  if (host.empty()) return false;
  std::string_view rest;
  if (host.front() == '[') {
    const size_t close = host.find(']');
    if (close == host.npos) return false;
    name = std::string(host.substr(1, close - 1));
    rest = host.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
  } else {
    const size_t colon = host.find(':');
    name = std::string(host.substr(0, colon));
    if (colon != host.npos) rest = host.substr(colon);
  }
  if (!rest.empty()) {
    const std::string_view digits = rest.substr(1);
    if (digits.empty() || digits.size() > 5) return false;
    long value = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = static_cast<INTERNET_PORT>(value);
  }
  if (name.empty()) return false;
  for (char c : name) {  // nothing that would change the meaning of the URL
    if (c == '/' || c == '?' || c == '#' || c == '@' || c == '\\' || static_cast<unsigned char>(c) <= ' ') {
      return false;
    }
  }
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
  std::string name;
  INTERNET_PORT port = 0;
  if (!SplitHost(host, name, port)) return "";
  std::string requestPath;
  if (path.empty() || path.front() != '/') requestPath = "/";
  requestPath += path;

  const std::string wireBody = qv::codepage::FromUtf8(body);
  const RequestLimits limits = LimitsFor(GetTransportTimeouts(), KindOfRequest(body), wireBody.size());
  InternetHandle session(InternetOpenW(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return "";
  DWORD connect = static_cast<DWORD>(limits.connectMilliseconds > 0 ? limits.connectMilliseconds : 0);
  DWORD silence = static_cast<DWORD>(limits.silenceMilliseconds > 0 ? limits.silenceMilliseconds : 0);
  if (connect > 0) InternetSetOptionW(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  if (silence > 0) {
    InternetSetOptionW(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &silence, sizeof silence);
    InternetSetOptionW(session.get(), INTERNET_OPTION_SEND_TIMEOUT, &silence, sizeof silence);
  }
  InternetHandle connection(InternetConnectW(session.get(), Wide(name).c_str(), port, nullptr, nullptr,
                                             INTERNET_SERVICE_HTTP, 0, 0));
  if (!connection) return "";
  const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_PRAGMA_NOCACHE |
                      INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_AUTH;
  InternetHandle request(HttpOpenRequestW(connection.get(), L"POST", Wide(requestPath).c_str(),
                                          httpVersion == "HTTP/1.0" ? L"HTTP/1.0" : L"HTTP/1.1", nullptr, nullptr,
                                          flags, 0));
  if (!request) return "";

  // The session id: the cookie's value (empty before the login).
  std::string sessionId = GetSessionCookie("http://" + std::string(host) + requestPath, kSessionCookie);
  const size_t end = sessionId.find_first_of(std::string("\r\n\0", 3));
  if (end != std::string::npos) sessionId.erase(end);
  sessionId = std::string(TrimSpaces(sessionId));
  const std::wstring headers = Wide("Content-Type: application/x-www-form-urlencoded\r\n" +
                                    std::string(kSessionCookie) + ": " + sessionId + "\r\n");
  if (!HttpAddRequestHeadersW(request.get(), headers.c_str(), static_cast<DWORD>(-1L),
                              HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
    return "";
  }
  // No connection outlives its request: WinInet keeps idle connections for
  // the whole process and sends a request again, unasked, when a kept
  // connection turns out closed, which would carry out a batch twice.
  HttpAddRequestHeadersW(request.get(), L"Connection: close\r\n", static_cast<DWORD>(-1L),
                         HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);

  qv::ui::WaitScope wait("Connecting to " + std::string(host) + " ...");
  const auto started = std::chrono::steady_clock::now();
  auto cut = [&](WaitEnd end) {
    errorCode = ErrorNumberOf(end);
    errorMessage = MessageOf(end, limits);
    return std::string();
  };
  if (!HttpSendRequestW(request.get(), nullptr, 0, wireBody.empty() ? nullptr : const_cast<char*>(wireBody.data()),
                        static_cast<DWORD>(wireBody.size()))) {
    const DWORD code = GetLastError();
    if (code == ERROR_INTERNET_TIMEOUT) return cut(WaitEnd::Silence);
    errorCode = static_cast<int32_t>(code);
    errorMessage = FailureMessage(code);
    return "";
  }

  wchar_t status[4] = {};
  DWORD statusSize = sizeof status;
  if (HttpQueryInfoW(request.get(), HTTP_QUERY_STATUS_CODE, status, &statusSize, nullptr) ||
      GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
    if (status[0] == L'4' && status[1] == L'0' && status[2] == L'4') {
      errorCode = kErrorPageNotFound;
      errorMessage = kNotFoundMessage;
      return "";
    }
  }

  // Every other status is a reply; a read that fails ends it with what has
  // arrived. The whole answer's limit and the person's cancelling end the
  // request without one.
  std::string received;
  char chunk[kChunk];
  for (;;) {
    if (wait.Cancelled()) return cut(WaitEnd::Cancelled);
    if (limits.totalMilliseconds > 0 &&
        std::chrono::steady_clock::now() - started > std::chrono::milliseconds(limits.totalMilliseconds)) {
      return cut(WaitEnd::Total);
    }
    DWORD read = 0;
    if (!InternetReadFile(request.get(), chunk, kChunk, &read)) {
      if (GetLastError() == ERROR_INTERNET_TIMEOUT) return cut(WaitEnd::Silence);
      break;
    }
    if (read == 0) break;
    received.append(chunk, read);
  }
  if (qv::codepage::IsValidUtf8(received)) return received;
  return qv::codepage::ToUtf8(received);
}

}  // namespace qvsync
