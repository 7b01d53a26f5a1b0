#include "library/abuse/abuse.h"

#include <atomic>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "library/abuse/abuse_internal.h"
#include "library/support/messages.h"
#include "library/support/support.h"
#include "platform/registry/registry.h"

namespace qvaiso::abuse {
namespace {

using qv::registry::Hive;

constexpr const char* kSecurityKey = "SOFTWARE\\Quorvia\\Quorvia\\Security";
constexpr const char* kSmtpKey = "SOFTWARE\\Quorvia\\Quorvia\\CONNECTORS\\SMTP";
constexpr const char* kWhiteListKey = "SOFTWARE\\Quorvia\\Quorvia\\Connectors\\SMTP\\White List";
constexpr std::size_t kMaxPatternLength = 255;
constexpr int kAbuseDetectedMessage = 29;

uint32_t RealClock() { return static_cast<uint32_t>(std::time(nullptr)); }
std::atomic<uint32_t (*)()> g_clock{&RealClock};
uint32_t Now() { return g_clock.load()(); }

struct Settings {
  bool enabled = false;
  uint32_t threshold = 10;
  uint32_t maximumAge = 3600;       // seconds
  uint32_t purgeFrequency = 3600;   // seconds
};

Settings ReadSettings() {
  Settings settings;
  uint32_t status = 0;
  ReadRegistryDword(Hive::LocalMachine, kSecurityKey, "Abuse Detection Status", &status);
  settings.enabled = status == 1;
  ReadRegistryDword(Hive::LocalMachine, kSecurityKey, "Abuse Instance Threshold",
                    &settings.threshold);
  ReadRegistryDword(Hive::LocalMachine, kSecurityKey, "Abuse Instance Maximum Age",
                    &settings.maximumAge);
  ReadRegistryDword(Hive::LocalMachine, kSecurityKey, "Abuse Instance Purge Frequency",
                    &settings.purgeFrequency);
  return settings;
}

// Seconds from `then` to `now`; negative when the clock went back.
int64_t Elapsed(uint32_t now, uint32_t then) {
  return static_cast<int64_t>(now) - static_cast<int64_t>(then);
}

// The process's register: entries ordered by address text, the time of the
// last purge and the settings, all guarded by one mutex that every operation
// takes, waiting without time-out. Shared by every thread of the process.
class Register {
 public:
  Register() { Load(); }

  // Reads the settings and starts empty, as at the library's load.
  void Load() {
    Settings settings = ReadSettings();
    std::lock_guard<std::mutex> lock(mutex_);
    settings_ = settings;
    entries_.clear();
    lastPurge_ = Now();
  }

  Settings settings() {
    std::lock_guard<std::mutex> lock(mutex_);
    return settings_;
  }

  // Purge, then the counting rule. 1 below the threshold, 2 at or above it.
  int Report(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    uint32_t now = Now();
    PurgeLocked(now);
    auto [it, created] = entries_.try_emplace(address);
    AbuseEntry& entry = it->second;
    if (created) {
      entry.firstReport = now;
      entry.lastReport = now;
      entry.count = 0;
      return 1;
    }
    ++entry.count;
    entry.lastReport = now;
    return entry.count >= settings_.threshold ? 2 : 1;
  }

  bool Find(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(address);
    if (it == entries_.end()) return false;
    if (ExpiredLocked(it->second, Now())) {
      entries_.erase(it);
      return false;
    }
    return it->second.count >= settings_.threshold;
  }

  bool Remove(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.erase(address) > 0;
  }

  void Purge() {
    std::lock_guard<std::mutex> lock(mutex_);
    PurgeLocked(Now());
  }

  std::optional<AbuseEntry> Entry(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(address);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
  }

  std::size_t Size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
  }

 private:
  bool ExpiredLocked(const AbuseEntry& entry, uint32_t now) const {
    return Elapsed(now, entry.lastReport) >= static_cast<int64_t>(settings_.maximumAge);
  }

