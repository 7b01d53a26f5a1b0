// The item ID conversion table (modItemIDConversion): one per
// synchronised Outlook folder and account, rows of "EntryID<TAB>UID<TAB>
// ModifiedDate" kept in a file "ic_<folder>.tab" under the account folder.
// A fourth field, which readers of three fields pass over, keeps what the
// engine knows of the Outlook item's own changes (see item_state.h).
//
// The table is an ordered list of row texts; lookups return what a scan from
// the first row would find (first match wins, exact and case-sensitive), but
// through indexes, so a lookup costs O(1) on average whatever the table's size.
// A deleted row is blanked, not removed: to one TAB (by EntryID) or two TABs
// (by UID). A row that is empty or starts with TAB is deleted: its fields read
// as empty and it is never written to the file.
//
// Every change of a row (append, blank, rewrite) goes through one private
// place (ConversionTable::ChangeRow), which also tells the row-change observer.
//
// Nothing here throws (except std::bad_alloc) or reports a failure to the
// caller; everything runs on the host's user-interface thread.
#ifndef QVSYNC_SYNC_CONVERSION_TABLE_H
#define QVSYNC_SYNC_CONVERSION_TABLE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/outlook/outlook.h"

namespace qvsync {

// The process-wide ConversionTableDirty flag: set by every operation that
// adds, blanks or rewrites a row; cleared by a load and by a completed save.
extern bool ConversionTableDirty;

class ConversionTable {
 public:
  ConversionTable() = default;
  // A table over the given rows (also usable for the server's item list of
  // "UID<TAB>MODIFIEDDATE" rows, whose first field is then the UID).
  explicit ConversionTable(std::vector<std::string> rows);

  // The rows, in order (deleted rows included).
  const std::vector<std::string>& rows() const { return rows_; }
  size_t size() const { return rows_.size(); }
  bool empty() const { return rows_.empty(); }
  // Replaces every row (indexes rebuilt; the dirty flag is not touched).
  void Assign(std::vector<std::string> rows);
  void Clear() { Assign({}); }

  // The n-th TAB-separated field (1-based) of a row; empty for a deleted row.
  static std::string_view Field(std::string_view row, int n);
  // Whether a row counts as deleted (empty or starting with TAB).
  static bool IsDeleted(std::string_view row) { return row.empty() || row.front() == '\t'; }

  // --- Operations on the rows ---

  // Appends "EntryID<TAB>UID<TAB>ModifiedDate"; sets the flag; true.
  bool AddItemIdConversion(std::string_view uid, std::string_view entryId,
                           std::string_view modifiedDate);
  // Blanks the first row whose first field equals `key` to one TAB.
  bool RemoveItemIdConversionByEntryID(std::string_view key);
  // Blanks the first row whose second field equals `uid` to two TABs.
  bool RemoveItemIdConversionByUID(std::string_view uid);
  // Rewrites the first row whose first field equals `entryId` with the new
  // ModifiedDate as third field.
  bool UpdateItemIdConversionDate(std::string_view entryId, std::string_view modifiedDate);
  // Second field of the first row whose first field equals `entryId`, or "".
  std::string GetUIDFromEntryID(std::string_view entryId) const;
  // First field of the first row whose second field equals `uid`, or "".
  std::string GetEntryIDFromUID(std::string_view uid) const;
  // Second field of the first row whose first field is not empty and occurs
  // inside `key` (plain case-sensitive substring), or "".
  std::string GetUIDFromEmbeddedEntryID(std::string_view key) const;
  // Third field of the first row whose first field equals `entryId`, or "".
  std::string GetModifiedDateFromEntryID(std::string_view entryId) const;
  // Fourth field (the Outlook item's state) of that row, or "".
  std::string GetItemStateFromEntryID(std::string_view entryId) const;
  // Appends "EntryID<TAB>UID<TAB>ModifiedDate<TAB>state"; sets the flag.
  bool AddItemIdConversion(std::string_view uid, std::string_view entryId, std::string_view modifiedDate,
                           std::string_view itemState);
  // Rewrites the first row whose first field equals `entryId` with its EntryID
  // and UID, `modifiedDate` as third field (the old one when empty) and
  // `itemState` as fourth. False when no row has the EntryID.
  bool RecordItemState(std::string_view entryId, std::string_view modifiedDate, std::string_view itemState);
  // Index of the first row whose first (second) field equals the key, or -1.
  long FindByEntryID(std::string_view entryId) const;
  long FindByUID(std::string_view uid) const;

  // Replaces row `index` with `row` (any text; the dirty flag is set). For the
  // batch-mode recovery and others that rewrite rows.
  void SetRow(size_t index, std::string row);
  // Appends any row text; sets the flag.
  void AppendRow(std::string row);
  // Replaces row `index` without telling anyone: neither the dirty flag nor
  // the observer learns of it. For what may be learnt again at any time (the
  // server's stamp of a row that had none), which by itself is no reason to
  // write the table or to take the next run for an interrupted one.
  void SetRowQuietly(size_t index, std::string row);

  // Called after every change of a row with its index and new text (for a
  // journal of row changes). Not called by Assign or a load. It returns false
  // when it could not keep the change, which RowChangesLost then reports.
  using RowObserver = std::function<bool(size_t index, const std::string& row)>;
  void SetRowObserver(RowObserver observer) { observer_ = std::move(observer); }
  // Whether a row change since the last load could not be kept by the observer.
  bool RowChangesLost() const { return rowChangesLost_; }

