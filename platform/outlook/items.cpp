// Outlook items (appointment, contact, mail, task, distribution list), their
// recipients, attachments and recurrence patterns. Each item class is a table
// of properties and methods; Outlook's side effects are the table's hooks.
#include <algorithm>
#include <cmath>
#include <string_view>
#include <unordered_map>

#include "platform/outlook/objects.h"
#include "platform/outlook/text.h"
#include "platform/timezone/timezone.h"

namespace qv::outlook::detail {

namespace {

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

}  // namespace

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

ItemObject* AsItem(Object* object) { return dynamic_cast<ItemObject*>(object); }

namespace {

[[noreturn]] void Gone() { throw Error(kErrFailed, "The item has been moved or deleted."); }

// ---------------------------------------------------------------------------
// Recipients

// One recipient (or, read-only, one distribution-list member).
class RecipientObject final : public Object, public FieldAccess {
 public:
  RecipientObject(SessionRef session, std::shared_ptr<ItemState> owner,
                  std::shared_ptr<PropertyMap> values, bool member)
      : session_(std::move(session)), owner_(std::move(owner)), values_(std::move(values)),
        member_(member) {}

  Variant Get(std::string_view name, Args) override {
    if (!member_ && EqualsNoCase(name, "Resolve")) return ResolveRecipient(*session_, *values_);
    if (!member_ && EqualsNoCase(name, "Delete")) {
      auto& list = owner_->recipients;
      list.erase(std::remove(list.begin(), list.end(), values_), list.end());
      return {};
    }
    if (!member_ && EqualsNoCase(name, "Index")) {
      auto& list = owner_->recipients;
      auto it = std::find(list.begin(), list.end(), values_);
      return it == list.end() ? Variant(0) : Variant(static_cast<int>(it - list.begin() + 1));
    }
    const Property* p = Find(name);
    if (!p) throw Error(kErrNotSupported);
    auto it = values_->find(p->name);
    return it != values_->end() ? it->second : DefaultOf(p->type);
  }

  void Put(std::string_view name, Args, const Variant& value) override {
    const Property* p = Find(name);
    if (!p || p->readOnly || member_) throw Error(kErrNotSupported);
    Variant converted = CoerceTo(p->type, value);
    if (p->type == VarType::Long) CheckRange(converted.ToLong(), p->low, p->high);
    (*values_)[p->name] = std::move(converted);
  }

  std::string_view TypeName() const override { return "Recipient"; }

  Variant GetField(uint32_t tag) override {
    auto it = values_->find(KeyOf(tag));
    return it == values_->end() ? Variant() : it->second;
  }
  void PutField(uint32_t tag, const Variant& value) override {
    if (member_) throw Error(kErrNotSupported);
    (*values_)[KeyOf(tag)] = CoerceToTag(tag, value);
  }

 private:
  struct Property {
    const char* name;
    VarType type;
    bool readOnly;
    int32_t low, high;
  };
  static const Property* Find(std::string_view name) {
    static const Property kTable[] = {
        {"Name", VarType::Text, true, 1, 0},            // display name as added
        {"Address", VarType::Text, true, 1, 0},         // e-mail address once resolved
        {"EntryID", VarType::Text, true, 1, 0},         // address entry; a member's wrapped id
        {"Resolved", VarType::Bool, true, 1, 0},        // resolved against the address book
        {"Type", VarType::Long, false, 0, 3},           // 1 required/To, 2 optional/CC, 3 resource
        {"TrackingStatus", VarType::Long, false, 0, 7},  // the attendee's response
    };
    return FindByName<Property>(kTable, name);
  }
  // PR_EMAIL_ADDRESS is the recipient's address; other tags are kept raw.
  static std::string KeyOf(uint32_t tag) { return tag == 0x3003001E ? "Address" : RawFieldKey(tag); }

  SessionRef session_;
  std::shared_ptr<ItemState> owner_;
  std::shared_ptr<PropertyMap> values_;
  bool member_;
};

class RecipientsObject final : public Object {
 public:
  RecipientsObject(SessionRef session, std::shared_ptr<ItemState> owner)
      : session_(std::move(session)), owner_(std::move(owner)) {}

  Variant Get(std::string_view name, Args args) override {
    auto& list = owner_->recipients;
    if (EqualsNoCase(name, "Count")) return static_cast<int>(list.size());
    if (EqualsNoCase(name, "Item")) return Wrap(list[Index(RequiredArg(args, 0))]);
    if (EqualsNoCase(name, "Add")) {
      auto values = std::make_shared<PropertyMap>();
      (*values)["Name"] = RequiredArg(args, 0).ToText();
      (*values)["Type"] = 1;
      list.push_back(values);
      return Wrap(values);
    }
    if (EqualsNoCase(name, "Remove")) {
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(Index(RequiredArg(args, 0))));
      return {};
    }
    if (EqualsNoCase(name, "ResolveAll")) {
      bool all = true;
      for (auto& r : list)
        if (!ResolveRecipient(*session_, *r)) all = false;
      return all;
    }
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "Recipients"; }
  const std::shared_ptr<ItemState>& owner() const { return owner_; }

