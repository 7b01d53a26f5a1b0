// The add-in's registration as data: the per-user registry rows that
// DllRegisterServer writes and DllUnregisterServer removes, kept in
// addin/registration.tsv (which an installer reads too) and built into the
// library.
#ifndef QVSYNC_REGISTRATION_ROWS_H
#define QVSYNC_REGISTRATION_ROWS_H

#include <string>
#include <string_view>
#include <vector>

namespace qvsync {

inline constexpr const char* kProgId = "QVSync.Connect";
// Stands in the rows' data for the full path of the add-in library.
inline constexpr const char* kLibraryPlaceholder = "[LIBRARY]";

// One row under HKEY_CURRENT_USER.
struct RegistrationRow {
  std::string key;
  std::string name;  // "" for the key's default value
  enum class Type { KeyOnly, String, Dword } type = Type::KeyOnly;
  std::string data;  // text, or the number in decimal
};

// Reads rows in the file's format (see addin/registration.tsv). False with
// `*error` ("line N: ...") for a malformed line.
bool ParseRegistrationRows(std::string_view text, std::vector<RegistrationRow>* rows, std::string* error);

// The library's rows, in the order they are written.
const std::vector<RegistrationRow>& RegistrationRows();

// The class identifier registered for kProgId, "{...}".
const std::string& RegisteredClassId();

// Writes every row into the current user's registry, with `library` for the
// placeholder. False when a write failed (what was written stays).
bool WriteRegistration(const std::string& library);

// Removes what WriteRegistration writes: every value a row names, then every
// key a row names once it holds nothing else (deepest first). What is
// already gone counts as removed. False when a removal failed.
bool RemoveRegistration();

}  // namespace qvsync

#endif
