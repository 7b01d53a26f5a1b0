// A profile file may be damaged: opening one must either give a working
// profile or the documented error, and a profile that opens must survive a
// walk over every folder and item.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/outlook/outlook.h"

namespace {

using namespace qv::outlook;

void Walk(const Variant& app, const Variant& folders) {
  const int32_t count = folders.get("Count").ToLong();
  for (int32_t i = 1; i <= count; ++i) {
    const Variant folder = folders.call("Item", i);
    for (const ItemSummary& summary : ListItems(folder)) {
      const Variant item = OpenItem(app, summary.entryId);
      DescribeItem(item);
      if (summary.itemClass == 26 || summary.itemClass == 48) {
        if (item.get("IsRecurring").ToBool()) item.call("GetRecurrencePattern").get("Interval");
      }
      if (summary.itemClass != 40) continue;
      Variant mail = app.call("CreateItem", 0);
      mail.get("Recipients").call("Add", summary.subject);
      mail.get("Recipients").call("ResolveAll");
    }
    Walk(app, folder.get("Folders"));
  }
}

}  // namespace

// The scratch profile of this process, removed again at exit.
struct ScratchFile {
  std::string path;
  ScratchFile() {
    const char* base = std::getenv("TMPDIR");
    path = std::string(base && *base ? base : "/tmp") + "/qv-fuzz-profile-" +
           std::to_string(getpid()) + ".db";
  }
  ~ScratchFile() { Clear(); }
  void Clear() const {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) std::remove((path + suffix).c_str());
  }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const ScratchFile scratch;
  const std::string& path = scratch.path;
  scratch.Clear();
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  }
  try {
    auto profile = Profile::Open(path);
    const Variant app = StartOutlook(profile);
    Walk(app, app.call("GetNamespace", "MAPI").get("Folders"));
  } catch (const Error& e) {
    if (e.number() != kErrCorruptProfile && e.number() != kErrFailed &&
        e.number() != kErrNotFound && e.number() != kErrTypeMismatch)
      std::abort();
  }
  return 0;
}
