// A synchronisation set-up for tests: a fresh emulated Outlook profile that the
// add-in state points at, the servlet emulator on loopback with one mailbox,
// the configuration of that account, a scripted front end for message boxes
// and progress, and the activity log in a temporary folder.
//
// Modification times: items are stamped by the profile's clock, which runs a
// settable number of seconds ahead of the system clock; after every run the
// conversion tables that the run rewrote get the same lead, so `Advance()`
// between runs makes later edits count as changes without waiting.
#ifndef QV_TESTS_ADDIN_SYNC_SYNC_FIXTURE_H
#define QV_TESTS_ADDIN_SYNC_SYNC_FIXTURE_H

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "addin/config/sync_config.h"
#include "addin/connect.h"
#include "addin/log/activity_log.h"
#include "addin/server/http_transport.h"
#include "addin/server/protocol.h"
#include "addin/sync/batch.h"
#include "addin/sync/progress.h"
#include "addin/sync/synchronize.h"
#include "platform/outlook/outlook.h"
#include "platform/ui/progress.h"
#include "platform/ui/ui.h"
#include "tests/common/test_support.h"
#include "tools/qvservlet/servlet.h"

namespace qvsync::testing {

using qv::outlook::Variant;

inline constexpr const char* kUser = "ann";
inline constexpr const char* kPassword = "secret";

class SyncFixture : public qv::testing::RegistryTest {
 protected:
  SyncFixture() : data_("XDG_DATA_HOME", dir_.File("xdg")), qvaiso_("QUORVIA_QVAISO", dir_.File("none.so")) {
    SetLogFilePathForTesting(dir_.File("QVSync.Log"));
    servlet_.AddUser(kUser, kPassword);
    EXPECT_TRUE(servlet_.Start());
    ClearCookieStore();
    loggedIn = false;
    SyncConfig& config = Config();
    config = SyncConfig{};
    config.host = servlet_.host();
    config.username = kUser;
    config.password = kPassword;
    config.dataDirectory = dir_.File("data");
    std::filesystem::create_directory(config.dataDirectory);
    config.troubleshootingMode = 1;
    config.taskSyncMode = config.calendarSyncMode = config.contactSyncMode = 1;
    config.batchMode = 0;
    config.restrictValue = 14;

    profile_ = qv::outlook::Profile::Open(dir_.File("profile.db"));
    profile_->SetWrapperLibraryInstalled(true);
    profile_->SetClock([this] { return qv::outlook::AddSeconds(qv::outlook::LocalNow(), lead_); });
    application_ = qv::outlook::StartOutlook(profile_, qv::outlook::StartMode::Automation);
    AddinState().outlookApplication = application_;
    AddinState().mapiNamespace = application_.call("GetNamespace", "MAPI");
    EXPECT_TRUE(CheckSpecialFolders());
    SyncCancelled = false;
    modBatch::ResetBatch();
    qv::ui::ClearCommandFailures();
  }

  ~SyncFixture() override {
    CloseSyncProgress();
    modBatch::ResetBatch();
    AddinState() = AddinStateRecord{};
    servlet_.Stop();
    SetLogFilePathForTesting("");
    Config() = SyncConfig{};
    loggedIn = false;
    qv::ui::ClearCommandFailures();
  }

  // One synchronisation, as the Synchronize command runs it.
  void Sync() {
    std::map<std::string, std::filesystem::file_time_type> before = TableTimes();
    modSynchronize::SynchronizeAll();
    // Tables rewritten by the run take the profile clock's lead.
    for (const auto& [path, time] : TableTimes()) {
      auto old = before.find(path);
      if (old != before.end() && old->second == time) continue;
      std::filesystem::last_write_time(path, time + std::chrono::seconds(static_cast<long>(lead_)));
    }
  }

  // Moves the profile's clock ahead, so that what is changed next is newer
  // than every table written so far.
  void Advance() { lead_ += 10; }

  // Outlook with its window (someone at the screen to answer questions), or
  // started for automation (nobody to ask).
  void Attended(bool attended) {
    application_ = qv::outlook::StartOutlook(
        profile_, attended ? qv::outlook::StartMode::Interactive : qv::outlook::StartMode::Automation);
    AddinState().outlookApplication = application_;
    AddinState().mapiNamespace = application_.call("GetNamespace", "MAPI");
    EXPECT_TRUE(CheckSpecialFolders());
  }

