// qvadmind on loopback, driven through every forwarded export of the library.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "library/options/local.h"
#include "library/options/options.h"
#include "library/remote/channel.h"
#include "library/remote/remote.h"
#include "library/remote/wire.h"
#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

extern char** environ;

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;
using qv::testing::ReadFile;

const std::filesystem::path kListener = QVADMIND_FILE;
const std::filesystem::path kRegistryProvider = REGISTRY_PROVIDER_FILE;
const std::filesystem::path kGetOnlyProvider = GETONLY_PROVIDER_FILE;

constexpr const char* kProviders = "SOFTWARE\\Quorvia\\Quorvia\\Providers\\System";

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

void SetString(Hive hive, const std::string& path, const std::string& name,
               const std::string& value) {
  Key key;
  ASSERT_EQ(Key::Create(hive, path, &key), Status::Ok) << path;
  ASSERT_EQ(key.SetString(name, value), Status::Ok);
}

class QvadmindTest : public qv::testing::RegistryTest {
 protected:
  void SetUp() override {
    qvaiso::remote::ResetSessionForTesting();
    qvaiso::options::ResetProviderNamesForTesting();
    PrepareRemoteHost();
    StartListener();
    // This side: a provider of its own that logs every call, and the host.
    SetString(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia", "Application Directory",
              kGetOnlyProvider.parent_path().string());
    SetString(Hive::LocalMachine, std::string(kProviders) + "\\GetOnly", "Provider DLL",
              kGetOnlyProvider.filename().string());
    SetString(Hive::LocalMachine, kProviders, "Current Provider", "GetOnly");
    AddHost("Remote", "admin:secret");
  }

  void TearDown() override {
    qvaiso::remote::ResetSessionForTesting();
    qvaiso::options::ResetProviderNamesForTesting();
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "listener status " << status
                                                                 << "\n" << Log();
    }
  }

  // The listener's machine-wide registry: its provider, an option, services.
  void PrepareRemoteHost() {
    qv::testing::ScopedEnv remote("QUORVIA_HKLM", remoteHklm_);
    SetString(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia", "Application Directory",
              kRegistryProvider.parent_path().string());
    SetString(Hive::LocalMachine, std::string(kProviders) + "\\Registry", "Provider DLL",
              kRegistryProvider.filename().string());
    SetString(Hive::LocalMachine, kProviders, "Current Provider", "Registry");
    SetString(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\Options\\1\\SMTP", "Banner",
              "remote banner");
    SetString(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\CONNECTORS\\SMTP", "ServiceName",
              "QuorviaSMTP");
    SetString(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\Agents\\Spam", "ServiceName",
              "QuorviaSpam");
    SetString(Hive::LocalMachine, "SYSTEM\\CurrentControlSet\\Services\\QuorviaSMTP",
              "DisplayName", "Quorvia SMTP Connector");
  }

  void StartListener() {
    ASSERT_TRUE(qv::testing::WriteFile(credentials_, "# accounts\nBasic\tadmin:secret\n"));
    chmod(credentials_.c_str(), 0600);
    std::vector<std::string> args = {kListener.string(), "--address", "127.0.0.1", "--port", "0",
                                     "--print-port", "--stderr", "--credentials", credentials_,
                                     "--fake-services", "QuorviaSMTP=4,QuorviaSpam=1"};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"QUORVIA_HKLM=" + remoteHklm_,
                                    "QUORVIA_HKCU=" + dir_.File("remote-hkcu.db")};
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "QUORVIA_", 8) != 0) env.emplace_back(*e);
    }
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Wait for the port line (the only wait on the listener's pace).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string out = ReadFile(out_);
      if (out.find('\n') != std::string::npos) {
        port_ = std::stoi(out);
        return;
      }
      int status;
      ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "listener ended:\n" << Log();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    FAIL() << "listener printed no port:\n" << Log();
  }

  void AddHost(const std::string& name, const std::string& credentials) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, std::string(qvaiso::remote::kHostsKey) + "\\" + name,
                          &key),
              Status::Ok);
    key.SetString("Address", "127.0.0.1");
    key.SetDword("Port", static_cast<uint32_t>(port_));
    key.SetString("Credentials", credentials);
    key.SetString("Authentication Protocol", "Basic");
  }

  std::string Log() const { return ReadFile(log_); }

  // What the listener's registry holds (read here, through its file).
  std::string RemoteValue(const std::string& path, const std::string& name) {
    qv::testing::ScopedEnv remote("QUORVIA_HKLM", remoteHklm_);
    Key key;
    std::string value;
    if (Key::Open(Hive::LocalMachine, path, qv::registry::Access::Read, &key) == Status::Ok) {
      key.GetString(name, &value);
    }
    return value;
  }

  // One raw connection: sends `request`, returns the reply up to "</DATA>"
  // or the close.
  std::string RawExchange(int socket, std::string_view request) {
    send(socket, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    char chunk[4096];
    while (reply.find("</DATA>") == std::string::npos) {
      const ssize_t got = recv(socket, chunk, sizeof chunk, 0);
      if (got <= 0) break;
      reply.append(chunk, static_cast<size_t>(got));
    }
    return reply;
  }

  int RawConnect() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    // No exchange of these tests waits this long on a listener that works.
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  }

  // True when the connection was closed by the listener.
  static bool Closed(int socket) {
    char byte;
    return recv(socket, &byte, 1, 0) <= 0;
  }

  std::string remoteHklm_ = dir_.File("remote-hklm.db");
  std::string credentials_ = dir_.File("credentials");
  std::string out_ = dir_.File("listener.out");
  std::string log_ = dir_.File("listener.log");
  std::string getOnlyLog_ = dir_.File("getonly.log");
  qv::testing::ScopedEnv getOnlyLogEnv_{"QV_GETONLY_LOG", getOnlyLog_};
  std::vector<std::string> extraArgs_;  // set by a derived fixture's constructor
  pid_t pid_ = -1;
  int port_ = 0;
};

