// The client-to-server pass: the walk over the Outlook folder, newest first,
// that sends every item changed in Outlook since it was last exchanged with
// the server as an ADD or EDIT (or queues it in batch mode), and afterwards
// the changes owed to the server that the walk did not reach.
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "addin/codec/item_codec.h"
#include "addin/log/activity_log.h"
#include "addin/server/protocol.h"
#include "addin/sync/batch.h"
#include "addin/sync/folder_run.h"
#include "addin/sync/item_access.h"
#include "addin/sync/progress.h"
#include "addin/sync/record_files.h"
#include "addin/sync/synchronize.h"

namespace qvsync {

using qv::outlook::Error;
using Outcome = ChangeResult::Outcome;

namespace {

// An Outlook item to delete, decided by the pass and carried out once the
// pass has made all its decisions (deleting while walking would shift the
// positions of the sorted collection).
struct LocalDeletion {
  Variant item;
  std::string uid;
};

// The items go with their rows, unless the guard holds them back (`tied`:
// the rows tying items to the server when the pass began).
void CarryOutLocalDeletions(FolderRun& run, std::vector<LocalDeletion>& deletions, size_t tied) {
  if (!deletions.empty() && run.guard.Allows(DeletionSide::Outlook, deletions.size(), tied)) {
    for (LocalDeletion& deletion : deletions) {
      // The item first: a run that dies in between leaves a row whose item
      // is in "Deleted Items", which the next run clears; the other way round
      // it would leave an item no row knows, added again as new.
      try {
        deletion.item.call("Delete");
        run.table.RemoveItemIdConversionByUID(deletion.uid);
      } catch (const Error&) {
      }
    }
  }
  deletions.clear();
}

void LogSkipped(int32_t i, int32_t number, const std::string& description) {
  LogMessage("Item " + std::to_string(i) + " was skipped because error: " + std::to_string(number) +
             " occured when attempting to access the object. The desctiption of the error was: " + description);
}

bool IsList(const Variant& item) { return LongOf(item, "Class") == kClassDistributionList; }

// Sends (or queues) the edit of an item the server knows as `uid`.
void SendEdit(FolderRun& run, const Variant& item, const Variant& access, const std::string& entryId,
              const std::string& uid, const std::string& subject, std::vector<LocalDeletion>& deletions) {
  if (modBatch::IsBatchMode()) {
    if (modBatch::QueueInRun(run, "EDIT", access, uid, "") == 0 && IsList(item)) {
      // Owed all the same: no pull of the server's version may overwrite it.
      MarkOwed(run, entryId);
      run.deferredLists.push_back(entryId);
    }
    return;
  }
  LogMessage("Updating Outlook Item to Server: " + subject);
  std::unique_ptr<ServerItem> serverItem = MakeServerItem(access, &run.table, run.folder);
  const std::string state = ExchangedState(item);
  // Owed before it goes out: when no answer comes (or the run dies), the
  // next run sends it again whatever the times.
  MarkOwed(run, entryId);
  const ChangeResult result = ChangeItemOnServer(uid, *serverItem);
  switch (result.outcome) {
    case Outcome::kTaken:
      ChangeTaken(run, entryId, result.modified, state);
      break;
    case Outcome::kRemoved:
      LogMessage("Outlook Item [" + subject +
                 "] could not be edited on server because it has been removed from the server. Deleting "
                 "local item");
      SetSyncStatus("Removing local item: " + subject);
      deletions.push_back({item, uid});
      break;
    case Outcome::kRefused:
      ChangeRefused(run, entryId, subject, result.reason, state);
      break;
    case Outcome::kUnanswered:
      run.unanswered = true;
      LogMessage("Error: The server did not answer the changes of Outlook item [" + subject +
                 "]; they are sent again at the next synchronization.");
      break;
    case Outcome::kNotSent:
      // A list with a member the server does not know yet: tried again once
      // the adds of this run are in, owed until then.
      run.deferredLists.push_back(entryId);
      break;
  }
}

// Sends (or queues) the add of an item the server does not know; under
// `givenId` when it went before and its answer was lost.
void SendAdd(FolderRun& run, const Variant& item, const Variant& access, const std::string& entryId,
             const std::string& subject, std::string givenId) {
  if (modBatch::IsBatchMode()) {
    if (modBatch::QueueInRun(run, "ADD", access, "", "", givenId) == 0 && IsList(item))
      run.deferredLists.push_back(entryId);
    return;
  }
  std::unique_ptr<ServerItem> serverItem = MakeServerItem(access, &run.table, run.folder);
  // A list is sent once all its members are known to the server; its line is
  // written only for what goes out.
  if (IsList(item) && serverItem->SerializeItem("").empty()) {
    run.deferredLists.push_back(entryId);
    return;
  }
  const std::string state = ExchangedState(item);
  // An address-made name the server refuses (it names another item there)
  // gives way to a new unique name, once.
  for (int attempt = 1; attempt <= 2; ++attempt) {
    PendingAdd add;
    add.id = givenId.empty() ? NewItemId(run, *serverItem, add.addressName) : givenId;
    add.itemState = state;
    // Sent under a new name recorded first in the batch file: when the run
    // dies before the answer, the next run finds the item on the server
    // under that name instead of adding it a second time.
    RecordAdd(run, entryId, add);
    const ChangeResult result = AddItemOnServer(*serverItem, add.id);
    PendingAdd& sent = run.adds[entryId];
    if (result.outcome == Outcome::kTaken) {
      run.table.AddItemIdConversion(result.uid, entryId, result.modified.empty() ? "0" : result.modified, state);
      sent.status = PendingAdd::Status::kConfirmed;
      return;
    }
    LogMessage("Server Issue occured adding: " + subject + ". Server Data=");
    if (result.outcome == Outcome::kUnanswered) {
      run.unanswered = true;  // its line stays for the next run's recovery
      sent.answerLost = true;
      return;
    }
    // Refused (or nothing to send after all): nothing of it is on the server,
    // and its line goes at once.
    sent.status = PendingAdd::Status::kDropped;
    KeepAddsStillOut(run);
    if (result.outcome != Outcome::kRefused) return;
    if (!add.addressName) {
      ++run.refused;
      return;
    }
    givenId = NewUniqueName() + ".VCF";
  }
  ++run.refused;
}

}  // namespace

void ClientToServerPass(FolderRun& run) {
  ShowSyncProgress();
  int32_t count = 0;
  try {
    count = run.items.get("Count").ToLong();
  } catch (const Error&) {
  }
  LogMessage("Synchronizing " + run.messageClass + " Client->Server (" + std::to_string(count) + " items)");
  if (count > 0) SetSyncProgressMax(count);

  std::vector<LocalDeletion> deletions;
  const size_t tiedAtStart = TiedRows(run.table);
  const int64_t lastSync = std::llround(run.lastSyncTime.serial * 86400.0);

  for (int32_t i = 1; i <= count; ++i) {
    SetSyncProgressValue(i);
    if (SyncCancelled) {
      LogMessage("Synchronization was aborted by the user");
      break;
    }
    Variant item;
    Date modified;
    try {
      item = run.items.call("Item", i);
      modified = ModifiedOf(item);
    } catch (const Error& e) {
      LogSkipped(i, e.number(), e.description());
      continue;
    }
    if (modified < modSynchronize::SinceDate) break;  // every later item is older still

    Variant access;
    try {
      access = AccessObjectFor(item);
    } catch (const Error& e) {
      LogSkipped(i, e.number(), e.description());
      continue;
    }
    if (access.IsEmpty() || access.IsNothing()) {
      LogSkipped(i, 0, "");
      continue;
    }

    try {
      const std::string subject = TextOf(access, "Subject");
      const std::string entryId = TextOf(item, "EntryID");
      if (LogEnabled())
        LogMessage("Item " + std::to_string(i) + " [" + subject + "] with EID=" + entryId + " is being validated");
      SetSyncStatus("Validating Object: " + subject);
      run.walked.insert(entryId);

      const std::string uid = run.table.GetUIDFromEntryID(entryId);
      if (!uid.empty()) {
        if (ChangedInOutlook(run, entryId, modified)) {
          SendEdit(run, item, access, entryId, uid, subject, deletions);
          continue;
        }
        if (LogEnabled())
          LogMessage("Outlook Item [" + subject +
                     "] is already synchronized. (It exists in the conversion table but was not validated against "
                     "the server because it has not been changed since the last successful server "
                     "synchronization)");
        // A row from before items kept their own state learns it now.
        if (!RowState(run, entryId).known()) run.table.RecordItemState(entryId, "", ExchangedState(item));
        continue;
      }

      if (std::llround(modified.serial * 86400.0) <= lastSync + 2) {
        LogMessage("Item " + std::to_string(i) + " [" + subject +
                   "] is in an unknown state because it was modified before the last sync time, but does not exist "
                   "in the conversion table. This is an error because the item does not exist in the conversion "
                   "file, but does exist in Outlook with a modified date before the filestamp date of the "
                   "conversion file.");
      }
      LogMessage("Item " + std::to_string(i) + " [" + subject + "] is being added to the server");
      SetSyncStatus("Adding New Outlook Item to Server: " + subject);
      // An add whose answer was lost goes again under the name it went under.
      const auto pending = run.adds.find(entryId);
      const bool out = pending != run.adds.end() && pending->second.status == PendingAdd::Status::kOut;
      SendAdd(run, item, access, entryId, subject, out ? pending->second.id : "");
    } catch (const Error&) {
      // A failing Outlook call skips the rest of this item.
    }
  }
  CarryOutLocalDeletions(run, deletions, tiedAtStart);
}

void SendOwedChanges(FolderRun& run) {
  std::vector<LocalDeletion> deletions;
  const size_t tiedAtStart = TiedRows(run.table);
  // The item of an EntryID, when it is still in this folder.
  const auto inFolder = [&run](const std::string& entryId) {
    int32_t number = 0;
    std::string description;
    Variant item = ItemFromEntryId(run.folder, entryId, number, description);
    if (item.IsNothing()) return item;
    try {
      if (item.get("Parent").get("Name").ToText() == run.folderName) return item;
    } catch (const Error&) {
    }
    return Variant::Nothing();
  };

  // Edits owed to the server by an earlier run that the walk did not reach
  // (it stops at SinceDate): sent whatever their times.
  std::vector<std::pair<std::string, std::string>> owed;
  for (const std::string& row : run.table.rows()) {
    const std::string entryId(ConversionTable::Field(row, 1));
    if (entryId.empty() || run.walked.count(entryId) != 0) continue;
    if (ParseItemState(ConversionTable::Field(row, 4)).owed())
      owed.emplace_back(entryId, std::string(ConversionTable::Field(row, 2)));
  }
  for (const auto& [entryId, uid] : owed) {
    try {
      const Variant item = inFolder(entryId);
      if (item.IsNothing()) continue;  // the server-to-client pass deletes it on the server
      const Variant access = AccessObjectFor(item);
      run.walked.insert(entryId);
      SendEdit(run, item, access, entryId, uid, TextOf(access, "Subject"), deletions);
    } catch (const Error&) {
    }
  }

  // Adds of a failed run that never reached the server, under the names they
  // went under.
  std::vector<std::pair<std::string, std::string>> adds;
  for (const auto& [entryId, add] : run.adds)
    if (add.status == PendingAdd::Status::kOut && run.walked.count(entryId) == 0) adds.emplace_back(entryId, add.id);
  for (const auto& [entryId, id] : adds) {
    try {
      const Variant item = inFolder(entryId);
      if (item.IsNothing() || run.table.FindByEntryID(entryId) >= 0) {
        if (run.table.FindByEntryID(entryId) < 0) run.adds[entryId].status = PendingAdd::Status::kDropped;
        continue;
      }
      const Variant access = AccessObjectFor(item);
      const std::string subject = TextOf(access, "Subject");
      run.walked.insert(entryId);
      LogMessage("Item [" + subject + "] of the last failed batch is being added to the server");
      SetSyncStatus("Adding New Outlook Item to Server: " + subject);
      SendAdd(run, item, access, entryId, subject, id);
    } catch (const Error&) {
    }
  }

  // Lists that waited for the adds of their members (direct mode: those are
  // in now; batch mode: they are in once the batch is, see SendDeferredLists).
  if (!modBatch::IsBatchMode()) SendDeferredLists(run);
  CarryOutLocalDeletions(run, deletions, tiedAtStart);
}

void SendDeferredLists(FolderRun& run) {
  std::vector<std::string> lists;
  lists.swap(run.deferredLists);
  std::vector<LocalDeletion> deletions;
  const size_t tiedAtStart = TiedRows(run.table);
  for (const std::string& entryId : lists) {
    try {
      int32_t number = 0;
      std::string description;
      const Variant item = ItemFromEntryId(run.folder, entryId, number, description);
      if (item.IsNothing()) continue;
      const Variant access = AccessObjectFor(item);
      const std::string subject = TextOf(access, "Subject");
      const std::string uid = run.table.GetUIDFromEntryID(entryId);
      const size_t before = run.deferredLists.size();
      if (!uid.empty()) SendEdit(run, item, access, entryId, uid, subject, deletions);
      else SendAdd(run, item, access, entryId, subject, "");
      // Still a member the server does not know: it waits for the next run.
      if (run.deferredLists.size() > before) run.deferredLists.pop_back();
    } catch (const Error&) {
    }
  }
  CarryOutLocalDeletions(run, deletions, tiedAtStart);
}

}  // namespace qvsync
