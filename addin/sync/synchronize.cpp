#include "addin/sync/synchronize.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "addin/codec/encodings.h"
#include "addin/codec/item_codec.h"
#include "addin/config/sync_config.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/server/protocol.h"
#include "addin/sync/batch.h"
#include "addin/sync/conversion_table.h"
#include "addin/sync/deletion_guard.h"
#include "addin/sync/item_access.h"
#include "addin/sync/pending_creation.h"
#include "addin/sync/progress.h"
#include "platform/ui/ui.h"

namespace qvsync::modSynchronize {

using qv::outlook::Error;

Date SinceDate;

namespace {

constexpr const char* kDeletedItems = "Deleted Items";

std::function<void()>& ConfigurationDialog() {
  static std::function<void()> show;
  return show;
}

void ShowConfigurationDialog() {
  if (ConfigurationDialog()) ConfigurationDialog()();
}

int OutlookClassOf(const std::string& messageClass) {
  if (messageClass == "APPOINTMENT") return kClassAppointment;
  if (messageClass == "CONTACT") return kClassContact;
  if (messageClass == "TASK") return kClassTask;
  return 0;
}

// Whole seconds of an automation date, so that "2 seconds later" is exact.
int64_t SecondsOf(Date date) { return std::llround(date.serial * 86400.0); }

qvsync::LocalDateTime ToLocal(Date date) {
  qv::outlook::DateParts parts = qv::outlook::SplitDate(date);
  return {parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second};
}

// A modification stamp as a number: decimal text within 64 bits, anything
// else 0 (the server is expected to send 32-bit integers).
int64_t StampOf(const std::string& text) {
  if (text.empty() || text.size() > 18) return 0;
  char* end = nullptr;
  long long value = std::strtoll(text.c_str(), &end, 10);
  return end != nullptr && *end == '\0' ? value : 0;
}

struct RowFields {
  std::string entryId, uid, date;
};
RowFields SplitRow(const std::string& row) {
  RowFields fields;
  size_t first = row.find('\t');
  fields.entryId = row.substr(0, first);
  if (first == std::string::npos) return fields;
  size_t second = row.find('\t', first + 1);
  fields.uid = row.substr(first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
  if (second == std::string::npos) return fields;
  size_t third = row.find('\t', second + 1);
  fields.date = row.substr(second + 1, third == std::string::npos ? std::string::npos : third - second - 1);
  return fields;
}

// The state of one folder run.
struct FolderRun {
  Variant folder;
  std::string messageClass;
  std::string folderName;
  int folderClass = 0;
  Date lastSyncTime;
  ConversionTable table;
  ConversionTable serverList;
  Variant items;
  // Outlook EntryIDs of adds of a failed batch that never reached the server.
  std::vector<std::string> unconfirmedAdds;
  // Direct mode: an add of this run got no usable answer (it may still have
  // reached the server), so its batch-file line stays for the next run.
  bool unansweredAdds = false;
  // An edit of this run may not have reached the server (no answer, or a
  // failed batch): the last sync time must not move past it, or the next
  // run would take the item as unchanged and the edit would never be sent.
  bool unsentEdits = false;
  DeletionGuard guard;
};

// An Outlook item to delete, decided by a pass and carried out once the pass
// has made all its decisions.
struct LocalDeletion {
  Variant item;
  std::string uid;
  std::string subject;
};

// The items go with their rows, unless the guard holds them back (`tied`:
// the rows tying items to the server when the pass began).
void CarryOutLocalDeletions(FolderRun& run, std::vector<LocalDeletion>& deletions, size_t tied) {
  if (!deletions.empty() && run.guard.Allows(DeletionSide::Outlook, deletions.size(), tied)) {
    for (LocalDeletion& deletion : deletions) {
      run.table.RemoveItemIdConversionByUID(deletion.uid);
      try {
        deletion.item.call("Delete");
      } catch (const Error&) {
      }
    }
  }
  deletions.clear();
}

// ---------------------------------------------------------------------------
// Client to server

void ClientToServerPass(FolderRun& run) {
  ShowSyncProgress();
  int32_t count = 0;
  try {
    count = run.items.get("Count").ToLong();
  } catch (const Error&) {
  }
  LogMessage("Synchronizing " + run.messageClass + " Client->Server (" + std::to_string(count) + " items)");
  if (count > 0) SetSyncProgressMax(count);

  const int64_t changedAfter = SecondsOf(run.lastSyncTime) + 2;
  const bool batchMode = modBatch::IsBatchMode();
  std::vector<LocalDeletion> deletions;
  const size_t tiedAtStart = TiedRows(run.table);

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
      modified = item.get("LastModificationTime").ToDate();
    } catch (const Error& e) {
      LogMessage("Item " + std::to_string(i) + " was skipped because error: " + std::to_string(e.number()) +
                 " occured when attempting to access the object. The desctiption of the error was: " +
                 e.description());
      continue;
    }
    if (modified < SinceDate) break;  // every later item is older still

    Variant access;
    try {
      access = AccessObjectFor(item);
    } catch (const Error& e) {
      LogMessage("Item " + std::to_string(i) + " was skipped because error: " + std::to_string(e.number()) +
                 " occured when attempting to access the object. The desctiption of the error was: " +
                 e.description());
      continue;
    }
    if (access.IsEmpty() || access.IsNothing()) {
      LogMessage("Item " + std::to_string(i) + " was skipped because error: 0" +
                 " occured when attempting to access the object. The desctiption of the error was: ");
      continue;
    }

    try {
      const std::string subject = TextOf(access, "Subject");
      const std::string entryId = TextOf(item, "EntryID");
      if (LogEnabled())
        LogMessage("Item " + std::to_string(i) + " [" + subject + "] with EID=" + entryId + " is being validated");
      SetSyncStatus("Validating Object: " + subject);

      const std::string uid = run.table.GetUIDFromEntryID(entryId);
      const bool changed = SecondsOf(modified) > changedAfter;

      if (!uid.empty()) {
        if (!changed) {
          if (LogEnabled())
            LogMessage("Outlook Item [" + subject +
                       "] is already synchronized. (It exists in the conversion table but was not validated against "
                       "the server because it has not been changed since the last successful server "
                       "synchronization)");
        } else if (batchMode) {
          modBatch::QueueBatchRequest(run.messageClass, "EDIT", access, uid, "", run.table);
        } else {
          LogMessage("Updating Outlook Item to Server: " + subject);
          std::unique_ptr<ServerItem> serverItem = MakeServerItem(access, &run.table, run.folder);
          bool answered = false;
          const std::string result = EditItemOnServer(uid, *serverItem, &answered);
          if (!answered) run.unsentEdits = true;
          const RowFields reply = SplitRow(result);  // code, UID, MODIFIEDDATE
          if (reply.entryId == "1") {
            if (!reply.date.empty() && reply.date != "0")
              run.table.UpdateItemIdConversionDate(entryId, reply.date);
          } else if (reply.entryId == "1001") {
            LogMessage("Outlook Item [" + subject +
                       "] could not be edited on server because it has been removed from the server. Deleting "
                       "local item");
            SetSyncStatus("Removing local item: " + subject);
            deletions.push_back({item, uid, subject});
          }
        }
        continue;
      }

      if (!changed) {
        LogMessage("Item " + std::to_string(i) + " [" + subject +
                   "] is in an unknown state because it was modified before the last sync time, but does not exist "
                   "in the conversion table. This is an error because the item does not exist in the conversion "
                   "file, but does exist in Outlook with a modified date before the filestamp date of the "
                   "conversion file.");
      }
      LogMessage("Item " + std::to_string(i) + " [" + subject + "] is being added to the server");
      SetSyncStatus("Adding New Outlook Item to Server: " + subject);
      if (batchMode) {
        modBatch::QueueBatchRequest(run.messageClass, "ADD", access, "", "", run.table);
      } else {
        std::unique_ptr<ServerItem> serverItem = MakeServerItem(access, &run.table, run.folder);
        // Sent under a new name recorded first in the batch file: when the run
        // dies before the answer, the next run finds the item on the server
        // under that name instead of adding it a second time.
        const std::string newId = modBatch::BatchItemId(serverItem->OutlookClass(), ItemFileName(*serverItem));
        if (!newId.empty()) modBatch::RecordPendingAdd(run.messageClass, entryId, newId);
        bool refused = false;
        const std::string result = PostItemToServer(*serverItem, newId, &refused);
        if (!result.empty()) {
          const RowFields reply = SplitRow(result);  // UID, MODIFIEDDATE
          run.table.AddItemIdConversion(reply.entryId, entryId, reply.uid);
        } else {
          // Only an add that got no answer keeps the batch file for the next
          // run's recovery; one the server refused holds nothing there.
          if (!refused) run.unansweredAdds = true;
          LogMessage("Server Issue occured adding: " + subject + ". Server Data=" + result);
        }
      }
    } catch (const Error&) {
      // A failing Outlook call skips the rest of this item.
    }
  }
  // Deleting while walking would shift the positions of the sorted collection.
  CarryOutLocalDeletions(run, deletions, tiedAtStart);
}

// ---------------------------------------------------------------------------
// Server to client

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Outlook's item type of a new distribution list.
constexpr int kOutlookDistributionListType = 7;

// A distribution list that the single-item commands address as a contact
// (they know no class name for lists).
class AskedAsContact final : public ServerItem {
 public:
  explicit AskedAsContact(std::unique_ptr<ServerItem> inner) : inner_(std::move(inner)) {}
  int OutlookClass() const override { return kClassContact; }
  std::string Subject() const override { return inner_->Subject(); }
  std::string Email1Address() const override { return inner_->Email1Address(); }
  std::string SerializeItem(const std::string& serverId) const override { return inner_->SerializeItem(serverId); }
  int DeserializeItem(const std::string& xml) override { return inner_->DeserializeItem(xml); }

