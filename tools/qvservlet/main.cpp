// qvservlet: the servlet emulator as a program, for the demo and for trying the
// add-in by hand. Serves until SIGINT or SIGTERM.
//
//   qvservlet [--bind ADDRESS] [--port N] [--db FILE] [--user NAME:PASSWORD]...
//             [--disable-path PATH]...
//
// Lines on standard input play the other party and throw the switches (see
// kCommandHelp); the answer to each goes to standard output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "tools/qvservlet/servlet.h"

namespace {

constexpr const char* kCommandHelp =
    "commands (one per line on standard input):\n"
    "  add USER CLASS [FIELDS] [UID]    add an item; FIELDS as a form: Subject=Hi&Body=x+y\n"
    "  change USER UID FIELDS           change fields of an item\n"
    "  delete USER UID                  delete an item\n"
    "  list USER CLASS                  list the items of a class\n"
    "  user NAME PASSWORD               add a user or set the password\n"
    "  fault none|500|drop|batch-html|batch-drop|batch-error   answer every request with that fault\n"
    "  delay MILLISECONDS               wait before answering\n"
    "  path-off PATH | path-on PATH     answer 404 on a servlet path, or serve it again\n"
    "  echo TEXT                        print TEXT (a script's mark for the end of an answer)\n"
    "  help\n";

// Carries out one command line; the answer goes to `out`.
void RunCommand(qv::servlet::Servlet& servlet, const std::string& line, std::ostream& out) {
  std::istringstream in(line);
  std::string verb, a, b, c, d;
  in >> verb >> a >> b >> c >> d;
  if (verb.empty()) return;
  if (verb == "add" && !b.empty()) {
    out << "added " << servlet.AddItem(a, b, qv::servlet::ParseForm(c), d) << "\n";
  } else if (verb == "change" && !b.empty()) {
    out << (servlet.ChangeItem(a, b, qv::servlet::ParseForm(c)) ? "changed\n" : "no such item\n");
  } else if (verb == "delete" && !b.empty()) {
    out << (servlet.DeleteItem(a, b) ? "deleted\n" : "no such item\n");
  } else if (verb == "list" && !b.empty()) {
    for (const qv::servlet::StoredItem& item : servlet.ListItems(a, b)) {
      out << item.uid << "\t" << item.modified;
      for (const auto& [name, value] : item.fields) out << "\t" << name << "=" << value;
      out << "\n";
    }
  } else if (verb == "user" && !b.empty()) {
    servlet.AddUser(a, b);
    out << "user set\n";
  } else if (verb == "fault") {
    using qv::servlet::Fault;
    Fault fault = a == "500" ? Fault::kServerError
                  : a == "drop" ? Fault::kDropConnection
                  : a == "batch-html" ? Fault::kBatchAsHtml
                  : a == "batch-drop" ? Fault::kDropAfterBatch
                  : a == "batch-error" ? Fault::kBatchAsError
                                      : Fault::kNone;
    servlet.SetFault(fault);
    out << "fault " << (fault == Fault::kNone ? "none" : a) << "\n";
  } else if (verb == "delay") {
    servlet.SetDelay(std::chrono::milliseconds(std::atol(a.c_str())));
    out << "delay " << std::atol(a.c_str()) << " ms\n";
  } else if (verb == "echo") {
    size_t at = line.find("echo") + 4;
    if (at < line.size() && line[at] == ' ') ++at;
    out << line.substr(at) << "\n";
  } else if ((verb == "path-off" || verb == "path-on") && !a.empty()) {
    servlet.SetPathEnabled(a, verb == "path-on");
    out << verb << " " << a << "\n";
  } else {
    out << kCommandHelp;
  }
  out.flush();
}

int Usage() {
  std::fprintf(stderr,
               "usage: qvservlet [--bind ADDRESS] [--port N] [--db FILE]\n"
               "                 [--user NAME:PASSWORD]... [--disable-path PATH]...\n"
               "Serves the web mail request servlet on ADDRESS:N (default 127.0.0.1, a free\n"
               "port) with mailboxes in FILE (default: in memory).\n%s",
               kCommandHelp);
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
    std::cout << "qvservlet listening on " << address << ":" << servlet.port() << std::endl;
    // Standard input is read on a thread of its own, so that a signal ends the
    // program even while a line is awaited.
    std::thread([&servlet] {
      std::string line;
      while (std::getline(std::cin, line)) {
        try {
          RunCommand(servlet, line, std::cout);
        } catch (const std::exception& e) {
          std::cout << "error: " << e.what() << std::endl;
        }
      }
    }).detach();
    int received = 0;
    sigwait(&signals, &received);
    servlet.Stop();
    // The input thread may still be waiting for a line: leave without running
    // destructors under its feet (every change is already in the database).
    std::cout.flush();
    std::_Exit(0);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qvservlet: %s\n", e.what());
    return 1;
  }
  return 0;
}
