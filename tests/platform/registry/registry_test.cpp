#include "platform/registry/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "tests/common/test_support.h"

namespace qv::registry {
namespace {

using qv::testing::RegistryTest;

class RegistryStandIn : public RegistryTest {};

TEST_F(RegistryStandIn, PathsAndNamesIgnoreAsciiCaseButKeepTheFirstSpelling) {
  Key key;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "Software\\Quorvia\\Outlook Sync", &key), Status::Ok);
  ASSERT_EQ(key.SetString("User Name", "alice"), Status::Ok);

  Key again;
  ASSERT_EQ(Key::Open(Hive::CurrentUser, "SOFTWARE\\QUORVIA\\outlook sync\\", Access::Read, &again), Status::Ok);
  std::string text;
  ASSERT_EQ(again.GetString("user name", &text), Status::Ok);
  EXPECT_EQ(text, "alice");

  // Writing through another spelling replaces the value, it does not add one.
  ASSERT_EQ(key.SetString("USER NAME", "bob"), Status::Ok);
  std::vector<NamedValue> values;
  ASSERT_EQ(again.Values(&values), Status::Ok);
  ASSERT_EQ(values.size(), 1u);
  EXPECT_EQ(values[0].name, "User Name");
  EXPECT_EQ(values[0].value, Value::String("bob"));

  Key root;
  ASSERT_EQ(Key::Open(Hive::CurrentUser, "software", Access::Read, &root), Status::Ok);
  std::vector<std::string> subkeys;
  ASSERT_EQ(root.Subkeys(&subkeys), Status::Ok);
  EXPECT_EQ(subkeys, std::vector<std::string>{"Quorvia"});
}

TEST_F(RegistryStandIn, HivesAreSeparate) {
  Key user;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "SOFTWARE\\Quorvia", &user), Status::Ok);
  Key machine;
  EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Quorvia", Access::Read, &machine), Status::NotFound);
  EXPECT_FALSE(machine.IsOpen());
}

TEST_F(RegistryStandIn, MissingKeysAndValuesAndReadOnlyAccess) {
  Key key;
  EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Nowhere", Access::Full, &key), Status::NotFound);
  // Values cannot be written into a missing key through the store either.
  EXPECT_EQ(HiveStore(Hive::LocalMachine).SetValue("SOFTWARE\\Nowhere", "x", Value::Dword(1)), Status::NotFound);

  ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia", &key), Status::Ok);
  Key reader;
  ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia", Access::Read, &reader), Status::Ok);
  EXPECT_EQ(reader.SetDword("Port", 8081), Status::AccessDenied);
  EXPECT_EQ(reader.DeleteValue("Port"), Status::AccessDenied);
  uint32_t number = 7;
  EXPECT_EQ(reader.GetDword("Port", &number), Status::NotFound);
  EXPECT_EQ(number, 7u);
  EXPECT_EQ(key.DeleteValue("Port"), Status::NotFound);
}

TEST_F(RegistryStandIn, MalformedPathsAreRefused) {
  Key key;
  EXPECT_EQ(Key::Create(Hive::CurrentUser, "a\\\\b", &key), Status::InvalidArgument);
  std::string normal;
  ASSERT_TRUE(NormalizePath("\\a\\b\\", &normal));
  EXPECT_EQ(normal, "a\\b");
}

