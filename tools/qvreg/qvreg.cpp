// qvreg: the administrator's tool for the registry stand-in, after Windows'
// reg.exe. It queries, adds and deletes keys and values, and imports and
// exports .reg files (see regfile.h for the formats). Single-threaded; each
// command is one process run.
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files/files.h"
#include "platform/registry/registry.h"
#include "tools/qvreg/regfile.h"

namespace {

using qv::registry::Change;
using qv::registry::Hive;
using qv::registry::NamedValue;
using qv::registry::Status;
using qv::registry::Value;
using qv::registry::ValueType;

// Exit codes.
constexpr int kOk = 0;
constexpr int kFailed = 1;    // The operation failed: a missing key, an I/O error...
constexpr int kBadUsage = 2;  // Bad arguments or a malformed input file.

constexpr char kHelp[] = R"(qvreg: query and change the Quorvia registry hives; import and export .reg files.

Usage:
  qvreg query  KEY [/v NAME | /ve] [/s]
  qvreg add    KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
  qvreg delete KEY [/v NAME | /ve | /va] [/f]
  qvreg import FILE.reg
  qvreg export KEY FILE.reg [/y] [/utf8]
  qvreg --help            (also -h, /?)

KEY is a hive followed by a path with "\" between levels, for example
  "HKCU\SOFTWARE\Quorvia\Outlook Sync"   or   HKEY_LOCAL_MACHINE\SOFTWARE\Quorvia\Quorvia
Hives: HKEY_CURRENT_USER (HKCU) and HKEY_LOCAL_MACHINE (HKLM). Key paths and value
names compare without regard to ASCII case. Quote KEY in the shell: "\" is special there.
Options may be given in any case and with "-" instead of "/".

query    Shows the key's values and the names of its subkeys.
           /v NAME  only the value NAME      /ve  only the default value
           /s       the key and every key below it, with their values
add      Creates the key (all missing levels). With /v or /ve, also sets a value:
           /v NAME  the value to set         /ve  the key's default value
           /t TYPE  REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ
           /d DATA  REG_SZ, REG_EXPAND_SZ: the text;
                    REG_DWORD: a number, decimal or 0x-prefixed hex, 0 to 4294967295
                               (0 when /d is left out);
                    REG_BINARY: hex digits, two per byte, e.g. 0a1b2c;
                    REG_MULTI_SZ: the strings separated by \0 (or by /s SEPARATOR,
                               one character), e.g. "one\0two".
           /f       overwrite an existing value without asking
delete   Deletes the key with everything below it, or with
           /v NAME  the value NAME   /ve  the default value   /va  every value of the key
           /f       do not ask for confirmation
import   Applies a .reg file. The whole file is read and checked first: a file with
         any fault changes nothing, and the fault is reported with its line number.
         The changes of each hive are applied at once (all or nothing).
export   Writes KEY, its values and every key below it to a .reg file
         ("Windows Registry Editor Version 5.00", lines ending in CR LF; REG_SZ text
         with line breaks is written as hex(1), which regedit reads back).
           /y       overwrite an existing file without asking
           /utf8    write UTF-8 instead of UTF-16LE. UTF-16LE with byte-order mark is
                    what regedit writes and the only form Windows' regedit reads back
                    with non-ASCII text intact; UTF-8 suits grep, diff and editors here.
         An existing file is replaced whole: a failure leaves the old file.

.reg files read by import:
  First line "Windows Registry Editor Version 5.00" or "REGEDIT4".
  Encoding: UTF-16LE (or BE) with byte-order mark, as regedit writes; UTF-8 with or
  without byte-order mark. A file without byte-order mark that is not valid UTF-8 is
  read as Windows-1252, the code page regedit used for such files.
  [KEY]                      opens KEY, creating it when missing
  [-KEY]                     deletes KEY and everything below it
  "name"="text"              REG_SZ; inside quotes \\ is a backslash, \" a quote
                             (\n, \r and \0 are also understood)
  @="text"                   the key's default value (any type may follow @=)
  "name"=dword:0000000a      REG_DWORD, 1 to 8 hex digits
  "name"=hex:01,02,ff        REG_BINARY; a line ending in \ continues on the next
  "name"=hex(2):...          REG_EXPAND_SZ, text as UTF-16LE bytes (REGEDIT4: 8-bit)
  "name"=hex(7):...          REG_MULTI_SZ, each string NUL-terminated, then a NUL
  "name"=hex(N):...          also N = 0 (REG_NONE), 1 (REG_SZ), 3 (REG_BINARY),
                             4 (REG_DWORD, 4 bytes little-endian); others are refused
  "name"=-                   deletes the value
  ; comment                  comments and blank lines are ignored

Registry view: the hives hold the keys as the product (a 32-bit program) sees them.
A HKEY_LOCAL_MACHINE path beginning with SOFTWARE\Wow6432Node\Quorvia, as a 64-bit
Windows shows and exports the product's keys, names the same key as SOFTWARE\Quorvia,
on the command line and in imported files; exports write SOFTWARE\Quorvia.

Hive files: $QUORVIA_HKCU and $QUORVIA_HKLM name the SQLite databases of the hives;
without them, $XDG_CONFIG_HOME/quorvia/hkcu.db (~/.config/quorvia/hkcu.db) and
/var/lib/quorvia/hklm.db.

Questions (overwrite? delete?) are asked only on a terminal; elsewhere add /f (or
/y for export) or the command stops with status 2 and changes nothing.

Exit status: 0 success; 1 the operation failed (key or value missing, a hive that
cannot be read or written, a file that cannot be read or written, cancelled);
2 bad usage or a malformed .reg file.
)";

