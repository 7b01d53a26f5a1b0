// The POSIX layer of qv_posix.h and include/ on Win32.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <bcrypt.h>

#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <mutex>
#include <string>

#include "platform/win32/posix/include/dlfcn.h"
#include "platform/win32/posix/include/sys/file.h"
#include "platform/win32/posix/include/sys/random.h"
#include "platform/win32/posix/include/sys/ioctl.h"
#include "platform/win32/posix/include/poll.h"
#include "platform/win32/posix/include/signal.h"
#include "platform/win32/posix/include/termios.h"
#include "platform/win32/posix/include/sys/socket.h"
#include "platform/win32/posix/qv_posix.h"

// The macros of qv_posix.h must not rename the runtime's own functions here.
#undef open
#undef mkdir
#undef rename
#undef fsync
#undef socket
#undef connect
#undef setsockopt
#undef send
#undef recv
#undef getaddrinfo

namespace {

// errno for a Win32 error code.
int ErrnoFromWin32(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_MOD_NOT_FOUND:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return EEXIST;
    case ERROR_LOCK_VIOLATION:
    case ERROR_IO_PENDING: return EWOULDBLOCK;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return ENOMEM;
    case ERROR_DISK_FULL: return ENOSPC;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_INVALID_FUNCTION: return ENOTSUP;
    default: return EIO;
  }
}

int ErrnoFromWinsock(int error) {
  switch (error) {
    case WSAETIMEDOUT:
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAEINTR: return EINTR;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAEINVAL: return EINVAL;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAEMFILE: return EMFILE;
    case WSANOTINITIALISED: return EIO;
    default: return EIO;
  }
}

thread_local std::string lastDlError;
thread_local bool dlErrorPending = false;

void SetDlError(const char* what, const char* name) {
  lastDlError = std::string(what) + " " + (name ? name : "") + ": Windows error " +
                std::to_string(GetLastError());
  dlErrorPending = true;
}

bool StartWinsock() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

SOCKET SocketOf(int fd) {
  const intptr_t handle = _get_osfhandle(fd);
  return handle == -1 ? INVALID_SOCKET : static_cast<SOCKET>(handle);
}

HANDLE OpenFolder(const char* path, DWORD access, DWORD share) {
  return CreateFileA(path, access, share, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Windows locks byte ranges of files only. A folder is locked through the
// sharing rules instead: a lock is an open of the folder with data access
// that refuses other data access (exclusive) or shares it only with other
// shared locks; it replaces the descriptor's handle (dup2), so closing the
// descriptor releases it, as with flock. While the folder is locked, other
// opens that read its entries wait; opening the files in it does not.
int LockFolder(int fd, HANDLE current, int operation) {
  char path[MAX_PATH * 2];
  const DWORD length = GetFinalPathNameByHandleA(current, path, sizeof path, FILE_NAME_NORMALIZED);
  if (length == 0 || length >= sizeof path) {
    errno = EBADF;
    return -1;
  }
  DWORD access = FILE_LIST_DIRECTORY;
  DWORD share = FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  if (operation & LOCK_UN) {
    access = FILE_READ_ATTRIBUTES;
    share |= FILE_SHARE_READ;
  } else if (operation & LOCK_SH) {
    share |= FILE_SHARE_READ;
  }
  HANDLE handle;
  while ((handle = OpenFolder(path, access, share)) == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error != ERROR_SHARING_VIOLATION || (operation & LOCK_NB)) {
      errno = error == ERROR_SHARING_VIOLATION ? EWOULDBLOCK : ErrnoFromWin32(error);
      return -1;
    }
    Sleep(2);
  }
  const int locked = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY);
  if (locked < 0) {
    CloseHandle(handle);
    errno = EMFILE;
    return -1;
  }
  const int result = _dup2(locked, fd);
  _close(locked);
  return result == 0 ? 0 : -1;
}

}  // namespace