 private:
  // The one place that changes a row: keeps the indexes true, sets the flag.
  void ChangeRow(size_t index, std::string row);
  void RebuildIndexes();

  // An index of one field: an open-addressing table from the field's hash (32
  // bits of it) to the chain of live rows whose field has that hash, in
  // ascending row order (so the chain's first row whose field equals the key
  // is the first match; rows of another key with the same hash are passed over).
  class FieldIndex {
   public:
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    void Clear(size_t rows);
    void Insert(uint32_t row, uint32_t hash);
    void Remove(uint32_t row, uint32_t hash);
    uint32_t Head(uint32_t hash) const;
    uint32_t Next(uint32_t row) const { return next_[row]; }

   private:
    struct Slot {
      uint32_t hash = 0;
      uint32_t head = kNone;  // kNone: free; kTombstone: was used
    };
    static constexpr uint32_t kTombstone = 0xFFFFFFFE;
    size_t Probe(uint32_t hash) const;  // the slot holding `hash`, or the free one ending the probe
    void Grow();
    std::vector<Slot> slots_;
    std::vector<uint32_t> next_, prev_;  // per row: its neighbours in its chain
    std::vector<uint32_t> tail_;         // per row heading a chain: the chain's last row
    size_t used_ = 0;                    // slots live or tombstones
  };
  void IndexRow(size_t index, bool add);
  long Find(const FieldIndex& index, int field, std::string_view key) const;
  // The plain scan for an empty key (deleted rows have empty fields).
  long ScanEmpty(int field) const;

  std::vector<std::string> rows_;
  FieldIndex byEntryId_;              // non-empty first fields
  FieldIndex byUid_;                  // non-empty second fields
  std::map<size_t, size_t> lengths_;  // lengths of indexed EntryIDs, with counts
  RowObserver observer_;
  bool rowChangesLost_ = false;
};

// --- The table file ---

// The account directory: the data directory, "/" unless it ends with "/" or
// "\", "<user>@<host>"; created with every missing level (failure ignored).
// The host is taken as NormalizedHost gives it, and a folder the data
// directory already holds for the same account under another spelling of the
// host (other letter case, the default port written out) is the one used.
// Empty (and nothing created) when no data directory is configured, or when
// "<user>@<host>" cannot name one folder (see IsUsableAccountFolderName).
std::string AccountDirectory();
// When this account has no records yet (its folder is missing or holds no
// table) but the data directory holds the records of the same user name on
// another server name: that folder's name (the first, in name order). Such
// a run would add everything again, if both names are one server. "" else.
std::string OtherRecordsOfThisUser();
// Whether "<user>@<host>" names exactly one folder inside the data directory,
// on Windows as well as here: no path separator, no wildcard, quote, angle
// bracket or bar, no control character (a colon stays: it separates the
// host's port). A user name such as "../x" would otherwise put the account's
// tables and batch files (and what Reset deletes) outside the data directory.
bool IsUsableAccountFolderName(std::string_view username, std::string_view host);
// The table's file: the account directory, "/ic_", the folder name and ".tab";
// empty when there is no account directory.
std::string GetConversionTablePath(std::string_view folderName);
// The batch file of a message class ("TASK", "APPOINTMENT", "CONTACT"): the
// account directory, "/_batch_", the class and ".TAB"; empty when there is no
// account directory. The engine's batch mode and the configuration's Reset
// both name it through this.
std::string BatchFilePath(std::string_view messageClass);
// The file's last-modified time in local time; 1970-01-01 00:00 when there is
// no readable file.
qv::outlook::Date GetLastSyncTime(std::string_view folderName);
// Loads the folder's table into `table` (rows it holds beyond the file's are
// kept); clears the dirty flag. Then folds in the changes an interrupted run
// left in the table's journal (setting the flag when there were any) and
// journals every later row change of `table` (see table_journal.h).
void GetUIDToEntryIDMappings(ConversionTable& table, std::string_view folderName);
// Writes the table when the dirty flag is set or `force`: to a temporary file
// in the same folder, renamed over the old file. On failure the old file, its
// time and the flag stay; on success the flag is cleared and
// "Finished Syncronization at <now>" is logged, and the table's journal is
// removed. True when written.
bool SaveUIDToEntryIDMappings(const ConversionTable& table, std::string_view folderName,
                              bool force);

// The table file's text for `table`, and the rows of a table file's text:
// lines in the system code page, characters it cannot carry and control
// characters (but TAB) as "%u" and four hexadecimal digits (and a "%" that
// would read as one as "%u0025").
// Every row line is read, whatever the count line says (a disagreement is
// logged).
std::string ConversionTableText(const ConversionTable& table);
std::vector<std::string> ConversionTableRows(std::string_view bytes, const std::string& path);

// Whether the file at `path` is there but is no table: not empty, and its
// first line is no row count (it was damaged outside the add-in, which
// replaces its tables whole).
bool IsDamagedTableFile(const std::string& path);

// The same load and save on an explicit path.
void LoadConversionTableFile(ConversionTable& table, const std::string& path);
bool SaveConversionTableFile(const ConversionTable& table, const std::string& path, bool force);

// Tests: makes every table write fail once `bytes` bytes have been written
// (as a full disk does); a negative value restores normal writes.
void SetConversionTableWriteLimitForTesting(long bytes);
// Tests: the hash the indexes use (nullptr: the standard one). A weak hash
// makes rows of different keys share chains. Set it only while no table exists.
void SetConversionTableHashForTesting(uint32_t (*hash)(std::string_view));

}  // namespace qvsync

#endif
