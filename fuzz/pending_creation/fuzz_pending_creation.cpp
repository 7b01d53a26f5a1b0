// The recovery of the records a killed run left in a conversion table (read
// back from its journal, so any bytes) against an Outlook folder. The input
// is the table's rows, one per line; "@T" in it stands for the time now in
// the records' form, so that records can meet the folder's items.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "addin/sync/conversion_table.h"
#include "addin/sync/pending_creation.h"
#include "platform/outlook/outlook.h"

namespace {

using qv::outlook::Variant;

// A Tasks folder with a few items, some of whose names the inputs may use.
struct Folder {
  Folder() {
    char pattern[] = "/tmp/qvfuzz-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (dir == nullptr) __builtin_trap();
    profile = qv::outlook::Profile::Open(std::string(dir) + "/profile.db");
    application = qv::outlook::StartOutlook(profile);
    tasks = application.call("GetNamespace", "MAPI").call("GetDefaultFolder", 13);
    for (const char* subject : {"A", "B C", "A", ""}) {
      Variant item = qv::outlook::AddItem(tasks, {{"Subject", subject}});
      entryIds.insert(item.get("EntryID").ToText());
    }
  }
  std::shared_ptr<qv::outlook::Profile> profile;
  Variant application;
  Variant tasks;
  std::set<std::string> entryIds;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Folder folder;
  static const std::string now =
      std::to_string(static_cast<long long>(qv::outlook::LocalNow().serial * 86400.0));
  std::string input(reinterpret_cast<const char*>(data), size);
  for (size_t at = input.find("@T"); at != std::string::npos; at = input.find("@T", at + now.size()))
    input.replace(at, 2, now);
  std::vector<std::string> rows;
  std::string_view text(input);
  while (!text.empty() && rows.size() < 64) {
    const size_t end = text.find('\n');
    rows.emplace_back(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
  }
  size_t records = 0;
  for (const std::string& row : rows) records += qvsync::IsPendingCreationRow(row);

  qvsync::ConversionTable table(rows);
  const size_t tied = qvsync::RecoverPendingCreations(table, folder.tasks);
  if (tied > records || table.size() != rows.size()) __builtin_trap();
  std::set<std::string> taken;
  for (size_t i = 0; i < table.size(); ++i) {
    const std::string& row = table.rows()[i];
    // No record is left, and only records changed.
    if (qvsync::IsPendingCreationRow(row)) __builtin_trap();
    if (row == rows[i]) continue;
    if (!qvsync::IsPendingCreationRow(rows[i])) __builtin_trap();
    if (row == "\t\t") continue;
    // A record tied: to an item of the folder no other row had, once.
    const std::string entryId(qvsync::ConversionTable::Field(row, 1));
    if (folder.entryIds.count(entryId) == 0 || !taken.insert(entryId).second) __builtin_trap();
  }
  return 0;
}
