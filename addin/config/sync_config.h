// SyncConfig: the add-in's configuration record, one instance per process, kept
// for as long as the add-in is loaded. It is filled from the current user's
// registry before every command and read by every part of the add-in. It lives
// on the host's user-interface thread; nothing else touches it.
#ifndef QVSYNC_CONFIG_SYNC_CONFIG_H
#define QVSYNC_CONFIG_SYNC_CONFIG_H

#include <cstdint>
#include <string>
#include <string_view>

namespace qvsync {

struct SyncConfig {
  std::string host;            // "Host": server name for HTTP, optionally "name:port"
  std::string username;        // "Username": mailbox login name
  std::string password;        // "Password": the password in clear, once loaded
  std::string httpVersion;     // "HTTP Version": e.g. "HTTP/1.0"; empty = HTTP/1.1
  std::string dataDirectory;   // "Data Directory": conversion tables and batch files
  std::string rootFolderName;  // "Root Folder Name": chosen message store; empty = default
  std::string requestUrl;      // "Request URL": servlet path; empty = found at login
  int32_t contactSyncMode = 0;      // "Contact Sync Mode": 1 = synchronise contacts
  int32_t calendarSyncMode = 0;     // "Calendar Sync Mode": 1 = synchronise the calendar
  int32_t taskSyncMode = 0;         // "Task Sync Mode": 1 = synchronise tasks
  int32_t rootFolderIndex = 0;      // "Root Folder Index": 0 = default store, n = n-th store
  int32_t troubleshootingMode = 0;  // "Troubleshooting Mode": non-zero = activity log on
  int32_t batchMode = 0;            // "Batch Mode": 1 = send changes in batches
  int32_t direction = 0;            // "Direction": 0 both, 1 client to server, 2 server to client
  int32_t syncOnStartUp = 0;        // "Sync On StartUp": non-zero = sync when the host starts
  int32_t syncOnShutdown = 0;       // "Sync On Shutdown": non-zero = sync when the host closes
  int32_t timeZoneSource = 0;       // "Time Zone Source": how the appointment offset is found
  int32_t restrict = 0;             // "Restrict": 1 = only items changed in the last days
  int32_t restrictValue = 0;        // "RestrictValue": number of days for "Restrict"
  int32_t deletionGuard = 1;        // "Deletion Guard": 0 = a run may delete most items without asking
};

// The process-wide record. Fields start empty or zero (the deletion guard on).
inline SyncConfig& Config() {
  static SyncConfig config;
  return config;
}

// "Host" as one server has one spelling of it: lower case, without blanks
// around it, a leading "http://", a path, the default port ":80" or a
// trailing dot. Names that differ otherwise ("localhost" and "127.0.0.1")
// cannot be told to be one server here.
std::string NormalizedHost(std::string_view host);

}  // namespace qvsync

#endif
