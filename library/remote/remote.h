/* Exports of the remote family of libqvaiso.so: the current administration
 * host, the remote registry and service control.
 *
 * Once a current host is chosen (SetCurrentHost, or a remote registry export
 * with a host name, or "ForceDefaultHost" in HKCU
 * "SOFTWARE\Quorvia\Quorvia\Administration"), option, service and registry
 * calls are sent to the remote administration listener of that host, as
 * described per host in HKCU "Software\Quorvia\Quorvia\Administration\Hosts\<host>"
 * ("Address", "Port" default 8081, "Credentials", "Authentication Protocol").
 * The host name "127.0.0.1" is served locally, without a socket.
 *
 * The session is process-wide and not thread-safe: one caller at a time. */
#ifndef QVAISO_REMOTE_H
#define QVAISO_REMOTE_H

#include <stdint.h>

#include "library/qvaiso_api.h"

#pragma pack(push, 1)
/* One service of the product (516 bytes). */
typedef struct ServiceRecord {
  char serviceName[256]; /* NUL-terminated service name */
  char displayName[256]; /* NUL-terminated display name */
  uint32_t state;        /* 1 stopped ... 7 paused, as the service manager numbers them */
} ServiceRecord;
#pragma pack(pop)

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(ServiceRecord) == 516, "ServiceRecord is 516 bytes");
static_assert(offsetof(ServiceRecord, displayName) == 256, "displayName at 256");
static_assert(offsetof(ServiceRecord, state) == 512, "state at 512");
#else
#include <stddef.h>
_Static_assert(sizeof(ServiceRecord) == 516, "ServiceRecord is 516 bytes");
_Static_assert(offsetof(ServiceRecord, displayName) == 256, "displayName at 256");
_Static_assert(offsetof(ServiceRecord, state) == 512, "state at 512");
#endif

QVAISO_BEGIN_DECLS

/* Sets the current host (at most 1023 characters kept); "" or NULL returns to
 * local operation unless "ForceDefaultHost" is set. Always 1. */
QVAISO_EXPORT int SetCurrentHost(const char* hostName);

/* Each remote registry export first makes hostName the current host. Locally
 * they read and write HKLM; key paths of the 32-bit view
 * ("Software\Wow6432Node\Quorvia...") name the same keys as without it. */

/* output: a caller buffer of 4096 bytes, always terminated. 1 if read, else 0. */
QVAISO_EXPORT int GetRemoteRegistryString(const char* hostName, const char* keyPath,
                                          const char* valueName, char* output);
/* Remote: the remote result; local: 1 when written, 0 when the write failed. */
QVAISO_EXPORT int SetRemoteRegistryString(const char* hostName, const char* keyPath,
                                          const char* valueName, const char* value);
/* value: in the caller's default, out the number read. 1 if read, else 0. */
QVAISO_EXPORT int GetRemoteRegistryWord(const char* hostName, const char* keyPath,
                                        const char* valueName, uint32_t* value);
/* Remote: the remote result; local: 1 when written, 0 when the write failed. */
QVAISO_EXPORT int SetRemoteRegistryWord(const char* hostName, const char* keyPath,
                                        const char* valueName, const uint32_t* value);

/* Service control. Every call takes the address of a full ServiceRecord;
 * 1 success, 0 failure; messages go to standard output. */
QVAISO_EXPORT int QVServiceStart(ServiceRecord* record);
QVAISO_EXPORT int QVServiceStop(ServiceRecord* record);
QVAISO_EXPORT int QVServiceGetStatus(ServiceRecord* record);
/* Enumerates the services registered under the CONNECTORS, Agents and
 * Services keys of HKLM "SOFTWARE\Quorvia\Quorvia"; the cursor is
 * process-wide: one enumeration at a time. */
QVAISO_EXPORT int QVServiceFindFirst(ServiceRecord* record);
QVAISO_EXPORT int QVServiceFindNext(ServiceRecord* record);

QVAISO_END_DECLS

#endif
