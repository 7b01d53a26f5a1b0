// The machine's time zone on Win32: the zone's rules for a year
// (GetTimeZoneInformationForYear) and the conversions between UTC and local
// time under them, so that the answer for any instant follows the rules of
// that instant's year.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <ctime>

#include "platform/timezone/timezone.h"

namespace qv::timezone {
namespace {

constexpr int64_t kUseSystemClock = INT64_MIN;
std::atomic<int64_t> testingNow{kUseSystemClock};

// 100-nanosecond intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000LL;

bool ToSystemTime(int64_t when, SYSTEMTIME* out) {
  if (when < -11644473600LL || when > 910692730085LL) return false;  // FILETIME's range
  const int64_t ticks = when * 10000000LL + kUnixEpochAsFileTime;
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

// The rules of the instant's year and the offset in force (seconds east of
// UTC); false when Windows has no rules for it.
bool OffsetOf(int64_t instant, TIME_ZONE_INFORMATION* rules, int32_t* offset) {
  SYSTEMTIME utc{}, local{};
  if (!ToSystemTime(instant, &utc) || !RulesForYear(utc.wYear, rules)) return false;
  if (!SystemTimeToTzSpecificLocalTime(rules, &utc, &local)) return false;
  *offset = static_cast<int32_t>(MinutesBetween(local, utc) * 60);
  return true;
}

}  // namespace

int32_t OffsetAt(int64_t instant) {
  TIME_ZONE_INFORMATION rules{};
  int32_t offset = 0;
  return OffsetOf(instant, &rules, &offset) ? offset : 0;
}

int64_t WallClockAt(int64_t instant) { return instant + OffsetAt(instant); }

int64_t InstantFromWallClock(int64_t wallClock, Fold fold) {
  // The instants the wall clock may name: one per offset in force around it.
  const int32_t before = OffsetAt(wallClock - 2 * 86400);
  const int32_t after = OffsetAt(wallClock + 2 * 86400);
  const int64_t first = wallClock - before, second = wallClock - after;
  const bool firstNames = WallClockAt(first) == wallClock;
  const bool secondNames = WallClockAt(second) == wallClock;
  if (firstNames && secondNames && first != second) {
    return fold == Fold::kEarlier ? std::min(first, second) : std::max(first, second);
  }
  if (firstNames) return first;
  if (secondNames) return second;
  // A time the clock skips: read with the offset in force before the change.
  return first;
}

uint32_t GetTimeZoneInformationAt(int64_t instant, TimeZoneInformation* info) {
  SYSTEMTIME utc{};
  TIME_ZONE_INFORMATION rules{};
  if (!ToSystemTime(instant, &utc) || !RulesForYear(utc.wYear, &rules)) {
    if (info) *info = TimeZoneInformation{};
    return kTimeZoneIdInvalid;
  }
  TimeZoneInformation result;
  result.bias = rules.Bias + rules.StandardBias;
  result.daylightBias = HasDaylight(rules) ? rules.DaylightBias - rules.StandardBias : 0;
  if (info) *info = result;
  if (!HasDaylight(rules)) return kTimeZoneIdUnknown;
  SYSTEMTIME local{};
  if (!SystemTimeToTzSpecificLocalTime(&rules, &utc, &local)) return kTimeZoneIdStandard;
  return IsDaylightOffset(rules, MinutesBetween(local, utc)) ? kTimeZoneIdDaylight : kTimeZoneIdStandard;
}

uint32_t GetTimeZoneInformation(TimeZoneInformation* info) { return GetTimeZoneInformationAt(Now(), info); }

int64_t Now() {
  const int64_t set = testingNow.load();
  return set == kUseSystemClock ? static_cast<int64_t>(std::time(nullptr)) : set;
}

void SetNowForTesting(std::optional<int64_t> instant) { testingNow.store(instant ? *instant : kUseSystemClock); }

}  // namespace qv::timezone
