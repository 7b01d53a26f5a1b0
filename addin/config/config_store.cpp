#include "addin/config/config_store.h"

#include <cstdlib>

#include "addin/config/qvaiso_binding.h"
#include "addin/log/activity_log.h"
#include "addin/sync/progress.h"
#include "platform/registry/registry.h"
#include "platform/shell/shell.h"
#include "platform/ui/ui.h"

namespace qvsync {

using qv::registry::Access;
using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;
using qv::registry::Value;
using qv::registry::ValueType;

namespace {

qv::outlook::Variant& ConfigNamespace() {
  static qv::outlook::Variant mapiNamespace;
  return mapiNamespace;
}

// Only this machine's registry is reachable: an empty host or "LOCALHOST".
bool IsLocalHost(const std::string& host) {
  if (host.empty()) return true;
  std::string upper;
  for (char c : host) upper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  return upper == "LOCALHOST";
}

// A text setting replaces the field only when it is non-empty.
void ReadTextInto(const char* name, std::string& field) {
  std::string text = ReadStringSetting("", kConfigKey, name);
  if (!text.empty()) field = text;
}

// The path separator joins a folder and a name.
std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace

std::vector<std::string>& StoreNames() {
  static std::vector<std::string> names;
  return names;
}

void SetConfigNamespace(const qv::outlook::Variant& mapiNamespace) { ConfigNamespace() = mapiNamespace; }

std::string ReadStringSetting(const std::string& host, const std::string& key, const std::string& name) {
  if (!IsLocalHost(host)) return "";
  Key handle;
  if (Key::Open(Hive::CurrentUser, key, Access::Full, &handle) != Status::Ok) return "";
  Value value;
  if (handle.Get(name, &value) != Status::Ok) return "";
  if (value.type == ValueType::Dword) return std::to_string(value.AsDword());
  if (value.type != ValueType::String && value.type != ValueType::ExpandString) return "";
  std::string text = value.data;
  if (size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

int32_t ReadDwordSetting(const std::string& host, const std::string& key, const std::string& name,
                         int32_t defaultValue) {
  if (!IsLocalHost(host)) return defaultValue;
  Key handle;
  if (Key::Open(Hive::CurrentUser, key, Access::Read, &handle) != Status::Ok) return defaultValue;
  uint32_t number = 0;
  if (handle.GetDword(name, &number) != Status::Ok) return defaultValue;
  return static_cast<int32_t>(number);
}

bool WriteStringSetting(const std::string& host, const std::string& key, const std::string& name,
                        const std::string& text) {
  if (!IsLocalHost(host)) return false;
  Key handle;
  if (Key::Create(Hive::CurrentUser, key, &handle) != Status::Ok) return false;
  return handle.SetString(name, text) == Status::Ok;
}

bool WriteDwordSetting(const std::string& host, const std::string& key, const std::string& name,
                       int32_t number) {
  if (!IsLocalHost(host)) return false;
  Key handle;
  if (Key::Create(Hive::CurrentUser, key, &handle) != Status::Ok) return false;
  return handle.SetDword(name, static_cast<uint32_t>(number)) == Status::Ok;
}

std::string FallbackSpecialFolder() {
  // Never a shared folder such as /tmp: another account could plant files
  // there or read the conversion tables.
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home != '/') return "";
  std::string folder = Join(home, "Quorvia");
  qv::shell::CreateFolder(folder);
  return folder;
}

std::string GetSpecialFolderPath(int folderId) {
  std::string path = folderId == kCsidlAppData ? qv::shell::ApplicationDataFolder() : "";
  if (path.empty()) return FallbackSpecialFolder();
  // The shell's folder always exists; a fresh XDG data folder may not yet.
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    qv::shell::CreateFolder(path.substr(0, slash));
  }
  qv::shell::CreateFolder(path);
  return path;
}

std::string PassPhrase() {
  // Nine decimal digits from a constant of our own; the same for every
  // installation, so a stored password reads back wherever it was written.
  constexpr uint32_t kKeyNumber = 0x1C2B3A49u;
  static_assert(kKeyNumber >= 100000000u && kKeyNumber <= 999999999u, "nine digits");
  return std::to_string(kKeyNumber);
}

int LoadConfig() {
  SyncConfig& config = Config();
  int result = 1;

  // 1-2. The three required texts; the password decrypted when it can be.
  for (const char* name : {"Host", "Username", "Password"}) {
    std::string text = ReadStringSetting("", kConfigKey, name);
    if (text.empty()) {
      result = 0;
      continue;
    }
    if (std::string(name) == "Host") {
      config.host = text;
    } else if (std::string(name) == "Username") {
      config.username = text;
    } else {
      std::string plain;
      config.password = CallDecryptString(PassPhrase(), text, &plain) == 1 ? plain : text;
    }
  }

  // 3-5. Optional texts; the data directory defaults under application data.
  ReadTextInto("HTTP Version", config.httpVersion);
  std::string dataDirectory = ReadStringSetting("", kConfigKey, "Data Directory");
  if (dataDirectory.empty()) {
    std::string base = GetSpecialFolderPath(kCsidlAppData);
    if (base.empty()) {
      // No folder of the user's is known: no data directory rather than a
      // shared one. Said once per process; the log says it whenever it is on.
      static bool told = false;
      LogMessage("Failure: no folder for the synchronization data could be found (no application-data or home "
                 "folder); set \"Data Directory\"",
                 5);
      if (!told) {
        told = true;
        qv::ui::ShowMessage(
            "No folder could be found for the synchronization data: neither an application data folder nor a home "
            "folder is known. Set \"Data Directory\" in the registry to a folder of your own.",
            "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Critical);
      }
    } else {
      qv::shell::CreateFolder(Join(base, "Quorvia"));
      qv::shell::CreateFolder(Join(Join(base, "Quorvia"), "QvSync"));
      dataDirectory = Join(Join(base, "Quorvia"), "QvSync");
    }
  }
  config.dataDirectory = dataDirectory;
  ReadTextInto("Root Folder Name", config.rootFolderName);
  ReadTextInto("Request URL", config.requestUrl);

  // 6. The numbers, with their defaults.
  config.contactSyncMode = ReadDwordSetting("", kConfigKey, "Contact Sync Mode", 1);
  config.calendarSyncMode = ReadDwordSetting("", kConfigKey, "Calendar Sync Mode", 1);
  config.taskSyncMode = ReadDwordSetting("", kConfigKey, "Task Sync Mode", 1);
  config.rootFolderIndex = ReadDwordSetting("", kConfigKey, "Root Folder Index", 0);
  config.troubleshootingMode = ReadDwordSetting("", kConfigKey, "Troubleshooting Mode", 0);
  config.batchMode = ReadDwordSetting("", kConfigKey, "Batch Mode", 1);
  config.direction = ReadDwordSetting("", kConfigKey, "Direction", 0);
  config.syncOnStartUp = ReadDwordSetting("", kConfigKey, "Sync On StartUp", 0);
  config.syncOnShutdown = ReadDwordSetting("", kConfigKey, "Sync On Shutdown", 0);
  config.deletionGuard = ReadDwordSetting("", kConfigKey, "Deletion Guard", 1);
  config.timeZoneSource = ReadDwordSetting("", kConfigKey, "Time Zone Source", 0);
  config.restrict = ReadDwordSetting("", kConfigKey, "Restrict", 0);
  config.restrictValue = ReadDwordSetting("", kConfigKey, "RestrictValue", 14);

  // 7. The stores open in Outlook.
  std::vector<std::string>& names = StoreNames();
  names.clear();
  try {
    if (!ConfigNamespace().IsEmpty()) {
      qv::outlook::Variant folders = ConfigNamespace().get("Folders");
      int32_t count = folders.get("Count").ToLong();
      for (int32_t i = 1; i <= count; ++i) names.push_back(folders.get("Item", i).get("Name").ToText());
    }
  } catch (const qv::outlook::Error&) {
    // The stores that could be listed stay listed.
  }

  // 8. A new command starts uncancelled.
  SyncCancelled = false;

  // 9. The chosen store must still be the one of that name. An index beyond
  // the open stores names no store at all, which is just as much a change.
  if (config.rootFolderIndex != 0) {
    const int32_t index = config.rootFolderIndex;
    const bool known = index >= 1 && index <= static_cast<int32_t>(names.size());
    if (!known || names[static_cast<size_t>(index - 1)] != config.rootFolderName) {
      qv::ui::ShowMessage(
          "Warning: Your Outlook profile may have been recently updated. Please reconfigure your settings to "
          "ensure that you are synchronizing the correct folder",
          "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
    }
  }
  return result;
}

void SavePassword() {
  const SyncConfig& config = Config();
  if (config.password.find_first_not_of(' ') == std::string::npos) return;
  std::string cipher;
  if (CallEncryptString(PassPhrase(), config.password, &cipher) == 1) {
    WriteStringSetting("", kConfigKey, "Password", cipher);
  } else {
    WriteStringSetting("", kConfigKey, "Password", config.password);
  }
}

void SaveConfig() {
  SyncConfig& config = Config();
  WriteStringSetting("", kConfigKey, "Host", config.host);
  LogMessage("Config Setting: Host = " + config.host, 5);
  WriteStringSetting("", kConfigKey, "Username", config.username);
  LogMessage("Config Setting: Username = " + config.username, 5);
  if (config.httpVersion.empty()) {
    LogMessage("Config Setting: Using HTTP/1.1", 5);
  } else {
    LogMessage("Config Setting: Using " + config.httpVersion, 5);
  }
  if (!config.requestUrl.empty()) LogMessage("Config Setting: Request URL = " + config.requestUrl, 5);

  SavePassword();

  if (config.rootFolderIndex != 0) {
    WriteStringSetting("", kConfigKey, "Root Folder Name", config.rootFolderName);
    const std::vector<std::string>& names = StoreNames();
    const int32_t index = config.rootFolderIndex;
    std::string shown = index >= 1 && index <= static_cast<int32_t>(names.size())
                            ? names[static_cast<size_t>(index - 1)]
                            : config.rootFolderName;
    LogMessage("Config Setting: Outlook Root Folder = " + shown, 5);
  } else {
    WriteStringSetting("", kConfigKey, "Root Folder Name", "");
    LogMessage("Config Setting: Outlook Root Folder = Default Message Store", 5);
  }

  WriteDwordSetting("", kConfigKey, "RestrictValue", config.restrictValue);
  WriteDwordSetting("", kConfigKey, "Restrict", config.restrict);
  WriteDwordSetting("", kConfigKey, "Troubleshooting Mode", config.troubleshootingMode);
  WriteDwordSetting("", kConfigKey, "Root Folder Index", config.rootFolderIndex);
  WriteDwordSetting("", kConfigKey, "Contact Sync Mode", config.contactSyncMode);
  WriteDwordSetting("", kConfigKey, "Calendar Sync Mode", config.calendarSyncMode);
  WriteDwordSetting("", kConfigKey, "Task Sync Mode", config.taskSyncMode);
  WriteDwordSetting("", kConfigKey, "Direction", config.direction);
  WriteDwordSetting("", kConfigKey, "Sync On StartUp", config.syncOnStartUp);
  WriteDwordSetting("", kConfigKey, "Sync On Shutdown", config.syncOnShutdown);
}

}  // namespace qvsync
