// The terminal front end of progress windows (progress.h). On POSIX, and on
// Windows through its POSIX layer for a console host; the platform's
// progress front end on Linux.
//
// Used on the add-in's user-interface thread; the only other code is the
// SIGINT handler, which sets a flag and nothing else.
#ifndef QV_PLATFORM_UI_TERMINAL_PROGRESS_H
#define QV_PLATFORM_UI_TERMINAL_PROGRESS_H

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/ui/progress.h"
#include "platform/ui/terminal.h"

namespace qv::ui {

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
// is hidden before one), and ends a wait for the server at once (see
// TerminalFrontEnd). A second Ctrl-C before that ends the process as usual.
// When the input is a terminal, the keys "c", "C" and Escape press Cancel too
// (the input is read key by key while the window is shown, and restored when
// it is hidden, or when the process ends). The first showing says how to
// cancel.
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
  bool hintShown_ = false;  // how to cancel, told at the first showing
  std::unique_ptr<terminal::InterruptScope> interrupts_;
  std::unique_ptr<terminal::ModesScope> keys_;
};

// The terminal progress front end of the process, on standard input and
// output, made at first use and kept for the process.
TerminalProgress& HostTerminalProgress();

}  // namespace qv::ui

#endif
