#include "addin/sync/batch.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <pugixml.hpp>
#include <sstream>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "addin/codec/strings.h"
#include "addin/config/sync_config.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/server/http_transport.h"
#include "addin/server/protocol.h"
#include "addin/codec/encodings.h"
#include "addin/codec/item_codec.h"
#include "addin/sync/conversion_table.h"
#include "addin/sync/deletion_guard.h"
#include "addin/sync/folder_run.h"
#include "addin/sync/item_access.h"
#include "addin/sync/pending_creation.h"
#include "addin/sync/progress.h"
#include "addin/sync/record_files.h"
#include "platform/codepage/codepage.h"

namespace qvsync::modBatch {

using qv::outlook::Error;

namespace {

constexpr const char* kNoEntryId = "[NONE]";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Splits `text` at TAB into at most `count` fields (the last takes the rest).
std::vector<std::string> SplitTabs(std::string_view text, size_t count) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (fields.size() + 1 < count) {
    size_t tab = text.find('\t', pos);
    if (tab == std::string_view::npos) break;
    fields.emplace_back(text.substr(pos, tab - pos));
    pos = tab + 1;
  }
  fields.emplace_back(text.substr(pos));
  fields.resize(count);
  return fields;
}

// Appends one line (CR LF) to the batch file at once, so that a crash right
// after the add was queued still leaves its line behind. False when it could
// not be written.
bool AppendBatchLine(const std::string& messageClass, const std::string& line) {
  return records::Append(BatchFilePath(messageClass), qv::codepage::FromUtf8(line) + "\r\n");
}

std::string AddLineText(const std::string& entryId, const std::string& newId, const std::string& itemState) {
  std::string line = "ADD\t" + entryId + "\t" + newId;
  if (!itemState.empty()) line += "\t" + itemState;
  return line;
}

// The Outlook item an entry of the batch belongs to; Nothing when there is
// none or it cannot be found.
Variant LookUpItem(const Variant& folder, const std::string& entryId) {
  if (entryId.empty() || entryId == kNoEntryId) return Variant::Nothing();
  int32_t number = 0;
  std::string description;
  return ItemFromEntryId(folder, entryId, number, description);
}

bool InDeletedItems(const Variant& item) {
  try {
    return item.get("Parent").get("Name").ToText() == "Deleted Items";
  } catch (const Error&) {
    return false;
  }
}

bool IsNumber(const std::string& text) {
  if (text.empty()) return false;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// A new item in `folder` for a GET of `cls`, with its access object.
struct NewItem {
  Variant item;    // the Outlook item
  Variant access;  // the wrapper around it, or the item
};

NewItem CreateItemForClass(const Variant& folder, const std::string& cls) {
  int itemType = -1;
  int wrapperClass = 0;
  if (cls == "CONTACT") {
    itemType = 2;
    wrapperClass = kClassContact;
  } else if (cls == "CONTACTGROUP") {
    itemType = 7;
    wrapperClass = kClassDistributionList;
  } else if (cls == "APPOINTMENT") {
    itemType = 1;
    wrapperClass = kClassAppointment;
  }
  NewItem made;
  Variant items = folder.get("Items");
  made.item = itemType < 0 ? items.call("Add") : items.call("Add", itemType);
  made.access = made.item;
  if (wrapperClass != 0 && UseRedemption) {
    int32_t number = 0;
    std::string description;
    Variant wrapper = CreateWrapper(wrapperClass, number, description);
    if (!wrapper.IsNothing()) {
      wrapper.put("Item", made.item);
      made.access = wrapper;
    }
  }
  return made;
}

}  // namespace

BatchValues& Batch() {
  static BatchValues batch;
  return batch;
}

void ResetBatch() { Batch() = BatchValues(); }

bool IsBatchMode() { return Config().batchMode == 1; }

std::string BatchItemId(int outlookClass, const std::string& itemFileName) {
  if (!itemFileName.empty()) return itemFileName;
  if (outlookClass == kClassTask) return NewUniqueName() + ".TSK";
  if (outlookClass == kClassDistributionList) return NewUniqueName() + ".GRP";
  return itemFileName;
}

bool RecordPendingAdd(const std::string& messageClass, const std::string& entryId, const std::string& newId,
                      const std::string& itemState) {
  return AppendBatchLine(messageClass, AddLineText(entryId, newId, itemState));
}

namespace {

// Queues one request; see QueueBatchRequest and QueueInRun (`run` may be null).
int QueueRequest(FolderRun* run, const std::string& messageClass, const std::string& verb, const Variant& item,
                 const std::string& uid, const std::string& date, ConversionTable& table,
                 const std::string& givenId) {
  const bool hasItem = item.IsObject() && !item.IsNothing();
  std::string entryId = kNoEntryId;
  int itemClass = 0;
  if (hasItem) {
    entryId = TextOf(item, "EntryID");
    itemClass = LongOf(item, "Class");
  }
  std::string targetClass = Upper(messageClass);
  if ((hasItem && itemClass == kClassDistributionList) || (!hasItem && EndsWith(uid, ".GRP")))
    targetClass = "CONTACTGROUP";

  std::string request = "Cmd=" + Upper(verb) + "-" + targetClass + "&";
  std::string newId;
  std::string state;
  const std::string upperVerb = Upper(verb);
  if (upperVerb == "ADD" || upperVerb == "EDIT") {
    if (!hasItem) return 0;
    std::string fields;
    std::unique_ptr<ServerItem> serverItem;
    try {
      // The time of the content sent, read before it is read.
      state = ExchangedState(item);
      serverItem = MakeServerItem(item, &table);
      fields = serverItem->SerializeItem("");
    } catch (const Error&) {
      fields.clear();
    }
    if (fields.empty()) return 0;
    if (upperVerb == "ADD") {
      bool addressName = false;
      newId = givenId;
      if (newId.empty()) {
        newId = run != nullptr ? NewItemId(*run, *serverItem, addressName)
                               : BatchItemId(itemClass, ItemFileName(*serverItem));
      }
      fields += IdField(newId);
      if (run != nullptr) {
        PendingAdd add;
        add.id = newId;
        add.itemState = state;
        add.addressName = addressName;
        RecordAdd(*run, entryId, add);
      } else if (!RecordPendingAdd(messageClass, entryId, newId, state)) {
        return 0;
      }
    } else {
      fields += IdField(uid);
      if (run != nullptr) MarkOwed(*run, entryId);
    }
    request += fields;
  } else if (upperVerb == "GET") {
    request += "ID=" + EscapeValue(uid);
    if (targetClass == "APPOINTMENT") request += "&ReturnAttendeesDetails=1";
  } else if (upperVerb == "DELETE") {
    request += "ID=" + EscapeValue(uid);
  }

  BatchValues& batch = Batch();
  if (!batch.requestText.empty()) batch.requestText += "\r\n";
  for (char c : request) batch.requestText += c == '&' ? '\r' : c;
  batch.entryIds.push_back(entryId);
  batch.uids.push_back(uid);
  batch.dates.push_back(date);
  batch.verbs.push_back(upperVerb);
  batch.newIds.push_back(newId);
  batch.states.push_back(state);
  return 1;
}

}  // namespace

int QueueBatchRequest(const std::string& messageClass, const std::string& verb, const Variant& item,
                      const std::string& uid, const std::string& date, ConversionTable& table) {
  return QueueRequest(nullptr, messageClass, verb, item, uid, date, table, "");
}

int QueueInRun(FolderRun& run, const std::string& verb, const Variant& item, const std::string& uid,
               const std::string& date, const std::string& newId) {
  return QueueRequest(&run, run.messageClass, verb, item, uid, date, run.table, newId);
}

bool ReadBatchReply(std::string_view reply, std::vector<ReplyElement>& elements) {
  elements.clear();
  if (reply.empty()) return false;
  if (Upper(std::string(reply.substr(0, 6))) == "<HTML>") return false;
  pugi::xml_document doc;
  if (!doc.load_buffer(reply.data(), reply.size(), pugi::parse_default, pugi::encoding_utf8)) return false;
  pugi::xml_node root = doc.document_element();
  // An HTML page that happens to be well-formed (a doctype or blanks before
  // the <html> tag) is no batch reply either.
  if (!root || Upper(root.name()) == "HTML") return false;
  for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    ReplyElement element;
    const std::string method = Upper(child.attribute("METHOD").value());
    const size_t dash = method.find('-');
    element.verb = dash == std::string::npos ? method : method.substr(0, dash);
    element.cls = dash == std::string::npos ? "" : method.substr(dash + 1);
    // Only the element's own children: a value it lacks stays empty.
    element.returnValue = child.child("RETURNVALUE").text().get();
    element.uid = child.child("UID").text().get();
    element.modifiedDate = child.child("MODIFIEDDATE").text().get();
    element.errorValue = child.child("ERROR_VALUE").text().get();
    element.errorDescription = child.child("ERROR_DESCRIPTION").text().get();
    std::ostringstream text;
    child.print(text, "", pugi::format_raw);
    element.xml = text.str();
    elements.push_back(std::move(element));
  }
  return true;
}

