// Profile persistence: the SQLite schema, loading, and transactional writes.
#include "platform/outlook/profile_data.h"

#include <sqlite3.h>

#include <algorithm>
#include <random>

#include "platform/outlook/text.h"

namespace qv::outlook::detail {

namespace {

constexpr const char* kFormatName = "Quorvia emulated Outlook profile";
constexpr const char* kFormatVersion = "1";
constexpr int kBusyTimeoutMs = 10000;

// Failures while opening or reading: the file is no usable profile.
[[noreturn]] void Corrupt(const std::string& path, const std::string& why) {
  throw Error(kErrCorruptProfile,
              "The profile \"" + path + "\" is damaged or is not a profile: " + why);
}

// Another process held the profile longer than the busy time-out.
class BusyError : public Error {
 public:
  explicit BusyError(sqlite3* db)
      : Error(kErrFailed, std::string("The profile is busy: ") + sqlite3_errmsg(db)) {}
};

// A failure while writing: nothing of the change was kept.
[[noreturn]] void WriteFailed(sqlite3* db) {
  const int code = sqlite3_errcode(db);
  if (code == SQLITE_BUSY || code == SQLITE_LOCKED) throw BusyError(db);
  throw Error(kErrFailed, std::string("The profile could not be written: ") + sqlite3_errmsg(db));
}

class Statement {
 public:
  Statement(sqlite3* db, const char* sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) WriteFailed(db);
  }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int i, int64_t v) { return Check(sqlite3_bind_int64(stmt_, i, v)); }
  Statement& Bind(int i, double v) { return Check(sqlite3_bind_double(stmt_, i, v)); }
  Statement& Bind(int i, const std::string& v) {
    return Check(sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  }
  Statement& BindBlob(int i, const Bytes& v) {
    return Check(sqlite3_bind_blob(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
  }
  // True while rows come; throws on failure.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) WriteFailed(db_);
    return false;
  }
  void Run() {
    Step();
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t Int(int c) const { return sqlite3_column_int64(stmt_, c); }
  double Real(int c) const { return sqlite3_column_double(stmt_, c); }
  int ColumnType(int c) const { return sqlite3_column_type(stmt_, c); }
  std::string Text(int c) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, c));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, c))) : std::string();
  }
  Bytes Blob(int c) const {
    const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(stmt_, c));
    return p ? Bytes(p, p + sqlite3_column_bytes(stmt_, c)) : Bytes();
  }

 private:
  Statement& Check(int rc) {
    if (rc != SQLITE_OK) WriteFailed(db_);
    return *this;
  }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) WriteFailed(db);
}

