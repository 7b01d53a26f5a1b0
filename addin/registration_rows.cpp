#include "addin/registration_rows.h"

#include <algorithm>
#include <charconv>

#include "platform/registry/registry.h"

namespace qvsync {
namespace {

// addin/registration.tsv, as the build embeds it.
constexpr const char* kRowsText =
#include "registration_rows.inc"
    ;

using qv::registry::Hive;
using qv::registry::Status;
using qv::registry::Value;

std::vector<std::string_view> SplitTabs(std::string_view line) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string_view::npos ? std::string_view::npos : tab - start));
    if (tab == std::string_view::npos) return fields;
    start = tab + 1;
  }
}

std::string Replace(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

bool ParseRegistrationRows(std::string_view text, std::vector<RegistrationRow>* rows, std::string* error) {
  rows->clear();
  int number = 0;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    auto fail = [&](const std::string& why) {
      *error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    const std::vector<std::string_view> fields = SplitTabs(line);
    RegistrationRow row;
    row.key = std::string(fields[0]);
    if (row.key.empty() || row.key.front() == '\\' || row.key.back() == '\\' ||
        row.key.find("\\\\") != std::string::npos) {
      return fail("a key path without empty levels is expected");
    }
    if (fields.size() == 1) {
      rows->push_back(std::move(row));
      continue;
    }
    if (fields.size() != 4) return fail("KEY alone, or KEY, NAME, TYPE and DATA separated by TABs, is expected");
    if (fields[1].empty()) return fail("an empty value name (\"@\" is the default value)");
    row.name = fields[1] == "@" ? std::string() : std::string(fields[1]);
    row.data = std::string(fields[3]);
    if (fields[2] == "REG_SZ") {
      row.type = RegistrationRow::Type::String;
    } else if (fields[2] == "REG_DWORD") {
      row.type = RegistrationRow::Type::Dword;
      uint32_t value = 0;
      const char* first = row.data.data();
      const char* last = first + row.data.size();
      const auto parsed = std::from_chars(first, last, value);
      if (row.data.empty() || parsed.ec != std::errc() || parsed.ptr != last) {
        return fail("REG_DWORD data must be a decimal number below 2^32");
      }
    } else {
      return fail("unknown type \"" + std::string(fields[2]) + "\" (REG_SZ or REG_DWORD)");
    }
    rows->push_back(std::move(row));
  }
  return true;
}

const std::vector<RegistrationRow>& RegistrationRows() {
  static const std::vector<RegistrationRow> rows = [] {
    std::vector<RegistrationRow> parsed;
    std::string error;
    // The text is part of the build and checked by its tests; a broken one
    // registers nothing rather than something half.
    if (!ParseRegistrationRows(kRowsText, &parsed, &error)) parsed.clear();
    return parsed;
  }();
  return rows;
}

const std::string& RegisteredClassId() {
  static const std::string clsid = [] {
    const std::string key = std::string("Software\\Classes\\") + kProgId + "\\CLSID";
    for (const RegistrationRow& row : RegistrationRows()) {
      if (row.key == key && row.name.empty()) return row.data;
    }
    return std::string();
  }();
  return clsid;
}

bool WriteRegistration(const std::string& library) {
  const std::vector<RegistrationRow>& rows = RegistrationRows();
  if (rows.empty()) return false;
  qv::registry::Store& hive = qv::registry::HiveStore(Hive::CurrentUser);
  for (const RegistrationRow& row : rows) {
    if (hive.CreateKey(row.key) != Status::Ok) return false;
    Value value;
    switch (row.type) {
      case RegistrationRow::Type::KeyOnly: continue;
      case RegistrationRow::Type::String: value = Value::String(Replace(row.data, kLibraryPlaceholder, library)); break;
      case RegistrationRow::Type::Dword: value = Value::Dword(static_cast<uint32_t>(std::stoul(row.data))); break;
    }
    if (hive.SetValue(row.key, row.name, value) != Status::Ok) return false;
  }
  return true;
}

bool RemoveRegistration() {
  const std::vector<RegistrationRow>& rows = RegistrationRows();
  if (rows.empty()) return false;
  qv::registry::Store& hive = qv::registry::HiveStore(Hive::CurrentUser);
  auto gone = [](Status s) { return s == Status::Ok || s == Status::NotFound; };
  bool ok = true;
  for (const RegistrationRow& row : rows) {
    if (row.type != RegistrationRow::Type::KeyOnly) ok = gone(hive.DeleteValue(row.key, row.name)) && ok;
  }
  // Deeper keys first, so that a parent is empty by the time it is looked at.
  std::vector<std::string> keys;
  for (const RegistrationRow& row : rows) {
    if (std::find(keys.begin(), keys.end(), row.key) == keys.end()) keys.push_back(row.key);
  }
  std::stable_sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '\\') > std::count(b.begin(), b.end(), '\\');
  });
  for (const std::string& key : keys) {
    std::vector<std::string> subkeys;
    std::vector<qv::registry::NamedValue> values;
    const Status listed = hive.EnumSubkeys(key, &subkeys);
    if (listed == Status::NotFound) continue;
    if (listed != Status::Ok || hive.EnumValues(key, &values) != Status::Ok) {
      ok = false;
      continue;
    }
    if (subkeys.empty() && values.empty()) ok = gone(hive.DeleteTree(key)) && ok;
  }
  return ok;
}

}  // namespace qvsync