 private:
  std::unique_ptr<ServerItem> inner_;
};

// What the first sweep decided for one row.
enum class RowAction { kNone, kGet, kRewrite, kDeleteLocal, kDeleteServer, kRemoveRow };

struct RowDecision {
  RowAction action = RowAction::kNone;
  size_t row = 0;
  RowFields fields;
  std::string serverDate;
  Variant item;  // the Outlook item, when there is one
};

// Holds back the decisions of `action` when the guard does not let that many
// deletions go.
void ApplyDeletionGuard(FolderRun& run, std::vector<RowDecision>& decisions, RowAction action, size_t tied) {
  size_t count = 0;
  for (const RowDecision& decision : decisions)
    if (decision.action == action) ++count;
  const DeletionSide side = action == RowAction::kDeleteLocal ? DeletionSide::Outlook : DeletionSide::Server;
  if (run.guard.Allows(side, count, tied)) return;
  for (RowDecision& decision : decisions)
    if (decision.action == action) decision.action = RowAction::kNone;
}

// False when the server list could not be fetched (the run ends at once).
bool ServerToClientPass(FolderRun& run) {
  ShowSyncProgress();
  LogMessage("Synchronizing " + run.messageClass + " Server->Client");
  std::vector<std::string> list;
  if (GetItemListFromServer(list, run.messageClass, ToLocal(SinceDate)) != 1) {
    LogMessage("Error: GetItemListFromServer failed for message class: " + run.messageClass +
               ". Operation aborted!");
    CloseSyncProgress();
    return false;
  }
  run.serverList.Assign(std::move(list));
  if (run.serverList.empty()) {
    LogMessage("Server reported having no items of message class: " + run.messageClass);
  } else {
    LogMessage("Server reported having " + std::to_string(run.serverList.size()) +
               " items of message class: " + run.messageClass);
  }

  // The server's MODIFIEDDATE of a UID; false when the list lacks the UID.
  auto serverDateOf = [&](const std::string& uid, std::string& date) {
    const long row = run.serverList.FindByEntryID(uid);
    if (row < 0) return false;
    date = std::string(ConversionTable::Field(run.serverList.rows()[static_cast<size_t>(row)], 2));
    return true;
  };

  const bool batchMode = modBatch::IsBatchMode();
  std::string storeId;
  try {
    storeId = run.folder.get("StoreID").ToText();
  } catch (const Error&) {
  }

  // First sweep: every row of the table against Outlook and the server list.
  ShowSyncProgress();
  const int32_t rows = static_cast<int32_t>(run.table.size());
  if (rows - 1 > 0) SetSyncProgressMax(rows - 1);
  bool cancelled = false;
  std::vector<RowDecision> decisions;
  for (int32_t j = 0; j < rows; ++j) {
    SetSyncProgressValue(j);
    RowDecision decision;
    decision.row = static_cast<size_t>(j);
    decision.fields = SplitRow(run.table.rows()[decision.row]);
    const RowFields& row = decision.fields;
    if (row.entryId.empty() || row.uid.empty() || row.date.empty()) continue;
    if (SyncCancelled) {
      cancelled = true;
      break;
    }
    int32_t number = 0;
    std::string description;
    Variant item = ItemFromEntryId(run.folder, row.entryId, number, description);
    if (item.IsNothing() && number != 0) {
      LogMessage("Error " + std::to_string(number) + ":[" + description + "] occured validating EID=" +
                 row.entryId);
    }
    std::string parentName;
    if (!item.IsNothing()) {
      try {
        parentName = item.get("Parent").get("Name").ToText();
      } catch (const Error&) {
      }
    }
    decision.item = item;
    const bool onServer = serverDateOf(row.uid, decision.serverDate);
    if (!item.IsNothing() && parentName != kDeletedItems) {
      if (onServer && StampOf(decision.serverDate) > StampOf(row.date)) {
        decision.action = StampOf(row.date) != 0 ? RowAction::kGet : RowAction::kRewrite;
      } else if (!onServer) {
        decision.action = RowAction::kDeleteLocal;
      }
    } else {
      if (item.IsNothing()) LogMessage(row.entryId + " oOLItem Is Nothing");
      decision.action = onServer ? RowAction::kDeleteServer : RowAction::kRemoveRow;
    }
    if (decision.action != RowAction::kNone) decisions.push_back(std::move(decision));
  }

  // Deletions of most of what the table ties to the server wait for a Yes.
  const size_t tied = TiedRows(run.table);
  ApplyDeletionGuard(run, decisions, RowAction::kDeleteLocal, tied);
  ApplyDeletionGuard(run, decisions, RowAction::kDeleteServer, tied);

  // Carry the decisions out, in table order.
  for (RowDecision& decision : decisions) {
    const RowFields& row = decision.fields;
    try {
      switch (decision.action) {
        case RowAction::kGet: {
          LogMessage("Item " + row.uid + " seems to have been modified on the server, so we will update the outlook "
                     "copy");
          std::unique_ptr<ServerItem> serverItem = MakeServerItem(decision.item, &run.table, run.folder);
          if (LongOf(decision.item, "Class") == kClassDistributionList)
            serverItem = std::make_unique<AskedAsContact>(std::move(serverItem));
          if (GetItemFromServer(row.uid, *serverItem)) {
            SetSyncStatus("Uploading Item to Server: " + TextOf(decision.item, "Subject"));
            decision.item.call("Save");
            run.table.UpdateItemIdConversionDate(row.entryId, decision.serverDate);
          } else {
            LogMessage("Could not update outlook item from server item with UID:" + row.uid);
          }
          break;
        }
        case RowAction::kRewrite:
          // The server's stamp, learnt without a change of the item: it does not
          // by itself make the table worth saving.
          {
            const bool dirty = ConversionTableDirty;
            run.table.SetRow(decision.row, row.entryId + "\t" + row.uid + "\t" + decision.serverDate);
            ConversionTableDirty = dirty;
          }
          break;
        case RowAction::kDeleteLocal: {
          const std::string subject = TextOf(decision.item, "Subject");
          LogMessage("Outlook Item [" + subject +
                     "] could not be found on the server because it has been removed. The item has been deleted");
          run.table.RemoveItemIdConversionByUID(row.uid);
          bool recurring = false;
          try {
            recurring = decision.item.get("IsRecurring").ToBool();
          } catch (const Error&) {
          }
          if (recurring) {
            try {
              decision.item.call("ClearRecurrencePattern");
            } catch (const Error&) {
            }
          }
          decision.item.call("Delete");
          break;
        }
        case RowAction::kDeleteServer:
          if (batchMode) {
            modBatch::QueueBatchRequest(run.messageClass, "DELETE", decision.item, row.uid, "", run.table);
          } else {
            SetSyncStatus("Removing server item: " + row.uid);
            int32_t errorCode = 0;
            std::string errorMessage;
            const std::string reply =
                PostToServer("Cmd=DELETE-" + run.messageClass + "&ID=" + row.uid, errorCode, errorMessage);
            // What the server answers is not looked at, but nothing coming
            // back may mean the request never arrived: the row stays, so the
            // next run sends the deletion again rather than bringing the item
            // back from the server.
            if (reply.empty()) {
              LogMessage("Error: The server did not answer the deletion of UID=" + row.uid +
                         "; it is sent again at the next synchronization.");
              break;
            }
            run.table.RemoveItemIdConversionByUID(row.uid);
            LogMessage("Deleted Item from conversion table with UID=" + row.uid +
                       " since it no longer exists in Outlook");
            run.serverList.RemoveItemIdConversionByEntryID(row.uid);
            LogMessage("Deleted Item from server with UID=" + row.uid);
          }
          break;
        case RowAction::kRemoveRow:
          LogMessage("Item with UID=" + row.uid +
                     " could not be found on the server, but the UID exists in the conversion table. We will remove "
                     "the item from the conversion table.");
          run.table.RemoveItemIdConversionByUID(row.uid);
          break;
        case RowAction::kNone:
          break;
      }
    } catch (const Error&) {
    }
  }

  // Second sweep: server items that Outlook does not know yet.
  const int32_t listRows = static_cast<int32_t>(run.serverList.size());
  if (listRows - 1 > 0) SetSyncProgressMax(listRows - 1);
  for (int32_t k = 0; k < listRows && !cancelled; ++k) {
    SetSyncProgressValue(k);
    if (SyncCancelled) {
      cancelled = true;
      break;
    }
    const RowFields listed = SplitRow(run.serverList.rows()[static_cast<size_t>(k)]);
    const std::string& uid = listed.entryId;
    const std::string& serverDate = listed.uid;
    const std::string entryId = run.table.GetEntryIDFromUID(uid);
    if (LogEnabled()) LogMessage("Checking Outlook for Item UID=" + uid + ", with EntryID=" + entryId);
    if (!entryId.empty() || uid.empty()) continue;
    if (batchMode) {
      modBatch::QueueBatchRequest(run.messageClass, "GET", Variant(), uid, serverDate, run.table);
      continue;
    }
    Variant item;
    try {
      // A distribution list of the contacts run becomes a distribution list
      // in Outlook, not a contact; it is asked for as a contact, the class the
      // list command gave it under.
      const bool group = run.messageClass == "CONTACT" && EndsWith(uid, ".GRP");
      item = group ? run.folder.get("Items").call("Add", kOutlookDistributionListType)
                   : run.folder.get("Items").call("Add");
      std::unique_ptr<ServerItem> serverItem = MakeServerItem(item, &run.table, run.folder);
      if (group) serverItem = std::make_unique<AskedAsContact>(std::move(serverItem));
      if (!GetItemFromServer(uid, *serverItem)) {
        LogMessage("Could not update Outlook item from server item with UID:" + uid +
                   "Item will not be created in outlook.");
        try {
          item.call("Delete");
        } catch (const Error&) {
        }
        continue;
      }
      PendingCreation creation(run.table, item, uid, serverDate);
      item.call("Save");
      SetSyncStatus("Created Outlook item: " + uid);
      LogMessage("Created [" + TextOf(item, "Subject") + "] from server");
      creation.Saved(TextOf(item, "EntryID"));
    } catch (const Error&) {
    }
  }
  if (cancelled) CloseSyncProgress();
  return true;
}

// ---------------------------------------------------------------------------
// Recovery of a failed batch

// False when the server list could not be fetched (the run ends at once).
bool RecoverFailedBatch(FolderRun& run) {
  LogMessage("Error: A batch file from last synchronisation attempt found. The utility will try to fix.");
  qv::ui::ShowMessage("The last synchronisation failed. The items from last batch will be confirmed with server.",
                      "Warning", qv::ui::Buttons::OK, qv::ui::Icon::Information);
  std::vector<std::string> rows;
  if (GetItemListFromServer(rows, run.messageClass, ToLocal(SinceDate)) != 1) {
    LogMessage("Error: Failed to get the list of : " + run.messageClass + " from the server. Operation aborted!");
    CloseSyncProgress();
    return false;
  }
  LogMessage("Retrieved list of items from the server for comparison to local.");
  modBatch::FailedBatch failed;
  const ConversionTable list(std::move(rows));
  if (modBatch::LoadFailedBatch(failed, run.messageClass)) {
    modBatch::ConfirmFailedBatch(failed, list, run.table);
    for (const auto& [id, line] : failed) {
      const std::string entryId = std::string(ConversionTable::Field(line, 2));
      if (!entryId.empty()) run.unconfirmedAdds.push_back(entryId);
    }
    if (!failed.empty()) {
      LogMessage("There are " + std::to_string(failed.size()) +
                 " items which have to be sent to server from last failed batch.");
    }
  }
  modBatch::DeleteBatchFile(run.messageClass);
  SaveUIDToEntryIDMappings(run.table, run.folderName, false);
  run.table.Clear();
  GetUIDToEntryIDMappings(run.table, run.folderName);
  return true;
}

// Adds of a failed batch that never reached the server are queued again when
// the client-to-server pass did not reach their items: it stops at the first
// item older than SinceDate, and the failed run may have moved the last sync
// time past them.
void RequeueUnconfirmedAdds(FolderRun& run) {
  if (run.unconfirmedAdds.empty()) return;
  std::unordered_set<std::string> queued;
  const modBatch::BatchValues& batch = modBatch::Batch();
  for (size_t n = 0; n < batch.size(); ++n)
    if (batch.verbs[n] == "ADD") queued.insert(batch.entryIds[n]);
  for (const std::string& entryId : run.unconfirmedAdds) {
    if (queued.count(entryId) != 0 || run.table.FindByEntryID(entryId) >= 0) continue;
    int32_t number = 0;
    std::string description;
    Variant item = ItemFromEntryId(run.folder, entryId, number, description);
    if (item.IsNothing()) continue;  // deleted for good since
    try {
      // Only an item still in this folder (not moved, not in "Deleted Items").
      if (item.get("Parent").get("Name").ToText() != run.folderName) continue;
      Variant access = AccessObjectFor(item);
      const std::string subject = TextOf(access, "Subject");
      LogMessage("Item [" + subject + "] of the last failed batch is being added to the server");
      SetSyncStatus("Adding New Outlook Item to Server: " + subject);
      modBatch::QueueBatchRequest(run.messageClass, "ADD", access, "", "", run.table);
      queued.insert(entryId);
    } catch (const Error&) {
    }
  }
}

// Saves the table without moving the folder's last sync time.
void SaveKeepingLastSyncTime(FolderRun& run) {
  namespace fs = std::filesystem;
  const fs::path path = GetConversionTablePath(run.folderName);
  std::error_code error;
  const bool existed = fs::exists(path, error);
  const fs::file_time_type before = existed ? fs::last_write_time(path, error) : fs::file_time_type();
  if (!SaveUIDToEntryIDMappings(run.table, run.folderName, false)) return;
  if (existed) {
    fs::last_write_time(path, before, error);
  } else {
    // No earlier run: the time of a folder never synchronised.
    const auto epoch = std::chrono::system_clock::from_time_t(0);
    fs::last_write_time(path, fs::file_time_type::clock::from_sys(epoch), error);
  }
}

}  // namespace

