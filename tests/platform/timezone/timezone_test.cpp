#include "platform/timezone/timezone.h"

#include <random>

#include "tests/common/test_support.h"

namespace qv::timezone {
namespace {

using qv::testing::ScopedEnv;

int64_t Utc(int year, int month, int day, int hour = 12, int minute = 0) {
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60;
}
// A wall-clock time is written the same way.
int64_t Wall(int year, int month, int day, int hour, int minute = 0) {
  return Utc(year, month, day, hour, minute);
}

TEST(TimeZoneTest, CentralEuropeanSummerAndWinter) {
  ScopedEnv tz("TZ", "Europe/Berlin");
  TimeZoneInformation info;
  EXPECT_EQ(GetTimeZoneInformationAt(Utc(2013, 7, 1), &info), kTimeZoneIdDaylight);
  EXPECT_EQ(info.bias, -60);
  EXPECT_EQ(info.daylightBias, -60);
  EXPECT_EQ(GetTimeZoneInformationAt(Utc(2013, 1, 15), &info), kTimeZoneIdStandard);
  EXPECT_EQ(info.bias, -60);
  EXPECT_EQ(info.daylightBias, -60);
  EXPECT_EQ(OffsetAt(Utc(2013, 7, 1)), 7200);
  EXPECT_EQ(OffsetAt(Utc(2013, 12, 1)), 3600);
}

// Windows calls the summer setting daylight time even where the zone data
// flags the winter as daylight time with a negative saving.
TEST(TimeZoneTest, NegativeDaylightSavingIsReadAsWindowsReadsIt) {
  struct Case {
    const char* zone;
    int64_t winter, summer;  // instants of each setting
    int32_t bias, daylightBias;
  };
  const Case cases[] = {
      {"Europe/Dublin", Utc(2024, 1, 15), Utc(2024, 7, 1), 0, -60},
      {"Africa/Casablanca", Utc(2024, 3, 20), Utc(2024, 7, 1), 0, -60},  // Ramadan: +00
      {"Australia/Lord_Howe", Utc(2024, 7, 1), Utc(2024, 1, 15), -630, -30},
      {"America/St_Johns", Utc(2024, 1, 15), Utc(2024, 7, 1), 210, -60},
  };
  for (const Case& c : cases) {
    ScopedEnv tz("TZ", c.zone);
    TimeZoneInformation info;
    EXPECT_EQ(GetTimeZoneInformationAt(c.winter, &info), kTimeZoneIdStandard) << c.zone;
    EXPECT_EQ(info.bias, c.bias) << c.zone;
    EXPECT_EQ(info.daylightBias, c.daylightBias) << c.zone;
    EXPECT_EQ(GetTimeZoneInformationAt(c.summer, &info), kTimeZoneIdDaylight) << c.zone;
    EXPECT_EQ(OffsetAt(c.summer) / 60, -(info.bias + info.daylightBias)) << c.zone;
  }
}

TEST(TimeZoneTest, ZonesWithoutDaylightSavingAndTheTestingClock) {
  ScopedEnv tz("TZ", "AEST-10");
  TimeZoneInformation info;
  SetNowForTesting(Utc(2013, 7, 1));
  EXPECT_EQ(GetTimeZoneInformation(&info), kTimeZoneIdUnknown);
  EXPECT_EQ(info.bias, -600);
  EXPECT_EQ(info.daylightBias, 0);
  EXPECT_EQ(Now(), Utc(2013, 7, 1));
  SetNowForTesting(std::nullopt);
  ScopedEnv kathmandu("TZ", "Asia/Kathmandu");
  EXPECT_EQ(GetTimeZoneInformationAt(Utc(2013, 8, 1), &info), kTimeZoneIdUnknown);
  EXPECT_EQ(info.bias, -345);
  // Local mean time before 1920 is no whole number of minutes: to the nearest.
  EXPECT_EQ(OffsetAt(Utc(1900, 1, 1)), 5 * 3600 + 41 * 60 + 16);
  GetTimeZoneInformationAt(Utc(1900, 1, 1), &info);
  EXPECT_EQ(info.bias, -341);
}

TEST(WallClockTest, TheChangesOfTheClockHaveFixedReadings) {
  ScopedEnv tz("TZ", "Europe/Berlin");
  // An ordinary time, either fold.
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 1, 15, 10)), Utc(2024, 1, 15, 9));
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 7, 15, 10), Fold::kLater), Utc(2024, 7, 15, 8));
  // 2024-10-27: 03:00 CEST becomes 02:00 CET; 02:30 happens twice.
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 10, 27, 2, 30), Fold::kEarlier), Utc(2024, 10, 27, 0, 30));
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 10, 27, 2, 30), Fold::kLater), Utc(2024, 10, 27, 1, 30));
  // The boundaries: 02:00 and 02:59 are repeated, 03:00 is not.
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 10, 27, 2, 0), Fold::kLater), Utc(2024, 10, 27, 1, 0));
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 10, 27, 2, 0), Fold::kEarlier), Utc(2024, 10, 27, 0, 0));
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 10, 27, 3, 0), Fold::kEarlier), Utc(2024, 10, 27, 2, 0));
  // 2024-03-31: 02:00 CET becomes 03:00 CEST; 02:30 is read as 03:30.
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 3, 31, 2, 30)), Utc(2024, 3, 31, 1, 30));
  EXPECT_EQ(WallClockAt(Utc(2024, 3, 31, 1, 30)), Wall(2024, 3, 31, 3, 30));
  EXPECT_EQ(InstantFromWallClock(Wall(2024, 3, 31, 3, 0)), Utc(2024, 3, 31, 1, 0));
  // Far from any calendar: no overflow, the clock reads as UTC.
  for (const int64_t far : {INT64_MAX, INT64_MIN, int64_t{1} << 55}) {
    EXPECT_EQ(InstantFromWallClock(far, Fold::kLater), far);
    TimeZoneInformation info;
    GetTimeZoneInformationAt(far, &info);
    EXPECT_EQ(WallClockAt(far) - far, OffsetAt(far));
  }
}

