// The zone from the C library's local time (TZ, tzdata).
#include "platform/timezone/timezone.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace qv::timezone {
namespace {

// Seconds the testing clock is set to; kUseSystemClock for the system clock.
constexpr int64_t kUseSystemClock = INT64_MIN;
std::atomic<int64_t> testingNow{kUseSystemClock};

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;
// No zone's offset, local mean time included, reaches this far from UTC.
constexpr int64_t kWidestOffset = 17 * kHour;
// Some 35 million years: past it, no year's settings are worked out.
constexpr int64_t kFarInstant = int64_t{1} << 50;

struct Offset {
  int32_t seconds = 0;
  bool daylight = false;  // as the zone data flags it (negative in Dublin's winter)
};

// The offset at an instant; tzset() must have run. Instants the C library
// cannot convert count as UTC.
Offset OffsetOf(int64_t instant) {
  const std::time_t t = static_cast<std::time_t>(instant);
  std::tm local{};
  if (static_cast<int64_t>(t) != instant || !localtime_r(&t, &local)) return {};
  return {static_cast<int32_t>(local.tm_gmtoff), local.tm_isdst > 0};
}

// Minutes of an offset in seconds, to the nearest minute.
int32_t Minutes(int32_t seconds) { return static_cast<int32_t>(std::lround(seconds / 60.0)); }

// The year's clock settings: the smallest and largest offsets in force at
// noon UTC of each day of the calendar year, and whether the zone data
// flags any of them as daylight time.
struct YearSettings {
  int32_t lowest = 0;
  int32_t highest = 0;
  bool flagged = false;
};

YearSettings SettingsOfYear(int64_t year) {
  // One zone and year at a time is all a caller asks about in practice.
  thread_local std::string cachedZone;
  thread_local int64_t cachedYear = INT64_MIN;
  thread_local YearSettings cached;
  const char* tz = std::getenv("TZ");
  const std::string zone = tz ? std::string("=") + tz : std::string();
  if (zone == cachedZone && year == cachedYear) return cached;

  YearSettings settings;
  const int64_t first = DaysFromCivil(year, 1, 1);
  const int days = IsLeapYear(year) ? 366 : 365;
  for (int d = 0; d < days; ++d) {
    const Offset o = OffsetOf((first + d) * kDay + 12 * kHour);
    if (d == 0 || o.seconds < settings.lowest) settings.lowest = o.seconds;
    if (d == 0 || o.seconds > settings.highest) settings.highest = o.seconds;
    settings.flagged = settings.flagged || o.daylight;
  }
  cachedZone = zone;
  cachedYear = year;
  cached = settings;
  return settings;
}

}  // namespace

int32_t OffsetAt(int64_t instant) {
  tzset();
  return OffsetOf(instant).seconds;
}

int64_t WallClockAt(int64_t instant) { return instant + OffsetAt(instant); }

int64_t InstantFromWallClock(int64_t wallClock, Fold fold) {
  // Far beyond any calendar the zone data knows, the clock reads as UTC.
  if (wallClock > kFarInstant || wallClock < -kFarInstant) return wallClock;
  tzset();
  // Every offset in force within the widest offset either side is a
  // candidate; one that holds at the instant it gives is a reading of the
  // time. Hourly samples find every clock setting that lasts an hour or more.
  std::vector<int32_t> candidates;
  for (int64_t at = wallClock - kWidestOffset; at <= wallClock + kWidestOffset; at += kHour) {
    const int32_t o = OffsetOf(at).seconds;
    if (std::find(candidates.begin(), candidates.end(), o) == candidates.end()) candidates.push_back(o);
  }
  std::optional<int64_t> earliest, latest;
  std::optional<int32_t> beforeGap;
  for (const int32_t o : candidates) {
    const int64_t instant = wallClock - o;
    const int32_t actual = OffsetOf(instant).seconds;
    if (actual == o) {
      earliest = std::min(earliest.value_or(instant), instant);
      latest = std::max(latest.value_or(instant), instant);
    } else if (actual > o) {
      // Read with `o`, the time lies past a change to a larger offset: `o`
      // is the offset before a gap that the time may fall into.
      beforeGap = std::max(beforeGap.value_or(o), o);
    }
  }
  if (earliest) return fold == Fold::kEarlier ? *earliest : *latest;
  if (beforeGap) return wallClock - *beforeGap;
  return wallClock - OffsetOf(wallClock).seconds;
}

uint32_t GetTimeZoneInformationAt(int64_t instant, TimeZoneInformation* info) {
  tzset();
  instant = std::clamp(instant, -kFarInstant, kFarInstant);
  const Offset now = OffsetOf(instant);
  const int64_t wallClock = instant + now.seconds;
  int64_t year;
  int month, day;
  CivilFromDays(wallClock / kDay - (wallClock % kDay < 0 ? 1 : 0), year, month, day);
  const YearSettings settings = SettingsOfYear(year);
  TimeZoneInformation result;
  uint32_t id = kTimeZoneIdUnknown;
  if (settings.flagged && settings.lowest != settings.highest) {
    // Standard time is the smaller offset and daylight time the larger, as
    // Windows has them, even where the zone data flags the winter as
    // daylight time with a negative saving.
    result.bias = -Minutes(settings.lowest);
    result.daylightBias = -(Minutes(settings.highest) - Minutes(settings.lowest));
    id = now.seconds == settings.highest ? kTimeZoneIdDaylight : kTimeZoneIdStandard;
  } else {
    result.bias = -Minutes(now.seconds);
  }
  if (info) *info = result;
  return id;
}

uint32_t GetTimeZoneInformation(TimeZoneInformation* info) {
  return GetTimeZoneInformationAt(Now(), info);
}

int64_t Now() {
  const int64_t set = testingNow.load();
  return set == kUseSystemClock ? static_cast<int64_t>(std::time(nullptr)) : set;
}

void SetNowForTesting(std::optional<int64_t> instant) {
  testingNow.store(instant ? *instant : kUseSystemClock);
}

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  // Months outside 1-12 carry over into the year first.
  y += (m - 1 >= 0 ? (m - 1) / 12 : (m - 12) / 12);
  m = ((m - 1) % 12 + 12) % 12 + 1;
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

}  // namespace qv::timezone
