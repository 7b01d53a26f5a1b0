#include "platform/registry/registry.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace qv::registry {
namespace {

std::string ParentOf(const std::string& path) {
  size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

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

// A hive in one SQLite database.
//
// Schema: `keys` holds every key by its full path (the root is ""), with the
// case first written; `reg_values` holds the values of a key, ordered by rowid,
// which an overwrite keeps, so enumeration follows first-write order as on
// Windows. Both compare paths and names with NOCASE (ASCII folding).
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
    return Exists(key);
  }

  Status CreateKey(std::string_view path) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    return InTransaction([&] { return CreateKeyLocked(key); });
  }

  Status GetValue(std::string_view path, std::string_view name, Value* out) override {
    std::string key;
    if (!NormalizePath(path, &key) || out == nullptr) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    if (Status s = Connect(); s != Status::Ok) return s;
    Statement st(db_, "SELECT type, data FROM reg_values WHERE key = ?1 AND name = ?2");
    if (!st.ok()) return Error();
    st.Bind(1, key);
    st.Bind(2, name);
    int rc = st.Step();
    if (rc == SQLITE_ROW) {
      out->type = static_cast<ValueType>(sqlite3_column_int64(st.get(), 0));
      const void* blob = sqlite3_column_blob(st.get(), 1);
      int size = sqlite3_column_bytes(st.get(), 1);
      out->data.assign(static_cast<const char*>(blob ? blob : ""), static_cast<size_t>(size));
      return Status::Ok;
    }
    if (rc != SQLITE_DONE) return Error();
    Status exists = Exists(key);
    return exists == Status::Ok ? Status::NotFound : exists;
  }

  Status SetValue(std::string_view path, std::string_view name, const Value& value) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    return InTransaction([&] {
      if (Status s = Exists(key); s != Status::Ok) return s;
      return SetValueLocked(key, name, value);
    });
  }

  Status DeleteValue(std::string_view path, std::string_view name) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    return InTransaction([&] {
      if (Status s = Exists(key); s != Status::Ok) return s;
      Statement st(db_, "DELETE FROM reg_values WHERE key = ?1 AND name = ?2");
      if (!st.ok()) return Error();
      st.Bind(1, key);
      st.Bind(2, name);
      if (st.Step() != SQLITE_DONE) return Error();
      return sqlite3_changes(db_) > 0 ? Status::Ok : Status::NotFound;
    });
  }

  Status DeleteTree(std::string_view path) override {
    std::string key;
    if (!NormalizePath(path, &key)) return Status::InvalidArgument;
    std::lock_guard lock(mutex_);
    return InTransaction([&] {
      if (Status s = Exists(key); s != Status::Ok) return s;
      return DeleteTreeLocked(key);
    });
  }

  Status EnumSubkeys(std::string_view path, std::vector<std::string>* names) override {
    std::string key;
    if (!NormalizePath(path, &key) || names == nullptr) return Status::InvalidArgument;
    names->clear();
    std::lock_guard lock(mutex_);
    if (Status s = Connect(); s != Status::Ok) return s;
    if (Status s = Exists(key); s != Status::Ok) return s;
    Statement st(db_, "SELECT name FROM keys WHERE parent = ?1 AND path <> '' ORDER BY name COLLATE NOCASE, name");
    if (!st.ok()) return Error();
    st.Bind(1, key);
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
    if (Status s = Exists(key); s != Status::Ok) return s;
    Statement st(db_, "SELECT name, type, data FROM reg_values WHERE key = ?1 ORDER BY rowid");
    if (!st.ok()) return Error();
    st.Bind(1, key);
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
      keys.push_back(std::move(key));
    }
    std::lock_guard lock(mutex_);
    return InTransaction([&] {
      for (size_t i = 0; i < changes.size(); ++i) {
        const Change& change = changes[i];
        const std::string& key = keys[i];
        Status s = Status::Ok;
        switch (change.kind) {
          case Change::Kind::CreateKey:
            s = CreateKeyLocked(key);
            break;
          case Change::Kind::DeleteTree:
            s = Exists(key);
            if (s == Status::Ok) s = DeleteTreeLocked(key);
            if (s == Status::NotFound) s = Status::Ok;
            break;
          case Change::Kind::SetValue:
            s = CreateKeyLocked(key);
            if (s == Status::Ok) s = SetValueLocked(key, change.name, change.value);
            break;
          case Change::Kind::DeleteValue: {
            Statement st(db_, "DELETE FROM reg_values WHERE key = ?1 AND name = ?2");
            if (!st.ok()) return Error();
            st.Bind(1, key);
            st.Bind(2, change.name);
            if (st.Step() != SQLITE_DONE) return Error();
            break;
          }
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
    sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    const char* schema =
        "CREATE TABLE IF NOT EXISTS keys ("
        "  path TEXT NOT NULL PRIMARY KEY COLLATE NOCASE,"
        "  parent TEXT NOT NULL COLLATE NOCASE,"
        "  name TEXT NOT NULL);"
        "CREATE INDEX IF NOT EXISTS keys_by_parent ON keys(parent);"
        "CREATE TABLE IF NOT EXISTS reg_values ("
        "  key TEXT NOT NULL COLLATE NOCASE,"
        "  name TEXT NOT NULL COLLATE NOCASE,"
        "  type INTEGER NOT NULL,"
        "  data BLOB NOT NULL,"
        "  PRIMARY KEY (key, name));"
        "INSERT OR IGNORE INTO keys(path, parent, name) VALUES('', '', '');";
    // Check the file is a database before trying to change it, so a corrupt
    // hive reports Corrupt rather than whatever the write attempt gives.
    rc = sqlite3_exec(db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      Status s = Error();
      Disconnect();
      return s;
    }
    rc = sqlite3_exec(db_, "SELECT 1 FROM keys WHERE path = '' AND EXISTS (SELECT 1 FROM reg_values LIMIT 0)",
                      nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
      rc = sqlite3_exec(db_, (std::string("BEGIN IMMEDIATE;") + schema + "COMMIT;").c_str(), nullptr, nullptr,
                        nullptr);
      if (rc != SQLITE_OK) {
        Status s = Error();
        Disconnect();
        return s;
      }
    }
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

  Status Exists(const std::string& key) {
    Statement st(db_, "SELECT 1 FROM keys WHERE path = ?1");
    if (!st.ok()) return Error();
    st.Bind(1, key);
    int rc = st.Step();
    if (rc == SQLITE_ROW) return Status::Ok;
    return rc == SQLITE_DONE ? Status::NotFound : Error();
  }

  Status CreateKeyLocked(const std::string& key) {
    // Every level from the top, keeping the case of levels that exist.
    size_t pos = 0;
    while (pos <= key.size() && !key.empty()) {
      size_t slash = key.find('\\', pos);
      size_t end = slash == std::string::npos ? key.size() : slash;
      std::string level = key.substr(0, end);
      Statement st(db_, "INSERT OR IGNORE INTO keys(path, parent, name) VALUES(?1, ?2, ?3)");
      if (!st.ok()) return Error();
      st.Bind(1, level);
      st.Bind(2, ParentOf(level));
      st.Bind(3, std::string_view(key).substr(pos, end - pos));
      if (st.Step() != SQLITE_DONE) return Error();
      if (slash == std::string::npos) break;
      pos = slash + 1;
    }
    return Status::Ok;
  }

  Status SetValueLocked(const std::string& key, std::string_view name, const Value& value) {
    Statement st(db_,
                 "INSERT INTO reg_values(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
                 "ON CONFLICT(key, name) DO UPDATE SET type = excluded.type, data = excluded.data");
    if (!st.ok()) return Error();
    st.Bind(1, key);
    st.Bind(2, name);
    st.BindInt(3, static_cast<int64_t>(value.type));
    st.BindBlob(4, value.data);
    return st.Step() == SQLITE_DONE ? Status::Ok : Error();
  }

  Status DeleteTreeLocked(const std::string& key) {
    // The root key itself stays; only what is below it goes.
    const char* keysSql =
        "DELETE FROM keys WHERE path <> '' AND (path = ?1 OR ?1 = '' OR "
        "(length(path) > length(?1) AND substr(path, 1, length(?1) + 1) = ?1 || '\\' COLLATE NOCASE))";
    const char* valuesSql =
        "DELETE FROM reg_values WHERE key = ?1 OR ?1 = '' OR "
        "(length(key) > length(?1) AND substr(key, 1, length(?1) + 1) = ?1 || '\\' COLLATE NOCASE)";
    for (const char* sql : {valuesSql, keysSql}) {
      Statement st(db_, sql);
      if (!st.ok()) return Error();
      st.Bind(1, key);
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
