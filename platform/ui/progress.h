// Modeless progress windows.
//
// A progress window stays on screen while its owner goes on working: the owner
// changes the window's caption, status label and bar, asks the front end to
// repaint it, and from time to time lets the user's pending actions run
// (DoEvents), which is the only moment its Cancel button can be pressed.
//
// This is the front-end-neutral model. Front ends: the terminal one
// (terminal_progress.h: a live bar on one line when the output is a terminal,
// plain lines otherwise; Ctrl-C or the Cancel key press Cancel), the
// platform's own (PlatformProgressFrontEnd, chosen by the build), and a
// scripted one for tests that records what was shown and presses Cancel at a
// chosen point.
//
// Everything here runs on the add-in's single user-interface thread.
#ifndef QV_PLATFORM_UI_PROGRESS_H
#define QV_PLATFORM_UI_PROGRESS_H

#include <functional>
#include <string>
#include <vector>

#include "platform/ui/ui.h"

namespace qv::ui {

class ProgressBar : public Control {
 public:
  using Control::Control;
  long min = 0;
  long max = 100;
  long value = 0;
};

// A window with a status label, a bar and a Cancel button. The window keeps
// the bar's value between min and max.
class ProgressWindow : public Window {
 public:
  virtual Label& StatusLabel() = 0;
  virtual ProgressBar& Bar() = 0;
  virtual Button& CancelButton() = 0;
};

// What a progress window shows at one moment.
struct ProgressSnapshot {
  std::string caption;
  std::string status;
  bool barVisible = false;
  long max = 0;
  long value = 0;
};
ProgressSnapshot SnapshotOf(ProgressWindow& window);

class ProgressFrontEnd {
 public:
  virtual ~ProgressFrontEnd() = default;
  // Shows the window without waiting for it (again after Hide).
  virtual void Show(ProgressWindow& window) = 0;
  // Draws the window's current state; nothing while it is hidden.
  virtual void Repaint(ProgressWindow& window) = 0;
  // Runs the user's pending actions on the window (a press of Cancel).
  virtual void DoEvents(ProgressWindow& window) = 0;
  // Takes the window off the screen. The front end keeps no reference to it.
  virtual void Hide(ProgressWindow& window) = 0;
};

// The progress front end in use: the one installed, else the platform's own.
ProgressFrontEnd& CurrentProgressFrontEnd();
// Installs `frontEnd` (not owned) until called with nullptr.
void SetProgressFrontEnd(ProgressFrontEnd* frontEnd);
// The platform's progress front end, made at first use and kept for the
// process; defined by the front end the build chose (the terminal one on
// Linux, on standard input and output).
ProgressFrontEnd& PlatformProgressFrontEnd();

// The scripted front end for tests: records every change it was asked to
// show, in order, and presses Cancel when the condition given returns true.
class ScriptedProgress : public ProgressFrontEnd {
 public:
  struct Event {
    enum Kind { Shown, Caption, Status, Max, Value, Cancelled, Hidden } kind;
    std::string text;  // caption or status
    long number = 0;   // max or value
  };

  void Show(ProgressWindow& window) override;
  void Repaint(ProgressWindow& window) override;
  void DoEvents(ProgressWindow& window) override;
  void Hide(ProgressWindow& window) override;

  // Presses Cancel in the first DoEvents for which `condition` returns true
  // (given what is shown and the number of DoEvents calls so far, counting
  // this one), once.
  void CancelWhen(std::function<bool(const ProgressSnapshot&, int doEventsCalls)> condition) {
    cancelWhen_ = std::move(condition);
  }
  // Presses Cancel in the n-th DoEvents call (1 = the first).
  void CancelAtDoEvents(int n) {
    CancelWhen([n](const ProgressSnapshot&, int calls) { return calls == n; });
  }

  const std::vector<Event>& events() const { return events_; }
  // The captions, status texts or values shown, in order.
  std::vector<std::string> Texts(Event::Kind kind) const;
  std::vector<long> Numbers(Event::Kind kind) const;
  bool shown() const { return shown_; }
  int doEventsCalls() const { return doEventsCalls_; }
  int cancelPresses() const { return cancelPresses_; }
  const ProgressSnapshot& last() const { return last_; }
  void Clear() { events_.clear(); }

 private:
  void Record(const ProgressSnapshot& now);

  std::vector<Event> events_;
  ProgressSnapshot last_;
  bool shown_ = false;
  bool fresh_ = true;
  int doEventsCalls_ = 0;
  int cancelPresses_ = 0;
  std::function<bool(const ProgressSnapshot&, int)> cancelWhen_;
};

// Installs a progress front end for its lifetime.
class ScopedProgressFrontEnd {
 public:
  explicit ScopedProgressFrontEnd(ProgressFrontEnd* frontEnd) { SetProgressFrontEnd(frontEnd); }
  ~ScopedProgressFrontEnd() { SetProgressFrontEnd(nullptr); }
  ScopedProgressFrontEnd(const ScopedProgressFrontEnd&) = delete;
  ScopedProgressFrontEnd& operator=(const ScopedProgressFrontEnd&) = delete;
};

}  // namespace qv::ui

#endif
