// Application, NameSpace, folders and item collections; the Profile handle.
#include <algorithm>

#include "platform/outlook/objects.h"
#include "platform/outlook/text.h"

namespace qv::outlook {

namespace detail {

namespace {

// The OlItemType of a folder type given to Folders.Add (OlDefaultFolders).
int32_t ItemTypeOfFolderType(int32_t folderType) {
  switch (folderType) {
    case kFolderInbox: return 0;
    case kFolderCalendar: return 1;
    case kFolderContacts: return 2;
    case kFolderTasks: return 3;
    case 11: return 4;  // journal
    case 12: return 5;  // notes
    default: throw Error(kErrInvalidValue);
  }
}

// An item collection: the items of one folder in the order of the last Sort.
// The order is kept and rebuilt only when the folder's items change, so a
// walk by Item(i) costs O(1) per item.
class ItemsObject final : public Object {
 public:
  ItemsObject(SessionRef session, int64_t folder) : session_(std::move(session)), folder_(folder) {}

  Variant Get(std::string_view name, Args args) override {
    if (EqualsNoCase(name, "Count")) return static_cast<int>(Order().size());
    if (EqualsNoCase(name, "Item")) return Item(RequiredArg(args, 0));
    if (EqualsNoCase(name, "Add")) {
      const Variant& type = Arg(args, 0);
      const int32_t itemType =
          type.IsEmpty() ? session_->data.folder(folder_).defaultItemType : type.ToLong();
      return MakeNewItem(session_, folder_, itemType);
    }
    if (EqualsNoCase(name, "Sort")) {
      SetSort(RequiredArg(args, 0).ToText(), Arg(args, 1).ToBool());
      return {};
    }
    if (EqualsNoCase(name, "GetFirst")) return Step(cursor_ = 0);
    if (EqualsNoCase(name, "GetNext")) return Step(++cursor_);
    if (EqualsNoCase(name, "GetLast")) {
      if (Order().empty()) return Variant::Nothing();
      return Step(cursor_ = Order().size() - 1);
    }
    if (EqualsNoCase(name, "Parent")) return MakeFolder(session_, folder_);
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "Items"; }

 private:
  enum class SortKey { None, Modified, Created, Property };

  void SetSort(const std::string& key, bool descending) {
    std::string_view name = TrimSpaces(key);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
      name = name.substr(1, name.size() - 2);
    if (EqualsNoCase(name, "LastModificationTime")) key_ = SortKey::Modified;
    else if (EqualsNoCase(name, "CreationTime")) key_ = SortKey::Created;
    else if (EqualsNoCase(name, "Subject") || EqualsNoCase(name, "Start") ||
             EqualsNoCase(name, "DueDate") || EqualsNoCase(name, "FullName"))
      key_ = SortKey::Property;
    else
      throw Error(kErrInvalidValue, "The property \"" + std::string(name) + "\" in the sort is unknown.");
    property_ = std::string(name);
    descending_ = descending;
    version_ = ~uint64_t{0};
  }

  // Sorting key of one stored item: a number for dates, else text.
  std::pair<double, std::string> KeyOf(int64_t id) {
    const ItemRecord& r = *session_->data.FindItem(id);
    switch (key_) {
      case SortKey::Modified: return {r.modified.serial, {}};
      case SortKey::Created: return {r.created.serial, {}};
      default: {
        for (const auto& [name, value] : r.state.props) {
          if (!EqualsNoCase(name, property_)) continue;
          if (value.type() == VarType::Date) return {value.ToDate().serial, {}};
          std::string text = value.ToText();
          for (char& c : text) c = AsciiLower(c);
          return {0, text};
        }
        return {0, {}};
      }
    }
  }

  const std::vector<int64_t>& Order() {
    const FolderRecord& f = session_->data.folder(folder_);
    if (f.version == version_) return order_;
    order_ = f.items;
    if (key_ != SortKey::None) {
      std::vector<std::pair<std::pair<double, std::string>, int64_t>> keyed;
      keyed.reserve(order_.size());
      for (int64_t id : order_) keyed.emplace_back(KeyOf(id), id);
      // Ties go by creation order, the newer first when descending.
      std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& a, const auto& b) {
        return descending_ ? b < a : a < b;
      });
      for (size_t i = 0; i < keyed.size(); ++i) order_[i] = keyed[i].second;
    }
    version_ = f.version;
    return order_;
  }

  Variant Item(const Variant& index) {
    const std::vector<int64_t>& order = Order();
    if (index.type() == VarType::Text) {
      const std::string subject = index.ToText();
      for (int64_t id : order) {
        auto it = session_->data.FindItem(id)->state.props.find("Subject");
        if (it != session_->data.FindItem(id)->state.props.end() &&
            EqualsNoCase(it->second.ToText(), subject))
          return MakeStoredItem(session_, id);
      }
      throw Error(kErrNotFound);
    }
    const int32_t i = index.ToLong();
    if (i < 1 || static_cast<size_t>(i) > order.size()) throw Error(kErrNotFound);
    return MakeStoredItem(session_, order[static_cast<size_t>(i - 1)]);
  }

