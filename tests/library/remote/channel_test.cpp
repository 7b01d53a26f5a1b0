#include "library/remote/channel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "library/remote/remote.h"
#include "platform/registry/registry.h"
#include "tests/common/test_support.h"
#include "tests/library/remote/scripted_server.h"

namespace {

using namespace qvaiso;
using qv::registry::Hive;
using qv::registry::Key;
using qv::testing::ScriptedServer;

std::string MethodOf(const std::string& request) {
  auto method = wire::ElementText(request, "METHOD");
  return method ? std::string(*method) : "";
}

// Answers AUTH, LOAD and PING with success, EXEC and SETTING with `call`.
ScriptedServer::Responder Listener(std::function<std::string(const std::string&)> call = {}) {
  return [call](const std::string& request) -> std::string {
    const std::string method = MethodOf(request);
    if (method == "EXEC" || method == "SETTING") {
      return call ? call(request) : wire::FailureReply("no");
    }
    return std::string(wire::kSuccess);
  };
}

std::string ResultParameter(uint32_t result) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(result), static_cast<uint8_t>(result >> 8),
                            static_cast<uint8_t>(result >> 16), static_cast<uint8_t>(result >> 24)};
  return wire::EncodeParameter(0, std::span<const uint8_t>(bytes, 4));
}

class ChannelTest : public qv::testing::RegistryTest {
 protected:
  void SetUp() override { remote::ResetSessionForTesting(); }
  void TearDown() override {
    remote::ResetSessionForTesting();
    remote::SetConnectFunctionForTesting(nullptr);
  }

  void AddHost(const std::string& name, const std::string& address, int port = -1) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, std::string(remote::kHostsKey) + "\\" + name, &key),
              qv::registry::Status::Ok);
    if (!address.empty()) key.SetString("Address", address);
    if (port >= 0) key.SetDword("Port", static_cast<uint32_t>(port));
    key.SetString("Credentials", "admin:secret");
    key.SetString("Authentication Protocol", "Basic");
  }

  // Records every connect attempt and refuses it.
  void RefuseConnects() {
    remote::SetConnectFunctionForTesting([this](int, const sockaddr_in& address) {
      attempts_.push_back(address);
      errno = ECONNREFUSED;
      return -1;
    });
  }

  std::vector<sockaddr_in> attempts_;
};

TEST_F(ChannelTest, NoHostMeansLocalAndNoSocket) {
  RefuseConnects();
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kServeLocally);
  EXPECT_TRUE(attempts_.empty());
  EXPECT_FALSE(remote::SessionOpenForTesting());
  // The loop-back host name is served here too, without a socket.
  remote::SetCurrentHostName("127.0.0.1");
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kServeLocally);
  EXPECT_TRUE(attempts_.empty());
}

TEST_F(ChannelTest, HostWithoutPortIsReachedOn8081) {
  AddHost("NoPort", "127.0.0.1");
  RefuseConnects();
  remote::SetCurrentHostName("NoPort");
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kConnectFailed);
  ASSERT_EQ(attempts_.size(), 1u);
  EXPECT_EQ(ntohs(attempts_[0].sin_port), 8081);
  EXPECT_EQ(ntohl(attempts_[0].sin_addr.s_addr), INADDR_LOOPBACK);
  EXPECT_FALSE(remote::SessionOpenForTesting());
}

TEST_F(ChannelTest, HostWithoutAddressIsNotConnected) {
  AddHost("Nowhere", "");
  RefuseConnects();
  remote::SetCurrentHostName("Nowhere");
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kConnectFailed);
  EXPECT_TRUE(attempts_.empty());
  uint32_t number = 7;
  EXPECT_EQ(GetRemoteRegistryWord("Nowhere", "SOFTWARE\\X", "Y", &number), 0);
  EXPECT_EQ(number, 7u);
}

TEST_F(ChannelTest, SessionAuthenticatesLoadsAndThenOnlyPings) {
  ScriptedServer server(Listener());
  AddHost("Admin", "127.0.0.1", server.port());
  remote::SetCurrentHostName("Admin");
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);
  EXPECT_EQ(server.connections(), 1);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], wire::AuthRequest("Basic", "admin:secret"));
  EXPECT_EQ(requests[1], wire::LoadRequest("QVAISO.DLL"));
  EXPECT_EQ(requests[2], wire::kPing);
}