// BEGIN IMMEDIATE ... COMMIT (or a plain BEGIN for reading: one snapshot of
// the file for all the statements in it); rolled back unless committed.
class Transaction {
 public:
  enum Kind { kWrite, kRead };
  explicit Transaction(sqlite3* db, Kind kind = kWrite) : db_(db) {
    Exec(db, kind == kWrite ? "BEGIN IMMEDIATE" : "BEGIN");
  }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void Commit() {
    Exec(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

std::string RandomGuid() {
  std::random_device device;
  uint8_t bytes[16];
  for (size_t i = 0; i < sizeof bytes; i += 4) {
    const uint32_t r = device();
    for (size_t j = 0; j < 4; ++j) bytes[i + j] = static_cast<uint8_t>(r >> (8 * j));
  }
  return HexUpper(bytes, sizeof bytes);
}

// Stored value types (the `type` column of item_values).
int StoredType(const Variant& v) { return static_cast<int>(v.type()); }

bool ParseHex(std::string_view text, uint64_t& out) {
  out = 0;
  if (text.empty() || text.size() > 16) return false;
  for (char c : text) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else return false;
    out = out * 16 + static_cast<uint64_t>(d);
  }
  return true;
}

// EntryIDs: eight flag digits (item "00000000", folder "00000001", store
// "00000002"), the store's GUID, and for items and folders eight digits of
// the record's id.
constexpr std::string_view kItemFlags = "00000000";
constexpr std::string_view kFolderFlags = "00000001";
constexpr std::string_view kStoreFlags = "00000002";

}  // namespace

ItemState ItemState::Clone() const {
  ItemState copy;
  copy.itemClass = itemClass;
  copy.props = props;
  for (const auto& r : recipients) copy.recipients.push_back(std::make_shared<PropertyMap>(*r));
  copy.members = members;
  if (pattern) copy.pattern = std::make_shared<PropertyMap>(*pattern);
  return copy;
}

// ---------------------------------------------------------------------------

ProfileData::ProfileData(std::string path, sqlite3* db) : path_(std::move(path)), db_(db) {}

ProfileData::~ProfileData() { sqlite3_close(db_); }

std::unique_ptr<ProfileData> ProfileData::Open(const std::string& path) {
  sqlite3* db = nullptr;
  const int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                                 nullptr);
  if (rc != SQLITE_OK) {
    std::string why = db ? sqlite3_errmsg(db) : "cannot open the file";
    sqlite3_close(db);
    throw Error(kErrFailed, "The profile \"" + path + "\" cannot be opened: " + why);
  }
  std::unique_ptr<ProfileData> data(new ProfileData(path, db));
  // Another process's write holds the file briefly: wait for it, up to a bound.
  sqlite3_busy_timeout(db, kBusyTimeoutMs);
  try {
    Exec(db, "PRAGMA foreign_keys=ON");
    // A missing or empty file becomes a new profile. The file's size says
    // nothing here: another process may have created it and not yet
    // committed its schema, so ask the database itself.
    if (data->HasNoTables()) data->CreateSchema();
    data->Load();
  } catch (const BusyError& e) {
    throw Error(kErrFailed, "The profile \"" + path + "\" is in use by another program: " +
                                e.description());
  } catch (const Error& e) {
    if (e.number() == kErrCorruptProfile) throw;
    Corrupt(path, e.description());
  }
  return data;
}

bool ProfileData::HasNoTables() {
  Statement tables(db_, "SELECT count(*) FROM sqlite_master");
  return tables.Step() && tables.Int(0) == 0;
}

void ProfileData::CreateSchema() {
  // WAL keeps each commit cheap and lets readers read during a write; the
  // journal mode is kept in the file. Best effort: a profile in another
  // journal mode works as well.
  sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  Transaction tx(db_);
  // Two processes may both have found the file missing: the second finds the
  // first one's profile here and keeps it.
  {
    Statement tables(db_, "SELECT count(*) FROM sqlite_master");
    if (tables.Step() && tables.Int(0) > 0) return;
  }
  Exec(db_,
       "CREATE TABLE profile(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
       "CREATE TABLE stores(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL,"
       " guid TEXT NOT NULL UNIQUE, refuses_new_folders INTEGER NOT NULL DEFAULT 0);"
       "CREATE TABLE folders(id INTEGER PRIMARY KEY AUTOINCREMENT,"
       " store INTEGER NOT NULL REFERENCES stores(id), parent INTEGER NOT NULL,"
       " name TEXT NOT NULL, default_item_type INTEGER NOT NULL, special INTEGER NOT NULL);"
       "CREATE TABLE items(id INTEGER PRIMARY KEY AUTOINCREMENT,"
       " folder INTEGER NOT NULL REFERENCES folders(id), class INTEGER NOT NULL,"
       " created REAL NOT NULL, modified REAL NOT NULL);"
       // part: '' the item, 'R' a recipient, 'M' a list member, 'P' the pattern
       "CREATE TABLE item_values(item INTEGER NOT NULL REFERENCES items(id) ON DELETE CASCADE,"
       " part TEXT NOT NULL, position INTEGER NOT NULL, name TEXT NOT NULL,"
       " type INTEGER NOT NULL, value);"
       "CREATE INDEX item_values_item ON item_values(item);");
  Statement setting(db_, "INSERT INTO profile(key, value) VALUES(?, ?)");
  setting.Bind(1, std::string("format")).Bind(2, std::string(kFormatName)).Run();
  setting.Bind(1, std::string("version")).Bind(2, std::string(kFormatVersion)).Run();
  setting.Bind(1, std::string("wrapper_library")).Bind(2, std::string("0")).Run();
  // The first store with the schema, so no reader ever sees a profile without one.
  InsertStoreRows("Personal Folders", /*first=*/true);
  tx.Commit();
}

