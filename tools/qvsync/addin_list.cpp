// Outlook's per-user add-in list and what the COM registration of each entry
// says, read the same way on every platform.
#include "platform/registry/registry.h"
#include "tools/qvsync/addin_loader.h"

namespace qvhost {

using qv::registry::Access;
using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;

namespace {

constexpr const char* kAddinsKey = "Software\\Microsoft\\Office\\Outlook\\Addins";

std::string ReadDefault(const std::string& path, const std::string& name = "") {
  Key key;
  std::string text;
  if (Key::Open(Hive::CurrentUser, path, Access::Read, &key) != Status::Ok) return "";
  if (key.GetString(name, &text) != Status::Ok) return "";
  return text;
}

}  // namespace

std::vector<AddinEntry> ReadAddinList() {
  std::vector<AddinEntry> entries;
  Key list;
  if (Key::Open(Hive::CurrentUser, kAddinsKey, Access::Read, &list) != Status::Ok) return entries;
  std::vector<std::string> progIds;
  list.Subkeys(&progIds);
  for (const std::string& progId : progIds) {
    AddinEntry entry;
    entry.progId = progId;
    Key addin;
    if (Key::Open(Hive::CurrentUser, std::string(kAddinsKey) + "\\" + progId, Access::Read, &addin) != Status::Ok) {
      continue;
    }
    addin.GetString("FriendlyName", &entry.friendlyName);
    addin.GetString("Description", &entry.description);
    addin.GetDword("LoadBehavior", &entry.loadBehavior);
    entry.clsid = ReadDefault("Software\\Classes\\" + progId + "\\CLSID");
    if (!entry.clsid.empty()) {
      const std::string clsidKey = "Software\\Classes\\CLSID\\" + entry.clsid;
      entry.library = ReadDefault(clsidKey + "\\InprocServer32");
      std::string libId = ReadDefault(clsidKey + "\\TypeLib");
      if (!libId.empty()) entry.libraryDescription = ReadDefault("Software\\Classes\\TypeLib\\" + libId + "\\1.0");
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace qvhost
