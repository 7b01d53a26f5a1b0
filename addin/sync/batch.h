// Batch mode (modBatch): a folder run queues its server requests in memory and
// sends them at the end of the run in one "Cmd=BATCH" request; the reply, one
// element per request, is applied to Outlook and to the conversion table.
// Every queued add is also appended to the class's batch file
// ("_batch_" + class + ".TAB" in the account directory) before it goes out, so
// that a run that dies, or whose reply is lost or cut short, can be confirmed
// with the server by the next run of the same class (the failed-batch
// recovery). An edit marks its row owed to the server (item_state.h) for the
// same reason.
//
// Everything runs on the host's user-interface thread; the batch is shared by
// all folder runs of the process, one run at a time. Building the request text
// and applying the reply take time linear in the number of requests.
#ifndef QVSYNC_SYNC_BATCH_H
#define QVSYNC_SYNC_BATCH_H

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "addin/sync/conversion_table.h"
#include "platform/outlook/outlook.h"

namespace qvsync {
struct FolderRun;
}

namespace qvsync::modBatch {

using qv::outlook::Variant;

// The batch: the queued requests and, per request, the EntryID of its Outlook
// item ("[NONE]" without one), its UID argument and its modification-date
// argument. Position n of each list belongs to request n and, after sending,
// to the n-th element of the reply.
struct BatchValues {
  std::string requestText;            // requests joined by CR LF, "&" inside each replaced by CR
  std::vector<std::string> entryIds;  // per request
  std::vector<std::string> uids;      // per request (empty for adds)
  std::vector<std::string> dates;     // per request (the server's MODIFIEDDATE for gets)
  // Kept beside the four values so that the reply can be checked and applied
  // without reading the request text again.
  std::vector<std::string> verbs;   // "ADD", "EDIT", "GET", "DELETE", ...
  std::vector<std::string> newIds;  // the ID an add was sent under (empty otherwise)
  std::vector<std::string> states;  // adds and edits: the item's state as it was sent
  size_t size() const { return entryIds.size(); }
  bool empty() const { return requestText.empty(); }
};

// The process-wide batch.
BatchValues& Batch();

// Clears the batch.
void ResetBatch();

// True when the setting "Batch Mode" is 1.
bool IsBatchMode();

// The ID a new item is added under in a batch: the new-item name of the
// request protocol (".CAL", ".VCF"), and for tasks and distribution lists,
// which have none there, a new unique name + ".TSK" or ".GRP", so that the
// recovery can find them on the server.
std::string BatchItemId(int outlookClass, const std::string& itemFileName);

// The line the batch file holds for an add: "ADD", the Outlook EntryID, the
// ID it is sent under, and (a field readers of three pass over) the item's
// state as it was sent. Appended before the add goes out; false when it
// cannot be written (the add must then not go out).
bool RecordPendingAdd(const std::string& messageClass, const std::string& entryId, const std::string& newId,
                      const std::string& itemState);

// Queues one request: verb "ADD", "EDIT", "GET" or "DELETE" for the run's
// message class (upper case) or, for distribution lists, "CONTACTGROUP".
// `item` is the access object of the Outlook item (empty or Nothing for none),
// `table` the run's conversion table (needed to serialise distribution lists).
// 1 when queued; 0 when an add or edit produced no request fields, or an
// add's line could not be written to the batch file.
int QueueBatchRequest(const std::string& messageClass, const std::string& verb, const Variant& item,
                      const std::string& uid, const std::string& date, ConversionTable& table);
// The same within a folder run, which keeps its records: an add goes under
// `newId` when given (an add sent before whose answer was lost) and is
// recorded in `run.adds`; an edit marks its row owed. Throws
// records::RecordsLost when a record cannot be kept.
int QueueInRun(FolderRun& run, const std::string& verb, const Variant& item, const std::string& uid,
               const std::string& date, const std::string& newId = "");

// Sends the batch and applies the reply to Outlook, the run's conversion
// table and its server list. 1 on success (also for an empty batch), 0 when
// the send failed, the reply is no batch reply, or it left requests
// unanswered (those stay for the next run: adds in the batch file, edits
// owed). Clears the batch either way. Outlook items whose edit the server
// answers with "removed" go with their rows once the whole reply is applied,
// when the run's deletion guard lets that many go.
int ProcessBatch(FolderRun& run);

// The account directory and the batch file of a message class live beside
// the conversion table's path.
using qvsync::AccountDirectory;
using qvsync::BatchFilePath;
bool BatchFileExists(const std::string& messageClass);
void DeleteBatchFile(const std::string& messageClass);

// The adds of a failed batch: new ID -> the batch-file line (of two lines with
// the same ID the first is kept).
using FailedBatch = std::unordered_map<std::string, std::string>;

// Reads the class's batch file into `batch`; false (and `batch` untouched)
// when the file cannot be opened.
bool LoadFailedBatch(FailedBatch& batch, const std::string& messageClass);
// The same from the file's text (any bytes).
FailedBatch ReadFailedBatch(std::string_view text);
// The fields of a batch-file line: EntryID, ID and the item's state ("" when
// the line has none).
struct AddLine {
  std::string entryId, id, itemState;
};
AddLine ReadAddLine(std::string_view line);

// Confirms the adds of a failed batch with the server's list: every listed ID
// that the batch holds gets a conversion row (the Outlook EntryID recorded in
// the batch file, the ID, the server's MODIFIEDDATE, the item's state) unless
// the table already has a row for the ID or for the EntryID, and leaves
// `batch`. What stays in `batch` never reached the server.
void ConfirmFailedBatch(FailedBatch& batch, const ConversionTable& serverList,
                        ConversionTable& table);

// One element of a batch reply, read from its own children only.
struct ReplyElement {
  std::string verb;   // from METHOD, upper case
  std::string cls;    // from METHOD, upper case
  std::string returnValue, uid, modifiedDate, errorValue, errorDescription;
  std::string xml;    // the element as text (what the deserialiser reads for a get)
};
// Reads a batch reply: false when it is empty, an HTML page or no XML;
// otherwise one entry per child element of the root, in order.
bool ReadBatchReply(std::string_view reply, std::vector<ReplyElement>& elements);
// Whether elements read from a reply answer a batch of `verbs` at all: at
// least one of them has the verb of the request at its position. (A servlet
// document such as "session expired" answers none.)
bool AnswersBatch(const std::vector<ReplyElement>& elements, const std::vector<std::string>& verbs);

}  // namespace qvsync::modBatch

#endif
