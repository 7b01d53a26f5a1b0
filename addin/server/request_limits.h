// How long the add-in waits for the server, request by request, and how a
// wait that was cut short is reported: the one set of rules every transport
// backend applies (libcurl on Linux, WinInet on Windows), with the Windows
// Internet error numbers the add-in shows. Pure rules: no I/O, no state.
//
// A request may take
//   - to connect: seconds (name resolution included);
//   - without a byte moving either way (the server's silence): tens of
//     seconds for a login, a list, a single item or an account command; a
//     batch, which the server works through before it answers, gets more in
//     proportion to what was sent;
//   - in all, from the start to the last byte of the answer: a minute for a
//     login, a single item or an account command, a few minutes for a list,
//     and for a batch in proportion to its size too. A server that trickles
//     its answer is cut off here, however it keeps the line alive.
// A person may cancel any wait (Ctrl-C at the terminal).
#ifndef QVSYNC_SERVER_REQUEST_LIMITS_H
#define QVSYNC_SERVER_REQUEST_LIMITS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvsync {

// Error numbers of the transport (the Windows Internet numbers the add-in shows).
inline constexpr int32_t kErrorTimeout = 12002;            // timed out
inline constexpr int32_t kErrorInternal = 12004;           // unexpected failure
inline constexpr int32_t kErrorNameNotResolved = 12007;    // host name not resolvable
inline constexpr int32_t kErrorCancelled = 12017;          // the wait was cancelled
inline constexpr int32_t kErrorCannotConnect = 12029;      // connection refused / unreachable
inline constexpr int32_t kErrorConnectionAborted = 12030;  // closed without an answer
inline constexpr int32_t kErrorConnectionReset = 12031;    // reset while reading
inline constexpr int32_t kErrorInvalidResponse = 12152;    // not an HTTP answer
inline constexpr int32_t kErrorPageNotFound = 404;

// What a request is, by the command its body starts with.
enum class RequestKind {
  Item,   // a single item or an account command (GET, ADD, EDIT, DELETE, CHANGE-PASSWORD, ...)
  Login,  // "Cmd=LOGIN"
  List,   // "Cmd=LIST-..."
  Batch,  // "Cmd=BATCH"
};
RequestKind KindOfRequest(std::string_view body);

// The numbers the limits are made from.
struct TransportTimeouts {
  long connectMilliseconds = 10000;         // to make the connection
  long silenceMilliseconds = 30000;         // longest silence of a login, list or item
  long itemMilliseconds = 60000;            // whole exchange of a login or item
  long listMilliseconds = 180000;           // whole exchange of a list
  long batchMillisecondsPerKilobyte = 250;  // a batch's extra silence per kilobyte sent (twice that in all)
};

// The limits of one request, in milliseconds.
struct RequestLimits {
  long connectMilliseconds = 0;
  long silenceMilliseconds = 0;
  long totalMilliseconds = 0;
};
RequestLimits LimitsFor(const TransportTimeouts& timeouts, RequestKind kind, size_t bodyBytes);

// Why a wait was cut short.
enum class WaitEnd {
  Connect,    // no connection within its limit
  Silence,    // connected, and nothing came within the silence limit
  Total,      // the whole answer did not arrive within its limit
  Cancelled,  // a person cancelled the wait
};
// 12002 for the time-outs, 12017 for a cancelled wait.
int32_t ErrorNumberOf(WaitEnd end);
// The message shown for it, naming the cause and the limit, for example
// "The server did not answer within 30 seconds (error 12002)."
std::string MessageOf(WaitEnd end, const RequestLimits& limits);

}  // namespace qvsync

#endif
