// The registry stand-in: two hives, HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE,
// each kept in one SQLite database.
//
// Key paths use "\" between levels; key paths and value names compare without
// regard to ASCII case, as on Windows, while the case first written is kept for
// enumeration. A path is normalised before use: leading and trailing "\" are
// dropped, an empty path names the hive's root key, and an empty level in the
// middle ("a\\b") is an invalid argument.
//
// Where the hives are: the environment variables QUORVIA_HKCU and QUORVIA_HKLM
// name the database files; without them HKCU is
// $XDG_CONFIG_HOME/quorvia/hkcu.db (~/.config/quorvia/hkcu.db) and HKLM is
// /var/lib/quorvia/hklm.db. The variables are read at every call, so a test
// that points them at temporary files gets fresh hives.
//
// Thread safety: every function may be called from any thread; several
// processes may read and write one hive at once (WAL journal, busy time-out).
// Each write, and each Apply() batch, is atomic. A hive file that is corrupt or
// unreadable makes operations return Status::Corrupt or Status::IoError; they
// never crash.
#ifndef QV_PLATFORM_REGISTRY_H
#define QV_PLATFORM_REGISTRY_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qv::registry {

enum class Hive { CurrentUser, LocalMachine };

// Value types, numbered as Windows numbers them.
enum class ValueType : uint32_t {
  None = 0,
  String = 1,        // REG_SZ
  ExpandString = 2,  // REG_EXPAND_SZ (kept as met in an import)
  Binary = 3,        // REG_BINARY
  Dword = 4,         // REG_DWORD
  MultiString = 7,   // REG_MULTI_SZ
};

enum class Status {
  Ok,
  NotFound,         // key or value missing
  AccessDenied,     // write through a key opened for reading
  InvalidArgument,  // malformed path, value of the wrong type for the call
  Corrupt,          // the hive file is not a readable database
  IoError,          // the hive file cannot be opened, created or written
};

const char* StatusText(Status status);

// A value as stored. `data` holds the raw bytes:
//   String/ExpandString: the text without terminator;
//   Dword: 4 bytes, little-endian;
//   MultiString: each string followed by NUL (the final extra NUL is not kept);
//   Binary: the bytes.
struct Value {
  ValueType type = ValueType::None;
  std::string data;

  static Value String(std::string_view text);
  static Value Dword(uint32_t number);
  static Value Binary(std::string_view bytes);
  static Value MultiString(const std::vector<std::string>& strings);

  // The number of a Dword value (0 for any other type).
  uint32_t AsDword() const;
  // The strings of a MultiString value.
  std::vector<std::string> AsStrings() const;

  friend bool operator==(const Value&, const Value&) = default;
};

struct NamedValue {
  std::string name;
  Value value;
  friend bool operator==(const NamedValue&, const NamedValue&) = default;
};

// One change of a batch applied atomically to a hive (an import, say).
struct Change {
  enum class Kind { CreateKey, DeleteTree, SetValue, DeleteValue };
  Kind kind;
  std::string path;
  std::string name;  // SetValue, DeleteValue
  Value value;       // SetValue
};

// One hive. Implementations: the SQLite hive, and test wrappers that forward
// to another Store (ForwardingStore) to inject faults.
class Store {
 public:
  virtual ~Store() = default;

  virtual Status KeyExists(std::string_view path) = 0;
  // Creates every missing level of the path; Ok when it already exists.
  virtual Status CreateKey(std::string_view path) = 0;
  virtual Status GetValue(std::string_view path, std::string_view name, Value* out) = 0;
  // Fails with NotFound when the key is missing (it is not created).
  virtual Status SetValue(std::string_view path, std::string_view name, const Value& value) = 0;
  virtual Status DeleteValue(std::string_view path, std::string_view name) = 0;
  // Deletes the key, its subkeys and their values. NotFound when missing.
  virtual Status DeleteTree(std::string_view path) = 0;
  // Direct subkey names in ascending order without regard to case.
  virtual Status EnumSubkeys(std::string_view path, std::vector<std::string>* names) = 0;
  // Values in the order they were first written.
  virtual Status EnumValues(std::string_view path, std::vector<NamedValue>* values) = 0;
  // Applies every change or none. SetValue creates its key when missing;
  // deleting what is missing is not an error.
  virtual Status Apply(const std::vector<Change>& changes) = 0;
};

