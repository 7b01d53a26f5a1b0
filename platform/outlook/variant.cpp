// Variant conversions, dates and errors: the late-binding core.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>
#include <cstdio>

#include "platform/outlook/outlook.h"
#include "platform/outlook/text.h"
#include "platform/timezone/timezone.h"

namespace qv::outlook {

namespace {

std::string StandardDescription(int32_t number) {
  switch (number) {
    case kErrOverflow: return "Overflow";
    case kErrTypeMismatch: return "Type mismatch";
    case kErrObjectNotSet: return "Object variable or With block variable not set";
    case kErrObjectRequired: return "Object required";
    case kErrCannotCreate: return "ActiveX component can't create object";
    case kErrNotSupported: return "Object doesn't support this property or method";
    case kErrArgumentMissing: return "Argument not optional";
    case kErrNotFound: return "The operation failed. An object could not be found.";
    case kErrInvalidValue: return "One or more parameter values are not valid.";
    case kErrFailed: return "The operation failed.";
    case kErrCorruptProfile: return "The profile is damaged.";
    default: return "Automation error";
  }
}

// Civil dates of the automation range (years 100 to 9999).
void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  int64_t y = 0;
  timezone::CivilFromDays(z, y, month, day);
  year = static_cast<int>(y);
}
using timezone::DaysFromCivil;

constexpr int64_t kEpochOffsetDays = 25569;  // 1899-12-30 to 1970-01-01

int DaysInMonth(int year, int month) { return timezone::DaysInMonth(year, month); }

// Reads an unsigned decimal field of 1..maxDigits digits.
bool ReadNumber(std::string_view text, size_t& pos, int maxDigits, int& out) {
  size_t start = pos;
  out = 0;
  while (pos < text.size() && pos - start < static_cast<size_t>(maxDigits) &&
         text[pos] >= '0' && text[pos] <= '9') {
    out = out * 10 + (text[pos] - '0');
    ++pos;
  }
  return pos > start;
}

bool Expect(std::string_view text, size_t& pos, char c) {
  if (pos < text.size() && text[pos] == c) {
    ++pos;
    return true;
  }
  return false;
}

// "YYYY-MM-DD[( |T)HH:MM[:SS]]" or "M/D/YYYY[ H:MM[:SS][ AM|PM]]".
bool ParseDateText(std::string_view text, Date& out) {
  text = TrimSpaces(text);
  DateParts p;
  p.hour = p.minute = p.second = 0;
  size_t pos = 0;
  int first = 0;
  if (!ReadNumber(text, pos, 4, first)) return false;
  if (Expect(text, pos, '-')) {
    p.year = first;
    if (!ReadNumber(text, pos, 2, p.month) || !Expect(text, pos, '-') ||
        !ReadNumber(text, pos, 2, p.day))
      return false;
  } else if (Expect(text, pos, '/')) {
    p.month = first;
    if (!ReadNumber(text, pos, 2, p.day) || !Expect(text, pos, '/') ||
        !ReadNumber(text, pos, 4, p.year))
      return false;
  } else {
    return false;
  }
  bool twelveHour = false;
  if (pos < text.size()) {
    if (!Expect(text, pos, ' ') && !Expect(text, pos, 'T')) return false;
    if (!ReadNumber(text, pos, 2, p.hour) || !Expect(text, pos, ':') ||
        !ReadNumber(text, pos, 2, p.minute))
      return false;
    if (Expect(text, pos, ':') && !ReadNumber(text, pos, 2, p.second)) return false;
    std::string_view rest = TrimSpaces(text.substr(pos));
    if (!rest.empty()) {
      if (EqualsNoCase(rest, "AM") || EqualsNoCase(rest, "PM")) {
        if (p.hour < 1 || p.hour > 12) return false;
        twelveHour = true;
        p.hour = p.hour % 12 + (EqualsNoCase(rest, "PM") ? 12 : 0);
      } else {
        return false;
      }
    }
  }
  (void)twelveHour;
  if (p.year < 100 || p.year > 9999 || p.month < 1 || p.month > 12 || p.day < 1 ||
      p.day > DaysInMonth(p.year, p.month) || p.hour > 23 || p.minute > 59 || p.second > 59)
    return false;
  out = MakeDate(p.year, p.month, p.day, p.hour, p.minute, p.second);
  return true;
}

// A number in text, as late binding reads one ("12", " -3.5 ", "1e3").
bool ParseNumberText(std::string_view text, double& out) {
  text = TrimSpaces(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && ptr == text.data() + text.size() && std::isfinite(out);
}

int32_t RoundToLong(double value) {
  const double rounded = std::nearbyint(value);  // round half to even
  if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) throw Error(kErrOverflow);
  return static_cast<int32_t>(rounded);
}

std::string FormatDouble(double value) {
  char buffer[64];
  auto [ptr, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, ptr) : std::string("0");
}

}  // namespace

Error::Error(int32_t number, std::string description)
    : number_(number), description_(std::move(description)) {}

Error::Error(int32_t number) : Error(number, StandardDescription(number)) {}

// ---------------------------------------------------------------------------

Date MakeDate(int year, int month, int day, int hour, int minute, int second) {
  const int64_t days = DaysFromCivil(year, month, day) + kEpochOffsetDays;
  return Date{static_cast<double>(days) + (hour * 3600.0 + minute * 60.0 + second) / 86400.0};
}

