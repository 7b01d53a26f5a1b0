// The host as a separate process over temporary hives, a temporary profile
// and the add-in installed in a folder of its own, with the servlet emulator
// on loopback; and a person at a pseudo-terminal in front of it.
#ifndef QV_TESTS_TOOLS_QVSYNC_HOST_FIXTURE_H
#define QV_TESTS_TOOLS_QVSYNC_HOST_FIXTURE_H

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/common/test_support.h"
#include "tools/qvservlet/servlet.h"

namespace qv::testing {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

using Result = qv::testing::CommandResult;

class HostWithServlet : public RegistryTest {
 protected:
  HostWithServlet() : data_("XDG_DATA_HOME", dir_.File("data")) {
    std::filesystem::create_directory(dir_.File("addin"));
    addin_ = dir_.File("addin/libqvsync.so");
    std::filesystem::copy_file(QVSYNC_ADDIN, addin_);
    EXPECT_EQ(Run("register " + addin_).status, 0);
    servlet_.AddUser("alice", "secret");
    EXPECT_TRUE(servlet_.Start("127.0.0.1", 0));
  }
  ~HostWithServlet() override { servlet_.Stop(); }

  Result Run(const std::string& arguments) {
    std::string command = std::string(QVSYNC_HOST) + " --profile " + dir_.File("profile.db") + " " + arguments +
                          " </dev/null 2>&1";
    return qv::testing::RunCommand(command);
  }

  // The account of the servlet's "alice" in the registry, its password in clear.
  void StoreAccount(const std::string& host, const std::string& password = "secret") {
    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, "SOFTWARE\\Quorvia\\Outlook Sync\\Default", &key), Status::Ok);
    key.SetString("Host", host);
    key.SetString("Username", "alice");
    key.SetString("Password", password);
    key.SetDword("Troubleshooting Mode", 1);
  }

  std::string Log() const { return qv::testing::ReadFile(dir_.File("addin/QVSync.Log")); }

  std::optional<std::string> Stored(const char* name) {
    Key key;
    if (Key::Open(Hive::CurrentUser, "SOFTWARE\\Quorvia\\Outlook Sync\\Default", qv::registry::Access::Read, &key) !=
        Status::Ok) {
      return std::nullopt;
    }
    qv::registry::Value value;
    if (key.Get(name, &value) != Status::Ok) return std::nullopt;
    if (value.type == qv::registry::ValueType::Dword) return std::to_string(value.AsDword());
    return value.data.substr(0, value.data.find('\0'));
  }

  qv::testing::ScopedEnv data_;
  // Named outright: under the address sanitizer dlopen does not search the
  // add-in's own run path.
  qv::testing::ScopedEnv qvaiso_{"QUORVIA_QVAISO", QVAISO_LIBRARY};
  qv::testing::ScopedEnv noProxy_{"no_proxy", "127.0.0.1,localhost"};
  qv::testing::ScopedEnv httpProxy_{"http_proxy", std::nullopt};
  qv::testing::ScopedEnv display_{"DISPLAY", std::nullopt};
  qv::servlet::Servlet servlet_;
  std::string addin_;
};

class HostTerminal {
 public:
  explicit HostTerminal(const std::vector<std::string>& argv) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~HostTerminal() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  bool started() const { return pid_ > 0; }

  // Reads until `text` has appeared after what was consumed before.
  bool Expect(const std::string& text, int seconds = 30) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      size_t found = output_.find(text, consumed_);
      if (found != std::string::npos) {
        consumed_ = found + text.size();
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      pollfd fd{master_, POLLIN, 0};
      if (poll(&fd, 1, 200) > 0) {
        char buffer[4096];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) return false;
        output_.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  void Send(const std::string& text) { ASSERT_EQ(write(master_, text.data(), text.size()), static_cast<ssize_t>(text.size())); }
  // The exit status, or -1 when the process did not exit (a signal ended it).
  int Wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    // What the process wrote last is read too.
    for (pollfd fd{master_, POLLIN, 0}; poll(&fd, 1, 200) > 0;) {
      char buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) break;
      output_.append(buffer, static_cast<size_t>(n));
    }
    signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // Sends `signal` to the process.
  void Kill(int signal) { ::kill(pid_, signal); }
  // The signal that ended the process, after Wait (0 when it exited).
  int signal() const { return signal_; }
  // Whether the terminal echoes what is typed (the modes the process left).
  bool Echoes() const {
    termios modes{};
    return tcgetattr(master_, &modes) == 0 && (modes.c_lflag & ECHO) != 0;
  }
  const std::string& output() const { return output_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string output_;
  size_t consumed_ = 0;
  int signal_ = 0;
};

}  // namespace qv::testing

#endif
