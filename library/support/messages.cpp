#include "library/support/messages.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>

#include <pugixml.hpp>

#include "library/support/support.h"

namespace qvaiso {
namespace {

constexpr uint32_t kDefaultMessageLimit = 60;

struct MessageSettings {
  bool enabled = false;
  uint32_t limit = kDefaultMessageLimit;
};

// The settings, read at the first post of the process.
std::mutex g_settingsMutex;
std::optional<MessageSettings> g_settings;

MessageSettings Settings() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  if (!g_settings) {
    MessageSettings settings;
    uint32_t enabled = 0;
    ReadRegistryDword(qv::registry::Hive::LocalMachine, kMachineRoot, "System Messages Enabled",
                      &enabled);
    settings.enabled = enabled == 1;
    ReadRegistryDword(qv::registry::Hive::LocalMachine, kMachineRoot, "System Messages Limit",
                      &settings.limit);
    g_settings = settings;
  }
  return *g_settings;
}

const char* SeverityWord(int severity) {
  switch (severity) {
    case kSeverityInformation: return "Information";
    case kSeverityWarning: return "Warning";
    case kSeverityCritical: return "Critical";
    default: return "";
  }
}

// "YYYY-MM-DDTHH:MM:SS" of the current UTC time.
std::string UtcTimestamp() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  return text;
}

bool IsDismissed(const pugi::xml_node& root, int messageNumber) {
  // The number is formatted here, so the expression's structure is fixed.
  std::string expression = "DismissedMessageIds/int[. = " + std::to_string(messageNumber) + "]";
  try {
    return static_cast<bool>(root.select_node(expression.c_str()));
  } catch (const pugi::xpath_exception&) {
    return false;
  }
}

// Holds the exclusive lock of the Messages folder for one post. Every post
// loads, changes and saves the whole file, so two posts that overlapped (from
// two threads or two processes) would each save without the other's message.
// The lock is taken on the folder itself, so no file is added beside
// "Messages.xml". Waits without time-out: a post holds it only briefly.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder)
      : fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    if (fd_ < 0) return;
    int result;
    do {
      result = ::flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

void PostMessage(int messageNumber, const char* text, int severity, const char* postoffice,
                 const char* mailbox) {
  MessageSettings settings = Settings();
  if (!settings.enabled) return;

  std::string configuration = GetConfigurationDirectory();
  if (configuration.empty()) return;  // no configuration directory: nowhere to keep them
  std::string folder = configuration + "/Messages";
  if (!CreateDirectoryPath(folder)) return;
  std::string file = folder + "/Messages.xml";
  FolderLock lock(folder);
  if (!lock.held()) return;

  pugi::xml_document document;
  pugi::xml_node messages;
  pugi::xml_parse_result loaded = document.load_file(file.c_str());
  if (loaded && document.document_element()) {
    pugi::xml_node root = document.document_element();
    if (IsDismissed(root, messageNumber)) return;
    messages = root.child("Messages");
    if (!messages) messages = root.append_child("Messages");
  } else {
    document.reset();
    messages = document.append_child("SystemMessages").append_child("Messages");
  }
  if (!messages) return;

  // Oldest last: drop from the end until the new message fits in the limit.
  std::size_t count = 0;
  for (pugi::xml_node child = messages.first_child(); child; child = child.next_sibling()) ++count;
  while (count > 0 && count >= settings.limit) {
    messages.remove_child(messages.last_child());
    --count;
  }

  pugi::xml_node message = messages.prepend_child("SystemMessage");
  message.append_attribute("id").set_value(messageNumber);
  message.append_child("Time").text().set(UtcTimestamp().c_str());
  message.append_child("Message").text().set(text ? text : "");
  message.append_child("Severity").text().set(SeverityWord(severity));
  if (postoffice && *postoffice) message.append_child("Postoffice").text().set(postoffice);
  if (mailbox && *mailbox) message.append_child("Mailbox").text().set(mailbox);

  std::ostringstream out;
  document.save(out, "\t", pugi::format_default, pugi::encoding_utf8);
  WriteFileAtomically(file, out.str());
}

}  // namespace

void PostSystemMessage(int messageNumber, const char* text, int severity, const char* postoffice,
                       const char* mailbox) {
  try {
    PostMessage(messageNumber, text, severity, postoffice, mailbox);
  } catch (...) {
    // Posting never fails its caller (out of memory included).
  }
}

void ResetSystemMessageSettingsForTesting() {
  std::lock_guard<std::mutex> lock(g_settingsMutex);
  g_settings.reset();
}

bool CreateDirectoryPath(const std::string& path) {
  if (path.empty()) return false;
  // Each prefix that ends before a "/" is one level; failures on the way are
  // ignored, the final check decides.
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), 0777);
  }
  ::mkdir(path.c_str(), 0777);
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

namespace {
std::atomic<long> g_failWritesAfter{-1};
}  // namespace

void FailAtomicWritesAfterForTesting(long bytes) { g_failWritesAfter = bytes; }

bool WriteFileAtomically(const std::string& path, std::string_view data) {
  if (path.empty()) return false;
  long failAfter = g_failWritesAfter.load();
  if (failAfter >= 0 && static_cast<std::size_t>(failAfter) < data.size()) {
    data = data.substr(0, static_cast<std::size_t>(failAfter));
  } else {
    failAfter = -1;
  }
  static std::atomic<unsigned> sequence{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(sequence++);
    // O_EXCL: never write into a file someone else is writing.
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;

  bool ok = true;
  const char* next = data.data();
  std::size_t left = data.size();
  while (ok && left > 0) {
    ssize_t written = ::write(fd, next, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      ok = false;
      break;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  if (failAfter >= 0) ok = false;  // the injected fault strikes after the bytes
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temp.c_str());
  return ok;
}

}  // namespace qvaiso