TEST_F(QvadmindTest, OptionCallsAreServedByTheRemoteProviderOnly) {
  ASSERT_EQ(SetCurrentHost("Remote"), 1);
  char value[1024];
  EXPECT_EQ(GetOption(1, "SMTP", "Banner", value), 1);
  EXPECT_STREQ(value, "remote banner");
  EXPECT_EQ(SetOption(1, "SMTP", "Greeting", "hello"), 1);
  EXPECT_EQ(RemoteValue("SOFTWARE\\Quorvia\\Quorvia\\Options\\1\\SMTP", "Greeting"), "hello");

  SystemOptionRecord record{};
  record.optionScope = 1;
  std::strcpy(record.optionKey, "SMTP");
  std::strcpy(record.optionName, "Greeting");
  EXPECT_EQ(GetSystemOption(&record), 1);
  EXPECT_STREQ(record.optionValue, "hello");
  std::strcpy(record.optionValue, "changed");
  EXPECT_EQ(SetSystemOption(&record), 1);
  EXPECT_EQ(GetOption_Ex(1, "SMTP", "Greeting", value, 8), 1);
  EXPECT_STREQ(value, "changed");
  EXPECT_EQ(GetOption_Ex(1, "SMTP", "Greeting", value, 7), 0);  // does not fit: not cut
  EXPECT_STREQ(value, "");
  EXPECT_EQ(GetOption(1, "SMTP", "Missing", value), 0);

  // The local provider was never called.
  EXPECT_EQ(ReadFile(getOnlyLog_), "");
  // Back to local operation: now it is.
  SetCurrentHost("");
  EXPECT_EQ(GetOption(1, "SMTP", "Banner", value), 7);
  EXPECT_STREQ(value, "getonly:SMTP/Banner");
  EXPECT_NE(ReadFile(getOnlyLog_), "");
}

TEST_F(QvadmindTest, SecondCallPingsAndKeepsTheConnection) {
  SetCurrentHost("Remote");
  char value[1024];
  EXPECT_EQ(GetOption(1, "SMTP", "Banner", value), 1);
  EXPECT_EQ(GetOption(1, "SMTP", "Banner", value), 1);
  const std::string log = Log();
  EXPECT_EQ(Count(log, "connection accepted"), 1) << log;
  EXPECT_EQ(Count(log, "request PING"), 1) << log;
  EXPECT_LT(log.find("request LOAD"), log.find("request PING"));
  EXPECT_EQ(Count(log, "EXEC GetSystemOption"), 2) << log;
}

TEST_F(QvadmindTest, ForceDefaultHostRoutesToTheDefaultSubkey) {
  AddHost("Default", "admin:secret");
  Key admin;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, qvaiso::remote::kAdministrationKey, &admin), Status::Ok);
  admin.SetDword("ForceDefaultHost", 1);
  char value[1024];
  EXPECT_EQ(GetOption(1, "SMTP", "Banner", value), 1);
  EXPECT_STREQ(value, "remote banner");
  EXPECT_EQ(ReadFile(getOnlyLog_), "");
}

