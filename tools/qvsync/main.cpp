// qvsync: Outlook's stand-in at the terminal. It opens a profile of the
// emulated Outlook, loads the registered add-ins and raises their events, lets
// a person click the add-ins' menu commands, and lists and changes the items of
// the profile so that every effect of a synchronisation can be seen.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/outlook/extensibility.h"
#include "platform/outlook/outlook.h"
#include "platform/shell/shell.h"
#include "platform/ui/terminal.h"
#include "platform/ui/ui.h"
#include "tools/qvsync/addin_loader.h"

namespace {

using qv::outlook::Error;
using qv::outlook::Variant;

const char kHelp[] = R"(qvsync - the Outlook host for the Quorvia add-in, at the terminal

Usage: qvsync [OPTIONS] [COMMAND [ARGUMENTS]]

Without a command, qvsync starts Outlook on the profile, connects the
registered add-ins and reads commands from standard input, one per line, until
"quit" or the end of the input; then it disconnects the add-ins.

Options:
  --profile FILE   the profile to open (created when missing); default
                   $XDG_DATA_HOME/quorvia/outlook.profile
  --automation     start as Outlook does for automation: no Explorer window,
                   so add-ins get no command bars
  --external       connect the add-ins externally (ext_cm_External) instead
                   of at start-up
  --yes, --no      answer every message box with Yes (or No) where it has
                   that button, the mass-deletion question included; without
                   them a person answers at the terminal, and with nobody to
                   answer (standard input not a terminal, the end of the
                   input, Ctrl-D) each box takes its default button,
                   never one that deletes: the mass-deletion question and
                   Reset's question default to No
  --fill FILE      fill the add-in's windows from FILE (see below)
  --set WINDOW.CONTROL=VALUE
                   as the line "set CONTROL VALUE" in a section for WINDOW
  --press WINDOW.BUTTON
                   as the line "click BUTTON" in a section for WINDOW
  --help           this text

Filling windows without a person (scripted set-ups):
  A fill file holds one section per showing of a window, headed by the
  window's name or caption ([frmConfig], [frmChangePassword],
  [frmAutoResponse], [frmAbout]), with the commands a person would type at
  the terminal, one per line ("#" starts a comment line):
    set CONTROL TEXT      a text box; a check box (on or off); a list entry
                          (its position, counting from 0, or its text)
    append CONTROL TEXT   one more line of a text box of several lines
    click BUTTON          press a button (by name, caption or "&" and key)
    close                 close the window without a button
  CONTROL is a control's name (txtHostName), its caption or its label's
  caption (in quotes when it has spaces: "Server Name"), or "&" and its key.
  The window's own handlers and checks run as for a person: a refused entry
  shows its message box and leaves the window open. A window still open
  after its section is closed without saving when nobody is at the terminal;
  at a terminal the person carries on. A command that fails closes the
  window without pressing anything. Either way qvsync exits with status 1. Consecutive --set/--press options for
  one window make one section, used after the sections of --fill. Message
  boxes (such as the offer to synchronise) take --yes or --no.
  Keep passwords in a file only you can read, not on the command line.

  Example, configuring the add-in without synchronising:
    [frmConfig]
    set txtHostName mail.example.com:8080
    set txtUsername alice
    set txtPassword secret
    set chkTroubleshoot on
    click OK
  saved as setup.txt:  qvsync --no --fill setup.txt click Configure...

Add-in commands (Outlook starts and connects the add-ins with load
behaviour 3 first, and disconnects them afterwards):
  start            connect and disconnect (start-up and shut-down
                   synchronisation run when configured)
  menu             list the add-ins' menu commands, top to bottom
  click CAPTION    click a menu command; the caption with or without its
                   "&" ("About...", "&Synchronize")

Registration:
  register LIBRARY      run the add-in library's DllRegisterServer
  unregister LIBRARY    run its DllUnregisterServer
  addins                list Outlook's add-in list and each registration

