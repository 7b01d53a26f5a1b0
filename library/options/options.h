/* Exports of the options family of libqvaiso.so: option access through the
 * configuration provider selected by name, or through the remote
 * administration host in effect (see remote.h).
 *
 * A configuration provider is a shared library found through HKLM
 * "SOFTWARE\Quorvia\Quorvia\Providers\System": the selected name (or that
 * key's "Current Provider") names a subkey whose "Provider DLL" is a file in
 * the "Application Directory". It exports "GetOption", "SetOption" and
 * optionally "GetOption_Ex" and "SetLoggingFunction" with the signatures of
 * the same-named exports below. Scope, key, name and results belong to the
 * provider; this library passes them through and returns 0 itself when no
 * provider can be reached.
 *
 * Strings are NUL-terminated; value buffers belong to the caller. Calls may
 * come from any thread; the remote session is one per process. */
#ifndef QVAISO_OPTIONS_H
#define QVAISO_OPTIONS_H

#include <stdint.h>

#include "library/qvaiso_api.h"

#pragma pack(push, 1)
/* One option, as GetSystemOption and SetSystemOption take it (3076 bytes). */
typedef struct SystemOptionRecord {
  int32_t optionScope;
  char optionKey[1024];   /* NUL-terminated */
  char optionName[1024];  /* NUL-terminated */
  char optionValue[1024]; /* NUL-terminated */
} SystemOptionRecord;
#pragma pack(pop)

#ifdef __cplusplus
#include <cstddef>
static_assert(sizeof(SystemOptionRecord) == 3076, "SystemOptionRecord is 3076 bytes");
static_assert(offsetof(SystemOptionRecord, optionKey) == 4, "optionKey at 4");
static_assert(offsetof(SystemOptionRecord, optionName) == 1028, "optionName at 1028");
static_assert(offsetof(SystemOptionRecord, optionValue) == 2052, "optionValue at 2052");
#else
#include <stddef.h>
_Static_assert(sizeof(SystemOptionRecord) == 3076, "SystemOptionRecord is 3076 bytes");
_Static_assert(offsetof(SystemOptionRecord, optionKey) == 4, "optionKey at 4");
_Static_assert(offsetof(SystemOptionRecord, optionName) == 1028, "optionName at 1028");
_Static_assert(offsetof(SystemOptionRecord, optionValue) == 2052, "optionValue at 2052");
#endif

QVAISO_BEGIN_DECLS

/* Makes the name the provider of all later calls of the process (NULL: none
 * selected, the registry's "Current Provider" applies). Call it once, before
 * option calls begin; modules already loaded stay loaded. */
QVAISO_EXPORT void SelectProvider(const char* providerName);

/* Reads one option into value (capacity bytes, always terminated when
 * capacity > 0). The provider's result, or 0. */
QVAISO_EXPORT int GetOption_Ex(int optionScope, const char* optionKey, const char* optionName,
                               char* value, int capacity);
/* GetOption_Ex with a capacity of 1024. */
QVAISO_EXPORT int GetOption(int optionScope, const char* optionKey, const char* optionName,
                            char* value);
/* Writes one option. The provider's result, or 0. */
QVAISO_EXPORT int SetOption(int optionScope, const char* optionKey, const char* optionName,
                            const char* optionValue);
/* Reads the option the record names into its optionValue. */
QVAISO_EXPORT int GetSystemOption(SystemOptionRecord* record);
/* Writes the option the record holds. */
QVAISO_EXPORT int SetSystemOption(SystemOptionRecord* record);
/* Passes four values to the provider's "SetLoggingFunction"; never forwarded.
 * Its result, or 0 without a provider or entry point. */
QVAISO_EXPORT int SetLoggingFunction(int32_t first, int32_t second, int32_t third, int32_t fourth);
/* Creates one directory (no intermediate levels); 1 on success, 0 on failure. */
QVAISO_EXPORT int CreateSystemFolder(const char* path);

QVAISO_END_DECLS

#endif