TEST_F(RegistryStandIn, EveryValueTypeKeepsItsBytes) {
  Key key;
  ASSERT_EQ(Key::Create(Hive::LocalMachine, "Types", &key), Status::Ok);
  const std::vector<std::pair<std::string, Value>> cases = {
      {"sz", Value::String("quote \" backslash \\ caf\xc3\xa9")},
      {"empty", Value::String("")},
      {"dword", Value::Dword(0xfffffffeu)},
      {"binary", Value::Binary(std::string("\x00\x01\xff\x00", 4))},
      {"multi", Value::MultiString({"one", "", "three"})},
      {"expand", Value{ValueType::ExpandString, "%HOME%\\x"}},
  };
  for (const auto& [name, value] : cases) ASSERT_EQ(key.Set(name, value), Status::Ok) << name;
  for (const auto& [name, value] : cases) {
    Value read;
    ASSERT_EQ(key.Get(name, &read), Status::Ok) << name;
    EXPECT_EQ(read, value) << name;
  }
  uint32_t number = 0;
  ASSERT_EQ(key.GetDword("dword", &number), Status::Ok);
  EXPECT_EQ(number, 0xfffffffeu);
  std::string text;
  EXPECT_EQ(key.GetString("dword", &text), Status::InvalidArgument);
  EXPECT_EQ(key.GetDword("sz", &number), Status::InvalidArgument);
  Value multi;
  ASSERT_EQ(key.Get("multi", &multi), Status::Ok);
  EXPECT_EQ(multi.AsStrings(), (std::vector<std::string>{"one", "", "three"}));
}

TEST_F(RegistryStandIn, EnumerationOrderIsStable) {
  Key key;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "Order", &key), Status::Ok);
  for (const char* sub : {"beta", "Alpha", "gamma", "ALPHA2"}) {
    Key child;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, std::string("Order\\") + sub, &child), Status::Ok);
  }
  std::vector<std::string> subkeys;
  ASSERT_EQ(key.Subkeys(&subkeys), Status::Ok);
  EXPECT_EQ(subkeys, (std::vector<std::string>{"Alpha", "ALPHA2", "beta", "gamma"}));

  ASSERT_EQ(key.SetDword("z", 1), Status::Ok);
  ASSERT_EQ(key.SetDword("a", 2), Status::Ok);
  ASSERT_EQ(key.SetDword("m", 3), Status::Ok);
  ASSERT_EQ(key.SetDword("Z", 4), Status::Ok);  // an overwrite keeps its place
  std::vector<NamedValue> values;
  ASSERT_EQ(key.Values(&values), Status::Ok);
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "z");
  EXPECT_EQ(values[0].value.AsDword(), 4u);
  EXPECT_EQ(values[1].name, "a");
  EXPECT_EQ(values[2].name, "m");
}

TEST_F(RegistryStandIn, DeleteTreeTakesOnlyTheKeyAndWhatIsBelowIt) {
  Key key;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "Root\\Foo\\Deep\\Deeper", &key), Status::Ok);
  ASSERT_EQ(key.SetString("v", "x"), Status::Ok);
  Key sibling;
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "Root\\FooBar", &sibling), Status::Ok);
  ASSERT_EQ(sibling.SetString("v", "kept"), Status::Ok);
  Key foo;
  ASSERT_EQ(Key::Open(Hive::CurrentUser, "Root\\Foo", Access::Full, &foo), Status::Ok);
  ASSERT_EQ(foo.SetString("w", "gone"), Status::Ok);

  ASSERT_EQ(DeleteKeyTree(Hive::CurrentUser, "root\\foo"), Status::Ok);
  Key gone;
  EXPECT_EQ(Key::Open(Hive::CurrentUser, "Root\\Foo\\Deep", Access::Read, &gone), Status::NotFound);
  EXPECT_EQ(Key::Open(Hive::CurrentUser, "Root\\Foo", Access::Read, &gone), Status::NotFound);
  std::string text;
  ASSERT_EQ(sibling.GetString("v", &text), Status::Ok);
  EXPECT_EQ(text, "kept");
  // A re-created key starts empty: no value of the deleted one comes back.
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "Root\\Foo", &foo), Status::Ok);
  std::vector<NamedValue> values;
  ASSERT_EQ(foo.Values(&values), Status::Ok);
  EXPECT_TRUE(values.empty());
  EXPECT_EQ(DeleteKeyTree(Hive::CurrentUser, "Root\\Missing"), Status::NotFound);
}

