// qvservlet: the servlet emulator as a program, for the demo and for trying the
// add-in by hand. Serves until SIGINT or SIGTERM.
//
//   qvservlet [--bind ADDRESS] [--port N] [--db FILE] [--user NAME:PASSWORD]...
//             [--disable-path PATH]...
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/qvservlet/servlet.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: qvservlet [--bind ADDRESS] [--port N] [--db FILE]\n"
               "                 [--user NAME:PASSWORD]... [--disable-path PATH]...\n"
               "Serves the web mail request servlet on ADDRESS:N (default 127.0.0.1, a free\n"
               "port) with mailboxes in FILE (default: in memory).\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string address = "127.0.0.1", db = ":memory:";
  int port = 0;
  std::vector<std::pair<std::string, std::string>> users;
  std::vector<std::string> disabled;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return Usage(), 0;
    if (i + 1 >= argc) return Usage();
    std::string value = argv[++i];
    if (arg == "--bind") {
      address = value;
    } else if (arg == "--port") {
      char* end = nullptr;
      long n = std::strtol(value.c_str(), &end, 10);
      if (*end != '\0' || n < 0 || n > 65535) return Usage();
      port = static_cast<int>(n);
    } else if (arg == "--db") {
      db = value;
    } else if (arg == "--user") {
      size_t colon = value.find(':');
      if (colon == std::string::npos || colon == 0) return Usage();
      users.emplace_back(value.substr(0, colon), value.substr(colon + 1));
    } else if (arg == "--disable-path") {
      disabled.push_back(value);
    } else {
      return Usage();
    }
  }

  // Block the stop signals before any thread starts, then wait for one.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  try {
    qv::servlet::Servlet servlet(db);
    for (const auto& [name, password] : users) servlet.AddUser(name, password);
    for (const std::string& path : disabled) servlet.SetPathEnabled(path, false);
    if (!servlet.Start(address, port)) {
      std::fprintf(stderr, "qvservlet: cannot listen on %s:%d\n", address.c_str(), port);
      return 1;
    }
    std::printf("qvservlet listening on %s:%d\n", address.c_str(), servlet.port());
    std::fflush(stdout);
    int received = 0;
    sigwait(&signals, &received);
    servlet.Stop();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qvservlet: %s\n", e.what());
    return 1;
  }
  return 0;
}
