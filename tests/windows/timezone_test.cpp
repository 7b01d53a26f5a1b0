// The time zone on Win32, in the zone the test runs in (Europe/Berlin, set
// for the process: Wine takes the zone from TZ). The changes of 2026 are at
// 01:00 UTC on 29 March and 25 October.
#include <gtest/gtest.h>

#include "platform/timezone/timezone.h"

namespace qv::timezone {
namespace {

int64_t Utc(int year, int month, int day, int hour, int minute, int second) {
  return static_cast<int64_t>(DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second);
}

TEST(Win32TimeZone, TheRulesOfTheInstantsYearDecide) {
  struct Case {
    int64_t when;
    uint32_t expected;
  } cases[] = {
      {Utc(2026, 1, 15, 12, 0, 0), kTimeZoneIdStandard},
      {Utc(2026, 3, 29, 0, 59, 59), kTimeZoneIdStandard},  // the last second of winter time
      {Utc(2026, 3, 29, 1, 0, 0), kTimeZoneIdDaylight},    // the first of summer time
      {Utc(2026, 10, 25, 0, 59, 59), kTimeZoneIdDaylight},
      {Utc(2026, 10, 25, 1, 0, 0), kTimeZoneIdStandard},
      {Utc(1990, 7, 1, 0, 0, 0), kTimeZoneIdDaylight},
      {Utc(2100, 12, 31, 23, 59, 59), kTimeZoneIdStandard},
  };
  for (const Case& c : cases) {
    TimeZoneInformation info;
    EXPECT_EQ(GetTimeZoneInformationAt(c.when, &info), c.expected) << c.when;
    EXPECT_EQ(info.bias, -60) << c.when;
    EXPECT_EQ(info.daylightBias, -60) << c.when;
  }
  SetNowForTesting(Utc(2026, 7, 1, 0, 0, 0));
  EXPECT_EQ(GetTimeZoneInformation(nullptr), kTimeZoneIdDaylight);
  SetNowForTesting(std::nullopt);
}

TEST(Win32TimeZone, WallClockTimesAroundTheChanges) {
  EXPECT_EQ(OffsetAt(Utc(2026, 3, 29, 0, 59, 59)), 3600);
  EXPECT_EQ(OffsetAt(Utc(2026, 3, 29, 1, 0, 0)), 7200);
  EXPECT_EQ(WallClockAt(Utc(2026, 7, 1, 10, 0, 0)), Utc(2026, 7, 1, 12, 0, 0));
  // 02:30 on 29 March is skipped: read with winter time, it names 01:30 UTC.
  EXPECT_EQ(InstantFromWallClock(Utc(2026, 3, 29, 2, 30, 0)), Utc(2026, 3, 29, 1, 30, 0));
  // 02:30 on 25 October comes twice: 00:30 and 01:30 UTC.
  EXPECT_EQ(InstantFromWallClock(Utc(2026, 10, 25, 2, 30, 0), Fold::kEarlier), Utc(2026, 10, 25, 0, 30, 0));
  EXPECT_EQ(InstantFromWallClock(Utc(2026, 10, 25, 2, 30, 0), Fold::kLater), Utc(2026, 10, 25, 1, 30, 0));
  EXPECT_EQ(InstantFromWallClock(Utc(2026, 1, 15, 12, 0, 0)), Utc(2026, 1, 15, 11, 0, 0));
}

}  // namespace
}  // namespace qv::timezone
