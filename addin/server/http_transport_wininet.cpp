// The HTTP transport on WinInet (modWinInet as Windows runs it): one session,
// connection and request per call, all closed at its end; the cookies the
// server sets are kept by WinInet's cookie store, and the session cookie's
// value goes into the "Quorvia-SessionId" header of every request.
#include <windows.h>
#include <wininet.h>

#include <chrono>
#include <mutex>
#include <string>

#include "addin/codec/strings.h"
#include "addin/server/http_transport.h"
#include "platform/codepage/codepage.h"

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

  const TransportTimeouts timeouts = GetTransportTimeouts();
  InternetHandle session(InternetOpenW(kAgent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return "";
  // A stall is bounded by the receive and send time-outs (each wait for data);
  // the whole request, when bounded, by the clock below as well.
  DWORD connect = static_cast<DWORD>(timeouts.connectMilliseconds > 0 ? timeouts.connectMilliseconds : 0);
  DWORD stall = static_cast<DWORD>(timeouts.stallSeconds > 0 ? timeouts.stallSeconds * 1000 : 0);
  if (timeouts.totalMilliseconds > 0 && (stall == 0 || static_cast<DWORD>(timeouts.totalMilliseconds) < stall)) {
    stall = static_cast<DWORD>(timeouts.totalMilliseconds);
  }
  if (connect > 0) InternetSetOptionW(session.get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof connect);
  if (stall > 0) {
    InternetSetOptionW(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &stall, sizeof stall);
    InternetSetOptionW(session.get(), INTERNET_OPTION_SEND_TIMEOUT, &stall, sizeof stall);
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
  const size_t cut = sessionId.find_first_of(std::string("\r\n\0", 3));
  if (cut != std::string::npos) sessionId.erase(cut);
  sessionId = std::string(TrimSpaces(sessionId));
  const std::wstring headers = Wide("Content-Type: application/x-www-form-urlencoded\r\n" +
                                    std::string(kSessionCookie) + ": " + sessionId + "\r\n");
  if (!HttpAddRequestHeadersW(request.get(), headers.c_str(), static_cast<DWORD>(-1L),
                              HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE)) {
    return "";
  }

  std::string wireBody = qv::codepage::FromUtf8(body);
  const auto started = std::chrono::steady_clock::now();
  if (!HttpSendRequestW(request.get(), nullptr, 0, wireBody.empty() ? nullptr : wireBody.data(),
                        static_cast<DWORD>(wireBody.size()))) {
    const DWORD code = GetLastError();
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

  // Every other status is a reply; a read that fails, or the whole request's
  // time running out, ends it with what has arrived.
  std::string received;
  char chunk[kChunk];
  for (;;) {
    DWORD read = 0;
    if (!InternetReadFile(request.get(), chunk, kChunk, &read) || read == 0) break;
    received.append(chunk, read);
    if (timeouts.totalMilliseconds > 0 &&
        std::chrono::steady_clock::now() - started > std::chrono::milliseconds(timeouts.totalMilliseconds)) {
      break;
    }
  }
  if (qv::codepage::IsValidUtf8(received)) return received;
  return qv::codepage::ToUtf8(received);
}

}  // namespace qvsync
