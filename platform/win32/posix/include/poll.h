// poll on Win32, for the one use the system's code makes of it: asking
// whether a key is waiting on a console's input, without waiting. Other
// descriptors report nothing pending. struct pollfd and the POLL* flags are
// Winsock's.
#ifndef QV_WIN32_POLL_H
#define QV_WIN32_POLL_H

#include <winsock2.h>

typedef unsigned long nfds_t;

#ifdef __cplusplus
extern "C" {
#endif
// The number of descriptors with POLLIN pending (a key press on a console);
// `timeout` is ignored (no waiting).
int poll(struct pollfd* fds, nfds_t count, int timeout);
#ifdef __cplusplus
}
#endif

#endif
