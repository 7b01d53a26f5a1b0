#include "platform/ui/terminal_progress.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

#include "platform/ui/terminal.h"

namespace qv::ui {
namespace {

// Cuts `text` to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

void PressCancel(ProgressWindow& window) {
  Button& cancel = window.CancelButton();
  cancel.Click();
}

}  // namespace

TerminalProgress& HostTerminalProgress() {
  static TerminalProgress* terminal = new TerminalProgress(stdin, stdout);  // lives for the process
  return *terminal;
}

// ---- TerminalProgress ----

TerminalProgress::TerminalProgress(std::FILE* in, std::FILE* out)
    : in_(in), out_(out), live_(out != nullptr && isatty(fileno(out))) {}

TerminalProgress::~TerminalProgress() { ReleaseInterrupt(); }

std::string TerminalProgress::BarText(long value, long max, int width) {
  if (width < 1) width = 1;
  long filled = 0;
  if (max > 0) {
    long v = std::clamp(value, 0L, max);
    filled = static_cast<long>(static_cast<double>(v) * width / static_cast<double>(max));
  }
  filled = std::clamp(filled, 0L, static_cast<long>(width));
  return "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '.') +
         "]";
}

int TerminalProgress::Columns() const {
  struct winsize size {};
  if (out_ != nullptr && isatty(fileno(out_)) && ioctl(fileno(out_), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
    return size.ws_col;
  }
  return width_;
}

void TerminalProgress::CatchInterrupt() {
  if (interrupts_) return;
  interrupts_ = std::make_unique<terminal::InterruptScope>();
  // Key by key from a terminal, without echo; Ctrl-C still raises SIGINT.
  if (live_ && in_ != nullptr) {
    keys_ = std::make_unique<terminal::ModesScope>(fileno(in_), terminal::ModesScope::kKeys);
    if (!keys_->active()) keys_.reset();
  }
}

void TerminalProgress::ReleaseInterrupt() {
  keys_.reset();
  interrupts_.reset();
}

bool TerminalProgress::KeyPressedCancel() {
  if (!keys_) return false;
  bool cancel = false;
  struct pollfd p {};
  p.fd = fileno(in_);
  p.events = POLLIN;
  while (poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
    char keys[64];
    ssize_t n = read(p.fd, keys, sizeof keys);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (keys[i] == 'c' || keys[i] == 'C' || keys[i] == 27) cancel = true;
    }
  }
  return cancel;
}

void TerminalProgress::Draw(const ProgressSnapshot& now, bool force) {
  if (out_ == nullptr) return;
  auto clock = std::chrono::steady_clock::now();
  // The rate starts over whenever the bar does.
  if (now.max != rateLastMax_ || now.value < last_.value || !havePrinted_) {
    rateLastMax_ = now.max;
    rateStartValue_ = now.value;
    rateStart_ = clock;
  }
  if (!live_) {
    if (!havePrinted_ || now.caption != last_.caption) {
      std::fprintf(out_, "%s\n", terminal::SafeText(now.caption).c_str());
    }
    if (!now.status.empty() && (!havePrinted_ || now.status != last_.status)) {
      if (now.barVisible) {
        std::fprintf(out_, "  [%ld/%ld] %s\n", now.value, now.max, terminal::SafeText(now.status).c_str());
      } else {
        std::fprintf(out_, "  %s\n", terminal::SafeText(now.status).c_str());
      }
    }
    std::fflush(out_);
    last_ = now;
    havePrinted_ = true;
    return;
  }
  // A new caption is drawn at once; the status and the count, which change
  // with every item, at most every 50 ms (the last state is drawn on Hide).
  const bool captionChanged = !havePrinted_ || now.caption != last_.caption;
  last_ = now;
  havePrinted_ = true;
  if (!force && !captionChanged && clock - lastDraw_ < std::chrono::milliseconds(50)) return;
  lastDraw_ = clock;
  std::string line = terminal::SafeText(now.caption);
  if (now.barVisible) {
    line += "  " + BarText(now.value, now.max, 20);
    line += "  " + std::to_string(now.value) + "/" + std::to_string(now.max);
    double seconds = std::chrono::duration<double>(clock - rateStart_).count();
    if (seconds >= 0.5 && now.value > rateStartValue_) {
      char rate[32];
      std::snprintf(rate, sizeof rate, "  %.1f/s", static_cast<double>(now.value - rateStartValue_) / seconds);
      line += rate;
    }
  }
  if (!now.status.empty()) line += "  " + terminal::SafeText(now.status);
  int columns = Columns();
  line = CutUtf8(line, columns > 1 ? static_cast<size_t>(columns - 1) : 1);
  std::fprintf(out_, "\r\x1b[K%s", line.c_str());
  std::fflush(out_);
  lineOpen_ = true;
}

void TerminalProgress::Show(ProgressWindow& window) {
  if (!shown_) {
    shown_ = true;
    havePrinted_ = false;
    CatchInterrupt();
    if (!hintShown_ && out_ != nullptr) {
      hintShown_ = true;
      std::fprintf(out_, "%s", keys_ ? "Press c, Escape or Ctrl-C to cancel.\n" : "Press Ctrl-C to cancel.\n");
    }
  }
  Draw(SnapshotOf(window), true);
}

void TerminalProgress::Repaint(ProgressWindow& window) {
  if (!shown_) return;
  Draw(SnapshotOf(window), false);
}

bool TerminalProgress::CancelPending() {
  bool cancel = terminal::TakeInterrupt();
  if (KeyPressedCancel()) cancel = true;
  return cancel;
}

void TerminalProgress::SayCancelPressed() {
  if (out_ == nullptr) return;
  if (lineOpen_) {
    std::fprintf(out_, "\n");
    lineOpen_ = false;
  }
  std::fprintf(out_, "Cancel pressed: the synchronization stops at its next check.\n");
  std::fflush(out_);
}

void TerminalProgress::DoEvents(ProgressWindow& window) {
  if (!shown_) return;
  if (CancelPending()) {
    SayCancelPressed();
    PressCancel(window);
  }
}

void TerminalProgress::Hide(ProgressWindow& window) {
  if (!shown_) return;
  // A press that came after the last DoEvents (a pass without items, the
  // end of a run) still counts: it is not dropped with the window.
  const bool pending = CancelPending();
  if (live_) Draw(SnapshotOf(window), true);
  if (lineOpen_ && out_ != nullptr) {
    std::fprintf(out_, "\n");
    std::fflush(out_);
  }
  lineOpen_ = false;
  shown_ = false;
  ReleaseInterrupt();
  if (pending) {
    SayCancelPressed();
    PressCancel(window);
  }
}

}  // namespace qv::ui
