// flock on Win32: LockFileEx over the whole file; a folder through the
// sharing rules of its handle (see posix.cpp).
#ifndef QV_WIN32_SYS_FILE_H
#define QV_WIN32_SYS_FILE_H

#define LOCK_SH 1
#define LOCK_EX 2
#define LOCK_NB 4
#define LOCK_UN 8

#ifdef __cplusplus
extern "C" {
#endif
// 0 on success; -1 with errno EWOULDBLOCK (LOCK_NB, held elsewhere), EBADF.
int flock(int fd, int operation);
#ifdef __cplusplus
}
#endif

#endif
