// The transport on WinInet, against a server in this test on loopback that
// keeps the raw bytes of each request and answers with a canned reply.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "addin/server/http_transport.h"
#include "platform/ui/ui.h"

namespace qvsync {
namespace {

constexpr const char* kPath = "/Servlet/Request.aspx";

// A listening socket on loopback, on a port the system chooses.
bool ListenOnLoopback(SOCKET* listener, int* port) {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  *listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  if (bind(*listener, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(*listener, 4) != 0 ||
      getsockname(*listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    ADD_FAILURE() << "cannot listen on loopback";
    return false;
  }
  *port = ntohs(address.sin_port);
  return true;
}

// Answers each connection with the next reply (the last one again once they
// are used up).
class CannedServer {
 public:
  explicit CannedServer(std::vector<std::string> replies) : replies_(std::move(replies)) {
    if (!ListenOnLoopback(&listener_, &port_)) return;
    thread_ = std::thread([this] { Serve(); });
  }
  ~CannedServer() {
    closesocket(listener_);  // ends accept
    if (thread_.joinable()) thread_.join();
    WSACleanup();
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> requests() {
    std::lock_guard<std::mutex> hold(lock_);
    return requests_;
  }

 private:
  void Serve() {
    for (size_t n = 0;; ++n) {
      SOCKET connection = accept(listener_, nullptr, nullptr);
      if (connection == INVALID_SOCKET) return;
      std::string request = Read(connection);
      {
        std::lock_guard<std::mutex> hold(lock_);
        requests_.push_back(request);
      }
      const std::string& reply = replies_[std::min(n, replies_.size() - 1)];
      send(connection, reply.data(), static_cast<int>(reply.size()), 0);
      closesocket(connection);
    }
  }
  static std::string Read(SOCKET connection) {
    std::string request;
    char buffer[4096];
    for (;;) {
      const size_t end = request.find("\r\n\r\n");
      if (end != std::string::npos) {
        size_t length = 0;
        const size_t at = request.find("Content-Length: ");
        if (at != std::string::npos) length = std::stoul(request.substr(at + 16));
        if (request.size() >= end + 4 + length) return request;
      }
      const int got = recv(connection, buffer, sizeof buffer, 0);
      if (got <= 0) return request;
      request.append(buffer, static_cast<size_t>(got));
    }
  }

  std::vector<std::string> replies_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::string> requests_;
};

// A server that misbehaves in time: kSilent reads the request and never
// answers; kTrickle sends a head that announces a large body and then that
// body a byte every 100 ms, for as long as the client listens.
class StallingServer {
 public:
  enum Mode { kSilent, kTrickle };
  explicit StallingServer(Mode mode) : mode_(mode) {
    if (!ListenOnLoopback(&listener_, &port_)) return;
    thread_ = std::thread([this] { Serve(); });
  }
  ~StallingServer() {
    stop_ = true;
    closesocket(listener_);
    if (thread_.joinable()) thread_.join();
    WSACleanup();
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }

 private:
  void Serve() {
    std::vector<std::thread> clients;
    for (;;) {
      SOCKET connection = accept(listener_, nullptr, nullptr);
      if (connection == INVALID_SOCKET) break;
      clients.emplace_back([this, connection] {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
          const int got = recv(connection, buffer, sizeof buffer, 0);
          if (got <= 0) break;
          request.append(buffer, static_cast<size_t>(got));
        }
        if (mode_ == kTrickle) {
          const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n<";
          send(connection, head.data(), static_cast<int>(head.size()), 0);
        }
        while (!stop_) {
          Sleep(100);
          if (mode_ == kTrickle && send(connection, "x", 1, 0) != 1) break;
        }
        closesocket(connection);
      });
    }
    for (std::thread& client : clients) client.join();
  }

  Mode mode_;
  SOCKET listener_ = INVALID_SOCKET;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string Reply(const std::string& status, const std::string& body, const std::string& headers = "") {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + headers + "\r\n" + body;
}

bool HasLine(const std::string& request, const std::string& line) {
  return request.find("\r\n" + line + "\r\n") != std::string::npos;
}

class WinInetTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearCookieStore();
    SetTransportTimeouts(TransportTimeouts{});
  }
  void TearDown() override { SetTransportTimeouts(TransportTimeouts{}); }
  std::string Post(const std::string& host, const std::string& body, const std::string& version = "") {
    return HttpPost(host, kPath, body, version, code_, message_);
  }
  int32_t code_ = -1;
  std::string message_ = "unset";
};

TEST_F(WinInetTransport, TheRequestAndTheSessionCookie) {
  CannedServer server({Reply("200 OK", "<R/>", "Set-Cookie: Quorvia-SessionId=abc123; Path=/\r\n"),
                       Reply("200 OK", "<S/>")});
  // UTF-8 in, the code page on the wire.
  EXPECT_EQ(Post(server.host(), "Cmd=LOGIN&A=\xC3\xA9"), "<R/>");
  EXPECT_EQ(code_, 0);
  EXPECT_EQ(message_, "");
  EXPECT_EQ(Post(server.host(), "Cmd=LIST", "HTTP/1.0"), "<S/>");
  const std::vector<std::string> requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const std::string& first = requests[0];
  EXPECT_EQ(first.rfind(std::string("POST ") + kPath + " HTTP/1.1\r\n", 0), 0u) << first;
  EXPECT_TRUE(HasLine(first, "User-Agent: http generic")) << first;
  EXPECT_TRUE(HasLine(first, "Content-Type: application/x-www-form-urlencoded")) << first;
  // Before the login the session header goes out with an empty value.
  EXPECT_TRUE(HasLine(first, "Quorvia-SessionId:") || HasLine(first, "Quorvia-SessionId: ")) << first;
  EXPECT_EQ(first.substr(first.find("\r\n\r\n") + 4), "Cmd=LOGIN&A=\xE9");
  const std::string& second = requests[1];
  EXPECT_EQ(second.rfind(std::string("POST ") + kPath + " HTTP/1.0\r\n", 0), 0u) << second;
  EXPECT_TRUE(HasLine(second, "Quorvia-SessionId: abc123")) << second;
  EXPECT_EQ(GetSessionCookie("http://" + server.host() + kPath, "Quorvia-SessionId"), "abc123");
  ClearCookieStore();
  EXPECT_EQ(GetSessionCookie("http://" + server.host() + kPath, "Quorvia-SessionId"), "");
}

TEST_F(WinInetTransport, RepliesWhateverTheirStatusButNotFound) {
  struct Case {
    std::string reply;
    std::string text;
    int32_t code;
  } cases[] = {
      {Reply("500 Internal Server Error", "<html>broken</html>"), "<html>broken</html>", 0},
      {Reply("200 OK", "Zo\xC3\xAB \xE2\x82\xAC"), "Zo\xC3\xAB \xE2\x82\xAC", 0},  // UTF-8 kept
      {Reply("200 OK", "Zo\xEB \x80"), "Zo\xC3\xAB \xE2\x82\xAC", 0},              // else the code page
      {Reply("200 OK", ""), "", 0},
      {Reply("404 Not Found", "<html>no</html>"), "", 404},
  };
  for (const Case& c : cases) {
    CannedServer server({c.reply});
    EXPECT_EQ(Post(server.host(), "Cmd=X"), c.text);
    EXPECT_EQ(code_, c.code);
    EXPECT_EQ(message_, c.code == 404 ? "Required page not found on the server that was specified. Make sure that "
                                        "web mail is configured at the server name used."
                                      : "");
  }
}

TEST_F(WinInetTransport, FailuresCarryTheSystemsNumber) {
  // A port nobody listens on: the listener of a server that has ended.
  std::string refused;
  {
    CannedServer gone({Reply("200 OK", "")});
    refused = gone.host();
  }
  EXPECT_EQ(Post(refused, "Cmd=X"), "");
  EXPECT_EQ(code_, 12029);
  EXPECT_EQ(message_, "Could not connect to server (error 12029). Check the server details entered.");

  // A host that cannot be one sends nothing and reports nothing.
  for (const char* host : {"", "a/b", "host:0", "host:65536", "[::1", "ex ample"}) {
    EXPECT_EQ(Post(host, "Cmd=X"), "") << host;
    EXPECT_EQ(code_, 0) << host;
    EXPECT_EQ(message_, "") << host;
  }
}

// The limits hold whatever WinInet itself does with its time-outs: a server
// that takes the request and never answers is given up after the silence
// limit, one that trickles its answer at the whole answer's limit.
TEST_F(WinInetTransport, ASilentOrTricklingServerIsGivenUpAtItsLimit) {
  TransportTimeouts timeouts;
  timeouts.silenceMilliseconds = 1000;
  timeouts.itemMilliseconds = 2500;
  SetTransportTimeouts(timeouts);
  struct Case {
    StallingServer::Mode mode;
    std::string message;
    long atLeast;
  } cases[] = {
      {StallingServer::kSilent, "The server did not answer within 1 second (error 12002).", 900},
      {StallingServer::kTrickle, "The server's answer did not arrive in full within 3 seconds (error 12002).", 2400},
  };
  for (const Case& c : cases) {
    StallingServer server(c.mode);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Post(server.host(), "Cmd=GET-TASK&ID=1"), "");
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_GE(took.count(), c.atLeast);
    EXPECT_LT(took.count(), 6000);
    EXPECT_EQ(code_, 12002);
    EXPECT_EQ(message_, c.message);
  }
}

// A person who cancels ends the wait at once, before a byte of the answer
// has come, and the front end was told whom the request waited for.
TEST_F(WinInetTransport, ACancelledWaitEndsAtOnce) {
  qv::ui::ScriptedFrontEnd frontEnd;
  qv::ui::ScopedFrontEnd installed(&frontEnd);
  frontEnd.CancelWaitsAfter(3);
  for (auto mode : {StallingServer::kSilent, StallingServer::kTrickle}) {
    StallingServer server(mode);
    frontEnd.Clear();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Post(server.host(), "Cmd=LOGIN&Username=a"), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(code_, 12017);
    EXPECT_EQ(message_, "The request to the server was cancelled (error 12017).");
    EXPECT_EQ(frontEnd.waits(), std::vector<std::string>{"Connecting to " + server.host() + " ..."});
  }
}

}  // namespace
}  // namespace qvsync
