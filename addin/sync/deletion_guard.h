// The mass-deletion guard. A server that briefly answers with an empty or cut
// list (or answers every edit with "removed"), or an Outlook profile rebuilt
// with new EntryIDs, would make one run delete everything on the other side.
// When one folder run would delete more than half of the items the table ties
// to the server (and at least 10) on one side, the user is asked first; No,
// or a run nobody can be asked in, keeps those items and their rows for the
// next run. The REG_DWORD "Deletion Guard" (0) turns it off.
#ifndef QVSYNC_SYNC_DELETION_GUARD_H
#define QVSYNC_SYNC_DELETION_GUARD_H

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace qvsync {

class ConversionTable;

enum class DeletionSide { Outlook, Server };

// One per folder run: a run may come to the same deletions twice (the edits
// the server answers with "removed", then the list that lacks those items),
// and the user is asked once per side; the second time gets the first answer.
class DeletionGuard {
 public:
  explicit DeletionGuard(std::string messageClass = "") : messageClass_(std::move(messageClass)) {}

  // Whether `count` deletions on `side`, of the `tied` items the table ties to
  // the server, may go ahead. Logs the question and its answer.
  bool Allows(DeletionSide side, size_t count, size_t tied);

 private:
  std::string messageClass_;
  std::optional<bool> answers_[2];
};

// Why nobody can be asked during this run ("start-up", "shut-down",
// "automation": Outlook runs without its window); "" when someone can.
std::string UnattendedReason();

// The rows of `table` that tie an Outlook item to a server item (all three
// fields present).
size_t TiedRows(const ConversionTable& table);

}  // namespace qvsync

#endif