void SynchronizeFolder(Variant& folder, const std::string& messageClass) {
  // A folder the add-in could not resolve at start-up: nothing to compare the
  // server with (its list would only be fetched in vain).
  if (!folder.IsObject() || folder.IsNothing()) {
    LogMessage("Error: The Outlook folder for message class: " + messageClass +
               " could not be found. Operation aborted!");
    return;
  }
  FolderRun run;
  run.folder = folder;
  run.messageClass = messageClass;
  run.folderClass = OutlookClassOf(messageClass);
  run.guard = DeletionGuard(messageClass);
  const SyncConfig& config = Config();

  // Set-up.
  ConversionTableDirty = false;
  try {
    run.folderName = folder.get("Name").ToText();
  } catch (const Error&) {
  }
  const Date lastSyncAtStart = GetLastSyncTime(run.folderName);
  GetUIDToEntryIDMappings(run.table, run.folderName);
  run.lastSyncTime = GetLastSyncTime(run.folderName);
  LogMessage("Server Last Sync Time: " + FormatGeneralDate(run.lastSyncTime));

  UseRedemption = false;
  {
    int32_t number = 0;
    std::string description;
    if (!CreateWrapper(run.folderClass, number, description).IsNothing()) UseRedemption = true;
  }
  try {
    run.items = folder.get("Items");
  } catch (const Error&) {
  }
  if (config.restrict == 1) {
    SinceDate = qv::outlook::AddSeconds(qv::outlook::LocalNow(), -86400.0 * config.restrictValue);
  } else {
    SinceDate = qv::outlook::AddSeconds(lastSyncAtStart, -86400.0);
  }
  try {
    run.items.call("Sort", "[LastModificationTime]", true);
  } catch (const Error&) {
  }

  // Outlook items a run that died had made from server items get their rows
  // before anything else looks at the table.
  RecoverPendingCreations(run.table, folder);

  const bool batchMode = modBatch::IsBatchMode();
  // Requests of another run never reach this one.
  modBatch::ResetBatch();

  // The batch file also holds the adds of a direct-mode run that died.
  if (modBatch::BatchFileExists(messageClass)) {
    if (!RecoverFailedBatch(run)) {
      ReleaseWrappers();
      return;
    }
  }

  if (config.direction == 0 || config.direction == 1) {
    ClientToServerPass(run);
    if (!SyncCancelled && batchMode) RequeueUnconfirmedAdds(run);
  }

  if (config.direction == 0 || config.direction == 2) {
    if (!ServerToClientPass(run)) {
      // Nothing queued by this run is sent or applied; the batch file keeps
      // the adds for the next run's recovery.
      modBatch::ResetBatch();
      // Adds and edits already made on the server (direct mode) keep their
      // rows, or the next run would add those items a second time; the last
      // sync time stays where it was, since this run did not finish.
      if (!batchMode && ConversionTableDirty) SaveKeepingLastSyncTime(run);
      if (!batchMode && !run.unansweredAdds) modBatch::DeleteBatchFile(messageClass);
      ReleaseWrappers();
      return;
    }
  }

  if (batchMode) {
    if (modBatch::ProcessBatch(run.table, run.serverList, run.folder, &run.guard) == 1) {
      modBatch::DeleteBatchFile(messageClass);
    } else {
      run.unsentEdits = true;
      qv::ui::ShowMessage(
          "There was a problem with the last batch sent to the server. Please sync again to send any which "
          "failed again.",
          "Error", qv::ui::Buttons::OK, qv::ui::Icon::Exclamation);
    }
  }
  if (run.unsentEdits) {
    SaveKeepingLastSyncTime(run);
  } else {
    SaveUIDToEntryIDMappings(run.table, run.folderName, false);
  }
  // Direct mode: every add answered has its row (journal and table).
  if (!batchMode && !run.unansweredAdds) modBatch::DeleteBatchFile(messageClass);
  CloseSyncProgress();
  ReleaseWrappers();
  folder = run.folder;
}

