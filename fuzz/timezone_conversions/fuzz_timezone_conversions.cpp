// The date conversions against a plain reading of the C library's zone data:
// the time-zone layer's readings of a wall-clock time, and the codec's trip of
// a local date to the server's date text and back from its UTC form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "addin/codec/recurrence.h"
#include "platform/timezone/timezone.h"
#include "tests/platform/timezone/zone_reference.h"

namespace {

const char* const kZones[] = {
    "Europe/Berlin",    "America/St_Johns", "Australia/Lord_Howe", "Asia/Kathmandu", "Europe/Dublin",
    "Australia/Sydney", "UTC",              "Africa/Casablanca",   "America/New_York", "Pacific/Apia",
    "Europe/Moscow",    "America/Sao_Paulo", "Asia/Tehran",        "Pacific/Chatham", "Antarctica/Troll",
};

int64_t MinutesOf(const qvsync::LocalDateTime& d) {
  return (qv::timezone::DaysFromCivil(d.year, d.month, d.day) * 24 + d.hour) * 60 + d.minute;
}

qvsync::LocalDateTime FromMinutes(int64_t minutes) {
  const int64_t days = minutes >= 0 ? minutes / 1440 : -((1439 - minutes) / 1440);
  int64_t year;
  qvsync::LocalDateTime d;
  qv::timezone::CivilFromDays(days, year, d.month, d.day);
  d.year = static_cast<int>(year);
  d.hour = static_cast<int>((minutes - days * 1440) / 60);
  d.minute = static_cast<int>((minutes - days * 1440) % 60);
  return d;
}

int64_t RoundMinutes(int64_t seconds) { return seconds >= 0 ? (seconds + 30) / 60 : -((-seconds + 30) / 60); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // No machine setting: "DisableAutoDaylightTimeSet" reads as 0.
  setenv("QUORVIA_HKLM", "/nonexistent-quorvia-fuzz/hklm.db", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  setenv("TZ", kZones[data[0] % (sizeof kZones / sizeof kZones[0])], 1);
  tzset();
  uint32_t raw;
  std::memcpy(&raw, data + 1, sizeof raw);
  // A wall-clock minute from 1900 to 2100.
  const int64_t first = qv::timezone::DaysFromCivil(1900, 1, 1) * 1440;
  const int64_t localMinutes = first + raw % (201ll * 366 * 1440);
  const int64_t wall = localMinutes * 60;

  // The layer's readings are the reference's.
  const std::vector<int64_t> readings = qv::testing::zone_reference::Readings(wall);
  const int64_t earlier = qv::timezone::InstantFromWallClock(wall, qv::timezone::Fold::kEarlier);
  const int64_t later = qv::timezone::InstantFromWallClock(wall, qv::timezone::Fold::kLater);
  int64_t expected;
  if (readings.empty()) {
    const std::optional<int64_t> skipped = qv::testing::zone_reference::SkippedReading(wall);
    if (!skipped || earlier != *skipped || later != *skipped) __builtin_trap();
    expected = *skipped;
  } else {
    if (earlier != readings.front() || later != readings.back()) __builtin_trap();
    expected = earlier;
  }
  if (qv::timezone::WallClockAt(expected) - expected != qv::testing::zone_reference::Offset(expected))
    __builtin_trap();

  // The codec: the date text minus the item's offset is the date's UTC
  // minute, and the UTC text comes back as the local date (a skipped time as
  // the time the clock shows at the instant it names).
  const qvsync::TimeZoneRule rule = qvsync::TimeZoneRule::ForSource(0);
  const qvsync::LocalDateTime local = FromMinutes(localMinutes);
  const int32_t itemOffset = static_cast<int32_t>((data[0] >> 4) * 60 - 420);  // any item's offset
  const std::string text = rule.ServerDate(local, itemOffset);
  const std::optional<qvsync::LocalDateTime> sent = qvsync::TryParseServerDate(text, 0);
  if (!sent) __builtin_trap();
  const int64_t utcMinutes = localMinutes - RoundMinutes(qv::testing::zone_reference::Offset(expected));
  if (MinutesOf(*sent) - itemOffset != utcMinutes) __builtin_trap();
  const qvsync::LocalDateTime back = rule.LocalDate(qvsync::FormatServerDate(FromMinutes(utcMinutes)));
  const int64_t shown = utcMinutes + RoundMinutes(qv::testing::zone_reference::Offset(utcMinutes * 60));
  if (MinutesOf(back) != shown) __builtin_trap();
  if (!readings.empty() && shown != localMinutes &&
      qv::testing::zone_reference::Offset(utcMinutes * 60) % 60 == 0 &&
      qv::testing::zone_reference::Offset(expected) % 60 == 0)
    __builtin_trap();  // whole-minute offsets: every time the clock shows comes back as it was
  return 0;
}
