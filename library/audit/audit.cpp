#include "library/audit/audit.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "library/audit/audit_internal.h"
#include "library/support/messages.h"
#include "library/support/support.h"

namespace qvaiso::audit {
namespace {

using qv::registry::Hive;

constexpr const char* kAuditingKey = "SOFTWARE\\Quorvia\\Quorvia\\Auditing";
constexpr const char* kAuthenticationKey =
    "SOFTWARE\\Quorvia\\Quorvia\\Providers\\Authentication";
constexpr const char* kPurgeFlagFile = "_purge.dat";
constexpr const char* kPurgeFlagText =
    "This file is a flag file that denotes that a system change has occured";
constexpr uint32_t kDefaultWriteTimeout = 80;         // one-second attempts
constexpr uint32_t kDefaultRetentionMinutes = 7200;
constexpr int kCriticalLevel = 10;

struct CachedSettings {
  bool enabled = false;
  uint32_t level = 0;
};

std::mutex g_settingsMutex;
std::optional<CachedSettings> g_settings;

CachedSettings Settings() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  if (!g_settings) {
    CachedSettings settings;
    uint32_t status = 0;
    ReadRegistryDword(Hive::LocalMachine, kAuditingKey, "Status", &status);
    settings.enabled = status == 1;
    ReadRegistryDword(Hive::LocalMachine, kAuditingKey, "Level", &settings.level);
    g_settings = settings;
  }
  return *g_settings;
}

uint32_t ReadSetting(const char* name, uint32_t fallback) {
  uint32_t value = fallback;
  ReadRegistryDword(Hive::LocalMachine, kAuditingKey, name, &value);
  return value;
}

std::string DefaultAccount() {
  uint32_t enabled = 0;
  ReadRegistryDword(Hive::LocalMachine, kAuthenticationKey, "Default Account Enabled", &enabled);
  if (enabled != 1) return "";
  return ReadMachineString(kAuthenticationKey, "Default Account");
}

bool IsDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A name that stays one folder level when joined into a path.
bool IsSafeFolderName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string::npos;
}

// The folder of an entry: the mailbox's folder under the audit root when the
// postoffice exists in the mail root, else the audit root.
std::string ChooseFolder(const std::string& auditRoot, const std::string& postoffice,
                         const std::string& mailbox) {
  if (!IsSafeFolderName(postoffice) || !IsSafeFolderName(mailbox)) return auditRoot;
  std::string mailRoot = GetMailRoot();
  if (mailRoot.empty() || !IsDirectory(mailRoot + "/" + postoffice + "/MAILROOT")) {
    return auditRoot;
  }
  return auditRoot + "/" + postoffice + "/" + mailbox;
}

std::string FormatLine(const char* text, int level, int category) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%m/%d/%y %H:%M:%S", &local);
  return std::string(stamp) + "\t[" + std::to_string(category) + "." + std::to_string(level) +
         "] " + (text ? text : "") + "\r\n";
}

// Opens the log for appending and takes its exclusive lock without waiting;
// -1 (errno set) when the file cannot be opened or another writer holds it.
int TryOpenLocked(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

// True for a failure to open that can clear by itself: the file's lock is
// held by another writer. Anything else (a path too long, a folder that does
// not exist, no permission) stays as it is, however long one waits.
bool CanClear(int error) { return error == EWOULDBLOCK || error == EAGAIN || error == EINTR; }

// One attempt per second, as long as "Write Timeout" allows; inside each
// second the lock is tried again every few milliseconds, so a writer waits
// only as long as the file is really busy. A failure that cannot clear ends
// the wait at once (*permanent set).
int OpenWhenFree(const std::string& path, int* lastError, bool* permanent) {
  using namespace std::chrono_literals;
  uint32_t failures = 0;
  *permanent = false;
  while (true) {
    int fd = TryOpenLocked(path);
    if (fd >= 0) return fd;
    *lastError = errno;
    if (!CanClear(*lastError)) {
      *permanent = true;
      return -1;
    }
    ++failures;
    if (failures > ReadSetting("Write Timeout", kDefaultWriteTimeout)) return -1;
    auto secondEnds = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < secondEnds) {
      std::this_thread::sleep_for(10ms);
      fd = TryOpenLocked(path);
      if (fd >= 0) return fd;
      *lastError = errno;
      if (!CanClear(*lastError)) {
        *permanent = true;
        return -1;
      }
    }
  }
}