bool AnswersBatch(const std::vector<ReplyElement>& elements, const std::vector<std::string>& verbs) {
  for (size_t n = 0; n < elements.size() && n < verbs.size(); ++n)
    if (elements[n].verb == verbs[n]) return true;
  return false;
}

namespace {

// A send that failed as a whole: nothing was applied; the adds stay in the
// batch file and the edits owed, for the next run.
int SendFailed(FolderRun& run) {
  run.batchFailed = true;
  ResetBatch();
  return 0;
}

// Whether an edit answered "0" was one of an item the server no longer has
// (rather than one it refused): the error says so, or says nothing and the
// list fetched before did not hold the item either.
bool EditOfRemovedItem(const FolderRun& run, const ReplyElement& element, const std::string& uid) {
  if (element.errorValue == "1001") return true;
  if (!element.errorValue.empty()) return false;
  return !run.listFetched || run.serverList.FindByEntryID(uid) < 0;
}

}  // namespace

int ProcessBatch(FolderRun& run) {
  BatchValues& batch = Batch();
  if (batch.empty()) return 1;
  ConversionTable& table = run.table;
  Variant& folder = run.folder;
  const size_t tiedAtStart = TiedRows(table);
  LogMessage("Status: Executing batch containing " + std::to_string(batch.size()) + " items.");

  int32_t errorCode = 0;
  std::string errorMessage;
  const std::string reply = PostToServer("Cmd=BATCH&Batch=" + batch.requestText, errorCode, errorMessage);

  if (reply.empty() || Upper(reply.substr(0, 6)) == "<HTML>") {
    LogMessage("Server Issue occured adding batch. Batch Data=" + batch.requestText);
    if (!reply.empty()) LogMessage("Server Returned Invalid Response: " + reply);
    if (errorCode > 0)
      LogMessage("Error when sending batch to server (err " + std::to_string(errorCode) + "): " + errorMessage);
    return SendFailed(run);
  }
  std::vector<ReplyElement> elements;
  // A reply whose elements answer none of the requests (the servlet's own
  // "session expired" document, say) carried nothing out either.
  if (!ReadBatchReply(reply, elements) || !AnswersBatch(elements, batch.verbs)) {
    LogMessage("Server Returned Invalid Response: " + reply);
    return SendFailed(run);
  }
  LogMessage("Status: Batch was processed returning " + std::to_string(elements.size()) + " items.");

  // Outlook items the server no longer has: removed after the whole reply has
  // been read, so that every decision is made before anything is deleted.
  struct LocalDeletion {
    Variant item;
    std::string uid;
  };
  std::vector<LocalDeletion> localDeletions;
  bool unanswered = elements.size() < batch.size();
  bool addRefused = false;

  const size_t count = std::min(elements.size(), batch.size());
  for (size_t n = 0; n < count; ++n) {
    const ReplyElement& element = elements[n];
    const std::string& entryId = batch.entryIds[n];
    const std::string& uid = batch.uids[n];
    // A reply that lost its step with the requests must not apply one
    // request's answer to another: that request counts as unanswered.
    if (element.verb != batch.verbs[n]) {
      LogMessage("Server Returned Invalid Response: " + element.xml);
      unanswered = true;
      continue;
    }
    try {
      Variant item = LookUpItem(folder, entryId);
      const bool hasItem = !item.IsNothing();
      if (element.verb == "GET") {
        if (!IsNumber(element.returnValue) || std::stoll(element.returnValue.substr(0, 18)) == 0) {
          LogMessage("Could not update outlook item from server item with UID:" + uid +
                     "Item will not be created in outlook.");
          continue;
        }
        // A UID that meanwhile has a row (a second GET for it) is not created twice.
        if (table.FindByUID(uid) >= 0) continue;
        NewItem made = CreateItemForClass(folder, element.cls);
        std::unique_ptr<ServerItem> serverItem = MakeServerItem(made.access, &table, folder);
        // A list saves itself while its members are set: its record goes first.
        const bool list = element.cls == "CONTACTGROUP";
        std::optional<PendingCreation> creation;
        if (list) {
          creation.emplace(table, made.item, uid, batch.dates[n]);
          KeepRecordsOrStop(run);
        }
        if (serverItem->DeserializeItem(element.xml) != 1) {
          LogMessage("Skipping Item for next pass");
          // A list may wait for contacts this reply brings.
          if (list) run.deferredPulls.push_back({uid, "", batch.dates[n]});
          continue;
        }
        if (list) creation->Named(TextOf(made.item, "Subject"));
        else creation.emplace(table, made.item, uid, batch.dates[n]);
        KeepRecordsOrStop(run);
        made.item.call("Save");
        const std::string subject = TextOf(made.item, "Subject");
        SetSyncStatus("Created Outlook item: " + subject);
        LogMessage("Created [" + subject + "] from server");
        creation->Saved(TextOf(made.item, "EntryID"), ExchangedState(made.item));
      } else if (element.verb == "DELETE") {
        SetSyncStatus("Removing server item: " + uid);
        table.RemoveItemIdConversionByUID(uid);
        LogMessage("Deleted Item from conversion table with UID=" + uid + " since it no longer exists in outlook");
        run.serverList.RemoveItemIdConversionByEntryID(uid);
        LogMessage("Deleted Item from server with UID=" + uid);
      } else if (element.verb == "EDIT") {
        const std::string subject = hasItem ? TextOf(item, "Subject") : "";
        LogMessage("Updating Outlook Item to Server: " + subject);
        if (element.returnValue.empty()) {
          unanswered = true;  // still owed
        } else if (element.returnValue != "0") {
          ChangeTaken(run, entryId, element.modifiedDate, batch.states[n]);
        } else if (EditOfRemovedItem(run, element, uid)) {
          LogMessage("Outlook Item [" + subject +
                     "] could not be edited on server because it has been removed from the server. "
                     "Deleting local item");
          SetSyncStatus("Removing local item: " + subject);
          // An item already in "Deleted Items" (the server-to-client pass of
          // this run put it there) stays there: deleting it again would remove
          // it for good. Its row, or the row of an item that is gone, goes now.
          if (hasItem && !InDeletedItems(item)) localDeletions.push_back({item, uid});
          else table.RemoveItemIdConversionByUID(uid);
        } else {
          ChangeRefused(run, entryId, subject, element.errorDescription, batch.states[n]);
        }
      } else if (element.verb == "ADD") {
        if (Config().direction != 0 && Config().direction != 1) continue;
        PendingAdd& add = run.adds[entryId];
        if (element.returnValue.empty()) {
          // No answer to it: the next run's recovery asks the server's list.
          unanswered = true;
        } else if (element.returnValue == "0") {
          const std::string subject = hasItem ? TextOf(item, "Subject") : "";
          LogMessage("Error: " + element.verb + ": Unable to process Outlook item with subject \"" + subject +
                     "\". Reason: " + element.errorDescription);
          add.status = PendingAdd::Status::kDropped;
          addRefused = true;
          ++run.refused;
        } else {
          // A reply without UID means the item was taken under the ID it was sent with.
          const std::string newUid = element.uid.empty() ? batch.newIds[n] : element.uid;
          const std::string modified = element.modifiedDate.empty() ? "0" : element.modifiedDate;
          table.AddItemIdConversion(newUid, entryId, modified, batch.states[n]);
          add.status = PendingAdd::Status::kConfirmed;
        }
      }
    } catch (const records::RecordsLost&) {
      ResetBatch();
      throw;
    } catch (const Error&) {
      // The step is skipped; the next element is applied.
    } catch (const std::exception&) {
    }
  }
  if (!localDeletions.empty() && run.guard.Allows(DeletionSide::Outlook, localDeletions.size(), tiedAtStart)) {
    for (const LocalDeletion& deletion : localDeletions) {
      // The item first: a run that dies in between leaves a row whose item
      // is in "Deleted Items", which the next run clears; the other way round
      // it would leave an item no row knows, added again as new.
      try {
        deletion.item.call("Delete");
        table.RemoveItemIdConversionByUID(deletion.uid);
      } catch (const Error&) {
      }
    }
  }
  const size_t requests = batch.size();
  ResetBatch();
  // A refused add holds nothing on the server: its line goes at once, so that
  // no later recovery ties the item to what the server has under that ID.
  if (addRefused) KeepAddsStillOut(run);
  if (unanswered) {
    LogMessage("Error: The server answered " + std::to_string(count) + " of the " + std::to_string(requests) +
               " requests of the batch; the others are sent again at the next synchronization.");
    run.unanswered = true;
    return 0;
  }
  return 1;
}

