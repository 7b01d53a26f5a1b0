// The client side of the remote administration channel: the process's one
// session with a remote administration listener, and the forwarded-call
// pattern that the option, service and registry exports share.
//
// Process-wide state (current host, connected host, loaded library, session
// socket) lives here and is not guarded: a process that forwards calls from
// several threads serialises them itself.
#ifndef QVAISO_REMOTE_CHANNEL_H
#define QVAISO_REMOTE_CHANNEL_H

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "library/remote/wire.h"

namespace qvaiso::remote {

// The library every option and service call is forwarded on behalf of.
inline constexpr const char* kLibraryName = "QVAISO.DLL";

// HKCU keys of the remote administration settings.
inline constexpr const char* kAdministrationKey = "SOFTWARE\\Quorvia\\Quorvia\\Administration";
inline constexpr const char* kHostsKey = "Software\\Quorvia\\Quorvia\\Administration\\Hosts";
inline constexpr uint16_t kDefaultPort = 8081;

// Reply buffer sizes: AUTH, LOAD and PING; EXEC and SETTING.
inline constexpr size_t kShortReplyCapacity = 2048;
inline constexpr size_t kCallReplyCapacity = 32768;

enum SessionAnswer { kServeLocally = 0, kSessionOpen = 1, kConnectFailed = 2 };

// Decides whether a call is served locally (0) or over a session for
// `library` (1 open, 2 the connection failed). See remote.h for the rules.
int EnsureRemoteSession(const char* library);

// Sends `request` and reads the reply into `reply` until "</DATA>", the end of
// the stream, the receive time-out, or `capacity - 1` bytes. True when the
// request was sent and something was received. A failed exchange closes the
// session socket, so the next call reconnects.
bool RemoteExchange(std::string_view request, std::string* reply, size_t capacity);

// Sets the current host (at most 1023 characters are kept); "" for none.
void SetCurrentHostName(std::string_view host);
const std::string& CurrentHostName();

// One output of a forwarded call: reply parameter `number` is copied into
// `buffer` when present and well formed.
struct Output {
  enum class Kind {
    Record,  // exactly `capacity` bytes, or nothing
    String,  // at most capacity - 1 bytes, always terminated
  };
  int number;
  void* buffer;
  size_t capacity;
  Kind kind;
};

// The forwarded-call pattern: exchanges `request` over the session; on
// success copies each output present in the reply and returns parameter 0
// (0 when absent). On a failed exchange returns 0 and writes nothing.
int ForwardCall(const wire::Request& request, std::initializer_list<Output> outputs);

// ---- Test seams ----

// Replaces connect(2) for the session socket: called with the socket and the
// resolved address; returns 0 on success or -1 with errno set. nullptr
// restores connect(2).
using ConnectFunction = std::function<int(int socket, const sockaddr_in& address)>;
void SetConnectFunctionForTesting(ConnectFunction connect);

// Closes the session and forgets every process-wide setting (current host,
// connected host, loaded library, the cached "ForceDefaultHost").
void ResetSessionForTesting();

// True while a session socket is open.
bool SessionOpenForTesting();

}  // namespace qvaiso::remote

#endif