 private:
  size_t Index(const Variant& index) {
    auto& list = owner_->recipients;
    if (index.type() == VarType::Text) {
      for (size_t i = 0; i < list.size(); ++i)
        if (EqualsNoCase((*list[i])["Name"].ToText(), index.ToText())) return i;
      throw Error(kErrNotFound);
    }
    const int32_t i = index.ToLong();
    if (i < 1 || static_cast<size_t>(i) > list.size()) throw Error(kErrNotFound);
    return static_cast<size_t>(i - 1);
  }
  Variant Wrap(const std::shared_ptr<PropertyMap>& values) {
    return ObjectRef(std::make_shared<RecipientObject>(session_, owner_, values, false));
  }

  SessionRef session_;
  std::shared_ptr<ItemState> owner_;
};

class AttachmentsObject final : public Object {
 public:
  Variant Get(std::string_view name, Args) override {
    if (EqualsNoCase(name, "Count")) return 0;
    if (EqualsNoCase(name, "Item")) throw Error(kErrNotFound);
    throw Error(kErrNotSupported);
  }
  std::string_view TypeName() const override { return "Attachments"; }
};

// ---------------------------------------------------------------------------
// Recurrence patterns

// Outlook's recurrence types and the bit each has in a validity mask.
constexpr int32_t kRecursDaily = 0, kRecursWeekly = 1, kRecursMonthly = 2, kRecursMonthNth = 3,
                  kRecursYearly = 5, kRecursYearNth = 6;
constexpr uint32_t Bit(int32_t type) { return 1u << type; }
constexpr uint32_t kAllTypes = Bit(kRecursDaily) | Bit(kRecursWeekly) | Bit(kRecursMonthly) |
                               Bit(kRecursMonthNth) | Bit(kRecursYearly) | Bit(kRecursYearNth);

struct PatternProperty {
  const char* name;
  VarType type;
  uint32_t validFor;  // recurrence types that accept an assignment
  int32_t low, high;
};

// Which pattern property each recurrence type accepts, as Outlook decides.
constexpr PatternProperty kPatternProperties[] = {
    {"RecurrenceType", VarType::Long, kAllTypes, 0, 6},
    {"Interval", VarType::Long, kAllTypes, 1, 999},
    {"Instance", VarType::Long, Bit(kRecursMonthNth) | Bit(kRecursYearNth), 1, 5},
    {"DayOfMonth", VarType::Long, Bit(kRecursMonthly) | Bit(kRecursYearly), 1, 31},
    {"DayOfWeekMask", VarType::Long,
     Bit(kRecursWeekly) | Bit(kRecursMonthNth) | Bit(kRecursYearNth), 1, 127},
    {"MonthOfYear", VarType::Long, Bit(kRecursYearly) | Bit(kRecursYearNth), 1, 12},
    {"PatternStartDate", VarType::Date, kAllTypes, 1, 0},
    {"PatternEndDate", VarType::Date, kAllTypes, 1, 0},
    {"NoEndDate", VarType::Bool, kAllTypes, 1, 0},
    {"Occurrences", VarType::Long, kAllTypes, 1, 999},
};

int32_t WeekdayBit(Date date) {
  const int64_t days = static_cast<int64_t>(std::floor(date.serial));
  const int64_t weekday = ((days + 6) % 7 + 7) % 7;  // 0 Sunday; 1899-12-30 was a Saturday
  return 1 << weekday;
}

// A new type keeps the start date and takes its day, weekday and month.
void ResetPatternForType(PropertyMap& p, int32_t type) {
  for (const char* key : {"Instance", "DayOfMonth", "DayOfWeekMask", "MonthOfYear"}) p.erase(key);
  const Date start = p.count("PatternStartDate") ? p["PatternStartDate"].ToDate() : LocalNow();
  const DateParts parts = SplitDate(start);
  if (type == kRecursWeekly || type == kRecursMonthNth || type == kRecursYearNth)
    p["DayOfWeekMask"] = WeekdayBit(start);
  if (type == kRecursMonthNth || type == kRecursYearNth) p["Instance"] = (parts.day - 1) / 7 + 1;
  if (type == kRecursMonthly || type == kRecursYearly) p["DayOfMonth"] = parts.day;
  if (type == kRecursYearly || type == kRecursYearNth) p["MonthOfYear"] = parts.month;
  p["RecurrenceType"] = type;
}

// The numbers of a pattern that decide its occurrences.
struct PatternRule {
  int32_t type, interval, mask, instance, dayOfMonth, monthOfYear;
};

PatternRule RuleOf(PropertyMap& p) {
  const auto number = [&](const char* key, int32_t fallback) {
    auto it = p.find(key);
    return it == p.end() ? fallback : it->second.ToLong();
  };
  return {number("RecurrenceType", kRecursWeekly), std::max(1, number("Interval", 1)),
          number("DayOfWeekMask", 0) & 127,         number("Instance", 1),
          number("DayOfMonth", 1),                  number("MonthOfYear", 1)};
}

constexpr int64_t kSerialOf1970 = 25569;  // automation day of 1970-01-01

int Weekday(int64_t day) { return static_cast<int>(((day + 6) % 7 + 7) % 7); }  // 0 Sunday

// The occurrence day of a month-based rule in one month, or -1 when there is none.
int64_t DayInMonth(const PatternRule& rule, int64_t year, int month) {
  const int64_t first = timezone::DaysFromCivil(year, month, 1) + kSerialOf1970;
  const int length = timezone::DaysInMonth(year, month);
  if (rule.type == kRecursMonthly || rule.type == kRecursYearly)
    return first + std::min(std::max(rule.dayOfMonth, 1), length) - 1;
  // The instance-th day of the month whose weekday is in the mask; 5: the last.
  int64_t found = -1;
  int seen = 0;
  for (int d = 0; d < length; ++d) {
    if (!(rule.mask & (1 << Weekday(first + d)))) continue;
    found = first + d;
    if (++seen == rule.instance) return found;
  }
  return rule.instance >= 5 ? found : -1;
}

// Calls visit(day) for every occurrence from startDay through lastDay in
// order (days are whole automation dates) until visit returns false. Walks
// periods (days, weeks, months, years), not single days.
template <typename Visit>
void ForEachOccurrence(const PatternRule& rule, int64_t startDay, int64_t lastDay, Visit visit) {
  switch (rule.type) {
    case kRecursDaily:
      for (int64_t day = startDay; day <= lastDay; day += rule.interval)
        if (!visit(day)) return;
      return;
    case kRecursWeekly: {
      if (rule.mask == 0) return;
      for (int64_t week = startDay - Weekday(startDay); week <= lastDay;
           week += 7 * static_cast<int64_t>(rule.interval)) {
        for (int d = 0; d < 7; ++d) {
          const int64_t day = week + d;
          if (day < startDay || !(rule.mask & (1 << d))) continue;
          if (day > lastDay || !visit(day)) return;
        }
      }
      return;
    }
    case kRecursMonthly:
    case kRecursMonthNth:
    case kRecursYearly:
    case kRecursYearNth: {
      const bool yearly = rule.type == kRecursYearly || rule.type == kRecursYearNth;
      if ((rule.type == kRecursMonthNth || rule.type == kRecursYearNth) && rule.mask == 0) return;
      const DateParts start = SplitDate(Date{static_cast<double>(startDay)});
      int64_t year = start.year;
      int month = yearly ? std::min(std::max(rule.monthOfYear, 1), 12) : start.month;
      const int64_t step = yearly ? 12 * static_cast<int64_t>(rule.interval) : rule.interval;
      while (timezone::DaysFromCivil(year, month, 1) + kSerialOf1970 <= lastDay) {
        const int64_t day = DayInMonth(rule, year, month);
        if (day >= startDay && day <= lastDay && !visit(day)) return;
        const int64_t next = year * 12 + (month - 1) + step;
        year = next / 12;
        month = static_cast<int>(next % 12) + 1;
      }
      return;
    }
    default:
      return;
  }
}

// Outlook keeps the end of a pattern both ways: the end date follows from a
// number of occurrences and the number from an end date (the end date then
// moves to the day of the last occurrence). "EndByCount" says
// which of the two was given last.
void DerivePatternEnd(PropertyMap& p) {
  if (p["NoEndDate"].ToBool()) return;
  const int64_t startDay = static_cast<int64_t>(std::floor(p["PatternStartDate"].ToDate().serial));
  const int64_t lastDay = static_cast<int64_t>(std::floor(kNoDate.serial)) - 1;
  const bool byCount = p["EndByCount"].ToBool();
  const int64_t wanted = byCount ? p["Occurrences"].ToLong() : 0;
  const int64_t endDay = byCount ? lastDay
                                 : static_cast<int64_t>(std::floor(p["PatternEndDate"].ToDate().serial));
  if (byCount ? wanted < 1 : endDay > lastDay) return;  // nothing given yet
  int64_t count = 0;
  int64_t last = startDay;
  ForEachOccurrence(RuleOf(p), startDay, std::min(endDay, lastDay), [&](int64_t day) {
    ++count;
    last = day;
    return !(byCount && count >= wanted);
  });
  // Either way the end date becomes the day of the last occurrence.
  if (count > 0) p["PatternEndDate"] = Date{static_cast<double>(last)};
  // The count of a series that ends by date is what it is, beyond the 999
  // that can be given as a count.
  if (!byCount) p["Occurrences"] = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
}

class PatternObject final : public Object {
 public:
  explicit PatternObject(std::shared_ptr<ItemState> owner) : owner_(std::move(owner)) {}

