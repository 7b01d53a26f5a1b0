#include "addin/sync/conversion_table.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <ctime>
#include <random>

#include "addin/config/sync_config.h"
#include "addin/log/activity_log.h"
#include "addin/sync/table_journal.h"
#include "platform/codepage/codepage.h"

namespace qvsync {

bool ConversionTableDirty = false;

namespace {

long writeLimit = -1;  // bytes a table write may write before failing; -1 no limit

uint32_t (*testingHash)(std::string_view) = nullptr;

uint32_t HashOf(std::string_view key) {
  if (testingHash) return testingHash(key);
  return static_cast<uint32_t>(std::hash<std::string_view>{}(key));
}

// The general date format of the activity log's messages.
std::string GeneralDateNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return "";
  char buf[32];
  const size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &local);
  return std::string(buf, n);
}

// The integer value of the count line: leading blanks, an optional sign,
// digits; anything else gives 0 (as Val() of the line would, to the digits).
long CountOf(std::string_view line) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  bool negative = false;
  if (i < line.size() && (line[i] == '-' || line[i] == '+')) negative = line[i++] == '-';
  long value = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    value = value * 10 + (line[i] - '0');
    if (value > 100000000) return 0;  // no sensible table is that long
  }
  return negative ? -value : value;
}

bool WriteAll(std::FILE* file, const std::string& bytes) {
  if (writeLimit >= 0 && static_cast<long>(bytes.size()) > writeLimit) {
    std::fwrite(bytes.data(), 1, static_cast<size_t>(writeLimit), file);
    errno = ENOSPC;
    return false;
  }
  return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

}  // namespace

// ---------------------------------------------------------------------------
// Rows and indexes

ConversionTable::ConversionTable(std::vector<std::string> rows) { Assign(std::move(rows)); }

void ConversionTable::Assign(std::vector<std::string> rows) {
  rows_ = std::move(rows);
  RebuildIndexes();
}

std::string_view ConversionTable::Field(std::string_view row, int n) {
  if (IsDeleted(row) || n < 1) return {};
  size_t start = 0;
  for (int i = 1; i < n; ++i) {
    const size_t tab = row.find('\t', start);
    if (tab == std::string_view::npos) return {};
    start = tab + 1;
  }
  const size_t end = row.find('\t', start);
  return row.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
}

void ConversionTable::FieldIndex::Clear(size_t rows) {
  size_t capacity = 16;
  while (capacity < rows * 2) capacity *= 2;
  slots_.assign(capacity, Slot{});
  next_.assign(rows, kNone);
  prev_.assign(rows, kNone);
  tail_.assign(rows, kNone);
  used_ = 0;
}

size_t ConversionTable::FieldIndex::Probe(uint32_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask;; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.head == kNone || (slot.head != kTombstone && slot.hash == hash)) return i;
  }
}

void ConversionTable::FieldIndex::Grow() {
  std::vector<Slot> old = std::move(slots_);
  size_t live = 0;
  for (const Slot& slot : old) live += slot.head != kNone && slot.head != kTombstone;
  size_t capacity = 16;
  while (capacity < (live + 1) * 4) capacity *= 2;
  slots_.assign(capacity, Slot{});
  used_ = 0;
  for (const Slot& slot : old) {
    if (slot.head == kNone || slot.head == kTombstone) continue;
    slots_[Probe(slot.hash)] = slot;
    ++used_;
  }
}

