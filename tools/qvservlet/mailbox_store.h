// The emulator's mailboxes in one SQLite database: users and passwords, items
// of the four classes with their fields and modification stamps, and each
// user's auto response. Not thread-safe: the Servlet serialises every call.
#ifndef QV_TOOLS_QVSERVLET_MAILBOX_STORE_H
#define QV_TOOLS_QVSERVLET_MAILBOX_STORE_H

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/qvservlet/form.h"

namespace qv::servlet {

struct StoredItem {
  std::string uid;
  std::string className;  // "TASK", "APPOINTMENT", "CONTACT" or "CONTACTGROUP"
  int64_t modified = 0;   // MODIFIEDDATE: increases with every change in the database
  FormFields fields;      // the request fields as the client sent them (decoded), without ID
};

struct AutoResponse {
  bool enabled = false;
  std::string subject;
  std::string body;
};

class MailboxStore {
 public:
  // Opens (creating when missing) the database at `path`; ":memory:" for none.
  // Throws std::runtime_error when it cannot be opened.
  explicit MailboxStore(const std::string& path);
  ~MailboxStore();
  MailboxStore(const MailboxStore&) = delete;
  MailboxStore& operator=(const MailboxStore&) = delete;

  void SetUser(const std::string& user, const std::string& password);
  bool CheckPassword(const std::string& user, const std::string& password);
  bool UserExists(const std::string& user);

  std::optional<StoredItem> GetItem(const std::string& user, const std::string& uid);
  // Items of the given classes, in the order they were first stored; without
  // their fields when `withFields` is false (all a LIST needs).
  std::vector<StoredItem> ListItems(const std::string& user,
                                    const std::vector<std::string>& classes, bool withFields = true);
  // Stores the item (replacing one with the same UID) under a new stamp, which
  // it returns and writes into `item.modified`.
  int64_t PutItem(const std::string& user, StoredItem& item);
  bool DeleteItem(const std::string& user, const std::string& uid);

  AutoResponse GetAutoResponse(const std::string& user);
  void SetAutoResponse(const std::string& user, const AutoResponse& response);

  // A transaction around several changes (a batch): everything between Begin
  // and Commit is written at once, or, after Rollback, not at all. Changes
  // inside one join it; transactions nest by counting.
  void Begin();
  void Commit();
  void Rollback();

  // A prepared statement kept for the life of the store (by its SQL text).
  sqlite3_stmt* Prepared(const char* sql);

 private:
  void Exec(const char* sql);
  int64_t NextStamp();

  sqlite3* db_ = nullptr;
  int depth_ = 0;
  bool failed_ = false;  // an inner level rolled back: the outermost does too
  std::map<std::string, sqlite3_stmt*> statements_;
};

// Begin on construction, Rollback unless Commit was called.
class StoreTransaction {
 public:
  explicit StoreTransaction(MailboxStore& store) : store_(store) { store_.Begin(); }
  ~StoreTransaction() {
    if (!done_) store_.Rollback();
  }
  void Commit() {
    done_ = true;
    store_.Commit();
  }
  StoreTransaction(const StoreTransaction&) = delete;
  StoreTransaction& operator=(const StoreTransaction&) = delete;

 private:
  MailboxStore& store_;
  bool done_ = false;
};

}  // namespace qv::servlet

#endif
