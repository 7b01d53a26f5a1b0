// Modeless progress windows.
//
// A progress window stays on screen while its owner goes on working: the owner
// changes the window's caption, status label and bar, asks the front end to
// repaint it, and from time to time lets the user's pending actions run
// (DoEvents), which is the only moment its Cancel button can be pressed.
//
// Front ends: a terminal one (a live bar on one line when the output is a
// terminal, plain lines otherwise; Ctrl-C or the Cancel key press Cancel), and
// a scripted one for tests that records what was shown and presses Cancel at a
// chosen point.
//
// Everything here runs on the add-in's single user-interface thread; the only
// other code is the SIGINT handler, which sets a flag and nothing else.
#ifndef QV_PLATFORM_UI_PROGRESS_H
#define QV_PLATFORM_UI_PROGRESS_H

#include <chrono>
#include <csignal>
#include <cstdio>
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

// The progress front end in use: the one installed, else a terminal one on
// standard input and output.
ProgressFrontEnd& CurrentProgressFrontEnd();
// Installs `frontEnd` (not owned) until called with nullptr.
void SetProgressFrontEnd(ProgressFrontEnd* frontEnd);

// The terminal front end.
//
// Output that is a terminal gets one live line, redrawn in place:
//   Synchronizing Contacts..  [#######.........]  412/1000  85.2/s  Validating Object: Ann
// Output that is not a terminal gets plain lines without escape codes: the
// caption whenever it is shown or changes, and each new status text with the
// count, "  [412/1000] Validating Object: Ann".
//
// While a window is shown, SIGINT (Ctrl-C) does not end the process: it
// presses the window's Cancel button at the next DoEvents (or when the window
// is hidden before one). A second Ctrl-C before that ends the process as
// usual. When the input is a terminal, the
// keys "c", "C" and Escape press Cancel too (the input is read key by key
// while the window is shown, and restored when it is hidden).
class TerminalProgress : public ProgressFrontEnd {
 public:
  TerminalProgress(std::FILE* in, std::FILE* out);
  ~TerminalProgress() override;
  TerminalProgress(const TerminalProgress&) = delete;
  TerminalProgress& operator=(const TerminalProgress&) = delete;

  // Forces the live line (true) or plain lines (false) whatever `out` is.
  void SetLive(bool live) { live_ = live; }
  // The width of the live line when the terminal does not say (default 80).
  void SetWidth(int columns) { width_ = columns; }

  void Show(ProgressWindow& window) override;
  void Repaint(ProgressWindow& window) override;
  void DoEvents(ProgressWindow& window) override;
  void Hide(ProgressWindow& window) override;

  // The bar of `width` cells for value out of max, "[####....]".
  static std::string BarText(long value, long max, int width);

 private:
  void Draw(const ProgressSnapshot& now, bool force);
  void CatchInterrupt();
  void ReleaseInterrupt();
  bool KeyPressedCancel();
  bool CancelPending();
  void SayCancelPressed();
  int Columns() const;

  std::FILE* in_;
  std::FILE* out_;
  bool live_;
  int width_ = 80;
  bool shown_ = false;
  bool lineOpen_ = false;  // the live line has been drawn and not ended
  ProgressSnapshot last_;
  bool havePrinted_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
  // The rate: items since the bar last started over, and when it did.
  long rateStartValue_ = 0;
  long rateLastMax_ = -1;
  std::chrono::steady_clock::time_point rateStart_{};
  bool catching_ = false;
  bool rawKeys_ = false;
};

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
