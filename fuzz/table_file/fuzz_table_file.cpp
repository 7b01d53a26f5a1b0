// Any bytes as a conversion table file: read by its rows, written back and
// read again, the live rows come back as they were (characters the code page
// lacks travel as "%uXXXX"); each row's item state reads back as written.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "addin/sync/conversion_table.h"
#include "addin/sync/item_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> rows = qvsync::ConversionTableRows(bytes, "fuzz");
  qvsync::ConversionTable table(rows);
  const std::vector<std::string> again = qvsync::ConversionTableRows(qvsync::ConversionTableText(table), "fuzz");
  std::vector<std::string> live;
  for (const std::string& row : rows)
    if (!qvsync::ConversionTable::IsDeleted(row)) live.push_back(row);
  if (again != live) __builtin_trap();
  for (const std::string& row : live) {
    const qvsync::ItemState state = qvsync::ParseItemState(qvsync::ConversionTable::Field(row, 4));
    const qvsync::ItemState back = qvsync::ParseItemState(qvsync::FormatItemState(state));
    if (back.kind != state.kind || back.local != state.local || back.utc != state.utc ||
        back.refusals != state.refusals)
      __builtin_trap();
  }
  return 0;
}