TEST_F(QvadmindTest, RegistryExportsReachTheRemoteRegistryAndKeepTheHost) {
  EXPECT_EQ(SetRemoteRegistryString("Remote", "SOFTWARE\\Quorvia\\Quorvia", "Mail Root", "/srv/mail"),
            1);
  EXPECT_EQ(RemoteValue("SOFTWARE\\Quorvia\\Quorvia", "Mail Root"), "/srv/mail");
  char text[4096];
  EXPECT_EQ(GetRemoteRegistryString("Remote", "SOFTWARE\\Quorvia\\Quorvia", "Mail Root", text), 1);
  EXPECT_STREQ(text, "/srv/mail");
  EXPECT_EQ(GetRemoteRegistryString("Remote", "SOFTWARE\\Quorvia\\Quorvia", "Nothing", text), 0);
  EXPECT_STREQ(text, "");
  const uint32_t limit = 250;
  EXPECT_EQ(SetRemoteRegistryWord("Remote", "SOFTWARE\\Quorvia\\Quorvia", "Limit", &limit), 1);
  uint32_t read = 0;
  EXPECT_EQ(GetRemoteRegistryWord("Remote", "SOFTWARE\\Quorvia\\Quorvia", "Limit", &read), 1);
  EXPECT_EQ(read, 250u);
  uint32_t missing = 9;
  EXPECT_EQ(GetRemoteRegistryWord("Remote", "SOFTWARE\\Quorvia\\Quorvia", "None", &missing), 0);
  EXPECT_EQ(missing, 9u);
  // The registry calls made "Remote" the current host for options too.
  char value[1024];
  EXPECT_EQ(GetOption(1, "SMTP", "Banner", value), 1);
  EXPECT_STREQ(value, "remote banner");
  EXPECT_EQ(ReadFile(getOnlyLog_), "");
  // Nothing was written on this side.
  char local[4096];
  EXPECT_EQ(GetRemoteRegistryString("", "SOFTWARE\\Quorvia\\Quorvia", "Mail Root", local), 0);
}

TEST_F(QvadmindTest, ServiceCallsRunOnTheRemoteHost) {
  SetCurrentHost("Remote");
  ServiceRecord record{};
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(QVServiceFindFirst(&record), 1);
  EXPECT_STREQ(record.serviceName, "QuorviaSMTP");
  EXPECT_STREQ(record.displayName, "Quorvia SMTP Connector");
  EXPECT_EQ(record.state, 4u);
  ASSERT_EQ(QVServiceFindNext(&record), 1);
  EXPECT_STREQ(record.serviceName, "QuorviaSpam");
  EXPECT_EQ(record.state, 1u);
  EXPECT_EQ(QVServiceFindNext(&record), 0);

  ServiceRecord spam{};
  std::strcpy(spam.serviceName, "QuorviaSpam");
  EXPECT_EQ(QVServiceStart(&spam), 1);
  EXPECT_EQ(QVServiceGetStatus(&spam), 1);
  EXPECT_EQ(spam.state, 4u);
  EXPECT_EQ(QVServiceStop(&spam), 1);
  EXPECT_EQ(QVServiceGetStatus(&spam), 1);
  EXPECT_EQ(spam.state, 1u);
  ServiceRecord unknown{};
  std::strcpy(unknown.serviceName, "NoSuchService");
  EXPECT_EQ(QVServiceGetStatus(&unknown), 0);
  // The service messages are the listener's, not this process's.
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  // They go to its log: its standard output carries the port alone.
  kill(pid_, SIGTERM);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  EXPECT_EQ(ReadFile(out_), std::to_string(port_) + "\n");
  EXPECT_NE(Log().find("STATUS: Service Started\n"), std::string::npos) << Log();
  EXPECT_NE(Log().find("ERROR: COULDN'T ACCESS SERVICE\n"), std::string::npos);
}

TEST_F(QvadmindTest, WrongCredentialsGetNothing) {
  AddHost("Intruder", "admin:guess");
  SetCurrentHost("Intruder");
  char value[1024];
  EXPECT_EQ(GetOption(1, "SMTP", "Banner", value), 0);
  EXPECT_STREQ(value, "");
  char text[4096];
  EXPECT_EQ(GetRemoteRegistryString("Intruder", "SOFTWARE\\Quorvia\\Quorvia\\Providers\\System",
                                    "Current Provider", text),
            0);
  EXPECT_NE(Log().find("authentication refused"), std::string::npos);
}

