#include "addin/connect.h"

#include <string>
#include <utility>

#include "addin/config/config_dialog.h"
#include "addin/config/config_store.h"
#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "addin/server/protocol.h"
#include "addin/windows.h"
#include "platform/ui/ui.h"

namespace qvsync {

using qv::outlook::Error;

namespace {

// Office command bar constants.
constexpr int msoBarTop = 1;
constexpr int msoControlButton = 1;
constexpr int msoControlPopup = 10;

// Outlook folder types.
constexpr int olFolderCalendar = 9;
constexpr int olFolderContacts = 10;
constexpr int olFolderTasks = 13;

std::function<void()>& Driver() {
  static std::function<void()> driver;
  return driver;
}

int g_liveObjects = 0;

}  // namespace

AddinStateRecord& AddinState() {
  static AddinStateRecord state;
  return state;
}

void SetSynchronizeAll(std::function<void()> driver) { Driver() = std::move(driver); }

SyncOccasion& CurrentSyncOccasion() {
  static SyncOccasion occasion = SyncOccasion::Command;
  return occasion;
}

void SynchronizeAll() {
  if (Driver()) {
    Driver()();
  } else {
    qv::ui::ShowMessage("Synchronization is not available in this version of Quorvia Synchronization.",
                        "Quorvia Synchronization", qv::ui::Buttons::OK, qv::ui::Icon::Information);
  }
}

bool CheckSpecialFolders() {
  AddinStateRecord& state = AddinState();
  const SyncConfig& config = Config();
  if (config.rootFolderIndex > 0) {
    struct FolderClass {
      const char* name;
      int type;
      Variant AddinStateRecord::*folder;
      const char* failure;
    };
    static const FolderClass kClasses[] = {
        {"Contacts", olFolderContacts, &AddinStateRecord::contactsFolder, "] does not support Contacts folders"},
        {"Calendar", olFolderCalendar, &AddinStateRecord::calendarFolder, "] does not support Calendar folders"},
        {"Tasks", olFolderTasks, &AddinStateRecord::tasksFolder, "] does not support Task folders"},
    };
    // Each step is tried on its own: a store that cannot be had leaves every
    // lookup failing, and the first class reports it.
    Variant store;
    try {
      store = state.mapiNamespace.get("Folders").get("Item", config.rootFolderIndex);
    } catch (const Error&) {
    }
    for (const FolderClass& folderClass : kClasses) {
      Variant folder;
      bool found = false;
      try {
        folder = store.get("Folders").get("Item", folderClass.name);
        found = true;
      } catch (const Error&) {
      }
      if (!found) {
        try {
          folder = store.get("Folders").call("Add", folderClass.name, folderClass.type);
          found = true;
        } catch (const Error&) {
        }
      }
      if (!found) {
        std::string storeName;
        try {
          storeName = store.get("Name").ToText();
        } catch (const Error&) {
        }
        LogMessage("Failure: Message Store [" + storeName + folderClass.failure, 5);
        return false;
      }
      state.*(folderClass.folder) = folder;
    }
    return true;
  }

  // The three are looked up one by one, so a store that lacks one default
  // folder still gives the other two; one line reports the failure (the last
  // one when several lookups failed).
  const std::pair<Variant AddinStateRecord::*, int> kDefaults[] = {
      {&AddinStateRecord::contactsFolder, olFolderContacts},
      {&AddinStateRecord::calendarFolder, olFolderCalendar},
      {&AddinStateRecord::tasksFolder, olFolderTasks},
  };
  bool failed = false;
  int32_t errorNumber = 0;
  std::string errorDescription;
  for (const auto& [folder, type] : kDefaults) {
    try {
      state.*folder = state.mapiNamespace.call("GetDefaultFolder", type);
    } catch (const Error& e) {
      failed = true;
      errorNumber = e.number();
      errorDescription = e.description();
    }
  }
  if (failed) {
    LogMessage("Failure: Default Message Store does not support Task folders. Error:" + std::to_string(errorNumber) +
                   ", " + errorDescription,
               5);
    return false;
  }
  return true;
}

Connect::Connect() { ++g_liveObjects; }

Connect::~Connect() { --g_liveObjects; }

int Connect::LiveObjects() { return g_liveObjects; }

void Connect::Release() { delete this; }

Variant Connect::CreateCommandBar(const std::string& sMenuName) {
  Variant explorer = AddinState().outlookApplication.get("ActiveExplorer");
  // Name, Position, MenuBar, Temporary.
  Variant bar = explorer.get("CommandBars").call("Add", sMenuName, msoBarTop, false, true);
  bar.put("Visible", true);
  return bar;
}

void Connect::BuildMenu() {
  AddinStateRecord& state = AddinState();
  state.commandBar = CreateCommandBar("Quorvia");
  // Type, Id, Parameter, Before (omitted), Temporary.
  Variant popup = state.commandBar.get("Controls").call("Add", msoControlPopup, Variant(), Variant(), Variant(), true);
  popup.put("Caption", "Quorvia");
  popup.put("TooltipText", "Quorvia Synchronization");
  popup.put("Enabled", true);

  struct Command {
    Variant Connect::*button;
    const char* caption;
    const char* tooltip;
  };
  // Each is inserted at the top, so the menu reads in the reverse order.
  const Command commands[] = {
      {&Connect::BhAbout, "&About...", "About Quorvia Synchronization"},
      {&Connect::BhConfigure, "&Configure...", "Configure Quorvia Synchronization"},
      {&Connect::BhSetAutoResponse, "Set Auto &Response...", "Configure out of office auto response message"},
      {&Connect::BhChangePassword, "Change &Password...", "Change the password to your Quorvia account"},
      {&Connect::BhSynchronize, "&Synchronize", "Synchronize Outlook with Quorvia"},
  };
  Variant controls = popup.get("Controls");
  for (const Command& command : commands) {
    Variant button = controls.call("Add", msoControlButton, Variant(), Variant(), 1, true);
    button.put("Caption", command.caption);
    button.put("Enabled", true);
    button.put("TooltipText", command.tooltip);
    this->*(command.button) = button;
  }
}

void Connect::BindButtons() {
  using qv::outlook::ClickBinding;
  synchronizeBinding_ = ClickBinding(BhSynchronize, [this](const Variant& c, bool& x) { BhSynchronize_Click(c, x); });
  changePasswordBinding_ =
      ClickBinding(BhChangePassword, [this](const Variant& c, bool& x) { BhChangePassword_Click(c, x); });
  setAutoResponseBinding_ =
      ClickBinding(BhSetAutoResponse, [this](const Variant& c, bool& x) { BhSetAutoResponse_Click(c, x); });
  configureBinding_ = ClickBinding(BhConfigure, [this](const Variant& c, bool& x) { BhConfigure_Click(c, x); });
  aboutBinding_ = ClickBinding(BhAbout, [this](const Variant& c, bool& x) { BhAbout_Click(c, x); });
}

void Connect::UnbindButtons() {
  synchronizeBinding_.Reset();
  changePasswordBinding_.Reset();
  setAutoResponseBinding_.Reset();
  configureBinding_.Reset();
  aboutBinding_.Reset();
}

void Connect::AddinInstance_OnConnection(const Variant& Application, int ConnectMode, const Variant& /*AddInInst*/,
                                         const Variant& /*custom*/) {
  LogSession log;  // the log stays open for the connection and its start-up run
  AddinStateRecord& state = AddinState();
  loggedIn = false;
  const bool external = ConnectMode == qv::outlook::ext_cm_External;
  // The failure handler covers keeping the host objects and building the
  // menu, and everything after that when connected externally.
  auto handled = [](auto&& step) {
    try {
      step();
      return true;
    } catch (const Error& e) {
      if (e.number() != qv::outlook::kErrObjectNotSet) {
        qv::ui::ShowMessage("AddinInstance_OnConnection: " + e.description(), "Quorvia Synchronization",
                            qv::ui::Buttons::OK, qv::ui::Icon::Information);
      }
      return false;
    }
  };
  bool connected = handled([&] {
    state.outlookApplication = Application;
    state.mapiNamespace = Application.call("GetNamespace", "MAPI");
    SetConfigNamespace(state.mapiNamespace);
    BuildMenu();
  });
  if (!connected) return;

  auto rest = [&] {
    if (!external) BindButtons();
    LoadConfig();
    CheckSpecialFolders();
    if (Config().syncOnStartUp != 0) DoSynchronize(SyncOccasion::StartUp);
  };
  if (external) {
    handled(rest);
  } else {
    rest();  // failures from here on reach the host
  }
}

void Connect::AddinInstance_OnBeginShutdown(const Variant& /*custom*/) {}

void Connect::AddinInstance_OnDisconnection(int /*RemoveMode*/, const Variant& /*custom*/) {
  LogSession log;  // the log stays open for the command
  AddinStateRecord& state = AddinState();
  // Every step is tried on its own; failures are ignored.
  auto attempt = [](auto&& step) {
    try {
      step();
    } catch (...) {
    }
  };
  if (Config().syncOnShutdown != 0) {
    attempt([] { LoadConfig(); });
    attempt([this] { DoSynchronize(SyncOccasion::ShutDown); });
  }
  attempt([this] { UnbindButtons(); });
  attempt([&] {
    if (!state.commandBar.IsEmpty() && !state.commandBar.IsNothing()) state.commandBar.call("Delete");
  });
  state.commandBar = Variant();
  BhSynchronize = BhChangePassword = BhSetAutoResponse = BhConfigure = BhAbout = Variant();
  state.contactsFolder = state.calendarFolder = state.tasksFolder = Variant();
  SetConfigNamespace(Variant());
  state.mapiNamespace = Variant();
  state.outlookApplication = Variant();
}

void Connect::DoSynchronize(SyncOccasion occasion) {
  CurrentSyncOccasion() = occasion;
  try {
    SynchronizeAll();
  } catch (...) {
    CurrentSyncOccasion() = SyncOccasion::Command;
    throw;
  }
  CurrentSyncOccasion() = SyncOccasion::Command;
  // The progress, configuration and about windows are made afresh when next
  // shown: none of them outlives the command that showed it.
}

void Connect::BhSynchronize_Click(const Variant& /*ctrl*/, bool& /*Cancel*/) {
  LogSession log;  // the log stays open for the command
  LoadConfig();
  DoSynchronize(SyncOccasion::Command);
}

void Connect::BhChangePassword_Click(const Variant& /*ctrl*/, bool& /*Cancel*/) {
  LogSession log;  // the log stays open for the command
  LoadConfig();
  frmChangePassword window;
  window.ShowModal();
}

void Connect::BhSetAutoResponse_Click(const Variant& /*ctrl*/, bool& /*Cancel*/) {
  LogSession log;  // the log stays open for the command
  LoadConfig();
  frmAutoResponse window;
  window.ShowModal();
}

void Connect::BhConfigure_Click(const Variant& /*ctrl*/, bool& /*Cancel*/) {
  LogSession log;  // the log stays open for the command
  LoadConfig();
  try {
    frmConfig window;
    window.ShowModal();
    // A login that failed at OK and was not put right tells the host.
    if (!window.loginFailure.empty()) qv::ui::ReportCommandFailure(window.loginFailure);
  } catch (...) {
    // Errors while showing the configuration window are ignored.
  }
}

void Connect::BhAbout_Click(const Variant& /*ctrl*/, bool& /*Cancel*/) {
  LogSession log;  // the log stays open for the command
  try {
    frmAbout about;
    about.ShowModal();
  } catch (...) {
    // Errors while showing the about window are ignored.
  }
}

}  // namespace qvsync