void ProfileData::Load() {
  storeOrder_.clear();
  stores_.clear();
  folders_.clear();
  items_.clear();
  Exec(db_, "PRAGMA synchronous=NORMAL");
  // One read transaction: a write of another process is seen whole or not at all.
  Transaction tx(db_, Transaction::kRead);
  {
    Statement s(db_, "SELECT key, value FROM profile");
    std::map<std::string, std::string> settings;
    while (s.Step()) settings[s.Text(0)] = s.Text(1);
    if (settings["format"] != kFormatName) Corrupt(path_, "the file is no Outlook profile");
    if (settings["version"] != kFormatVersion)
      Corrupt(path_, "unknown profile version \"" + settings["version"] + "\"");
    wrapperLibrary_ = settings["wrapper_library"] == "1";
  }
  {
    Statement s(db_, "SELECT id, name, guid, refuses_new_folders FROM stores ORDER BY id");
    while (s.Step()) {
      StoreRecord store{s.Int(0), s.Text(1), s.Text(2), s.Int(3) != 0, 0};
      if (store.guid.size() != 32) Corrupt(path_, "a store has no valid identifier");
      storeOrder_.push_back(store.id);
      stores_[store.id] = std::move(store);
    }
  }
  if (storeOrder_.empty()) Corrupt(path_, "the profile has no store");
  {
    Statement s(db_,
                "SELECT id, store, parent, name, default_item_type, special FROM folders ORDER BY id");
    while (s.Step()) {
      FolderRecord f;
      f.id = s.Int(0);
      f.store = s.Int(1);
      f.parent = s.Int(2);
      f.name = s.Text(3);
      f.defaultItemType = static_cast<int32_t>(s.Int(4));
      f.special = static_cast<int32_t>(s.Int(5));
      auto store = stores_.find(f.store);
      if (store == stores_.end()) Corrupt(path_, "a folder belongs to no store");
      if (f.parent == 0) {
        if (store->second.root != 0) Corrupt(path_, "a store has two root folders");
        store->second.root = f.id;
      } else {
        auto parent = folders_.find(f.parent);
        if (parent == folders_.end() || parent->second.store != f.store)
          Corrupt(path_, "a folder has no parent folder");
        parent->second.children.push_back(f.id);
      }
      folders_[f.id] = std::move(f);
    }
  }
  for (int64_t id : storeOrder_)
    if (stores_[id].root == 0 || SpecialFolder(id, kFolderDeletedItems) == 0)
      Corrupt(path_, "a store lacks its root or \"Deleted Items\" folder");
  {
    Statement s(db_, "SELECT id, folder, class, created, modified FROM items ORDER BY id");
    while (s.Step()) {
      ItemRecord item;
      item.id = s.Int(0);
      item.folder = s.Int(1);
      item.state.itemClass = static_cast<int32_t>(s.Int(2));
      item.created = Date{s.Real(3)};
      item.modified = Date{s.Real(4)};
      if (!IsValidDateSerial(item.created.serial) || !IsValidDateSerial(item.modified.serial))
        Corrupt(path_, "an item has an impossible date");
      auto folder = folders_.find(item.folder);
      if (folder == folders_.end()) Corrupt(path_, "an item belongs to no folder");
      switch (item.state.itemClass) {
        case kClassAppointment: case kClassContact: case kClassMail: case kClassTask:
        case kClassDistList: break;
        default: Corrupt(path_, "an item has an unknown class");
      }
      folder->second.items.push_back(item.id);
      items_[item.id] = std::move(item);
    }
  }
  {
  Statement s(db_,
              "SELECT item, part, position, name, type, value FROM item_values"
              " ORDER BY item, part, position");
  while (s.Step()) {
    auto item = items_.find(s.Int(0));
    if (item == items_.end()) Corrupt(path_, "a value belongs to no item");
    ItemState& state = item->second.state;
    const std::string part = s.Text(1);
    const int64_t position = s.Int(2);
    Variant value;
    switch (static_cast<VarType>(s.Int(4))) {
      case VarType::Bool: value = Variant(s.Int(5) != 0); break;
      case VarType::Long: value = Variant(static_cast<int>(s.Int(5))); break;
      case VarType::Double: value = Variant(s.Real(5)); break;
      case VarType::Date:
        if (!IsValidDateSerial(s.Real(5))) Corrupt(path_, "a value is an impossible date");
        value = Variant(Date{s.Real(5)});
        break;
      case VarType::Text: value = Variant(s.Text(5)); break;
      case VarType::Bytes: value = Variant(s.Blob(5)); break;
      default: Corrupt(path_, "a value has an unknown type");
    }
    PropertyMap* target = nullptr;
    if (part.empty()) {
      target = &state.props.write();
    } else if (part == "P") {
      if (!state.pattern) state.pattern = std::make_shared<PropertyMap>();
      target = state.pattern.get();
    } else if ((part == "R" || part == "M") && position >= 0 && position < 100000) {
      // Rows come in position order and every recipient and member has
      // values, so a position is the current entry or the next one; anything
      // further would make room for entries the file does not hold.
      const size_t index = static_cast<size_t>(position);
      const size_t count = part == "R" ? state.recipients.size() : state.members.size();
      if (index > count) Corrupt(path_, "a recipient or member has an impossible position");
      if (part == "R") {
        while (state.recipients.size() <= index)
          state.recipients.push_back(std::make_shared<PropertyMap>());
        target = state.recipients[index].get();
      } else {
        if (state.members.size() <= index) state.members.resize(index + 1);
        target = &state.members[index];
      }
    } else {
      Corrupt(path_, "a value has an unknown part");
    }
    (*target)[s.Text(3)] = std::move(value);
  }
  }
  tx.Commit();
}

