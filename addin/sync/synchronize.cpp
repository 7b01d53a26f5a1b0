#include "addin/sync/synchronize.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>

#include "addin/codec/item_codec.h"
#include "addin/config/sync_config.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/server/protocol.h"
#include "addin/sync/batch.h"
#include "addin/sync/conversion_table.h"
#include "addin/sync/deletion_guard.h"
#include "addin/sync/folder_run.h"
#include "addin/sync/item_access.h"
#include "addin/sync/pending_creation.h"
#include "addin/sync/progress.h"
#include "addin/sync/record_files.h"
#include "platform/ui/ui.h"

namespace qvsync::modSynchronize {

using qv::outlook::Error;

Date SinceDate;

namespace {

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

constexpr const char* kTitle = "Quorvia Synchronization";

// A run that cannot keep its records stops, and says so.
void ReportRecordsLost(const std::string& why) {
  LogMessage("Error: The synchronization records cannot be kept (" + why + "). Synchronization stopped.");
  const std::string text = "Quorvia Sync Utility cannot keep its synchronization records in " +
                           qvsync::AccountDirectory() + " (" + why +
                           "). Nothing more was changed. Please make the folder writable or free some disk space, "
                           "then synchronize again.";
  qv::ui::ShowMessage(text, kTitle, qv::ui::Buttons::OK, qv::ui::Icon::Exclamation);
  qv::ui::ReportCommandFailure("Quorvia Sync Utility cannot keep its synchronization records (" + why + ")");
}

// What a run that did not get everything through tells a calling script.
void ReportOutcome(const FolderRun& run) {
  const std::string items = run.messageClass + " items";
  if (run.batchFailed)
    qv::ui::ReportCommandFailure("The batch of changes of " + items +
                                 " could not be sent to the server; it is sent again at the next synchronization.");
  if (run.refused > 0)
    qv::ui::ReportCommandFailure("The server refused " + std::to_string(run.refused) + " change(s) of " + items +
                                 "; the activity log says why.");
  if (run.unanswered && !run.batchFailed)
    qv::ui::ReportCommandFailure("Some changes of " + items +
                                 " got no answer from the server; they are sent again at the next synchronization.");
}

void ReportListFailure(const std::string& messageClass) {
  qv::ui::ReportCommandFailure("The list of " + messageClass +
                               " items could not be fetched from the server; they were not synchronized.");
}

// The one-day margin below the last sync time, counted from now when the
// clock has been set back since.
Date SinceDateFor(Date lastSync) {
  const SyncConfig& config = Config();
  const Date now = qv::outlook::LocalNow();
  if (config.restrict == 1) return qv::outlook::AddSeconds(now, -86400.0 * config.restrictValue);
  return qv::outlook::AddSeconds(std::min(lastSync, now), -86400.0);
}

// The batch of the run, and what waited for it: adds the server refused under
// an address-made name go under a new one, lists whose members are in now.
void SendBatch(FolderRun& run) {
  bool failed = modBatch::ProcessBatch(run) != 1;
  if (!run.batchFailed) {
    for (auto& [entryId, add] : run.adds) {
      if (add.status != PendingAdd::Status::kDropped || !add.addressName) continue;
      add.addressName = false;
      int32_t number = 0;
      std::string description;
      const Variant item = ItemFromEntryId(run.folder, entryId, number, description);
      if (item.IsNothing() || run.table.FindByEntryID(entryId) >= 0) continue;
      try {
        --run.refused;  // counted again if the new name is refused too
        modBatch::QueueInRun(run, "ADD", AccessObjectFor(item), "", "", NewUniqueName() + ".VCF");
      } catch (const Error&) {
      }
    }
    SendDeferredLists(run);
    if (!modBatch::Batch().empty()) failed = modBatch::ProcessBatch(run) != 1 || failed;
  }
  if (failed) {
    qv::ui::ShowMessage(
        "There was a problem with the last batch sent to the server. Please sync again to send any which "
        "failed again.",
        "Error", qv::ui::Buttons::OK, qv::ui::Icon::Exclamation);
  }
}

// The stages of a folder run after its set-up; false when it ended early
// because a list could not be fetched.
bool RunStages(FolderRun& run) {
  const SyncConfig& config = Config();
  // The batch file also holds the adds of a direct-mode run that died.
  if (modBatch::BatchFileExists(run.messageClass) && !RecoverFailedBatch(run)) return false;

  if (config.direction == 0 || config.direction == 1) {
    ClientToServerPass(run);
    if (!SyncCancelled) SendOwedChanges(run);
  }
  if ((config.direction == 0 || config.direction == 2) && !ServerToClientPass(run)) {
    // Nothing queued by this run is sent or applied: its edits stay owed and
    // its adds in the batch file, for the next run.
    modBatch::ResetBatch();
    KeepAddsStillOut(run);
    SaveUIDToEntryIDMappings(run.table, run.folderName, false);
    return false;
  }
  if (modBatch::IsBatchMode()) SendBatch(run);
  if (!SyncCancelled) PullDeferredLists(run);
  KeepAddsStillOut(run);
  SaveUIDToEntryIDMappings(run.table, run.folderName, false);
  return true;
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

  // Set-up.
  ConversionTableDirty = false;
  try {
    run.folderName = folder.get("Name").ToText();
  } catch (const Error&) {
  }
  // A table damaged from outside would read as no table at all, and every
  // item would be added again on both sides: the folder waits until it is
  // repaired or moved away.
  if (IsDamagedTableFile(GetConversionTablePath(run.folderName))) {
    const std::string path = GetConversionTablePath(run.folderName);
    LogMessage("Error: The item ID table " + path + " is damaged. Operation aborted!");
    qv::ui::ShowMessage("The synchronization records of " + run.folderName + " (" + path +
                            ") are damaged. Restore the file, or move it away to synchronize the folder anew "
                            "(every item is then added again on both sides).",
                        kTitle, qv::ui::Buttons::OK, qv::ui::Icon::Exclamation);
    qv::ui::ReportCommandFailure("The synchronization records of " + run.folderName + " are damaged: " + path);
    return;
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
  SinceDate = SinceDateFor(lastSyncAtStart);
  try {
    run.items.call("Sort", "[LastModificationTime]", true);
  } catch (const Error&) {
  }

  // Requests of another run never reach this one.
  modBatch::ResetBatch();
  try {
    // Outlook items a run that died had made from server items get their rows
    // before anything else looks at the table.
    RecoverPendingCreations(run.table, folder);
    KeepRecordsOrStop(run);
    if (!RunStages(run)) ReportListFailure(messageClass);
    ReportOutcome(run);
  } catch (const records::RecordsLost&) {
    modBatch::ResetBatch();
    // What the journal could not keep, the table may.
    SaveUIDToEntryIDMappings(run.table, run.folderName, false);
    CloseSyncProgress();
    ReleaseWrappers();
    throw;
  }
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
    // A lock file that cannot be made: the folder takes no records either.
    if (fd_ < 0) {
      error_ = errno;
      return;
    }
    held_ = ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    busy_ = !held_ && errno == EWOULDBLOCK;
  }
  ~AccountLock() {
    if (fd_ >= 0) ::close(fd_);  // releases the lock
  }
  AccountLock(const AccountLock&) = delete;
  AccountLock& operator=(const AccountLock&) = delete;
  bool busy() const { return busy_; }
  // The errno of a lock file that could not be made; 0 when it was.
  int error() const { return error_; }

 private:
  int fd_ = -1;
  int error_ = 0;
  bool held_ = false;
  bool busy_ = false;
};

// Room for a save of every table of the account (written beside the old one)
// and the records of a run.
size_t RecordsRoom() {
  size_t room = size_t{64} << 10;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(modBatch::AccountDirectory(), error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ic_", 0) == 0) room += static_cast<size_t>(entry.file_size(error));
  }
  return room;
}

// Whether a first run of this account may go ahead when the same user name
// has records for another server name: asked, since the two names may be one
// server, whose items would all be added a second time on both sides.
bool NewAccountFolderAllowed() {
  const std::string other = OtherRecordsOfThisUser();
  if (other.empty()) return true;
  const SyncConfig& config = Config();
  const std::string account = config.username + "@" + NormalizedHost(config.host);
  const std::string question = "Quorvia Sync Utility has no synchronization records for " + account +
                               " yet, but has records for " + other +
                               ". If both name the same server, every item would be added a second time on both "
                               "sides: enter the server as it was entered before. Synchronize " + account +
                               " as a new account?";
  const std::string unattended = UnattendedReason();
  // No is the default: nobody there to answer adds nothing a second time.
  if (unattended.empty() && qv::ui::ShowMessage(question, kTitle, qv::ui::Buttons::YesNo, qv::ui::Icon::Exclamation,
                                                qv::ui::DefaultButton::Second) == qv::ui::Answer::Yes)
    return true;
  LogMessage("Error: No records for " + account + " yet, but records for " + other +
             (unattended.empty() ? std::string(". Not confirmed") : ". Not asked (" + unattended + " run)") +
             "; aborted synchronization.");
  qv::ui::ReportCommandFailure("Not synchronized: " + account + " has no records yet, but " + other +
                               " has; confirm the server at the next synchronization, or enter it as before.");
  return false;
}

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
  if (config.dataDirectory.empty()) {
    LogMessage("Error: No data directory is configured. Aborted synchronization.");
    qv::ui::ShowMessage(
        "Quorvia Sync Utility has no data directory to keep its synchronization records in. Please configure one.",
        "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
    ShowConfigurationDialog();
    return;
  }
  if (!NewAccountFolderAllowed()) return;
  AccountLock lock;
  if (lock.busy()) {
    LogMessage("Error: A synchronization of this account is already running. Aborted synchronization.");
    const char* busy = "Quorvia Sync Utility is already synchronizing this account. Please try again when it has finished.";
    qv::ui::ShowMessage(busy, "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
    qv::ui::ReportCommandFailure(busy);
    return;
  }
  // A folder that cannot take the records (read-only, its disk full) stops
  // the run before it changes anything on either side.
  if (lock.error() != 0) {
    ReportRecordsLost(std::strerror(lock.error()));
    return;
  }
  if (!records::FolderTakesRecords(modBatch::AccountDirectory(), RecordsRoom())) {
    ReportRecordsLost(std::strerror(errno));
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
    } catch (const records::RecordsLost& lost) {
      // The classes after it would meet the same folder.
      ReportRecordsLost(lost.what());
      LogMessage(row.completion);
      break;
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
