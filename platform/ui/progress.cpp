// The progress model and its scripted front end; the terminal one is in
// terminal_progress.cpp.
#include "platform/ui/progress.h"

namespace qv::ui {
namespace {

ProgressFrontEnd* g_progressFrontEnd = nullptr;

bool Differs(const ProgressSnapshot& a, const ProgressSnapshot& b) {
  return a.caption != b.caption || a.status != b.status || a.barVisible != b.barVisible || a.max != b.max ||
         a.value != b.value;
}

void PressCancel(ProgressWindow& window) {
  Button& cancel = window.CancelButton();
  cancel.Click();
}

}  // namespace

ProgressSnapshot SnapshotOf(ProgressWindow& window) {
  ProgressSnapshot s;
  s.caption = window.caption;
  s.status = window.StatusLabel().caption;
  s.barVisible = window.Bar().visible;
  s.max = window.Bar().max;
  s.value = window.Bar().value;
  return s;
}

ProgressFrontEnd& CurrentProgressFrontEnd() {
  return g_progressFrontEnd != nullptr ? *g_progressFrontEnd : PlatformProgressFrontEnd();
}

void SetProgressFrontEnd(ProgressFrontEnd* frontEnd) { g_progressFrontEnd = frontEnd; }

// ---- ScriptedProgress ----

void ScriptedProgress::Record(const ProgressSnapshot& now) {
  if (fresh_) {
    // A window seen for the first time (or again after hiding): its texts
    // count as shown, its bar's defaults as the starting point.
    fresh_ = false;
    last_ = ProgressSnapshot{};
    last_.max = now.max;
    last_.value = now.value;
  }
  if (now.caption != last_.caption) events_.push_back({Event::Caption, now.caption, 0});
  if (now.status != last_.status) events_.push_back({Event::Status, now.status, 0});
  if (now.max != last_.max) events_.push_back({Event::Max, "", now.max});
  if (now.value != last_.value) events_.push_back({Event::Value, "", now.value});
  last_ = now;
}

void ScriptedProgress::Show(ProgressWindow& window) {
  if (!shown_) {
    shown_ = true;
    ProgressSnapshot now = SnapshotOf(window);
    events_.push_back({Event::Shown, now.caption, 0});
    if (fresh_) Record(now);  // a window not seen before: its starting point
    last_ = now;
    return;
  }
  Record(SnapshotOf(window));
}

void ScriptedProgress::Repaint(ProgressWindow& window) {
  ProgressSnapshot now = SnapshotOf(window);
  if (fresh_ || Differs(now, last_)) Record(now);
}

void ScriptedProgress::DoEvents(ProgressWindow& window) {
  ++doEventsCalls_;
  // Only a window on screen can be clicked.
  if (shown_ && cancelWhen_ && cancelWhen_(SnapshotOf(window), doEventsCalls_)) {
    cancelWhen_ = nullptr;
    ++cancelPresses_;
    events_.push_back({Event::Cancelled, "", 0});
    PressCancel(window);
  }
}

void ScriptedProgress::Hide(ProgressWindow&) {
  if (!shown_) return;
  shown_ = false;
  fresh_ = true;
  events_.push_back({Event::Hidden, "", 0});
}

std::vector<std::string> ScriptedProgress::Texts(Event::Kind kind) const {
  std::vector<std::string> texts;
  for (const Event& e : events_) {
    if (e.kind == kind) texts.push_back(e.text);
  }
  return texts;
}

std::vector<long> ScriptedProgress::Numbers(Event::Kind kind) const {
  std::vector<long> numbers;
  for (const Event& e : events_) {
    if (e.kind == kind) numbers.push_back(e.number);
  }
  return numbers;
}

}  // namespace qv::ui
