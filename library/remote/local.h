// The local halves of the forwarded remote-family calls: what this host does
// when it serves a call itself (for a local caller, or for the administration
// listener serving a remote one). Never forwarded.
#ifndef QVAISO_REMOTE_LOCAL_H
#define QVAISO_REMOTE_LOCAL_H

#include <cstddef>
#include <cstdint>

#include "library/remote/remote.h"

namespace qvaiso::remote {

inline constexpr size_t kRegistryStringCapacity = 4096;

// HKLM string into `output` (capacity kRegistryStringCapacity); 1 or 0.
int LocalGetRegistryString(const char* keyPath, const char* valueName, char* output);
int LocalSetRegistryString(const char* keyPath, const char* valueName, const char* value);
// `*value` keeps its default when the read fails; 1 or 0.
int LocalGetRegistryWord(const char* keyPath, const char* valueName, uint32_t* value);
int LocalSetRegistryWord(const char* keyPath, const char* valueName, uint32_t value);

int LocalServiceStart(ServiceRecord* record);
int LocalServiceStop(ServiceRecord* record);
int LocalServiceGetStatus(ServiceRecord* record);
int LocalServiceFindFirst(ServiceRecord* record);
int LocalServiceFindNext(ServiceRecord* record);

// Forces a terminator into each string field of a record that came from
// outside.
void TerminateServiceRecord(ServiceRecord* record);

}  // namespace qvaiso::remote

#endif
