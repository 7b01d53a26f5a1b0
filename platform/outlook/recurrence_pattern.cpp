// Recurrence patterns: which property each recurrence type accepts, the
// occurrences a pattern makes, and how its end follows from a count or a date.
#include <algorithm>
#include <cmath>

#include "platform/outlook/item_object.h"
#include "platform/timezone/timezone.h"

namespace qv::outlook::detail {
namespace {

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

const ItemMethodEntry kRecurringMethods[] = {
    {"GetRecurrencePattern", CallGetRecurrencePattern},      // makes the item recurring
    {"ClearRecurrencePattern", CallClearRecurrencePattern},  // makes it single again
};

}  // namespace

Variant GetIsRecurring(ItemObject& i) { return i.state().pattern != nullptr; }
Variant GetRecurrenceState(ItemObject& i) { return i.state().pattern ? 1 : 0; }
std::span<const ItemMethodEntry> RecurringMethods() { return kRecurringMethods; }

}  // namespace qv::outlook::detail