TEST_F(RegistryStandIn, ApplyIsAllOrNothing) {
  Store& store = HiveStore(Hive::LocalMachine);
  std::vector<Change> good = {
      {Change::Kind::SetValue, "A\\B", "one", Value::Dword(1)},
      {Change::Kind::CreateKey, "A\\C", "", {}},
      {Change::Kind::DeleteValue, "A\\Missing", "x", {}},
      {Change::Kind::DeleteTree, "Nothing\\Here", "", {}},
  };
  ASSERT_EQ(store.Apply(good), Status::Ok);
  Value value;
  ASSERT_EQ(store.GetValue("A\\B", "one", &value), Status::Ok);
  EXPECT_EQ(value.AsDword(), 1u);
  EXPECT_EQ(store.KeyExists("a\\c"), Status::Ok);

  std::vector<Change> bad = {
      {Change::Kind::SetValue, "A\\B", "two", Value::Dword(2)},
      {Change::Kind::DeleteTree, "A\\C", "", {}},
      {Change::Kind::SetValue, "A\\\\broken", "x", Value::Dword(3)},
  };
  EXPECT_EQ(store.Apply(bad), Status::InvalidArgument);
  EXPECT_EQ(store.GetValue("A\\B", "two", &value), Status::NotFound);
  EXPECT_EQ(store.KeyExists("A\\C"), Status::Ok);
}

// A store whose writes fail, as a full disk would make them.
class FailingWrites : public ForwardingStore {
 public:
  using ForwardingStore::ForwardingStore;
  Status SetValue(std::string_view, std::string_view, const Value&) override { return Status::IoError; }
};

TEST_F(RegistryStandIn, AnInstalledStoreServesTheHive) {
  auto real = OpenSqliteStore(dir_.File("other.db"));
  FailingWrites failing(real.get());
  SetHiveStoreForTesting(Hive::CurrentUser, &failing);
  Key key;
  EXPECT_EQ(Key::Create(Hive::CurrentUser, "X", &key), Status::Ok);
  EXPECT_EQ(key.SetDword("n", 1), Status::IoError);
  SetHiveStoreForTesting(Hive::CurrentUser, nullptr);
  EXPECT_EQ(Key::Open(Hive::CurrentUser, "X", Access::Read, &key), Status::NotFound);
  EXPECT_EQ(real->KeyExists("X"), Status::Ok);
}

TEST_F(RegistryStandIn, ACorruptHiveFailsCleanly) {
  const std::string file = dir_.File("corrupt.db");
  std::string junk(8192, '\0');
  for (size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 131) ^ 0x5a);
  ASSERT_TRUE(qv::testing::WriteFile(file, junk));
  auto store = OpenSqliteStore(file);
  Value value;
  EXPECT_EQ(store->GetValue("A", "b", &value), Status::Corrupt);
  EXPECT_EQ(store->CreateKey("A"), Status::Corrupt);
  std::vector<std::string> names;
  EXPECT_EQ(store->EnumSubkeys("", &names), Status::Corrupt);
  // The file is left as it was.
  EXPECT_EQ(qv::testing::ReadFile(file), junk);
}

TEST_F(RegistryStandIn, AnUnreachableHiveFailsCleanly) {
  // A hive whose folder is a file can be neither created nor read.
  ASSERT_TRUE(qv::testing::WriteFile(dir_.File("plain"), "x"));
  auto store = OpenSqliteStore(dir_.File("plain/hive.db"));
  EXPECT_EQ(store->KeyExists("A"), Status::IoError);
  EXPECT_EQ(store->CreateKey("A"), Status::IoError);
}