DateParts SplitDate(Date date) {
  // Automation dates run from the year 100 to 9999; others are clamped.
  double serial = std::isnan(date.serial) ? 0 : date.serial;
  serial = std::clamp(serial, kMinDateSerial, kMaxDateSerial);
  const double totalSeconds = std::nearbyint(serial * 86400.0);
  int64_t days = static_cast<int64_t>(std::floor(totalSeconds / 86400.0));
  int64_t secondsOfDay = static_cast<int64_t>(totalSeconds - static_cast<double>(days) * 86400.0);
  DateParts p;
  CivilFromDays(days - kEpochOffsetDays, p.year, p.month, p.day);
  p.hour = static_cast<int>(secondsOfDay / 3600);
  p.minute = static_cast<int>(secondsOfDay / 60 % 60);
  p.second = static_cast<int>(secondsOfDay % 60);
  return p;
}

Date AddSeconds(Date date, double seconds) { return Date{date.serial + seconds / 86400.0}; }

Date LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return MakeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec);
}

std::string FormatDate(Date date) {
  const DateParts p = SplitDate(date);
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day,
                p.hour, p.minute, p.second);
  return buffer;
}

// ---------------------------------------------------------------------------

bool Variant::ToBool() const {
  switch (type()) {
    case VarType::Empty: return false;
    case VarType::Bool: return std::get<bool>(value_);
    case VarType::Long: return std::get<int32_t>(value_) != 0;
    case VarType::Double: return std::get<double>(value_) != 0;
    case VarType::Date: return std::get<Date>(value_).serial != 0;
    case VarType::Text: {
      const std::string_view text = TrimSpaces(std::get<std::string>(value_));
      if (EqualsNoCase(text, "True")) return true;
      if (EqualsNoCase(text, "False")) return false;
      double number = 0;
      if (ParseNumberText(text, number)) return number != 0;
      throw Error(kErrTypeMismatch);
    }
    default: throw Error(kErrTypeMismatch);
  }
}

double Variant::ToDouble() const {
  switch (type()) {
    case VarType::Empty: return 0;
    case VarType::Bool: return std::get<bool>(value_) ? -1 : 0;
    case VarType::Long: return std::get<int32_t>(value_);
    case VarType::Double: return std::get<double>(value_);
    case VarType::Date: return std::get<Date>(value_).serial;
    case VarType::Text: {
      double number = 0;
      if (!ParseNumberText(std::get<std::string>(value_), number)) throw Error(kErrTypeMismatch);
      return number;
    }
    default: throw Error(kErrTypeMismatch);
  }
}

int32_t Variant::ToLong() const {
  if (type() == VarType::Long) return std::get<int32_t>(value_);
  return RoundToLong(ToDouble());
}

Date Variant::ToDate() const {
  switch (type()) {
    case VarType::Date: {
      const Date date = std::get<Date>(value_);
      if (!IsValidDateSerial(date.serial)) throw Error(kErrOverflow);
      return date;
    }
    case VarType::Long:
    case VarType::Double: {
      const double serial = type() == VarType::Long ? std::get<int32_t>(value_) : std::get<double>(value_);
      if (!IsValidDateSerial(serial)) throw Error(kErrOverflow);
      return Date{serial};
    }
    case VarType::Text: {
      Date date;
      if (!ParseDateText(std::get<std::string>(value_), date)) throw Error(kErrTypeMismatch);
      return date;
    }
    default: throw Error(kErrTypeMismatch);
  }
}

std::string Variant::ToText() const {
  switch (type()) {
    case VarType::Empty: return {};
    case VarType::Bool: return std::get<bool>(value_) ? "True" : "False";
    case VarType::Long: return std::to_string(std::get<int32_t>(value_));
    case VarType::Double: return FormatDouble(std::get<double>(value_));
    case VarType::Date: return FormatDate(std::get<Date>(value_));
    case VarType::Text: return std::get<std::string>(value_);
    default: throw Error(kErrTypeMismatch);
  }
}

Bytes Variant::ToBytes() const {
  if (type() == VarType::Bytes) return std::get<Bytes>(value_);
  if (type() == VarType::Empty) return {};
  throw Error(kErrTypeMismatch);
}

const ObjectRef& Variant::ToObject() const {
  if (type() != VarType::Object) throw Error(kErrObjectRequired);
  const ObjectRef& object = std::get<ObjectRef>(value_);
  if (!object) throw Error(kErrObjectNotSet);
  return object;
}

Variant Variant::Invoke(std::string_view name, std::span<const Variant> args) const {
  return ToObject()->Get(name, args);
}

void Variant::put(std::string_view name, const Variant& value) const {
  ToObject()->Put(name, {}, value);
}

void Variant::put(std::string_view name, std::initializer_list<Variant> index,
                  const Variant& value) const {
  ToObject()->Put(name, std::span<const Variant>(index.begin(), index.size()), value);
}

bool operator==(const Variant& a, const Variant& b) { return a.value_ == b.value_; }

void Object::Put(std::string_view, Args, const Variant&) { throw Error(kErrNotSupported); }
uint64_t Object::Advise(std::string_view, ClickHandler) { throw Error(kErrTypeMismatch); }
void Object::Unadvise(uint64_t) {}

}  // namespace qv::outlook
