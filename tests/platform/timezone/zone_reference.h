// A slow, plain reading of the C library's zone data, to check the time-zone
// layer and the codec's date conversions against: every wall-clock time is
// read by trying the offset of every minute within a day either side.
#ifndef QV_TESTS_PLATFORM_TIMEZONE_ZONE_REFERENCE_H
#define QV_TESTS_PLATFORM_TIMEZONE_ZONE_REFERENCE_H

#include <time.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace qv::testing::zone_reference {

// Seconds east of UTC at an instant (tzset() must have run).
inline int64_t Offset(int64_t instant) {
  const time_t t = static_cast<time_t>(instant);
  struct tm local {};
  if (!localtime_r(&t, &local)) return 0;
  return local.tm_gmtoff;
}

// The instants at which the clock shows `wall` (seconds, read as UTC), in
// order: none for a time the clock skips, two for one it repeats.
inline std::vector<int64_t> Readings(int64_t wall) {
  std::vector<int64_t> readings;
  for (int64_t at = wall - 86400; at <= wall + 86400; at += 60) {
    const int64_t instant = wall - Offset(at);
    if (Offset(instant) == wall - instant &&
        std::find(readings.begin(), readings.end(), instant) == readings.end())
      readings.push_back(instant);
  }
  std::sort(readings.begin(), readings.end());
  return readings;
}

// For a time the clock skips: the instant it names read with the offset in
// force just before the change it falls into.
inline std::optional<int64_t> SkippedReading(int64_t wall) {
  for (int64_t at = wall - 86400; at <= wall + 86400; at += 60) {
    const int64_t before = Offset(at - 60), after = Offset(at);
    if (after <= before) continue;
    // The change lies in (at - 60, at]: the clock jumps from before to after.
    if (wall - before >= at - 60 && wall - after < at) return wall - before;
  }
  return std::nullopt;
}

}  // namespace qv::testing::zone_reference

#endif