Profile commands (no add-in is loaded):
  stores                the message stores, in Outlook's order
  folders               every folder, as \Store\Folder paths
  items FOLDER          a folder's items, newest first, after a header line
                        naming the columns (TAB-separated)
  show ENTRYID          every property of an item, NAME<TAB>VALUE
  add FOLDER NAME=VALUE ...    add an item, assigning each property
  edit ENTRYID NAME=VALUE ...  change an item and save it
  delete ENTRYID        delete an item (into "Deleted Items"; from there
                        for good)
  add-store NAME        open a second store
  wrapper on|off        install or remove the safe-item wrapper library

FOLDER is a folder path such as "\Personal Folders\Contacts", or a folder
name in the first store ("Contacts", "Calendar", "Tasks"). In the output of
items and show, a TAB, CR, LF or backslash inside a value is written as \t,
\r, \n or \\, so each row is one line and each field one column; any other
control character, and any byte that is not UTF-8, as \xNN.

Interactive mode takes every command above, one per line; an argument with
spaces is written in double quotes ("FullName=Ann B Smith"), a quote or
backslash inside one with a backslash before it.

Waiting for the server: a request waits at most 10 seconds for its
connection, 30 seconds of the server's silence, and a minute for a whole
answer (a list three minutes, a batch more in proportion to its size).
While it waits, "Connecting to HOST ..." is shown and Ctrl-C ends the wait
(and cancels a synchronization in progress).

Environment: QUORVIA_HKCU and QUORVIA_HKLM name the registry hives.
Exit status: 0 success; 1 the command failed: a synchronization that could
not fetch a list, had adds refused, could not keep its records, found
another run of the account going on or could not log in; a password change
or auto response the server refused or could not be reached for; a
configuration whose login failed; a window its fill script did not complete
(each reason is printed on the error stream as "qvsync: REASON"); 2 bad
usage.
)";

struct Options {
  std::string profile;
  qv::outlook::StartMode startMode = qv::outlook::StartMode::Interactive;
  int connectMode = qv::outlook::ext_cm_Startup;
  std::string answer;  // "yes", "no" or ""
  std::string fillFile;                // --fill
  std::vector<std::string> fillOptions;  // --set / --press, as given
  std::vector<std::string> command;
};

std::string DefaultProfilePath() {
  std::string data = qv::shell::ApplicationDataFolder();
  if (data.empty()) data = ".";
  qv::shell::CreateFolder(data);
  qv::shell::CreateFolder(data + "/quorvia");
  return data + "/quorvia/outlook.profile";
}

std::string Plain(const std::string& caption) {
  std::string plain;
  for (char c : caption) {
    if (c != '&') plain.push_back(c);
  }
  return plain;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A value as one field of a line: TAB, CR, LF and the backslash escaped,
// and every other byte a terminal could take for a command (a control
// character, a byte that is not UTF-8) as \xNN, since the items came from a
// server.
std::string Field(const std::string& value) {
  std::string out;
  for (size_t at = 0; at < value.size();) {
    const char c = value[at];
    switch (c) {
      case '\t': out += "\\t"; ++at; continue;
      case '\r': out += "\\r"; ++at; continue;
      case '\n': out += "\\n"; ++at; continue;
      case '\\': out += "\\\\"; ++at; continue;
      default: break;
    }
    if (const size_t length = qv::ui::terminal::PrintableLength(value, at)) {
      out.append(value, at, length);
      at += length;
      continue;
    }
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
    out += escaped;
    ++at;
  }
  return out;
}

// The words of an interactive line: blanks separate them; double quotes
// group, a backslash takes the next character as it is. False for an
// unterminated quote.
bool SplitLine(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  std::string word;
  bool inWord = false;
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      word.push_back(line[++i]);
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else {
      word.push_back(c);
      inWord = true;
    }
  }
  if (inWord) words->push_back(word);
  return !quoted;
}

// "Contacts" (a folder of the first store) or "\Store\Folder".
Variant ResolveFolder(const Variant& application, const std::string& name) {
  if (!name.empty() && name[0] == '\\') return qv::outlook::FindFolder(application, name);
  Variant store = application.call("GetNamespace", "MAPI").get("Folders").call("Item", 1);
  return store.get("Folders").call("Item", name);
}

