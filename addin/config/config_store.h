// The configuration store (modConfig): SyncConfig to and from the current
// user's registry key "SOFTWARE\Quorvia\Outlook Sync\Default", the small
// registry layer it reads and writes through, the default data directory, and
// the names of the message stores open in Outlook.
//
// The registry functions carry a host name as they always have; the add-in
// passes an empty one everywhere. Any other host is refused here: the route to
// another machine's registry through the outside setting component is not
// provided, since nothing in the add-in uses it.
//
// Everything runs on the host's user-interface thread.
#ifndef QVSYNC_CONFIG_CONFIG_STORE_H
#define QVSYNC_CONFIG_CONFIG_STORE_H

#include <cstdint>
#include <string>
#include <vector>

#include "addin/config/sync_config.h"
#include "platform/outlook/outlook.h"

namespace qvsync {

// The add-in's key under HKEY_CURRENT_USER (the profile subkey included).
inline constexpr const char* kConfigKey = "SOFTWARE\\Quorvia\\Outlook Sync\\Default";

// The shell folder identifier of the per-user application-data folder.
inline constexpr int kCsidlAppData = 26;

// Fills Config() and StoreNames() from the registry (see the field table of
// SyncConfig). Returns 1 when "Host", "Username" and "Password" are all present
// and non-empty, else 0. Clears the synchronisation's cancel flag. Shows the
// profile warning when the chosen store's name no longer matches.
int LoadConfig();

// Writes Config() back and logs the main settings. A blank password keeps the
// stored one.
void SaveConfig();
// Writes Config().password alone, as SaveConfig does: encrypted through
// QVAISO (in clear when QVAISO cannot be had); a blank password is not written.
void SavePassword();

// The display names of the message stores open in Outlook, in Outlook's order,
// as the last LoadConfig found them.
std::vector<std::string>& StoreNames();

// The MAPI namespace LoadConfig lists the stores of; set at connection.
void SetConfigNamespace(const qv::outlook::Variant& mapiNamespace);

// ---- Registry layer (HKEY_CURRENT_USER) ----

// Text of a value, "" when missing; a REG_DWORD reads as its decimal text.
std::string ReadStringSetting(const std::string& host, const std::string& key, const std::string& name);
// Number of a REG_DWORD value; `defaultValue` when missing or of another type.
int32_t ReadDwordSetting(const std::string& host, const std::string& key, const std::string& name,
                         int32_t defaultValue);
// Writes, creating the key when missing; true on success.
bool WriteStringSetting(const std::string& host, const std::string& key, const std::string& name,
                        const std::string& text);
bool WriteDwordSetting(const std::string& host, const std::string& key, const std::string& name,
                       int32_t number);

// The path of a shell folder (only kCsidlAppData is known), created when it
// does not exist yet. When the shell cannot give it, the fallback folder is
// created and returned; "" when there is none either.
std::string GetSpecialFolderPath(int folderId);
// The fallback folder, "C:\Quorvia" on Windows: here $HOME/Quorvia. Without
// a home, "": never a shared, world-writable folder.
std::string FallbackSpecialFolder();

// The fixed nine-digit pass phrase of the stored password, formed at run time.
std::string PassPhrase();

}  // namespace qvsync

#endif
