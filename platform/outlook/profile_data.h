// The profile's data: stores, folders and items held in memory and written
// through to one SQLite file (private to the emulation).
#ifndef QV_PLATFORM_OUTLOOK_PROFILE_DATA_H
#define QV_PLATFORM_OUTLOOK_PROFILE_DATA_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/outlook/outlook.h"

struct sqlite3;

namespace qv::outlook::detail {

// Outlook's item classes (the `Class` property).
inline constexpr int32_t kClassAppointment = 26;
inline constexpr int32_t kClassContact = 40;
inline constexpr int32_t kClassMail = 43;
inline constexpr int32_t kClassTask = 48;
inline constexpr int32_t kClassDistList = 69;

// Outlook's special folders (GetDefaultFolder numbers).
inline constexpr int32_t kFolderDeletedItems = 3;
inline constexpr int32_t kFolderInbox = 6;
inline constexpr int32_t kFolderCalendar = 9;
inline constexpr int32_t kFolderContacts = 10;
inline constexpr int32_t kFolderTasks = 13;

// Values by canonical property name; raw MAPI properties without a named
// property are kept under "0x" and eight hexadecimal digits of their tag.
using PropertyMap = std::map<std::string, Variant>;

// An item's properties, shared by the stored record and the handles opened
// on it until one of them changes them: opening an item copies a pointer,
// the first change copies the map. A profile is used by one thread.
class SharedProperties {
 public:
  SharedProperties() : map_(std::make_shared<PropertyMap>()) {}

  const PropertyMap& read() const { return *map_; }
  PropertyMap& write() {
    if (map_.use_count() > 1) map_ = std::make_shared<PropertyMap>(*map_);
    return *map_;
  }

  // Reading.
  PropertyMap::const_iterator find(const std::string& name) const { return map_->find(name); }
  PropertyMap::const_iterator begin() const { return map_->begin(); }
  PropertyMap::const_iterator end() const { return map_->end(); }
  // Changing.
  Variant& operator[](const std::string& name) { return write()[name]; }
  void erase(const std::string& name) { write().erase(name); }

 private:
  std::shared_ptr<PropertyMap> map_;
};

// The content of one item: what `Save` writes and every handle copies.
struct ItemState {
  int32_t itemClass = 0;
  SharedProperties props;
  std::vector<std::shared_ptr<PropertyMap>> recipients;
  std::vector<PropertyMap> members;     // distribution-list members
  std::shared_ptr<PropertyMap> pattern;  // recurrence pattern while recurring

  // A copy that changes apart from this one (the properties are copied when
  // first changed; recipients and pattern, shared by pointer otherwise, now).
  ItemState Clone() const;
};

struct ItemRecord {
  int64_t id = 0;
  int64_t folder = 0;
  Date created;
  Date modified;
  ItemState state;
};

struct FolderRecord {
  int64_t id = 0;
  int64_t store = 0;
  int64_t parent = 0;  // 0 for a store's root folder
  std::string name;
  int32_t defaultItemType = 0;  // OlItemType: 0 mail, 1 appointment, 2 contact, 3 task
  int32_t special = 0;          // the GetDefaultFolder number, 0 for other folders
  std::vector<int64_t> children;
  std::vector<int64_t> items;  // in creation order
  uint64_t version = 0;        // moves whenever `items` changes
};

struct StoreRecord {
  int64_t id = 0;
  std::string name;
  std::string guid;  // 32 hexadecimal digits, part of every EntryID of the store
  bool refusesNewFolders = false;
  int64_t root = 0;
};

// Owns the SQLite connection and the in-memory copy of the whole profile.
// Every write runs in one transaction and reaches memory only after it
// committed. Lives on the thread that opened the profile.
class ProfileData {
 public:
  static std::unique_ptr<ProfileData> Open(const std::string& path);
  ~ProfileData();

  const std::string& path() const { return path_; }

  // Stores in Outlook's order.
  const std::vector<int64_t>& storeOrder() const { return storeOrder_; }
  StoreRecord& store(int64_t id) { return stores_.at(id); }
  FolderRecord& folder(int64_t id) { return folders_.at(id); }
  ItemRecord* FindItem(int64_t id);
  // The store's folder with a special number (Deleted Items...), 0 if none.
  int64_t SpecialFolder(int64_t store, int32_t special) const;

  std::string StoreEntryId(int64_t store) const;
  std::string FolderEntryId(int64_t folder) const;
  std::string ItemEntryId(int64_t item) const;
  // The item an EntryID names, within one store (0 = any store); 0 if none.
  int64_t ItemFromEntryId(std::string_view entryId, int64_t store) const;
  // The store a StoreID names; 0 if none.
  int64_t StoreFromStoreId(std::string_view storeId) const;

  int64_t AddStore(const std::string& name);
  int64_t AddFolder(int64_t parent, const std::string& name, int32_t defaultItemType,
                    int32_t special);
  void SetStoreRefusesNewFolders(int64_t store, bool refuse);
  // Writes an item (id 0: a new one in `folder`), stamps its modification
  // time, and returns its id.
  int64_t SaveItem(int64_t id, int64_t folder, const ItemState& state);
  void MoveItem(int64_t id, int64_t folder);
  void RemoveItem(int64_t id);

  bool wrapperLibraryInstalled() const { return wrapperLibrary_; }
  void SetWrapperLibraryInstalled(bool installed);

  Date Now() const { return clock_ ? clock_() : LocalNow(); }
  void SetClock(std::function<Date()> clock) { clock_ = std::move(clock); }

 private:
  ProfileData(std::string path, sqlite3* db);
  // The rows of a new store and its folders, written in the caller's transaction.
  struct NewStore {
    StoreRecord store;
    FolderRecord root;
    std::vector<FolderRecord> folders;
  };
  NewStore InsertStoreRows(const std::string& name, bool first);
  bool HasNoTables();
  void CreateSchema();
  void Load();
  void WriteSetting(const char* key, const std::string& value);
  void WriteValues(int64_t item, const ItemState& state);

  std::string path_;
  sqlite3* db_;
  std::vector<int64_t> storeOrder_;
  std::unordered_map<int64_t, StoreRecord> stores_;
  std::unordered_map<int64_t, FolderRecord> folders_;
  std::unordered_map<int64_t, ItemRecord> items_;
  bool wrapperLibrary_ = false;
  std::function<Date()> clock_;
};

}  // namespace qv::outlook::detail

#endif