bool ParseFields(const std::vector<std::string>& args, size_t from, qv::outlook::FieldTexts* fields) {
  for (size_t i = from; i < args.size(); ++i) {
    size_t eq = args[i].find('=');
    if (eq == std::string::npos || eq == 0) {
      std::fprintf(stderr, "qvsync: expected NAME=VALUE, got \"%s\"\n", args[i].c_str());
      return false;
    }
    fields->emplace_back(args[i].substr(0, eq), args[i].substr(eq + 1));
  }
  return true;
}

std::string FormatDate(qv::outlook::Date date) {
  qv::outlook::DateParts p = qv::outlook::SplitDate(date);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour, p.minute,
                p.second);
  return text;
}

// The fill script of --fill and --set/--press: the file's text, then one
// section per run of options for the same window. False with `*error` when the
// file cannot be read or the script is not one.
bool BuildFillScript(const Options& options, std::string* script, std::string* error) {
  if (!options.fillFile.empty()) {
    std::FILE* file = std::fopen(options.fillFile.c_str(), "rb");
    if (file == nullptr) {
      *error = options.fillFile + ": " + std::strerror(errno);
      return false;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0 && script->size() <= qv::ui::kMaxFillScriptBytes) {
      script->append(buffer, n);
    }
    std::fclose(file);
    std::string why;
    qv::ui::FillScript parsed;
    if (!qv::ui::ParseFillScript(*script, &parsed, &why)) {
      *error = options.fillFile + ": " + why;
      return false;
    }
    if (!script->empty() && script->back() != '\n') *script += '\n';
  }
  std::string window;
  for (const std::string& given : options.fillOptions) {
    const bool press = given.rfind("--press ", 0) == 0;
    const std::string value = given.substr(given.find(' ') + 1);
    const size_t dot = value.find('.');
    const size_t equals = value.find('=');
    if (dot == std::string::npos || dot == 0 || (!press && (equals == std::string::npos || equals < dot)) ||
        value.find_first_of("\r\n") != std::string::npos) {
      *error = given + ": expected " + (press ? "WINDOW.BUTTON" : "WINDOW.CONTROL=VALUE") + " on one line";
      return false;
    }
    const std::string target = value.substr(0, dot);
    const std::string control = press ? value.substr(dot + 1) : value.substr(dot + 1, equals - dot - 1);
    if (control.empty() || control.find('"') != std::string::npos) {
      *error = given + ": expected a control's name or caption";
      return false;
    }
    if (target != window) {
      window = target;
      *script += "[" + window + "]\n";
    }
    const std::string quoted = control.find(' ') != std::string::npos ? "\"" + control + "\"" : control;
    *script += press ? "click " + quoted + "\n" : "set " + quoted + " " + value.substr(equals + 1) + "\n";
  }
  qv::ui::FillScript parsed;
  std::string why;
  if (!qv::ui::ParseFillScript(*script, &parsed, &why)) {
    *error = "--set/--press: " + why;
    return false;
  }
  return true;
}

bool IsProfileCommand(const std::string& verb) {
  static const char* const kVerbs[] = {"stores", "folders", "items", "show", "add", "edit", "delete", "add-store", "wrapper"};
  for (const char* v : kVerbs) {
    if (verb == v) return true;
  }
  return false;
}

