#include "addin/sync/table_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include "addin/log/activity_log.h"
#include "addin/sync/conversion_table.h"
#include "addin/sync/record_files.h"
#include "platform/files/files.h"

namespace qvsync {

namespace {

constexpr std::string_view kMagic = "QVSYNC-JOURNAL 1 ";
// No row of a table comes near this; a larger count is damage.
constexpr size_t kMaxRowBytes = 1 << 20;
constexpr size_t kMaxIndex = 100000000;

// Reads decimal digits at `pos` up to `stop`; false on anything else.
bool ReadNumber(std::string_view text, size_t& pos, char stop, size_t limit, size_t& value) {
  const size_t start = pos;
  value = 0;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + static_cast<size_t>(text[pos] - '0');
    if (value > limit) return false;
    ++pos;
  }
  if (pos == start || pos >= text.size() || text[pos] != stop) return false;
  ++pos;
  return true;
}

// Tests only: QVSYNC_TESTING_KILL_AFTER_ROW_CHANGES=N ends the process with
// SIGKILL right after the Nth journaled row change, as a crash at that point
// would; QVSYNC_TESTING_KILL_BEFORE_ROW_CHANGES=N right before it (after
// whatever the run did on either side since the change before). Never set
// outside the crash tests.
long TestingCount(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atol(value) : 0L;
}
struct KillSwitch {
  long after = TestingCount("QVSYNC_TESTING_KILL_AFTER_ROW_CHANGES");
  long before = TestingCount("QVSYNC_TESTING_KILL_BEFORE_ROW_CHANGES");
  long written = 0;  // row changes journaled so far
};
KillSwitch& Kill() {
  static KillSwitch kill;
  return kill;
}

// The open journal of one table file.
class Journal {
 public:
  Journal(std::string path, std::string tablePath) : path_(std::move(path)), tablePath_(std::move(tablePath)) {}
  ~Journal() { Close(); }
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  // Appends one record; the header first when the file is new. False when
  // the record could not be written (the change is then not crash-safe, and
  // the run that made it must stop before it relies on it).
  bool Write(size_t index, const std::string& row) {
    if (failed_) return false;
    if (translate_) index = FileIndex(index);
    if (fd_ < 0) {
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
      if (fd_ < 0) return Failed();
      struct stat info {};
      if (::fstat(fd_, &info) == 0 && info.st_size == 0) {
        std::string header(kMagic);
        header += JournalBaseOf(tablePath_);
        header += '\n';
        if (!records::WriteAll(fd_, header)) {
          ::ftruncate(fd_, 0);
          Close();
          return Failed();
        }
      }
    }
    KillSwitch& kill = Kill();
    if (kill.before > 0 && kill.written + 1 == kill.before) std::raise(SIGKILL);
    std::string record = std::to_string(index) + ' ' + std::to_string(row.size()) + '\n';
    record += row;
    record += '\n';
    if (!records::WriteAll(fd_, record)) {
      // A record cut short would end the journal there: whatever follows it
      // could never be read back, so nothing more is written to this file.
      Close();
      return Failed();
    }
    ++kill.written;
    if (kill.after > 0 && kill.written == kill.after) std::raise(SIGKILL);
    return true;
  }

  // After a save of `table`: the next record starts a new journal file, whose
  // row numbers are those of the saved file (which left out the deleted rows).
  void Restart(const ConversionTable& table) {
    Close();
    failed_ = false;
    std::remove(path_.c_str());
    translate_ = true;
    map_.assign(table.size(), kNoRow);
    fileRows_ = 0;
    for (size_t i = 0; i < table.size(); ++i)
      if (!ConversionTable::IsDeleted(table.rows()[i])) map_[i] = fileRows_++;
  }

  // The table is read back from the files: row numbers are the file's again.
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    translate_ = false;
    map_.clear();
  }

  // Writes may be tried again (the journal's file was read back or replaced).
  void Reset() { failed_ = false; }

 private:
  static constexpr size_t kNoRow = static_cast<size_t>(-1);
  // The file row of a table row; a row the file does not have (an append, or
  // a deleted row written again) becomes the file's next row.
  size_t FileIndex(size_t index) {
    if (index >= map_.size()) map_.resize(index + 1, kNoRow);
    if (map_[index] == kNoRow) map_[index] = fileRows_++;
    return map_[index];
  }

  std::string path_;
  std::string tablePath_;
  bool translate_ = false;
  std::vector<size_t> map_;
  size_t fileRows_ = 0;

