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
#include "platform/codepage/codepage.h"
#include "platform/files/files.h"

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
  // Texts come in the system code page; the file holds UTF-8. A text with a
  // character XML cannot hold (a control character) is not posted: the file
  // stays one that every parser reads.
  const std::string messageText = qv::codepage::ToUtf8(text ? text : "");
  const std::string postofficeText = qv::codepage::ToUtf8(postoffice ? postoffice : "");
  const std::string mailboxText = qv::codepage::ToUtf8(mailbox ? mailbox : "");
  if (!IsXmlText(messageText) || !IsXmlText(postofficeText) || !IsXmlText(mailboxText)) return;

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
  message.append_child("Message").text().set(messageText.c_str());
  message.append_child("Severity").text().set(SeverityWord(severity));
  if (!postofficeText.empty()) message.append_child("Postoffice").text().set(postofficeText.c_str());
  if (!mailboxText.empty()) message.append_child("Mailbox").text().set(mailboxText.c_str());

  WriteFileAtomically(file, XmlFileText(document));
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
  const long failAfter = g_failWritesAfter.load();
  if (failAfter >= 0 && static_cast<std::size_t>(failAfter) < data.size()) {
    // The injected fault: the bytes are written, then the save fails and
    // leaves the old file as it was.
    const std::string target = qv::files::ResolveLinks(path);
    const std::string scratch = target + ".tmp." + std::to_string(::getpid()) + ".fault";
    if (qv::files::ReplaceFile(scratch, data.substr(0, static_cast<std::size_t>(failAfter))) == 0) {
      ::unlink(scratch.c_str());
    }
    return false;
  }
  return qv::files::ReplaceFile(path, data) == 0;
}

namespace {

// Collects the text of a save, writing a CR in character data as "&#13;":
// the XML writer puts it out raw, and every parser reads a raw CR as LF.
// Character data is the only place a CR can be at this point: names cannot
// hold one, attributes are escaped by the writer, and CDATA is never made of
// text with a CR.
class XmlTextWriter : public pugi::xml_writer {
 public:
  void write(const void* data, size_t size) override {
    const char* bytes = static_cast<const char*>(data);
    for (size_t i = 0; i < size; ++i) {
      if (bytes[i] == '\r') {
        text.append("&#13;");
      } else {
        text.push_back(bytes[i]);
      }
    }
  }
  std::string text;
};

bool NextCodePoint(std::string_view text, std::size_t* at, char32_t* out) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char lead = byte(*at);
  int extra = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    value = lead;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    value = lead & 0x07;
  } else {
    return false;
  }
  if (*at + extra >= text.size()) return false;  // cut short
  for (int i = 1; i <= extra; ++i) {
    unsigned char next = byte(*at + i);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if ((extra == 2 && value < 0x800) || (extra == 3 && (value < 0x10000 || value > 0x10FFFF)) ||
      (value >= 0xD800 && value <= 0xDFFF)) {
    return false;
  }
  *at += extra + 1;
  *out = value;
  return true;
}

}  // namespace

std::string XmlFileText(const pugi::xml_document& document) {
  XmlTextWriter writer;
  document.save(writer, "\t", pugi::format_default, pugi::encoding_utf8);
  return std::move(writer.text);
}

bool IsXmlText(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    char32_t c = 0;
    if (!NextCodePoint(text, &at, &c)) return false;
    bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                   (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    if (!allowed) return false;
  }
  return true;
}

}  // namespace qvaiso
