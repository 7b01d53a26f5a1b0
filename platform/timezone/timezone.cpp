#include "platform/timezone/timezone.h"

#include <atomic>

namespace qv::timezone {
namespace {

// Seconds the testing clock is set to; kUseSystemClock for the system clock.
constexpr int64_t kUseSystemClock = INT64_MIN;
std::atomic<int64_t> testingNow{kUseSystemClock};

// The offset east of UTC, in seconds, and the daylight flag at an instant.
struct Offset {
  long seconds = 0;
  bool daylight = false;
};

Offset OffsetAt(std::time_t when) {
  std::tm local{};
  if (!localtime_r(&when, &local)) return {};
  return {local.tm_gmtoff, local.tm_isdst > 0};
}

// The zone's standard and daylight offsets in the year of `when`, sampled at
// the first day of every month (a zone changes its rules rarely within a year).
void ZoneOffsets(std::time_t when, long& standard, std::optional<long>& daylight) {
  std::tm local{};
  const Offset now = OffsetAt(when);
  standard = now.seconds;
  daylight.reset();
  if (now.daylight) daylight = now.seconds;
  bool haveStandard = !now.daylight;
  if (!localtime_r(&when, &local)) return;
  for (int month = 0; month < 12; ++month) {
    std::tm probe{};
    probe.tm_year = local.tm_year;
    probe.tm_mon = month;
    probe.tm_mday = 1;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    const std::time_t t = timegm(&probe) - now.seconds;
    const Offset o = OffsetAt(t);
    if (o.daylight && !daylight) daylight = o.seconds;
    if (!o.daylight && !haveStandard) {
      standard = o.seconds;
      haveStandard = true;
    }
  }
}

}  // namespace

uint32_t GetTimeZoneInformationAt(std::time_t when, TimeZoneInformation* info) {
  tzset();
  long standard = 0;
  std::optional<long> daylight;
  ZoneOffsets(when, standard, daylight);
  TimeZoneInformation result;
  result.bias = static_cast<int32_t>(-standard / 60);
  result.daylightBias = daylight ? static_cast<int32_t>(-(*daylight - standard) / 60) : 0;
  if (info) *info = result;
  if (!daylight) return kTimeZoneIdUnknown;
  return OffsetAt(when).daylight ? kTimeZoneIdDaylight : kTimeZoneIdStandard;
}

uint32_t GetTimeZoneInformation(TimeZoneInformation* info) {
  return GetTimeZoneInformationAt(Now(), info);
}

bool IsDaylightAt(int year, int month, int day, int hour, int minute, int second) {
  tzset();
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  if (mktime(&local) == static_cast<std::time_t>(-1) && local.tm_isdst < 0) return false;
  return local.tm_isdst > 0;
}

std::time_t Now() {
  const int64_t set = testingNow.load();
  return set == kUseSystemClock ? std::time(nullptr) : static_cast<std::time_t>(set);
}

void SetNowForTesting(std::optional<std::time_t> when) {
  testingNow.store(when ? static_cast<int64_t>(*when) : kUseSystemClock);
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