// The profile commands on an open profile and its Outlook. Returns the exit status.
int RunProfileCommand(qv::outlook::Profile& profile, const Variant& application,
                      const std::vector<std::string>& args) {
  const std::string& verb = args[0];
  auto need = [&](size_t count) {
    if (args.size() < count) {
      std::fprintf(stderr, "qvsync: %s needs more arguments (see qvsync --help)\n", verb.c_str());
      return false;
    }
    return true;
  };
  if (verb == "stores") {
    Variant folders = application.call("GetNamespace", "MAPI").get("Folders");
    for (int32_t i = 1; i <= folders.get("Count").ToLong(); ++i) {
      std::printf("%d\t%s\n", i, folders.call("Item", i).get("Name").ToText().c_str());
    }
  } else if (verb == "folders") {
    for (const std::string& path : qv::outlook::ListFolderPaths(application)) std::printf("%s\n", path.c_str());
  } else if (verb == "items") {
    if (!need(2)) return 2;
    const auto items = qv::outlook::ListItems(ResolveFolder(application, args[1]));
    std::printf("EntryID\tClass\tLastModificationTime\tSubject\n");
    for (const auto& item : items) {
      std::printf("%s\t%d\t%s\t%s\n", item.entryId.c_str(), item.itemClass, FormatDate(item.lastModificationTime).c_str(),
                  Field(item.subject).c_str());
    }
  } else if (verb == "show") {
    if (!need(2)) return 2;
    for (const auto& [name, value] : qv::outlook::DescribeItem(qv::outlook::OpenItem(application, args[1]))) {
      std::printf("%s\t%s\n", Field(name).c_str(), Field(value).c_str());
    }
  } else if (verb == "add") {
    if (!need(2)) return 2;
    qv::outlook::FieldTexts fields;
    if (!ParseFields(args, 2, &fields)) return 2;
    Variant item = qv::outlook::AddItem(ResolveFolder(application, args[1]), fields);
    std::printf("%s\n", item.get("EntryID").ToText().c_str());
  } else if (verb == "edit") {
    if (!need(3)) return 2;
    qv::outlook::FieldTexts fields;
    if (!ParseFields(args, 2, &fields)) return 2;
    qv::outlook::EditItem(qv::outlook::OpenItem(application, args[1]), fields);
  } else if (verb == "delete") {
    if (!need(2)) return 2;
    qv::outlook::OpenItem(application, args[1]).call("Delete");
  } else if (verb == "add-store") {
    if (!need(2)) return 2;
    profile.AddStore(args[1]);
  } else if (verb == "wrapper") {
    if (!need(2) || (args[1] != "on" && args[1] != "off")) {
      std::fprintf(stderr, "qvsync: wrapper takes on or off\n");
      return 2;
    }
    profile.SetWrapperLibraryInstalled(args[1] == "on");
  }
  return 0;
}

// The registration commands; -1 when `command` is none of them.
int RunRegistrationCommand(const std::vector<std::string>& command) {
  const std::string& verb = command[0];
  if (verb == "register" || verb == "unregister") {
    if (command.size() != 2) {
      std::fprintf(stderr, "qvsync: %s needs the add-in library's path\n", verb.c_str());
      return 2;
    }
    std::string error;
    int hr = qvhost::RegisterLibrary(command[1], verb == "unregister", &error);
    if (hr != qv::outlook::kS_OK) {
      std::fprintf(stderr, "qvsync: %s failed: %s (0x%08X)\n", verb.c_str(), error.c_str(),
                   static_cast<unsigned>(hr));
      return 1;
    }
    std::printf("%s of %s succeeded.\n", verb == "register" ? "DllRegisterServer" : "DllUnregisterServer",
                command[1].c_str());
    return 0;
  }
  if (verb == "addins") {
    const auto entries = qvhost::ReadAddinList();
    if (entries.empty()) std::printf("No add-ins are registered.\n");
    for (const auto& entry : entries) {
      std::printf("%s\n  FriendlyName: %s\n  Description: %s\n  LoadBehavior: %u\n  Library: %s\n", entry.progId.c_str(),
                  entry.friendlyName.c_str(), entry.description.c_str(), entry.loadBehavior,
                  entry.library.empty() ? "(not registered)" : entry.library.c_str());
      if (!entry.libraryDescription.empty()) std::printf("  %s\n", entry.libraryDescription.c_str());
    }
    return 0;
  }
  return -1;
}

// Outlook running with its add-ins connected.
class Session {
 public:
  explicit Session(const Options& options) : options_(options) {}

  ~Session() { Shutdown(); }

