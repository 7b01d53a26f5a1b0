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
#include "addin/server/protocol.h"
#include "platform/ui/ui.h"
#include "tests/common/test_support.h"
#include "tools/qvservlet/servlet.h"

namespace qvsync::testing {

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
  }
  void TearDown() override {
    servlet_.Stop();
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
  // Message boxes are recorded, not shown.
  qv::ui::ScriptedFrontEnd frontEnd_;
  qv::ui::ScopedFrontEnd scopedFrontEnd_{&frontEnd_};
  const std::vector<qv::ui::MessageBox>& boxes_ = frontEnd_.boxes();
};

}  // namespace qvsync::testing

#endif