TEST_F(RegistryStandIn, HivePathsComeFromTheEnvironment) {
  EXPECT_EQ(HivePath(Hive::CurrentUser), dir_.File("hkcu.db"));
  EXPECT_EQ(HivePath(Hive::LocalMachine), dir_.File("hklm.db"));
  qv::testing::ScopedEnv noUser("QUORVIA_HKCU", std::nullopt);
  qv::testing::ScopedEnv xdg("XDG_CONFIG_HOME", "/cfg");
  EXPECT_EQ(HivePath(Hive::CurrentUser), "/cfg/quorvia/hkcu.db");
  Hive hive;
  ASSERT_TRUE(ParseHiveName("hklm", &hive));
  EXPECT_EQ(hive, Hive::LocalMachine);
  ASSERT_TRUE(ParseHiveName("HKEY_CURRENT_USER", &hive));
  EXPECT_EQ(hive, Hive::CurrentUser);
  EXPECT_FALSE(ParseHiveName("HKEY_CLASSES_ROOT", &hive));
}

// Writers in several processes and threads at once lose nothing.
TEST_F(RegistryStandIn, ConcurrentWritersLoseNoWrite) {
  constexpr int kProcesses = 3;
  constexpr int kThreads = 2;
  constexpr int kWrites = 60;
  {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "Shared", &key), Status::Ok);
  }
  auto writeAll = [](int writer) {
    // A fresh connection per writer, as a separate process would have.
    auto store = OpenSqliteStore(HivePath(Hive::LocalMachine));
    for (int i = 0; i < kWrites; ++i) {
      std::string name = "w" + std::to_string(writer) + "-" + std::to_string(i);
      if (store->SetValue("Shared", name, Value::Dword(static_cast<uint32_t>(i))) != Status::Ok) return false;
      if (store->CreateKey("Shared\\k" + std::to_string(writer) + "\\" + std::to_string(i)) != Status::Ok) {
        return false;
      }
    }
    return true;
  };
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      bool ok = true;
      std::vector<std::thread> threads;
      std::vector<char> results(kThreads, 0);
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] { results[t] = writeAll(p * kThreads + t); });
      }
      for (auto& thread : threads) thread.join();
      for (char r : results) ok = ok && r;
      _exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  Key key;
  ASSERT_EQ(Key::Open(Hive::LocalMachine, "Shared", Access::Read, &key), Status::Ok);
  std::vector<NamedValue> values;
  ASSERT_EQ(key.Values(&values), Status::Ok);
  EXPECT_EQ(values.size(), static_cast<size_t>(kProcesses * kThreads * kWrites));
  std::vector<std::string> subkeys;
  ASSERT_EQ(key.Subkeys(&subkeys), Status::Ok);
  EXPECT_EQ(subkeys.size(), static_cast<size_t>(kProcesses * kThreads));
}

TEST_F(RegistryStandIn, WindowsLimitsOnNamesAndDepth) {
  Key key;
  EXPECT_EQ(Key::Create(Hive::CurrentUser, "A\\" + std::string(256, 'k'), &key),
            Status::InvalidArgument);
  // Characters, not bytes: 255 two-byte characters are one valid level.
  std::string wide;
  for (int i = 0; i < 255; ++i) wide += "\xC3\xA9";
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "A\\" + wide, &key), Status::Ok);
  std::string path = "D";
  for (size_t i = 1; i < kMaxKeyDepth; ++i) path += "\\d";
  ASSERT_EQ(Key::Create(Hive::CurrentUser, path, &key), Status::Ok);
  EXPECT_EQ(Key::Create(Hive::CurrentUser, path + "\\d", &key), Status::InvalidArgument);
  ASSERT_EQ(Key::Create(Hive::CurrentUser, "V", &key), Status::Ok);
  EXPECT_EQ(key.SetString(std::string(kMaxValueNameLength, 'n'), "x"), Status::Ok);
  EXPECT_EQ(key.SetString(std::string(kMaxValueNameLength + 1, 'n'), "x"), Status::InvalidArgument);
  EXPECT_EQ(HiveStore(Hive::CurrentUser)
                .Apply({{Change::Kind::SetValue, "V", std::string(kMaxValueNameLength + 1, 'n'),
                         Value::String("x")}}),
            Status::InvalidArgument);
}

