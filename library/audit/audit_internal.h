// Seams of the auditing component for its tests.
#ifndef QVAISO_AUDIT_INTERNAL_H
#define QVAISO_AUDIT_INTERNAL_H

#include <ctime>
#include <string>

namespace qvaiso::audit {

// "Status" and "Level" are cached at the first entry; this forgets them.
void ResetAuditSettingsForTesting();

// The name of the log file for a local time: "AUDIT-%y%m%d.log".
std::string AuditFileName(std::time_t when);

// The age of a file last written at `written`, in whole minutes, at `now`.
long long AgeInMinutes(std::time_t now, std::time_t written);

}  // namespace qvaiso::audit

#endif
