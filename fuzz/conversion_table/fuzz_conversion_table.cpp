// Random tables and keys through the indexed lookups, compared with a plain
// first-match scan; the input is a little program of table operations.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "addin/sync/conversion_table.h"

namespace {

using qvsync::ConversionTable;

std::string Scan(const std::vector<std::string>& rows, int keyField, std::string_view key,
                 int resultField, bool embedded) {
  for (const std::string& row : rows) {
    const std::string_view field = ConversionTable::Field(row, keyField);
    const bool match =
        embedded ? !field.empty() && key.find(field) != std::string_view::npos : field == key;
    if (match) return std::string(ConversionTable::Field(row, resultField));
  }
  return "";
}

// Pieces of the input: a small alphabet makes collisions and substrings likely.
struct Reader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;
  bool more() const { return pos < size; }
  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  std::string text() {
    const size_t length = byte() % 6;
    std::string out;
    for (size_t i = 0; i < length; ++i) {
      const uint8_t b = byte();
      out += b % 7 == 0 ? '\t' : static_cast<char>('A' + b % 5);
    }
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, size};
  // Half the runs with a hash that makes most keys collide.
  qvsync::SetConversionTableHashForTesting(
      size > 0 && data[0] & 1
          ? +[](std::string_view k) { return static_cast<uint32_t>(k.size() & 1); }
          : nullptr);
  ConversionTable table;
  std::vector<std::string> rows;  // kept alongside, changed the plain way
  while (in.more()) {
    const uint8_t op = in.byte() % 8;
    const std::string a = in.text(), b = in.text();
    switch (op) {
      case 0:
        table.AddItemIdConversion(a, b, "1");
        rows.push_back(b + "\t" + a + "\t1");
        break;
      case 1: {
        const bool removed = table.RemoveItemIdConversionByEntryID(a);
        bool expected = false;
        for (auto& row : rows)
          if (ConversionTable::Field(row, 1) == a) {
            row = "\t";
            expected = true;
            break;
          }
        if (removed != expected) __builtin_trap();
        break;
      }
      case 2: {
        const bool removed = table.RemoveItemIdConversionByUID(a);
        bool expected = false;
        for (auto& row : rows)
          if (ConversionTable::Field(row, 2) == a) {
            row = "\t\t";
            expected = true;
            break;
          }
        if (removed != expected) __builtin_trap();
        break;
      }
      case 3:
        if (!rows.empty()) {
          const size_t i = in.byte() % rows.size();
          table.SetRow(i, a + b);
          rows[i] = a + b;
        }
        break;
      case 4:
        table.UpdateItemIdConversionDate(a, b);
        for (auto& row : rows)
          if (ConversionTable::Field(row, 1) == a) {
            row = std::string(ConversionTable::Field(row, 1)) + "\t" +
                  std::string(ConversionTable::Field(row, 2)) + "\t" + b;
            break;
          }
        break;
      default:
        break;
    }
    if (table.rows() != rows) __builtin_trap();
    const std::string key = a + b + a;
    if (table.GetUIDFromEntryID(a) != Scan(rows, 1, a, 2, false)) __builtin_trap();
    if (table.GetEntryIDFromUID(a) != Scan(rows, 2, a, 1, false)) __builtin_trap();
    if (table.GetUIDFromEmbeddedEntryID(key) != Scan(rows, 1, key, 2, true)) __builtin_trap();
  }
  ConversionTable rebuilt(rows);
  for (const std::string& row : rows) {
    const std::string_view k = ConversionTable::Field(row, 1);
    if (rebuilt.GetUIDFromEntryID(k) != table.GetUIDFromEntryID(k)) __builtin_trap();
  }
  return 0;
}