// An edit made in the repeated hour, after the clock went back, is newer than
// a synchronisation made in the first pass of that hour: compared as
// instants (its modification time read as the later fold), it counts as a
// change; compared as wall-clock times it would not.
TEST(WallClockTest, AnEditInTheRepeatedHourIsNewerThanASyncBeforeIt) {
  ScopedEnv tz("TZ", "Europe/Berlin");
  const int64_t lastSync = Utc(2024, 10, 27, 0, 50);        // 02:50 CEST
  const int64_t editShownAs = Wall(2024, 10, 27, 2, 10);  // 02:10 CET, an hour later
  EXPECT_LT(editShownAs, WallClockAt(lastSync));            // older by the clock
  EXPECT_GT(InstantFromWallClock(editShownAs, Fold::kLater), lastSync);
  // Read as the later fold, an edit of the first pass is never taken as older
  // than it was.
  const int64_t firstPassEdit = Utc(2024, 10, 27, 0, 40);
  EXPECT_GE(InstantFromWallClock(WallClockAt(firstPassEdit), Fold::kLater), firstPassEdit);
}

TEST(WallClockTest, EveryInstantIsAReadingOfWhatTheClockShows) {
  std::mt19937 random(7);
  for (const char* zone : {"Europe/Berlin", "America/St_Johns", "Australia/Lord_Howe",
                           "Asia/Kathmandu", "Europe/Dublin", "Australia/Sydney", "UTC"}) {
    ScopedEnv tz("TZ", zone);
    for (int i = 0; i < 2000; ++i) {
      const int64_t instant = Utc(1900, 1, 1) + static_cast<int64_t>(random() % (201u * 366)) * 86400 +
                              static_cast<int64_t>(random() % 86400);
      const int64_t wall = WallClockAt(instant);
      const int64_t earlier = InstantFromWallClock(wall, Fold::kEarlier);
      const int64_t later = InstantFromWallClock(wall, Fold::kLater);
      ASSERT_TRUE(instant == earlier || instant == later) << zone << " " << instant;
      ASSERT_EQ(WallClockAt(earlier), wall) << zone << " " << instant;
      ASSERT_EQ(WallClockAt(later), wall) << zone << " " << instant;
    }
  }
}

TEST(CivilDateTest, AgreesWithTheCLibraryOverAWideRange) {
  std::mt19937 random(3);
  for (int i = 0; i < 20000; ++i) {
    const int64_t days = static_cast<int64_t>(random() % 4000000) - 1000000;
    int64_t y;
    int m, d;
    CivilFromDays(days, y, m, d);
    ASSERT_EQ(DaysFromCivil(y, m, d), days);
    ASSERT_GE(d, 1);
    ASSERT_LE(d, DaysInMonth(y, m));
    std::time_t t = static_cast<std::time_t>(days) * 86400;
    std::tm utc{};
    gmtime_r(&t, &utc);
    ASSERT_EQ(utc.tm_year + 1900, y);
    ASSERT_EQ(utc.tm_mon + 1, m);
    ASSERT_EQ(utc.tm_mday, d);
  }
  EXPECT_EQ(DaysFromCivil(2013, 13, 1), DaysFromCivil(2014, 1, 1));  // months carry into years
  EXPECT_EQ(DaysFromCivil(2013, 0, 1), DaysFromCivil(2012, 12, 1));
  EXPECT_TRUE(IsLeapYear(2000));
  EXPECT_FALSE(IsLeapYear(1900));
}

}  // namespace
}  // namespace qv::timezone
