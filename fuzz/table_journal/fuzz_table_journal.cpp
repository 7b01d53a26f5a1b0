// The reader of a conversion table's journal and its folding into a table.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "addin/sync/conversion_table.h"
#include "addin/sync/table_journal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qvsync::JournalContents contents;
  if (!qvsync::ReadTableJournal(text, contents)) return 0;
  if (contents.validLength > text.size()) __builtin_trap();
  size_t previous = 0;
  for (const qvsync::JournalRecord& record : contents.records) {
    if (record.end <= previous || record.end > contents.validLength) __builtin_trap();
    previous = record.end;
  }
  // Reading the valid part again gives the same records.
  qvsync::JournalContents again;
  if (!qvsync::ReadTableJournal(text.substr(0, contents.validLength), again) ||
      again.records.size() != contents.records.size())
    __builtin_trap();
  qvsync::ConversionTable table({"A\t1.VCF\t5", "B\t2.VCF\t6"});
  size_t keep = 0;
  const size_t folded = qvsync::FoldTableJournal(table, contents, keep);
  if (folded > contents.records.size() || keep > contents.validLength) __builtin_trap();
  if (table.size() > 2 + folded) __builtin_trap();
  // The indexes stay true to the rows.
  for (size_t i = 0; i < table.size(); ++i) {
    const std::string entryId(qvsync::ConversionTable::Field(table.rows()[i], 1));
    if (!entryId.empty() && table.FindByEntryID(entryId) > static_cast<long>(i)) __builtin_trap();
  }
  return 0;
}
