#include "platform/timezone/timezone.h"

#include <random>

#include "tests/common/test_support.h"

namespace qv::timezone {
namespace {

using qv::testing::ScopedEnv;

std::time_t Utc(int year, int month, int day, int hour = 12) {
  return static_cast<std::time_t>(DaysFromCivil(year, month, day) * 86400 + hour * 3600);
}

TEST(TimeZoneTest, CentralEuropeanSummerAndWinter) {
  ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
  TimeZoneInformation info;
  EXPECT_EQ(GetTimeZoneInformationAt(Utc(2013, 7, 1), &info), kTimeZoneIdDaylight);
  EXPECT_EQ(info.bias, -60);
  EXPECT_EQ(info.daylightBias, -60);
  EXPECT_EQ(GetTimeZoneInformationAt(Utc(2013, 1, 15), &info), kTimeZoneIdStandard);
  EXPECT_EQ(info.bias, -60);
  EXPECT_EQ(info.daylightBias, -60);
  EXPECT_TRUE(IsDaylightAt(2013, 7, 1, 12, 0));
  EXPECT_FALSE(IsDaylightAt(2013, 12, 1, 12, 0));
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
  ScopedEnv west("TZ", "EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(GetTimeZoneInformationAt(Utc(2013, 8, 1), &info), kTimeZoneIdDaylight);
  EXPECT_EQ(info.bias, 300);
  EXPECT_EQ(info.daylightBias, -60);
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
