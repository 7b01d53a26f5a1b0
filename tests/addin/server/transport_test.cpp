// HttpPost against the servlet emulator on loopback.
#include "addin/server/host_address.h"
#include "addin/server/http_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/addin/server/server_fixture.h"
#include "tests/common/stalling_server.h"

namespace qvsync::testing {
namespace {

using qv::servlet::Fault;

constexpr const char* kPath = "/QvWebMail/Bramble/Servlet/Request.aspx";

// A one-shot server on loopback that keeps the raw bytes of one request and
// answers it with `reply`, so that the exact request can be checked.
class RawCapture {
 public:
  explicit RawCapture(std::string reply) : reply_(std::move(reply)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "cannot listen on loopback";
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~RawCapture() {
    if (thread_.joinable()) thread_.join();
    close(listener_);
  }
  std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
  // The request as received; waits for the exchange to end.
  std::string request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  void Serve() {
    int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) return;
    char buffer[4096];
    // Read up to the end of the headers and the announced body.
    for (;;) {
      size_t headerEnd = request_.find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        size_t length = 0;
        size_t at = request_.find("Content-Length: ");
        if (at != std::string::npos) length = std::stoul(request_.substr(at + 16));
        if (request_.size() >= headerEnd + 4 + length) break;
      }
      ssize_t n = recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request_.append(buffer, static_cast<size_t>(n));
    }
    send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    close(connection);
  }

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::string request_;
};

class TransportTest : public ServerTest {
 protected:
  std::string Post(const std::string& body) { return Post(body, servlet_.host()); }
  std::string Post(const std::string& body, const std::string& host) {
    return HttpPost(host, kPath, body, version_, code_, message_);
  }
  std::string version_;
  int32_t code_ = -1;
  std::string message_ = "unset";
};

TEST_F(TransportTest, SendsTheRequestOfTheProtocol) {
  std::string reply = Post("Cmd=GET-AUTORESPONSE");
  EXPECT_EQ(code_, 0);
  EXPECT_EQ(message_, "");
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].path, kPath);
  EXPECT_EQ(requests[0].version, "HTTP/1.1");
  EXPECT_EQ(requests[0].userAgent, "http generic");
  EXPECT_EQ(requests[0].contentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].body, "Cmd=GET-AUTORESPONSE");
  EXPECT_EQ(requests[0].cookieHeader, "");
  EXPECT_NE(reply.find("Your session has expired"), std::string::npos);
}

TEST_F(TransportTest, RequestBytesBeforeLogin) {
  RawCapture capture("HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\n<R/>");
  EXPECT_EQ(HttpPost(capture.host(), "/Servlet/Request.aspx", "Cmd=LOGIN&A=%u00E9", "", code_,
                     message_),
            "<R/>");
  std::string request = capture.request();
  // Before any login the session header goes out with an empty value.
  EXPECT_EQ(request,
            "POST /Servlet/Request.aspx HTTP/1.1\r\n"
            "Host: " + capture.host() + "\r\n"
            "User-Agent: http generic\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            "Quorvia-SessionId:\r\n"
            "Cache-Control: no-cache\r\n"
            "Pragma: no-cache\r\n"
            "Content-Length: 18\r\n"
            "\r\n"
            "Cmd=LOGIN&A=%u00E9");
}

TEST_F(TransportTest, ConfiguredHttp10GoesOnTheRequestLine) {
  version_ = "HTTP/1.0";
  Post("Cmd=GET-AUTORESPONSE");
  version_ = "";
  Post("Cmd=GET-AUTORESPONSE");
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].version, "HTTP/1.0");
  EXPECT_EQ(requests[1].version, "HTTP/1.1");
}