// ---------------------------------------------------------------------------

ItemRecord* ProfileData::FindItem(int64_t id) {
  auto it = items_.find(id);
  return it == items_.end() ? nullptr : &it->second;
}

int64_t ProfileData::SpecialFolder(int64_t store, int32_t special) const {
  for (const auto& [id, f] : folders_)
    if (f.store == store && f.special == special) return id;
  return 0;
}

std::string ProfileData::StoreEntryId(int64_t store) const {
  return std::string(kStoreFlags) + stores_.at(store).guid;
}

std::string ProfileData::FolderEntryId(int64_t folder) const {
  const FolderRecord& f = folders_.at(folder);
  return std::string(kFolderFlags) + stores_.at(f.store).guid + Hex32(static_cast<uint32_t>(f.id));
}

std::string ProfileData::ItemEntryId(int64_t item) const {
  const ItemRecord& i = items_.at(item);
  const FolderRecord& f = folders_.at(i.folder);
  return std::string(kItemFlags) + stores_.at(f.store).guid + Hex32(static_cast<uint32_t>(i.id));
}

int64_t ProfileData::ItemFromEntryId(std::string_view entryId, int64_t store) const {
  uint64_t id = 0;
  if (entryId.size() != 48 || entryId.substr(0, 8) != kItemFlags ||
      !ParseHex(entryId.substr(40), id))
    return 0;
  auto it = items_.find(static_cast<int64_t>(id));
  if (it == items_.end()) return 0;
  const int64_t itemStore = folders_.at(it->second.folder).store;
  if (store != 0 && itemStore != store) return 0;
  if (!EqualsNoCase(entryId.substr(8, 32), stores_.at(itemStore).guid)) return 0;
  return it->first;
}

int64_t ProfileData::StoreFromStoreId(std::string_view storeId) const {
  if (storeId.size() != 40 || storeId.substr(0, 8) != kStoreFlags) return 0;
  for (int64_t id : storeOrder_)
    if (EqualsNoCase(storeId.substr(8), stores_.at(id).guid)) return id;
  return 0;
}

