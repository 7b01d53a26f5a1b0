#include "tools/qvservlet/mailbox_store.h"

#include <memory>
#include <stdexcept>

namespace qv::servlet {
namespace {

// A statement of the store's cache, reset and unbound when it goes out of scope.
class Statement {
 public:
  Statement(MailboxStore& store, const char* sql) : stmt_(store.Prepared(sql)) {}
  ~Statement() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, const std::string& text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    return *this;
  }
  Statement& Bind(int index, int64_t value) {
    sqlite3_bind_int64(stmt_, index, value);
    return *this;
  }
  bool Step() {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(sqlite3_db_handle(stmt_)));
  }
  std::string Text(int column) {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    int size = sqlite3_column_bytes(stmt_, column);
    return text ? std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(size)) : "";
  }
  int64_t Int(int column) { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

FormFields LoadFields(MailboxStore& store, const std::string& user, const std::string& uid) {
  FormFields fields;
  Statement q(store, "SELECT name, value FROM fields WHERE user = ?1 AND uid = ?2 ORDER BY ord");
  q.Bind(1, user).Bind(2, uid);
  while (q.Step()) fields.emplace_back(q.Text(0), q.Text(1));
  return fields;
}

}  // namespace

MailboxStore::MailboxStore(const std::string& path) {
  if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw std::runtime_error("cannot open mailbox database " + path + ": " + message);
  }
  sqlite3_busy_timeout(db_, 5000);
  Exec(
      "CREATE TABLE IF NOT EXISTS users (name TEXT PRIMARY KEY, password TEXT NOT NULL);"
      "CREATE TABLE IF NOT EXISTS items (user TEXT NOT NULL, uid TEXT NOT NULL,"
      "  class TEXT NOT NULL, modified INTEGER NOT NULL, seq INTEGER NOT NULL,"
      "  PRIMARY KEY (user, uid));"
      "CREATE TABLE IF NOT EXISTS fields (user TEXT NOT NULL, uid TEXT NOT NULL,"
      "  ord INTEGER NOT NULL, name TEXT NOT NULL, value TEXT NOT NULL);"
      "CREATE INDEX IF NOT EXISTS fields_item ON fields (user, uid);"
      "CREATE TABLE IF NOT EXISTS autoresponse (user TEXT PRIMARY KEY, enabled INTEGER,"
      "  subject TEXT, body TEXT);"
      "CREATE TABLE IF NOT EXISTS meta (name TEXT PRIMARY KEY, value INTEGER);"
      "INSERT OR IGNORE INTO meta VALUES ('stamp', 1000);");
}

MailboxStore::~MailboxStore() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  sqlite3_close(db_);
}

sqlite3_stmt* MailboxStore::Prepared(const char* sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return found->second;
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string("sqlite: ") + sqlite3_errmsg(db_));
  }
  statements_.emplace(sql, stmt);
  return stmt;
}

void MailboxStore::Begin() {
  if (depth_ == 0) {
    Exec("BEGIN IMMEDIATE");
    failed_ = false;
  }
  ++depth_;
}

void MailboxStore::Commit() {
  if (depth_ == 0) return;
  if (--depth_ > 0) return;
  if (failed_) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw std::runtime_error("sqlite: a change inside the transaction failed; nothing was written");
  }
  Exec("COMMIT");
}

void MailboxStore::Rollback() {
  if (depth_ == 0) return;
  failed_ = true;
  if (--depth_ > 0) return;
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

void MailboxStore::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    throw std::runtime_error("sqlite: " + message);
  }
}

int64_t MailboxStore::NextStamp() {
  Statement bump(*this, "UPDATE meta SET value = value + 1 WHERE name = 'stamp'");
  bump.Step();
  Statement q(*this, "SELECT value FROM meta WHERE name = 'stamp'");
  return q.Step() ? q.Int(0) : 0;
}

void MailboxStore::SetUser(const std::string& user, const std::string& password) {
  Statement q(*this, "INSERT OR REPLACE INTO users (name, password) VALUES (?1, ?2)");
  q.Bind(1, user).Bind(2, password).Step();
}

bool MailboxStore::CheckPassword(const std::string& user, const std::string& password) {
  Statement q(*this, "SELECT password FROM users WHERE name = ?1");
  q.Bind(1, user);
  return q.Step() && q.Text(0) == password;
}

