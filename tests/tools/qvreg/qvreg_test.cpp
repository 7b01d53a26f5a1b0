// End-to-end cases of the qvreg tool over real hives: the built binary runs as
// a child process on the temporary hives of the RegistryTest fixture.
#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

namespace qv {
namespace registry {
// Readable failures of comparisons of hive contents.
void PrintTo(const NamedValue& named, std::ostream* out) {
  *out << "\"" << named.name << "\" type " << static_cast<int>(named.value.type) << " data ";
  for (unsigned char c : named.value.data) *out << (c < 16 ? "0" : "") << std::hex << int(c) << std::dec << " ";
}
}  // namespace registry

namespace {

using registry::Hive;
using registry::HiveStore;
using registry::NamedValue;
using registry::Status;
using registry::Value;
using registry::ValueType;
using testing::ReadFile;
using testing::WriteFile;

struct Result {
  int exit = -1;
  std::string out;
  std::string err;
};

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Utf16Le(const std::string& utf8) {
  iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  std::string out(utf8.size() * 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  iconv(cd, &in, &in_left, &dst, &dst_left);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

// Every key at and below `path` with its values, in enumeration order.
using Tree = std::vector<std::pair<std::string, std::vector<NamedValue>>>;

Tree Dump(Hive hive, const std::string& path) {
  Tree tree;
  std::vector<std::string> pending{path};
  while (!pending.empty()) {
    std::string key = pending.back();
    pending.pop_back();
    std::vector<NamedValue> values;
    std::vector<std::string> subkeys;
    if (HiveStore(hive).EnumValues(key, &values) != Status::Ok) break;
    EXPECT_EQ(HiveStore(hive).EnumSubkeys(key, &subkeys), Status::Ok);
    for (auto it = subkeys.rbegin(); it != subkeys.rend(); ++it) {
      pending.push_back(key.empty() ? *it : key + "\\" + *it);
    }
    tree.emplace_back(key, std::move(values));
  }
  return tree;
}

class QvregTest : public testing::RegistryTest {
 protected:
  Result Run(const std::vector<std::string>& args) {
    std::string command = ShellQuote(testing::BuildDir() + "/tools/qvreg/qvreg");
    for (const auto& arg : args) command += " " + ShellQuote(arg);
    std::string out = dir_.File("stdout"), err = dir_.File("stderr");
    command += " </dev/null >" + ShellQuote(out) + " 2>" + ShellQuote(err);
    int status = std::system(command.c_str());
    Result result;
    result.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
  }

  std::string File(const std::string& name, const std::string& data) {
    std::string path = dir_.File(name);
    EXPECT_TRUE(WriteFile(path, data));
    return path;
  }

  Value Get(Hive hive, const std::string& path, const std::string& name) {
    Value value;
    EXPECT_EQ(HiveStore(hive).GetValue(path, name, &value), Status::Ok) << path << " " << name;
    return value;
  }
};

// As regedit exports the product's keys: UTF-16LE, CR LF, nested keys, every type.
const char kProductKeys[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Quorvia\\Outlook Sync]\r\n"
    "\"User Name\"=\"J\xC3\xB6rg \\\"the admin\\\" \xE6\x97\xA5\xE6\x9C\xAC\"\r\n"
    "\"Data Directory\"=\"C:\\\\Users\\\\j\xC3\xB6rg\\\\Quorvia\\\\\"\r\n"
    "\"Sync Mode\"=dword:00000003\r\n"
    "\"Password\"=hex:4a,f0,00,13,ff,ee,dd,cc,bb,aa,99,88,77,66,55,44,33,22,11,00,01,\\\r\n"
    "  02,03,04,05\r\n"
    "@=\"\"\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Quorvia\\Outlook Sync\\Default]\r\n"
    "\"Server\"=\"mail.example.com\"\r\n"
    "\"Port\"=dword:00000050\r\n"
    "\"Path\"=hex(2):25,00,41,00,50,00,50,00,44,00,41,00,54,00,41,00,25,00,00,00\r\n"
    "\"Hosts\"=hex(7):61,00,00,00,e9,00,00,00,00,00\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Quorvia\\Outlook Sync\\Default\\Deeper\\Still]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\WOW6432Node\\Quorvia\\Quorvia]\r\n"
    "\"Application Directory\"=\"C:\\\\Program Files\\\\Quorvia\"\r\n"
    "\r\n";

TEST_F(QvregTest, ImportsRegeditExportAndRoundTripsThroughTheHive) {
  std::string original = File("product.reg", "\xFF\xFE" + Utf16Le(kProductKeys));
  Result imported = Run({"import", original});
  ASSERT_EQ(imported.exit, 0) << imported.err;

  const std::string sync = "Software\\Quorvia\\Outlook Sync";
  EXPECT_EQ(Get(Hive::CurrentUser, sync, "user name"),
            (Value{ValueType::String, "J\xC3\xB6rg \"the admin\" \xE6\x97\xA5\xE6\x9C\xAC"}));
  EXPECT_EQ(Get(Hive::CurrentUser, sync, "Data Directory").data, "C:\\Users\\j\xC3\xB6rg\\Quorvia\\");
  EXPECT_EQ(Get(Hive::CurrentUser, sync, "Sync Mode"), Value::Dword(3));
  EXPECT_EQ(Get(Hive::CurrentUser, sync, "Password").data.size(), 25u);
  EXPECT_EQ(Get(Hive::CurrentUser, sync, "").data, "");
  EXPECT_EQ(Get(Hive::CurrentUser, sync + "\\Default", "Port"), Value::Dword(80));
  EXPECT_EQ(Get(Hive::CurrentUser, sync + "\\Default", "Path"), (Value{ValueType::ExpandString, "%APPDATA%"}));
  EXPECT_EQ(Get(Hive::CurrentUser, sync + "\\Default", "Hosts").AsStrings(),
            (std::vector<std::string>{"a", "\xC3\xA9"}));
  EXPECT_EQ(HiveStore(Hive::CurrentUser).KeyExists(sync + "\\default\\deeper\\still"), Status::Ok);
  EXPECT_EQ(Get(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia", "Application Directory").data,
            "C:\\Program Files\\Quorvia");
  // A 64-bit Windows shows the product's machine keys in the 32-bit view; the
  // product reads them without it, and so does the tool.
  EXPECT_EQ(HiveStore(Hive::LocalMachine).KeyExists("SOFTWARE\\WOW6432Node"), Status::NotFound);
  Result query = Run({"query", "HKLM\\Software\\Wow6432Node\\Quorvia\\Quorvia", "/v", "Application Directory"});
  EXPECT_EQ(query.exit, 0) << query.err;
  EXPECT_NE(query.out.find("HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvia\\Quorvia\n"), std::string::npos) << query.out;

  const Tree before = Dump(Hive::CurrentUser, "Software\\Quorvia");
  ASSERT_EQ(before.size(), 5u);
  for (const char* option : {"/y", "/utf8"}) {
    SCOPED_TRACE(option);
    std::string exported = dir_.File("exported.reg");
    // Named in another case: the export keeps the names as stored.
    Result result = Run({"export", "hkcu\\SOFTWARE\\quorvia", exported, "/y", option});
    ASSERT_EQ(result.exit, 0) << result.err;
    EXPECT_EQ(ReadFile(exported).substr(0, 2) == "\xFF\xFE", std::string(option) == "/y");
    ASSERT_EQ(Run({"delete", "HKEY_CURRENT_USER\\Software\\Quorvia", "/f"}).exit, 0);
    EXPECT_EQ(HiveStore(Hive::CurrentUser).KeyExists("Software\\Quorvia"), Status::NotFound);
    result = Run({"import", exported});
    ASSERT_EQ(result.exit, 0) << result.err;
    EXPECT_EQ(Dump(Hive::CurrentUser, "Software\\Quorvia"), before);
    std::vector<std::string> subkeys;
    EXPECT_EQ(HiveStore(Hive::CurrentUser).EnumSubkeys("Software", &subkeys), Status::Ok);
    EXPECT_EQ(subkeys, std::vector<std::string>{"Quorvia"});
  }
}

TEST_F(QvregTest, MalformedFileChangesNothingAndNamesTheLine) {
  ASSERT_EQ(Run({"import", File("product.reg", kProductKeys)}).exit, 0);
  const Tree user = Dump(Hive::CurrentUser, "");
  const Tree machine = Dump(Hive::LocalMachine, "");

  // Valid deletions and additions in both hives, then a fault on line 9.
  std::string bad = File("bad.reg",
                         "Windows Registry Editor Version 5.00\n"
                         "[-HKEY_CURRENT_USER\\Software\\Quorvia]\n"
                         "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvia\\Quorvia]\n"
                         "\"Application Directory\"=-\n"
                         "\"New\"=dword:00000001\n"
                         "[HKEY_CURRENT_USER\\Software\\Other]\n"
                         "\"Blob\"=hex:01,02,\\\n"
                         "  03,\\\n"
                         "  0x4\n");
  Result result = Run({"import", bad});
  EXPECT_EQ(result.exit, 2);
  EXPECT_NE(result.err.find(bad + ":9: \"0x4\" is not a hex byte"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("Nothing was imported"), std::string::npos);
  EXPECT_EQ(Dump(Hive::CurrentUser, ""), user);
  EXPECT_EQ(Dump(Hive::LocalMachine, ""), machine);

  // A file that is no registry file at all.
  result = Run({"import", File("notes.txt", "[HKCU\\x]\n")});
  EXPECT_EQ(result.exit, 2);
  EXPECT_NE(result.err.find(":1: not a registry file"), std::string::npos) << result.err;
  EXPECT_EQ(Run({"import", dir_.File("missing.reg")}).exit, 1);
  EXPECT_EQ(Dump(Hive::CurrentUser, ""), user);
}

TEST_F(QvregTest, UnwritableHiveStopsTheImportOfBoth) {
  std::string file = File("both.reg",
                          "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\A]\n\"v\"=\"1\"\n"
                          "[HKEY_LOCAL_MACHINE\\SOFTWARE\\B]\n\"v\"=\"2\"\n");
  // Either hive may be the broken one; the other must stay untouched.
  for (Hive broken : {Hive::CurrentUser, Hive::LocalMachine}) {
    SCOPED_TRACE(static_cast<int>(broken));
    testing::TempDir round;  // New hive files for this round.
    testing::ScopedEnv hkcu("QUORVIA_HKCU", round.File("hkcu.db"));
    testing::ScopedEnv hklm("QUORVIA_HKLM", round.File("hklm.db"));
    std::string broken_file = registry::HivePath(broken);
    ASSERT_TRUE(WriteFile(broken_file, std::string(4096, 'x')));
    Result result = Run({"import", file});
    EXPECT_EQ(result.exit, 1);
    EXPECT_NE(result.err.find("Nothing was imported"), std::string::npos) << result.err;
    Hive other = broken == Hive::CurrentUser ? Hive::LocalMachine : Hive::CurrentUser;
    EXPECT_EQ(HiveStore(other).KeyExists(other == Hive::CurrentUser ? "Software\\A" : "SOFTWARE\\B"),
              Status::NotFound);
    EXPECT_EQ(ReadFile(broken_file), std::string(4096, 'x'));
    EXPECT_NE(result.err.find(broken_file), std::string::npos) << result.err;  // names the file
  }
}

TEST_F(QvregTest, KeysBeyondWindowsLimitsAreRefusedWithTheirLine) {
  ASSERT_EQ(Run({"import", File("product.reg", kProductKeys)}).exit, 0);
  const Tree user = Dump(Hive::CurrentUser, "");
  const std::string hiveBefore = ReadFile(registry::HivePath(Hive::CurrentUser));
  // 10,000 levels in a 20 KB file, after a change that must not be applied.
  std::string deep = "[HKEY_CURRENT_USER\\Software";
  for (int i = 0; i < 10000; ++i) deep += "\\a";
  const std::string file = File("deep.reg", "Windows Registry Editor Version 5.00\n"
                                            "[HKEY_CURRENT_USER\\Software\\Kept]\n"
                                            "\"v\"=\"1\"\n\n" + deep + "]\n");
  const auto start = std::chrono::steady_clock::now();
  Result result = Run({"import", file});
  // Refused at the limit, not after walking all the levels (which took 8 s):
  // well under that even for a sanitized build on a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  EXPECT_EQ(result.exit, 2);
  EXPECT_NE(result.err.find(file + ":5: key name of 10001 levels (at most 512)"), std::string::npos)
      << result.err;
  EXPECT_EQ(Dump(Hive::CurrentUser, ""), user);
  EXPECT_EQ(HiveStore(Hive::CurrentUser).KeyExists("Software\\Kept"), Status::NotFound);

  // A level of 256 characters, a value name of 16,384; the limits themselves pass.
  result = Run({"import", File("long.reg", "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\" +
                                               std::string(256, 'k') + "]\n")});
  EXPECT_NE(result.err.find(":2: key name with a level longer than 255 characters"),
            std::string::npos)
      << result.err;
  result = Run({"import", File("name.reg", "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\N]\n\"" +
                                               std::string(16384, 'n') + "\"=\"x\"\n")});
  EXPECT_NE(result.err.find(":3: value name longer than 16383 characters"), std::string::npos)
      << result.err;
  EXPECT_EQ(Dump(Hive::CurrentUser, ""), user);
  std::string atLimits = "REGEDIT4\n[HKEY_CURRENT_USER\\Software\\" + std::string(255, 'k');
  for (int i = 2; i < 512; ++i) atLimits += "\\b";
  atLimits += "]\n\"" + std::string(16383, 'n') + "\"=\"x\"\n";
  result = Run({"import", File("limits.reg", atLimits)});
  EXPECT_EQ(result.exit, 0) << result.err;
}

TEST_F(QvregTest, AddQueryAndDeleteLikeRegExe) {
  const std::string key = "HKCU\\Software\\Quorvia\\Outlook Sync";
  const std::string path = "Software\\Quorvia\\Outlook Sync";
  ASSERT_EQ(Run({"add", key, "/v", "Port", "/t", "REG_DWORD", "/d", "0x50"}).exit, 0);
  EXPECT_EQ(Get(Hive::CurrentUser, path, "Port"), Value::Dword(80));

  Result query = Run({"query", key, "/v", "port"});
  EXPECT_EQ(query.exit, 0);
  EXPECT_EQ(query.out, "\nHKEY_CURRENT_USER\\" + path + "\n    Port    REG_DWORD    0x50\n\n");

  // No terminal to confirm on: an existing value needs /f.
  Result again = Run({"add", key, "/v", "PORT", "/t", "reg_dword", "/d", "81"});
  EXPECT_EQ(again.exit, 2);
  EXPECT_NE(again.err.find("/f"), std::string::npos) << again.err;
  EXPECT_EQ(Get(Hive::CurrentUser, path, "Port"), Value::Dword(80));
  ASSERT_EQ(Run({"add", key, "/v", "PORT", "/t", "reg_dword", "/d", "4294967295", "/f"}).exit, 0);
  EXPECT_EQ(Get(Hive::CurrentUser, path, "Port"), Value::Dword(0xFFFFFFFF));

  ASSERT_EQ(Run({"add", key, "/ve", "/d", "C:\\x \"y\" \xC3\xA9"}).exit, 0);
  EXPECT_EQ(Get(Hive::CurrentUser, path, ""), Value::String("C:\\x \"y\" \xC3\xA9"));
  ASSERT_EQ(Run({"add", key, "-V", "Hosts", "-T", "REG_MULTI_SZ", "-D", "a\\0b"}).exit, 0);
  EXPECT_EQ(Get(Hive::CurrentUser, path, "Hosts"), Value::MultiString({"a", "b"}));
  ASSERT_EQ(Run({"add", key, "/v", "Hosts", "/t", "REG_MULTI_SZ", "/s", ",", "/d", "c,,d", "/f"}).exit, 0);
  EXPECT_EQ(Get(Hive::CurrentUser, path, "Hosts"), Value::MultiString({"c", "", "d"}));
  ASSERT_EQ(Run({"add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", "0aFF"}).exit, 0);
  EXPECT_EQ(Get(Hive::CurrentUser, path, "Blob"), Value::Binary("\x0a\xff"));
  ASSERT_EQ(Run({"add", key, "/v", "Exp", "/t", "REG_EXPAND_SZ", "/d", "%HOME%"}).exit, 0);
  EXPECT_EQ(Get(Hive::CurrentUser, path, "Exp"), (Value{ValueType::ExpandString, "%HOME%"}));
  ASSERT_EQ(Run({"add", key + "\\Default\\Deeper"}).exit, 0);

  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "4294967296"},
           {"add", key, "/v", "n", "/t", "REG_DWORD", "/d", "ten"},
           {"add", key, "/v", "n", "/t", "REG_BINARY", "/d", "abc"},
           {"add", key, "/v", "n", "/t", "REG_QWORD", "/d", "1"},
           {"add", key, "/v", "n", "/s", ",", "/d", "1"},
           {"add", key, "/d", "no name"},
           {"add", key, "/v"},
           {"add", key, "/v", "a", "/ve"},
           {"query", key, "/f"},
           {"delete", "HKCU", "/f"},
       }) {
    Result result = Run(bad);
    EXPECT_EQ(result.exit, 2) << bad[2] << " " << result.err;
    EXPECT_NE(result.err.find("ERROR: "), std::string::npos);
  }
  Value none;
  EXPECT_EQ(HiveStore(Hive::CurrentUser).GetValue(path, "n", &none), Status::NotFound);

  query = Run({"query", key});
  EXPECT_EQ(query.exit, 0);
  EXPECT_EQ(query.out,
            "\nHKEY_CURRENT_USER\\" + path +
                "\n"
                "    Port    REG_DWORD    0xffffffff\n"
                "    (Default)    REG_SZ    C:\\x \"y\" \xC3\xA9\n"
                "    Hosts    REG_MULTI_SZ    c\\0\\0d\n"
                "    Blob    REG_BINARY    0AFF\n"
                "    Exp    REG_EXPAND_SZ    %HOME%\n"
                "\n"
                "HKEY_CURRENT_USER\\" + path + "\\Default\n");
  query = Run({"query", "HKCU\\Software", "/s"});
  EXPECT_EQ(query.exit, 0);
  EXPECT_NE(query.out.find("\nHKEY_CURRENT_USER\\" + path + "\\Default\\Deeper\n"), std::string::npos);

  EXPECT_EQ(Run({"delete", key, "/v", "Port"}).exit, 2);  // Needs /f without a terminal.
  ASSERT_EQ(Run({"delete", key, "/v", "port", "/f"}).exit, 0);
  EXPECT_EQ(Run({"delete", key, "/v", "Port", "/f"}).exit, 1);
  EXPECT_EQ(Run({"query", key, "/v", "Port"}).exit, 1);
  ASSERT_EQ(Run({"delete", key, "/va", "/f"}).exit, 0);
  std::vector<NamedValue> values;
  EXPECT_EQ(HiveStore(Hive::CurrentUser).EnumValues(path, &values), Status::Ok);
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(HiveStore(Hive::CurrentUser).KeyExists(path + "\\Default\\Deeper"), Status::Ok);
  ASSERT_EQ(Run({"delete", "HKEY_CURRENT_USER\\software\\QUORVIA", "/f"}).exit, 0);
  EXPECT_EQ(HiveStore(Hive::CurrentUser).KeyExists("Software\\Quorvia"), Status::NotFound);
  EXPECT_EQ(HiveStore(Hive::CurrentUser).KeyExists("Software"), Status::Ok);
  Result missing = Run({"delete", key, "/f"});
  EXPECT_EQ(missing.exit, 1);
  EXPECT_NE(missing.err.find("unable to find"), std::string::npos) << missing.err;
}

TEST_F(QvregTest, ExportKeepsAnExistingFileUnlessTold) {
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\Quorvia\\Quorvia", "/v", "Mail Root", "/d", "/srv/mail"}).exit, 0);
  std::string file = File("keep.reg", "old");
  Result result = Run({"export", "HKLM\\SOFTWARE\\Quorvia", file});
  EXPECT_EQ(result.exit, 2);
  EXPECT_NE(result.err.find("/y"), std::string::npos) << result.err;
  EXPECT_EQ(ReadFile(file), "old");
  ASSERT_EQ(Run({"export", "HKLM\\SOFTWARE\\Quorvia", file, "/Y", "/UTF8"}).exit, 0);
  EXPECT_EQ(ReadFile(file),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvia]\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvia\\Quorvia]\r\n"
            "\"Mail Root\"=\"/srv/mail\"\r\n\r\n");
  std::string absent = dir_.File("absent.reg");
  EXPECT_EQ(Run({"export", "HKLM\\SOFTWARE\\Nothing", absent}).exit, 1);
  EXPECT_EQ(Run({"export", "HKLM\\SOFTWARE\\Quorvia", dir_.File("no/such/dir.reg")}).exit, 1);
}

TEST_F(QvregTest, ExportWritesThroughALinkAndKeepsTheFilesMode) {
  ASSERT_EQ(Run({"add", "HKLM\\SOFTWARE\\Quorvia\\Quorvia", "/v", "Mail Root", "/d", "/srv/mail"}).exit, 0);
  const std::string real = File("real.reg", "old");
  ASSERT_EQ(chmod(real.c_str(), 0600), 0);
  const std::string link = dir_.File("link.reg");
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  ASSERT_EQ(Run({"export", "HKLM\\SOFTWARE\\Quorvia", link, "/y", "/utf8"}).exit, 0);
  struct stat info {};
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(stat(real.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_NE(ReadFile(real).find("\"Mail Root\"=\"/srv/mail\""), std::string::npos) << ReadFile(real);
}

TEST_F(QvregTest, UsageErrorsAndHelp) {
  Result help = Run({"--help"});
  EXPECT_EQ(help.exit, 0);
  for (const char* topic : {"query", "add", "delete", "import", "export", "REG_MULTI_SZ", "REGEDIT4", "/utf8",
                            "QUORVIA_HKCU", "Exit status"}) {
    EXPECT_NE(help.out.find(topic), std::string::npos) << topic;
  }
  EXPECT_EQ(Run({"query", "/?"}).out, help.out);
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"query"},
           {"query", "HKU\\x"},
           {"query", "HKCU\\a\\\\b"},
           {"import"},
           {"import", "a.reg", "b.reg"},
           {"export", "HKCU\\x"},
       }) {
    EXPECT_EQ(Run(bad).exit, 2) << (bad.empty() ? "" : bad[0]);
  }
  Result missing = Run({"query", "HKCU\\Software\\Nothing"});
  EXPECT_EQ(missing.exit, 1);
  EXPECT_NE(missing.err.find("HKEY_CURRENT_USER\\Software\\Nothing"), std::string::npos);
}

}  // namespace
}  // namespace qv
