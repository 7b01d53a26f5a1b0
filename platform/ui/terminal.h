// What the terminal front ends (message boxes and windows, progress) share:
// the filter every text passes before it reaches the terminal, the
// terminal's modes changed for a while and put back on every way out, and
// Ctrl-C caught while something can be cancelled. POSIX only.
//
// Used on the add-in's user-interface thread; the signal handlers touch only
// async-signal-safe state.
#ifndef QV_PLATFORM_UI_TERMINAL_H
#define QV_PLATFORM_UI_TERMINAL_H

#include <termios.h>

#include <string>
#include <string_view>

namespace qv::ui::terminal {

// `text` as it may be printed on a terminal, wherever it came from (a
// server's reply may hold escape sequences that clear the screen or set the
// terminal's title): every control character (C0, DEL, C1), every byte that is
// not part of valid UTF-8 and every bidirectional override becomes "?"; a TAB
// becomes a space. Line breaks (CR LF, CR or LF) become "\n" when `lines` is
// true, else a space, so that one line stays one line.
std::string SafeText(std::string_view text, bool lines = false);
// The length in bytes of the character at `text[at]` when it may be printed
// as it is; 0 when SafeText would replace it (a line break or TAB included).
size_t PrintableLength(std::string_view text, size_t at);

// Changes the modes of the terminal `fd` for the scope's life: `quiet` turns
// echo off (a password), `keys` turns line editing and echo off (single keys),
// `cooked` turns both back on (a prompt while single keys are read). The
// modes the scope found are put back when it ends; the modes found by the
// outermost scope are also put back at exit and when SIGINT (unless it is
// caught), SIGTERM, SIGHUP or SIGQUIT ends the process. Nothing happens
// when `fd` is no terminal, or its modes are already what the change asks.
class ModesScope {
 public:
  enum Change { kQuiet, kKeys, kCooked };
  ModesScope(int fd, Change change);
  ~ModesScope();
  ModesScope(const ModesScope&) = delete;
  ModesScope& operator=(const ModesScope&) = delete;
  // Whether the modes were changed.
  bool active() const { return active_; }

 private:
  int fd_;
  bool active_ = false;
  bool outermost_ = false;
  struct termios saved_ {};  // the modes found
};

// Ctrl-C caught for the scope's life: SIGINT no longer ends the process but
// is counted (a press that nobody has taken yet is pending). A second press
// while one is still pending ends the process as usual (after the modes are
// put back). Scopes nest; the handler found is put back, and any pending
// press dropped, when the outermost ends.
class InterruptScope {
 public:
  InterruptScope();
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};
// Whether a press is pending (it stays pending).
bool InterruptPending();
// Takes the pending press, if any: true when there was one.
bool TakeInterrupt();

}  // namespace qv::ui::terminal

#endif
