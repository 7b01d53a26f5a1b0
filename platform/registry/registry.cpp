#include "platform/registry/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace qv::registry {
namespace {

bool MakeParentDirs(const std::string& file) {
  size_t slash = file.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  std::string dir = file.substr(0, slash);
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      std::string level = dir.substr(0, pos);
      if (mkdir(level.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

// ASCII lower case: the key of a path in the migration's map.
std::string FoldCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// The levels of a normalised path ("" has none).
std::vector<std::string_view> Levels(std::string_view path) {
  std::vector<std::string_view> levels;
  while (!path.empty()) {
    const size_t slash = path.find('\\');
    levels.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return levels;
}

constexpr int64_t kRootId = 0;

// A hive in one SQLite database.
//
// Schema: `reg_keys` holds every key as a node of a tree: its id, its parent's
// id and its own name with the case first written (the root is id 0, named
// ""), so the file grows with the number of keys, not with their depth.
// `key_values` holds the values of a key, ordered by rowid, which an overwrite
// keeps, so enumeration follows first-write order as on Windows. Names
// compare with NOCASE (ASCII folding). A hive of the earlier layout (every
// key stored by its full path) is converted on first use.
//
// Owns one connection, serialised by a mutex; any thread may call.
class SqliteStore final : public Store {
 public:
  explicit SqliteStore(std::string file) : file_(std::move(file)) {}
  ~SqliteStore() override {
    if (db_) sqlite3_close_v2(db_);
  }

  Status KeyExists(std::string_view path) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    if (Status s = Connect(); s != Status::Ok) return s;
    int64_t id;
    return Resolve(key, &id);
  }

  Status CreateKey(std::string_view path) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    int64_t id;
    return InTransaction([&] { return CreateKeyLocked(key, &id); });
  }

  Status GetValue(std::string_view path, std::string_view name, Value* out) override {
    std::string key;
    if (!NormalizePath(path, &key) || out == nullptr) return Status::InvalidArgument;
    if (!ValidValueName(name)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    if (Status s = Connect(); s != Status::Ok) return s;
    int64_t id;
    if (Status s = Resolve(key, &id); s != Status::Ok) return s;
    Statement st(db_, "SELECT type, data FROM key_values WHERE key = ?1 AND name = ?2");
    if (!st.ok()) return Error();
    st.BindInt(1, id);
    st.Bind(2, name);
    int rc = st.Step();
    if (rc == SQLITE_ROW) {
      out->type = static_cast<ValueType>(sqlite3_column_int64(st.get(), 0));
      const void* blob = sqlite3_column_blob(st.get(), 1);
      int size = sqlite3_column_bytes(st.get(), 1);
      out->data.assign(static_cast<const char*>(blob ? blob : ""), static_cast<size_t>(size));
      return Status::Ok;
    }
    return rc == SQLITE_DONE ? Status::NotFound : Error();
  }

  Status SetValue(std::string_view path, std::string_view name, const Value& value) override {
    std::string key;
    if (!NormalizePath(path, &key) || !ValidValueName(name)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    return InTransaction([&] {
      int64_t id;
      if (Status s = Resolve(key, &id); s != Status::Ok) return s;
      return SetValueLocked(id, name, value);
    });
  }

  Status DeleteValue(std::string_view path, std::string_view name) override {
    std::string key;
    if (!NormalizePath(path, &key) || !ValidValueName(name)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    return InTransaction([&] {
      int64_t id;
      if (Status s = Resolve(key, &id); s != Status::Ok) return s;
      if (Status s = DeleteValueLocked(id, name); s != Status::Ok) return s;
      return sqlite3_changes(db_) > 0 ? Status::Ok : Status::NotFound;
    });
  }

  Status DeleteTree(std::string_view path) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    return InTransaction([&] {
      int64_t id;
      if (Status s = Resolve(key, &id); s != Status::Ok) return s;
      return DeleteTreeLocked(id);
    });
  }

  Status EnumSubkeys(std::string_view path, std::vector<std::string>* names) override {
    std::string key;
    if (!NormalizePath(path, &key) || names == nullptr) return Status::InvalidArgument;
    names->clear();
    std::lock_guard lock(mutex_);
    if (Status s = Connect(); s != Status::Ok) return s;
    int64_t id;
    if (Status s = Resolve(key, &id); s != Status::Ok) return s;
    Statement st(db_,
                 "SELECT name FROM reg_keys WHERE parent = ?1 AND id <> 0"
                 " ORDER BY name COLLATE NOCASE, name COLLATE BINARY");
    if (!st.ok()) return Error();
    st.BindInt(1, id);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      names->emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0)));
    }
    return rc == SQLITE_DONE ? Status::Ok : Error();
  }

  Status EnumValues(std::string_view path, std::vector<NamedValue>* values) override {
    std::string key;
    if (!NormalizePath(path, &key) || values == nullptr) return Status::InvalidArgument;
    values->clear();
    std::lock_guard lock(mutex_);
    if (Status s = Connect(); s != Status::Ok) return s;
    int64_t id;
    if (Status s = Resolve(key, &id); s != Status::Ok) return s;
    Statement st(db_, "SELECT name, type, data FROM key_values WHERE key = ?1 ORDER BY rowid");
    if (!st.ok()) return Error();
    st.BindInt(1, id);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      NamedValue nv;
      nv.name = reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0));
      nv.value.type = static_cast<ValueType>(sqlite3_column_int64(st.get(), 1));
      const void* blob = sqlite3_column_blob(st.get(), 2);
      nv.value.data.assign(static_cast<const char*>(blob ? blob : ""),
                           static_cast<size_t>(sqlite3_column_bytes(st.get(), 2)));
      values->push_back(std::move(nv));
    }
    return rc == SQLITE_DONE ? Status::Ok : Error();
  }

  Status Apply(const std::vector<Change>& changes) override {
    std::vector<std::string> keys;
    for (const Change& change : changes) {
      std::string key;
      if (!NormalizePath(change.path, &key)) return Status::InvalidArgument;
      if ((change.kind == Change::Kind::SetValue || change.kind == Change::Kind::DeleteValue) &&
          !ValidValueName(change.name)) {
        return Status::InvalidArgument;
      }
      keys.push_back(std::move(key));
    }
    std::lock_guard lock(mutex_);
    return InTransaction([&] {
      for (size_t i = 0; i < changes.size(); ++i) {
        const Change& change = changes[i];
        const std::string& key = keys[i];
        int64_t id = kRootId;
        Status s = Status::Ok;
        switch (change.kind) {
          case Change::Kind::CreateKey:
            s = CreateKeyLocked(key, &id);
            break;
          case Change::Kind::DeleteTree:
            s = Resolve(key, &id);
            if (s == Status::Ok) s = DeleteTreeLocked(id);
            if (s == Status::NotFound) s = Status::Ok;
            break;
          case Change::Kind::SetValue:
            s = CreateKeyLocked(key, &id);
            if (s == Status::Ok) s = SetValueLocked(id, change.name, change.value);
            break;
          case Change::Kind::DeleteValue:
            s = Resolve(key, &id);
            if (s == Status::Ok) s = DeleteValueLocked(id, change.name);
            if (s == Status::NotFound) s = Status::Ok;
            break;
        }
        if (s != Status::Ok) return s;
      }
      return Status::Ok;
    });
  }

 private:
  // A prepared statement, finalised on scope exit.
  class Statement {
   public:
    Statement(sqlite3* db, const char* sql) {
      if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }
    void Bind(int index, std::string_view text) {
      sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void BindBlob(int index, std::string_view bytes) {
      sqlite3_bind_blob(stmt_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    void BindInt(int index, int64_t number) { sqlite3_bind_int64(stmt_, index, number); }
    int Step() { return sqlite3_step(stmt_); }
    void Reset() {
      sqlite3_reset(stmt_);
      sqlite3_clear_bindings(stmt_);
    }

   private:
    sqlite3_stmt* stmt_ = nullptr;
  };

  // Maps the connection's last error onto a status.
  Status Error() const {
    int code = db_ ? (sqlite3_errcode(db_) & 0xff) : SQLITE_CANTOPEN;
    switch (code) {
      case SQLITE_NOTADB:
      case SQLITE_CORRUPT:
      case SQLITE_FORMAT:
        return Status::Corrupt;
      default:
        return Status::IoError;
    }
  }

  bool Run(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

  bool TableExists(const char* name) {
    Statement st(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    if (!st.ok()) return false;
    st.Bind(1, name);
    return st.Step() == SQLITE_ROW;
  }

  // Opens the database and makes sure the schema is there. REQUIRES: mutex_.
  Status Connect() {
    if (db_) return Status::Ok;
    MakeParentDirs(file_);
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(file_.c_str(), &db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
      // A hive we may read but not write still serves reads.
      sqlite3_close_v2(db);
      db = nullptr;
      rc = sqlite3_open_v2(file_.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
      if (rc != SQLITE_OK) {
        sqlite3_close_v2(db);
        return Status::IoError;
      }
    }
    sqlite3_busy_timeout(db, 10000);
    sqlite3_extended_result_codes(db, 0);
    db_ = db;
    // The journal mode is a property of the file; setting it again is harmless.
    Run("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    // Check the file is a database before trying to change it, so a corrupt
    // hive reports Corrupt rather than whatever the write attempt gives.
    if (!Run("SELECT count(*) FROM sqlite_master")) {
      Status s = Error();
      Disconnect();
      return s;
    }
    if (!Run("SELECT 1 FROM reg_keys WHERE id = 0 AND EXISTS (SELECT 1 FROM key_values LIMIT 0)")) {
      Status s = CreateSchema();
      if (s != Status::Ok) {
        Disconnect();
        return s;
      }
    }
    return Status::Ok;
  }

  // Creates the tables, and converts a hive of the earlier layout. REQUIRES: db_.
  Status CreateSchema() {
    if (!Run("BEGIN IMMEDIATE")) return Error();
    Status s = Status::Ok;
    if (!Run("CREATE TABLE IF NOT EXISTS reg_keys ("
             "  id INTEGER PRIMARY KEY,"
             "  parent INTEGER NOT NULL,"
             "  name TEXT NOT NULL COLLATE NOCASE,"
             "  UNIQUE (parent, name));"
             "CREATE TABLE IF NOT EXISTS key_values ("
             "  key INTEGER NOT NULL,"
             "  name TEXT NOT NULL COLLATE NOCASE,"
             "  type INTEGER NOT NULL,"
             "  data BLOB NOT NULL,"
             "  PRIMARY KEY (key, name));"
             "INSERT OR IGNORE INTO reg_keys(id, parent, name) VALUES(0, -1, '');")) {
      s = Error();
    } else if (TableExists("keys") && TableExists("reg_values")) {
      s = ConvertEarlierLayout();
    }
    if (s == Status::Ok && !Run("COMMIT")) s = Error();
    if (s != Status::Ok) Run("ROLLBACK");
    return s;
  }

  // The earlier layout kept every key by its full path ("keys") and values
  // by their key's path ("reg_values"); shorter paths are parents first.
  Status ConvertEarlierLayout() {
    std::map<std::string, int64_t> ids{{"", kRootId}};
    Statement insertKey(db_, "INSERT OR IGNORE INTO reg_keys(parent, name) VALUES(?1, ?2)");
    Statement findKey(db_, "SELECT id FROM reg_keys WHERE parent = ?1 AND name = ?2");
    Statement keys(db_, "SELECT path FROM keys WHERE path <> '' ORDER BY length(path), rowid");
    if (!insertKey.ok() || !findKey.ok() || !keys.ok()) return Error();
    int rc;
    while ((rc = keys.Step()) == SQLITE_ROW) {
      const std::string path = reinterpret_cast<const char*>(sqlite3_column_text(keys.get(), 0));
      const size_t slash = path.rfind('\\');
      const std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
      const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
      auto found = ids.find(FoldCase(parent));
      if (found == ids.end()) return Status::Corrupt;
      insertKey.BindInt(1, found->second);
      insertKey.Bind(2, name);
      if (insertKey.Step() != SQLITE_DONE) return Error();
      insertKey.Reset();
      findKey.BindInt(1, found->second);
      findKey.Bind(2, name);
      if (findKey.Step() != SQLITE_ROW) return Error();
      ids[FoldCase(path)] = sqlite3_column_int64(findKey.get(), 0);
      findKey.Reset();
    }
    if (rc != SQLITE_DONE) return Error();
    Statement values(db_, "SELECT key, name, type, data FROM reg_values ORDER BY rowid");
    Statement insertValue(db_,
                          "INSERT OR REPLACE INTO key_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4)");
    if (!values.ok() || !insertValue.ok()) return Error();
    while ((rc = values.Step()) == SQLITE_ROW) {
      const auto* key = reinterpret_cast<const char*>(sqlite3_column_text(values.get(), 0));
      auto found = ids.find(FoldCase(key ? key : ""));
      if (found == ids.end()) continue;  // a value of no key was never visible
      insertValue.BindInt(1, found->second);
      insertValue.Bind(2, reinterpret_cast<const char*>(sqlite3_column_text(values.get(), 1)));
      insertValue.BindInt(3, sqlite3_column_int64(values.get(), 2));
      const void* blob = sqlite3_column_blob(values.get(), 3);
      insertValue.BindBlob(4, std::string_view(static_cast<const char*>(blob ? blob : ""),
                                               static_cast<size_t>(sqlite3_column_bytes(values.get(), 3))));
      if (insertValue.Step() != SQLITE_DONE) return Error();
      insertValue.Reset();
    }
    if (rc != SQLITE_DONE) return Error();
    if (!Run("DROP TABLE reg_values; DROP TABLE keys;")) return Error();
    return Status::Ok;
  }

  void Disconnect() {
    sqlite3_close_v2(db_);
    db_ = nullptr;
  }

  // Runs `body` in a write transaction, committing on Ok and rolling back
  // otherwise. REQUIRES: mutex_.
  template <typename Body>
  Status InTransaction(Body body) {
    if (Status s = Connect(); s != Status::Ok) return s;
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return Error();
    Status s = body();
    if (s == Status::Ok && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return s;
    if (s == Status::Ok) s = Error();
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return s;
  }

  // The id of the key at `key`, level by level from the root.
  Status Resolve(const std::string& key, int64_t* id) {
    *id = kRootId;
    if (key.empty()) return Status::Ok;
    Statement st(db_, "SELECT id FROM reg_keys WHERE parent = ?1 AND name = ?2");
    if (!st.ok()) return Error();
    for (std::string_view level : Levels(key)) {
      st.BindInt(1, *id);
      st.Bind(2, level);
      const int rc = st.Step();
      if (rc == SQLITE_DONE) return Status::NotFound;
      if (rc != SQLITE_ROW) return Error();
      *id = sqlite3_column_int64(st.get(), 0);
      st.Reset();
    }
    return Status::Ok;
  }

  Status CreateKeyLocked(const std::string& key, int64_t* id) {
    // Every level from the top, keeping the case of levels that exist.
    *id = kRootId;
    Statement insert(db_, "INSERT OR IGNORE INTO reg_keys(parent, name) VALUES(?1, ?2)");
    Statement find(db_, "SELECT id FROM reg_keys WHERE parent = ?1 AND name = ?2");
    if (!insert.ok() || !find.ok()) return Error();
    for (std::string_view level : Levels(key)) {
      insert.BindInt(1, *id);
      insert.Bind(2, level);
      if (insert.Step() != SQLITE_DONE) return Error();
      insert.Reset();
      find.BindInt(1, *id);
      find.Bind(2, level);
      if (find.Step() != SQLITE_ROW) return Error();
      *id = sqlite3_column_int64(find.get(), 0);
      find.Reset();
    }
    return Status::Ok;
  }

  Status SetValueLocked(int64_t key, std::string_view name, const Value& value) {
    Statement st(db_,
                 "INSERT INTO key_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
                 "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    if (!st.ok()) return Error();
    st.BindInt(1, key);
    st.Bind(2, name);
    st.BindInt(3, static_cast<int64_t>(value.type));
    st.BindBlob(4, value.data);
    return st.Step() == SQLITE_DONE ? Status::Ok : Error();
  }

  Status DeleteValueLocked(int64_t key, std::string_view name) {
    Statement st(db_, "DELETE FROM key_values WHERE key = ?1 AND name = ?2");
    if (!st.ok()) return Error();
    st.BindInt(1, key);
    st.Bind(2, name);
    return st.Step() == SQLITE_DONE ? Status::Ok : Error();
  }

  Status DeleteTreeLocked(int64_t key) {
    // The root key itself stays; only what is below it goes.
    const char* valuesSql =
        "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
        " SELECT k.id FROM reg_keys k JOIN tree t ON k.parent = t.id WHERE k.id <> 0)"
        " DELETE FROM key_values WHERE key IN tree";
    const char* keysSql =
        "WITH RECURSIVE tree(id) AS (SELECT ?1 UNION ALL"
        " SELECT k.id FROM reg_keys k JOIN tree t ON k.parent = t.id WHERE k.id <> 0)"
        " DELETE FROM reg_keys WHERE id IN tree AND id <> 0";
    for (const char* sql : {valuesSql, keysSql}) {
      Statement st(db_, sql);
      if (!st.ok()) return Error();
      st.BindInt(1, key);
      if (st.Step() != SQLITE_DONE) return Error();
    }
    return Status::Ok;
  }

  const std::string file_;
  std::mutex mutex_;
  sqlite3* db_ = nullptr;  // Owned; opened on first use.
};

struct HiveRegistry {
  std::mutex mutex;
  std::map<std::string, std::unique_ptr<Store>> stores;  // by database file
  Store* overrides[2] = {nullptr, nullptr};
};

HiveRegistry& Hives() {
  static HiveRegistry* hives = new HiveRegistry;  // lives for the process
  return *hives;
}

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& file) { return std::make_unique<SqliteStore>(file); }

std::string HivePath(Hive hive) {
  const char* var = hive == Hive::CurrentUser ? "QUORVIA_HKCU" : "QUORVIA_HKLM";
  if (const char* path = std::getenv(var); path && *path) return path;
  if (hive == Hive::LocalMachine) return "/var/lib/quorvia/hklm.db";
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) {
    return std::string(config) + "/quorvia/hkcu.db";
  }
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/quorvia/hkcu.db";
}

Store& HiveStore(Hive hive) {
  HiveRegistry& hives = Hives();
  std::lock_guard lock(hives.mutex);
  if (Store* store = hives.overrides[static_cast<int>(hive)]) return *store;
  std::string path = HivePath(hive);
  auto& slot = hives.stores[path];
  if (!slot) slot = OpenSqliteStore(path);
  return *slot;
}

void SetHiveStoreForTesting(Hive hive, Store* store) {
  HiveRegistry& hives = Hives();
  std::lock_guard lock(hives.mutex);
  hives.overrides[static_cast<int>(hive)] = store;
}

}  // namespace qv::registry