  Variant Get(std::string_view name, Args) override {
    const PatternProperty* p = FindByName<PatternProperty>(kPatternProperties, name);
    if (!p) throw Error(kErrNotSupported);
    PropertyMap& values = Values();
    auto it = values.find(p->name);
    return it != values.end() ? it->second : DefaultOf(p->type);
  }

  void Put(std::string_view name, Args, const Variant& value) override {
    const PatternProperty* p = FindByName<PatternProperty>(kPatternProperties, name);
    if (!p) throw Error(kErrNotSupported);
    PropertyMap& values = Values();
    const int32_t type = values["RecurrenceType"].ToLong();
    if (!(p->validFor & Bit(type)))
      throw Error(kErrInvalidValue, std::string("The property \"") + p->name +
                                        "\" is not valid for this recurrence type.");
    Variant converted = CoerceTo(p->type, value);
    const std::string key = p->name;
    if (p->type == VarType::Long) CheckRange(converted.ToLong(), p->low, p->high);
    if (key == "RecurrenceType") {
      const int32_t newType = converted.ToLong();
      if (!(Bit(newType) & kAllTypes)) throw Error(kErrInvalidValue);
      ResetPatternForType(values, newType);
      DerivePatternEnd(values);
      return;
    }
    if (key == "PatternEndDate") {
      if (converted.ToDate() < values["PatternStartDate"].ToDate()) throw Error(kErrInvalidValue);
      values["NoEndDate"] = false;
      values["EndByCount"] = false;
    }
    if (key == "Occurrences") {
      values["NoEndDate"] = false;
      values["EndByCount"] = true;
    }
    if (key == "NoEndDate" && converted.ToBool()) {
      values.erase("Occurrences");
      values["PatternEndDate"] = kNoDate;
    }
    values[key] = std::move(converted);
    DerivePatternEnd(values);
  }

