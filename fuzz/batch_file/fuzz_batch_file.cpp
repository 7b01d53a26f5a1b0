// The reader of a batch file left by a failed synchronisation.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "addin/sync/batch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  qvsync::modBatch::FailedBatch batch = qvsync::modBatch::ReadFailedBatch(text);
  for (const auto& [id, line] : batch) {
    if (id.find('\t') != std::string::npos || line.find('\n') != std::string::npos) __builtin_trap();
    // The fields of a line name the ID it is kept under.
    if (qvsync::modBatch::ReadAddLine(line).id != id) __builtin_trap();
  }
  return 0;
}
