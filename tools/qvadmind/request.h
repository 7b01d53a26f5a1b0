// The administration listener's reading of one request. Strict: anything that
// is not exactly a request of the protocol is refused with a reason.
//
// Pure functions; safe to call from any thread.
#ifndef QVADMIND_REQUEST_H
#define QVADMIND_REQUEST_H

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace qvadmind {

// Bounds of what the listener accepts.
inline constexpr size_t kMaxRequestBytes = 65536;
inline constexpr size_t kMaxParameterBytes = 8192;  // raw size of one parameter
inline constexpr int kMaxParameters = 8;

enum class Method { Auth, Load, Ping, Quit, Exec, Setting };

struct Request {
  Method method = Method::Ping;
  std::string protocol;     // AUTH
  std::string credentials;  // AUTH
  std::string library;      // LOAD
  std::string function;     // EXEC, SETTING
  // Decoded parameters by number (1, 2, ...), each exactly its SIZE long.
  std::map<int, std::string> parameters;
};

// Parses one whole request ("<DATA>...</DATA>"). On failure returns false and
// sets `reason`.
bool ParseRequest(std::string_view text, Request* request, std::string* reason);

// The length of the first complete request at the start of `buffer` (up to and
// including its "</DATA>"), or 0 when none is complete yet.
size_t CompleteRequestLength(std::string_view buffer);

}  // namespace qvadmind

#endif