  Variant Step(size_t position) {
    const std::vector<int64_t>& order = Order();
    if (position >= order.size()) return Variant::Nothing();
    return MakeStoredItem(session_, order[position]);
  }

  SessionRef session_;
  int64_t folder_;
  SortKey key_ = SortKey::None;
  std::string property_;
  bool descending_ = false;
  std::vector<int64_t> order_;
  uint64_t version_ = ~uint64_t{0};
  size_t cursor_ = 0;
};

// The subfolders of a folder, or (folder 0) the root folders of the stores.
class FoldersObject final : public Object {
 public:
  FoldersObject(SessionRef session, int64_t parent) : session_(std::move(session)), parent_(parent) {}

  Variant Get(std::string_view name, Args args) override {
    if (EqualsNoCase(name, "Count")) return static_cast<int>(List().size());
    if (EqualsNoCase(name, "Item")) return MakeFolder(session_, Find(RequiredArg(args, 0)));
    if (EqualsNoCase(name, "Add")) return Add(RequiredArg(args, 0).ToText(), Arg(args, 1));
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "Folders"; }

 private:
  std::vector<int64_t> List() {
    ProfileData& data = session_->data;
    if (parent_ != 0) return data.folder(parent_).children;
    std::vector<int64_t> roots;
    for (int64_t store : data.storeOrder()) roots.push_back(data.store(store).root);
    return roots;
  }

  int64_t Find(const Variant& index) {
    const std::vector<int64_t> list = List();
    if (index.type() == VarType::Text) {
      for (int64_t id : list)
        if (EqualsNoCase(session_->data.folder(id).name, index.ToText())) return id;
      throw Error(kErrNotFound);
    }
    const int32_t i = index.ToLong();
    if (i < 1 || static_cast<size_t>(i) > list.size()) throw Error(kErrNotFound);
    return list[static_cast<size_t>(i - 1)];
  }

  Variant Add(const std::string& name, const Variant& type) {
    ProfileData& data = session_->data;
    if (parent_ == 0) throw Error(kErrFailed, "Cannot create the folder.");
    const FolderRecord& parent = data.folder(parent_);
    if (data.store(parent.store).refusesNewFolders)
      throw Error(kErrFailed, "Cannot create the folder. The store does not allow new folders.");
    const std::string_view trimmed = TrimSpaces(name);
    if (trimmed.empty() || name.find('\\') != std::string::npos)
      throw Error(kErrInvalidValue, "The folder name is not valid.");
    for (int64_t id : parent.children)
      if (EqualsNoCase(data.folder(id).name, name))
        throw Error(kErrFailed, "Cannot create the folder. A folder with that name already exists.");
    const int32_t itemType = type.IsEmpty() ? parent.defaultItemType : ItemTypeOfFolderType(type.ToLong());
    return MakeFolder(session_, data.AddFolder(parent_, name, itemType, 0));
  }

  SessionRef session_;
  int64_t parent_;
};

std::string FolderPath(ProfileData& data, int64_t folder) {
  std::string path;
  for (int64_t id = folder; id != 0; id = data.folder(id).parent) path = "\\" + data.folder(id).name + path;
  return "\\" + path;
}

class FolderObject final : public Object {
 public:
  FolderObject(SessionRef session, int64_t folder) : session_(std::move(session)), folder_(folder) {}

  Variant Get(std::string_view name, Args) override {
    ProfileData& data = session_->data;
    const FolderRecord& f = data.folder(folder_);
    if (EqualsNoCase(name, "Name")) return f.name;
    if (EqualsNoCase(name, "Folders")) return ObjectRef(std::make_shared<FoldersObject>(session_, folder_));
    if (EqualsNoCase(name, "Items")) return ObjectRef(std::make_shared<ItemsObject>(session_, folder_));
    if (EqualsNoCase(name, "StoreID")) return data.StoreEntryId(f.store);
    if (EqualsNoCase(name, "EntryID")) return data.FolderEntryId(folder_);
    if (EqualsNoCase(name, "DefaultItemType")) return f.defaultItemType;
    if (EqualsNoCase(name, "FolderPath")) return FolderPath(data, folder_);
    if (EqualsNoCase(name, "Parent"))
      return f.parent == 0 ? MakeNameSpace(session_) : MakeFolder(session_, f.parent);
    if (EqualsNoCase(name, "Class")) return 2;  // olFolder
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "MAPIFolder"; }

 private:
  SessionRef session_;
  int64_t folder_;
};

class NameSpaceObject final : public Object {
 public:
  explicit NameSpaceObject(SessionRef session) : session_(std::move(session)) {}

