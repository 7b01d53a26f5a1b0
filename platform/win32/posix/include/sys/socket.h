// Berkeley sockets on Winsock. A socket is handed out as a C runtime file
// descriptor (over the socket handle), so close() ends it as on POSIX; the
// calls below take such descriptors, start Winsock on first use and report
// failures through errno (a time-out as EAGAIN). SO_RCVTIMEO and SO_SNDTIMEO
// take a struct timeval, as on POSIX; send() takes MSG_DONTWAIT.
#ifndef QV_WIN32_SYS_SOCKET_H
#define QV_WIN32_SYS_SOCKET_H

#include <winsock2.h>
#include <ws2tcpip.h>

#include <sys/time.h>
#include <sys/types.h>

#ifndef SOCK_CLOEXEC
#define SOCK_CLOEXEC 0  // Winsock handles are not inherited unless asked
#endif
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // Windows has no SIGPIPE
#endif

#ifndef MSG_DONTWAIT
// Winsock has no per-call flag for it: send() turns the socket non-blocking
// for that one call (a flag bit Winsock does not use).
#define MSG_DONTWAIT 0x40000000
#endif

#ifdef __cplusplus
extern "C" {
#endif
int qv_posix_socket(int domain, int type, int protocol);
int qv_posix_connect(int fd, const struct sockaddr* address, int length);
int qv_posix_setsockopt(int fd, int level, int name, const void* value, int length);
ssize_t qv_posix_send(int fd, const void* data, size_t length, int flags);
ssize_t qv_posix_recv(int fd, void* data, size_t length, int flags);
int qv_posix_getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                         struct addrinfo** result);
#ifdef __cplusplus
}
#endif

#define socket(domain, type, protocol) qv_posix_socket(domain, type, protocol)
#define connect(fd, address, length) qv_posix_connect(fd, address, length)
#define setsockopt(fd, level, name, value, length) qv_posix_setsockopt(fd, level, name, value, length)
#define send(fd, data, length, flags) qv_posix_send(fd, data, length, flags)
#define recv(fd, data, length, flags) qv_posix_recv(fd, data, length, flags)
#define getaddrinfo(node, service, hints, result) qv_posix_getaddrinfo(node, service, hints, result)

#endif