  std::string_view TypeName() const override { return "RecurrencePattern"; }

 private:
  // The pattern of the item, which a Clear may have removed meanwhile.
  PropertyMap& Values() {
    if (!owner_->pattern) throw Error(kErrFailed, "The item is not recurring.");
    return *owner_->pattern;
  }
  std::shared_ptr<ItemState> owner_;
};

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
Variant GetAttachments(ItemObject&) { return ObjectRef(std::make_shared<AttachmentsObject>()); }
Variant GetRecipients(ItemObject& i) {
  return ObjectRef(std::make_shared<RecipientsObject>(i.sessionRef(), i.sharedState()));
}
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
Variant GetIsRecurring(ItemObject& i) { return i.state().pattern != nullptr; }
Variant GetRecurrenceState(ItemObject& i) { return i.state().pattern ? 1 : 0; }

// Recipient lists as text: the names of one recipient type, joined by "; ".
std::string NamesOfType(ItemObject& item, int32_t type) {
  std::string out;
  for (const auto& r : item.state().recipients) {
    auto t = r->find("Type");
    if (t == r->end() || t->second.ToLong() != type) continue;
    if (!out.empty()) out += "; ";
    out += (*r)["Name"].ToText();
  }
  return out;
}
void SetNamesOfType(ItemObject& item, int32_t type, const std::string& names) {
  auto& list = item.state().recipients;
  list.erase(std::remove_if(list.begin(), list.end(),
                            [&](const auto& r) {
                              auto t = r->find("Type");
                              return t != r->end() && t->second.ToLong() == type;
                            }),
             list.end());
  size_t start = 0;
  while (start <= names.size()) {
    size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    const std::string_view name = TrimSpaces(std::string_view(names).substr(start, end - start));
    if (!name.empty()) {
      auto r = std::make_shared<PropertyMap>();
      (*r)["Name"] = std::string(name);
      (*r)["Type"] = type;
      list.push_back(r);
    }
    start = end + 1;
  }
}
Variant GetRequired(ItemObject& i) { return NamesOfType(i, 1); }
Variant GetOptional(ItemObject& i) { return NamesOfType(i, 2); }
void PutRequired(ItemObject& i, const Variant& v) { SetNamesOfType(i, 1, v.ToText()); }
void PutOptional(ItemObject& i, const Variant& v) { SetNamesOfType(i, 2, v.ToText()); }

// A computed date, refused when it leaves the range of dates.
Date ComputedDate(double serial) {
  if (!IsValidDateSerial(serial)) throw Error(kErrInvalidValue);
  return Date{serial};
}

// Appointments: Start keeps the duration; End may not precede Start.
void PutStart(ItemObject& a, const Variant& v) {
  const Date end = ComputedDate(v.ToDate().serial + a.Serial("End") - a.Serial("Start"));
  a.Store("Start", v);
  a.Store("End", end);
}
void PutEnd(ItemObject& a, const Variant& v) {
  if (v.ToDate().serial < a.Serial("Start"))
    throw Error(kErrInvalidValue, "The end date you entered occurs before the start date.");
  a.Store("End", v);
}
Variant GetDuration(ItemObject& a) {
  return static_cast<int>(std::lround((a.Serial("End") - a.Serial("Start")) * 1440));
}
void PutDuration(ItemObject& a, const Variant& v) {
  a.Store("End", ComputedDate(a.Serial("Start") + v.ToLong() / 1440.0));
}
// An all-day event runs from midnight to midnight.
void PutAllDay(ItemObject& a, const Variant& v) {
  if (v.ToBool()) {
    const double start = std::floor(a.Serial("Start"));
    double end = std::ceil(a.Serial("End"));
    if (end <= start) end = start + 1;
    a.Store("End", ComputedDate(end));
    a.Store("Start", Date{start});
  }
  a.Store("AllDayEvent", v);
}

// Contacts: the full name and its parts follow each other.
std::string JoinWords(std::initializer_list<std::string> words) {
  std::string out;
  for (const std::string& w : words) {
    if (w.empty()) continue;
    if (!out.empty()) out += ' ';
    out += w;
  }
  return out;
}
void ComposeFullName(ItemObject& c) {
  c.Store("FullName", JoinWords({c.Text("FirstName"), c.Text("MiddleName"), c.Text("LastName"),
                                 c.Text("Suffix")}));
  c.Erase("Subject");  // a contact's subject follows its name
}
void PutNamePart(ItemObject& c, const std::string& part, const Variant& v) {
  c.Store(part, v);
  ComposeFullName(c);
}
void PutFirstName(ItemObject& c, const Variant& v) { PutNamePart(c, "FirstName", v); }
void PutMiddleName(ItemObject& c, const Variant& v) { PutNamePart(c, "MiddleName", v); }
void PutLastName(ItemObject& c, const Variant& v) { PutNamePart(c, "LastName", v); }
void PutSuffix(ItemObject& c, const Variant& v) { PutNamePart(c, "Suffix", v); }
// "First Middle... Last", or "Last, First Middle..."; one word is a first name.
void PutFullName(ItemObject& c, const Variant& v) {
  const std::string text = v.ToText();
  std::vector<std::string> words;
  std::string last;
  std::string_view rest = text;
  if (const size_t comma = text.find(','); comma != std::string::npos) {
    last = std::string(TrimSpaces(rest.substr(0, comma)));
    rest = rest.substr(comma + 1);
  }
  size_t pos = 0;
  while (pos < rest.size()) {
    while (pos < rest.size() && (rest[pos] == ' ' || rest[pos] == '\t')) ++pos;
    size_t end = pos;
    while (end < rest.size() && rest[end] != ' ' && rest[end] != '\t') ++end;
    if (end > pos) words.emplace_back(rest.substr(pos, end - pos));
    pos = end;
  }
  if (last.empty() && words.size() >= 2) {
    last = words.back();
    words.pop_back();
  }
  std::string first = words.empty() ? std::string() : words.front();
  std::string middle;
  for (size_t i = 1; i < words.size(); ++i) middle = JoinWords({middle, words[i]});
  c.Store("FirstName", first);
  c.Store("MiddleName", middle);
  c.Store("LastName", last);
  c.Store("Suffix", std::string());
  ComposeFullName(c);
}
Variant GetContactSubject(ItemObject& c) {
  auto it = c.state().props.find("Subject");
  return it != c.state().props.end() ? it->second : c.Value("FullName");
}
// Unless assigned, a contact is filed as "Last, First Middle".
Variant GetFileAs(ItemObject& c) {
  auto it = c.state().props.find("FileAs");
  if (it != c.state().props.end()) return it->second;
  const std::string last = c.Text("LastName");
  const std::string given = JoinWords({c.Text("FirstName"), c.Text("MiddleName")});
  if (last.empty() && given.empty()) return c.Value("CompanyName");
  if (last.empty()) return given;
  return given.empty() ? last : last + ", " + given;
}

// Tasks: dates are days; status, percentage and completion follow each other.
void PutTaskDate(ItemObject& t, const std::string& name, const Variant& v) {
  const Date date = v.ToDate();
  t.Store(name, date == kNoDate ? date : Date{std::floor(date.serial)});
}
void PutStartDate(ItemObject& t, const Variant& v) { PutTaskDate(t, "StartDate", v); }
void PutDueDate(ItemObject& t, const Variant& v) { PutTaskDate(t, "DueDate", v); }
constexpr int32_t kTaskNotStarted = 0, kTaskInProgress = 1, kTaskComplete = 2;
void PutStatus(ItemObject& t, const Variant& v) {
  const int32_t status = v.ToLong();
  t.Store("Status", status);
  if (status == kTaskComplete) t.Store("PercentComplete", 100);
  else if (t.Value("PercentComplete").ToLong() == 100) t.Store("PercentComplete", 0);
}
void PutPercentComplete(ItemObject& t, const Variant& v) {
  const int32_t percent = v.ToLong();
  const int32_t status = t.Value("Status").ToLong();
  t.Store("PercentComplete", percent);
  if (percent == 100) t.Store("Status", kTaskComplete);
  else if (percent > 0 && (status == kTaskNotStarted || status == kTaskComplete))
    t.Store("Status", kTaskInProgress);
  else if (percent == 0 && (status == kTaskInProgress || status == kTaskComplete))
    t.Store("Status", kTaskNotStarted);
}
Variant GetComplete(ItemObject& t) { return t.Value("Status").ToLong() == kTaskComplete; }
void PutComplete(ItemObject& t, const Variant& v) {
  if (v.ToBool()) PutStatus(t, kTaskComplete);
  else if (t.Value("Status").ToLong() == kTaskComplete) PutPercentComplete(t, 0);
}

// Distribution lists: DLName is the subject.
Variant GetDLName(ItemObject& d) { return d.Value("Subject"); }
void PutDLName(ItemObject& d, const Variant& v) { d.Store("Subject", v); }
Variant GetMemberCount(ItemObject& d) { return static_cast<int>(d.state().members.size()); }

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

Variant CallGetRecurrencePattern(ItemObject& i, Args) {
  ItemState& state = i.state();
  if (!state.pattern) {
    Date anchor;
    if (state.itemClass == kClassAppointment) {
      anchor = i.Value("Start").ToDate();
    } else {
      anchor = i.Value("StartDate").ToDate();
      if (anchor == kNoDate) anchor = i.Value("DueDate").ToDate();
      if (anchor == kNoDate) anchor = i.session().data.Now();
    }
    auto pattern = std::make_shared<PropertyMap>();
    (*pattern)["PatternStartDate"] = Date{std::floor(anchor.serial)};
    (*pattern)["Interval"] = 1;
    (*pattern)["NoEndDate"] = true;
    (*pattern)["PatternEndDate"] = kNoDate;
    ResetPatternForType(*pattern, kRecursWeekly);
    state.pattern = pattern;
  }
  return ObjectRef(std::make_shared<PatternObject>(i.sharedState()));
}
Variant CallClearRecurrencePattern(ItemObject& i, Args) {
  i.state().pattern.reset();
  return {};
}

// The recipients collection an argument holds; Error(13) for anything else.
std::vector<std::shared_ptr<PropertyMap>>& RecipientsArg(Args args) {
  auto* recipients = dynamic_cast<RecipientsObject*>(RequiredArg(args, 0).ToObject().get());
  if (!recipients) throw Error(kErrTypeMismatch);
  return recipients->owner()->recipients;
}

Variant CallGetMember(ItemObject& d, Args args) {
  const int32_t index = RequiredArg(args, 0).ToLong();
  auto& members = d.state().members;
  if (index < 1 || static_cast<size_t>(index) > members.size()) throw Error(kErrNotFound);
  return ObjectRef(std::make_shared<RecipientObject>(
      d.sessionRef(), d.sharedState(),
      std::make_shared<PropertyMap>(members[static_cast<size_t>(index - 1)]), true));
}
// Adds resolved recipients as members; nothing changes unless all resolve.
Variant CallAddMembers(ItemObject& d, Args args) {
  auto& recipients = RecipientsArg(args);
  for (auto& r : recipients)
    if (!(*r)["Resolved"].ToBool() && !ResolveRecipient(d.session(), *r))
      throw Error(kErrFailed, "Could not resolve \"" + (*r)["Name"].ToText() + "\".");
  auto& members = d.state().members;
  for (auto& r : recipients) {
    const std::string entryId = (*r)["EntryID"].ToText();
    if (std::any_of(members.begin(), members.end(),
                    [&](PropertyMap& m) { return m["EntryID"].ToText() == entryId; }))
      continue;
    members.push_back({{"Name", (*r)["Name"]}, {"Address", (*r)["Address"]}, {"EntryID", entryId}});
  }
  return {};
}
// Removes the members the recipients name (by address entry once resolved,
// otherwise by name).
Variant CallRemoveMembers(ItemObject& d, Args args) {
  auto& members = d.state().members;
  for (auto& r : RecipientsArg(args)) {
    const bool resolved = (*r)["Resolved"].ToBool() || ResolveRecipient(d.session(), *r);
    const std::string key = resolved ? (*r)["EntryID"].ToText() : (*r)["Name"].ToText();
    members.erase(std::remove_if(members.begin(), members.end(),
                                 [&](PropertyMap& m) {
                                   return resolved ? m["EntryID"].ToText() == key
                                                   : EqualsNoCase(m["Name"].ToText(), key);
                                 }),
                  members.end());
  }
  return {};
}

// ---------------------------------------------------------------------------
// The tables: one commented slot per line.

constexpr int32_t kAny = 0;  // low > high: no range check

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

const ItemProperty kAppointmentProperties[] = {
    {"Start", VarType::Date, false, 0, 1, kAny, nullptr, PutStart},          // keeps Duration
    {"End", VarType::Date, false, 0, 1, kAny, nullptr, PutEnd},              // not before Start
    {"Duration", VarType::Long, false, 0, 0, 0x7FFFFFFF, GetDuration, PutDuration},  // minutes
    {"Location", VarType::Text},                                             // where
    {"AllDayEvent", VarType::Bool, false, 0, 1, kAny, nullptr, PutAllDay},   // midnight to midnight
    {"BusyStatus", VarType::Long, false, 0, 0, 4},                           // free .. elsewhere
    {"ReminderSet", VarType::Bool},                                          // reminder on
    {"ReminderMinutesBeforeStart", VarType::Long, false, 0, 0, 0x7FFFFFFF},  // minutes
    {"IsRecurring", VarType::Bool, true, 0, 1, kAny, GetIsRecurring},        // has a pattern
    {"RecurrenceState", VarType::Long, true, 0, 1, kAny, GetRecurrenceState},  // 0 single, 1 master
    {"RequiredAttendees", VarType::Text, false, 0, 1, kAny, GetRequired, PutRequired},  // type 1
    {"OptionalAttendees", VarType::Text, false, 0, 1, kAny, GetOptional, PutOptional},  // type 2
    {"Recipients", VarType::Object, true, 0, 1, kAny, GetRecipients},        // the attendees
};

const ItemMethodEntry kRecurringMethods[] = {
    {"GetRecurrencePattern", CallGetRecurrencePattern},      // makes the item recurring
    {"ClearRecurrencePattern", CallClearRecurrencePattern},  // makes it single again
};

const ItemProperty kContactProperties[] = {
    {"FirstName", VarType::Text, false, 0, 1, kAny, nullptr, PutFirstName},    // recomposes FullName
    {"MiddleName", VarType::Text, false, 0, 1, kAny, nullptr, PutMiddleName},  // recomposes FullName
    {"LastName", VarType::Text, false, 0, 1, kAny, nullptr, PutLastName},      // recomposes FullName
    {"Suffix", VarType::Text, false, 0, 1, kAny, nullptr, PutSuffix},          // recomposes FullName
    {"FullName", VarType::Text, false, 0, 1, kAny, nullptr, PutFullName},      // split into parts
    {"Subject", VarType::Text, false, 0x0037001E, 1, kAny, GetContactSubject},  // the full name unless set
    {"FileAs", VarType::Text, false, 0, 1, kAny, GetFileAs},                   // "Last, First" unless set
    {"Title", VarType::Text},                                                  // "Dr."
    {"NickName", VarType::Text},                                               // nickname
    {"Email1Address", VarType::Text},                                          // e-mail address
    {"CompanyName", VarType::Text},                                            // company
    {"Department", VarType::Text},                                             // department
    {"JobTitle", VarType::Text},                                               // job title
    {"BusinessTelephoneNumber", VarType::Text},                                // work phone
    {"HomeTelephoneNumber", VarType::Text},                                    // home phone
    {"MobileTelephoneNumber", VarType::Text},                                  // mobile phone
};

const ItemProperty kTaskProperties[] = {
    {"StartDate", VarType::Date, false, 0, 1, kAny, nullptr, PutStartDate},  // day, or 4501-01-01
    {"DueDate", VarType::Date, false, 0, 1, kAny, nullptr, PutDueDate},      // day, or 4501-01-01
    {"Status", VarType::Long, false, 0, 0, 4, nullptr, PutStatus},           // not started .. deferred
    {"PercentComplete", VarType::Long, false, 0, 0, 100, nullptr, PutPercentComplete},  // 0..100
    {"Complete", VarType::Bool, false, 0, 1, kAny, GetComplete, PutComplete},  // status complete
    {"TotalWork", VarType::Long, false, 0, 0, 0x7FFFFFFF},                   // minutes
    {"ActualWork", VarType::Long, false, 0, 0, 0x7FFFFFFF},                  // minutes
    {"Mileage", VarType::Text},                                              // free text
    {"BillingInformation", VarType::Text},                                   // free text
    {"Companies", VarType::Text},                                            // free text
    {"IsRecurring", VarType::Bool, true, 0, 1, kAny, GetIsRecurring},        // has a pattern
    {"Recipients", VarType::Object, true, 0, 1, kAny, GetRecipients},        // assignees
};

const ItemProperty kDistListProperties[] = {
    {"DLName", VarType::Text, false, 0, 1, kAny, GetDLName, PutDLName},  // the subject
    {"MemberCount", VarType::Long, true, 0, 1, kAny, GetMemberCount},    // members
};

const ItemMethodEntry kDistListMethods[] = {
    {"GetMember", CallGetMember},          // 1-based; Name, Address, EntryID
    {"AddMembers", CallAddMembers},        // a Recipients collection
    {"RemoveMembers", CallRemoveMembers},  // a Recipients collection
};

const ItemProperty kMailProperties[] = {
    {"To", VarType::Text, false, 0, 1, kAny, GetRequired, PutRequired},  // type 1 names
    {"CC", VarType::Text, false, 0, 1, kAny, GetOptional, PutOptional},  // type 2 names
    {"Recipients", VarType::Object, true, 0, 1, kAny, GetRecipients},    // all recipients
};

const ItemClassTable kClasses[] = {
    {kClassAppointment, "AppointmentItem", "IPM.Appointment", kAppointmentProperties,
     kRecurringMethods},
    {kClassContact, "ContactItem", "IPM.Contact", kContactProperties, {}},
    {kClassMail, "MailItem", "IPM.Note", kMailProperties, {}},
    {kClassTask, "TaskItem", "IPM.Task", kTaskProperties, kRecurringMethods},
    {kClassDistList, "DistListItem", "IPM.DistList", kDistListProperties, kDistListMethods},
};

const ItemClassTable& ClassTable(int32_t itemClass) {
  for (const ItemClassTable& table : kClasses)
    if (table.itemClass == itemClass) return table;
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

// ---------------------------------------------------------------------------
// Address book

namespace {
constexpr std::string_view kMemberHeader =
    "00000000"                          // flags
    "5156534E43434F4E54414354454E5452"  // provider of contact address entries
    "0300000004000000"                  // entry kind: a contact, e-mail address 1
    "0000000000000000";                 // reserved
constexpr std::string_view kMemberTrailer = "000000";
constexpr std::string_view kOneOffHeader =
    "00000000"
    "5156534E434F4E454F46464144445221";  // provider of one-off addresses
}  // namespace

std::string MemberEntryIdForContact(const std::string& contactEntryId) {
  return std::string(kMemberHeader) + contactEntryId + std::string(kMemberTrailer);
}

std::string OneOffEntryId(const std::string& name, const std::string& address) {
  std::string payload = name + '\0' + address + '\0';
  return std::string(kOneOffHeader) +
         HexUpper(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()) +
         std::string(kMemberTrailer);
}

bool ResolveRecipient(Session& session, PropertyMap& recipient) {
  const std::string name(TrimSpaces(recipient["Name"].ToText()));
  ProfileData& data = session.data;
  int64_t match = 0;
  int matches = 0;
  for (int64_t storeId : data.storeOrder()) {
    std::vector<int64_t> pending{data.store(storeId).root};
    while (!pending.empty()) {
      const FolderRecord& f = data.folder(pending.back());
      pending.pop_back();
      pending.insert(pending.end(), f.children.begin(), f.children.end());
      if (f.defaultItemType != 2 || f.special == kFolderDeletedItems) continue;
      for (int64_t id : f.items) {
        const ItemState& c = data.FindItem(id)->state;
        if (c.itemClass != kClassContact) continue;
        for (const char* key : {"FullName", "FileAs", "Email1Address"}) {
          auto it = c.props.find(key);
          if (it != c.props.end() && !name.empty() && EqualsNoCase(it->second.ToText(), name)) {
            if (match != id) ++matches;
            match = id;
            break;
          }
        }
      }
    }
  }
  if (matches == 1) {
    const ItemState& c = data.FindItem(match)->state;
    auto email = c.props.find("Email1Address");
    recipient["Address"] = email == c.props.end() ? std::string() : email->second.ToText();
    recipient["EntryID"] = MemberEntryIdForContact(data.ItemEntryId(match));
    recipient["Resolved"] = true;
    return true;
  }
  if (matches == 0 && name.find('@') != std::string::npos) {
    recipient["Address"] = name;
    recipient["EntryID"] = OneOffEntryId(name, name);
    recipient["Resolved"] = true;
    return true;
  }
  recipient["Resolved"] = false;
  return false;
}

}  // namespace qv::outlook::detail
