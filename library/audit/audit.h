/* Auditing in libqvaiso.so: AddAuditEntry appends one line to a daily audit
 * log "AUDIT-%y%m%d.log". An entry for a mailbox of an existing postoffice goes
 * to the folder Audit/<postoffice>/<mailbox> under the configuration
 * directory, other entries to the Audit folder itself. Log files older than
 * "Retention Minutes" are deleted, checked at most once per retention period
 * and folder with the flag file "_purge.dat". An entry of level 10 is also
 * posted as a critical system message.
 *
 * Settings (HKLM "SOFTWARE\Quorvia\Quorvia\Auditing"): "Status" (1 = on) and
 * "Level" (minimum level written), read once per process; "Write Timeout"
 * (seconds to wait for a busy log file, 80) and "Retention Minutes" (7200),
 * read at each use.
 *
 * Any thread or process may call: writers meet at the log file, which each
 * holds under an exclusive advisory lock (flock) while it appends its line, so
 * lines never interleave. */
#ifndef QVAISO_AUDIT_H
#define QVAISO_AUDIT_H

#include "library/qvaiso_api.h"

QVAISO_BEGIN_DECLS

/* Appends "MM/DD/YY HH:MM:SS\t[category.level] text\r\n" for the mailbox (the
 * part of `mailbox` before the first "@"; no line for an empty or null one) of
 * `postoffice` (the default account when empty or null). `messageNumber`
 * numbers the system message of a level-10 entry. Always 1: auditing never
 * fails its caller; a log file that stays busy is reported to the event log
 * and the entry is lost. */
QVAISO_EXPORT int AddAuditEntry(int messageNumber, const char* postoffice, const char* mailbox,
                                const char* text, int level, int category);

QVAISO_END_DECLS

#endif