namespace {

// One synchronisation of an account at a time: a second host (or a second
// click while one runs elsewhere) would add every new item a second time. An
// advisory lock on "_sync.lock" in the account directory, held for the run
// and released by the system if the process dies.
class AccountLock {
 public:
  AccountLock() {
    const std::string path = modBatch::AccountDirectory() + "/_sync.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    // A lock file that cannot be made (read-only data directory) does not
    // stop the run: the table and batch writes report their own failures.
    if (fd_ < 0) return;
    held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    busy_ = !held_ && errno == EWOULDBLOCK;
  }
  ~AccountLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  AccountLock(const AccountLock&) = delete;
  AccountLock& operator=(const AccountLock&) = delete;
  bool busy() const { return busy_; }

 private:
  int fd_ = -1;
  bool held_ = false;
  bool busy_ = false;
};

}  // namespace

void SynchronizeAll() {
  LogMessage("Synchronizing Started..");
  SyncCancelled = false;
  SyncConfig& config = Config();
  if (config.username.empty()) {
    qv::ui::ShowMessage(
        "Quorvia Sync Utility is not configured. Please configure it to synchronise with your account.",
        "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
    ShowConfigurationDialog();
    return;
  }
  // A user name that cannot name the account's folder would put its records
  // elsewhere (or nowhere): refuse it before anything is read or written.
  if (!IsUsableAccountFolderName(config.username, config.host)) {
    LogMessage("Error: The user name cannot name a folder for the synchronization records. Aborted synchronization.");
    qv::ui::ShowMessage(
        "Quorvia Sync Utility cannot keep synchronization records for this user name. Please configure a user name "
        "without / \\ * ? \" < > | or control characters.",
        "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
    ShowConfigurationDialog();
    return;
  }
  // Without a data directory no table or batch file could be kept, and every
  // run would add every item again on both sides.
  if (AccountDirectory().empty()) {
    LogMessage("Error: No data directory is configured. Aborted synchronization.");
    qv::ui::ShowMessage(
        "Quorvia Sync Utility has no data directory to keep its synchronization records in. Please configure one.",
        "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
    ShowConfigurationDialog();
    return;
  }
  AccountLock lock;
  if (lock.busy()) {
    LogMessage("Error: A synchronization of this account is already running. Aborted synchronization.");
    const char* busy = "Quorvia Sync Utility is already synchronizing this account. Please try again when it has finished.";
    qv::ui::ShowMessage(busy, "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
    qv::ui::ReportCommandFailure(busy);
    return;
  }
  int32_t errorCode = 0;
  std::string errorMessage;
  if (ServerLogin(config.username, config.password, errorCode, errorMessage) != 1) {
    LogMessage("Error: Invalid Username or password when attempting to synchronize. Aborted synchronization.");
    qv::ui::ShowMessage("Quorvia Sync Utility does not seem to be configured.", "Quorvia Synchronization",
                        qv::ui::Buttons::OK, qv::ui::Icon::Information);
    ShowConfigurationDialog();
    return;
  }

  struct ClassRow {
    int32_t SyncConfig::*mode;
    const char* title;
    const char* messageClass;
    const char* completion;
    Variant AddinStateRecord::*folder;
  };
  static const ClassRow kClasses[] = {
      {&SyncConfig::taskSyncMode, "Synchronizing Tasks..", "TASK", "Task Synchronization Complete!",
       &AddinStateRecord::tasksFolder},
      {&SyncConfig::calendarSyncMode, "Synchronizing Appointments..", "APPOINTMENT",
       "Calendar Synchronization Complete!", &AddinStateRecord::calendarFolder},
      {&SyncConfig::contactSyncMode, "Synchronizing Contacts..", "CONTACT", "Contact Synchronization Complete!",
       &AddinStateRecord::contactsFolder},
  };
  for (const ClassRow& row : kClasses) {
    if (config.*(row.mode) == 0 || SyncCancelled) continue;
    SetSyncProgressTitle(row.title);
    LogMessage(row.title);
    try {
      Variant folder = AddinState().*(row.folder);
      SynchronizeFolder(folder, row.messageClass);
      AddinState().*(row.folder) = folder;
    } catch (const std::exception&) {
      // A class that fails does not stop the others.
      CloseSyncProgress();
    }
    LogMessage(row.completion);
  }
  LogMessage("Synchronizing Completed");
}

void SetConfigurationDialog(std::function<void()> show) { ConfigurationDialog() = std::move(show); }

void InstallSynchronizeAll() { SetSynchronizeAll(&SynchronizeAll); }

std::string FormatGeneralDate(Date date) {
  const qv::outlook::DateParts parts = qv::outlook::SplitDate(date);
  const int hour12 = parts.hour % 12 == 0 ? 12 : parts.hour % 12;
  char text[64];
  std::snprintf(text, sizeof text, "%d/%d/%d %d:%02d:%02d %s", parts.month, parts.day, parts.year, hour12,
                parts.minute, parts.second, parts.hour < 12 ? "AM" : "PM");
  return text;
}

}  // namespace qvsync::modSynchronize
