#include "addin/sync/deletion_guard.h"

#include "addin/config/sync_config.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/sync/conversion_table.h"
#include "platform/outlook/outlook.h"
#include "platform/ui/ui.h"

namespace qvsync {

namespace {

// The plural noun of a message class, as the questions name items.
std::string ItemsNoun(const std::string& messageClass) {
  if (messageClass == "CONTACT") return "contacts";
  if (messageClass == "APPOINTMENT") return "appointments";
  return "tasks";
}

}  // namespace

std::string UnattendedReason() {
  switch (CurrentSyncOccasion()) {
    case SyncOccasion::StartUp:
      return "start-up";
    case SyncOccasion::ShutDown:
      return "shut-down";
    case SyncOccasion::Command:
      break;
  }
  try {
    if (AddinState().outlookApplication.get("ActiveExplorer").IsNothing()) return "automation";
  } catch (const qv::outlook::Error&) {
    return "automation";
  }
  return "";
}

bool DeletionGuard::Allows(DeletionSide side, size_t count, size_t tied) {
  if (Config().deletionGuard == 0 || count < 10 || count * 2 <= tied) return true;
  std::optional<bool>& answer = answers_[side == DeletionSide::Outlook ? 0 : 1];
  if (answer) return *answer;

  const std::string counts =
      std::to_string(count) + " of your " + std::to_string(tied) + " synchronized " + ItemsNoun(messageClass_);
  const std::string question = side == DeletionSide::Outlook
                                   ? "The server no longer lists " + counts + ". Delete them from Outlook?"
                                   : counts + " are no longer in Outlook. Delete them from the server?";
  const std::string reason = UnattendedReason();
  if (reason.empty()) {
    // No is the default: nobody there to answer deletes nothing.
    answer = qv::ui::ShowMessage(question, "Quorvia Synchronization", qv::ui::Buttons::YesNo, qv::ui::Icon::Exclamation,
                                 qv::ui::DefaultButton::Second) == qv::ui::Answer::Yes;
    LogMessage(std::string("Deletion Guard: ") + question + (*answer ? " Answered Yes." : " Answered No; kept."));
  } else {
    answer = false;
    LogMessage(std::string("Deletion Guard: ") + question + " Skipped without asking (" + reason +
               " run); the items and their conversion rows are kept for the next synchronization.");
  }
  return *answer;
}

size_t TiedRows(const ConversionTable& table) {
  size_t tied = 0;
  for (const std::string& row : table.rows()) {
    if (!ConversionTable::Field(row, 1).empty() && !ConversionTable::Field(row, 2).empty() &&
        !ConversionTable::Field(row, 3).empty())
      ++tied;
  }
  return tied;
}

}  // namespace qvsync
