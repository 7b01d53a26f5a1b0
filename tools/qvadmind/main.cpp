// qvadmind: the remote administration listener of a Quorvia host.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "library/options/local.h"
#include "platform/services/services.h"
#include "tools/qvadmind/listener.h"

namespace {

constexpr const char* kUsage =
    "Usage: qvadmind [options]\n"
    "\n"
    "Serves the Quorvia remote administration protocol: option, registry and\n"
    "service-control calls that administration tools on other hosts forward here\n"
    "(they reach this host through their HKCU host table). Up to --max-connections\n"
    "connections are served at once, each until QUIT, close, or a time-out; more\n"
    "are refused at once. Calls themselves run one at a time.\n"
    "\n"
    "Options:\n"
    "  --address ADDR        IPv4 address to listen on (default 127.0.0.1, this host\n"
    "                        only; 0.0.0.0 is every address)\n"
    "  --port N              TCP port (default 8081; 0 lets the system choose)\n"
    "  --print-port          print the port listened on as one line on standard output\n"
    "  --credentials FILE    accounts file (default /etc/quorvia/qvadmind.credentials)\n"
    "  --idle-timeout SEC    close an authenticated connection idle this long\n"
    "                        (1 to 59, default 30: below the client's 60 s)\n"
    "  --login-timeout SEC   close a connection not authenticated this long after\n"
    "                        it was accepted (1 to 59, default 10)\n"
    "  --max-connections N   connections served at once (1 to 1024, default 16)\n"
    "  --stderr              also write the log to standard error\n"
    "  --fake-services LIST  serve service control from an in-memory manager holding\n"
    "                        NAME=STATE,... (STATE 1 stopped ... 7 paused) instead of\n"
    "                        systemd; for tests and demonstrations\n"
    "  --help                show this text\n"
    "\n"
    "Credentials: each line of the accounts file is one accepted AUTH, the\n"
    "authentication protocol and the credentials text separated by one TAB,\n"
    "compared exactly as the client's host table sends them (\"Authentication\n"
    "Protocol\" and \"Credentials\"). Blank lines and lines starting with # are\n"
    "skipped. The file must be readable by the listener's user only (chmod 600);\n"
    "qvadmind refuses to start otherwise, or when it holds no account.\n"
    "\n"
    "Calls are served by this host's library code: options through the\n"
    "configuration provider of HKLM SOFTWARE\\Quorvia\\Quorvia\\Providers\\System,\n"
    "registry values of HKLM, and services through systemd.\n"
    "\n"
    "Every failed AUTH delays its reply (0.2 s, doubling on the connection) and is\n"
    "reported to the abuse register for the peer's address (HKLM\n"
    "SOFTWARE\\Quorvia\\Quorvia\\Security, \"Abuse Detection Status\" 1 turns it on);\n"
    "an address it calls abusive is refused at connect until its entry expires.\n"
    "\n"
    "The log goes to syslog (facility daemon, ident qvadmind); so do the lines\n"
    "of service control, which leaves standard output to --print-port.\n";

std::atomic<bool> g_stop{false};

void OnSignal(int) { g_stop.store(true); }

bool ParseNumber(const char* text, long low, long high, long* number) {
  char* end = nullptr;
  errno = 0;
  *number = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && *number >= low && *number <= high;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "qvadmind: %s\n", message.c_str());
  qvadmind::Log(LOG_ERR, "%s", message.c_str());
  return 2;
}

// "NAME=STATE,NAME=STATE": services of the in-memory manager.
bool AddFakeServices(const std::string& list, qv::services::FakeManager* manager) {
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string item = list.substr(start, end - start);
    const size_t equals = item.find('=');
    long state = 0;
    if (equals == std::string::npos || equals == 0 ||
        !ParseNumber(item.c_str() + equals + 1, 1, 7, &state)) {
      return false;
    }
    manager->Add(item.substr(0, equals), static_cast<qv::services::State>(state));
    start = end + 1;
  }
  return true;
}

// What the library prints on standard output (the lines of service control)
// goes to the log instead, line by line, so that standard output carries the
// port alone. Returns the thread that copies the lines.
std::thread RedirectStandardOutputToLog() {
  int pipeEnds[2];
  std::fflush(stdout);
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) return {};
  if (dup2(pipeEnds[1], STDOUT_FILENO) < 0) {
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    return {};
  }
  close(pipeEnds[1]);
  const int readEnd = pipeEnds[0];
  return std::thread([readEnd] {
    std::string pending;
    char chunk[1024];
    ssize_t got;
    while ((got = read(readEnd, chunk, sizeof chunk)) != 0) {
      if (got < 0) {
        if (errno == EINTR) continue;
        break;
      }
      pending.append(chunk, static_cast<size_t>(got));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        qvadmind::Log(LOG_INFO, "%s", pending.substr(0, end).c_str());
        pending.erase(0, end + 1);
      }
    }
    if (!pending.empty()) qvadmind::Log(LOG_INFO, "%s", pending.c_str());
    close(readEnd);
  });
}

