// The user's time zone as the add-in needs it, and the civil-date arithmetic
// shared by the item codec's date texts and the emulated Outlook's dates.
//
// Two views of the zone:
// - by instant: the offset from UTC in force at an instant, and the instant
//   that a wall-clock time names (the hour repeated when the clock goes back
//   and the hour skipped when it goes forward have fixed readings);
// - as Windows' GetTimeZoneInformation gives it: one standard and one daylight
//   bias for the year, and which of the two is in force.
//
// Instants are seconds since 1970-01-01 00:00 UTC. A wall-clock time is given
// the same way: the seconds the clock shows since 1970-01-01 00:00, read as if
// they were UTC (so 2013-07-01 12:00 on the clock is DaysFromCivil(2013, 7, 1)
// * 86400 + 12 * 3600 whatever the zone).
//
// The Linux implementation reads the C library's zone data (TZ, tzdata), so
// the TZ environment variable drives it; a Windows one reads the system's zone.
//
// Thread safety: the functions may be called from any thread; the testing
// clock is meant to be set before any call that reads it.
#ifndef QV_PLATFORM_TIMEZONE_TIMEZONE_H
#define QV_PLATFORM_TIMEZONE_TIMEZONE_H

#include <cstdint>
#include <optional>

namespace qv::timezone {

// --- By instant ---

// Seconds east of UTC in force at `instant` (UTC+1 gives 3600). Some zones'
// early history has offsets that are no whole number of minutes (local mean
// time); they are given to the second.
int32_t OffsetAt(int64_t instant);

// Which instant a wall-clock time of the repeated hour names.
enum class Fold {
  kEarlier,  // its first occurrence, before the clock went back
  kLater,    // its second occurrence, after the clock went back
};

// The instant at which the clock shows `wallClock`. In the hour repeated when
// the clock goes back, `fold` chooses the occurrence. A time the clock skips
// when it goes forward is read with the offset in force before the change, so
// that it names the instant the clock shows as that time plus the gap
// (02:30 on the morning the clock goes from 02:00 to 03:00 names the instant
// the clock shows as 03:30).
int64_t InstantFromWallClock(int64_t wallClock, Fold fold = Fold::kEarlier);

// What the clock shows at `instant`: instant + OffsetAt(instant).
int64_t WallClockAt(int64_t instant);

// --- As GetTimeZoneInformation gives it ---

// GetTimeZoneInformation's return values.
inline constexpr uint32_t kTimeZoneIdUnknown = 0;   // the zone has no daylight saving
inline constexpr uint32_t kTimeZoneIdStandard = 1;  // standard time in force
inline constexpr uint32_t kTimeZoneIdDaylight = 2;  // daylight time in force
inline constexpr uint32_t kTimeZoneIdInvalid = 0xFFFFFFFF;

// Minutes, as Windows gives them: local time = UTC - bias; during daylight
// time local time = UTC - (bias + daylightBias). As in Windows, daylight time
// is the later of the year's two clock settings (the summer one), whatever
// the zone data calls it: Europe/Dublin has bias 0 and daylightBias -60.
struct TimeZoneInformation {
  int32_t bias = 0;          // the standard offset, negated (UTC+1 gives -60)
  int32_t standardBias = 0;  // always 0 here
  int32_t daylightBias = 0;  // daylight minus standard, negated (-60, -30); 0 without DST
};

// The zone in the year of the current time (see SetNowForTesting): fills
// `info` and returns kTimeZoneIdUnknown, kTimeZoneIdStandard or
// kTimeZoneIdDaylight.
uint32_t GetTimeZoneInformation(TimeZoneInformation* info);
// The same at `instant`.
uint32_t GetTimeZoneInformationAt(int64_t instant, TimeZoneInformation* info);

// The current time that GetTimeZoneInformation uses: the system clock, or the
// instant set for tests (std::nullopt restores the system clock).
int64_t Now();
void SetNowForTesting(std::optional<int64_t> instant);

// --- Civil dates ---

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