bool BatchFileExists(const std::string& messageClass) {
  std::error_code ignored;
  return std::filesystem::is_regular_file(BatchFilePath(messageClass), ignored);
}

void DeleteBatchFile(const std::string& messageClass) {
  std::error_code ignored;
  std::filesystem::remove(BatchFilePath(messageClass), ignored);
}

FailedBatch ReadFailedBatch(std::string_view text) {
  FailedBatch batch;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    const std::string utf8 = qv::codepage::ToUtf8(line);
    std::vector<std::string> fields = SplitTabs(utf8, 3);
    // The third field may hold further TABs in a damaged file: the ID ends at the next one.
    std::string id = fields[2].substr(0, fields[2].find('\t'));
    batch.emplace(std::move(id), utf8);  // the first line of an ID is kept
  }
  return batch;
}

bool LoadFailedBatch(FailedBatch& batch, const std::string& messageClass) {
  const std::string path = BatchFilePath(messageClass);
  if (path.empty()) return false;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::string text;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  std::fclose(file);
  batch = ReadFailedBatch(text);
  return true;
}

AddLine ReadAddLine(std::string_view line) {
  std::vector<std::string> fields = SplitTabs(line, 4);
  AddLine add;
  add.entryId = fields[1];
  add.id = fields[2];
  add.itemState = fields[3].substr(0, fields[3].find('\t'));
  return add;
}

void ConfirmFailedBatch(FailedBatch& batch, const ConversionTable& serverList, ConversionTable& table) {
  for (const std::string& row : serverList.rows()) {
    if (ConversionTable::IsDeleted(row)) continue;
    std::vector<std::string> fields = SplitTabs(row, 2);
    const std::string& id = fields[0];
    auto entry = batch.find(id);
    if (entry == batch.end()) {
      LogMessage("Server item : " + id + " not in last failed batch.");
      continue;
    }
    LogMessage("Server item : " + id + " succeeded in last failed batch.");
    // The row ties the server ID to the Outlook item the add was made from,
    // unless either already has one (the item went again under another ID).
    const AddLine add = ReadAddLine(entry->second);
    if (table.FindByUID(id) < 0 && !add.entryId.empty() && table.FindByEntryID(add.entryId) < 0)
      table.AddItemIdConversion(id, add.entryId, fields[1], add.itemState);
    batch.erase(entry);
  }
}

}  // namespace qvsync::modBatch