  bool Start() {
    profile_ = qv::outlook::Profile::Open(options_.profile);
    application_ = qv::outlook::StartOutlook(profile_, options_.startMode);
    for (const qvhost::AddinEntry& entry : qvhost::ReadAddinList()) {
      if (entry.loadBehavior != 3) continue;
      std::string error;
      auto addin = qvhost::LoadedAddin::Load(entry, &error);
      if (!addin) {
        std::fprintf(stderr, "qvsync: %s\n", error.c_str());
        continue;
      }
      try {
        addin->object().OnConnection(application_, options_.connectMode, Variant(), Variant());
      } catch (const Error& e) {
        ReportAddinError(entry, e);
      }
      addins_.push_back(std::move(addin));
    }
    return true;
  }

  void Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    for (auto& addin : addins_) {
      try {
        addin->object().OnBeginShutdown(Variant());
      } catch (const Error& e) {
        ReportAddinError(addin->entry(), e);
      }
    }
    for (auto& addin : addins_) {
      try {
        addin->object().OnDisconnection(qv::outlook::ext_dm_HostShutdown, Variant());
      } catch (const Error& e) {
        ReportAddinError(addin->entry(), e);
      }
    }
    application_ = Variant();
    addins_.clear();
  }

  int Run(const std::vector<std::string>& args) {
    const std::string& verb = args[0];
    if (verb == "start") return 0;
    if (verb == "menu") {
      const auto commands = qv::outlook::ListMenuCommands(application_);
      if (commands.empty()) std::printf("No add-in has added a menu command.\n");
      for (const auto& command : commands) {
        bool enabled = command.control.get("Enabled").ToBool();
        std::printf("%s%s\n", command.path.c_str(), enabled ? "" : " (disabled)");
      }
      return 0;
    }
    if (verb == "click") {
      if (args.size() < 2) {
        std::fprintf(stderr, "qvsync: click needs a caption\n");
        return 2;
      }
      std::string wanted = args[1];
      for (size_t i = 2; i < args.size(); ++i) wanted += " " + args[i];
      for (const auto& command : qv::outlook::ListMenuCommands(application_)) {
        std::string caption = command.control.get("Caption").ToText();
        if (Lower(Plain(caption)) == Lower(Plain(wanted))) {
          try {
            command.control.call("Execute");
          } catch (const Error& e) {
            std::fprintf(stderr, "qvsync: the command \"%s\" failed: %s (%d)\n", caption.c_str(),
                         e.description().c_str(), e.number());
            return 1;
          }
          return 0;
        }
      }
      std::fprintf(stderr, "qvsync: no menu command \"%s\" (see qvsync menu)\n", wanted.c_str());
      return 1;
    }
    std::fprintf(stderr, "qvsync: unknown command \"%s\" (see qvsync --help)\n", verb.c_str());
    return 2;
  }

  // Commands from standard input until "quit" or its end.
  int Interactive() {
    const bool prompt = isatty(STDIN_FILENO);
    std::string line;
    int status = 0;
    for (;;) {
      if (prompt) {
        std::printf("qvsync> ");
        std::fflush(stdout);
      }
      if (!std::getline(std::cin, line)) break;
      std::vector<std::string> args;
      if (!SplitLine(line, &args)) {
        std::fprintf(stderr, "qvsync: a quote is not closed\n");
        status = 2;
        continue;
      }
      if (args.empty()) continue;
      if (args[0] == "quit" || args[0] == "exit") break;
      if (args[0] == "help") {
        std::printf("Commands: every command of qvsync --help (start, menu, click CAPTION, register,\n"
                    "unregister, addins, stores, folders, items, show, add, edit, delete, add-store,\n"
                    "wrapper), help and quit\n");
        continue;
      }
      try {
        if (IsProfileCommand(args[0])) {
          status = RunProfileCommand(*profile_, application_, args);
        } else if (int registration = RunRegistrationCommand(args); registration >= 0) {
          status = registration;
        } else {
          status = Run(args);
        }
      } catch (const Error& e) {
        std::fprintf(stderr, "qvsync: %s (%d)\n", e.description().c_str(), e.number());
        status = 1;
      }
    }
    return status;
  }

 private:
  static void ReportAddinError(const qvhost::AddinEntry& entry, const Error& e) {
    std::fprintf(stderr, "qvsync: the add-in %s raised an error: %s (%d)\n", entry.progId.c_str(),
                 e.description().c_str(), e.number());
  }

  const Options& options_;
  std::shared_ptr<qv::outlook::Profile> profile_;
  Variant application_;
  std::vector<std::unique_ptr<qvhost::LoadedAddin>> addins_;
  bool shutDown_ = false;
};