TEST_F(ChannelTest, ForceDefaultHostRoutesToTheDefaultSubkey) {
  ScriptedServer server(Listener());
  AddHost("Default", "127.0.0.1", server.port());
  Key admin;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, remote::kAdministrationKey, &admin),
            qv::registry::Status::Ok);
  admin.SetDword("ForceDefaultHost", 1);
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);
  EXPECT_EQ(remote::CurrentHostName(), "Default");
  EXPECT_EQ(server.connections(), 1);
}

TEST_F(ChannelTest, ReplyLongerThanOneReceiveIsReadWhole) {
  std::mt19937 random(7);
  ServiceRecord sent{};
  for (size_t i = 0; i < sizeof sent; ++i) reinterpret_cast<uint8_t*>(&sent)[i] = random() & 0xFF;
  // Random bytes barely compress: the reply is about 1.4 KiB per parameter
  // copy; pad with a large third parameter so it spans several receives.
  std::string padding(6000, '\0');
  for (char& c : padding) c = static_cast<char>(random());
  ScriptedServer server(Listener([&](const std::string&) {
    return wire::SuccessReply(
        ResultParameter(1) +
        wire::EncodeParameter(
            2, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(padding.data()),
                                        padding.size())) +
        wire::EncodeParameter(1, std::span<const uint8_t>(reinterpret_cast<uint8_t*>(&sent),
                                                          sizeof sent)));
  }));
  AddHost("Admin", "127.0.0.1", server.port());
  remote::SetCurrentHostName("Admin");
  ASSERT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);
  ServiceRecord received{};
  wire::Request request(wire::Request::Method::Exec, "QVServiceGetStatus");
  request.AddBytes(&received, sizeof received);
  EXPECT_EQ(remote::ForwardCall(request, {{1, &received, sizeof received,
                                           remote::Output::Kind::Record}}),
            1);
  EXPECT_EQ(std::memcmp(&received, &sent, sizeof sent), 0);
}

TEST_F(ChannelTest, OversizedReplyStaysWithinTheBuffer) {
  ScriptedServer server(Listener([](const std::string&) {
    return "<DATA>" + std::string(40000, 'A');  // never closed
  }));
  AddHost("Admin", "127.0.0.1", server.port());
  remote::SetCurrentHostName("Admin");
  ASSERT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);
  std::string reply;
  EXPECT_TRUE(remote::RemoteExchange(wire::Request(wire::Request::Method::Exec, "F").Text(),
                                     &reply, remote::kCallReplyCapacity));
  EXPECT_EQ(reply.size(), remote::kCallReplyCapacity - 1);
}

TEST_F(ChannelTest, RegistryWordRequestCarriesKeyNameNumberInOrder) {
  ScriptedServer server(Listener([](const std::string&) { return wire::SuccessReply(ResultParameter(1)); }));
  AddHost("Admin", "127.0.0.1", server.port());
  const uint32_t number = 0xCAFE;
  EXPECT_EQ(SetRemoteRegistryWord("Admin", "SOFTWARE\\Quorvia\\Quorvia", "Limit", &number), 1);
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);  // AUTH (no LOAD for the empty library), SETTING
  EXPECT_EQ(MethodOf(requests[0]), "AUTH");
  const std::string& call = requests[1];
  EXPECT_EQ(wire::ElementText(call, "FUNCTION"), "SetRegistryWord");
  EXPECT_EQ(wire::ReadParameter(call, 1, 100), std::string("SOFTWARE\\Quorvia\\Quorvia\0\0", 26));
  EXPECT_EQ(wire::ReadParameter(call, 2, 100), std::string("Limit\0\0", 7));
  EXPECT_EQ(wire::ReadParameter(call, 3, 100), std::string("\xFE\xCA\0\0", 4));
  EXPECT_FALSE(wire::FindParameter(call, 4));
}

TEST_F(ChannelTest, RegistryStringFromTheWireIsBoundedAndTerminated) {
  const std::string huge(5000, 'v');  // no terminator, longer than the buffer
  ScriptedServer server(Listener([&](const std::string&) {
    return wire::SuccessReply(
        ResultParameter(1) +
        wire::EncodeParameter(3, std::span<const uint8_t>(
                                     reinterpret_cast<const uint8_t*>(huge.data()), huge.size())));
  }));
  AddHost("Admin", "127.0.0.1", server.port());
  std::vector<char> output(4096 + 64, '#');
  EXPECT_EQ(GetRemoteRegistryString("Admin", "SOFTWARE\\A", "B", output.data()), 1);
  EXPECT_EQ(std::strlen(output.data()), 4095u);
  for (size_t i = 4096; i < output.size(); ++i) ASSERT_EQ(output[i], '#') << i;
}

