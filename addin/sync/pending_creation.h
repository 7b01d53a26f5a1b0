// Outlook items made from server items, made crash-safe. Between an item's
// Save in Outlook and the row that ties it to its server item, a run that
// dies would leave an Outlook item no row knows: the next run would add it to
// the server as new, and make a second Outlook item from the server item.
//
// So a row is written first that says what is being made: it starts with a
// TAB, so every lookup and the saved table take it for a deleted row, and the
// journal keeps it. Once the item is saved, that row becomes the item's row;
// when it is not saved, the row is blanked. A run that died in between leaves
// the row in the journal, and the next run's recovery ties it to the Outlook
// item made from it, found by class, subject and the time it was made among
// the items no row knows, or blanks it when none was saved.
//
// The row: TAB, UID, TAB, the server's MODIFIEDDATE, TAB, the item's class,
// TAB, the local time in whole seconds of the date serial, TAB, its subject
// (TABs and line breaks read as spaces; empty when the record was written
// before the subject was known, and then any subject matches).
#ifndef QVSYNC_SYNC_PENDING_CREATION_H
#define QVSYNC_SYNC_PENDING_CREATION_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/outlook/outlook.h"

namespace qvsync {

class ConversionTable;

class PendingCreation {
 public:
  // Records that `item` (read from the server, not yet saved) is being made
  // for server item `uid` of `serverDate`.
  PendingCreation(ConversionTable& table, const qv::outlook::Variant& item, std::string uid, std::string serverDate);
  // Blanks the record unless Saved was called: nothing was made.
  ~PendingCreation();
  PendingCreation(const PendingCreation&) = delete;
  PendingCreation& operator=(const PendingCreation&) = delete;

  // Writes the item's subject into the record: for an item whose record had
  // to be written before its content was known (a distribution list saves
  // itself while its members are set).
  void Named(const std::string& subject);

  // After the item's Save: the record becomes the item's row, as
  // AddItemIdConversion would have appended it, with the item's state as
  // made (see item_state.h).
  void Saved(const std::string& entryId, const std::string& itemState = "");

 private:
  ConversionTable& table_;
  size_t row_;
  std::string uid_;
  std::string serverDate_;
  std::string head_;  // the record up to its subject
  bool done_ = false;
};

// Whether a row is the record of an item being made.
bool IsPendingCreationRow(std::string_view row);

// Resolves the records a run that died left in `table` (just loaded, its
// journal folded in) against the items of `folder`. Returns how many Outlook
// items were tied to their server items.
size_t RecoverPendingCreations(ConversionTable& table, const qv::outlook::Variant& folder);

}  // namespace qvsync

#endif