int Usage(const std::string& message) {
  std::cerr << "ERROR: " << message << "\nType \"qvreg --help\" for usage.\n";
  return kBadUsage;
}

int Failure(const std::string& message) {
  std::cerr << "ERROR: " << message << "\n";
  return kFailed;
}

// The hive's file, for a failure of the file rather than of a key or value.
std::string HiveFileNote(Hive hive, Status status) {
  if (status != Status::Corrupt && status != Status::IoError) return "";
  return " (" + qv::registry::HivePath(hive) + ")";
}

int StoreFailure(Status status, Hive hive, const std::string& what) {
  return Failure(what + ": " + qv::registry::StatusText(status) + HiveFileNote(hive, status));
}

int Done() {
  std::cout << "The operation completed successfully.\n";
  return kOk;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// Asks a yes/no question on the terminal. Without a terminal nobody can
// answer, so the caller is told to confirm with an option instead.
std::optional<int> Confirm(const std::string& question, const char* option) {
  if (!isatty(STDIN_FILENO)) {
    return Usage(question.substr(0, question.find('?')) + " needs confirmation: add " + option);
  }
  for (;;) {
    std::cout << question << " (Yes/No)? " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) answer = "n";
    if (EqualsNoCase(answer, "y") || EqualsNoCase(answer, "yes")) return std::nullopt;
    if (EqualsNoCase(answer, "n") || EqualsNoCase(answer, "no")) {
      return Failure("the operation was cancelled");
    }
  }
}

// A key named on the command line.
struct KeyName {
  Hive hive;
  std::string path;
  std::string Display() const {
    std::string name = qv::regfile::HiveFullName(hive);
    return path.empty() ? name : name + "\\" + path;
  }
  std::string Child(const std::string& sub) const { return path.empty() ? sub : path + "\\" + sub; }
};

// The options after a command's fixed arguments.
struct Options {
  std::optional<std::string> value_name;  // /v NAME, or "" for /ve.
  bool all_values = false;                // /va
  bool recursive = false;                 // /s (query)
  std::optional<std::string> type;        // /t
  std::optional<std::string> separator;   // /s (add)
  std::optional<std::string> data;        // /d
  bool force = false;                     // /f, /y
  bool utf8 = false;                      // /utf8
};