// ---------------------------------------------------------------------------

ProfileData::NewStore ProfileData::InsertStoreRows(const std::string& name, bool first) {
  NewStore result;
  StoreRecord& store = result.store;
  store = StoreRecord{0, name, RandomGuid(), false, 0};
  Statement insertStore(db_, "INSERT INTO stores(name, guid) VALUES(?, ?)");
  insertStore.Bind(1, store.name).Bind(2, store.guid).Run();
  store.id = sqlite3_last_insert_rowid(db_);
  // Root, then its folders: (name, default item type, special number).
  struct Plan { const char* name; int32_t type; int32_t special; };
  std::vector<Plan> plan = {{"Deleted Items", 0, kFolderDeletedItems}};
  if (first)
    plan = {{"Deleted Items", 0, kFolderDeletedItems},
             {"Inbox", 0, kFolderInbox},
             {"Calendar", 1, kFolderCalendar},
             {"Contacts", 2, kFolderContacts},
             {"Tasks", 3, kFolderTasks}};
  Statement insertFolder(db_,
                         "INSERT INTO folders(store, parent, name, default_item_type, special)"
                         " VALUES(?, ?, ?, ?, ?)");
  insertFolder.Bind(1, store.id).Bind(2, int64_t{0}).Bind(3, name).Bind(4, int64_t{0})
      .Bind(5, int64_t{0}).Run();
  FolderRecord& root = result.root;
  root.id = sqlite3_last_insert_rowid(db_);
  root.store = store.id;
  root.name = name;
  store.root = root.id;
  for (const Plan& folder : plan) {
    insertFolder.Bind(1, store.id).Bind(2, root.id).Bind(3, std::string(folder.name))
        .Bind(4, int64_t{folder.type}).Bind(5, int64_t{folder.special}).Run();
    FolderRecord f;
    f.id = sqlite3_last_insert_rowid(db_);
    f.store = store.id;
    f.parent = root.id;
    f.name = folder.name;
    f.defaultItemType = folder.type;
    f.special = folder.special;
    root.children.push_back(f.id);
    result.folders.push_back(std::move(f));
  }
  return result;
}

int64_t ProfileData::AddStore(const std::string& name) {
  Transaction tx(db_);
  NewStore created = InsertStoreRows(name, storeOrder_.empty());
  tx.Commit();
  const int64_t id = created.store.id;
  storeOrder_.push_back(id);
  stores_[id] = std::move(created.store);
  folders_[created.root.id] = std::move(created.root);
  for (FolderRecord& f : created.folders) folders_[f.id] = std::move(f);
  return id;
}

int64_t ProfileData::AddFolder(int64_t parent, const std::string& name, int32_t defaultItemType,
                               int32_t special) {
  FolderRecord f;
  f.store = folders_.at(parent).store;
  f.parent = parent;
  f.name = name;
  f.defaultItemType = defaultItemType;
  f.special = special;
  Statement insert(db_,
                   "INSERT INTO folders(store, parent, name, default_item_type, special)"
                   " VALUES(?, ?, ?, ?, ?)");
  insert.Bind(1, f.store).Bind(2, parent).Bind(3, name).Bind(4, int64_t{defaultItemType})
      .Bind(5, int64_t{special}).Run();
  f.id = sqlite3_last_insert_rowid(db_);
  folders_[parent].children.push_back(f.id);
  const int64_t id = f.id;
  folders_[id] = std::move(f);
  return id;
}

void ProfileData::SetStoreRefusesNewFolders(int64_t store, bool refuse) {
  Statement update(db_, "UPDATE stores SET refuses_new_folders = ? WHERE id = ?");
  update.Bind(1, int64_t{refuse}).Bind(2, store).Run();
  stores_.at(store).refusesNewFolders = refuse;
}

void ProfileData::SetWrapperLibraryInstalled(bool installed) {
  WriteSetting("wrapper_library", installed ? "1" : "0");
  wrapperLibrary_ = installed;
}