TEST_F(TransportTest, SessionCookieIsSentBackAndCopiedIntoTheHeader) {
  std::string login = Post("Cmd=LOGIN&Username=alice&Password=secret&Client=QVSYNC");
  ASSERT_NE(login.find("<RETURNVALUE>1</RETURNVALUE>"), std::string::npos) << login;
  std::string session = GetSessionCookie("http://" + servlet_.host() + kPath, "Quorvia-SessionId");
  ASSERT_EQ(session.size(), 32u);

  std::string reply = Post("Cmd=GET-AUTORESPONSE");
  EXPECT_NE(reply.find("<RETURNVALUE>1</RETURNVALUE>"), std::string::npos) << reply;
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].sessionHeader, session);
  EXPECT_EQ(requests[1].cookieHeader, "Quorvia-SessionId=" + session);

  // The cookie belongs to the host, whatever the path; a new session forgets it.
  EXPECT_EQ(GetSessionCookie("http://" + servlet_.host() + "/other", "Quorvia-SessionId"), session);
  EXPECT_EQ(GetSessionCookie("http://other.example/", "Quorvia-SessionId"), "");
  EXPECT_EQ(GetSessionCookie("http://" + servlet_.host() + kPath, "Other"), "");
  ClearCookieStore();
  EXPECT_EQ(GetSessionCookie("http://" + servlet_.host() + kPath, "Quorvia-SessionId"), "");
}

TEST_F(TransportTest, ServerErrorPageIsTheReply) {
  servlet_.SetFault(Fault::kServerError);
  std::string reply = Post("Cmd=GET-AUTORESPONSE");
  EXPECT_EQ(reply.substr(0, 6), "<HTML>");
  EXPECT_EQ(code_, 0);
  EXPECT_EQ(message_, "");
}

TEST_F(TransportTest, BatchCanBeAnsweredWithAnHtmlPage) {
  Post("Cmd=LOGIN&Username=alice&Password=secret&Client=QVSYNC");
  servlet_.SetFault(Fault::kBatchAsHtml);
  EXPECT_EQ(Post("Cmd=BATCH&Batch=Cmd=GET-TASK\rID=x").substr(0, 6), "<HTML>");
  EXPECT_EQ(code_, 0);
  EXPECT_NE(Post("Cmd=GET-AUTORESPONSE").find("<RETURNVALUE>1</RETURNVALUE>"), std::string::npos);
}

TEST_F(TransportTest, NotFoundGivesItsMessageAndNoReply) {
  servlet_.SetPathEnabled(kPath, false);
  std::string reply = Post("Cmd=GET-AUTORESPONSE");
  EXPECT_EQ(reply, "");
  EXPECT_EQ(code_, 404);
  EXPECT_EQ(message_,
            "Required page not found on the server that was specified. Make sure that web mail "
            "is configured at the server name used.");
}

TEST_F(TransportTest, Utf8ReplyKeepsItsCharacters) {
  servlet_.SetCannedReply("X", "<R>Caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\xAD \xF0\x9F\x98\x80</R>");
  EXPECT_EQ(Post("Cmd=X"), "<R>Caf\xC3\xA9 \xE2\x82\xAC \xE4\xB8\xAD \xF0\x9F\x98\x80</R>");
}

TEST_F(TransportTest, ReplyThatIsNotUtf8IsTakenInTheCodePage) {
  servlet_.SetCannedReply("X", "<R>Caf\xE9 \x80</R>");
  EXPECT_EQ(Post("Cmd=X"), "<R>Caf\xC3\xA9 \xE2\x82\xAC</R>");
  // One stray byte in a UTF-8 reply: only that byte is read in the code page.
  servlet_.SetCannedReply("X", "<R>Jos\xC3\xA9 M\xC3\xBCller \xE9</R>");
  EXPECT_EQ(Post("Cmd=X"), "<R>Jos\xC3\xA9 M\xC3\xBCller \xC3\xA9</R>");
  // A truncated character at the very end, too.
  servlet_.SetCannedReply("X", "<R>\xE2\x82\xAC\xE2\x82");
  EXPECT_EQ(Post("Cmd=X"), "<R>\xE2\x82\xAC\xC3\xA2\xE2\x80\x9A");
}