// Reads the options; `allowed` lists the ones the command takes ("v", "ve", ...).
std::optional<int> ParseOptions(const std::vector<std::string>& args, size_t first,
                                const std::vector<std::string>& allowed, const std::string& command,
                                Options* options) {
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-')) {
      return Usage("unexpected argument \"" + arg + "\" for " + command);
    }
    std::string name = arg.substr(1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    bool known = false;
    for (const auto& option : allowed) known = known || option == name;
    if (!known) return Usage("option " + arg + " is not one of " + command + "'s");
    bool takes_argument = name == "v" || name == "t" || name == "d" || (name == "s" && command == "add");
    if (takes_argument && i + 1 >= args.size()) return Usage("option " + arg + " needs an argument");
    auto once = [&](auto& slot) -> bool { return !slot.has_value(); };
    if (name == "v" || name == "ve") {
      if (!once(options->value_name) || options->all_values) return Usage("give one of /v, /ve and /va");
      options->value_name = name == "v" ? args[++i] : std::string();
    } else if (name == "va") {
      if (options->value_name || options->all_values) return Usage("give one of /v, /ve and /va");
      options->all_values = true;
    } else if (name == "s" && command == "add") {
      if (!once(options->separator)) return Usage("/s given twice");
      options->separator = args[++i];
    } else if (name == "s") {
      options->recursive = true;
    } else if (name == "t") {
      if (!once(options->type)) return Usage("/t given twice");
      options->type = args[++i];
    } else if (name == "d") {
      if (!once(options->data)) return Usage("/d given twice");
      options->data = args[++i];
    } else if (name == "f" || name == "y") {
      options->force = true;
    } else if (name == "utf8") {
      options->utf8 = true;
    }
  }
  return std::nullopt;
}

// The key with each level spelt as stored (the command line may differ in case),
// so that an export recreates the same names. Levels not found stay as given.
KeyName StoredCase(const KeyName& key) {
  qv::registry::Store& store = qv::registry::HiveStore(key.hive);
  KeyName stored{key.hive, ""};
  size_t pos = 0;
  while (pos < key.path.size()) {
    size_t slash = key.path.find('\\', pos);
    std::string level = key.path.substr(pos, slash == std::string::npos ? std::string::npos : slash - pos);
    std::vector<std::string> subkeys;
    if (store.EnumSubkeys(stored.path, &subkeys) == Status::Ok) {
      for (const auto& sub : subkeys) {
        if (EqualsNoCase(sub, level)) level = sub;
      }
    }
    stored.path = stored.Child(level);
    if (slash == std::string::npos) break;
    pos = slash + 1;
  }
  return stored;
}

// The hives hold the keys as the product sees them through its own (32-bit)
// registry view, where Windows keeps them under Software\Wow6432Node on 64-bit
// systems. The library reads a machine-wide path naming that view as the path
// without it, and so does this tool, on the command line and in imported files.
// The rule is the library's (the same prefix, any case); the other levels keep
// the case they are written in.
std::string ProductView(Hive hive, const std::string& path) {
  static constexpr std::string_view kView = "Software\\Wow6432Node\\Quorvia";
  if (hive != Hive::LocalMachine || path.size() < kView.size() ||
      !EqualsNoCase(std::string_view(path).substr(0, kView.size()), kView)) {
    return path;
  }
  return path.substr(0, 9) + path.substr(9 + 12);  // Without "Wow6432Node\".
}