void ProfileData::WriteSetting(const char* key, const std::string& value) {
  Statement s(db_, "INSERT OR REPLACE INTO profile(key, value) VALUES(?, ?)");
  s.Bind(1, std::string(key)).Bind(2, value).Run();
}

void ProfileData::WriteValues(int64_t item, const ItemState& state) {
  Statement erase(db_, "DELETE FROM item_values WHERE item = ?");
  erase.Bind(1, item).Run();
  Statement insert(db_,
                   "INSERT INTO item_values(item, part, position, name, type, value)"
                   " VALUES(?, ?, ?, ?, ?, ?)");
  auto write = [&](const std::string& part, int64_t position, const PropertyMap& map) {
    for (const auto& [name, value] : map) {
      insert.Bind(1, item).Bind(2, part).Bind(3, position).Bind(4, name)
          .Bind(5, int64_t{StoredType(value)});
      switch (value.type()) {
        case VarType::Bool: insert.Bind(6, int64_t{value.ToBool()}); break;
        case VarType::Long: insert.Bind(6, int64_t{value.ToLong()}); break;
        case VarType::Double: insert.Bind(6, value.ToDouble()); break;
        case VarType::Date: insert.Bind(6, value.ToDate().serial); break;
        case VarType::Text: insert.Bind(6, value.ToText()); break;
        case VarType::Bytes: insert.BindBlob(6, value.ToBytes()); break;
        default: continue;  // empty values and objects are not kept
      }
      insert.Run();
    }
  };
  write("", 0, state.props.read());
  for (size_t i = 0; i < state.recipients.size(); ++i)
    write("R", static_cast<int64_t>(i), *state.recipients[i]);
  for (size_t i = 0; i < state.members.size(); ++i)
    write("M", static_cast<int64_t>(i), state.members[i]);
  if (state.pattern) write("P", 0, *state.pattern);
}

int64_t ProfileData::SaveItem(int64_t id, int64_t folder, const ItemState& state) {
  const Date now = Now();
  Transaction tx(db_);
  if (id == 0) {
    Statement insert(db_, "INSERT INTO items(folder, class, created, modified) VALUES(?, ?, ?, ?)");
    insert.Bind(1, folder).Bind(2, int64_t{state.itemClass}).Bind(3, now.serial)
        .Bind(4, now.serial).Run();
    id = sqlite3_last_insert_rowid(db_);
  } else {
    Statement update(db_, "UPDATE items SET modified = ? WHERE id = ?");
    update.Bind(1, now.serial).Bind(2, id).Run();
  }
  WriteValues(id, state);
  tx.Commit();
  auto [it, inserted] = items_.try_emplace(id);
  ItemRecord& record = it->second;
  if (inserted) {
    record.id = id;
    record.folder = folder;
    record.created = now;
    FolderRecord& f = folders_.at(folder);
    f.items.push_back(id);
    ++f.version;
  }
  record.modified = now;
  record.state = state.Clone();
  ++folders_.at(record.folder).version;  // the order by modification time changed
  return id;
}

void ProfileData::MoveItem(int64_t id, int64_t folder) {
  ItemRecord& record = items_.at(id);
  Statement update(db_, "UPDATE items SET folder = ? WHERE id = ?");
  update.Bind(1, folder).Bind(2, id).Run();
  FolderRecord& from = folders_.at(record.folder);
  from.items.erase(std::find(from.items.begin(), from.items.end(), id));
  ++from.version;
  FolderRecord& to = folders_.at(folder);
  // Kept in id order so that a folder lists its items the same way after a reload.
  to.items.insert(std::lower_bound(to.items.begin(), to.items.end(), id), id);
  ++to.version;
  record.folder = folder;
}

void ProfileData::RemoveItem(int64_t id) {
  ItemRecord& record = items_.at(id);
  Statement erase(db_, "DELETE FROM items WHERE id = ?");
  erase.Bind(1, id).Run();
  FolderRecord& from = folders_.at(record.folder);
  from.items.erase(std::find(from.items.begin(), from.items.end(), id));
  ++from.version;
  items_.erase(id);
}

}  // namespace qv::outlook::detail