bool MailboxStore::UserExists(const std::string& user) {
  Statement q(*this, "SELECT 1 FROM users WHERE name = ?1");
  q.Bind(1, user);
  return q.Step();
}

std::optional<StoredItem> MailboxStore::GetItem(const std::string& user, const std::string& uid) {
  Statement q(*this, "SELECT class, modified FROM items WHERE user = ?1 AND uid = ?2");
  q.Bind(1, user).Bind(2, uid);
  if (!q.Step()) return std::nullopt;
  StoredItem item;
  item.uid = uid;
  item.className = q.Text(0);
  item.modified = q.Int(1);
  item.fields = LoadFields(*this, user, uid);
  return item;
}

std::vector<StoredItem> MailboxStore::ListItems(const std::string& user,
                                                const std::vector<std::string>& classes, bool withFields) {
  std::vector<StoredItem> items;
  Statement q(*this, "SELECT uid, class, modified FROM items WHERE user = ?1 ORDER BY seq");
  q.Bind(1, user);
  while (q.Step()) {
    StoredItem item;
    item.uid = q.Text(0);
    item.className = q.Text(1);
    item.modified = q.Int(2);
    bool wanted = false;
    for (const std::string& c : classes) wanted = wanted || c == item.className;
    if (wanted) items.push_back(std::move(item));
  }
  if (withFields) {
    for (StoredItem& item : items) item.fields = LoadFields(*this, user, item.uid);
  }
  return items;
}

int64_t MailboxStore::PutItem(const std::string& user, StoredItem& item) {
  StoreTransaction transaction(*this);
  item.modified = NextStamp();
  int64_t seq = item.modified;
  {
    Statement old(*this, "SELECT seq FROM items WHERE user = ?1 AND uid = ?2");
    old.Bind(1, user).Bind(2, item.uid);
    if (old.Step()) seq = old.Int(0);
  }
  {
    Statement put(*this,
                  "INSERT OR REPLACE INTO items (user, uid, class, modified, seq)"
                  " VALUES (?1, ?2, ?3, ?4, ?5)");
    put.Bind(1, user).Bind(2, item.uid).Bind(3, item.className).Bind(4, item.modified).Bind(5, seq);
    put.Step();
  }
  {
    Statement clear(*this, "DELETE FROM fields WHERE user = ?1 AND uid = ?2");
    clear.Bind(1, user).Bind(2, item.uid).Step();
  }
  int64_t ord = 0;
  for (const auto& [name, value] : item.fields) {
    Statement field(*this, "INSERT INTO fields (user, uid, ord, name, value) VALUES (?1,?2,?3,?4,?5)");
    field.Bind(1, user).Bind(2, item.uid).Bind(3, ord++).Bind(4, name).Bind(5, value).Step();
  }
  transaction.Commit();
  return item.modified;
}

bool MailboxStore::DeleteItem(const std::string& user, const std::string& uid) {
  StoreTransaction transaction(*this);
  bool removed;
  {
    Statement del(*this, "DELETE FROM items WHERE user = ?1 AND uid = ?2");
    del.Bind(1, user).Bind(2, uid).Step();
    removed = sqlite3_changes(db_) > 0;
  }
  {
    Statement fields(*this, "DELETE FROM fields WHERE user = ?1 AND uid = ?2");
    fields.Bind(1, user).Bind(2, uid).Step();
  }
  transaction.Commit();
  return removed;
}

AutoResponse MailboxStore::GetAutoResponse(const std::string& user) {
  AutoResponse response;
  Statement q(*this, "SELECT enabled, subject, body FROM autoresponse WHERE user = ?1");
  q.Bind(1, user);
  if (q.Step()) {
    response.enabled = q.Int(0) != 0;
    response.subject = q.Text(1);
    response.body = q.Text(2);
  }
  return response;
}

void MailboxStore::SetAutoResponse(const std::string& user, const AutoResponse& response) {
  Statement q(*this, "INSERT OR REPLACE INTO autoresponse VALUES (?1, ?2, ?3, ?4)");
  q.Bind(1, user).Bind(2, static_cast<int64_t>(response.enabled)).Bind(3, response.subject)
      .Bind(4, response.body).Step();
}

}  // namespace qv::servlet