  bool Failed() {
    if (!failed_) LogMessage("Error: The journal " + path_ + " cannot be written.");
    failed_ = true;
    return false;
  }

  int fd_ = -1;
  bool failed_ = false;
};

// The journals of the tables loaded in this process, by journal path (one
// per folder and account; a reload of a table shares its journal).
std::map<std::string, std::weak_ptr<Journal>>& Journals() {
  static std::map<std::string, std::weak_ptr<Journal>> journals;
  return journals;
}

}  // namespace

bool ReadTableJournal(std::string_view text, JournalContents& contents) {
  contents = JournalContents{};
  if (text.substr(0, kMagic.size()) != kMagic) return false;
  const size_t end = text.find('\n');
  if (end == std::string_view::npos) return false;
  contents.base = std::string(text.substr(kMagic.size(), end - kMagic.size()));
  size_t pos = end + 1;
  contents.validLength = pos;
  while (pos < text.size()) {
    size_t index = 0, length = 0;
    size_t at = pos;
    if (!ReadNumber(text, at, ' ', kMaxIndex, index)) break;
    if (!ReadNumber(text, at, '\n', kMaxRowBytes, length)) break;
    if (text.size() - at < length + 1 || text[at + length] != '\n') break;
    pos = at + length + 1;
    contents.records.push_back(JournalRecord{index, std::string(text.substr(at, length)), pos});
    contents.validLength = pos;
  }
  return true;
}

size_t FoldTableJournal(ConversionTable& table, const JournalContents& contents, size_t& keep) {
  size_t folded = 0;
  keep = contents.validLength;
  for (const JournalRecord& record : contents.records) {
    if (record.index < table.size()) {
      table.SetRow(record.index, record.row);
    } else if (record.index == table.size()) {
      table.AppendRow(record.row);
    } else {
      // Damage: neither this record nor what follows belongs to this table.
      keep = folded == 0 ? kMagic.size() + contents.base.size() + 1 : contents.records[folded - 1].end;
      break;
    }
    ++folded;
  }
  return folded;
}

std::string JournalBaseOf(const std::string& tablePath) {
  const std::string identity = qv::files::FileIdentity(tablePath);
  return identity.empty() ? "none" : identity;
}

std::string TableJournalPath(std::string_view folderName) {
  std::string path = AccountDirectory();
  if (path.empty()) return path;
  path += "/_journal_";
  path.append(folderName);
  path += ".jnl";
  return path;
}

size_t AttachTableJournal(ConversionTable& table, std::string_view folderName, const std::string& tablePath) {
  const std::string path = TableJournalPath(folderName);
  if (path.empty() || tablePath.empty()) return 0;
  std::shared_ptr<Journal> journal = Journals()[path].lock();
  if (!journal) {
    journal = std::make_shared<Journal>(path, tablePath);
    Journals()[path] = journal;
  }
  // The table is being loaded afresh: the journal is read back from its file.
  journal->Close();
  journal->Reset();
  table.SetRowObserver(nullptr);

  size_t folded = 0;
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    std::fclose(file);
    JournalContents contents;
    if (ReadTableJournal(text, contents) && contents.base == JournalBaseOf(tablePath)) {
      size_t kept = 0;
      folded = FoldTableJournal(table, contents, kept);
      contents.validLength = kept;
      // What a crash cut short goes, so the next record follows a whole one.
      if (contents.validLength < text.size()) ::truncate(path.c_str(), static_cast<off_t>(contents.validLength));
      if (folded > 0) {
        ConversionTableDirty = true;
        LogMessage("Recovered " + std::to_string(folded) +
                   " changes of the item ID table from an interrupted synchronization.");
      }
    } else {
      // Stale (the table was saved since) or not a journal.
      std::remove(path.c_str());
    }
  }
  table.SetRowObserver([journal](size_t index, const std::string& row) { return journal->Write(index, row); });
  return folded;
}

void SetKillAtRowChangeForTesting(long after, long before) {
  Kill() = KillSwitch{after, before, 0};
}

void RestartTableJournal(std::string_view folderName, const ConversionTable& table) {
  const std::string path = TableJournalPath(folderName);
  if (path.empty()) return;
  auto found = Journals().find(path);
  if (found != Journals().end()) {
    if (std::shared_ptr<Journal> journal = found->second.lock()) {
      journal->Restart(table);
      return;
    }
  }
  std::remove(path.c_str());
}

}  // namespace qvsync
