// The filter every text passes before it reaches the terminal takes any bytes
// without fault, and what it gives may be printed: valid UTF-8 without a
// control character (a line feed only where lines are kept), a C1 control or
// a bidirectional override, and the character test agrees with it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ui/terminal.h"

namespace {

using qv::ui::terminal::PrintableLength;
using qv::ui::terminal::SafeText;

void Check(const std::string& safe, bool lines) {
  for (size_t at = 0; at < safe.size();) {
    if (safe[at] == '\n') {
      if (!lines) std::abort();
      ++at;
      continue;
    }
    const size_t length = PrintableLength(safe, at);
    if (length == 0) std::abort();  // a control, C1, override or broken sequence got through
    at += length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string oneLine = SafeText(text);
  const std::string lines = SafeText(text, true);
  Check(oneLine, false);
  Check(lines, true);
  // Printable text passes unchanged.
  if (SafeText(oneLine) != oneLine || SafeText(lines, true) != lines) std::abort();
  for (size_t at = 0; at < text.size(); ++at) {
    if (PrintableLength(text, at) > 4) std::abort();
  }
  return 0;
}