TEST_F(TransportTest, BodyTravelsInTheCodePage) {
  Post("Cmd=X&Subject=caf\xC3\xA9 \xE2\x82\xAC");
  auto requests = Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].body, "Cmd=X&Subject=caf\xE9 \x80");
}

TEST_F(TransportTest, UnresolvableHostGives12007) {
  std::string reply = Post("Cmd=LOGIN", "no-such-host.invalid");
  EXPECT_EQ(reply, "");
  EXPECT_EQ(code_, 12007);
  EXPECT_EQ(message_, "Could not resolve the server name. Check the server details entered.");
}

TEST_F(TransportTest, RefusedConnectionGives12029) {
  // A socket bound but not listening refuses connections and keeps its port
  // from being taken by anyone else meanwhile.
  int bound = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(bound, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(getsockname(bound, reinterpret_cast<sockaddr*>(&address), &size), 0);
  const std::string host = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  EXPECT_EQ(Post("Cmd=LOGIN", host), "");
  close(bound);
  EXPECT_EQ(code_, 12029);
  EXPECT_EQ(message_, "Could not connect to server (error 12029). Check the server details entered.");
}

TEST_F(TransportTest, DroppedConnectionGives12030) {
  servlet_.SetFault(Fault::kDropConnection);
  EXPECT_EQ(Post("Cmd=LOGIN"), "");
  EXPECT_EQ(code_, 12030);
  EXPECT_EQ(message_, "Could not connect to server (error 12030). Check the server details entered.");
  EXPECT_EQ(Requests().size(), 1u);
}

// The limits follow the request: its command, and a batch's size.
TEST(RequestLimits, FollowTheCommandAndABatchsSize) {
  EXPECT_EQ(KindOfRequest("Cmd=LOGIN&Username=a"), RequestKind::Login);
  EXPECT_EQ(KindOfRequest("Cmd=LIST-TASKS&Pagination=None"), RequestKind::List);
  EXPECT_EQ(KindOfRequest("Cmd=BATCH&Batch=x"), RequestKind::Batch);
  EXPECT_EQ(KindOfRequest("Cmd=BATCHES"), RequestKind::Item);
  EXPECT_EQ(KindOfRequest("Cmd=GET-TASK&ID=1"), RequestKind::Item);
  const TransportTimeouts base;  // 10 s to connect, 30 s of silence, 60 s for an item, 180 s for a list
  struct Case {
    RequestKind kind;
    size_t bytes;
    long silence, total;
  } const cases[] = {
      {RequestKind::Login, 5000, 30000, 60000},   {RequestKind::Item, 0, 30000, 60000},
      {RequestKind::List, 100, 30000, 180000},    {RequestKind::Batch, 0, 30000, 60000},
      {RequestKind::Batch, 1, 30250, 60500},      {RequestKind::Batch, 1024, 30250, 60500},
      {RequestKind::Batch, 1025, 30500, 61000},   {RequestKind::Batch, 400 * 1024, 130000, 260000},
  };
  for (const Case& c : cases) {
    const RequestLimits limits = LimitsFor(base, c.kind, c.bytes);
    EXPECT_EQ(limits.connectMilliseconds, 10000);
    EXPECT_EQ(limits.silenceMilliseconds, c.silence) << c.bytes;
    EXPECT_EQ(limits.totalMilliseconds, c.total) << c.bytes;
  }
  EXPECT_EQ(MessageOf(WaitEnd::Silence, LimitsFor(base, RequestKind::Login, 0)),
            "The server did not answer within 30 seconds (error 12002).");
  EXPECT_EQ(MessageOf(WaitEnd::Total, RequestLimits{1000, 1000, 1001}),
            "The server's answer did not arrive in full within 2 seconds (error 12002).");
  EXPECT_EQ(MessageOf(WaitEnd::Connect, RequestLimits{1000, 0, 0}),
            "Could not connect to server (error 12002): no connection within 1 second. Check the server details "
            "entered.");
}

// A server that takes the request and never answers is given up after the
// silence limit, and the message says so (not that no connection was made).
TEST_F(TransportTest, ASilentServerIsGivenUpAfterItsSilenceWithTheCauseNamed) {
  qv::testing::StallingServer silent(qv::testing::StallingServer::kSilent);
  TransportTimeouts timeouts;
  timeouts.silenceMilliseconds = 1000;
  SetTransportTimeouts(timeouts);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Post("Cmd=GET-TASK&ID=1", silent.host()), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(code_, 12002);
  EXPECT_EQ(message_, "The server did not answer within 1 second (error 12002).");
}

// A server that trickles its answer a byte at a time is cut off when the
// whole wait reaches its limit, however it keeps the line alive.
TEST_F(TransportTest, ATricklingServerIsCutOffAtTheWholeLimit) {
  qv::testing::StallingServer trickle(qv::testing::StallingServer::kTrickle);
  TransportTimeouts timeouts;
  timeouts.silenceMilliseconds = 1000;
  timeouts.listMilliseconds = 2000;
  SetTransportTimeouts(timeouts);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Post("Cmd=LIST-TASKS&Pagination=None", trickle.host()), "");
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1900));
  EXPECT_LT(took, std::chrono::seconds(6));
  EXPECT_EQ(code_, 12002);
  EXPECT_EQ(message_, "The server's answer did not arrive in full within 2 seconds (error 12002).");
}

