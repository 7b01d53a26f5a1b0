// Helpers for a host that shows and edits the profile, built on the same
// late-bound interface the add-in uses.
#include "platform/outlook/objects.h"
#include "platform/outlook/text.h"

namespace qv::outlook {

namespace {

Variant NameSpaceOf(const Variant& application) { return application.call("GetNamespace", "MAPI"); }

void CollectPaths(const Variant& folders, std::vector<std::string>& out) {
  const int32_t count = folders.get("Count").ToLong();
  for (int32_t i = 1; i <= count; ++i) {
    const Variant folder = folders.call("Item", i);
    out.push_back(folder.get("FolderPath").ToText());
    CollectPaths(folder.get("Folders"), out);
  }
}

void CollectButtons(const Variant& controls, const std::string& path, std::vector<MenuCommand>& out) {
  const int32_t count = controls.get("Count").ToLong();
  for (int32_t i = 1; i <= count; ++i) {
    const Variant control = controls.call("Item", i);
    const std::string here = path + " > " + control.get("Caption").ToText();
    if (control.get("Type").ToLong() == 1) out.push_back({here, control});
    else CollectButtons(control.get("Controls"), here, out);
  }
}

// A failed assignment names the property: "Importance: Type mismatch".
void Apply(const Variant& item, const FieldTexts& fields) {
  for (const auto& [name, text] : fields) {
    try {
      item.put(name, text);
    } catch (const Error& e) {
      throw Error(e.number(), name + ": " + e.description());
    }
  }
}

}  // namespace

Variant FindFolder(const Variant& application, std::string_view path) {
  Variant folders = NameSpaceOf(application).get("Folders");
  Variant folder;
  size_t pos = 0;
  while (pos < path.size() && path[pos] == '\\') ++pos;
  if (pos == path.size()) throw Error(kErrNotFound);
  while (pos < path.size()) {
    size_t end = path.find('\\', pos);
    if (end == std::string_view::npos) end = path.size();
    folder = folders.call("Item", std::string(path.substr(pos, end - pos)));
    folders = folder.get("Folders");
    pos = end + 1;
  }
  return folder;
}

std::vector<std::string> ListFolderPaths(const Variant& application) {
  std::vector<std::string> out;
  CollectPaths(NameSpaceOf(application).get("Folders"), out);
  return out;
}

std::vector<ItemSummary> ListItems(const Variant& folder) {
  const Variant items = folder.get("Items");
  items.call("Sort", "[LastModificationTime]", true);
  const int32_t count = items.get("Count").ToLong();
  std::vector<ItemSummary> out;
  out.reserve(static_cast<size_t>(count));
  for (int32_t i = 1; i <= count; ++i) {
    const Variant item = items.call("Item", i);
    out.push_back({item.get("EntryID").ToText(), item.get("Class").ToLong(),
                   item.get("Subject").ToText(), item.get("LastModificationTime").ToDate()});
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> DescribeItem(const Variant& item) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& name : detail::PropertyNames(item.get("Class").ToLong())) {
    try {
      out.emplace_back(name, item.get(name).ToText());
    } catch (const Error&) {
      // left out, as a failed read is
    }
  }
  if (item.get("Class").ToLong() == detail::kClassDistList) {
    const int32_t count = item.get("MemberCount").ToLong();
    for (int32_t i = 1; i <= count; ++i) {
      const Variant member = item.call("GetMember", i);
      out.emplace_back("Member " + std::to_string(i),
                       member.get("Name").ToText() + " <" + member.get("Address").ToText() + ">");
    }
  }
  return out;
}

Variant AddItem(const Variant& folder, const FieldTexts& fields) {
  const Variant item = folder.get("Items").call("Add");
  Apply(item, fields);
  item.call("Save");
  return item;
}

void EditItem(const Variant& item, const FieldTexts& fields) {
  Apply(item, fields);
  item.call("Save");
}

void DeleteItem(const Variant& item) { item.call("Delete"); }

std::vector<MenuCommand> ListMenuCommands(const Variant& application) {
  std::vector<MenuCommand> out;
  const Variant explorer = application.get("ActiveExplorer");
  if (explorer.IsNothing()) return out;
  const Variant bars = explorer.get("CommandBars");
  const int32_t count = bars.get("Count").ToLong();
  for (int32_t i = 1; i <= count; ++i) {
    const Variant bar = bars.call("Item", i);
    CollectButtons(bar.get("Controls"), bar.get("Name").ToText(), out);
  }
  return out;
}

Variant OpenItem(const Variant& application, std::string_view entryId) {
  const Variant ns = NameSpaceOf(application);
  const Variant stores = ns.get("Folders");
  const int32_t count = stores.get("Count").ToLong();
  for (int32_t i = 1; i <= count; ++i) {
    try {
      return ns.call("GetItemFromID", std::string(entryId), stores.call("Item", i).get("StoreID"));
    } catch (const Error& e) {
      if (e.number() != kErrNotFound) throw;
    }
  }
  throw Error(kErrNotFound);
}

}  // namespace qv::outlook