  // An item made two days ago, after a run three days ago: the next run
  // reaches it, and once a table is written again none after that does.
  Variant AddItemMadeDaysAgo(const char* messageClass, const std::string& subject) {
    SetTableTimes(-72);
    lead_ = -48 * 3600;
    Variant item = qv::outlook::AddItem(Folder(messageClass), {{"Subject", subject}});
    lead_ = 0;
    return item;
  }

  // Sets the time of every table to now plus `hours`.
  void SetTableTimes(int hours) {
    for (const auto& [path, time] : TableTimes())
      std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now() + std::chrono::hours(hours));
  }

  std::string AccountDirectory() const { return Config().dataDirectory + "/" + kUser + "@" + servlet_.host(); }

  std::map<std::string, std::filesystem::file_time_type> TableTimes() const {
    std::map<std::string, std::filesystem::file_time_type> times;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(AccountDirectory(), error)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("ic_", 0) == 0) times[entry.path().string()] = entry.last_write_time();
    }
    return times;
  }

  Variant Folder(const char* messageClass) const {
    const std::string cls = messageClass;
    if (cls == "TASK") return AddinState().tasksFolder;
    if (cls == "APPOINTMENT") return AddinState().calendarFolder;
    return AddinState().contactsFolder;
  }

  // The subjects of a folder's items, sorted.
  std::vector<std::string> OutlookSubjects(const char* messageClass) const {
    std::vector<std::string> subjects;
    for (const auto& item : qv::outlook::ListItems(Folder(messageClass))) subjects.push_back(item.subject);
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  std::vector<std::string> DeletedSubjects() const {
    Variant deleted = AddinState().mapiNamespace.call("GetDefaultFolder", 3);
    std::vector<std::string> subjects;
    for (const auto& item : qv::outlook::ListItems(deleted)) subjects.push_back(item.subject);
    std::sort(subjects.begin(), subjects.end());
    return subjects;
  }

  Variant OutlookItem(const char* messageClass, const std::string& subject) const {
    for (const auto& item : qv::outlook::ListItems(Folder(messageClass)))
      if (item.subject == subject) return qv::outlook::OpenItem(application_, item.entryId);
    return Variant::Nothing();
  }

  std::vector<qv::servlet::StoredItem> ServerItems(const char* messageClass) {
    std::vector<qv::servlet::StoredItem> items = servlet_.ListItems(kUser, messageClass);
    if (std::string(messageClass) == "CONTACT") {
      for (auto& group : servlet_.ListItems(kUser, "CONTACTGROUP")) items.push_back(group);
    }
    return items;
  }

  // A server item's value of one of its fields.
  static std::string Field(const qv::servlet::StoredItem& item, const std::string& name) {
    return qv::servlet::FieldValue(item.fields, name);
  }

  std::vector<std::string> Commands() const {
    std::vector<std::string> commands;
    for (const auto& request : servlet_.Requests()) commands.push_back(request.command);
    return commands;
  }

  std::vector<std::string> LogLines() const {
    std::string text = qv::testing::ReadFile(dir_.File("QVSync.Log"));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find("\r\n", start);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(start, end - start);
      lines.push_back(line.substr(line.find('\t') + 1));
      start = end + 2;
    }
    return lines;
  }

  bool Logged(const std::string& line) const {
    for (const std::string& logged : LogLines())
      if (logged == line) return true;
    return false;
  }
  bool LoggedContaining(const std::string& part) const {
    for (const std::string& logged : LogLines())
      if (logged.find(part) != std::string::npos) return true;
    return false;
  }
  void ClearLog() { std::filesystem::remove(dir_.File("QVSync.Log")); }

  qv::testing::ScopedEnv data_;
  qv::testing::ScopedEnv qvaiso_;
  qv::servlet::Servlet servlet_;
  std::shared_ptr<qv::outlook::Profile> profile_;
  Variant application_;
  double lead_ = 0;
  qv::ui::ScriptedFrontEnd ui_;
  qv::ui::ScopedFrontEnd installedUi_{&ui_};
  qv::ui::ScriptedProgress progress_;
  qv::ui::ScopedProgressFrontEnd installedProgress_{&progress_};
};

}  // namespace qvsync::testing

#endif
