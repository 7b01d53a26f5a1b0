#include "addin/server/http_transport.h"

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "addin/codec/strings.h"
#include "addin/server/host_address.h"
#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"

namespace qvsync {
namespace {

constexpr const char* kAgent = "http generic";
constexpr const char* kResolveMessage =
    "Could not resolve the server name. Check the server details entered.";
constexpr const char* kNotFoundMessage =
    "Required page not found on the server that was specified. Make sure that web mail is "
    "configured at the server name used.";
constexpr const char* kSessionCookie = "Quorvia-SessionId";

// libcurl's global state and the process-wide cookie store. The share object
// owns the cookies; its lock callbacks make it safe on any thread.
class CookieStore {
 public:
  CookieStore() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    share_ = curl_share_init();
    if (share_ != nullptr) {
      curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
      curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CookieStore::Lock);
      curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CookieStore::Unlock);
      curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    }
  }
  ~CookieStore() {
    if (share_ != nullptr) curl_share_cleanup(share_);
  }
  CookieStore(const CookieStore&) = delete;
  CookieStore& operator=(const CookieStore&) = delete;

  CURLSH* share() const { return share_; }

 private:
  static void Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
    static_cast<CookieStore*>(self)->MutexFor(data).lock();
  }
  static void Unlock(CURL*, curl_lock_data data, void* self) {
    static_cast<CookieStore*>(self)->MutexFor(data).unlock();
  }
  std::mutex& MutexFor(curl_lock_data data) {
    size_t index = static_cast<size_t>(data);
    return mutexes_[index < mutexes_.size() ? index : 0];
  }

  CURLSH* share_ = nullptr;
  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;
};

CookieStore& Cookies() {
  static CookieStore store;
  return store;
}

std::mutex& TimeoutsMutex() {
  static std::mutex mutex;
  return mutex;
}

TransportTimeouts& Timeouts() {
  static TransportTimeouts timeouts;
  return timeouts;
}

