#include "addin/log/activity_log.h"

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

// Local date and time, e.g. "2013-05-21 14:30:59".
std::string TimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return "";
  char buf[32];
  size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buf, n);
}

}  // namespace

std::string LogFilePath() {
  if (!PathOverride().empty()) return PathOverride();
  std::string folder = OwnFolder();
  return folder + (folder.back() == '/' ? "" : "/") + "QVSync.Log";
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
    std::string bytes = qv::codepage::FromUtf8(line);
    std::FILE* file = std::fopen(LogFilePath().c_str(), "ab");
    if (file == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  } catch (...) {
    // Logging never fails its caller.
  }
}

bool ViewLog() {
  const std::string path = LogFilePath();
  if (std::FILE* file = std::fopen(path.c_str(), "ab")) std::fclose(file);
  return qv::shell::ShowDocumentDetached(path);
}

}  // namespace qvsync
