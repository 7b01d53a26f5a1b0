// Recurrence and time zones: the ten recurrence request fields,
// ApplyRecurrence from a server item's XML, the time zone rule by which an
// item's local dates meet the server's UTC (TimeZoneRule, GetTimeZoneOffset)
// and TextToBoolean. Runs on the host's user-interface thread; nothing throws.
#ifndef QVSYNC_CODEC_RECURRENCE_H
#define QVSYNC_CODEC_RECURRENCE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "addin/codec/encodings.h"
#include "platform/outlook/outlook.h"
#include "platform/timezone/timezone.h"

namespace pugi {
class xml_node;
}

namespace qvsync {

// How an item's local dates meet the server's UTC under "Time Zone Source"
// (SyncConfig::timeZoneSource):
// - 0: the machine's zone; each date is converted with the offset in force at
//   that date, so the date, not the moment of the call, decides between
//   standard and daylight time. With the machine's
//   "DisableAutoDaylightTimeSet" set, the standard offset for every date;
// - 1: the zone's daylight offset for every date; 2: zero for every date;
// - any other value: no offset ("&offset=" is sent empty and 0 is used).
// The server subtracts an item's one "&offset=" from every date of the item,
// so each date is sent as its UTC time plus that offset: the server's UTC is
// then right for every date of the item, in either half of the year.
// Offsets are whole minutes (an offset of local mean time that is not is
// taken to the nearest minute). A copy holds the settings read when made.
class TimeZoneRule {
 public:
  // The rule of the configuration in force, the machine's setting read now.
  static TimeZoneRule Current();
  static TimeZoneRule ForSource(int32_t timeZoneSource);

  // The "&offset=" of an item that starts at `start`: the minutes east of
  // UTC in force then; none when the source has no value.
  std::optional<int32_t> ItemOffset(const LocalDateTime& start) const;
  // The offset in force now.
  std::optional<int32_t> OffsetNow() const;
  // The date text of `local` in a request whose "&offset=" is `itemOffset`.
  std::string ServerDate(const LocalDateTime& local, int32_t itemOffset) const;
  // The local date and time of a server UTC date text; a text that does not
  // parse gives the current local time (as ParseServerDate does).
  LocalDateTime LocalDate(std::string_view serverText) const;

 private:
  enum class Kind { kZone, kFixed, kNone };
  TimeZoneRule(Kind kind, int32_t fixed) : kind_(kind), fixed_(fixed) {}
  Kind kind_;
  int32_t fixed_;  // minutes, for kFixed
};

// The offset in force now, by "Time Zone Source" (the configured one, or an
// explicit value): minutes east of UTC; no value for an unknown source.
std::optional<int32_t> GetTimeZoneOffset();
std::optional<int32_t> GetTimeZoneOffset(int32_t timeZoneSource);

// The instant an Outlook date (a wall-clock time of the machine's zone)
// names. Which of two instants a time of the hour repeated in autumn names is
// `fold`'s choice: a modification time compared with the instant of the last
// synchronisation is read as the later one, so that an edit made after the
// clock went back never looks older than a synchronisation before it.
int64_t InstantOfOutlookDate(qv::outlook::Date date, qv::timezone::Fold fold);

// An Outlook date as a local date and time, and back.
LocalDateTime ToLocalDateTime(qv::outlook::Date date);
qv::outlook::Date ToOutlookDate(const LocalDateTime& date);

// A number: true when not 0; else "True"/"False" in any case; else false.
bool TextToBoolean(std::string_view text);

// The ten recurrence fields of a recurring item ("&RecurrenceInterval=...
// &PatternEndDate=..."), read from its pattern all at once, its dates for a
// request whose "&offset=" is `itemOffset`; throws qv::outlook::Error when
// any read fails (the caller leaves the group out).
std::string RecurrenceFields(const qv::outlook::Variant& item, const TimeZoneRule& rule,
                             int32_t itemOffset);

// Sets the item's recurrence from the children of `root` (each assignment
// guarded): the type, interval, instance, start, the days and month the
// series falls on, then its end, which depends on them. When the server gives
// both a number of occurrences and an end date, the number is set; when the
// pattern refuses it (Outlook counts to 999 at most), the end date is set
// instead.
void ApplyRecurrence(const pugi::xml_node& root, const qv::outlook::Variant& item,
                     const TimeZoneRule& rule);

// The local machine's "DisableAutoDaylightTimeSet" (0 when absent).
uint32_t DisableAutoDaylightTimeSet();

}  // namespace qvsync

#endif
