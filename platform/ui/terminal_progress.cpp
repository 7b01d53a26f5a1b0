#include "platform/ui/terminal_progress.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace qv::ui {
namespace {

// ---- SIGINT while a progress window is shown ----
//
// The handler only counts presses (and, on the second unanswered press, puts
// the terminal back and lets the default action end the process); the front
// end reads the count in DoEvents.
volatile std::sig_atomic_t g_interrupts = 0;
struct sigaction g_previousInterrupt;
// The terminal modes to put back, for the handler and for exit.
struct termios g_savedTermios;
volatile std::sig_atomic_t g_termiosSaved = 0;
int g_termiosFd = -1;

void RestoreTerminal() {
  if (g_termiosSaved) {
    tcsetattr(g_termiosFd, TCSANOW, &g_savedTermios);
    g_termiosSaved = 0;
  }
}

extern "C" void OnInterrupt(int) {
  if (g_interrupts) {
    // Pressed again before the run noticed the first press: the user wants
    // out now. tcsetattr, sigaction and raise are async-signal-safe.
    if (g_termiosSaved) tcsetattr(g_termiosFd, TCSANOW, &g_savedTermios);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(SIGINT, &fallback, nullptr);
    raise(SIGINT);
    return;
  }
  g_interrupts = 1;
}

void RestoreTerminalAtExit() { RestoreTerminal(); }

// Cuts `text` to at most `bytes` bytes without splitting a UTF-8 sequence.
std::string CutUtf8(const std::string& text, size_t bytes) {
  if (text.size() <= bytes) return text;
  size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Control characters would move the cursor or ring the bell; show them as
// spaces so one line stays one line.
std::string Printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  }
  return shown;
}

void PressCancel(ProgressWindow& window) {
  Button& cancel = window.CancelButton();
  cancel.Click();
}

}  // namespace

ProgressFrontEnd& PlatformProgressFrontEnd() {
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
  if (catching_) return;
  g_interrupts = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a transfer in progress goes on; the run notices at its next check
  if (sigaction(SIGINT, &action, &g_previousInterrupt) == 0) catching_ = true;
  // Key by key from a terminal, without echo; Ctrl-C still raises SIGINT.
  if (live_ && in_ != nullptr && isatty(fileno(in_))) {
    int fd = fileno(in_);
    struct termios modes {};
    if (tcgetattr(fd, &modes) == 0) {
      g_savedTermios = modes;
      g_termiosFd = fd;
      modes.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
      modes.c_cc[VMIN] = 1;
      modes.c_cc[VTIME] = 0;
      static bool atExitRegistered = [] { return std::atexit(RestoreTerminalAtExit) == 0; }();
      (void)atExitRegistered;
      g_termiosSaved = 1;
      if (tcsetattr(fd, TCSANOW, &modes) == 0) {
        rawKeys_ = true;
      } else {
        g_termiosSaved = 0;
      }
    }
  }
}

void TerminalProgress::ReleaseInterrupt() {
  if (rawKeys_) {
    RestoreTerminal();
    rawKeys_ = false;
  }
  if (catching_) {
    sigaction(SIGINT, &g_previousInterrupt, nullptr);
    catching_ = false;
    g_interrupts = 0;
  }
}

bool TerminalProgress::KeyPressedCancel() {
  if (!rawKeys_) return false;
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
      std::fprintf(out_, "%s\n", Printable(now.caption).c_str());
    }
    if (!now.status.empty() && (!havePrinted_ || now.status != last_.status)) {
      if (now.barVisible) {
        std::fprintf(out_, "  [%ld/%ld] %s\n", now.value, now.max, Printable(now.status).c_str());
      } else {
        std::fprintf(out_, "  %s\n", Printable(now.status).c_str());
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
  std::string line = Printable(now.caption);
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
  if (!now.status.empty()) line += "  " + Printable(now.status);
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
  }
  Draw(SnapshotOf(window), true);
}

void TerminalProgress::Repaint(ProgressWindow& window) {
  if (!shown_) return;
  Draw(SnapshotOf(window), false);
}

bool TerminalProgress::CancelPending() {
  bool cancel = false;
  if (g_interrupts) {
    g_interrupts = 0;
    cancel = true;
  }
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
