// Any XML onto an appointment, a contact, a task and a distribution list of the
// emulated Outlook (the profile lives in a temporary file for the whole run).
// The first byte picks the class and whether the wrapper library is used.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "addin/codec/item_codec.h"
#include "addin/config/sync_config.h"

namespace {

using qv::outlook::Variant;

struct World {
  std::shared_ptr<qv::outlook::Profile> profile;
  Variant app;
  Variant contacts;
  qvsync::ConversionTable table;

  World() {
    const char* base = std::getenv("TMPDIR");
    const std::string path = std::string(base && *base ? base : "/tmp") + "/qv-fuzz-item-xml-" +
                             std::to_string(getpid()) + ".db";
    ::unlink(path.c_str());
    profile = qv::outlook::Profile::Open(path);
    ::unlink(path.c_str());  // the open connection keeps it while the run lasts
    profile->SetWrapperLibraryInstalled(true);
    app = qv::outlook::StartOutlook(profile, qv::outlook::StartMode::Automation);
    contacts = app.call("GetNamespace", "MAPI").call("GetDefaultFolder", 10);
    for (const char* name : {"Ann Lee", "Bob Ray"}) {
      Variant c = contacts.get("Items").call("Add");
      c.put("FullName", name);
      c.call("Save");
      table.AddItemIdConversion(std::string(name, 3) + ".VCF", c.get("EntryID").ToText(), "1");
    }
    qvsync::Config().timeZoneSource = 0;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World world;
  if (size == 0) return 0;
  const std::string xml(reinterpret_cast<const char*>(data) + 1, size - 1);
  static const int kTypes[] = {1, 2, 3, 7};
  const int type = kTypes[data[0] & 3];
  qvsync::UseRedemption = (data[0] & 4) != 0;
  Variant item =
      type == 7 ? world.contacts.get("Items").call("Add", 7) : world.app.call("CreateItem", type);
  Variant access = item;
  if (qvsync::UseRedemption) {
    access = world.app.call("CreateObject", type == 1   ? "Redemption.SafeAppointmentItem"
                                            : type == 2 ? "Redemption.SafeContactItem"
                                            : type == 3 ? "Redemption.SafeTaskItem"
                                                        : "Redemption.SafeDistList");
    access.put("Item", item);
  }
  const int32_t result = qvsync::DeserializeItem(xml, access, world.contacts, &world.table);
  if (result != 0 && result != 1) __builtin_trap();
  if (type != 7 && result != 1) __builtin_trap();
  // Whatever was read must serialise again.
  (void)qvsync::SerializeItem("X", access, &world.table);
  // Distribution lists are saved by their member operations: remove them for good.
  if (type == 7 && !item.get("EntryID").ToText().empty()) {
    const std::string id = item.get("EntryID").ToText();
    item.call("Delete");
    world.app.call("GetNamespace", "MAPI").call("GetItemFromID", id).call("Delete");
  }
  return 0;
}
