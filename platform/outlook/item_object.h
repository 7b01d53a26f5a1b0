// The item objects of the emulation and what their families share
// (private to platform/outlook). Each item class is a table of properties and
// methods; Outlook's side effects are the table's hooks, kept with the
// family they belong to (appointment_item.cpp, contact_item.cpp, ...).
#ifndef QV_PLATFORM_OUTLOOK_ITEM_OBJECT_H
#define QV_PLATFORM_OUTLOOK_ITEM_OBJECT_H

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/outlook/objects.h"
#include "platform/outlook/text.h"

namespace qv::outlook::detail {

class ItemObject;

// ---------------------------------------------------------------------------
// Tables

using ItemGetter = Variant (*)(ItemObject&);
using ItemSetter = void (*)(ItemObject&, const Variant& converted);
using ItemMethod = Variant (*)(ItemObject&, Args);

struct ItemProperty {
  const char* name;
  VarType type;
  bool readOnly = false;
  uint32_t tag = 0;       // MAPI tag that reaches the property through Fields
  int32_t low = 1;        // accepted range of a Long (low > high: any value)
  int32_t high = 0;
  ItemGetter get = nullptr;  // computed value; otherwise the stored one
  ItemSetter put = nullptr;  // Outlook's side effects; otherwise stored as is
};

struct ItemMethodEntry {
  const char* name;
  ItemMethod call;
};

struct ItemClassTable {
  int32_t itemClass;
  const char* typeName;
  const char* messageClass;
  std::span<const ItemProperty> properties;
  std::span<const ItemMethodEntry> methods;
};

struct NoCaseHash {
  size_t operator()(std::string_view text) const {
    size_t hash = 14695981039346656037ull;
    for (char c : text) hash = (hash ^ static_cast<unsigned char>(AsciiLower(c))) * 1099511628211ull;
    return hash;
  }
};
struct NoCaseEqual {
  bool operator()(std::string_view a, std::string_view b) const { return EqualsNoCase(a, b); }
};

// The entry of `table` named `name` in any case; the first one when a name
// occurs twice. Every property read goes through here, so each table gets an
// index on its first use (per thread: a profile lives on its session's
// thread, and no lock is taken).
template <typename Entry>
const Entry* FindByName(std::span<const Entry> table, std::string_view name) {
  using Index = std::unordered_map<std::string_view, const Entry*, NoCaseHash, NoCaseEqual>;
  thread_local std::unordered_map<const Entry*, Index> indexes;
  auto [it, made] = indexes.try_emplace(table.data());
  Index& index = it->second;
  if (made) {
    for (const Entry& entry : table) index.emplace(std::string_view(entry.name), &entry);
  }
  auto found = index.find(name);
  return found == index.end() ? nullptr : found->second;
}


// A handle over one item: its own copy of the content, written to the profile
// by Save. Owned by whoever holds it; lives on the session's thread.
class ItemObject final : public Object, public FieldAccess {
 public:
  ItemObject(SessionRef session, int64_t record, int64_t folder, ItemState state, Date created);

  Variant Get(std::string_view name, Args args) override;
  void Put(std::string_view name, Args args, const Variant& value) override;
  std::string_view TypeName() const override;
  Variant GetField(uint32_t tag) override;
  void PutField(uint32_t tag, const Variant& value) override;

  Session& session() { return *session_; }
  const SessionRef& sessionRef() const { return session_; }
  ItemState& state() { return *state_; }
  const std::shared_ptr<ItemState>& sharedState() const { return state_; }
  // A property's current value (computed, stored or default).
  Variant Value(std::string_view name);
  std::string Text(std::string_view name) { return Value(name).ToText(); }
  double Serial(std::string_view name) { return Value(name).ToDate().serial; }
  void Store(const std::string& name, Variant value) { state_->props[name] = std::move(value); }
  void Erase(const std::string& name) { state_->props.erase(name); }

  int64_t record() const { return record_; }
  int64_t folder();
  Date created() const { return created_; }
  void Save();
  void Delete();

 private:
  void CheckAlive();
  const ItemProperty* FindProperty(std::string_view name) const;
  const ItemProperty* FindTag(uint32_t tag) const;

  SessionRef session_;
  int64_t record_;  // 0 until first saved
  int64_t folder_;  // where a new item goes
  std::shared_ptr<ItemState> state_;
  const ItemClassTable* table_;
  Date created_;
  bool deleted_ = false;
};


constexpr int32_t kAny = 0;  // low > high in a property's range: no range check

// The error of an item handle whose item is gone.
[[noreturn]] void Gone();

// The class tables of the item families.
const ItemClassTable& AppointmentClass();
const ItemClassTable& ContactClass();
const ItemClassTable& TaskClass();
const ItemClassTable& DistListClass();
const ItemClassTable& MailClass();

// Recipients (recipients.cpp).
Variant GetRecipients(ItemObject& item);
Variant GetAttachments(ItemObject& item);
// A distribution list's member as a read-only recipient.
ObjectRef MakeMember(ItemObject& list, const PropertyMap& member);
// The recipients collection an argument holds; Error(13) for anything else.
std::vector<std::shared_ptr<PropertyMap>>& RecipientsArg(Args args);
// The names of one recipient type as text ("; "-joined), and back.
Variant GetRequired(ItemObject& item);
Variant GetOptional(ItemObject& item);
void PutRequired(ItemObject& item, const Variant& names);
void PutOptional(ItemObject& item, const Variant& names);

// Recurrence (recurrence_pattern.cpp).
Variant GetIsRecurring(ItemObject& item);
Variant GetRecurrenceState(ItemObject& item);
// GetRecurrencePattern and ClearRecurrencePattern.
std::span<const ItemMethodEntry> RecurringMethods();

}  // namespace qv::outlook::detail

#endif
