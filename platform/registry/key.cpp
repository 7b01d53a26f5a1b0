// The parts of the registry that do not depend on where the hives are kept:
// values, paths, hive names and keys. registry.cpp keeps the hives in SQLite
// files; on Windows platform/win32/registry.cpp keeps them in the registry.
#include "platform/registry/registry.h"

namespace qv::registry {
namespace {

// Case-insensitive for ASCII only, as the hive's NOCASE collation compares.
bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

const char* StatusText(Status status) {
  switch (status) {
    case Status::Ok: return "The operation completed successfully.";
    case Status::NotFound: return "The system was unable to find the specified registry key or value.";
    case Status::AccessDenied: return "Access is denied.";
    case Status::InvalidArgument: return "The parameter is incorrect.";
    case Status::Corrupt: return "The registry hive file is corrupt.";
    case Status::IoError: return "The registry hive file cannot be opened or written.";
  }
  return "Unknown error.";
}

Value Value::String(std::string_view text) { return Value{ValueType::String, std::string(text)}; }

Value Value::Dword(uint32_t number) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i) data[i] = static_cast<char>((number >> (8 * i)) & 0xff);
  return Value{ValueType::Dword, data};
}

Value Value::Binary(std::string_view bytes) { return Value{ValueType::Binary, std::string(bytes)}; }

Value Value::MultiString(const std::vector<std::string>& strings) {
  Value value{ValueType::MultiString, ""};
  for (const std::string& s : strings) {
    value.data += s;
    value.data.push_back('\0');
  }
  return value;
}

uint32_t Value::AsDword() const {
  if (type != ValueType::Dword) return 0;
  uint32_t number = 0;
  for (size_t i = 0; i < 4 && i < data.size(); ++i) {
    number |= static_cast<uint32_t>(static_cast<unsigned char>(data[i])) << (8 * i);
  }
  return number;
}

std::vector<std::string> Value::AsStrings() const {
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < data.size()) {
    size_t nul = data.find('\0', start);
    if (nul == std::string::npos) nul = data.size();
    strings.push_back(data.substr(start, nul - start));
    start = nul + 1;
  }
  return strings;
}

size_t CharacterCount(std::string_view text) {
  size_t count = 0;
  for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;  // UTF-8 lead bytes
  return count;
}

bool ValidKeyPath(std::string_view path) {
  size_t levels = 0;
  while (!path.empty()) {
    const size_t slash = path.find('\\');
    if (CharacterCount(path.substr(0, slash)) > kMaxKeyNameLength) return false;
    if (++levels > kMaxKeyDepth) return false;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return true;
}

bool ValidValueName(std::string_view name) { return CharacterCount(name) <= kMaxValueNameLength; }

bool NormalizePath(std::string_view path, std::string* out) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.find("\\\\") != std::string_view::npos) return false;
  if (path.find('\0') != std::string_view::npos) return false;
  if (!ValidKeyPath(path)) return false;
  out->assign(path);
  return true;
}

bool ParseHiveName(std::string_view name, Hive* hive) {
  if (EqualsNoCase(name, "HKEY_CURRENT_USER") || EqualsNoCase(name, "HKCU")) {
    *hive = Hive::CurrentUser;
    return true;
  }
  if (EqualsNoCase(name, "HKEY_LOCAL_MACHINE") || EqualsNoCase(name, "HKLM")) {
    *hive = Hive::LocalMachine;
    return true;
  }
  return false;
}

const char* HiveName(Hive hive) {
  return hive == Hive::CurrentUser ? "HKEY_CURRENT_USER" : "HKEY_LOCAL_MACHINE";
}

Status Key::Open(Hive hive, std::string_view path, Access access, Key* out) {
  std::string normal;
  if (out == nullptr || !NormalizePath(path, &normal)) return Status::InvalidArgument;
  Status s = HiveStore(hive).KeyExists(normal);
  if (s != Status::Ok) return s;
  out->open_ = true;
  out->hive_ = hive;
  out->path_ = std::move(normal);
  out->access_ = access;
  return Status::Ok;
}

Status Key::Create(Hive hive, std::string_view path, Key* out) {
  std::string normal;
  if (out == nullptr || !NormalizePath(path, &normal)) return Status::InvalidArgument;
  Status s = HiveStore(hive).CreateKey(normal);
  if (s != Status::Ok) return s;
  out->open_ = true;
  out->hive_ = hive;
  out->path_ = std::move(normal);
  out->access_ = Access::Full;
  return Status::Ok;
}

Status Key::Get(std::string_view name, Value* out) const {
  if (!open_) return Status::InvalidArgument;
  return store().GetValue(path_, name, out);
}

Status Key::GetString(std::string_view name, std::string* out) const {
  Value value;
  Status s = Get(name, &value);
  if (s != Status::Ok) return s;
  if (value.type != ValueType::String && value.type != ValueType::ExpandString) return Status::InvalidArgument;
  *out = value.data;
  return Status::Ok;
}

Status Key::GetDword(std::string_view name, uint32_t* out) const {
  Value value;
  Status s = Get(name, &value);
  if (s != Status::Ok) return s;
  if (value.type != ValueType::Dword || value.data.size() != 4) return Status::InvalidArgument;
  *out = value.AsDword();
  return Status::Ok;
}

Status Key::Set(std::string_view name, const Value& value) const {
  if (!open_) return Status::InvalidArgument;
  if (access_ != Access::Full) return Status::AccessDenied;
  return store().SetValue(path_, name, value);
}

Status Key::SetString(std::string_view name, std::string_view text) const { return Set(name, Value::String(text)); }

Status Key::SetDword(std::string_view name, uint32_t number) const { return Set(name, Value::Dword(number)); }

Status Key::DeleteValue(std::string_view name) const {
  if (!open_) return Status::InvalidArgument;
  if (access_ != Access::Full) return Status::AccessDenied;
  return store().DeleteValue(path_, name);
}

Status Key::Subkeys(std::vector<std::string>* names) const {
  if (!open_) return Status::InvalidArgument;
  return store().EnumSubkeys(path_, names);
}

Status Key::Values(std::vector<NamedValue>* values) const {
  if (!open_) return Status::InvalidArgument;
  return store().EnumValues(path_, values);
}

Status DeleteKeyTree(Hive hive, std::string_view path) { return HiveStore(hive).DeleteTree(path); }

}  // namespace qv::registry