std::optional<int> ParseKey(const std::string& text, KeyName* key) {
  if (!qv::regfile::SplitKeyName(text, &key->hive, &key->path)) {
    return Usage("\"" + text +
                 "\" is not a key name: it must start with HKCU, HKEY_CURRENT_USER, HKLM or "
                 "HKEY_LOCAL_MACHINE and have no empty level");
  }
  key->path = ProductView(key->hive, key->path);
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// query

const char* TypeName(ValueType type) {
  switch (type) {
    case ValueType::None: return "REG_NONE";
    case ValueType::String: return "REG_SZ";
    case ValueType::ExpandString: return "REG_EXPAND_SZ";
    case ValueType::Binary: return "REG_BINARY";
    case ValueType::Dword: return "REG_DWORD";
    case ValueType::MultiString: return "REG_MULTI_SZ";
  }
  return "REG_UNKNOWN";
}

// The data as reg.exe shows it.
std::string DisplayData(const Value& value) {
  std::string out;
  switch (value.type) {
    case ValueType::String:
    case ValueType::ExpandString:
      return value.data;
    case ValueType::Dword:
      if (value.data.size() == 4) {
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) number = number << 8 | static_cast<unsigned char>(value.data[i]);
        char text[16];
        std::snprintf(text, sizeof text, "0x%x", number);
        return text;
      }
      break;
    case ValueType::MultiString: {
      std::string text = value.data;
      if (!text.empty() && text.back() == '\0') text.pop_back();
      for (char c : text) out += c == '\0' ? std::string("\\0") : std::string(1, c);
      return out;
    }
    default:
      break;
  }
  for (unsigned char c : value.data) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", c);
    out += hex;
  }
  return out;
}

void PrintValue(const NamedValue& named) {
  std::cout << "    " << (named.name.empty() ? "(Default)" : named.name) << "    "
            << TypeName(named.value.type) << "    " << DisplayData(named.value) << "\n";
}

int Query(const KeyName& asked, const Options& options) {
  qv::registry::Store& store = qv::registry::HiveStore(asked.hive);
  Status status = store.KeyExists(asked.path);
  if (status != Status::Ok) return StoreFailure(status, asked.hive, asked.Display());
  const KeyName key = StoredCase(asked);

  if (options.value_name) {
    Value value;
    status = store.GetValue(key.path, *options.value_name, &value);
    if (status != Status::Ok) return StoreFailure(status, key.hive, key.Display());
    // Shown with the name as stored, which may differ in case from the one asked for.
    std::string name = *options.value_name;
    std::vector<NamedValue> values;
    if (store.EnumValues(key.path, &values) == Status::Ok) {
      for (const auto& named : values) {
        if (EqualsNoCase(named.name, name)) name = named.name;
      }
    }
    std::cout << "\n" << key.Display() << "\n";
    PrintValue(NamedValue{name, value});
    std::cout << "\n";
    return kOk;
  }

  // Depth first, each key's values before the keys below it, as reg.exe lists them.
  std::vector<std::string> pending{key.path};
  while (!pending.empty()) {
    KeyName current{key.hive, pending.back()};
    pending.pop_back();
    std::vector<NamedValue> values;
    std::vector<std::string> subkeys;
    status = store.EnumValues(current.path, &values);
    if (status == Status::Ok) status = store.EnumSubkeys(current.path, &subkeys);
    if (status != Status::Ok) return StoreFailure(status, current.hive, current.Display());
    std::cout << "\n" << current.Display() << "\n";
    for (const auto& named : values) PrintValue(named);
    if (options.recursive) {
      for (auto it = subkeys.rbegin(); it != subkeys.rend(); ++it) pending.push_back(current.Child(*it));
    } else {
      if (!subkeys.empty()) std::cout << "\n";
      for (const auto& sub : subkeys) std::cout << KeyName{key.hive, current.Child(sub)}.Display() << "\n";
    }
  }
  return kOk;
}

// ---------------------------------------------------------------------------
// add

