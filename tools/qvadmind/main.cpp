// qvadmind: the remote administration listener of a Quorvia host.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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
    "(they reach this host through their HKCU host table). Connections are served\n"
    "one after another, each until QUIT, close, or the idle time-out.\n"
    "\n"
    "Options:\n"
    "  --address ADDR        IPv4 address to listen on (default 0.0.0.0, every address)\n"
    "  --port N              TCP port (default 8081; 0 lets the system choose)\n"
    "  --print-port          print the port listened on as one line on standard output\n"
    "  --credentials FILE    accounts file (default /etc/quorvia/qvadmind.credentials)\n"
    "  --idle-timeout SEC    close a connection idle this long (default 60)\n"
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
    "The log goes to syslog (facility daemon, ident qvadmind).\n";

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

}  // namespace

int main(int argc, char** argv) {
  std::string address = "0.0.0.0";
  long port = 8081;
  long idleTimeout = 60;
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
      if (!ParseNumber(value("--idle-timeout"), 1, 86400, &idleTimeout)) {
        std::fprintf(stderr, "qvadmind: --idle-timeout must be 1 to 86400 seconds\n");
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
  // Load the configuration provider before the first client needs it.
  qvaiso::options::EnsureLibraryLoaded();
  if (qvaiso::options::ResolveProviderModule() == nullptr) {
    qvadmind::Log(LOG_WARNING, "no configuration provider could be loaded; option calls will fail");
  }
  qvadmind::Listener listener(std::move(accounts), static_cast<int>(idleTimeout));
  listener.Serve(listenSocket, g_stop);
  qv::services::SetFakeManagerForTesting(nullptr);
  close(listenSocket);
  qvadmind::Log(LOG_INFO, "stopped");
  closelog();
  return 0;
}
