// Replies of a remote administration listener, read as the client reads them.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "library/remote/wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  for (int number = 0; number <= 3; ++number) {
    if (auto raw = qvaiso::wire::FindParameter(reply, number)) {
      if (raw->text.size() > reply.size()) __builtin_trap();
    }
    // The limits the client uses: the result, a service record, a string.
    for (size_t limit : {size_t{4}, size_t{516}, size_t{4096}}) {
      if (auto value = qvaiso::wire::ReadParameter(reply, number, limit)) {
        if (value->size() > limit) __builtin_trap();
      }
    }
  }
  qvaiso::wire::ElementText(reply, "STATUS");
  return 0;
}