TEST_F(ChannelTest, ReplyWithoutResultGivesZeroAndKeepsOutputs) {
  ScriptedServer server(Listener([](const std::string&) { return wire::FailureReply("refused"); }));
  AddHost("Admin", "127.0.0.1", server.port());
  uint32_t number = 99;
  EXPECT_EQ(GetRemoteRegistryWord("Admin", "SOFTWARE\\A", "B", &number), 0);
  EXPECT_EQ(number, 99u);
}

TEST_F(ChannelTest, DroppedSessionIsReconnectedOnTheNextCall) {
  auto server = std::make_unique<ScriptedServer>(Listener());
  AddHost("Admin", "127.0.0.1", server->port());
  remote::SetCurrentHostName("Admin");
  ASSERT_EQ(remote::EnsureRemoteSession(""), remote::kSessionOpen);
  server.reset();  // the listener goes away: the PING fails
  ScriptedServer again(Listener());
  AddHost("Admin", "127.0.0.1", again.port());
  EXPECT_EQ(remote::EnsureRemoteSession(""), remote::kSessionOpen);
  EXPECT_EQ(again.connections(), 1);
  EXPECT_EQ(MethodOf(again.requests().at(0)), "AUTH");
}

}  // namespace

namespace {

TEST_F(ChannelTest, RefusedLoadIsTriedAgainOnTheNextCall) {
  auto first = std::make_unique<ScriptedServer>(Listener());
  AddHost("Admin", "127.0.0.1", first->port());
  remote::SetCurrentHostName("Admin");
  ASSERT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);
  first.reset();  // the listener restarts and refuses LOAD for a while

  std::atomic<bool> loadAccepted{false};
  ScriptedServer second([&loadAccepted](const std::string& request) -> std::string {
    if (MethodOf(request) == "LOAD" && !loadAccepted) return wire::FailureReply("busy");
    return std::string(wire::kSuccess);
  });
  AddHost("Admin", "127.0.0.1", second.port());
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);
  loadAccepted = true;
  EXPECT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);

  // The session that had no library loaded asks for it again rather than
  // sending calls the listener cannot serve.
  int loads = 0;
  for (const std::string& request : second.requests()) loads += MethodOf(request) == "LOAD";
  EXPECT_EQ(loads, 2);
}

}  // namespace

namespace {

// A listener that answers AUTH and LOAD, then stops answering (it closes its
// sending side at the PING) while still reading: what it reads after the PING
// is what the client said on its way out.
TEST_F(ChannelTest, FailedPingBeforeASwitchIsFollowedByQuit) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::string afterPing;
  std::thread server([&] {
    const int client = accept(listener, nullptr, nullptr);
    std::string buffer;
    char chunk[4096];
    bool pinged = false;
    for (;;) {
      const ssize_t got = recv(client, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      buffer.append(chunk, static_cast<size_t>(got));
      for (size_t end; !pinged && (end = buffer.find("</DATA>")) != std::string::npos;) {
        const std::string request = buffer.substr(0, end + 7);
        buffer.erase(0, end + 7);
        if (request == wire::kPing) {
          pinged = true;
          shutdown(client, SHUT_WR);
        } else {
          send(client, wire::kSuccess.data(), wire::kSuccess.size(), MSG_NOSIGNAL);
        }
      }
    }
    afterPing = buffer;
    close(client);
  });
  AddHost("Admin", "127.0.0.1", ntohs(address.sin_port));
  remote::SetCurrentHostName("Admin");
  ASSERT_EQ(remote::EnsureRemoteSession(remote::kLibraryName), remote::kSessionOpen);
  // A call for another library: PING first, which fails; QUIT, then a new
  // connection (refused here, the listener is gone).
  RefuseConnects();
  EXPECT_EQ(remote::EnsureRemoteSession(""), remote::kConnectFailed);
  server.join();
  close(listener);
  EXPECT_EQ(afterPing, wire::kQuit);
}

}  // namespace
