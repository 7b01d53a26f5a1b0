// The state of one folder run (SynchronizeFolder) and what its stages share:
// the set-up and end in synchronize.cpp, the recovery of a failed run's adds
// in recovery.cpp, the client-to-server pass in client_to_server.cpp, the
// server-to-client pass in server_to_client.cpp, and batch mode.
//
// A run owns its FolderRun; everything lives on the host's user-interface
// thread. Private to the engine.
#ifndef QVSYNC_SYNC_FOLDER_RUN_H
#define QVSYNC_SYNC_FOLDER_RUN_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "addin/server/protocol.h"
#include "addin/sync/conversion_table.h"
#include "addin/sync/deletion_guard.h"
#include "addin/sync/item_state.h"
#include "platform/outlook/outlook.h"

namespace qvsync {

using qv::outlook::Date;
using qv::outlook::Variant;

// An add that went (or goes) out: its line in the batch file, written before
// the request, names the Outlook item and the ID it was sent under, so that
// the next run can find it on the server when the answer was lost.
struct PendingAdd {
  std::string id;         // the ID it is sent under
  std::string itemState;  // the Outlook item's state when it was sent
  enum class Status {
    kOut,        // sent or about to be, not answered: the line stays
    kConfirmed,  // the server took it (it has its row)
    kDropped,    // refused, or its item is gone: nothing of it is on the server
  } status = Status::kOut;
  bool addressName = false;  // `id` was made of the contact's e-mail address
  bool answerLost = false;   // sent singly in this run, no answer came
};

// A server list Outlook could not take yet: one of its members is a contact
// the same run brings over.
struct DeferredPull {
  std::string uid;
  std::string entryId;  // its Outlook list, or "" for a list to make
  std::string serverDate;
};

struct FolderRun {
  Variant folder;
  std::string messageClass;
  std::string folderName;
  int folderClass = 0;
  Date lastSyncTime;
  ConversionTable table;
  ConversionTable serverList;
  bool listFetched = false;
  Variant items;
  DeletionGuard guard;

  // The adds of this run and of the run before whose answers were lost, by
  // the Outlook item's EntryID; what is still out at the end stays in the
  // batch file for the next run.
  std::map<std::string, PendingAdd> adds;
  // Items the client-to-server pass met (whether sent or not).
  std::set<std::string> walked;
  // Distribution lists that could not be sent yet (a member the server does
  // not know yet): tried again once the adds of the run are in.
  std::vector<std::string> deferredLists;
  // Server lists that wait for the contacts of the run (see DeferredPull).
  std::vector<DeferredPull> deferredPulls;

  // What the user and a calling script learn at the end.
  int refused = 0;           // adds and edits the server refused
  bool unanswered = false;   // a request got no answer
  bool batchFailed = false;  // the batch could not be sent
};

// The fields of a row ("EntryID<TAB>UID<TAB>ModifiedDate"), or of a server
// list row ("UID<TAB>MODIFIEDDATE") in the first two.
struct RowFields {
  std::string entryId, uid, date;
};
RowFields SplitRow(const std::string& row);

// A modification stamp as a number: decimal text within 64 bits, anything
// else 0 (the server is expected to send 32-bit integers).
int64_t StampOf(const std::string& text);

// The item's LastModificationTime; Error when it cannot be read.
Date ModifiedOf(const Variant& item);

// The state to record for an item exchanged now (its own modification time;
// "" when that cannot be read).
std::string ExchangedState(const Variant& item);

// The state of an item's row (unknown without a row or a fourth field).
ItemState RowState(const FolderRun& run, const std::string& entryId);

// Whether an item that has a row was changed in Outlook since it was last
// exchanged: per its row's state, or for a row without one, by the table
// file's time (the item changed after the last sync time plus 2 seconds).
bool ChangedInOutlook(const FolderRun& run, const std::string& entryId, Date modified);

// Marks the row of `entryId` owed to the server (keeping the count of
// refusals), before its change goes out. Throws records::RecordsLost when the
// mark cannot be kept.
void MarkOwed(FolderRun& run, const std::string& entryId);

// After the server answered a change of `entryId`: taken, the row gets the
// server's stamp and the item's state when it was sent; refused, the row
// counts the refusal (and after kMaxRefusals takes the item's state as sent,
// so that it waits for the next change in Outlook). The server's reason is
// logged either way.
void ChangeTaken(FolderRun& run, const std::string& entryId, const std::string& modified,
                 const std::string& sentState);
void ChangeRefused(FolderRun& run, const std::string& entryId, const std::string& subject,
                   const std::string& reason, const std::string& sentState);

// Records an add in the batch file before it goes out (throws
// records::RecordsLost when the line cannot be written).
void RecordAdd(FolderRun& run, const std::string& entryId, const PendingAdd& add);

// The ID a new item is added under: the protocol's name (".CAL", ".VCF"),
// or for tasks and distribution lists a new unique name + ".TSK" / ".GRP";
// a contact's address that already names a row, a listed server item or
// another add of this run gives way to a new unique name. `addressName` tells
// whether the address was used.
std::string NewItemId(const FolderRun& run, const ServerItem& item, bool& addressName);

// Throws records::RecordsLost when the table's last row change could not be
// journaled (the run stops before anything relies on it).
void KeepRecordsOrStop(const FolderRun& run);

// Stages of the run.
void ClientToServerPass(FolderRun& run);
// After the walk: changes owed to the server that the walk did not reach
// (rows marked owed, adds of a failed run), and lists deferred by it.
void SendOwedChanges(FolderRun& run);
// Sends the lists deferred so far (their members' adds are in now); those
// that still wait stay deferred.
void SendDeferredLists(FolderRun& run);
// False when the server list could not be fetched.
bool ServerToClientPass(FolderRun& run);
// Brings over the server lists that waited for the contacts of the run.
void PullDeferredLists(FolderRun& run);
// False when the server list could not be fetched.
bool RecoverFailedBatch(FolderRun& run);
// Rewrites the batch file with the adds still out (removes it when none).
void KeepAddsStillOut(FolderRun& run);

}  // namespace qvsync

#endif