void EndStandardOutputToLog(std::thread* copier) {
  if (!copier->joinable()) return;
  std::fflush(stdout);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);  // the pipe's last write end: the copier sees its end
    close(null);
  }
  copier->join();
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1";
  long port = 8081;
  qvadmind::ListenerLimits limits;
  long idleTimeout = limits.idleTimeoutSeconds;
  long loginTimeout = limits.loginTimeoutSeconds;
  long maxConnections = limits.maxConnections;
  bool printPort = false;
  bool toStderr = false;
  std::string credentials = "/etc/quorvia/qvadmind.credentials";
  std::string fakeServices;
  bool useFakeServices = false;

  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "qvadmind: %s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (arg == "--address") {
      address = value("--address");
    } else if (arg == "--port") {
      if (!ParseNumber(value("--port"), 0, 65535, &port)) {
        std::fprintf(stderr, "qvadmind: --port must be 0 to 65535\n");
        return 2;
      }
    } else if (arg == "--idle-timeout") {
      if (!ParseNumber(value("--idle-timeout"), 1, 59, &idleTimeout)) {
        std::fprintf(stderr, "qvadmind: --idle-timeout must be 1 to 59 seconds\n");
        return 2;
      }
    } else if (arg == "--login-timeout") {
      if (!ParseNumber(value("--login-timeout"), 1, 59, &loginTimeout)) {
        std::fprintf(stderr, "qvadmind: --login-timeout must be 1 to 59 seconds\n");
        return 2;
      }
    } else if (arg == "--max-connections") {
      if (!ParseNumber(value("--max-connections"), 1, 1024, &maxConnections)) {
        std::fprintf(stderr, "qvadmind: --max-connections must be 1 to 1024\n");
        return 2;
      }
    } else if (arg == "--credentials") {
      credentials = value("--credentials");
    } else if (arg == "--fake-services") {
      fakeServices = value("--fake-services");
      useFakeServices = true;
    } else if (arg == "--print-port") {
      printPort = true;
    } else if (arg == "--stderr") {
      toStderr = true;
    } else {
      std::fprintf(stderr, "qvadmind: unknown option %s\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }

  openlog("qvadmind", LOG_PID, LOG_DAEMON);
  qvadmind::SetLogToStderr(toStderr);

  qv::services::FakeManager fakeManager;
  if (useFakeServices) {
    if (!AddFakeServices(fakeServices, &fakeManager)) {
      return Fail("--fake-services expects NAME=STATE,... with STATE 1 to 7");
    }
    qv::services::SetFakeManagerForTesting(&fakeManager);
  }

  std::vector<qvadmind::Account> accounts;
  std::string error;
  if (!qvadmind::LoadAccounts(credentials, &accounts, &error)) return Fail(error);

  sockaddr_in bindAddress{};
  bindAddress.sin_family = AF_INET;
  bindAddress.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, address.c_str(), &bindAddress.sin_addr) != 1) {
    return Fail("not an IPv4 address: " + address);
  }
  const int listenSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenSocket < 0) return Fail(std::string("socket: ") + std::strerror(errno));
  const int yes = 1;
  setsockopt(listenSocket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (bind(listenSocket, reinterpret_cast<sockaddr*>(&bindAddress), sizeof bindAddress) != 0 ||
      listen(listenSocket, 16) != 0) {
    return Fail("cannot listen on " + address + ":" + std::to_string(port) + ": " +
                std::strerror(errno));
  }
  sockaddr_in bound{};
  socklen_t length = sizeof bound;
  getsockname(listenSocket, reinterpret_cast<sockaddr*>(&bound), &length);
  const int boundPort = ntohs(bound.sin_port);

  // Interrupt accept and recv on SIGTERM/SIGINT (no SA_RESTART).
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  qvadmind::Log(LOG_INFO, "listening on %s:%d", address.c_str(), boundPort);
  if (printPort) {
    std::printf("%d\n", boundPort);
    std::fflush(stdout);
  }
  std::thread outputToLog = RedirectStandardOutputToLog();
  // Load the configuration provider before the first client needs it.
  qvaiso::options::EnsureLibraryLoaded();
  if (qvaiso::options::ResolveProviderModule() == nullptr) {
    qvadmind::Log(LOG_WARNING, "no configuration provider could be loaded; option calls will fail");
  }
  limits.idleTimeoutSeconds = static_cast<int>(idleTimeout);
  limits.loginTimeoutSeconds = static_cast<int>(loginTimeout);
  limits.maxConnections = static_cast<int>(maxConnections);
  {
    qvadmind::Listener listener(std::move(accounts), limits);
    listener.Serve(listenSocket, g_stop);
  }
  EndStandardOutputToLog(&outputToLog);
  qv::services::SetFakeManagerForTesting(nullptr);
  close(listenSocket);
  qvadmind::Log(LOG_INFO, "stopped");
  closelog();
  return 0;
}
