// The progress window of a synchronisation run (frmProgress) and the
// operations the run drives it with. The window is created by whichever
// operation comes first and unloaded by CloseSyncProgress; its Cancel button
// sets SyncCancelled, which the run tests once per item. The window is drawn
// by the platform's progress front end (a live bar at a terminal, a scripted
// one in tests). Outlook's user-interface thread only.
#ifndef QVSYNC_SYNC_PROGRESS_H
#define QVSYNC_SYNC_PROGRESS_H

#include <string>

#include "platform/ui/progress.h"

namespace qvsync {

// Set by the progress window's Cancel button; cleared by the driver at the
// start of every synchronisation (and by LoadConfig).
extern bool SyncCancelled;

// The progress window.
class frmProgress : public qv::ui::ProgressWindow {
 public:
  frmProgress();
  std::vector<qv::ui::Control*> Controls() override;
  qv::ui::Label& StatusLabel() override { return lblAction; }
  qv::ui::ProgressBar& Bar() override { return pgActivity; }
  qv::ui::Button& CancelButton() override { return cmdCancel; }

  // Sets SyncCancelled and closes the window; the run stops at its next check.
  void cmdCancel_Click();

  qv::ui::Label Label1{"Label1"};
  qv::ui::Label lblAction{"lblAction"};
  qv::ui::ProgressBar pgActivity{"pgActivity"};
  qv::ui::Button cmdCancel{"cmdCancel"};
  bool onScreen = false;  // shown and not hidden since
};

// The progress operations. Each creates the window first when it is not
// loaded. Values outside the bar's range are brought into it.
void SetSyncProgressTitle(const std::string& text);   // the caption
void SetSyncStatus(const std::string& text);          // lblAction, repainted at once
void ShowSyncProgress();                              // bar visible, window shown modeless
void SetSyncProgressMax(long count);                  // only when count > 0
void SetSyncProgressValue(long position);             // then lets pending events run (Cancel)
void CloseSyncProgress();                             // hides and unloads; never fails

// The loaded window, or nullptr (for tests and the host).
frmProgress* LoadedSyncProgress();

}  // namespace qvsync

#endif