TEST_F(QvadmindTest, RefusesWhatIsMalformedOversizedOrUnauthenticatedAndServesTheNextClient) {
  using qvaiso::wire::Request;
  const std::string auth = qvaiso::wire::AuthRequest("Basic", "admin:secret");

  int fd = RawConnect();  // unauthenticated calls
  Request call(Request::Method::Setting, "GetRegistryString");
  call.AddString("SOFTWARE\\Quorvia\\Quorvia\\Providers\\System");
  call.AddString("Current Provider");
  call.AddNumber(0);
  EXPECT_NE(RawExchange(fd, call.Text()).find("not authenticated"), std::string::npos);
  EXPECT_NE(RawExchange(fd, qvaiso::wire::kPing).find("FAILURE"), std::string::npos);
  // Authenticated now; an unknown function, and EXEC before LOAD, fail.
  EXPECT_EQ(RawExchange(fd, auth), qvaiso::wire::kSuccess);
  EXPECT_NE(RawExchange(fd, Request(Request::Method::Setting, "DeleteEverything").Text())
                .find("unknown function"),
            std::string::npos);
  Request exec(Request::Method::Exec, "GetSystemOption");
  SystemOptionRecord record{};
  exec.AddBytes(&record, sizeof record);
  EXPECT_NE(RawExchange(fd, exec.Text()).find("no library loaded"), std::string::npos);
  EXPECT_EQ(RawExchange(fd, qvaiso::wire::LoadRequest("OTHER.DLL")).find("SUCCESS"),
            std::string::npos);
  // A registry call named under EXEC is not served either.
  EXPECT_EQ(RawExchange(fd, qvaiso::wire::LoadRequest("qvaiso.dll")), qvaiso::wire::kSuccess);
  Request wrongMethod(Request::Method::Exec, "GetRegistryString");
  wrongMethod.AddString("K");
  EXPECT_NE(RawExchange(fd, wrongMethod.Text()).find("unknown function"), std::string::npos);
  // A parameter whose decoded size disagrees with SIZE closes the connection.
  std::string lying = call.Text();
  lying.replace(lying.find("SIZE=4>"), 6, "SIZE=9");
  EXPECT_NE(RawExchange(fd, lying).find("FAILURE"), std::string::npos);
  EXPECT_TRUE(Closed(fd));
  close(fd);

  fd = RawConnect();  // an oversized request
  EXPECT_NE(RawExchange(fd, "<DATA>" + std::string(100000, 'x')).find("request too large"),
            std::string::npos);
  EXPECT_TRUE(Closed(fd));
  close(fd);

  fd = RawConnect();  // truncated: the client goes away mid-request
  send(fd, "<DATA><METHOD>EX", 16, MSG_NOSIGNAL);
  close(fd);

  fd = RawConnect();  // a proper client still gets served, until QUIT
  EXPECT_EQ(RawExchange(fd, auth), qvaiso::wire::kSuccess);
  const std::string reply = RawExchange(fd, call.Text());
  EXPECT_EQ(qvaiso::wire::ReadParameter(reply, 3, 4096), std::string("Registry\0\0", 10));
  EXPECT_EQ(RawExchange(fd, qvaiso::wire::kQuit), qvaiso::wire::kSuccess);
  EXPECT_TRUE(Closed(fd));
  close(fd);

  // Three refused AUTHs end a connection.
  fd = RawConnect();
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(RawExchange(fd, qvaiso::wire::AuthRequest("Basic", "nope")).find("refused"),
              std::string::npos);
  }
  EXPECT_TRUE(Closed(fd));
  close(fd);
}

