#include "addin/sync/progress.h"

#include <algorithm>
#include <memory>

namespace qvsync {

bool SyncCancelled = false;

namespace {

std::unique_ptr<frmProgress> g_window;

frmProgress& Window() {
  if (!g_window) g_window = std::make_unique<frmProgress>();
  return *g_window;
}

void Repaint(frmProgress& window) { qv::ui::CurrentProgressFrontEnd().Repaint(window); }

}  // namespace

frmProgress::frmProgress() {
  caption = "Synchronization in Progress";
  Label1.caption = "Please wait while the following objects are synchronized with Quorvia.";
  pgActivity.visible = false;
  cmdCancel.caption = "&Cancel";
  cmdCancel.isCancel = true;
  cmdCancel.onClick = [this] { cmdCancel_Click(); };
}

std::vector<qv::ui::Control*> frmProgress::Controls() { return {&Label1, &lblAction, &pgActivity, &cmdCancel}; }

void frmProgress::cmdCancel_Click() {
  SyncCancelled = true;
  // Closing here only takes the window off the screen: the run is inside
  // SetSyncProgressValue on this window, and unloads it itself.
  if (onScreen) {
    onScreen = false;
    qv::ui::CurrentProgressFrontEnd().Hide(*this);
  }
}

frmProgress* LoadedSyncProgress() { return g_window.get(); }

void SetSyncProgressTitle(const std::string& text) {
  frmProgress& window = Window();
  window.caption = text;
  Repaint(window);
}

void SetSyncStatus(const std::string& text) {
  frmProgress& window = Window();
  window.lblAction.caption = text;
  Repaint(window);
}

void ShowSyncProgress() {
  frmProgress& window = Window();
  window.pgActivity.visible = true;
  window.onScreen = true;
  qv::ui::CurrentProgressFrontEnd().Show(window);
}

void SetSyncProgressMax(long count) {
  frmProgress& window = Window();
  if (count > 0) {
    window.pgActivity.max = count;
    window.pgActivity.value = std::clamp(window.pgActivity.value, window.pgActivity.min, count);
  }
  Repaint(window);
}

void SetSyncProgressValue(long position) {
  frmProgress& window = Window();
  window.pgActivity.value = std::clamp(position, window.pgActivity.min, window.pgActivity.max);
  Repaint(window);
  qv::ui::CurrentProgressFrontEnd().DoEvents(window);
}

void CloseSyncProgress() {
  if (!g_window) return;
  std::unique_ptr<frmProgress> window = std::move(g_window);
  if (window->onScreen) {
    window->onScreen = false;
    qv::ui::CurrentProgressFrontEnd().Hide(*window);  // shows the last state as it leaves
  }
  window->pgActivity.visible = false;
}

}  // namespace qvsync
