// Requests as the administration listener reads them off a connection.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tools/qvadmind/request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view buffer(reinterpret_cast<const char*>(data), size);
  // Split the stream into requests as the listener does.
  while (size_t length = qvadmind::CompleteRequestLength(buffer)) {
    qvadmind::Request request;
    std::string reason;
    if (qvadmind::ParseRequest(buffer.substr(0, length), &request, &reason)) {
      for (const auto& [number, value] : request.parameters) {
        if (number < 1 || number > qvadmind::kMaxParameters ||
            value.size() > qvadmind::kMaxParameterBytes) {
          __builtin_trap();
        }
      }
    } else if (reason.empty()) {
      __builtin_trap();
    }
    buffer.remove_prefix(length);
  }
  return 0;
}