struct EasyDeleter {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct UrlDeleter {
  void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;
using Url = std::unique_ptr<CURLU, UrlDeleter>;
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

// The error number the add-in shows for a request that got no answer.
int32_t TransportErrorNumber(CURLcode code) {
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
      return kErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
      return kErrorCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorTimeout;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
      return kErrorConnectionAborted;
    case CURLE_RECV_ERROR:
      return kErrorConnectionReset;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_BAD_CONTENT_ENCODING:
      return kErrorInvalidResponse;
    default:
      return kErrorInternal;
  }
}

size_t CollectBody(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

bool PathMatches(std::string_view cookiePath, std::string_view requestPath) {
  if (cookiePath.empty() || cookiePath == "/") return true;
  if (requestPath.substr(0, cookiePath.size()) != cookiePath) return false;
  return requestPath.size() == cookiePath.size() || cookiePath.back() == '/' ||
         requestPath[cookiePath.size()] == '/';
}

bool DomainMatches(std::string domain, bool tailMatch, std::string_view host) {
  const auto lower = [](std::string v) {
    for (char& c : v) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return v;
  };
  domain = lower(domain);
  std::string h = lower(std::string(host));
  if (!domain.empty() && domain.front() == '.') domain.erase(0, 1);
  if (h == domain) return true;
  return tailMatch && h.size() > domain.size() &&
         h.compare(h.size() - domain.size(), domain.size(), domain) == 0 &&
         h[h.size() - domain.size() - 1] == '.';
}

struct MultiDeleter {
  void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};

// Runs the request on `easy` to its end, or until a limit or the person cuts
// the wait short: then the reason. The front end is told whom the request
// waits for and asked, several times a second, whether the person cancelled.
std::optional<WaitEnd> Perform(CURL* easy, const RequestLimits& limits, const std::string& waitingFor,
                               CURLcode* result) {
  using Clock = std::chrono::steady_clock;
  std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!multi || curl_multi_add_handle(multi.get(), easy) != CURLM_OK) {
    *result = CURLE_FAILED_INIT;
    return std::nullopt;
  }
  qv::ui::WaitScope wait(waitingFor);
  const Clock::time_point start = Clock::now();
  Clock::time_point lastMoved = start;
  curl_off_t lastBytes = 0;
  std::optional<WaitEnd> cut;
  *result = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi.get(), &running) != CURLM_OK) {
      *result = CURLE_FAILED_INIT;
      break;
    }
    if (running == 0) {
      int left = 0;
      while (CURLMsg* message = curl_multi_info_read(multi.get(), &left)) {
        if (message->msg == CURLMSG_DONE) *result = message->data.result;
      }
      // A connection that was never made within its limit.
      if (*result == CURLE_OPERATION_TIMEDOUT) cut = WaitEnd::Connect;
      break;
    }
    if (wait.Cancelled()) {
      cut = WaitEnd::Cancelled;
      break;
    }
    const Clock::time_point now = Clock::now();
    curl_off_t sent = 0, got = 0;
    curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &sent);
    curl_easy_getinfo(easy, CURLINFO_SIZE_DOWNLOAD_T, &got);
    if (sent + got != lastBytes) {
      lastBytes = sent + got;
      lastMoved = now;
    }
    curl_off_t connected = 0;
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connected);
    const auto since = [now](Clock::time_point then) {
      return std::chrono::duration_cast<std::chrono::milliseconds>(now - then).count();
    };
    // Silence counts once the connection is made (connecting has its own limit).
    if (connected > 0 && since(lastMoved) >= limits.silenceMilliseconds) {
      cut = WaitEnd::Silence;
      break;
    }
    if (since(start) >= limits.totalMilliseconds) {
      cut = connected > 0 ? WaitEnd::Total : WaitEnd::Connect;
      break;
    }
    // A tenth of a second at most between looks at the person and the clock.
    curl_multi_poll(multi.get(), nullptr, 0, 100, nullptr);
  }
  curl_multi_remove_handle(multi.get(), easy);
  return cut;
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
  // "http://host[:port]/path"
  std::string_view rest = url;
  if (rest.substr(0, 7) == "http://") rest.remove_prefix(7);
  size_t slash = rest.find('/');
  std::string_view hostPart = rest.substr(0, slash);
  std::string_view path = slash == rest.npos ? std::string_view("/") : rest.substr(slash);
  HostAddress address;
  if (!ParseHostAddress(hostPart, &address)) return "";
  const std::string& host = address.name;

  CookieStore& store = Cookies();
  Easy easy(curl_easy_init());
  if (!easy || store.share() == nullptr) return "";
  curl_easy_setopt(easy.get(), CURLOPT_SHARE, store.share());
  curl_slist* raw = nullptr;
  if (curl_easy_getinfo(easy.get(), CURLINFO_COOKIELIST, &raw) != CURLE_OK) return "";
  HeaderList cookies(raw);

  // Netscape lines: domain, tail match, path, secure, expiry, name, value.
  std::string best;
  size_t bestPathLength = 0;
  bool found = false;
  const long long now = static_cast<long long>(std::time(nullptr));
  for (curl_slist* line = cookies.get(); line != nullptr; line = line->next) {
    std::string_view text = line->data;
    std::vector<std::string> fields;
    for (int i = 1; i <= 7; ++i) fields.push_back(GetToken(text, "\t", i));
    std::string domain = fields[0];
    const std::string httpOnly = "#HttpOnly_";
    if (domain.compare(0, httpOnly.size(), httpOnly) == 0) domain.erase(0, httpOnly.size());
    if (fields[5] != name) continue;
    if (fields[3] == "TRUE") continue;  // secure cookies never travel over plain HTTP
    long long expiry = std::atoll(fields[4].c_str());
    if (expiry != 0 && expiry < now) continue;
    if (!DomainMatches(domain, fields[1] == "TRUE", host)) continue;
    if (!PathMatches(fields[2], path)) continue;
    if (!found || fields[2].size() > bestPathLength) {
      best = fields[6];
      bestPathLength = fields[2].size();
      found = true;
    }
  }
  return best;
}

void ClearCookieStore() {
  CookieStore& store = Cookies();
  Easy easy(curl_easy_init());
  if (!easy || store.share() == nullptr) return;
  curl_easy_setopt(easy.get(), CURLOPT_SHARE, store.share());
  curl_easy_setopt(easy.get(), CURLOPT_COOKIELIST, "ALL");
}