extern "C" {

int qv_posix_open(const char* path, int flags, ...) {
  int mode = 0;
  if (flags & O_CREAT) {
    va_list args;
    va_start(args, flags);
    mode = va_arg(args, int);
    va_end(args);
  }
  if (flags & O_DIRECTORY) {
    // A folder is opened as a handle (backup semantics) wrapped in a
    // descriptor, so it can be held open and closed like a file. The handle
    // has no data access, so it never stands in the way of a lock (flock).
    HANDLE handle = OpenFolder(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    if (handle == INVALID_HANDLE_VALUE) {
      errno = ErrnoFromWin32(GetLastError());
      return -1;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      CloseHandle(handle);
      errno = ENOTDIR;
      return -1;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY);
    if (fd < 0) CloseHandle(handle);
    return fd;
  }
  // Windows grants what the mode asks of the owner only.
  const int permissions = (mode & 0200) ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
  return _open(path, (flags & ~O_DIRECTORY) | _O_BINARY, permissions);
}

int qv_posix_mkdir(const char* path, int /*mode*/) { return _mkdir(path); }

int qv_posix_rename(const char* from, const char* to) {
  if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return 0;
  errno = ErrnoFromWin32(GetLastError());
  return -1;
}

int qv_posix_fsync(int fd) { return _commit(fd); }

ssize_t readlink(const char* path, char* /*buffer*/, size_t /*size*/) {
  // No path is a link to this layer: a missing file is ENOENT, any other EINVAL.
  errno = GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES ? ErrnoFromWin32(GetLastError()) : EINVAL;
  return -1;
}

int fchmod(int fd, mode_t mode) {
  const intptr_t raw = _get_osfhandle(fd);
  if (raw == -1) {
    errno = EBADF;
    return -1;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(raw);
  FILE_BASIC_INFO info;
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &info, sizeof info)) {
    errno = ErrnoFromWin32(GetLastError());
    return -1;
  }
  const DWORD before = info.FileAttributes;
  if (mode & 0200) {
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  } else {
    info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
  }
  if (info.FileAttributes == before) return 0;
  if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  // Zero times leave the file's times as they are.
  info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = 0;
  info.LastWriteTime.QuadPart = info.ChangeTime.QuadPart = 0;
  if (SetFileInformationByHandle(handle, FileBasicInfo, &info, sizeof info)) return 0;
  errno = ErrnoFromWin32(GetLastError());
  return -1;
}

char* mkdtemp(char* templ) {
  const size_t length = templ == nullptr ? 0 : strlen(templ);
  if (length < 6 || strcmp(templ + length - 6, "XXXXXX") != 0) {
    errno = EINVAL;
    return nullptr;
  }
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned long long seed = GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 20) ^
                              (static_cast<unsigned long long>(attempt) * 0x9E3779B97F4A7C15ull);
    LARGE_INTEGER counter;
    if (QueryPerformanceCounter(&counter)) seed ^= static_cast<unsigned long long>(counter.QuadPart) * 31;
    for (size_t i = length - 6; i < length; ++i) {
      templ[i] = kLetters[seed % (sizeof kLetters - 1)];
      seed /= sizeof kLetters - 1;
    }
    if (CreateDirectoryA(templ, nullptr)) return templ;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  errno = ErrnoFromWin32(GetLastError());
  return nullptr;
}

