// The recovery of adds a failed run left in the batch file: those the server
// has got their rows, those it has not are sent again by this run (whatever
// their times); and, at the end of every run, the batch file rewritten with
// the adds still out.
#include <string>
#include <utility>
#include <vector>

#include "addin/log/activity_log.h"
#include "addin/server/protocol.h"
#include "addin/sync/batch.h"
#include "addin/sync/folder_run.h"
#include "addin/sync/progress.h"
#include "addin/sync/record_files.h"
#include "addin/sync/synchronize.h"
#include "platform/codepage/codepage.h"
#include "platform/ui/ui.h"

namespace qvsync {

bool RecoverFailedBatch(FolderRun& run) {
  LogMessage("Error: A batch file from last synchronisation attempt found. The utility will try to fix.");
  qv::ui::ShowMessage("The last synchronisation failed. The items from last batch will be confirmed with server.",
                      "Warning", qv::ui::Buttons::OK, qv::ui::Icon::Information);
  std::vector<std::string> rows;
  const qv::outlook::DateParts since = qv::outlook::SplitDate(modSynchronize::SinceDate);
  if (GetItemListFromServer(rows, run.messageClass,
                            {since.year, since.month, since.day, since.hour, since.minute, since.second}) != 1) {
    LogMessage("Error: Failed to get the list of : " + run.messageClass + " from the server. Operation aborted!");
    CloseSyncProgress();
    return false;
  }
  LogMessage("Retrieved list of items from the server for comparison to local.");
  // The list also tells which contact addresses already name a server item.
  run.serverList.Assign(std::move(rows));
  run.listFetched = true;

  modBatch::FailedBatch failed;
  if (modBatch::LoadFailedBatch(failed, run.messageClass)) {
    std::vector<modBatch::AddLine> lines;
    for (const auto& [id, line] : failed) lines.push_back(modBatch::ReadAddLine(line));
    modBatch::ConfirmFailedBatch(failed, run.serverList, run.table);
    for (const modBatch::AddLine& line : lines) {
      if (line.entryId.empty() || line.id.empty()) continue;
      PendingAdd add;
      add.id = line.id;
      add.itemState = line.itemState;
      // What is left in `failed` never reached the server: it goes again.
      add.status = failed.count(line.id) != 0 ? PendingAdd::Status::kOut : PendingAdd::Status::kConfirmed;
      PendingAdd& kept = run.adds[line.entryId];
      if (kept.id.empty() || add.status == PendingAdd::Status::kOut) kept = add;
    }
    if (!failed.empty()) {
      LogMessage("There are " + std::to_string(failed.size()) +
                 " items which have to be sent to server from last failed batch.");
    }
  }
  // The adds still out stay recorded until they are confirmed.
  KeepAddsStillOut(run);
  SaveUIDToEntryIDMappings(run.table, run.folderName, false);
  run.table.Clear();
  GetUIDToEntryIDMappings(run.table, run.folderName);
  return true;
}

void KeepAddsStillOut(FolderRun& run) {
  std::string text;
  for (const auto& [entryId, add] : run.adds) {
    if (add.status != PendingAdd::Status::kOut) continue;
    std::string line = "ADD\t" + entryId + "\t" + add.id;
    if (!add.itemState.empty()) line += "\t" + add.itemState;
    text += qv::codepage::FromUtf8(line) + "\r\n";
  }
  if (text.empty()) {
    modBatch::DeleteBatchFile(run.messageClass);
  } else if (!records::Replace(modBatch::BatchFilePath(run.messageClass), text)) {
    throw records::RecordsLost("the batch file of " + run.messageClass + " cannot be written");
  }
}

}  // namespace qvsync
