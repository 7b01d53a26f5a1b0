#include "platform/ui/terminal.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace qv::ui::terminal {
namespace {

// ---- State the signal handler reads ----
//
// The modes to put back (those found by the outermost ModesScope), whether a
// Ctrl-C press is pending, and the dispositions found before ours.
struct termios g_restoreModes;
volatile sig_atomic_t g_restoreSet = 0;
volatile sig_atomic_t g_restoreFd = -1;
volatile sig_atomic_t g_catching = 0;
volatile sig_atomic_t g_pending = 0;

int g_modesDepth = 0;
int g_catchDepth = 0;

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount] = {};

int SlotOf(int signal) {
  for (int i = 0; i < kSignalCount; ++i) {
    if (kSignals[i] == signal) return i;
  }
  return 0;
}

void RestoreModes() {
  if (g_restoreSet) tcsetattr(g_restoreFd, TCSANOW, &g_restoreModes);
}

void RestoreModesAtExit() {
  RestoreModes();
  g_restoreSet = 0;
}

// Puts the terminal back, then lets the signal do what it did before we
// came (end the process, as a rule). tcsetattr, sigaction and raise are
// async-signal-safe.
extern "C" void OnSignal(int signal) {
  if (signal == SIGINT && g_catching && !g_pending) {
    g_pending = 1;
    return;
  }
  RestoreModes();
  sigaction(signal, &g_previous[SlotOf(signal)], nullptr);
  raise(signal);
}

// Installs our handler where it is wanted and puts the previous one back
// where it is no longer wanted. A signal ignored before stays ignored.
void UpdateHandlers() {
  static const bool atExit = std::atexit(RestoreModesAtExit) == 0;
  (void)atExit;
  for (int i = 0; i < kSignalCount; ++i) {
    const bool wanted = g_modesDepth > 0 || (kSignals[i] == SIGINT && g_catchDepth > 0);
    if (wanted && !g_installed[i]) {
      struct sigaction action {};
      action.sa_handler = OnSignal;
      sigemptyset(&action.sa_mask);
      // A transfer or a read in progress goes on; the owner notices the press
      // at its next look.
      action.sa_flags = SA_RESTART;
      if (sigaction(kSignals[i], &action, &g_previous[i]) != 0) continue;
      g_installed[i] = true;
      if (g_previous[i].sa_handler == SIG_IGN && kSignals[i] != SIGINT) {
        sigaction(kSignals[i], &g_previous[i], nullptr);
        g_installed[i] = false;
      }
    } else if (!wanted && g_installed[i]) {
      sigaction(kSignals[i], &g_previous[i], nullptr);
      g_installed[i] = false;
    }
  }
}

// The UTF-8 sequence at `text[at]`: its code point and length; length 0 when
// the bytes there are not valid UTF-8 (overlong forms and surrogates included).
size_t DecodeUtf8(std::string_view text, size_t at, char32_t* point) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  size_t length = 0;
  char32_t value = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    *point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, value = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, value = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = (value << 6) | (byte(at + i) & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *point = value;
  return length;
}

bool Harmful(char32_t point) {
  return point < 0x20 || (point >= 0x7F && point <= 0x9F) || (point >= 0x202A && point <= 0x202E) ||
         (point >= 0x2066 && point <= 0x2069);
}

}  // namespace

size_t PrintableLength(std::string_view text, size_t at) {
  char32_t point = 0;
  const size_t length = DecodeUtf8(text, at, &point);
  return length == 0 || Harmful(point) ? 0 : length;
}

std::string SafeText(std::string_view text, bool lines) {
  std::string safe;
  safe.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const char c = text[at];
    if (c == '\r' || c == '\n') {
      safe.push_back(lines ? '\n' : ' ');
      at += (c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') ? 2 : 1;
      continue;
    }
    if (c == '\t') {
      safe.push_back(' ');
      ++at;
      continue;
    }
    char32_t point = 0;
    const size_t length = DecodeUtf8(text, at, &point);
    if (length == 0 || Harmful(point)) {
      safe.push_back('?');
      at += length == 0 ? 1 : length;
      continue;
    }
    safe.append(text.substr(at, length));
    at += length;
  }
  return safe;
}

ModesScope::ModesScope(int fd, Change change) : fd_(fd) {
  if (fd < 0 || !isatty(fd) || tcgetattr(fd, &saved_) != 0) return;
  struct termios modes = saved_;
  switch (change) {
    case kQuiet:
      // Echo off, but the line break the person types still shows.
      modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      modes.c_lflag |= ECHONL;
      break;
    case kKeys:
      modes.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
      modes.c_cc[VMIN] = 1;
      modes.c_cc[VTIME] = 0;
      break;
    case kCooked:
      modes.c_lflag |= ICANON | ECHO;
      break;
  }
  // Modes that are already so are left alone: a process in the background
  // that changed them would be stopped for it.
  if (modes.c_lflag == saved_.c_lflag && modes.c_cc[VMIN] == saved_.c_cc[VMIN] &&
      modes.c_cc[VTIME] == saved_.c_cc[VTIME]) {
    return;
  }
  if (g_modesDepth == 0) {
    g_restoreModes = saved_;
    g_restoreFd = fd;
    g_restoreSet = 1;
    outermost_ = true;
  }
  ++g_modesDepth;
  UpdateHandlers();
  // Nothing typed is discarded: a person (or a script) who answers at once
  // loses nothing.
  tcsetattr(fd, TCSANOW, &modes);
  active_ = true;
}

ModesScope::~ModesScope() {
  if (!active_) return;
  tcsetattr(fd_, TCSANOW, &saved_);
  if (outermost_) g_restoreSet = 0;
  --g_modesDepth;
  UpdateHandlers();
}

InterruptScope::InterruptScope() {
  if (g_catchDepth++ == 0) {
    g_pending = 0;
    g_catching = 1;
  }
  UpdateHandlers();
}

InterruptScope::~InterruptScope() {
  if (--g_catchDepth == 0) {
    g_catching = 0;
    g_pending = 0;
  }
  UpdateHandlers();
}

bool InterruptPending() { return g_pending != 0; }

bool TakeInterrupt() {
  if (!g_pending) return false;
  g_pending = 0;
  return true;
}

}  // namespace qv::ui::terminal
