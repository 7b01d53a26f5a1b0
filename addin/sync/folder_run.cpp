#include "addin/sync/folder_run.h"

#include <cmath>
#include <cstdlib>

#include "addin/log/activity_log.h"
#include "addin/server/protocol.h"
#include "addin/sync/batch.h"
#include "addin/sync/record_files.h"

namespace qvsync {

using qv::outlook::Error;

RowFields SplitRow(const std::string& row) {
  RowFields fields;
  fields.entryId = std::string(ConversionTable::Field(row, 1));
  fields.uid = std::string(ConversionTable::Field(row, 2));
  fields.date = std::string(ConversionTable::Field(row, 3));
  return fields;
}

int64_t StampOf(const std::string& text) {
  if (text.empty() || text.size() > 18) return 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  return end != nullptr && *end == '\0' ? value : 0;
}

Date ModifiedOf(const Variant& item) { return item.get("LastModificationTime").ToDate(); }

std::string ExchangedState(const Variant& item) {
  try {
    return FormatItemState(ItemState::Exchanged(ModifiedOf(item)));
  } catch (const Error&) {
    return "";  // not known: the table's time decides for this item
  }
}

ItemState RowState(const FolderRun& run, const std::string& entryId) {
  return ParseItemState(run.table.GetItemStateFromEntryID(entryId));
}

bool ChangedInOutlook(const FolderRun& run, const std::string& entryId, Date modified) {
  const ItemState state = RowState(run, entryId);
  if (state.known()) return state.ChangedBy(modified);
  const auto seconds = [](Date date) { return std::llround(date.serial * 86400.0); };
  return seconds(modified) > seconds(run.lastSyncTime) + 2;
}

void KeepRecordsOrStop(const FolderRun& run) {
  if (run.table.RowChangesLost())
    throw records::RecordsLost("the journal of the item ID table of " + run.folderName + " cannot be written");
}

void MarkOwed(FolderRun& run, const std::string& entryId) {
  const ItemState state = RowState(run, entryId);
  run.table.RecordItemState(entryId, "", FormatItemState(ItemState::Owed(state.owed() ? state.refusals : 0)));
  KeepRecordsOrStop(run);
}

void ChangeTaken(FolderRun& run, const std::string& entryId, const std::string& modified,
                 const std::string& sentState) {
  // A server that gives no stamp leaves the known one.
  run.table.RecordItemState(entryId, modified == "0" ? "" : modified, sentState);
}

void ChangeRefused(FolderRun& run, const std::string& entryId, const std::string& subject,
                   const std::string& reason, const std::string& sentState) {
  ++run.refused;
  const ItemState state = RowState(run, entryId);
  const int refusals = (state.owed() ? state.refusals : 0) + 1;
  if (refusals < kMaxRefusals) {
    LogMessage("Error: The server refused the changes of Outlook item [" + subject + "]. Reason: " + reason +
               ". They are sent again at the next synchronization.");
    run.table.RecordItemState(entryId, "", FormatItemState(ItemState::Owed(refusals)));
  } else {
    LogMessage("Error: The server refused the changes of Outlook item [" + subject + "]. Reason: " + reason +
               ". Refused " + std::to_string(refusals) +
               " times, they are not sent again until the item is changed in Outlook.");
    run.table.RecordItemState(entryId, "", sentState);
  }
}

void RecordAdd(FolderRun& run, const std::string& entryId, const PendingAdd& add) {
  if (!modBatch::RecordPendingAdd(run.messageClass, entryId, add.id, add.itemState))
    throw records::RecordsLost("the batch file of " + run.messageClass + " cannot be written");
  run.adds[entryId] = add;
}

std::string NewItemId(const FolderRun& run, const ServerItem& item, bool& addressName) {
  addressName = false;
  const int outlookClass = item.OutlookClass();
  std::string id = modBatch::BatchItemId(outlookClass, ItemFileName(item));
  if (outlookClass != kClassContact || id != item.Email1Address() + ".VCF") return id;
  bool taken = run.table.FindByUID(id) >= 0 || (run.listFetched && run.serverList.FindByEntryID(id) >= 0);
  for (const auto& [entryId, add] : run.adds) taken = taken || add.id == id;
  if (taken) return NewUniqueName() + ".VCF";
  addressName = true;
  return id;
}

}  // namespace qvsync