  // Due every Purge Frequency seconds, and whenever more than the capacity is
  // held: removes expired entries, and entries in address order, expired or
  // not, while more than the capacity remain.
  void PurgeLocked(uint32_t now) {
    bool overCapacity = entries_.size() > kCapacity;
    bool due = Elapsed(now, lastPurge_) >= static_cast<int64_t>(settings_.purgeFrequency);
    if (!overCapacity && !due) return;
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (ExpiredLocked(it->second, now) || entries_.size() > kCapacity) {
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
    lastPurge_ = now;
  }

  std::mutex mutex_;
  Settings settings_;
  std::map<std::string, AbuseEntry> entries_;
  uint32_t lastPurge_ = 0;
};

Register& TheRegister() {
  static Register instance;
  return instance;
}

// The register is created, and its settings read, when the library is loaded.
[[maybe_unused]] const bool g_loaded = (TheRegister(), true);

// True when whitelisting is on and a pattern of the White List key matches.
// Read at every report, outside the register's lock.
bool IsWhitelisted(std::string_view address) {
  uint32_t status = 0;
  if (!ReadRegistryDword(Hive::LocalMachine, kSmtpKey, "IP White Listing Status", &status) ||
      status != 1) {
    return false;
  }
  qv::registry::Key key;
  if (qv::registry::Key::Open(Hive::LocalMachine, kWhiteListKey, qv::registry::Access::Full,
                              &key) != qv::registry::Status::Ok) {
    return false;
  }
  std::vector<qv::registry::NamedValue> patterns;
  if (key.Values(&patterns) != qv::registry::Status::Ok) return false;
  for (const qv::registry::NamedValue& pattern : patterns) {
    if (pattern.name.size() > kMaxPatternLength) continue;
    // "QV-I0092: <address> is registered in the system whitelist and was
    // therefore excluded from checking" is the system's word for this case;
    // it is not logged.
    if (MatchesWhitelistPattern(address, pattern.name)) return true;
  }
  return false;
}

// The address as a string, or nullopt when null or absurdly long.
std::optional<std::string> AcceptAddress(const char* address) {
  if (address == nullptr) return std::nullopt;
  std::size_t length = strnlen(address, kMaxAddressLength + 1);
  if (length > kMaxAddressLength) return std::nullopt;
  return std::string(address, length);
}

}  // namespace

void ResetAbuseRegisterForTesting() { TheRegister().Load(); }

void SetClockForTesting(uint32_t (*clock)()) { g_clock = clock ? clock : &RealClock; }

std::optional<AbuseEntry> FindEntryForTesting(const std::string& address) {
  return TheRegister().Entry(address);
}

std::size_t EntryCountForTesting() { return TheRegister().Size(); }

}  // namespace qvaiso::abuse

using namespace qvaiso::abuse;

int AbuseRegister_AddEntry(const char* address, const char* reporter) {
  try {
    std::optional<std::string> accepted = AcceptAddress(address);
    if (!accepted) return 0;
    if (!TheRegister().settings().enabled) return 1;
    if (IsWhitelisted(*accepted)) return 0;
    int result = TheRegister().Report(*accepted);
    if (result == 2) {
      // Posted outside the register's lock: posting writes a file.
      std::string text = "Abuse detected from " + *accepted;
      if (reporter != nullptr && *reporter != '\0') text += std::string(" by ") + reporter;
      qvaiso::PostSystemMessage(kAbuseDetectedMessage, text.c_str(), qvaiso::kSeverityCritical,
                                nullptr, nullptr);
    }
    return result;
  } catch (...) {
    return 0;
  }
}

int AbuseRegister_FindEntryByIPAddress(const char* address) {
  try {
    std::optional<std::string> accepted = AcceptAddress(address);
    if (!accepted || !TheRegister().settings().enabled) return 0;
    return TheRegister().Find(*accepted) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int AbuseRegister_RemoveEntry(const char* address) {
  try {
    std::optional<std::string> accepted = AcceptAddress(address);
    if (!accepted || !TheRegister().settings().enabled) return 0;
    return TheRegister().Remove(*accepted) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

int AbuseRegister_PurgeEntries(void) {
  try {
    if (TheRegister().settings().enabled) TheRegister().Purge();
  } catch (...) {
  }
  return 1;
}
