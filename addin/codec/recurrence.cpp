#include "addin/codec/recurrence.h"

#include <charconv>
#include <cmath>
#include <pugixml.hpp>

#include "addin/codec/encodings.h"
#include "addin/codec/item_xml.h"
#include "addin/config/sync_config.h"
#include "platform/registry/registry.h"
#include "platform/timezone/timezone.h"

namespace qvsync {

using qv::outlook::Date;
using qv::outlook::Variant;

namespace {

// The text read as a 32-bit integer (surrounding spaces allowed, as Val and
// CLng allow them); nothing when it is not one.
std::optional<int32_t> ParseLong(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  int32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Minutes of an offset given in seconds, to the nearest minute.
int32_t Minutes(int32_t seconds) { return static_cast<int32_t>(std::lround(seconds / 60.0)); }

// Minutes since 1970-01-01 00:00 of a date and time read as UTC (seconds dropped).
int64_t MinutesOf(const LocalDateTime& d) {
  return (qv::timezone::DaysFromCivil(d.year, d.month, d.day) * 24 + d.hour) * 60 + d.minute;
}

LocalDateTime FromMinutes(int64_t minutes) {
  const int64_t days = minutes >= 0 ? minutes / 1440 : -((1439 - minutes) / 1440);
  const int64_t minuteOfDay = minutes - days * 1440;
  int64_t year;
  LocalDateTime d;
  qv::timezone::CivilFromDays(days, year, d.month, d.day);
  d.year = static_cast<int>(year);
  d.hour = static_cast<int>(minuteOfDay / 60);
  d.minute = static_cast<int>(minuteOfDay % 60);
  return d;
}

// The minutes east of UTC in force at the wall-clock time `local` (its first
// occurrence in the hour repeated in autumn).
int32_t ZoneOffsetAtLocal(int64_t localMinutes) {
  const int64_t instant = qv::timezone::InstantFromWallClock(localMinutes * 60);
  return Minutes(qv::timezone::OffsetAt(instant));
}

// Runs one assignment; any failure skips it. True when it ran through.
template <typename F>
bool Guarded(F&& assignment) {
  try {
    assignment();
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

uint32_t DisableAutoDaylightTimeSet() {
  try {
    qv::registry::Key key;
    if (qv::registry::Key::Open(qv::registry::Hive::LocalMachine,
                                "System\\CurrentControlSet\\control\\TimeZoneInformation",
                                qv::registry::Access::Read, &key) != qv::registry::Status::Ok)
      return 0;
    uint32_t value = 0;
    if (key.GetDword("DisableAutoDaylightTimeSet", &value) != qv::registry::Status::Ok) return 0;
    return value;
  } catch (...) {
    return 0;
  }
}

TimeZoneRule TimeZoneRule::ForSource(int32_t timeZoneSource) {
  if (timeZoneSource == 2) return TimeZoneRule(Kind::kFixed, 0);
  if (timeZoneSource != 0 && timeZoneSource != 1) return TimeZoneRule(Kind::kNone, 0);
  if (timeZoneSource == 0 && DisableAutoDaylightTimeSet() == 0) return TimeZoneRule(Kind::kZone, 0);
  qv::timezone::TimeZoneInformation info;
  qv::timezone::GetTimeZoneInformation(&info);
  if (timeZoneSource == 1) return TimeZoneRule(Kind::kFixed, -(info.bias + info.daylightBias));
  return TimeZoneRule(Kind::kFixed, -info.bias);
}

TimeZoneRule TimeZoneRule::Current() { return ForSource(Config().timeZoneSource); }

std::optional<int32_t> TimeZoneRule::ItemOffset(const LocalDateTime& start) const {
  switch (kind_) {
    case Kind::kZone: return ZoneOffsetAtLocal(MinutesOf(start));
    case Kind::kFixed: return fixed_;
    case Kind::kNone: return std::nullopt;
  }
  return std::nullopt;
}

std::optional<int32_t> TimeZoneRule::OffsetNow() const {
  if (kind_ == Kind::kZone) return Minutes(qv::timezone::OffsetAt(qv::timezone::Now()));
  return ItemOffset({});
}

std::string TimeZoneRule::ServerDate(const LocalDateTime& local, int32_t itemOffset) const {
  if (kind_ != Kind::kZone) return FormatServerDate(local);  // the offset is the same for every date
  const int64_t minutes = MinutesOf(local);
  return FormatServerDate(FromMinutes(minutes - ZoneOffsetAtLocal(minutes) + itemOffset));
}

LocalDateTime TimeZoneRule::LocalDate(std::string_view serverText) const {
  if (kind_ != Kind::kZone) return ParseServerDate(serverText, kind_ == Kind::kFixed ? fixed_ : 0);
  const std::optional<LocalDateTime> utc = TryParseServerDate(serverText, 0);
  if (!utc) return NowLocal();
  const int32_t offset = Minutes(qv::timezone::OffsetAt(MinutesOf(*utc) * 60));
  return TryParseServerDate(serverText, offset).value_or(NowLocal());
}

std::optional<int32_t> GetTimeZoneOffset(int32_t timeZoneSource) {
  return TimeZoneRule::ForSource(timeZoneSource).OffsetNow();
}

std::optional<int32_t> GetTimeZoneOffset() { return GetTimeZoneOffset(Config().timeZoneSource); }

int64_t InstantOfOutlookDate(Date date, qv::timezone::Fold fold) {
  const LocalDateTime d = ToLocalDateTime(date);
  const int64_t wallClock = MinutesOf(d) * 60 + d.second;
  return qv::timezone::InstantFromWallClock(wallClock, fold);
}

LocalDateTime ToLocalDateTime(Date date) {
  const qv::outlook::DateParts p = qv::outlook::SplitDate(date);
  return {p.year, p.month, p.day, p.hour, p.minute, p.second};
}

Date ToOutlookDate(const LocalDateTime& d) {
  return qv::outlook::MakeDate(d.year, d.month, d.day, d.hour, d.minute, d.second);
}

bool TextToBoolean(std::string_view text) {
  if (auto number = ParseLong(text)) return *number != 0;
  std::string_view word = text;
  while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
  while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
  return EqualsNoCase(word, "True");
}

std::string RecurrenceFields(const Variant& item, const TimeZoneRule& rule, int32_t itemOffset) {
  const Variant pattern = item.call("GetRecurrencePattern");
  const auto number = [&](const char* name) { return std::to_string(pattern.get(name).ToLong()); };
  const auto date = [&](const char* name) {
    return rule.ServerDate(ToLocalDateTime(pattern.get(name).ToDate()), itemOffset);
  };
  std::string out;
  out += "&RecurrenceInterval=" + number("Interval");
  out += "&RecurrenceType=" + number("RecurrenceType");
  out += "&PatternStartDate=" + date("PatternStartDate");
  out += "&Occurrences=" + number("Occurrences");
  out += "&RecurrenceInstance=" + number("Instance");
  out += std::string("&NoEndDate=") + (pattern.get("NoEndDate").ToBool() ? "True" : "False");
  out += "&DayOfMonth=" + number("DayOfMonth");
  out += "&DayOfWeekMask=" + number("DayOfWeekMask");
  out += "&MonthOfYear=" + number("MonthOfYear");
  out += "&PatternEndDate=" + date("PatternEndDate");
  return out;
}

void ApplyRecurrence(const pugi::xml_node& root, const Variant& item, const TimeZoneRule& rule) {
  // "As a number": a text that is not a number skips the assignment.
  const auto number = [&](const char* name) -> int32_t {
    auto text = ChildText(root, name);
    if (!text) throw qv::outlook::Error(qv::outlook::kErrNotFound);
    auto value = ParseLong(*text);
    if (!value) throw qv::outlook::Error(qv::outlook::kErrTypeMismatch);
    return *value;
  };
  const auto serverDate = [&](const char* name) {
    auto text = ChildText(root, name);
    if (!text) throw qv::outlook::Error(qv::outlook::kErrNotFound);
    return ToOutlookDate(rule.LocalDate(*text));
  };

  Guarded([&] { item.put("RecurrenceState", number("RECURRENCESTATE")); });
  bool recurring = false;
  Guarded([&] {
    auto text = ChildText(root, "ISRECURRING");
    recurring = text && TextToBoolean(*text);
  });
  if (!recurring) return;
  Variant pattern;
  try {
    pattern = item.call("GetRecurrencePattern");
  } catch (...) {
    return;
  }
  Guarded([&] { pattern.put("RecurrenceType", number("RECURRENCETYPE")); });
  Guarded([&] { pattern.put("Interval", number("RECURRENCEINTERVAL")); });
  Guarded([&] { pattern.put("Instance", number("RECURRENCEINSTANCE")); });
  Guarded([&] { pattern.put("PatternStartDate", serverDate("PATTERNSTARTDATE")); });
  // The days the series falls on before its end: an end date moves to the
  // last occurrence on or before it, which depends on them.
  Guarded([&] { pattern.put("DayOfMonth", number("DAYOFMONTH")); });
  Guarded([&] { pattern.put("DayOfWeekMask", number("DAYOFWEEKMASK")); });
  Guarded([&] { pattern.put("MonthOfYear", number("MONTHOFYEAR")); });
  Guarded([&] { pattern.put("NoEndDate", true); });
  Guarded([&] {
    auto text = ChildText(root, "NOENDDATE");
    if (!text) throw qv::outlook::Error(qv::outlook::kErrNotFound);
    pattern.put("NoEndDate", TextToBoolean(*text));
  });
  int32_t occurrences = 0;
  Guarded([&] { occurrences = number("OCCURRENCES"); });
  Guarded([&] {
    if (pattern.get("NoEndDate").ToBool()) return;
    // A count the pattern refuses (more than Outlook counts to) leaves the
    // end date to say where the series ends.
    if (occurrences >= 1 && Guarded([&] { pattern.put("Occurrences", occurrences); })) return;
    pattern.put("PatternEndDate", serverDate("PATTERNENDDATE"));
  });
}

}  // namespace qvsync
