// Winsock declares what this POSIX header would.
#include <sys/socket.h>
