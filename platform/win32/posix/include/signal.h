// The C runtime's signals, with sigaction for the ones it raises (SIGINT from
// the console's Ctrl-C, SIGTERM, ...): a handler installed through signal(),
// reinstalled each time it runs, as sigaction keeps it.
#ifndef QV_WIN32_SIGNAL_H
#define QV_WIN32_SIGNAL_H

#include_next <signal.h>

typedef unsigned long sigset_t;

// Signals the C runtime never raises: named, so that portable code compiles;
// sigaction refuses them (EINVAL).
#ifndef SIGHUP
#define SIGHUP 1
#endif
#ifndef SIGQUIT
#define SIGQUIT 3
#endif
#ifndef SIGKILL
#define SIGKILL 9
#endif

#define SA_RESTART 0x10000000
#define SA_RESETHAND 0x80000000

struct sigaction {
  void (*sa_handler)(int);
  sigset_t sa_mask;
  int sa_flags;
};

#ifdef __cplusplus
extern "C" {
#endif
int sigaction(int signal, const struct sigaction* action, struct sigaction* previous);
// raise, with SIGKILL ending the process at once (exit status 137), as the
// signal does on POSIX; other signals as the C runtime raises them.
int qv_posix_raise(int signal);
static inline int sigemptyset(sigset_t* set) { *set = 0; return 0; }
static inline int sigaddset(sigset_t* set, int signal) { *set |= 1ul << signal; return 0; }
#ifdef __cplusplus
}
namespace std {
using ::qv_posix_raise;
}
#endif
#define raise(signal) qv_posix_raise(signal)

#endif