std::string HttpPost(std::string_view host, std::string_view path, std::string_view body,
                     std::string_view httpVersion, int32_t& errorCode, std::string& errorMessage) {
  errorCode = 0;
  errorMessage.clear();

  HostAddress address;
  if (!ParseHostAddress(host, &address)) return "";
  // libcurl takes an IPv6 address in its brackets.
  const std::string name = address.bracketed ? "[" + address.name + "]" : address.name;
  const std::string port = std::to_string(address.port);
  CookieStore& store = Cookies();
  Easy easy(curl_easy_init());
  Url url(curl_url());
  if (!easy || !url) return "";
  std::string requestPath;
  if (path.empty() || path.front() != '/') requestPath = "/";
  requestPath += path;
  if (curl_url_set(url.get(), CURLUPART_SCHEME, "http", 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_HOST, name.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PORT, port.c_str(), 0) != CURLUE_OK ||
      curl_url_set(url.get(), CURLUPART_PATH, requestPath.c_str(), 0) != CURLUE_OK) {
    return "";
  }

  // The session id: the cookie's value, cut at a NUL or line break, trimmed.
  std::string cookieHost(host);
  std::string sessionId =
      GetSessionCookie("http://" + cookieHost + requestPath, kSessionCookie);
  size_t cut = sessionId.find_first_of(std::string("\r\n\0", 3));
  if (cut != std::string::npos) sessionId.erase(cut);
  sessionId = std::string(TrimSpaces(sessionId));

  curl_slist* headers = nullptr;
  const auto add = [&headers](const std::string& line) {
    curl_slist* next = curl_slist_append(headers, line.c_str());
    if (next != nullptr) headers = next;
    return next != nullptr;
  };
  HeaderList headerGuard;
  bool headersOk = add("Content-Type: application/x-www-form-urlencoded");
  // "Name;" is libcurl's way to send a header with an empty value.
  headersOk = headersOk && add(sessionId.empty() ? std::string(kSessionCookie) + ";"
                                                 : std::string(kSessionCookie) + ": " + sessionId);
  headersOk = headersOk && add("Cache-Control: no-cache") && add("Pragma: no-cache") &&
              add("Accept:") && add("Expect:");
  headerGuard.reset(headers);
  if (!headersOk) return "";

  const TransportTimeouts timeouts = GetTransportTimeouts();
  const std::string wireBody = qv::codepage::FromUtf8(body);
  std::string received;
  CURL* h = easy.get();
  curl_easy_setopt(h, CURLOPT_CURLU, url.get());
  curl_easy_setopt(h, CURLOPT_USERAGENT, kAgent);
  curl_easy_setopt(h, CURLOPT_POST, 1L);
  curl_easy_setopt(h, CURLOPT_POSTFIELDS, wireBody.data());
  curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(wireBody.size()));
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION,
                   httpVersion == "HTTP/1.0" ? CURL_HTTP_VERSION_1_0 : CURL_HTTP_VERSION_1_1);
  curl_easy_setopt(h, CURLOPT_SHARE, store.share());
  curl_easy_setopt(h, CURLOPT_COOKIEFILE, "");  // switches the cookie engine on
  curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
  curl_easy_setopt(h, CURLOPT_FRESH_CONNECT, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  const RequestLimits limits = LimitsFor(timeouts, KindOfRequest(body), wireBody.size());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, limits.connectMilliseconds);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &CollectBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &received);

  CURLcode result = CURLE_OK;
  if (const std::optional<WaitEnd> end = Perform(h, limits, "Connecting to " + std::string(host) + " ...", &result)) {
    errorCode = ErrorNumberOf(*end);
    errorMessage = MessageOf(*end, limits);
    return "";
  }
  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);

  if (status == 0) {  // no answer at all: the request could not be sent
    if (result == CURLE_OK) return "";
    if (result == CURLE_URL_MALFORMAT || result == CURLE_OUT_OF_MEMORY ||
        result == CURLE_FAILED_INIT) {
      return "";  // the request could not be formed
    }
    errorCode = TransportErrorNumber(result);
    if (errorCode == kErrorNameNotResolved) {
      errorMessage = kResolveMessage;
    } else {
      errorMessage = "Could not connect to server (error " + std::to_string(errorCode) +
                     "). Check the server details entered.";
    }
    return "";
  }
  if (status == 404) {
    errorCode = kErrorPageNotFound;
    errorMessage = kNotFoundMessage;
    return "";
  }
  // Any other status is a reply; a read that broke off keeps what arrived.
  // A stray byte that is not UTF-8 is read in the code page on its own; the
  // rest of the reply stays UTF-8.
  return qv::codepage::Utf8OrCodePageToUtf8(received);
}

}  // namespace qvsync