// Builds the value from /t, /d and /s; nullopt with *exit set on bad input.
std::optional<Value> BuildValue(const Options& options, int* exit) {
  std::string type = options.type.value_or("REG_SZ");
  for (char& c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string data = options.data.value_or("");
  Value value;
  if (options.separator && type != "REG_MULTI_SZ") {
    *exit = Usage("/s SEPARATOR goes with /t REG_MULTI_SZ only");
    return std::nullopt;
  }
  if (type == "REG_SZ" || type == "REG_EXPAND_SZ") {
    value.type = type == "REG_SZ" ? ValueType::String : ValueType::ExpandString;
    value.data = data;
  } else if (type == "REG_DWORD") {
    unsigned long long number = 0;
    if (!data.empty()) {
      bool hex = data.size() > 2 && data[0] == '0' && (data[1] == 'x' || data[1] == 'X');
      std::string digits = hex ? data.substr(2) : data;
      bool valid = !digits.empty() && digits.size() <= 10;
      for (char c : digits) valid = valid && (hex ? std::isxdigit(static_cast<unsigned char>(c)) : std::isdigit(static_cast<unsigned char>(c)));
      if (valid) number = std::stoull(digits, nullptr, hex ? 16 : 10);
      if (!valid || number > 0xFFFFFFFFull) {
        *exit = Usage("\"" + data + "\" is not a REG_DWORD number (0 to 4294967295, decimal or 0x hex)");
        return std::nullopt;
      }
    }
    value.type = ValueType::Dword;
    for (int i = 0; i < 4; ++i) value.data.push_back(static_cast<char>(number >> (8 * i) & 0xFF));
  } else if (type == "REG_BINARY") {
    bool valid = data.size() % 2 == 0;
    for (char c : data) valid = valid && std::isxdigit(static_cast<unsigned char>(c));
    if (!valid) {
      *exit = Usage("REG_BINARY data must be hex digits, two per byte (e.g. 0a1b2c)");
      return std::nullopt;
    }
    value.type = ValueType::Binary;
    for (size_t i = 0; i < data.size(); i += 2) {
      value.data.push_back(static_cast<char>(std::stoi(data.substr(i, 2), nullptr, 16)));
    }
  } else if (type == "REG_MULTI_SZ") {
    std::string separator = options.separator.value_or("\\0");
    if (options.separator && separator.size() != 1) {
      *exit = Usage("/s SEPARATOR must be one character");
      return std::nullopt;
    }
    value.type = ValueType::MultiString;
    size_t pos = 0;
    while (!data.empty()) {
      size_t next = data.find(separator, pos);
      value.data += data.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
      value.data.push_back('\0');
      if (next == std::string::npos) break;
      pos = next + separator.size();
    }
  } else {
    *exit = Usage("unknown type \"" + *options.type +
                  "\" (REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_BINARY or REG_MULTI_SZ)");
    return std::nullopt;
  }
  return value;
}

int Add(const KeyName& key, const Options& options) {
  qv::registry::Store& store = qv::registry::HiveStore(key.hive);
  if (!options.value_name) {
    if (options.type || options.data || options.separator) return Usage("/t, /d and /s need /v NAME or /ve");
    Status status = store.CreateKey(key.path);
    return status == Status::Ok ? Done() : StoreFailure(status, key.hive, key.Display());
  }
  int exit = kOk;
  std::optional<Value> value = BuildValue(options, &exit);
  if (!value) return exit;
  Value existing;
  Status status = store.GetValue(key.path, *options.value_name, &existing);
  if (status == Status::Ok && !options.force) {
    std::string shown = options.value_name->empty() ? "(Default)" : *options.value_name;
    if (auto refused = Confirm("Value " + shown + " exists, overwrite it?", "/f")) return *refused;
  } else if (status != Status::Ok && status != Status::NotFound) {
    return StoreFailure(status, key.hive, key.Display());
  }
  Change change{Change::Kind::SetValue, key.path, *options.value_name, *value};
  status = store.Apply({change});
  return status == Status::Ok ? Done() : StoreFailure(status, key.hive, key.Display());
}

// ---------------------------------------------------------------------------
// delete

int Delete(const KeyName& key, const Options& options) {
  qv::registry::Store& store = qv::registry::HiveStore(key.hive);
  if (options.value_name) {
    std::string shown = options.value_name->empty() ? "(Default)" : *options.value_name;
    Value existing;
    Status status = store.GetValue(key.path, *options.value_name, &existing);
    if (status != Status::Ok) return StoreFailure(status, key.hive, key.Display() + " " + shown);
    if (!options.force) {
      if (auto refused = Confirm("Delete the registry value " + shown + "?", "/f")) return *refused;
    }
    status = store.DeleteValue(key.path, *options.value_name);
    return status == Status::Ok ? Done() : StoreFailure(status, key.hive, key.Display() + " " + shown);
  }
  if (options.all_values) {
    std::vector<NamedValue> values;
    Status status = store.EnumValues(key.path, &values);
    if (status != Status::Ok) return StoreFailure(status, key.hive, key.Display());
    if (!options.force) {
      if (auto refused = Confirm("Delete all values under the registry key " + key.Display() + "?", "/f")) {
        return *refused;
      }
    }
    std::vector<Change> changes;
    for (const auto& named : values) changes.push_back(Change{Change::Kind::DeleteValue, key.path, named.name, {}});
    status = store.Apply(changes);
    return status == Status::Ok ? Done() : StoreFailure(status, key.hive, key.Display());
  }
  if (key.path.empty()) return Usage("a hive's root key cannot be deleted");
  Status status = store.KeyExists(key.path);
  if (status != Status::Ok) return StoreFailure(status, key.hive, key.Display());
  if (!options.force) {
    if (auto refused = Confirm("Permanently delete the registry key " + key.Display() + "?", "/f")) {
      return *refused;
    }
  }
  status = store.DeleteTree(key.path);
  return status == Status::Ok ? Done() : StoreFailure(status, key.hive, key.Display());
}

// ---------------------------------------------------------------------------
// import and export

bool ReadWholeFile(const std::string& path, std::string* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *data = buffer.str();
  return !in.bad();
}

int Import(const std::string& file) {
  std::string bytes;
  if (!ReadWholeFile(file, &bytes)) return Failure("cannot read " + file + ": " + std::strerror(errno));
  qv::regfile::Document document;
  qv::regfile::ParseError error;
  if (!qv::regfile::Parse(bytes, &document, &error)) {
    std::cerr << "ERROR: " << file << ":" << error.line << ": " << error.message
              << "\nNothing was imported.\n";
    return kBadUsage;
  }
  // Each hive's batch is atomic, but two hives cannot share one transaction:
  // an empty batch first proves every hive concerned can be written, so that a
  // hive that is corrupt or unwritable stops the import before anything changes.
  // Hives untouched by the file are not opened.
  std::vector<std::pair<Hive, std::vector<Change>>> batches;
  for (Hive hive : {Hive::CurrentUser, Hive::LocalMachine}) {
    std::vector<Change> changes = qv::regfile::ChangesFor(document, hive);
    if (changes.empty()) continue;
    for (Change& change : changes) change.path = ProductView(hive, change.path);
    Status status = qv::registry::HiveStore(hive).Apply({});
    if (status != Status::Ok) {
      return Failure(std::string("cannot write ") + qv::regfile::HiveFullName(hive) + ": " +
                     qv::registry::StatusText(status) + HiveFileNote(hive, status) +
                     " Nothing was imported.");
    }
    batches.emplace_back(hive, std::move(changes));
  }
  for (size_t i = 0; i < batches.size(); ++i) {
    Status status = qv::registry::HiveStore(batches[i].first).Apply(batches[i].second);
    if (status != Status::Ok) {
      return Failure(std::string("cannot apply the changes to ") + qv::regfile::HiveFullName(batches[i].first) +
                     ": " + qv::registry::StatusText(status) +
                     HiveFileNote(batches[i].first, status) + (i == 0 ? " Nothing was imported." : " The changes to HKEY_CURRENT_USER were applied."));
    }
  }
  return Done();
}

// Writes the file whole through a temporary file renamed over it, so a failure
// leaves any old file as it was; a replaced file keeps its mode, a link is
// written through.
bool WriteFileReplacing(const std::string& path, const std::string& data, std::string* error) {
  if (const int failure = qv::files::ReplaceFile(path, data); failure != 0) {
    *error = std::strerror(failure);
    return false;
  }
  return true;
}

int Export(const KeyName& asked, const std::string& file, const Options& options) {
  qv::registry::Store& store = qv::registry::HiveStore(asked.hive);
  Status status = store.KeyExists(asked.path);
  if (status != Status::Ok) return StoreFailure(status, asked.hive, asked.Display());
  const KeyName key = StoredCase(asked);

  std::vector<qv::regfile::KeyValues> keys;
  std::vector<std::string> pending{key.path};
  while (!pending.empty()) {
    qv::regfile::KeyValues current{pending.back(), {}};
    pending.pop_back();
    std::vector<std::string> subkeys;
    status = store.EnumValues(current.path, &current.values);
    if (status == Status::Ok) status = store.EnumSubkeys(current.path, &subkeys);
    if (status != Status::Ok) return StoreFailure(status, key.hive, KeyName{key.hive, current.path}.Display());
    KeyName name{key.hive, current.path};
    for (auto it = subkeys.rbegin(); it != subkeys.rend(); ++it) pending.push_back(name.Child(*it));
    keys.push_back(std::move(current));
  }

  std::error_code ec;
  if (!options.force && std::filesystem::exists(file, ec)) {
    if (auto refused = Confirm("File " + file + " already exists. Overwrite it?", "/y")) return *refused;
  }
  std::string text = qv::regfile::Write(
      key.hive, keys, options.utf8 ? qv::regfile::Encoding::Utf8 : qv::regfile::Encoding::Utf16Le);
  std::string error;
  if (!WriteFileReplacing(file, text, &error)) return Failure("cannot write " + file + ": " + error);
  return Done();
}

bool IsHelp(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "/?" || arg == "-?"; }

int Run(const std::vector<std::string>& args) {
  if (args.empty()) return Usage("no command given");
  for (const auto& arg : args) {
    if (IsHelp(arg)) {
      std::cout << kHelp;
      return kOk;
    }
  }
  std::string command = args[0];
  for (char& c : command) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (command == "help") {
    std::cout << kHelp;
    return kOk;
  }
  Options options;
  KeyName key{};
  if (command == "import") {
    if (args.size() != 2) return Usage("import takes one FILE.reg");
    return Import(args[1]);
  }
  size_t fixed = command == "export" ? 3 : 2;
  if (command != "query" && command != "add" && command != "delete" && command != "export") {
    return Usage("unknown command \"" + args[0] + "\"");
  }
  if (args.size() < fixed) return Usage(command + (fixed == 3 ? " needs KEY and FILE.reg" : " needs KEY"));
  if (auto exit = ParseKey(args[1], &key)) return *exit;
  std::vector<std::string> allowed;
  if (command == "query") allowed = {"v", "ve", "s"};
  if (command == "add") allowed = {"v", "ve", "t", "s", "d", "f"};
  if (command == "delete") allowed = {"v", "ve", "va", "f"};
  if (command == "export") allowed = {"y", "utf8"};
  if (auto exit = ParseOptions(args, fixed, allowed, command, &options)) return *exit;

  if (command == "query") return Query(key, options);
  if (command == "add") return Add(key, options);
  if (command == "delete") return Delete(key, options);
  return Export(key, args[2], options);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::exception& e) {
    std::cerr << "ERROR: " << e.what() << "\n";
    return kFailed;
  }
}
