// The POSIX calls of the system's portable code, on Win32. Every source of the
// Windows build of a component that uses them is compiled with this header
// included first (-include), and include/ stands in for the POSIX headers the
// C runtime of MinGW-w64 lacks (sys/file.h, dlfcn.h, the socket headers).
//
// What differs from the C runtime's own functions:
//  - open: binary mode always (the files are the same bytes on every
//    platform); O_CLOEXEC maps to O_NOINHERIT; O_DIRECTORY opens a folder.
//  - mkdir takes (and ignores) a mode, as POSIX's does.
//  - rename replaces an existing target, as POSIX's does.
//  - fsync flushes the file to disk (_commit).
//  - mkdtemp, setenv and unsetenv, which the C runtime lacks.
//  - lstat, readlink: the layer follows no links; a path names the file
//    itself (lstat is stat, readlink answers EINVAL: not a link), and
//    symlink makes none (EPERM).
//  - fchmod keeps the one permission a Windows file has: without the owner's
//    write bit (0200) the file becomes read-only, with it writable.
//  - fchown does nothing and succeeds: a Windows file has no POSIX owner
//    and group to keep (its owner and access list stay the folder's).
#ifndef QV_WIN32_POSIX_H
#define QV_WIN32_POSIX_H

#ifndef _POSIX_THREAD_SAFE_FUNCTIONS
#define _POSIX_THREAD_SAFE_FUNCTIONS 200112L  // localtime_r, gmtime_r
#endif

#include <direct.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <limits.h>
#include <time.h>
#include <unistd.h>

#ifdef __cplusplus
// Declared before the macros below, so that member functions of the same
// names (filebuf::open, filesystem::rename) keep them.
#include <cstdio>
#include <filesystem>
#include <fstream>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif
#ifndef O_DIRECTORY
#define O_DIRECTORY 0x01000000
#endif

int qv_posix_open(const char* path, int flags, ...);
int qv_posix_mkdir(const char* path, int mode);
int qv_posix_rename(const char* from, const char* to);
int qv_posix_fsync(int fd);
// Creates a folder named by `templ`, whose last six characters ("XXXXXX")
// are replaced; `templ` on success, NULL with errno set otherwise.
char* mkdtemp(char* templ);
int setenv(const char* name, const char* value, int overwrite);
int unsetenv(const char* name);
#ifndef S_ISLNK
#define S_ISLNK(mode) 0
#endif

static inline int lstat(const char* path, struct stat* info) { return stat(path, info); }
ssize_t readlink(const char* path, char* buffer, size_t size);
static inline int symlink(const char* target, const char* path) {
  (void)target;
  (void)path;
  errno = EPERM;
  return -1;
}
int fchmod(int fd, mode_t mode);
static inline int fchown(int fd, int owner, int group) { (void)fd; (void)owner; (void)group; return 0; }
// Windows has no user ids, and a folder's mode does not keep anyone from
// writing into it, as it does not keep root: so the caller counts as root.
static inline int geteuid(void) { return 0; }

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
// std::rename and std::remove reach the same functions.
namespace std {
using ::qv_posix_rename;
}
#endif

#define open(...) qv_posix_open(__VA_ARGS__)
#define mkdir(path, mode) qv_posix_mkdir(path, mode)
#define rename(from, to) qv_posix_rename(from, to)
#define fsync(fd) qv_posix_fsync(fd)

#endif
