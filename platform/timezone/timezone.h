// The machine's time zone as the add-in needs it (GetTimeZoneInformation's
// Bias, DaylightBias and return value), derived from the C library's zone data
// so that the TZ environment variable drives it, and the civil-date arithmetic
// shared by the item codec's date texts and the emulated Outlook's dates.
//
// Thread safety: the functions may be called from any thread; the testing
// clock is meant to be set before any call that reads it.
#ifndef QV_PLATFORM_TIMEZONE_TIMEZONE_H
#define QV_PLATFORM_TIMEZONE_TIMEZONE_H

#include <cstdint>
#include <ctime>
#include <optional>

namespace qv::timezone {

// GetTimeZoneInformation's return values.
inline constexpr uint32_t kTimeZoneIdUnknown = 0;   // the zone has no daylight saving
inline constexpr uint32_t kTimeZoneIdStandard = 1;  // standard time in force
inline constexpr uint32_t kTimeZoneIdDaylight = 2;  // daylight time in force
inline constexpr uint32_t kTimeZoneIdInvalid = 0xFFFFFFFF;

// Minutes, as Windows gives them: local time = UTC - bias; during daylight
// time local time = UTC - (bias + daylightBias).
struct TimeZoneInformation {
  int32_t bias = 0;          // the standard offset, negated (UTC+1 gives -60)
  int32_t standardBias = 0;  // always 0 here
  int32_t daylightBias = 0;  // daylight minus standard, negated (usually -60); 0 without DST
};

// The current zone at the current time (see SetNowForTesting): fills `info`
// and returns kTimeZoneIdUnknown, kTimeZoneIdStandard or kTimeZoneIdDaylight.
uint32_t GetTimeZoneInformation(TimeZoneInformation* info);
// The same at the instant `when` (seconds since 1970-01-01 UTC).
uint32_t GetTimeZoneInformationAt(std::time_t when, TimeZoneInformation* info);

// Whether daylight saving time is in force at a local date and time (month
// 1-12). A local time that falls into the hour skipped or repeated at a change
// is judged as the C library's mktime judges it.
bool IsDaylightAt(int year, int month, int day, int hour, int minute, int second = 0);

// The current time that GetTimeZoneInformation uses: the system clock, or the
// instant set for tests (std::nullopt restores the system clock).
std::time_t Now();
void SetNowForTesting(std::optional<std::time_t> when);

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar
// (month 1-12, day 1-31; other values carry over arithmetically). Any year an
// int64_t can hold without overflow of the intermediate values (|year| < 2^50).
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day);
// The civil date of a day count since 1970-01-01.
void CivilFromDays(int64_t days, int64_t& year, int& month, int& day);

// Whether `year` is a leap year; the number of days of a month (1-12).
bool IsLeapYear(int64_t year);
int DaysInMonth(int64_t year, int month);

}  // namespace qv::timezone

#endif
