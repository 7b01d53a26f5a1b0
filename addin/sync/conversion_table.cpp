#include "addin/sync/conversion_table.h"

#include <fcntl.h>
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
#include "addin/sync/record_files.h"
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

bool WriteAll(int fd, const std::string& bytes) {
  if (writeLimit >= 0 && static_cast<long>(bytes.size()) > writeLimit) {
    records::WriteAll(fd, std::string_view(bytes).substr(0, static_cast<size_t>(writeLimit)));
    errno = ENOSPC;
    return false;
  }
  return records::WriteAll(fd, bytes);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The UTF-16 unit of "%uXXXX" at `pos`, or -1.
long UnitAt(std::string_view text, size_t pos) {
  if (pos + 6 > text.size() || text[pos] != '%' || text[pos + 1] != 'u') return -1;
  long unit = 0;
  for (size_t i = pos + 2; i < pos + 6; ++i) {
    const int digit = HexDigit(text[i]);
    if (digit < 0) return -1;
    unit = unit * 16 + digit;
  }
  return unit;
}

void AppendUnit(std::string& out, unsigned unit) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "%%u%04X", unit & 0xFFFF);
  out += buffer;
}

bool IsAscii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// A character that would end or damage a line of the file (a server's ID
// may hold any).
bool IsLineControl(char c) { return static_cast<unsigned char>(c) < 0x20 && c != '\t'; }

