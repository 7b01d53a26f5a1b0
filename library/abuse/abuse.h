/* The abuse register of libqvaiso.so: per remote IP address, how often a
 * service has reported abusive behaviour from it (failed logins, say), and
 * whether the address has crossed the configured threshold recently enough to
 * be refused. One register per process, in memory, shared by every thread and
 * guarded by one mutex. Addresses on the SMTP whitelist are never recorded.
 *
 * Settings (HKLM "SOFTWARE\Quorvia\Quorvia\Security", read once per process):
 * "Abuse Detection Status" (1 = on), "Abuse Instance Threshold" (10),
 * "Abuse Instance Maximum Age" (3600 s), "Abuse Instance Purge Frequency"
 * (3600 s). The register holds at most 200 addresses after a purge.
 *
 * An address is a NUL-terminated text of at most 255 bytes; a null or longer
 * address is refused with result 0. */
#ifndef QVAISO_ABUSE_H
#define QVAISO_ABUSE_H

#include "library/qvaiso_api.h"

QVAISO_BEGIN_DECLS

/* Records one report of abuse from `address`; `reporter` (may be null) names
 * the service. 0 if the address is whitelisted (nothing recorded) or refused;
 * 1 if recorded below the threshold, or if the register is disabled; 2 if the
 * address has now reached the threshold (the (threshold + 1)-th report and
 * every later one), which also posts critical system message 29. */
QVAISO_EXPORT int AbuseRegister_AddEntry(const char* address, const char* reporter);

/* 1 if the address has reached the threshold and its entry has not expired;
 * else 0 (always 0 when disabled). An expired entry is removed. */
QVAISO_EXPORT int AbuseRegister_FindEntryByIPAddress(const char* address);

/* 1 if an entry was removed; 0 if there was none or the register is disabled. */
QVAISO_EXPORT int AbuseRegister_RemoveEntry(const char* address);

/* Removes expired entries when a purge is due, and entries in address order
 * while more than 200 are held; always 1. */
QVAISO_EXPORT int AbuseRegister_PurgeEntries(void);

/* 1 if `text` is an IPv6 address of eight groups of one to four hexadecimal
 * digits, "::" standing once for the missing zero groups; with
 * `allowWildcard` non-zero a group may be "*"; with `allowPartial` non-zero
 * fewer than eight groups are accepted. Else 0 (also for null). */
QVAISO_EXPORT int ValidIPv6Address(const char* text, int allowWildcard, int allowPartial);

QVAISO_END_DECLS

#endif