void ConversionTable::FieldIndex::Insert(uint32_t row, uint32_t hash) {
  if (row >= next_.size()) {
    const size_t size = std::max<size_t>(row + 1, next_.size() * 2);
    next_.resize(size, kNone);
    prev_.resize(size, kNone);
    tail_.resize(size, kNone);
  }
  if (slots_.empty() || (used_ + 1) * 2 > slots_.size()) Grow();
  Slot& slot = slots_[Probe(hash)];
  next_[row] = prev_[row] = kNone;
  if (slot.head == kNone) {
    slot = Slot{hash, row};
    tail_[row] = row;
    ++used_;
    return;
  }
  const uint32_t head = slot.head;
  if (row > tail_[head]) {  // appends: the common case
    next_[tail_[head]] = row;
    prev_[row] = tail_[head];
    tail_[head] = row;
    return;
  }
  if (row < head) {  // a new first row
    next_[row] = head;
    prev_[head] = row;
    tail_[row] = tail_[head];
    slot.head = row;
    return;
  }
  uint32_t after = head;  // the last row of the chain below `row`
  while (next_[after] != kNone && next_[after] < row) after = next_[after];
  next_[row] = next_[after];
  prev_[row] = after;
  prev_[next_[after]] = row;  // not the tail: row < tail
  next_[after] = row;
}

void ConversionTable::FieldIndex::Remove(uint32_t row, uint32_t hash) {
  if (slots_.empty()) return;
  Slot& slot = slots_[Probe(hash)];
  if (slot.head == kNone) return;
  const uint32_t before = prev_[row], after = next_[row];
  const uint32_t tail = tail_[slot.head];
  if (before != kNone) next_[before] = after;
  if (after != kNone) prev_[after] = before;
  next_[row] = prev_[row] = kNone;
  if (slot.head == row) {
    slot.head = after == kNone ? kTombstone : after;  // a tombstone keeps later probes going
    if (after != kNone) tail_[after] = tail;
  } else if (tail == row) {
    tail_[slot.head] = before;
  }
}

uint32_t ConversionTable::FieldIndex::Head(uint32_t hash) const {
  if (slots_.empty()) return kNone;
  const Slot& slot = slots_[Probe(hash)];
  return slot.head == kTombstone ? kNone : slot.head;
}

void ConversionTable::IndexRow(size_t index, bool add) {
  const std::string& row = rows_[index];
  const std::string_view entryId = Field(row, 1);
  const std::string_view uid = Field(row, 2);
  const uint32_t i = static_cast<uint32_t>(index);
  if (!entryId.empty()) {
    if (add) {
      byEntryId_.Insert(i, HashOf(entryId));
      ++lengths_[entryId.size()];
    } else {
      byEntryId_.Remove(i, HashOf(entryId));
      auto it = lengths_.find(entryId.size());
      if (it != lengths_.end() && --it->second == 0) lengths_.erase(it);
    }
  }
  if (!uid.empty()) {
    if (add)
      byUid_.Insert(i, HashOf(uid));
    else
      byUid_.Remove(i, HashOf(uid));
  }
}

void ConversionTable::RebuildIndexes() {
  byEntryId_.Clear(rows_.size());
  byUid_.Clear(rows_.size());
  lengths_.clear();
  for (size_t i = 0; i < rows_.size(); ++i) IndexRow(i, true);
}

long ConversionTable::Find(const FieldIndex& index, int field, std::string_view key) const {
  for (uint32_t r = index.Head(HashOf(key)); r != FieldIndex::kNone; r = index.Next(r))
    if (Field(rows_[r], field) == key) return static_cast<long>(r);
  return -1;
}

void ConversionTable::ChangeRow(size_t index, std::string row) {
  if (index >= rows_.size()) rows_.resize(index + 1);
  IndexRow(index, false);
  rows_[index] = std::move(row);
  IndexRow(index, true);
  ConversionTableDirty = true;
  if (observer_) observer_(index, rows_[index]);
}

void ConversionTable::SetRow(size_t index, std::string row) { ChangeRow(index, std::move(row)); }

void ConversionTable::AppendRow(std::string row) { ChangeRow(rows_.size(), std::move(row)); }

long ConversionTable::ScanEmpty(int field) const {
  for (size_t i = 0; i < rows_.size(); ++i)
    if (Field(rows_[i], field).empty()) return static_cast<long>(i);
  return -1;
}

long ConversionTable::FindByEntryID(std::string_view entryId) const {
  return entryId.empty() ? ScanEmpty(1) : Find(byEntryId_, 1, entryId);
}

long ConversionTable::FindByUID(std::string_view uid) const {
  return uid.empty() ? ScanEmpty(2) : Find(byUid_, 2, uid);
}

