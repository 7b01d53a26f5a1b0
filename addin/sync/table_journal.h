// The journal of a conversion table: every row change of a loaded table is
// appended to a file beside it ("_journal_<folder>.jnl" in the account
// directory) and written through at once, so a run that dies before its
// end-of-run save leaves what it did behind. The next load of the table folds
// the journal in; a completed save of the table makes it unnecessary and
// removes it. The table file itself is not touched, so its time (the last
// sync time) only moves with a completed save.
//
// The file: a header line naming the table file the changes apply to, then
// one record per change:
//
//   "QVSYNC-JOURNAL 1 " <base> LF
//   <row index> SP <byte count> LF <row bytes> LF      (repeated)
//
// <base> is "none" when there was no table file, else "<device> <inode>
// <size> <mtime seconds> <mtime nanoseconds>" of the table file. A journal
// whose base is not the table file as it is now (a save replaced it since) is
// stale and thrown away. A record cut short by a crash ends the journal.
#ifndef QVSYNC_SYNC_TABLE_JOURNAL_H
#define QVSYNC_SYNC_TABLE_JOURNAL_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qvsync {

class ConversionTable;

struct JournalRecord {
  size_t index = 0;
  std::string row;
  size_t end = 0;  // the byte after the record
};

struct JournalContents {
  std::string base;                    // the header's <base>
  std::vector<JournalRecord> records;  // the complete records, in order
  size_t validLength = 0;              // bytes up to the end of the last complete record
};

// Reads a journal (any bytes). False when the text does not start with a
// complete header; otherwise the records up to the first incomplete or
// malformed one.
bool ReadTableJournal(std::string_view text, JournalContents& contents);

// Applies the records of a journal to `table` in order (a record's index is
// that of a row, or the table's size for an append); stops at a record whose
// index lies beyond the end. Returns how many were applied; `keep` is the
// byte length of the journal up to the last record applied.
size_t FoldTableJournal(ConversionTable& table, const JournalContents& contents, size_t& keep);

// The header's <base> for a table file as it is now.
std::string JournalBaseOf(const std::string& tablePath);

// The journal file of a folder's table; empty when there is no account
// directory.
std::string TableJournalPath(std::string_view folderName);

// Folds the folder's journal into `table` (just loaded from `tablePath`; a
// stale or unreadable journal is removed) and journals every later row
// change of `table`. Sets ConversionTableDirty when anything was folded in;
// returns the number of changes folded in.
size_t AttachTableJournal(ConversionTable& table, std::string_view folderName,
                          const std::string& tablePath);

// After a completed save of the folder's `table`: the journal is removed; the
// next change of `table` starts a new one against the saved file.
void RestartTableJournal(std::string_view folderName, const ConversionTable& table);

// Tests: the process ends with SIGKILL right after its `after`-th journaled
// row change from now, or right before its `before`-th (0: never), as a crash
// at that point would. The environment variables
// QVSYNC_TESTING_KILL_AFTER_ROW_CHANGES and QVSYNC_TESTING_KILL_BEFORE_ROW_CHANGES
// set the same for a whole process.
void SetKillAtRowChangeForTesting(long after, long before);

}  // namespace qvsync

#endif
