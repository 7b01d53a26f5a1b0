// Outlook items: the item handle, the properties and methods every item
// class shares, the choice of class table, and assignment conversion. The
// families (appointment_item.cpp, contact_item.cpp, task_item.cpp,
// distlist_item.cpp, mail_item.cpp), recipients and recurrence patterns have
// files of their own.
#include <algorithm>
#include <cmath>

#include "platform/outlook/item_object.h"

namespace qv::outlook::detail {

ItemObject* AsItem(Object* object) { return dynamic_cast<ItemObject*>(object); }

void Gone() { throw Error(kErrFailed, "The item has been moved or deleted."); }

namespace {

// ---------------------------------------------------------------------------
// Property hooks

Variant GetClass(ItemObject& i) { return i.state().itemClass; }
Variant GetEntryId(ItemObject& i) {
  return i.record() ? i.session().data.ItemEntryId(i.record()) : std::string();
}
Variant GetModified(ItemObject& i) {
  return i.record() ? i.session().data.FindItem(i.record())->modified : i.created();
}
Variant GetCreated(ItemObject& i) {
  return i.record() ? i.session().data.FindItem(i.record())->created : i.created();
}
Variant GetParent(ItemObject& i) { return MakeFolder(i.sessionRef(), i.folder()); }
Variant GetApplication(ItemObject& i) { return MakeApplication(i.sessionRef()); }
Variant GetSession(ItemObject& i) { return MakeNameSpace(i.sessionRef()); }
// The size in bytes of the item's stored content.
Variant GetSize(ItemObject& i) {
  size_t size = 64;
  auto add = [&](const PropertyMap& map) {
    for (const auto& [key, v] : map) {
      size += key.size() + 8;
      if (v.type() == VarType::Text) size += v.ToText().size();
      if (v.type() == VarType::Bytes) size += v.ToBytes().size();
    }
  };
  add(i.state().props.read());
  for (const auto& r : i.state().recipients) add(*r);
  for (const auto& m : i.state().members) add(m);
  return static_cast<int>(std::min<size_t>(size, 0x7FFFFFFF));
}

// ---------------------------------------------------------------------------
// Methods

Variant CallSave(ItemObject& i, Args) {
  i.Save();
  return {};
}
Variant CallDelete(ItemObject& i, Args) {
  i.Delete();
  return {};
}
Variant CallClose(ItemObject&, Args) { return {}; }

// ---------------------------------------------------------------------------
// The tables: one commented slot per line.

const ItemProperty kCommonProperties[] = {
    {"Class", VarType::Long, true, 0, 1, kAny, GetClass},                  // 26, 40, 43, 48, 69
    {"EntryID", VarType::Text, true, 0, 1, kAny, GetEntryId},              // "" until saved
    {"Subject", VarType::Text, false, 0x0037001E},                         // PR_SUBJECT
    {"Body", VarType::Text, false, 0x1000001E},                            // PR_BODY
    {"LastModificationTime", VarType::Date, true, 0, 1, kAny, GetModified},  // moved by Save
    {"CreationTime", VarType::Date, true, 0, 1, kAny, GetCreated},         // first Save
    {"Parent", VarType::Object, true, 0, 1, kAny, GetParent},              // the folder
    {"Application", VarType::Object, true, 0, 1, kAny, GetApplication},    // the Application
    {"Session", VarType::Object, true, 0, 1, kAny, GetSession},            // the NameSpace
    {"Size", VarType::Long, true, 0, 1, kAny, GetSize},                    // bytes
    {"Sensitivity", VarType::Long, false, 0, 0, 3},                        // normal .. confidential
    {"Importance", VarType::Long, false, 0, 0, 2},                         // low, normal, high
    {"UnRead", VarType::Bool},                                             // unread flag
    {"Categories", VarType::Text},                                         // ", "-separated names
    {"Attachments", VarType::Object, true, 0, 1, kAny, GetAttachments},    // always empty here
};

const ItemMethodEntry kCommonMethods[] = {
    {"Save", CallSave},      // writes the handle's content, stamps LastModificationTime
    {"Delete", CallDelete},  // into "Deleted Items"; from there for good
    {"Close", CallClose},    // nothing to close without a window
};

const ItemClassTable& ClassTable(int32_t itemClass) {
  for (const ItemClassTable* table :
       {&AppointmentClass(), &ContactClass(), &MailClass(), &TaskClass(), &DistListClass()})
    if (table->itemClass == itemClass) return *table;
  throw Error(kErrInvalidValue, "Unknown item class " + std::to_string(itemClass) + ".");
}

}  // namespace

// ---------------------------------------------------------------------------

ItemObject::ItemObject(SessionRef session, int64_t record, int64_t folder, ItemState state,
                       Date created)
    : session_(std::move(session)), record_(record), folder_(folder),
      state_(std::make_shared<ItemState>(std::move(state))), table_(&ClassTable(state_->itemClass)),
      created_(created) {}

std::string_view ItemObject::TypeName() const { return table_->typeName; }

int64_t ItemObject::folder() {
  if (record_ == 0) return folder_;
  ItemRecord* record = session_->data.FindItem(record_);
  if (!record) Gone();
  return record->folder;
}

void ItemObject::CheckAlive() {
  if (deleted_ || (record_ != 0 && !session_->data.FindItem(record_))) Gone();
}

const ItemProperty* ItemObject::FindProperty(std::string_view name) const {
  if (const ItemProperty* p = FindByName<ItemProperty>(table_->properties, name)) return p;
  return FindByName<ItemProperty>(kCommonProperties, name);
}

const ItemProperty* ItemObject::FindTag(uint32_t tag) const {
  for (const auto& table : {table_->properties, std::span<const ItemProperty>(kCommonProperties)})
    for (const ItemProperty& p : table)
      if (p.tag == tag) return &p;
  return nullptr;
}

Variant ItemObject::Value(std::string_view name) {
  const ItemProperty* p = FindProperty(name);
  if (!p) throw Error(kErrNotSupported);
  if (p->get) return p->get(*this);
  auto it = state_->props.find(p->name);
  return it != state_->props.end() ? it->second : DefaultOf(p->type);
}

Variant ItemObject::Get(std::string_view name, Args args) {
  CheckAlive();
  if (EqualsNoCase(name, "MessageClass")) return table_->messageClass;
  if (EqualsNoCase(name, "Saved")) return record_ != 0;
  for (const auto& table : {table_->methods, std::span<const ItemMethodEntry>(kCommonMethods)})
    if (const ItemMethodEntry* m = FindByName<ItemMethodEntry>(table, name)) return m->call(*this, args);
  return Value(name);
}

void ItemObject::Put(std::string_view name, Args, const Variant& value) {
  CheckAlive();
  const ItemProperty* p = FindProperty(name);
  if (!p || p->readOnly || p->type == VarType::Object) throw Error(kErrNotSupported);
  Variant converted = CoerceTo(p->type, value);
  if (p->type == VarType::Long) CheckRange(converted.ToLong(), p->low, p->high);
  if (p->put) p->put(*this, converted);
  else Store(p->name, std::move(converted));
}

Variant ItemObject::GetField(uint32_t tag) {
  CheckAlive();
  if (const ItemProperty* p = FindTag(tag)) return Value(p->name);
  auto it = state_->props.find(RawFieldKey(tag));
  return it == state_->props.end() ? Variant() : it->second;
}

void ItemObject::PutField(uint32_t tag, const Variant& value) {
  CheckAlive();
  if (const ItemProperty* p = FindTag(tag)) return Put(p->name, {}, value);
  state_->props[RawFieldKey(tag)] = CoerceToTag(tag, value);
}

void ItemObject::Save() {
  CheckAlive();
  record_ = session_->data.SaveItem(record_, folder(), *state_);
}

void ItemObject::Delete() {
  CheckAlive();
  if (record_ != 0) {
    ProfileData& data = session_->data;
    const int64_t store = data.folder(folder()).store;
    const int64_t deletedItems = data.SpecialFolder(store, kFolderDeletedItems);
    if (folder() == deletedItems) data.RemoveItem(record_);
    else data.MoveItem(record_, deletedItems);
  }
  deleted_ = true;
}

// ---------------------------------------------------------------------------

ObjectRef MakeStoredItem(const SessionRef& session, int64_t item) {
  ItemRecord* record = session->data.FindItem(item);
  if (!record) throw Error(kErrNotFound);
  return std::make_shared<ItemObject>(session, item, record->folder, record->state.Clone(),
                                      record->created);
}

ObjectRef MakeNewItem(const SessionRef& session, int64_t folder, int32_t itemType) {
  ItemState state;
  state.itemClass = ClassOfItemType(itemType);
  const Date now = session->data.Now();
  state.props["Importance"] = 1;  // normal
  if (state.itemClass == kClassAppointment) {
    // The next half hour, for half an hour, busy, reminded 15 minutes before.
    const double start = std::ceil(now.serial * 48 - 1e-9) / 48;
    state.props["Start"] = Date{start};
    state.props["End"] = Date{start + 1.0 / 48};
    state.props["BusyStatus"] = 2;
    state.props["ReminderSet"] = true;
    state.props["ReminderMinutesBeforeStart"] = 15;
  }
  return std::make_shared<ItemObject>(session, 0, folder, std::move(state), now);
}

int32_t ClassOfItemType(int32_t itemType) {
  switch (itemType) {
    case 0: return kClassMail;
    case 1: return kClassAppointment;
    case 2: return kClassContact;
    case 3: return kClassTask;
    case 7: return kClassDistList;
    default: throw Error(kErrInvalidValue);
  }
}

std::vector<std::string> PropertyNames(int32_t itemClass) {
  std::vector<std::string> names;
  for (const ItemProperty& p : kCommonProperties)
    if (p.type != VarType::Object) names.emplace_back(p.name);
  for (const ItemProperty& p : ClassTable(itemClass).properties)
    if (p.type != VarType::Object && FindByName<ItemProperty>(kCommonProperties, p.name) == nullptr)
      names.emplace_back(p.name);
  return names;
}

// ---------------------------------------------------------------------------
// Assignment conversion

Variant CoerceTo(VarType type, const Variant& value) {
  switch (type) {
    case VarType::Bool: return value.ToBool();
    case VarType::Long: return static_cast<int>(value.ToLong());
    case VarType::Double: return value.ToDouble();
    case VarType::Date: return value.ToDate();
    case VarType::Text: return value.ToText();
    case VarType::Bytes: return value.ToBytes();
    default: throw Error(kErrTypeMismatch);
  }
}

Variant DefaultOf(VarType type) {
  switch (type) {
    case VarType::Bool: return false;
    case VarType::Long: return 0;
    case VarType::Double: return 0.0;
    case VarType::Date: return kNoDate;
    case VarType::Text: return std::string();
    case VarType::Bytes: return Bytes();
    default: return {};
  }
}

void CheckRange(int32_t value, int32_t low, int32_t high) {
  if (low <= high && (value < low || value > high)) throw Error(kErrInvalidValue);
}

// The low 16 bits of a tag name its type: 0x0003 integer, 0x000B Boolean,
// 0x0005 double, 0x0040 time, 0x001E/0x001F text, 0x0102 binary.
Variant CoerceToTag(uint32_t tag, const Variant& value) {
  switch (tag & 0xFFFF) {
    case 0x0003: return CoerceTo(VarType::Long, value);
    case 0x000B: return CoerceTo(VarType::Bool, value);
    case 0x0005: return CoerceTo(VarType::Double, value);
    case 0x0040: return CoerceTo(VarType::Date, value);
    case 0x001E:
    case 0x001F: return CoerceTo(VarType::Text, value);
    case 0x0102: return CoerceTo(VarType::Bytes, value);
    default:
      if (value.IsObject()) throw Error(kErrTypeMismatch);
      return value;
  }
}

std::string RawFieldKey(uint32_t tag) { return "0x" + Hex32(tag); }

// Tags arrive as 32-bit integers (negative for the upper half) or doubles.
uint32_t TagOf(const Variant& tag) {
  if (tag.type() == VarType::Double) {
    const double d = tag.ToDouble();
    if (d >= 0 && d <= 4294967295.0) return static_cast<uint32_t>(d);
  }
  return static_cast<uint32_t>(tag.ToLong());
}

}  // namespace qv::outlook::detail