// The person at the front end cancels a wait: it ends at once, whatever the
// limits, and the front end was told whom the request waited for.
TEST_F(TransportTest, ACancelledWaitEndsAtOnce) {
  for (auto mode : {qv::testing::StallingServer::kSilent, qv::testing::StallingServer::kTrickle}) {
    qv::testing::StallingServer server(mode);
    frontEnd_.Clear();
    frontEnd_.CancelWaitsAfter(3);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Post("Cmd=LOGIN&Username=a", server.host()), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(code_, 12017);
    EXPECT_EQ(message_, "The request to the server was cancelled (error 12017).");
    EXPECT_EQ(frontEnd_.waits(), std::vector<std::string>{"Connecting to " + server.host() + " ..."});
  }
}

// Both transports read a host alike: the name without an IPv6 address's
// brackets, the port (80 unless given) at its bounds.
TEST(HostAddressTest, NameAndPort) {
  struct Case {
    const char* host;
    const char* name;
    int port;  // 0: no server named
  } cases[] = {
      {"mail.example.com", "mail.example.com", 80}, {"h:1", "h", 1},          {"h:65535", "h", 65535},
      {"[::1]", "::1", 80},                         {"[::1]:8080", "::1", 8080}, {"h:00080", "h", 80},
      {"h:0", "", 0},                               {"h:65536", "", 0},          {"h:100000", "", 0},
      {"[::1]x", "", 0},                            {"h\x7f", "", 0},           {":80", "", 0},
  };
  for (const Case& c : cases) {
    HostAddress address;
    EXPECT_EQ(ParseHostAddress(c.host, &address), c.port != 0) << c.host;
    if (c.port == 0) continue;
    EXPECT_EQ(address.name, c.name) << c.host;
    EXPECT_EQ(address.port, c.port) << c.host;
    EXPECT_EQ(address.bracketed, c.host[0] == '[') << c.host;
  }
}

TEST_F(TransportTest, MalformedHostSendsNothing) {
  for (const char* host : {"", "bad host", "evil.example/x?", "name:", "name:99999", "name:8x",
                           "[::1"}) {
    code_ = -1;
    EXPECT_EQ(Post("Cmd=LOGIN", host), "") << host;
    EXPECT_EQ(code_, 0) << host;
    EXPECT_EQ(message_, "") << host;
  }
  EXPECT_TRUE(Requests().empty());
}

}  // namespace
}  // namespace qvsync::testing
