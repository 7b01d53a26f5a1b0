// Recurrence and time zone offset: the ten recurrence request
// fields, ApplyRecurrence from a server item's XML, GetTimeZoneOffset and
// TextToBoolean. Runs on the host's user-interface thread; nothing throws.
#ifndef QVSYNC_CODEC_RECURRENCE_H
#define QVSYNC_CODEC_RECURRENCE_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/outlook/outlook.h"

namespace pugi {
class xml_node;
}

namespace qvsync {

// Minutes east of UTC by "Time Zone Source" (SyncConfig::timeZoneSource):
// 0 the machine's zone with daylight time when in force (unless the machine's
// "DisableAutoDaylightTimeSet" is set), 1 daylight time always, 2 zero; no
// value for any other setting.
std::optional<int32_t> GetTimeZoneOffset();
// The same for an explicit setting.
std::optional<int32_t> GetTimeZoneOffset(int32_t timeZoneSource);

// A number: true when not 0; else "True"/"False" in any case; else false.
bool TextToBoolean(std::string_view text);

// The ten recurrence fields of a recurring item ("&RecurrenceInterval=...
// &PatternEndDate=..."), read from its pattern all at once; throws
// qv::outlook::Error when any read fails (the caller leaves the group out).
std::string RecurrenceFields(const qv::outlook::Variant& item);

// Sets the item's recurrence from the children of `root` (each
// assignment guarded).
void ApplyRecurrence(const pugi::xml_node& root, const qv::outlook::Variant& item);

// The local machine's "DisableAutoDaylightTimeSet" (0 when absent).
uint32_t DisableAutoDaylightTimeSet();

}  // namespace qvsync

#endif
