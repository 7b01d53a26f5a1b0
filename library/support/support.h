// Shared helpers of libqvaiso: base64, event reporting, the registry
// conventions of the library and the installation's directory settings.
// Internal to the library (none of this is exported); every component of the
// library uses these rather than its own copies.
#ifndef QVAISO_SUPPORT_H
#define QVAISO_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/registry/registry.h"

namespace qvaiso {

// ---- Base64 (RFC 4648 alphabet, "=" padding, no line breaks) ----

// Encodes `length` bytes into `output` and writes a terminator. Returns the
// number of characters, or -1 when characters and terminator do not fit in
// `capacity` (or an argument is null or negative).
int Base64Encode(const unsigned char* bytes, int length, char* output, int capacity);

// Decodes a NUL-terminated text into `output`. Whitespace anywhere is skipped;
// decoding stops at the first "="; one "=" must follow a group of three
// characters and two a group of two; after the padding only whitespace may
// follow; the unused low bits of the last character before the padding must be
// zero. Returns the number of bytes, or -1 for a character outside the
// alphabet, wrong padding, a result over `capacity` or a null argument.
int Base64Decode(const char* text, unsigned char* output, int capacity);

// ---- Event reporting ----

// Event types, as Windows numbers them.
inline constexpr int kEventError = 1;
inline constexpr int kEventWarning = 2;
inline constexpr int kEventInformation = 4;

// Event IDs in use.
inline constexpr uint32_t kEventIdError = 10000;
inline constexpr uint32_t kEventIdInformation = 0x40000001;

// The Windows error number a caller of the Windows original would see for a
// platform failure (`errno`): 2 file not found, 3 path not found, 5 access
// denied, 32 sharing violation (a lock another writer holds), 206 a name too
// long, ...; 31 (a general failure) for what has no closer number, 0 for 0.
int WindowsErrorFromErrno(int error);

// Sets the calling thread's last-error code for a failure that errno does not
// describe (126 module not found, 127 procedure not found); the next event
// reported on the thread uses it, once.
void SetLastErrorCode(int windowsError);

// The calling thread's last-error code as a Windows error number: the one set
// by SetLastErrorCode, else the number for errno.
int LastErrorCode();

// Writes one entry to the system event log: source `source` ("Quorvia" when
// null or empty), category 0, and two insertion strings: "%s error: %d" of
// "Quorvia System Option Provider" and the last-error code taken when the call
// starts, then `message`. `text` is not used. Nothing is written when the
// source cannot be registered. Never fails visibly.
void ReportSystemEvent(int type, const char* source, const char* text, uint32_t eventId,
                       const char* message);

// ---- Registry conventions ----

// The machine-wide settings root, under HKLM (and, for remote administration
// settings, under HKCU).
inline constexpr const char* kMachineRoot = "SOFTWARE\\Quorvia\\Quorvia";

// Rewrites a path that begins with "Software\Wow6432Node\Quorvia" (any case,
// first occurrence only) to begin with "Software\Quorvia"; other paths are
// returned unchanged.
std::string RewriteWow6432Path(std::string_view keyPath);

// Bounded string read: on a missing key or value, an empty value, a value that
// is no string, or any error, `dest` becomes "" and the result is false;
// otherwise the value is copied with its terminator. A value that does not fit
// in `capacity` (terminator included) counts as an error. `dest` may be null
// only when `capacity` is 0.
bool ReadRegistryString(qv::registry::Hive hive, std::string_view keyPath,
                        std::string_view valueName, char* dest, size_t capacity);

// The same for a machine-wide (HKLM) setting, after RewriteWow6432Path.
bool ReadMachineString(std::string_view keyPath, std::string_view valueName, char* dest,
                       size_t capacity);

// Convenience form: the value, or "" on any failure.
std::string ReadMachineString(std::string_view keyPath, std::string_view valueName,
                              size_t capacity = 1024);

// 32-bit number read: on failure `*value` keeps the caller's default and the
// result is false.
bool ReadRegistryDword(qv::registry::Hive hive, std::string_view keyPath,
                       std::string_view valueName, uint32_t* value);

// ---- Directory and installation settings (HKLM kMachineRoot strings) ----

// "Configuration Directory": read once per process (the first call, or the
// library's load) into a 260-byte buffer; "" when unset.
std::string GetConfigurationDirectory();
// Forgets the cached configuration directory so the next call reads again (tests).
void ResetConfigurationDirectoryForTesting();
// "Mail Root".
std::string GetMailRoot();
// "Application Directory"; for 64-bit components the directory text with "64"
// appended ("" stays "").
std::string GetApplicationDirectory(bool sixtyFourBit = false);
// "Activity Log Directory".
std::string GetActivityLogDirectory();

}  // namespace qvaiso

#endif
