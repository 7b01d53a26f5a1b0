#include "addin/server/request_limits.h"

namespace qvsync {
namespace {

// Whole seconds, rounded up ("1 second", "30 seconds").
std::string Seconds(long milliseconds) {
  const long seconds = milliseconds <= 1000 ? 1 : (milliseconds + 999) / 1000;
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

}  // namespace

RequestKind KindOfRequest(std::string_view body) {
  const auto startsWith = [body](std::string_view prefix) { return body.substr(0, prefix.size()) == prefix; };
  if (startsWith("Cmd=LOGIN&") || body == "Cmd=LOGIN") return RequestKind::Login;
  if (startsWith("Cmd=LIST-")) return RequestKind::List;
  if (startsWith("Cmd=BATCH&") || body == "Cmd=BATCH") return RequestKind::Batch;
  return RequestKind::Item;
}

RequestLimits LimitsFor(const TransportTimeouts& timeouts, RequestKind kind, size_t bodyBytes) {
  RequestLimits limits;
  limits.connectMilliseconds = timeouts.connectMilliseconds;
  limits.silenceMilliseconds = timeouts.silenceMilliseconds;
  limits.totalMilliseconds = kind == RequestKind::List ? timeouts.listMilliseconds : timeouts.itemMilliseconds;
  if (kind == RequestKind::Batch) {
    // Kilobytes begun; far beyond any body the servlet takes, the limits stop growing.
    const long kilobytes = static_cast<long>(bodyBytes < (size_t{1} << 30) ? (bodyBytes + 1023) / 1024 : 1L << 20);
    const long extra = kilobytes * timeouts.batchMillisecondsPerKilobyte;
    limits.silenceMilliseconds += extra;
    limits.totalMilliseconds += 2 * extra;
  }
  return limits;
}

int32_t ErrorNumberOf(WaitEnd end) { return end == WaitEnd::Cancelled ? kErrorCancelled : kErrorTimeout; }

std::string MessageOf(WaitEnd end, const RequestLimits& limits) {
  const std::string number = " (error " + std::to_string(ErrorNumberOf(end)) + ")";
  switch (end) {
    case WaitEnd::Connect:
      return "Could not connect to server" + number + ": no connection within " +
             Seconds(limits.connectMilliseconds) + ". Check the server details entered.";
    case WaitEnd::Silence:
      return "The server did not answer within " + Seconds(limits.silenceMilliseconds) + number + ".";
    case WaitEnd::Total:
      return "The server's answer did not arrive in full within " + Seconds(limits.totalMilliseconds) + number + ".";
    case WaitEnd::Cancelled:
      return "The request to the server was cancelled" + number + ".";
  }
  return "";
}

}  // namespace qvsync
