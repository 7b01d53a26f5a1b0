// Connect: the add-in object Outlook creates and raises its events on, the
// "Quorvia" menu with the five commands, the check of the synchronised folders,
// and synchronisation at start-up and shut-down. AddinState is the run-time
// state the whole add-in shares while it is loaded.
//
// Everything runs on Outlook's user-interface thread.
#ifndef QVSYNC_CONNECT_H
#define QVSYNC_CONNECT_H

#include <functional>
#include <string>

#include "platform/outlook/extensibility.h"
#include "platform/outlook/outlook.h"

namespace qvsync {

using qv::outlook::Variant;

// The add-in's process-wide run-time state (the login flag, `loggedIn`, lives
// with the server commands).
struct AddinStateRecord {
  Variant outlookApplication;  // the host object received at connection
  Variant mapiNamespace;       // Application.GetNamespace("MAPI")
  Variant commandBar;          // the add-in's bar, deleted at disconnection
  Variant contactsFolder;      // the three synchronised folders
  Variant calendarFolder;
  Variant tasksFolder;
};
AddinStateRecord& AddinState();

// Resolves the three synchronised folders in the chosen store (creating any
// that is missing) or the default store. True when all three are usable;
// failures are only logged.
bool CheckSpecialFolders();

// The synchronisation run behind the Synchronize command and the start-up and
// shut-down synchronisation. Until the synchronisation engine is installed
// here, the command says so in a message box.
void SetSynchronizeAll(std::function<void()> driver);
void SynchronizeAll();

// What started the running synchronisation. Only the Synchronize command has
// someone at the screen to answer a question; the start-up and shut-down runs
// (like any run of an Outlook started for automation) have nobody.
enum class SyncOccasion { Command, StartUp, ShutDown };
SyncOccasion& CurrentSyncOccasion();

class Connect final : public qv::outlook::AddIn {
 public:
  Connect();
  ~Connect();
  Connect(const Connect&) = delete;
  Connect& operator=(const Connect&) = delete;

  // Host events.
  void AddinInstance_OnConnection(const Variant& Application, int ConnectMode, const Variant& AddInInst,
                                  const Variant& custom);
  void AddinInstance_OnBeginShutdown(const Variant& custom);
  void AddinInstance_OnDisconnection(int RemoveMode, const Variant& custom);

  // Menu command handlers (ctrl is the button; Cancel is left untouched).
  void BhSynchronize_Click(const Variant& ctrl, bool& Cancel);
  void BhChangePassword_Click(const Variant& ctrl, bool& Cancel);
  void BhSetAutoResponse_Click(const Variant& ctrl, bool& Cancel);
  void BhConfigure_Click(const Variant& ctrl, bool& Cancel);
  void BhAbout_Click(const Variant& ctrl, bool& Cancel);

  // Adds the "Quorvia" bar to the active explorer and returns it.
  Variant CreateCommandBar(const std::string& sMenuName);

  // qv::outlook::AddIn
  void OnConnection(const Variant& application, int connectMode, const Variant& addInInst,
                    const Variant& custom) override {
    AddinInstance_OnConnection(application, connectMode, addInInst, custom);
  }
  void OnDisconnection(int removeMode, const Variant& custom) override {
    AddinInstance_OnDisconnection(removeMode, custom);
  }
  void OnAddInsUpdate(const Variant&) override {}
  void OnStartupComplete(const Variant&) override {}
  void OnBeginShutdown(const Variant& custom) override { AddinInstance_OnBeginShutdown(custom); }
  void Release() override;

  // The five menu buttons.
  Variant BhSynchronize, BhChangePassword, BhSetAutoResponse, BhConfigure, BhAbout;

  // The number of Connect objects alive (DllCanUnloadNow).
  static int LiveObjects();

 private:
  void BuildMenu();
  void BindButtons();
  void UnbindButtons();
  void DoSynchronize(SyncOccasion occasion);

  qv::outlook::ClickBinding synchronizeBinding_, changePasswordBinding_, setAutoResponseBinding_,
      configureBinding_, aboutBinding_;
};

}  // namespace qvsync

#endif
