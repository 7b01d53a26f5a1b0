// The local halves of the forwarded option calls: the provider of this
// process serves them. Used by the exports and by the administration listener.
#ifndef QVAISO_OPTIONS_LOCAL_H
#define QVAISO_OPTIONS_LOCAL_H

#include <dlfcn.h>

#include <string>

#include "library/options/options.h"

namespace qvaiso::options {

// Provider entry points, by name.
using GetOptionExFunction = int (*)(int, const char*, const char*, char*, int);
using GetOptionFunction = int (*)(int, const char*, const char*, char*);
using SetOptionFunction = int (*)(int, const char*, const char*, const char*);
using SetLoggingFunctionFunction = int (*)(int32_t, int32_t, int32_t, int32_t);

inline constexpr const char* kProvidersKey = "SOFTWARE\\Quorvia\\Quorvia\\Providers\\System";

// The module of the selected (or default) provider, loaded on first use and
// kept in the process-wide table; null when there is none (reported as the
// library reports it).
void* ResolveProviderModule();

// The work of the library's load, done once per process before the first
// option call: reads the configuration directory (the provider is resolved by
// the call itself).
void EnsureLibraryLoaded();

int LocalGetOptionEx(int scope, const char* key, const char* name, char* value, int capacity);
int LocalSetOption(int scope, const char* key, const char* name, const char* value);
int LocalGetSystemOption(SystemOptionRecord* record);
int LocalSetSystemOption(SystemOptionRecord* record);

void SelectProviderName(const char* name);
int CallSetLoggingFunction(int32_t first, int32_t second, int32_t third, int32_t fourth);

// Forces a terminator into each string field of a record that came from outside.
void TerminateOptionRecord(SystemOptionRecord* record);

// ---- Test seams ----

// Forgets the selected and cached default provider names (the table of loaded
// modules stays, as it does for the life of the library).
void ResetProviderNamesForTesting();
// Whether a provider of that name is in the table.
bool ProviderLoadedForTesting(const std::string& name);

}  // namespace qvaiso::options

#endif
