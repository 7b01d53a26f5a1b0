#include <cerrno>
#include <cstdio>

#include "library/support/support.h"
#include "platform/eventlog/eventlog.h"

namespace qvaiso {

namespace {
// A Windows error number a failing call set for the next report, or -1.
thread_local int t_lastError = -1;
}  // namespace

int WindowsErrorFromErrno(int error) {
  switch (error) {
    case 0: return 0;
    case ENOENT: return 2;                   // ERROR_FILE_NOT_FOUND
    case ENOTDIR: return 3;                  // ERROR_PATH_NOT_FOUND
    case EMFILE: case ENFILE: return 4;      // ERROR_TOO_MANY_OPEN_FILES
    case EACCES: case EPERM: case EISDIR: return 5;  // ERROR_ACCESS_DENIED
    case EBADF: return 6;                    // ERROR_INVALID_HANDLE
    case ENOMEM: return 8;                   // ERROR_NOT_ENOUGH_MEMORY
    case EROFS: return 19;                   // ERROR_WRITE_PROTECT
    case EWOULDBLOCK: return 32;             // ERROR_SHARING_VIOLATION (held by another writer)
    case ENOSYS: case EOPNOTSUPP: return 50; // ERROR_NOT_SUPPORTED
    case EEXIST: return 80;                  // ERROR_FILE_EXISTS
    case EINVAL: return 87;                  // ERROR_INVALID_PARAMETER
    case EPIPE: return 109;                  // ERROR_BROKEN_PIPE
    case ENOSPC: return 112;                 // ERROR_DISK_FULL
    case EBUSY: return 170;                  // ERROR_BUSY
    case ENAMETOOLONG: return 206;           // ERROR_FILENAME_EXCED_RANGE
    case EIO: return 1117;                   // ERROR_IO_DEVICE
    case ETIMEDOUT: return 1460;             // ERROR_TIMEOUT
    case ECONNREFUSED: return 10061;         // WSAECONNREFUSED
    default: return 31;                      // ERROR_GEN_FAILURE
  }
}

void SetLastErrorCode(int windowsError) { t_lastError = windowsError; }

int LastErrorCode() { return t_lastError >= 0 ? t_lastError : WindowsErrorFromErrno(errno); }

void ReportSystemEvent(int type, const char* source, const char* /*text: not used*/, uint32_t eventId,
                       const char* message) {
  // Taken first, before anything below can change it.
  const int savedErrno = errno;
  const int lastError = LastErrorCode();
  t_lastError = -1;  // a code set for this report is used once
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
  errno = savedErrno;
}

}  // namespace qvaiso
