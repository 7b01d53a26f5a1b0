// The server-to-client pass: the server's list of the class, then two
// sweeps. The first goes over the conversion table and carries deletions
// both ways and the server's changes into Outlook; the second makes Outlook
// items of the server items the table does not know.
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "addin/codec/item_codec.h"
#include "addin/log/activity_log.h"
#include "addin/server/protocol.h"
#include "addin/sync/batch.h"
#include "addin/sync/folder_run.h"
#include "addin/sync/item_access.h"
#include "addin/sync/pending_creation.h"
#include "addin/sync/progress.h"
#include "addin/sync/synchronize.h"

namespace qvsync {

using qv::outlook::Error;
using modSynchronize::SinceDate;

namespace {

constexpr const char* kDeletedItems = "Deleted Items";

qvsync::LocalDateTime ToLocal(Date date) {
  qv::outlook::DateParts parts = qv::outlook::SplitDate(date);
  return {parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second};
}

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

// A distribution list of the contacts run: it becomes a distribution list in
// Outlook, not a contact.
bool IsGroup(const FolderRun& run, const std::string& uid) {
  return run.messageClass == "CONTACT" && EndsWith(uid, ".GRP");
}

// Brings the Outlook item of a row up to date from the server item `uid`;
// false when it could not be (no answer, or a list whose members are not all
// known to Outlook yet).
bool UpdateFromServer(FolderRun& run, const Variant& item, const std::string& entryId, const std::string& uid,
                      const std::string& serverDate) {
  try {
    std::unique_ptr<ServerItem> serverItem = MakeServerItem(item, &run.table, run.folder);
    if (LongOf(item, "Class") == kClassDistributionList)
      serverItem = std::make_unique<AskedAsContact>(std::move(serverItem));
    if (!GetItemFromServer(uid, *serverItem)) {
      LogMessage("Could not update outlook item from server item with UID:" + uid);
      return false;
    }
    SetSyncStatus("Uploading Item to Server: " + TextOf(item, "Subject"));
    item.call("Save");
    // Pulled, not changed in Outlook: its own time now is the one kept.
    run.table.RecordItemState(entryId, serverDate, ExchangedState(item));
    return true;
  } catch (const Error&) {
    return false;
  }
}

// Makes an Outlook item of the server item `uid` (direct mode); false when
// it was not made.
bool CreateFromServer(FolderRun& run, const std::string& uid, const std::string& serverDate) {
  Variant item;
  try {
    // Asked for as a contact when it is a list, the class the list command
    // gave it under.
    const bool group = IsGroup(run, uid);
    item = group ? run.folder.get("Items").call("Add", kOutlookDistributionListType)
                 : run.folder.get("Items").call("Add");
    std::unique_ptr<ServerItem> serverItem = MakeServerItem(item, &run.table, run.folder);
    if (group) serverItem = std::make_unique<AskedAsContact>(std::move(serverItem));
    // A list saves itself while its members are set: its record goes first.
    std::optional<PendingCreation> creation;
    if (group) {
      creation.emplace(run.table, item, uid, serverDate);
      KeepRecordsOrStop(run);
    }
    if (!GetItemFromServer(uid, *serverItem)) {
      LogMessage("Could not update Outlook item from server item with UID:" + uid +
                 "Item will not be created in outlook.");
      try {
        item.call("Delete");
      } catch (const Error&) {
      }
      return false;
    }
    if (group) creation->Named(TextOf(item, "Subject"));
    else creation.emplace(run.table, item, uid, serverDate);
    KeepRecordsOrStop(run);
    item.call("Save");
    SetSyncStatus("Created Outlook item: " + uid);
    LogMessage("Created [" + TextOf(item, "Subject") + "] from server");
    creation->Saved(TextOf(item, "EntryID"), ExchangedState(item));
    return true;
  } catch (const Error&) {
    return false;
  }
}

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

}  // namespace

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
  run.listFetched = true;
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
        // Changed on both sides: Outlook's version, owed to the server, wins
        // (it is on its way there), whichever mode the run is in.
        if (decision.action == RowAction::kGet && RowState(run, row.entryId).owed()) decision.action = RowAction::kNone;
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
        case RowAction::kGet:
          LogMessage("Item " + row.uid + " seems to have been modified on the server, so we will update the outlook "
                     "copy");
          if (!UpdateFromServer(run, decision.item, row.entryId, row.uid, decision.serverDate) &&
              LongOf(decision.item, "Class") == kClassDistributionList)
            run.deferredPulls.push_back({row.uid, row.entryId, decision.serverDate});
          break;
        case RowAction::kRewrite: {
          // The server's stamp, learnt without a change of the item: it does not
          // by itself make the table worth saving, nor the next run take this
          // one for interrupted (it is learnt again if it is lost).
          const std::string& old = run.table.rows()[decision.row];
          const std::string_view state = ConversionTable::Field(old, 4);
          std::string rewritten = row.entryId + "\t" + row.uid + "\t" + decision.serverDate;
          if (!state.empty()) rewritten.append("\t").append(state);
          run.table.SetRowQuietly(decision.row, std::move(rewritten));
          break;
        }
        case RowAction::kDeleteLocal: {
          const std::string subject = TextOf(decision.item, "Subject");
          LogMessage("Outlook Item [" + subject +
                     "] could not be found on the server because it has been removed. The item has been deleted");
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
          // The item before its row (see CarryOutLocalDeletions).
          decision.item.call("Delete");
          run.table.RemoveItemIdConversionByUID(row.uid);
          break;
        }
        case RowAction::kDeleteServer:
          if (batchMode) {
            modBatch::QueueInRun(run, "DELETE", decision.item, row.uid, "");
          } else {
            SetSyncStatus("Removing server item: " + row.uid);
            int32_t errorCode = 0;
            std::string errorMessage;
            const std::string reply =
                PostToServer("Cmd=DELETE-" + run.messageClass + IdField(row.uid), errorCode, errorMessage);
            // What the server answers is not looked at, but nothing coming
            // back may mean the request never arrived: the row stays, so the
            // next run sends the deletion again rather than bringing the item
            // back from the server.
            if (reply.empty()) {
              LogMessage("Error: The server did not answer the deletion of UID=" + row.uid +
                         "; it is sent again at the next synchronization.");
              run.unanswered = true;
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

  // Second sweep: server items that Outlook does not know yet. An add this
  // run sent whose answer was lost, found on the server, is its Outlook item.
  std::map<std::string, std::string> addsOut;  // ID -> EntryID
  for (const auto& [entryId, add] : run.adds)
    if (add.status == PendingAdd::Status::kOut && add.answerLost) addsOut.emplace(add.id, entryId);
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
    if (const auto out = addsOut.find(uid); out != addsOut.end() && run.table.FindByEntryID(out->second) < 0) {
      PendingAdd& add = run.adds[out->second];
      LogMessage("Server item : " + uid + " succeeded in an add whose answer was lost.");
      run.table.AddItemIdConversion(uid, out->second, serverDate, add.itemState);
      add.status = PendingAdd::Status::kConfirmed;
      continue;
    }
    if (batchMode) {
      modBatch::QueueInRun(run, "GET", Variant(), uid, serverDate);
      continue;
    }
    if (!CreateFromServer(run, uid, serverDate) && IsGroup(run, uid)) run.deferredPulls.push_back({uid, "", serverDate});
  }
  if (cancelled) CloseSyncProgress();
  return true;
}

void PullDeferredLists(FolderRun& run) {
  std::vector<DeferredPull> pulls;
  pulls.swap(run.deferredPulls);
  for (const DeferredPull& pull : pulls) {
    if (pull.entryId.empty()) {
      if (run.table.FindByUID(pull.uid) < 0) CreateFromServer(run, pull.uid, pull.serverDate);
      continue;
    }
    int32_t number = 0;
    std::string description;
    const Variant item = ItemFromEntryId(run.folder, pull.entryId, number, description);
    if (!item.IsNothing()) UpdateFromServer(run, item, pull.entryId, pull.uid, pull.serverDate);
  }
}

}  // namespace qvsync
