// The machine's time zone on Win32: the zone's rules for a year
// (GetTimeZoneInformationForYear) and the conversions between UTC and local
// time under them, so that the answer for any instant follows the rules of
// that instant's year.
#include <windows.h>

#include <atomic>
#include <climits>

#include "platform/timezone/timezone.h"

namespace qv::timezone {
namespace {

constexpr int64_t kUseSystemClock = INT64_MIN;
std::atomic<int64_t> testingNow{kUseSystemClock};

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

bool ToSystemTime(std::time_t when, SYSTEMTIME* out) {
  const int64_t ticks = static_cast<int64_t>(when) * 10000000LL + kUnixEpochAsFileTime;
  if (ticks < 0) return false;
  FILETIME file{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32)};
  return FileTimeToSystemTime(&file, out) != 0;
}

// Minutes a local time is ahead of UTC.
int64_t MinutesBetween(const SYSTEMTIME& local, const SYSTEMTIME& utc) {
  FILETIME a{}, b{};
  SystemTimeToFileTime(&local, &a);
  SystemTimeToFileTime(&utc, &b);
  const int64_t la = (static_cast<int64_t>(a.dwHighDateTime) << 32) | a.dwLowDateTime;
  const int64_t lb = (static_cast<int64_t>(b.dwHighDateTime) << 32) | b.dwLowDateTime;
  return (la - lb) / (60LL * 10000000LL);
}

bool RulesForYear(int year, TIME_ZONE_INFORMATION* rules) {
  if (year < 1601 || year > 30827) return false;
  return GetTimeZoneInformationForYear(static_cast<USHORT>(year), nullptr, rules) != 0;
}

bool HasDaylight(const TIME_ZONE_INFORMATION& rules) {
  return rules.DaylightDate.wMonth != 0 && rules.DaylightBias != rules.StandardBias;
}

// Whether the offset between a local time and UTC is the daylight one.
bool IsDaylightOffset(const TIME_ZONE_INFORMATION& rules, int64_t minutesAhead) {
  return minutesAhead == -(static_cast<int64_t>(rules.Bias) + rules.DaylightBias);
}

}  // namespace

uint32_t GetTimeZoneInformationAt(std::time_t when, TimeZoneInformation* info) {
  SYSTEMTIME utc{};
  TIME_ZONE_INFORMATION rules{};
  if (!ToSystemTime(when, &utc) || !RulesForYear(utc.wYear, &rules)) {
    if (info) *info = TimeZoneInformation{};
    return kTimeZoneIdInvalid;
  }
  TimeZoneInformation result;
  result.bias = rules.Bias;
  result.standardBias = 0;
  result.daylightBias = HasDaylight(rules) ? rules.DaylightBias - rules.StandardBias : 0;
  result.bias += rules.StandardBias;
  if (info) *info = result;
  if (!HasDaylight(rules)) return kTimeZoneIdUnknown;
  SYSTEMTIME local{};
  if (!SystemTimeToTzSpecificLocalTime(&rules, &utc, &local)) return kTimeZoneIdStandard;
  return IsDaylightOffset(rules, MinutesBetween(local, utc)) ? kTimeZoneIdDaylight : kTimeZoneIdStandard;
}

uint32_t GetTimeZoneInformation(TimeZoneInformation* info) { return GetTimeZoneInformationAt(Now(), info); }

bool IsDaylightAt(int year, int month, int day, int hour, int minute, int second) {
  TIME_ZONE_INFORMATION rules{};
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || !RulesForYear(year, &rules) ||
      !HasDaylight(rules)) {
    return false;
  }
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(year);
  local.wMonth = static_cast<WORD>(month);
  local.wDay = static_cast<WORD>(day);
  local.wHour = static_cast<WORD>(hour < 0 || hour > 23 ? 0 : hour);
  local.wMinute = static_cast<WORD>(minute < 0 || minute > 59 ? 0 : minute);
  local.wSecond = static_cast<WORD>(second < 0 || second > 59 ? 0 : second);
  SYSTEMTIME utc{};
  if (!TzSpecificLocalTimeToSystemTime(&rules, &local, &utc)) return false;
  return IsDaylightOffset(rules, MinutesBetween(local, utc));
}

std::time_t Now() {
  const int64_t set = testingNow.load();
  return set == kUseSystemClock ? std::time(nullptr) : static_cast<std::time_t>(set);
}

void SetNowForTesting(std::optional<std::time_t> when) {
  testingNow.store(when ? static_cast<int64_t>(*when) : kUseSystemClock);
}

}  // namespace qv::timezone