// One row in the code page: a character it cannot carry, or a control
// character that would end the line, as "%uXXXX" (two for one beyond
// U+FFFF), and a "%" that would read as such as "%u0025".
std::string RowBytes(const std::string& row) {
  const bool plain = row.find("%u") == std::string::npos &&
                     std::find_if(row.begin(), row.end(), IsLineControl) == row.end();
  // Nearly every row is ASCII (hexadecimal EntryIDs, the server's IDs, digits).
  if (plain && IsAscii(row)) return row;
  std::string bytes = qv::codepage::FromUtf8(row);
  if (plain && qv::codepage::ToUtf8(bytes) == row) return bytes;
  std::string escaped;
  for (size_t pos = 0; pos < row.size();) {
    const unsigned char lead = static_cast<unsigned char>(row[pos]);
    const size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    const std::string character = row.substr(pos, length);
    pos += character.size();
    if (character == "%" && UnitAt(row, pos - 1) >= 0) {
      escaped += "%u0025";
      continue;
    }
    const std::string converted = qv::codepage::FromUtf8(character);
    if (!IsLineControl(character[0]) && qv::codepage::ToUtf8(converted) == character) {
      escaped += converted;
      continue;
    }
    // Not in the code page: its UTF-16 units.
    unsigned code = lead;
    if (character.size() > 1) {
      code = lead & (0xFF >> (character.size() + 1));
      for (size_t i = 1; i < character.size(); ++i) code = (code << 6) | (static_cast<unsigned char>(character[i]) & 0x3F);
    }
    if (code >= 0x10000) {
      AppendUnit(escaped, 0xD800 + ((code - 0x10000) >> 10));
      AppendUnit(escaped, 0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
      AppendUnit(escaped, code);
    }
  }
  return escaped;
}

// A row line read back: "%uXXXX" to its character.
std::string RowText(std::string_view line) {
  std::string text = IsAscii(line) ? std::string(line) : qv::codepage::ToUtf8(line);
  if (text.find("%u") == std::string::npos) return text;
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    const long unit = UnitAt(text, pos);
    if (unit < 0) {
      out += text[pos++];
      continue;
    }
    pos += 6;
    unsigned code = static_cast<unsigned>(unit);
    const long low = UnitAt(text, pos);
    if (code >= 0xD800 && code <= 0xDBFF && low >= 0xDC00 && low <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<unsigned>(low) - 0xDC00);
      pos += 6;
    }
    qv::codepage::AppendUtf8(out, code);
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Rows and indexes

ConversionTable::ConversionTable(std::vector<std::string> rows) { Assign(std::move(rows)); }

void ConversionTable::Assign(std::vector<std::string> rows) {
  rows_ = std::move(rows);
  rowChangesLost_ = false;
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
  if (observer_ && !observer_(index, rows_[index])) rowChangesLost_ = true;
}

void ConversionTable::SetRow(size_t index, std::string row) { ChangeRow(index, std::move(row)); }

void ConversionTable::SetRowQuietly(size_t index, std::string row) {
  if (index >= rows_.size()) return;
  IndexRow(index, false);
  rows_[index] = std::move(row);
  IndexRow(index, true);
}

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

std::string ConversionTable::GetItemStateFromEntryID(std::string_view entryId) const {
  const long i = FindByEntryID(entryId);
  return i < 0 ? std::string() : std::string(Field(rows_[static_cast<size_t>(i)], 4));
}

bool ConversionTable::AddItemIdConversion(std::string_view uid, std::string_view entryId,
                                          std::string_view modifiedDate, std::string_view itemState) {
  std::string row;
  row.append(entryId).append(1, '\t').append(uid).append(1, '\t').append(modifiedDate);
  if (!itemState.empty()) row.append(1, '\t').append(itemState);
  AppendRow(std::move(row));
  return true;
}

bool ConversionTable::RecordItemState(std::string_view entryId, std::string_view modifiedDate,
                                      std::string_view itemState) {
  const long i = FindByEntryID(entryId);
  if (i < 0) return false;
  const std::string& old = rows_[static_cast<size_t>(i)];
  std::string row;
  row.append(Field(old, 1)).append(1, '\t').append(Field(old, 2)).append(1, '\t');
  row.append(modifiedDate.empty() ? Field(old, 3) : modifiedDate);
  if (!itemState.empty()) row.append(1, '\t').append(itemState);
  if (row != old) ChangeRow(static_cast<size_t>(i), std::move(row));
  return true;
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

namespace {

std::string DataDirectoryWithSeparator() {
  std::string directory = Config().dataDirectory;
  if (directory.back() != '/' && directory.back() != '\\') directory += '/';
  return directory;
}

bool IsFolder(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::is_directory(path, ignored);
}

// Whether an account folder holds any conversion table.
bool HoldsTables(const std::filesystem::path& folder) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ic_", 0) == 0 && name.size() > 7 && name.compare(name.size() - 4, 4, ".tab") == 0) return true;
  }
  return false;
}

// The folders of the data directory named "<user>@..." (but not `except`), in name order.
std::vector<std::string> FoldersOfUser(const std::string& user, const std::string& except) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(Config().dataDirectory, error)) {
    const std::string name = entry.path().filename().string();
    if (name != except && name.size() > user.size() && name.compare(0, user.size() + 1, user + "@") == 0 &&
        entry.is_directory(error))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The name of this account's folder inside the data directory, without
// making it: the one already there under the configured spelling or under
// any spelling of the same server, else the normalised one. "" when none can
// be used.
std::string AccountFolderName() {
  const SyncConfig& config = Config();
  // Without a data directory the path would start at the file-system root:
  // no path at all, and nothing is written.
  if (config.dataDirectory.empty()) return "";
  const std::string host = NormalizedHost(config.host);
  if (!IsUsableAccountFolderName(config.username, config.host) || !IsUsableAccountFolderName(config.username, host))
    return "";
  const std::string normalised = config.username + "@" + host;
  const std::string data = DataDirectoryWithSeparator();
  if (IsFolder(data + normalised)) return normalised;
  const std::string literal = config.username + "@" + config.host;
  if (IsFolder(data + literal)) return literal;
  for (const std::string& name : FoldersOfUser(config.username, normalised))
    if (NormalizedHost(std::string_view(name).substr(config.username.size() + 1)) == host) return name;
  return normalised;
}

}  // namespace