// Forwards every call to another store; tests override one method to fail it.
class ForwardingStore : public Store {
 public:
  explicit ForwardingStore(Store* target) : target_(target) {}
  Status KeyExists(std::string_view path) override { return target_->KeyExists(path); }
  Status CreateKey(std::string_view path) override { return target_->CreateKey(path); }
  Status GetValue(std::string_view path, std::string_view name, Value* out) override {
    return target_->GetValue(path, name, out);
  }
  Status SetValue(std::string_view path, std::string_view name, const Value& value) override {
    return target_->SetValue(path, name, value);
  }
  Status DeleteValue(std::string_view path, std::string_view name) override {
    return target_->DeleteValue(path, name);
  }
  Status DeleteTree(std::string_view path) override { return target_->DeleteTree(path); }
  Status EnumSubkeys(std::string_view path, std::vector<std::string>* names) override {
    return target_->EnumSubkeys(path, names);
  }
  Status EnumValues(std::string_view path, std::vector<NamedValue>* values) override {
    return target_->EnumValues(path, values);
  }
  Status Apply(const std::vector<Change>& changes) override { return target_->Apply(changes); }

 private:
  Store* target_;  // Not owned.
};

// Opens the SQLite hive in `file` (created with its folder on first write).
std::unique_ptr<Store> OpenSqliteStore(const std::string& file);

// The database file of a hive, from the environment or the default.
std::string HivePath(Hive hive);

// The store behind a hive: the SQLite file of HivePath(), shared by all callers
// of the process, unless a test installed an override. Never null.
Store& HiveStore(Hive hive);

// Makes HiveStore(hive) return `store` until called again with nullptr.
// `store` is not owned and must outlive its use.
void SetHiveStoreForTesting(Hive hive, Store* store);

// Parses "HKEY_CURRENT_USER"/"HKCU" and "HKEY_LOCAL_MACHINE"/"HKLM" (any case).
bool ParseHiveName(std::string_view name, Hive* hive);
const char* HiveName(Hive hive);  // "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE"

enum class Access { Read, Full };

// An open key, as a Windows key handle: a hive, a path and the access it was
// opened with. Writes through a key opened for reading fail with AccessDenied.
class Key {
 public:
  Key() = default;

  // Fails with NotFound when the key is missing.
  static Status Open(Hive hive, std::string_view path, Access access, Key* out);
  // Creates every missing level and opens the key with full access.
  static Status Create(Hive hive, std::string_view path, Key* out);

  bool IsOpen() const { return open_; }
  Hive hive() const { return hive_; }
  const std::string& path() const { return path_; }

  Status Get(std::string_view name, Value* out) const;
  // A String or ExpandString value; InvalidArgument for another type.
  Status GetString(std::string_view name, std::string* out) const;
  // A Dword value; InvalidArgument for another type.
  Status GetDword(std::string_view name, uint32_t* out) const;
  Status Set(std::string_view name, const Value& value) const;
  Status SetString(std::string_view name, std::string_view text) const;
  Status SetDword(std::string_view name, uint32_t number) const;
  Status DeleteValue(std::string_view name) const;
  Status Subkeys(std::vector<std::string>* names) const;
  Status Values(std::vector<NamedValue>* values) const;

 private:
  Store& store() const { return HiveStore(hive_); }

  bool open_ = false;
  Hive hive_ = Hive::CurrentUser;
  std::string path_;
  Access access_ = Access::Read;
};

// Deletes a key and everything below it.
Status DeleteKeyTree(Hive hive, std::string_view path);

// Windows' limits, which every store applies (InvalidArgument beyond them):
// a key name (one level) of at most 255 characters, at most 512 levels below
// the hive, a value name of at most 16,383 characters. Characters are counted
// in the UTF-8 text.
inline constexpr size_t kMaxKeyNameLength = 255;
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxValueNameLength = 16383;

// True when each level of a normalised path and the number of levels are
// within the limits.
bool ValidKeyPath(std::string_view path);
// True when a value name is within its limit.
bool ValidValueName(std::string_view name);

// Normalises a key path (see the top of this file); false when malformed or
// beyond the limits.
bool NormalizePath(std::string_view path, std::string* out);

}  // namespace qv::registry

#endif