TEST_F(RegistryStandIn, StorageGrowsWithTheKeysNotTheirDepth) {
  // The deepest, longest key Windows allows: 512 levels of 255 characters,
  // 130 KB of path. Kept as a tree, it costs about what its names do.
  std::string path;
  for (size_t i = 0; i < kMaxKeyDepth; ++i) {
    if (i > 0) path += "\\";
    path += std::string(kMaxKeyNameLength - 4, 'x') + std::to_string(1000 + i);
  }
  Key key;
  ASSERT_EQ(Key::Create(Hive::LocalMachine, path, &key), Status::Ok);
  ASSERT_EQ(key.SetDword("Deep", 7), Status::Ok);
  uint32_t number = 0;
  ASSERT_EQ(key.GetDword("Deep", &number), Status::Ok);
  EXPECT_EQ(number, 7u);
  struct stat db {}, wal {};
  ASSERT_EQ(stat(HivePath(Hive::LocalMachine).c_str(), &db), 0);
  if (stat((HivePath(Hive::LocalMachine) + "-wal").c_str(), &wal) != 0) wal.st_size = 0;
  EXPECT_LT(db.st_size + wal.st_size, 4 * 1024 * 1024);
  ASSERT_EQ(DeleteKeyTree(Hive::LocalMachine, path.substr(0, path.find('\\'))), Status::Ok);
  std::vector<std::string> names;
  ASSERT_EQ(HiveStore(Hive::LocalMachine).EnumSubkeys("", &names), Status::Ok);
  EXPECT_TRUE(names.empty());
}

TEST_F(RegistryStandIn, AHiveOfTheEarlierLayoutIsConvertedWhole) {
  // Keys by full path, values by their key's path, as hives used to be kept.
  const std::string file = dir_.File("old.db");
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE keys (path TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,"
                         " parent TEXT NOT NULL COLLATE NOCASE, name TEXT NOT NULL);"
                         "CREATE TABLE reg_values (key TEXT NOT NULL COLLATE NOCASE,"
                         " name TEXT NOT NULL COLLATE NOCASE, type INTEGER NOT NULL,"
                         " data BLOB NOT NULL, PRIMARY KEY (key, name));"
                         "INSERT INTO keys VALUES('', '', ''), ('Software', '', 'Software'),"
                         " ('Software\\Quorvia', 'Software', 'Quorvia'),"
                         " ('Software\\Quorvia\\Outlook Sync', 'Software\\Quorvia', 'Outlook Sync'),"
                         " ('Software\\Other', 'Software', 'Other');"
                         "INSERT INTO reg_values VALUES('software\\quorvia\\OUTLOOK SYNC', 'Server',"
                         " 1, CAST('mail.example.com' AS BLOB)),"
                         " ('Software\\Quorvia\\Outlook Sync', 'Port', 4, x'50000000'),"
                         " ('', 'Root', 1, CAST('r' AS BLOB));",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  auto store = OpenSqliteStore(file);
  std::vector<std::string> names;
  ASSERT_EQ(store->EnumSubkeys("SOFTWARE", &names), Status::Ok);
  EXPECT_EQ(names, (std::vector<std::string>{"Other", "Quorvia"}));
  std::vector<NamedValue> values;
  ASSERT_EQ(store->EnumValues("Software\\Quorvia\\Outlook Sync", &values), Status::Ok);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], (NamedValue{"Server", Value::String("mail.example.com")}));
  EXPECT_EQ(values[1], (NamedValue{"Port", Value::Dword(80)}));
  Value root;
  EXPECT_EQ(store->GetValue("", "root", &root), Status::Ok);
  EXPECT_EQ(root, Value::String("r"));
}

}  // namespace
}  // namespace qv::registry
