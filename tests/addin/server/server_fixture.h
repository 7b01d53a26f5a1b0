// A servlet emulator on loopback and a fresh add-in configuration pointing at
// it, for the transport and protocol tests.
#ifndef QV_TESTS_ADDIN_SERVER_FIXTURE_H
#define QV_TESTS_ADDIN_SERVER_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "addin/server/http_transport.h"
#include "addin/server/message_box.h"
#include "addin/server/protocol.h"
#include "tests/common/test_support.h"
#include "tools/qvservlet/servlet.h"

namespace qvsync::testing {

struct Box {
  std::string text;
  std::string title;
  MessageBoxIcon icon;
};

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    servlet_.AddUser("alice", "secret");
    ASSERT_TRUE(servlet_.Start("127.0.0.1", 0));
    Config() = SyncConfig{};
    Config().host = servlet_.host();
    Config().username = "alice";
    Config().password = "secret";
    Config().troubleshootingMode = 1;
    loggedIn = false;
    ClearCookieStore();
    SetTransportTimeouts(TransportTimeouts{});
    SetLogFilePathForTesting(dir_.File("QVSync.Log"));
    SetMessageBoxHandler([this](const std::string& text, const std::string& title,
                                MessageBoxIcon icon) { boxes_.push_back({text, title, icon}); });
  }
  void TearDown() override {
    servlet_.Stop();
    SetMessageBoxHandler(nullptr);
    SetLogFilePathForTesting("");
    SetTransportTimeouts(TransportTimeouts{});
  }

  std::string Log() const { return qv::testing::ReadFile(dir_.File("QVSync.Log")); }
  bool LogHasLine(const std::string& message) const {
    return Log().find("\t" + message + "\r\n") != std::string::npos;
  }
  int Login() {
    int32_t code = 0;
    std::string message;
    return ServerLogin("alice", "secret", code, message);
  }
  std::vector<qv::servlet::RecordedRequest> Requests() const { return servlet_.Requests(); }

  // No proxy may come between the tests and their loopback server.
  qv::testing::ScopedEnv httpProxy_{"http_proxy", std::nullopt};
  qv::testing::ScopedEnv allProxy_{"all_proxy", std::nullopt};
  qv::testing::ScopedEnv allProxyUpper_{"ALL_PROXY", std::nullopt};
  qv::testing::ScopedEnv noProxy_{"no_proxy", "127.0.0.1,localhost"};
  qv::testing::ScopedEnv codepage_{"QUORVIA_CODEPAGE", std::nullopt};
  qv::testing::TempDir dir_;
  qv::servlet::Servlet servlet_;
  std::vector<Box> boxes_;
};

}  // namespace qvsync::testing

#endif
