// The reader of the server's answer to a BATCH request.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "addin/sync/batch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string reply(reinterpret_cast<const char*>(data), size);
  std::vector<qvsync::modBatch::ReplyElement> elements;
  if (!qvsync::modBatch::ReadBatchReply(reply, elements) && !elements.empty()) __builtin_trap();
  for (const auto& element : elements) {
    // Every value comes from the reply itself.
    if (element.uid.size() > reply.size() || element.returnValue.size() > reply.size()) __builtin_trap();
  }
  return 0;
}
