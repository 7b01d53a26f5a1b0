#include "addin/sync/pending_creation.h"

#include <cmath>
#include <cstdlib>
#include <utility>
#include <vector>

#include "addin/log/activity_log.h"
#include "addin/sync/conversion_table.h"
#include "addin/sync/item_access.h"
#include "addin/sync/item_state.h"

namespace qvsync {

using qv::outlook::Error;
using qv::outlook::Variant;

namespace {

// The subject as one field of a row.
std::string SubjectField(std::string subject) {
  for (char& c : subject)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return subject;
}

// How far from its record's time an item may have been made and still be the
// one the record speaks of: a save follows its record within moments, while a
// person making an item of the same name waits for Outlook to start again.
constexpr double kSameMomentSeconds = 120;

// The moment an item is being made, in the clock its CreationTime will be
// read in: Outlook's own where an unsaved item tells it, else the system's.
double MakingInSeconds(const Variant& item) {
  try {
    const qv::outlook::Date created = item.get("CreationTime").ToDate();
    if (created.serial > 0 && created < qv::outlook::kNoDate) return created.serial * 86400.0;
  } catch (const Error&) {
  }
  return qv::outlook::LocalNow().serial * 86400.0;
}

struct Record {
  std::string uid, serverDate, itemClass, subject;
  double seconds = 0;
};

// The fields of a record row; false for any other row.
bool ParseRecord(std::string_view row, Record& record) {
  if (!IsPendingCreationRow(row)) return false;
  std::vector<std::string_view> fields;
  size_t start = 1;
  while (fields.size() < 4) {
    const size_t tab = row.find('\t', start);
    if (tab == std::string_view::npos) return false;
    fields.push_back(row.substr(start, tab - start));
    start = tab + 1;
  }
  record.uid = std::string(fields[0]);
  record.serverDate = std::string(fields[1]);
  record.itemClass = std::string(fields[2]);
  record.subject = std::string(row.substr(start));
  const std::string seconds(fields[3]);
  char* end = nullptr;
  record.seconds = std::strtod(seconds.c_str(), &end);
  return !record.uid.empty() && !seconds.empty() && end != nullptr && *end == '\0' &&
         std::isfinite(record.seconds);
}

// An Outlook item of the folder that no row ties to the server.
struct Untied {
  std::string entryId, itemClass, subject;
  std::string state;   // its state as made (item_state.h)
  double seconds = 0;  // made at, local time
  bool taken = false;
};

}  // namespace

bool IsPendingCreationRow(std::string_view row) {
  // A deleted row is one or two TABs; a record has a UID after its TAB and
  // five fields.
  if (row.size() < 2 || row[0] != '\t' || row[1] == '\t') return false;
  size_t tabs = 0;
  for (char c : row) tabs += c == '\t';
  return tabs >= 5;
}

PendingCreation::PendingCreation(ConversionTable& table, const Variant& item, std::string uid,
                                 std::string serverDate)
    : table_(table), row_(table.size()), uid_(std::move(uid)), serverDate_(std::move(serverDate)) {
  head_ = "\t" + uid_ + "\t" + serverDate_ + "\t" + std::to_string(LongOf(item, "Class")) + "\t" +
          std::to_string(static_cast<long long>(MakingInSeconds(item))) + "\t";
  table_.AppendRow(head_ + SubjectField(TextOf(item, "Subject")));
}

void PendingCreation::Named(const std::string& subject) { table_.SetRow(row_, head_ + SubjectField(subject)); }

PendingCreation::~PendingCreation() {
  if (!done_) table_.SetRow(row_, "\t\t");
}

void PendingCreation::Saved(const std::string& entryId, const std::string& itemState) {
  std::string row = entryId + "\t" + uid_ + "\t" + serverDate_;
  if (!itemState.empty()) row += "\t" + itemState;
  table_.SetRow(row_, std::move(row));
  done_ = true;
}

size_t RecoverPendingCreations(ConversionTable& table, const Variant& folder) {
  std::vector<size_t> pending;
  for (size_t i = 0; i < table.size(); ++i)
    if (IsPendingCreationRow(table.rows()[i])) pending.push_back(i);
  if (pending.empty()) return 0;

  // The folder's items that no row knows: the candidates.
  std::vector<Untied> untied;
  try {
    const Variant items = folder.get("Items");
    const int32_t count = static_cast<int32_t>(items.get("Count").ToLong());
    for (int32_t i = 1; i <= count; ++i) {
      try {
        const Variant item = items.call("Item", i);
        Untied candidate;
        candidate.entryId = TextOf(item, "EntryID");
        if (candidate.entryId.empty() || table.FindByEntryID(candidate.entryId) >= 0) continue;
        candidate.itemClass = std::to_string(LongOf(item, "Class"));
        candidate.subject = SubjectField(TextOf(item, "Subject"));
        candidate.seconds = item.get("CreationTime").ToDate().serial * 86400.0;
        candidate.state = FormatItemState(ItemState::Exchanged(item.get("LastModificationTime").ToDate()));
        untied.push_back(std::move(candidate));
      } catch (const Error&) {
      }
    }
  } catch (const Error&) {
  }

  size_t tied = 0;
  for (size_t row : pending) {
    Record record;
    if (!ParseRecord(table.rows()[row], record) || table.FindByUID(record.uid) >= 0) {
      table.SetRow(row, "\t\t");
      continue;
    }
    // Of the matching items made about when the record was written, the one
    // made closest to it.
    Untied* match = nullptr;
    for (Untied& candidate : untied) {
      if (candidate.taken || candidate.itemClass != record.itemClass ||
          (!record.subject.empty() && candidate.subject != record.subject))
        continue;
      const double distance = std::fabs(candidate.seconds - record.seconds);
      if (distance > kSameMomentSeconds) continue;
      if (match == nullptr || distance < std::fabs(match->seconds - record.seconds)) match = &candidate;
    }
    if (match == nullptr) {
      LogMessage("The Outlook item [" + record.subject + "] for server item UID=" + record.uid +
                 " was not saved before the last synchronization stopped; it will be made again.");
      table.SetRow(row, "\t\t");
      continue;
    }
    match->taken = true;
    LogMessage("The Outlook item [" + record.subject + "] made from server item UID=" + record.uid +
               " before the last synchronization stopped is tied to it again (EID=" + match->entryId + ").");
    table.SetRow(row, match->entryId + "\t" + record.uid + "\t" + record.serverDate + "\t" + match->state);
    ++tied;
  }
  return tied;
}

}  // namespace qvsync
