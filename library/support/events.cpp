#include <cerrno>
#include <cstdio>

#include "library/support/support.h"
#include "platform/eventlog/eventlog.h"

namespace qvaiso {

int LastErrorCode() { return errno; }

void ReportSystemEvent(int type, const char* source, const char* /*text: not used*/, uint32_t eventId,
                       const char* message) {
  // Taken first, before anything below can change it.
  const int lastError = LastErrorCode();
  try {
    qv::eventlog::Entry entry;
    switch (type) {
      case kEventError: entry.type = qv::eventlog::EventType::Error; break;
      case kEventWarning: entry.type = qv::eventlog::EventType::Warning; break;
      default: entry.type = qv::eventlog::EventType::Information; break;
    }
    entry.source = source != nullptr && *source != '\0' ? source : "Quorvia";
    entry.category = 0;
    entry.eventId = eventId;
    char first[96];
    std::snprintf(first, sizeof first, "%s error: %d", "Quorvia System Option Provider", lastError);
    entry.strings = {first, message != nullptr ? message : ""};
    qv::eventlog::Report(entry);
  } catch (...) {
    // Reporting never fails visibly.
  }
  errno = lastError;
}

}  // namespace qvaiso