int setenv(const char* name, const char* value, int overwrite) {
  if (name == nullptr || *name == '\0' || strchr(name, '=') != nullptr || value == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (!overwrite && getenv(name) != nullptr) return 0;
  // An empty value would remove the variable under _putenv_s.
  return _putenv_s(name, value) == 0 ? 0 : (errno = EINVAL, -1);
}

int unsetenv(const char* name) {
  if (name == nullptr || *name == '\0' || strchr(name, '=') != nullptr) {
    errno = EINVAL;
    return -1;
  }
  return _putenv_s(name, "") == 0 ? 0 : (errno = EINVAL, -1);
}

int flock(int fd, int operation) {
  const intptr_t raw = _get_osfhandle(fd);
  if (raw == -1) {
    errno = EBADF;
    return -1;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(raw);
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(handle, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return LockFolder(fd, handle, operation);
  }
  OVERLAPPED whole = {};
  if (operation & LOCK_UN) {
    if (UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &whole)) return 0;
  } else {
    DWORD flags = (operation & LOCK_EX) ? LOCKFILE_EXCLUSIVE_LOCK : 0;
    if (operation & LOCK_NB) flags |= LOCKFILE_FAIL_IMMEDIATELY;
    if (LockFileEx(handle, flags, 0, MAXDWORD, MAXDWORD, &whole)) return 0;
  }
  errno = ErrnoFromWin32(GetLastError());
  return -1;
}

void* dlopen(const char* file, int mode) {
  if (file == nullptr) return GetModuleHandleA(nullptr);
  if (mode & RTLD_NOLOAD) {
    HMODULE loaded = nullptr;  // counted, as dlopen counts it: dlclose releases it
    if (!GetModuleHandleExA(0, file, &loaded)) SetDlError("not loaded", file);
    return reinterpret_cast<void*>(loaded);
  }
  // No error boxes for a missing or broken module: the caller reports it.
  const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  HMODULE module = LoadLibraryExA(file, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  SetErrorMode(previous);
  if (module == nullptr) SetDlError("cannot load", file);
  return reinterpret_cast<void*>(module);
}

void* dlsym(void* module, const char* name) {
  FARPROC found = GetProcAddress(static_cast<HMODULE>(module), name);
  if (found == nullptr) SetDlError("no export", name);
  return reinterpret_cast<void*>(found);
}

int dlclose(void* module) {
  if (FreeLibrary(static_cast<HMODULE>(module))) return 0;
  SetDlError("cannot unload", nullptr);
  return -1;
}

char* dlerror(void) {
  if (!dlErrorPending) return nullptr;
  dlErrorPending = false;
  return lastDlError.data();
}

int qv_posix_socket(int domain, int type, int protocol) {
  if (!StartWinsock()) {
    errno = EIO;
    return -1;
  }
  // Not inheritable: no child process keeps the connection open.
  SOCKET s = WSASocketW(domain, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    errno = ErrnoFromWinsock(WSAGetLastError());
    return -1;
  }
  const int fd = _open_osfhandle(static_cast<intptr_t>(s), _O_RDWR | _O_BINARY);
  if (fd < 0) {
    closesocket(s);
    errno = EMFILE;
  }
  return fd;
}

int qv_posix_connect(int fd, const struct sockaddr* address, int length) {
  if (::connect(SocketOf(fd), address, length) == 0) return 0;
  errno = ErrnoFromWinsock(WSAGetLastError());
  return -1;
}

int qv_posix_setsockopt(int fd, int level, int name, const void* value, int length) {
  if (level == SOL_SOCKET && (name == SO_RCVTIMEO || name == SO_SNDTIMEO) &&
      length == static_cast<int>(sizeof(struct timeval))) {
    // Winsock takes the time-out as a DWORD of milliseconds.
    const auto* tv = static_cast<const struct timeval*>(value);
    const DWORD ms = static_cast<DWORD>(tv->tv_sec) * 1000 + static_cast<DWORD>(tv->tv_usec / 1000);
    if (::setsockopt(SocketOf(fd), level, name, reinterpret_cast<const char*>(&ms), sizeof ms) == 0) return 0;
  } else if (::setsockopt(SocketOf(fd), level, name, static_cast<const char*>(value), length) == 0) {
    return 0;
  }
  errno = ErrnoFromWinsock(WSAGetLastError());
  return -1;
}

ssize_t qv_posix_send(int fd, const void* data, size_t length, int flags) {
  const int chunk = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
  const SOCKET s = SocketOf(fd);
  const bool dontWait = (flags & MSG_DONTWAIT) != 0;
  u_long nonBlocking = 1;
  if (dontWait && ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    errno = ErrnoFromWinsock(WSAGetLastError());
    return -1;
  }
  const int sent = ::send(s, static_cast<const char*>(data), chunk, flags & ~MSG_DONTWAIT);
  const int error = sent >= 0 ? 0 : WSAGetLastError();
  if (dontWait) {
    u_long blocking = 0;
    ioctlsocket(s, FIONBIO, &blocking);
  }
  if (sent >= 0) return sent;
  errno = ErrnoFromWinsock(error);
  return -1;
}

ssize_t qv_posix_recv(int fd, void* data, size_t length, int flags) {
  const int chunk = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
  const int got = ::recv(SocketOf(fd), static_cast<char*>(data), chunk, flags);
  if (got >= 0) return got;
  errno = ErrnoFromWinsock(WSAGetLastError());
  return -1;
}

int qv_posix_getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                         struct addrinfo** result) {
  if (!StartWinsock()) return EAI_FAIL;
  return ::getaddrinfo(node, service, hints, result);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int) {
  size_t done = 0;
  while (done < length) {
    const ULONG chunk = static_cast<ULONG>(length - done > 0x10000000 ? 0x10000000 : length - done);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer) + done, chunk,
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
      errno = EIO;
      return -1;
    }
    done += chunk;
  }
  return static_cast<ssize_t>(length);
}

// ---- Consoles: terminal modes, window size, pending keys ----

