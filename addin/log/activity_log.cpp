#include "addin/log/activity_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "addin/config/sync_config.h"
#include "platform/codepage/codepage.h"
#include "platform/shell/shell.h"

namespace qvsync {
namespace {

std::string& PathOverride() {
  static std::string path;
  return path;
}

// The folder of the binary that holds this code (the add-in library when it is
// loaded as one), found from the address of a function of ours.
std::string OwnFolder() {
  std::string folder = qv::shell::ModuleFolder(reinterpret_cast<const void*>(&LogFilePath));
  return folder.empty() ? "." : folder;
}

// Local date and time, e.g. "2013-05-21 14:30:59"; made once a second.
std::string TimeStamp() {
  static std::time_t last = -1;
  static std::string stamp;
  const std::time_t now = std::time(nullptr);
  if (now == last) return stamp;
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return "";
  char buf[32];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  last = now;
  stamp.assign(buf, n);
  return stamp;
}

// The log kept open by the sessions: its descriptor and the path it was
// opened at.
struct OpenLog {
  int depth = 0;
  int fd = -1;
  std::string path;

  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  // The descriptor for `logPath`, opened anew when it is not open, was opened
  // at another path, or its file has no name any more: deleted, or replaced
  // by another file renamed over it. (A log renamed away keeps its name and
  // gets the rest of the command's lines.) fstat looks at the open file
  // alone, which costs far less than looking the path up for every line.
  int For(const std::string& logPath) {
    struct stat info {};
    if (fd >= 0 && (logPath != path || ::fstat(fd, &info) != 0 || info.st_nlink == 0)) Close();
    if (fd < 0) {
      fd = ::open(logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
      path = logPath;
    }
    return fd;
  }
};

OpenLog& Kept() {
  static OpenLog log;
  return log;
}

// One write of the whole line (the rest, should the system take only part).
void WriteWhole(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

}  // namespace

std::string LogFilePath() {
  if (!PathOverride().empty()) return PathOverride();
  // The library does not move while it is loaded: its folder is found once.
  static const std::string path = [] {
    const std::string folder = OwnFolder();
    return folder + (folder.back() == '/' ? "" : "/") + "QVSync.Log";
  }();
  return path;
}

void SetLogFilePathForTesting(const std::string& path) { PathOverride() = path; }

bool LogEnabled() { return Config().troubleshootingMode != 0; }

void LogMessage(std::string_view message, int /*level*/) {
  if (!LogEnabled()) return;
  AppendLogLine(message);
}

void AppendLogLine(std::string_view message) {
  try {
    std::string line = TimeStamp();
    line += '\t';
    line += message;
    line += "\r\n";
    const std::string bytes = qv::codepage::FromUtf8(line);
    const std::string path = LogFilePath();
    if (Kept().depth > 0) {
      if (const int fd = Kept().For(path); fd >= 0) WriteWhole(fd, bytes);
      return;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    WriteWhole(fd, bytes);
    ::close(fd);
  } catch (...) {
    // Logging never fails its caller.
  }
}

LogSession::LogSession() { ++Kept().depth; }

LogSession::~LogSession() {
  if (--Kept().depth == 0) Kept().Close();
}

bool ViewLog() {
  const std::string path = LogFilePath();
  if (std::FILE* file = std::fopen(path.c_str(), "ab")) std::fclose(file);
  return qv::shell::ShowDocumentDetached(path);
}

}  // namespace qvsync