// Sends `text` one byte every `gap` until `stop`, from a thread of its own.
class Trickler {
 public:
  Trickler(int socket, std::string text, std::chrono::milliseconds gap)
      : thread_([this, socket, text, gap] {
          for (size_t i = 0; !stop_ && i < text.size(); ++i) {
            if (send(socket, &text[i], 1, MSG_NOSIGNAL) != 1) return;
            std::this_thread::sleep_for(gap);
          }
        }) {}
  ~Trickler() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(QvadmindTest, SilentAndTricklingPeersDoNotHoldUpAnotherClient) {
  const std::string auth = qvaiso::wire::AuthRequest("Basic", "admin:secret");
  const int silent = RawConnect();
  const int trickling = RawConnect();
  Trickler trickler(trickling, auth, std::chrono::milliseconds(200));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both are being served
  const auto start = std::chrono::steady_clock::now();
  const int fd = RawConnect();
  EXPECT_EQ(RawExchange(fd, auth), qvaiso::wire::kSuccess);
  EXPECT_EQ(RawExchange(fd, qvaiso::wire::kPing), qvaiso::wire::kSuccess);
  // A listener that waited on the other two would take the whole login
  // time-out (10 s) of one of them; half of it leaves room for a slow machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  // And the library's own client gets through as well.
  SetCurrentHost("Remote");
  char value[1024];
  EXPECT_EQ(GetOption(1, "SMTP", "Banner", value), 1);
  EXPECT_STREQ(value, "remote banner");
  close(fd);
  close(silent);
  close(trickling);
}

class QvadmindLimitsTest : public QvadmindTest {
 protected:
  QvadmindLimitsTest() { extraArgs_ = {"--login-timeout", "1", "--max-connections", "3"}; }
};

TEST_F(QvadmindLimitsTest, UnauthenticatedPeersAreCutOffAndExtraConnectionsRefused) {
  const std::string auth = qvaiso::wire::AuthRequest("Basic", "admin:secret");
  const int silent = RawConnect();
  const int trickling = RawConnect();
  auto trickler = std::make_unique<Trickler>(trickling, auth, std::chrono::milliseconds(100));
  const int served = RawConnect();
  EXPECT_EQ(RawExchange(served, auth), qvaiso::wire::kSuccess);
  // A fourth connection is refused at once while three are served.
  const int extra = RawConnect();
  EXPECT_NE(RawExchange(extra, qvaiso::wire::kPing).find("too many connections"),
            std::string::npos);
  EXPECT_TRUE(Closed(extra));
  close(extra);
  // The silent and the trickling peer are closed once the login time-out is
  // up, however the bytes keep coming; the authenticated one is kept.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(Closed(silent));
  EXPECT_TRUE(Closed(trickling));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  trickler.reset();
  EXPECT_EQ(RawExchange(served, qvaiso::wire::kPing), qvaiso::wire::kSuccess);
  EXPECT_NE(Log().find("no authentication in time"), std::string::npos) << Log();
  close(silent);
  close(trickling);
  close(served);
}

class QvadmindAbuseTest : public QvadmindTest {
 protected:
  void SetUp() override {
    {
      qv::testing::ScopedEnv remote("QUORVIA_HKLM", remoteHklm_);
      Key security;
      ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\Security", &security),
                Status::Ok);
      security.SetDword("Abuse Detection Status", 1);
      security.SetDword("Abuse Instance Threshold", 4);
    }
    QvadmindTest::SetUp();
  }
};

TEST_F(QvadmindAbuseTest, GuessingAddressIsRefusedAtConnect) {
  const std::string guess = qvaiso::wire::AuthRequest("Basic", "admin:guess");
  int guesses = 0;
  bool refused = false;
  const auto start = std::chrono::steady_clock::now();
  while (guesses < 100 && !refused) {
    const int fd = RawConnect();
    for (int i = 0; i < 3 && guesses < 100; ++i) {
      const std::string reply = RawExchange(fd, guess);
      if (reply.empty()) {  // closed without an answer: refused at connect
        refused = i == 0;
        break;
      }
      EXPECT_NE(reply.find("authentication refused"), std::string::npos);
      ++guesses;
    }
    close(fd);
  }
  EXPECT_TRUE(refused) << Log();
  EXPECT_LE(guesses, 6);  // the threshold's 4, the report that crosses it, and no more
  // Each failure on a connection waits longer: 0.2 s, then 0.4 s, ...
  EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
  // The right credentials from that address are refused too, until the
  // entry expires.
  const int fd = RawConnect();
  EXPECT_EQ(RawExchange(fd, qvaiso::wire::AuthRequest("Basic", "admin:secret")), "");
  close(fd);
  EXPECT_NE(Log().find("connection refused, address reported as abusive"), std::string::npos)
      << Log();
}

TEST(QvadmindCredentialsTest, RefusesUnsafeOrEmptyAccountFiles) {
  qv::testing::TempDir dir;
  const std::string file = dir.File("credentials");
  auto run = [&](const std::string& content, mode_t mode) {
    qv::testing::WriteFile(file, content);
    chmod(file.c_str(), mode);
    const std::string command = kListener.string() + " --port 0 --address 127.0.0.1 --credentials " +
                                file + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(run("Basic\tadmin:secret\n", 0644), 2);  // readable by others
  EXPECT_EQ(run("# nothing\n\n", 0600), 2);          // no account
  EXPECT_EQ(run("no tab here\n", 0600), 2);          // malformed
}

}  // namespace