namespace {

// The console behind a descriptor, or nullptr when it is none.
HANDLE ConsoleOf(int fd) {
  const intptr_t handle = _get_osfhandle(fd);
  DWORD mode = 0;
  if (handle == -1 || !GetConsoleMode(reinterpret_cast<HANDLE>(handle), &mode)) return nullptr;
  return reinterpret_cast<HANDLE>(handle);
}

constexpr int kSignals = 32;
struct sigaction g_actions[kSignals];

// The C runtime puts a signal back to its default before running a handler;
// sigaction's handler stays until changed.
void SignalTrampoline(int signal) {
  if (signal <= 0 || signal >= kSignals) return;
  const struct sigaction action = g_actions[signal];
  if (action.sa_flags & SA_RESETHAND) {
    g_actions[signal] = {};
  } else {
    ::signal(signal, SignalTrampoline);
  }
  if (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN) action.sa_handler(signal);
}

}  // namespace

int tcgetattr(int fd, struct termios* modes) {
  HANDLE console = ConsoleOf(fd);
  if (console == nullptr || modes == nullptr) {
    errno = ENOTTY;
    return -1;
  }
  DWORD mode = 0;
  GetConsoleMode(console, &mode);
  *modes = {};
  if (mode & ENABLE_ECHO_INPUT) modes->c_lflag |= ECHO;
  if (mode & ENABLE_LINE_INPUT) modes->c_lflag |= ICANON;
  if (mode & ENABLE_PROCESSED_INPUT) modes->c_lflag |= ISIG;
  modes->c_cc[VMIN] = 1;
  return 0;
}

int tcsetattr(int fd, int, const struct termios* modes) {
  HANDLE console = ConsoleOf(fd);
  if (console == nullptr || modes == nullptr) {
    errno = ENOTTY;
    return -1;
  }
  DWORD mode = 0;
  GetConsoleMode(console, &mode);
  mode &= ~static_cast<DWORD>(ENABLE_ECHO_INPUT | ENABLE_LINE_INPUT);
  if (modes->c_lflag & ICANON) mode |= ENABLE_LINE_INPUT;
  // A console echoes only whole lines.
  if ((modes->c_lflag & ECHO) && (modes->c_lflag & ICANON)) mode |= ENABLE_ECHO_INPUT;
  if (!SetConsoleMode(console, mode)) {
    errno = EIO;
    return -1;
  }
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  const intptr_t handle = _get_osfhandle(fd);
  if (request != TIOCGWINSZ || handle == -1 ||
      !GetConsoleScreenBufferInfo(reinterpret_cast<HANDLE>(handle), &info)) {
    errno = ENOTTY;
    return -1;
  }
  va_list args;
  va_start(args, request);
  struct winsize* size = va_arg(args, struct winsize*);
  va_end(args);
  if (size == nullptr) {
    errno = EFAULT;
    return -1;
  }
  *size = {};
  size->ws_col = static_cast<unsigned short>(info.srWindow.Right - info.srWindow.Left + 1);
  size->ws_row = static_cast<unsigned short>(info.srWindow.Bottom - info.srWindow.Top + 1);
  return 0;
}

int poll(struct pollfd* fds, nfds_t count, int) {
  int ready = 0;
  for (nfds_t i = 0; i < count; ++i) {
    fds[i].revents = 0;
    HANDLE console = (fds[i].events & POLLIN) ? ConsoleOf(fds[i].fd) : nullptr;
    if (console == nullptr) continue;
    // Events that are not typed characters (focus, mouse, key releases) are
    // taken out of the way, so that a read after POLLIN finds a character.
    for (;;) {
      INPUT_RECORD record{};
      DWORD got = 0;
      if (!PeekConsoleInputW(console, &record, 1, &got) || got == 0) break;
      if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown && record.Event.KeyEvent.uChar.UnicodeChar) {
        fds[i].revents = POLLIN;
        ++ready;
        break;
      }
      ReadConsoleInputW(console, &record, 1, &got);
    }
  }
  return ready;
}

int sigaction(int signal, const struct sigaction* action, struct sigaction* previous) {
  if (signal <= 0 || signal >= kSignals) {
    errno = EINVAL;
    return -1;
  }
  if (previous != nullptr) *previous = g_actions[signal];
  if (action != nullptr) {
    const bool plain = action->sa_handler == SIG_DFL || action->sa_handler == SIG_IGN;
    if (::signal(signal, plain ? action->sa_handler : SignalTrampoline) == SIG_ERR) {
      errno = EINVAL;
      return -1;
    }
    g_actions[signal] = *action;
  }
  return 0;
}

#undef raise
int qv_posix_raise(int signal) {
  if (signal == SIGKILL) TerminateProcess(GetCurrentProcess(), 128 + SIGKILL);
  return ::raise(signal);
}

}  // extern "C"
