#include "addin/codec/recurrence.h"

#include <charconv>
#include <pugixml.hpp>

#include "addin/codec/encodings.h"
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

Date ToOutlookDate(const LocalDateTime& d) {
  return qv::outlook::MakeDate(d.year, d.month, d.day, d.hour, d.minute, d.second);
}

// An element's text; nothing when the root has no such child.
std::optional<std::string> ChildText(const pugi::xml_node& root, const char* name) {
  const pugi::xml_node child = root.child(name);
  if (!child) return std::nullopt;
  return std::string(child.text().get());
}

// Runs one assignment; any failure skips it.
template <typename F>
void Guarded(F&& assignment) {
  try {
    assignment();
  } catch (...) {
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

std::optional<int32_t> GetTimeZoneOffset(int32_t timeZoneSource) {
  if (timeZoneSource == 2) return 0;
  if (timeZoneSource != 0 && timeZoneSource != 1) return std::nullopt;
  const uint32_t disableDaylight = DisableAutoDaylightTimeSet();
  qv::timezone::TimeZoneInformation info;
  const uint32_t id = qv::timezone::GetTimeZoneInformation(&info);
  if (timeZoneSource == 1) return -(info.bias + info.daylightBias);
  if (disableDaylight != 0) return -info.bias;
  if (id == qv::timezone::kTimeZoneIdDaylight) return -(info.bias + info.daylightBias);
  return -info.bias;
}

std::optional<int32_t> GetTimeZoneOffset() { return GetTimeZoneOffset(Config().timeZoneSource); }

bool TextToBoolean(std::string_view text) {
  if (auto number = ParseLong(text)) return *number != 0;
  std::string_view word = text;
  while (!word.empty() && word.front() == ' ') word.remove_prefix(1);
  while (!word.empty() && word.back() == ' ') word.remove_suffix(1);
  return EqualsNoCase(word, "True");
}

std::string RecurrenceFields(const Variant& item) {
  const Variant pattern = item.call("GetRecurrencePattern");
  const auto number = [&](const char* name) { return std::to_string(pattern.get(name).ToLong()); };
  const auto date = [&](const char* name) {
    const qv::outlook::DateParts p = qv::outlook::SplitDate(pattern.get(name).ToDate());
    return FormatServerDate({p.year, p.month, p.day, p.hour, p.minute, p.second});
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

void ApplyRecurrence(const pugi::xml_node& root, const Variant& item) {
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
    return ToOutlookDate(ParseServerDate(*text, GetTimeZoneOffset().value_or(0)));
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
    if (occurrences < 1) {
      pattern.put("PatternEndDate", serverDate("PATTERNENDDATE"));
    } else {
      pattern.put("Occurrences", occurrences);
    }
  });
  Guarded([&] { pattern.put("DayOfMonth", number("DAYOFMONTH")); });
  Guarded([&] { pattern.put("DayOfWeekMask", number("DAYOFWEEKMASK")); });
  Guarded([&] { pattern.put("MonthOfYear", number("MONTHOFYEAR")); });
}

}  // namespace qvsync