bool WriteAll(int fd, const std::string& data) {
  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t written = ::write(fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

// False when the file stayed busy and the entry was given up.
bool AppendLine(const std::string& path, const std::string& line, const char* text) {
  int lastError = 0;
  bool permanent = false;
  int fd = OpenWhenFree(path, &lastError, &permanent);
  if (fd < 0) {
    const std::string result = std::to_string(WindowsErrorFromErrno(lastError));
    std::string message =
        permanent ? "Cannot access audit file (" + path + ") to log " + (text ? text : "") +
                        ". Result=" + result
                  : "Timed out waiting to access audit file (" + path + ") to log " +
                        (text ? text : "") + ". Result=" + result;
    errno = lastError;
    ReportSystemEvent(kEventError, "Quorvia", nullptr, kEventIdError, message.c_str());
    return false;
  }
  WriteAll(fd, line);
  ::close(fd);  // releases the lock
  return true;
}

bool EndsWithLogExtension(const char* name) {
  std::size_t length = std::strlen(name);
  return length >= 4 && strncasecmp(name + length - 4, ".log", 4) == 0;
}

// Deletes the folder's log files older than the retention period, when the
// flag file says the last purge is at least that old (or there was none).
void PurgeIfDue(const std::string& folder, uint32_t retentionMinutes) {
  std::time_t now = std::time(nullptr);
  std::string flag = folder + "/" + kPurgeFlagFile;
  struct stat info {};
  if (::stat(flag.c_str(), &info) == 0 &&
      AgeInMinutes(now, info.st_mtime) <= static_cast<long long>(retentionMinutes)) {
    return;
  }
  if (DIR* dir = ::opendir(folder.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] == '.' || !EndsWithLogExtension(entry->d_name)) continue;
      std::string path = folder + "/" + entry->d_name;
      if (::stat(path.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) continue;
      if (AgeInMinutes(now, info.st_mtime) > static_cast<long long>(retentionMinutes)) {
        ::unlink(path.c_str());  // failures are ignored
      }
    }
    ::closedir(dir);
  }
  WriteFileAtomically(flag, kPurgeFlagText);
}

void WriteEntry(const char* postofficeArg, const char* mailboxArg, const char* text, int level,
                int category, const CachedSettings& settings) {
  std::string mailbox = mailboxArg ? mailboxArg : "";
  mailbox = mailbox.substr(0, mailbox.find('@'));
  if (mailbox.empty()) return;
  if (static_cast<int64_t>(level) < static_cast<int64_t>(settings.level)) return;

  std::string configuration = GetConfigurationDirectory();
  if (configuration.empty()) return;  // no configuration directory: nowhere to write
  std::string postoffice = postofficeArg && *postofficeArg ? postofficeArg : DefaultAccount();
  std::string folder = ChooseFolder(configuration + "/Audit", postoffice, mailbox);
  CreateDirectoryPath(folder);  // failures show when the file is opened

  if (!AppendLine(folder + "/" + AuditFileName(std::time(nullptr)),
                  FormatLine(text, level, category), text)) {
    return;
  }
  PurgeIfDue(folder, ReadSetting("Retention Minutes", kDefaultRetentionMinutes));
}

}  // namespace

void ResetAuditSettingsForTesting() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  g_settings.reset();
}

std::string AuditFileName(std::time_t when) {
  std::tm local{};
  localtime_r(&when, &local);
  char name[32];
  std::strftime(name, sizeof name, "AUDIT-%y%m%d.log", &local);
  return name;
}

long long AgeInMinutes(std::time_t now, std::time_t written) {
  long long seconds = static_cast<long long>(now) - static_cast<long long>(written);
  return seconds >= 0 ? seconds / 60 : -((-seconds + 59) / 60);
}

}  // namespace qvaiso::audit

int AddAuditEntry(int messageNumber, const char* postoffice, const char* mailbox, const char* text,
                  int level, int category) {
  using namespace qvaiso::audit;
  try {
    CachedSettings settings = Settings();
    if (!settings.enabled) return 1;
    WriteEntry(postoffice, mailbox, text, level, category, settings);
    if (level == kCriticalLevel) {
      qvaiso::PostSystemMessage(messageNumber, text, qvaiso::kSeverityCritical, postoffice,
                                mailbox);
    }
  } catch (...) {
    // Auditing never fails its caller.
  }
  return 1;
}