bool ConversionTable::AddItemIdConversion(std::string_view uid, std::string_view entryId,
                                          std::string_view modifiedDate) {
  std::string row;
  row.reserve(entryId.size() + uid.size() + modifiedDate.size() + 2);
  row.append(entryId).append(1, '\t').append(uid).append(1, '\t').append(modifiedDate);
  AppendRow(std::move(row));
  return true;
}

bool ConversionTable::RemoveItemIdConversionByEntryID(std::string_view key) {
  const long i = FindByEntryID(key);
  if (i < 0) return false;
  ChangeRow(static_cast<size_t>(i), "\t");
  return true;
}

bool ConversionTable::RemoveItemIdConversionByUID(std::string_view uid) {
  const long i = FindByUID(uid);
  if (i < 0) return false;
  ChangeRow(static_cast<size_t>(i), "\t\t");
  return true;
}

bool ConversionTable::UpdateItemIdConversionDate(std::string_view entryId,
                                                 std::string_view modifiedDate) {
  const long i = FindByEntryID(entryId);
  if (i < 0) return false;
  const std::string& old = rows_[static_cast<size_t>(i)];
  std::string row;
  row.append(Field(old, 1))
      .append(1, '\t')
      .append(Field(old, 2))
      .append(1, '\t')
      .append(modifiedDate);
  ChangeRow(static_cast<size_t>(i), std::move(row));
  return true;
}

std::string ConversionTable::GetUIDFromEntryID(std::string_view entryId) const {
  const long i = FindByEntryID(entryId);
  return i < 0 ? std::string() : std::string(Field(rows_[static_cast<size_t>(i)], 2));
}

std::string ConversionTable::GetEntryIDFromUID(std::string_view uid) const {
  const long i = FindByUID(uid);
  return i < 0 ? std::string() : std::string(Field(rows_[static_cast<size_t>(i)], 1));
}

std::string ConversionTable::GetModifiedDateFromEntryID(std::string_view entryId) const {
  const long i = FindByEntryID(entryId);
  return i < 0 ? std::string() : std::string(Field(rows_[static_cast<size_t>(i)], 3));
}

// Every substring of the key whose length is the length of some stored
// EntryID is looked up; the lowest row found wins. EntryIDs have a fixed shape,
// so there are one or two lengths and the cost is a few dozen hash lookups,
// whatever the number of rows.
std::string ConversionTable::GetUIDFromEmbeddedEntryID(std::string_view key) const {
  long best = -1;
  for (const auto& [length, count] : lengths_) {
    if (length > key.size()) break;
    for (size_t pos = 0; pos + length <= key.size(); ++pos) {
      const long i = Find(byEntryId_, 1, key.substr(pos, length));
      if (i >= 0 && (best < 0 || i < best)) best = i;
    }
  }
  return best < 0 ? std::string() : std::string(Field(rows_[static_cast<size_t>(best)], 2));
}

// ---------------------------------------------------------------------------
// The file

bool IsUsableAccountFolderName(std::string_view username, std::string_view host) {
  for (std::string_view part : {username, host}) {
    for (char c : part) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
      if (std::string_view("/\\*?\"<>|").find(c) != std::string_view::npos) return false;
    }
  }
  return true;
}

std::string AccountDirectory() {
  const SyncConfig& config = Config();
  // Without a data directory the path would start at the file-system root:
  // no path at all, and nothing is written.
  if (config.dataDirectory.empty()) return "";
  if (!IsUsableAccountFolderName(config.username, config.host)) return "";
  std::string directory = config.dataDirectory;
  if (directory.back() != '/' && directory.back() != '\\') directory += '/';
  directory += config.username + "@" + config.host;
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  return directory;
}

std::string GetConversionTablePath(std::string_view folderName) {
  std::string path = AccountDirectory();
  if (path.empty()) return path;
  path += "/ic_";
  path.append(folderName);
  path += ".tab";
  return path;
}

