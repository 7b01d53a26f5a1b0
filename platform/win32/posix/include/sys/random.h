// getrandom on Win32: the system's preferred random number generator
// (BCryptGenRandom).
#ifndef QV_WIN32_SYS_RANDOM_H
#define QV_WIN32_SYS_RANDOM_H

#include <stddef.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif
// Fills `buffer` with `length` random bytes (flags ignored); the count, or
// -1 with errno EIO.
ssize_t getrandom(void* buffer, size_t length, unsigned int flags);
#ifdef __cplusplus
}
#endif

#endif
