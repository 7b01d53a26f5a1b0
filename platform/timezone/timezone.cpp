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

}  // namespace qv::timezone