std::string BatchFilePath(std::string_view messageClass) {
  std::string path = AccountDirectory();
  if (path.empty()) return path;
  path += "/_batch_";
  path.append(messageClass);
  path += ".TAB";
  return path;
}

qv::outlook::Date GetLastSyncTime(std::string_view folderName) {
  const qv::outlook::Date epoch = qv::outlook::MakeDate(1970, 1, 1);
  try {
    struct stat info {};
    if (::stat(GetConversionTablePath(folderName).c_str(), &info) != 0) return epoch;
    std::tm local{};
    const std::time_t modified = info.st_mtime;
    if (!localtime_r(&modified, &local)) return epoch;
    return qv::outlook::MakeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                 local.tm_hour, local.tm_min, local.tm_sec);
  } catch (...) {
    return epoch;
  }
}

void LoadConversionTableFile(ConversionTable& table, const std::string& path) {
  ConversionTableDirty = false;
  if (path.empty()) return;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return;
  std::string bytes;
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, n);
  std::fclose(file);
  if (bytes.empty()) return;
  const std::string text = qv::codepage::ToUtf8(bytes);
  std::vector<std::string> rows = table.rows();
  // Lines end with CR LF; a lone LF ends a line too, and a CR before it is dropped.
  size_t pos = 0;
  auto nextLine = [&](std::string_view& line) {
    if (pos >= text.size()) return false;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    line = std::string_view(text).substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = end + 1;
    return true;
  };
  std::string_view line;
  if (!nextLine(line)) return;
  const long count = CountOf(line);
  if (count > 0) rows.resize(static_cast<size_t>(count));
  for (size_t k = 0; k < static_cast<size_t>(std::max(count, 0L)) && nextLine(line); ++k)
    rows[k] = std::string(line);
  table.Assign(std::move(rows));
}

bool SaveConversionTableFile(const ConversionTable& table, const std::string& path, bool force) {
  if (!force && !ConversionTableDirty) return false;
  if (path.empty()) return false;
  try {
    size_t count = 0;
    size_t size = 16;
    for (const std::string& row : table.rows())
      if (!ConversionTable::IsDeleted(row)) ++count, size += row.size() + 2;
    std::string text;
    text.reserve(size);
    text += ' ';
    text += std::to_string(count);
    text += " \r\n";
    for (const std::string& row : table.rows()) {
      if (ConversionTable::IsDeleted(row)) continue;
      text += row;
      text += "\r\n";
    }
    const std::string bytes = qv::codepage::FromUtf8(text);
    // A temporary file in the same folder, renamed over the old one: a crash or
    // a full disk leaves the old table whole.
    std::random_device random;
    const std::string temporary = path + ".tmp" + std::to_string(random() % 1000000);
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return false;
    bool ok = WriteAll(file, bytes);
    ok = std::fflush(file) == 0 && ok;
    ok = ::fsync(::fileno(file)) == 0 && ok;
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
      std::remove(temporary.c_str());
      return false;
    }
  } catch (...) {
    return false;
  }
  LogMessage("Finished Syncronization at " + GeneralDateNow());
  ConversionTableDirty = false;
  return true;
}

void GetUIDToEntryIDMappings(ConversionTable& table, std::string_view folderName) {
  try {
    const std::string path = GetConversionTablePath(folderName);
    LoadConversionTableFile(table, path);
    AttachTableJournal(table, folderName, path);
  } catch (...) {
    ConversionTableDirty = false;
  }
}

bool SaveUIDToEntryIDMappings(const ConversionTable& table, std::string_view folderName,
                              bool force) {
  if (!force && !ConversionTableDirty) return false;
  try {
    if (!SaveConversionTableFile(table, GetConversionTablePath(folderName), force)) return false;
    // The saved table holds every journaled change.
    RestartTableJournal(folderName, table);
    return true;
  } catch (...) {
    return false;
  }
}

void SetConversionTableWriteLimitForTesting(long bytes) { writeLimit = bytes < 0 ? -1 : bytes; }

void SetConversionTableHashForTesting(uint32_t (*hash)(std::string_view)) { testingHash = hash; }

}  // namespace qvsync