int Main(int argc, char** argv) {
  Options options;
  std::vector<std::string> args(argv + 1, argv + argc);
  size_t i = 0;
  for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
    const std::string& option = args[i];
    if (option == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (option == "--profile" && i + 1 < args.size()) {
      options.profile = args[++i];
    } else if (option == "--automation") {
      options.startMode = qv::outlook::StartMode::Automation;
    } else if (option == "--external") {
      options.connectMode = qv::outlook::ext_cm_External;
    } else if (option == "--yes" || option == "--no") {
      options.answer = option.substr(2);
    } else if (option == "--fill" && i + 1 < args.size()) {
      options.fillFile = args[++i];
    } else if ((option == "--set" || option == "--press") && i + 1 < args.size()) {
      options.fillOptions.push_back(option + " " + args[++i]);
    } else {
      std::fprintf(stderr, "qvsync: unknown option %s (see qvsync --help)\n", option.c_str());
      return 2;
    }
  }
  options.command.assign(args.begin() + static_cast<long>(i), args.end());
  if (options.profile.empty()) options.profile = DefaultProfilePath();

  // The add-ins' windows come to this console, as on Linux, unless the
  // environment asks for the system's dialogs (QUORVIA_UI_FRONT_END=dialogs).
  if (qv::ui::HostFrontEnd().empty()) qv::ui::SetHostFrontEnd(qv::ui::kHostFrontEndTerminal);
  // Message boxes of the host and of every add-in it loads take the answer.
  if (!options.answer.empty()) qv::ui::SetHostAnswer(options.answer == "yes" ? qv::ui::Answer::Yes : qv::ui::Answer::No);
  // So does the fill script of their windows.
  if (!options.fillFile.empty() || !options.fillOptions.empty()) {
    std::string script, error;
    if (!BuildFillScript(options, &script, &error)) {
      std::fprintf(stderr, "qvsync: %s\n", error.c_str());
      return 2;
    }
    qv::ui::SetHostFillScript(script);
  }

  // The profile's folder is made when missing, as the profile itself is.
  if (const size_t slash = options.profile.rfind('/'); slash != std::string::npos && slash > 0) {
    const std::string folder = options.profile.substr(0, slash);
    for (size_t at = folder.find('/', 1);; at = folder.find('/', at + 1)) {
      qv::shell::CreateFolder(folder.substr(0, at));
      if (at == std::string::npos) break;
    }
  }

  const std::vector<std::string>& command = options.command;
  if (!command.empty()) {
    if (int status = RunRegistrationCommand(command); status >= 0) return status;
    if (IsProfileCommand(command[0])) {
      auto profile = qv::outlook::Profile::Open(options.profile);
      Variant application = qv::outlook::StartOutlook(profile, qv::outlook::StartMode::Automation);
      return RunProfileCommand(*profile, application, command);
    }
  }

  Session session(options);
  qv::ui::ClearFillIncomplete();
  qv::ui::ClearCommandFailures();
  session.Start();
  int status = command.empty() ? session.Interactive() : session.Run(command);
  session.Shutdown();
  // A scripted set-up learns that a window it filled was not completed.
  if (status == 0 && qv::ui::FillIncomplete()) {
    std::fprintf(stderr, "qvsync: a window filled from the script was closed without completing it\n");
    status = 1;
  }
  // A command of the add-in that failed says why on the error stream.
  if (const std::string failures = qv::ui::CommandFailures(); !failures.empty()) {
    std::istringstream reasons(failures);
    for (std::string reason; std::getline(reasons, reason);) {
      std::fprintf(stderr, "qvsync: %s\n", qv::ui::terminal::SafeText(reason).c_str());
    }
    if (status == 0) status = 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const Error& e) {
    std::fprintf(stderr, "qvsync: %s (%d)\n", e.description().c_str(), e.number());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qvsync: %s\n", e.what());
    return 1;
  }
}