std::string AccountDirectory() {
  const std::string name = AccountFolderName();
  if (name.empty()) return "";
  const std::string directory = DataDirectoryWithSeparator() + name;
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  return directory;
}

std::string OtherRecordsOfThisUser() {
  const std::string name = AccountFolderName();
  if (name.empty()) return "";
  const std::string data = DataDirectoryWithSeparator();
  if (HoldsTables(data + name)) return "";
  for (const std::string& other : FoldersOfUser(Config().username, name))
    if (HoldsTables(data + other)) return other;
  return "";
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

std::vector<std::string> ConversionTableRows(std::string_view bytes, const std::string& path) {
  std::vector<std::string> rows;
  // Lines end with CR LF; a lone LF ends a line too, and a CR before it is dropped.
  size_t pos = 0;
  auto nextLine = [&](std::string_view& line) {
    if (pos >= bytes.size()) return false;
    size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) end = bytes.size();
    line = bytes.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos = end + 1;
    return true;
  };
  std::string_view line;
  if (!nextLine(line)) return rows;
  const long count = CountOf(line);
  // A count line that is no number stands for no table at all.
  if (count == 0 && line.find_first_of("0123456789") == std::string_view::npos) return rows;
  while (nextLine(line)) rows.push_back(RowText(line));
  // Every row is read: one the count line leaves out would be taken for an
  // item never synchronised and be added again on both sides.
  if (static_cast<long>(rows.size()) != count) {
    LogMessage("The item ID table " + path + " holds " + std::to_string(rows.size()) +
               " rows, but its first line says " + std::to_string(count) + "; all " +
               std::to_string(rows.size()) + " are read.");
  }
  return rows;
}

std::string ConversionTableText(const ConversionTable& table) {
  size_t count = 0;
  size_t size = 16;
  for (const std::string& row : table.rows())
    if (!ConversionTable::IsDeleted(row)) ++count, size += row.size() + 2;
  std::string bytes;
  bytes.reserve(size);
  bytes += ' ';
  bytes += std::to_string(count);
  bytes += " \r\n";
  for (const std::string& row : table.rows()) {
    if (ConversionTable::IsDeleted(row)) continue;
    bytes += RowBytes(row);
    bytes += "\r\n";
  }
  return bytes;
}

bool IsDamagedTableFile(const std::string& path) {
  if (path.empty()) return false;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  char buffer[256];
  const size_t n = std::fread(buffer, 1, sizeof buffer, file);
  std::fclose(file);
  if (n == 0) return false;
  const std::string_view head(buffer, n);
  std::string_view line = head.substr(0, head.find('\n'));
  // A count line: blanks, an optional sign, digits, blanks.
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!line.empty() && blank(line.front())) line.remove_prefix(1);
  while (!line.empty() && blank(line.back())) line.remove_suffix(1);
  if (!line.empty() && (line.front() == '-' || line.front() == '+')) line.remove_prefix(1);
  return line.empty() || line.size() > 12 || line.find_first_not_of("0123456789") != std::string_view::npos;
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
  std::vector<std::string> fileRows = ConversionTableRows(bytes, path);
  std::vector<std::string> rows = table.rows();
  if (rows.size() < fileRows.size()) rows.resize(fileRows.size());
  for (size_t k = 0; k < fileRows.size(); ++k) rows[k] = std::move(fileRows[k]);
  table.Assign(std::move(rows));
}

bool SaveConversionTableFile(const ConversionTable& table, const std::string& path, bool force) {
  if (!force && !ConversionTableDirty) return false;
  if (path.empty()) return false;
  try {
    const std::string bytes = ConversionTableText(table);
    // A temporary file in the same folder, renamed over the old one: a crash or
    // a full disk leaves the old table whole.
    std::random_device random;
    const std::string temporary = path + ".tmp" + std::to_string(random() % 1000000);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = WriteAll(fd, bytes);
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
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