  Variant Get(std::string_view name, Args args) override {
    ProfileData& data = session_->data;
    if (EqualsNoCase(name, "Folders")) return MakeStoresFolders(session_);
    if (EqualsNoCase(name, "GetDefaultFolder"))
      return MakeFolder(session_, DefaultFolder(*session_, RequiredArg(args, 0).ToLong()));
    if (EqualsNoCase(name, "GetItemFromID")) {
      const std::string entryId = RequiredArg(args, 0).ToText();
      const Variant& storeArg = Arg(args, 1);
      int64_t store = data.storeOrder().front();
      if (!storeArg.IsEmpty() && !storeArg.ToText().empty()) {
        store = data.StoreFromStoreId(storeArg.ToText());
        if (store == 0) throw Error(kErrNotFound);
      }
      const int64_t item = data.ItemFromEntryId(entryId, store);
      if (item == 0) throw Error(kErrNotFound);
      return MakeStoredItem(session_, item);
    }
    if (EqualsNoCase(name, "AddStore")) {
      data.AddStore(RequiredArg(args, 0).ToText());
      return {};
    }
    if (EqualsNoCase(name, "Type")) return "MAPI";
    if (EqualsNoCase(name, "Application") || EqualsNoCase(name, "Parent"))
      return MakeApplication(session_);
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "NameSpace"; }

 private:
  SessionRef session_;
};

class ApplicationObject final : public Object {
 public:
  explicit ApplicationObject(SessionRef session) : session_(std::move(session)) {}

  Variant Get(std::string_view name, Args args) override {
    if (EqualsNoCase(name, "GetNamespace")) {
      if (!EqualsNoCase(RequiredArg(args, 0).ToText(), "MAPI")) throw Error(kErrInvalidValue);
      return MakeNameSpace(session_);
    }
    if (EqualsNoCase(name, "Session")) return MakeNameSpace(session_);
    if (EqualsNoCase(name, "ActiveExplorer")) return Variant(session_->explorer);
    if (EqualsNoCase(name, "CreateItem")) {
      const int32_t itemType = RequiredArg(args, 0).ToLong();
      static const int32_t kFolderOfType[] = {kFolderInbox, kFolderCalendar, kFolderContacts,
                                              kFolderTasks, 0, 0, 0, kFolderContacts};
      const int32_t classOfType = ClassOfItemType(itemType);  // rejects unknown types
      (void)classOfType;
      return MakeNewItem(session_, DefaultFolder(*session_, kFolderOfType[itemType]), itemType);
    }
    if (EqualsNoCase(name, "CreateObject")) return MakeSafeItem(session_, RequiredArg(args, 0).ToText());
    if (EqualsNoCase(name, "Name")) return "Outlook";
    if (EqualsNoCase(name, "Version")) return "11.0";
    if (EqualsNoCase(name, "Quit")) return {};
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "Application"; }

 private:
  SessionRef session_;
};

}  // namespace

ObjectRef MakeApplication(const SessionRef& session) { return std::make_shared<ApplicationObject>(session); }
ObjectRef MakeNameSpace(const SessionRef& session) { return std::make_shared<NameSpaceObject>(session); }
ObjectRef MakeFolder(const SessionRef& session, int64_t folder) {
  return std::make_shared<FolderObject>(session, folder);
}
ObjectRef MakeStoresFolders(const SessionRef& session) { return std::make_shared<FoldersObject>(session, 0); }

int64_t DefaultFolder(const Session& session, int32_t special) {
  const int64_t folder = session.data.SpecialFolder(session.data.storeOrder().front(), special);
  if (folder == 0) throw Error(kErrNotFound);
  return folder;
}

}  // namespace detail

// ---------------------------------------------------------------------------

Profile::Profile(std::unique_ptr<detail::ProfileData> data) : data_(std::move(data)) {}
Profile::~Profile() = default;

std::shared_ptr<Profile> Profile::Open(const std::string& path) {
  return std::shared_ptr<Profile>(new Profile(detail::ProfileData::Open(path)));
}

const std::string& Profile::path() const { return data_->path(); }
void Profile::AddStore(const std::string& name) { data_->AddStore(name); }

void Profile::SetStoreRefusesNewFolders(int storeIndex, bool refuse) {
  const auto& order = data_->storeOrder();
  if (storeIndex < 1 || static_cast<size_t>(storeIndex) > order.size()) throw Error(kErrNotFound);
  data_->SetStoreRefusesNewFolders(order[static_cast<size_t>(storeIndex - 1)], refuse);
}

bool Profile::WrapperLibraryInstalled() const { return data_->wrapperLibraryInstalled(); }
void Profile::SetWrapperLibraryInstalled(bool installed) { data_->SetWrapperLibraryInstalled(installed); }
void Profile::SetClock(std::function<Date()> clock) { data_->SetClock(std::move(clock)); }

Variant StartOutlook(std::shared_ptr<Profile> profile, StartMode mode) {
  if (!profile) throw Error(kErrObjectNotSet);
  detail::ProfileData& data = profile->data();
  auto session = std::make_shared<detail::Session>(detail::Session{std::move(profile), data, nullptr});
  if (mode == StartMode::Interactive) session->explorer = detail::MakeExplorer();
  return detail::MakeApplication(session);
}

}  // namespace qv::outlook
