// Reading and writing the registry editor's .reg text files.
//
// Both formats of the Windows registry editor are read:
//   "Windows Registry Editor Version 5.00": UTF-16LE with a byte-order mark as
//     regedit writes it, or UTF-8 with or without a byte-order mark; the bytes
//     of hex(1), hex(2) and hex(7) data are UTF-16LE text.
//   "REGEDIT4": 8-bit text; hex(1), hex(2) and hex(7) data are 8-bit bytes.
// 8-bit text (a file without byte-order mark, and hex string data of REGEDIT4)
// is taken as UTF-8 when it is valid UTF-8, otherwise as Windows-1252, the code
// page regedit used for such files. The registry stand-in keeps strings in UTF-8.
//
// What a file holds, line by line: the header; "[KEY]" opens (and creates) a
// key; "[-KEY]" deletes a key tree; under an open key, value lines
//   "name"="text"            REG_SZ; \\ and \" escape, as do \n, \r and \0
//   "name"=dword:0000000a    REG_DWORD, 1 to 8 hex digits
//   "name"=hex:01,02,\       REG_BINARY, continued on the next line after "\"
//   "name"=hex(N):...        type N: 0, 1, 2 (REG_EXPAND_SZ), 3, 4, 7 (REG_MULTI_SZ)
//   "name"=-                 deletes the value
// with @ (or "") naming the key's default value; blank lines, and lines
// starting with ";" are comments. KEY starts with HKEY_CURRENT_USER or
// HKEY_LOCAL_MACHINE (HKCU and HKLM are accepted too); other hives are refused.
//
// The parser takes any bytes and never applies anything itself: a file is
// either parsed whole into a list of changes or rejected with the line of the
// first fault. Everything here is pure and may be used from any thread.
#ifndef QV_TOOLS_QVREG_REGFILE_H
#define QV_TOOLS_QVREG_REGFILE_H

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/registry.h"

namespace qv::regfile {

enum class Format { Regedit5, Regedit4 };

// One change read from a file, with the line it starts on (1-based).
struct Entry {
  registry::Hive hive = registry::Hive::CurrentUser;
  registry::Change change;
  int line = 0;
};

struct Document {
  Format format = Format::Regedit5;
  std::vector<Entry> entries;  // In file order.
};

struct ParseError {
  int line = 0;         // 1-based line of the fault.
  std::string message;  // What is wrong, in words for the administrator.
};

// Parses a whole .reg file. On failure returns false, fills *error and leaves
// *out empty.
bool Parse(std::string_view bytes, Document* out, ParseError* error);

// The changes of one hive in file order, ready for Store::Apply.
std::vector<registry::Change> ChangesFor(const Document& document, registry::Hive hive);

// Splits "HKEY_CURRENT_USER\Software\X" (or "HKCU\...", "HKLM\...", any case)
// into its hive and the path below it. Leading and trailing "\" of the path
// are dropped; an empty path is the hive's root. False for an unknown hive or
// an empty level in the middle of the path.
bool SplitKeyName(std::string_view full_name, registry::Hive* hive, std::string* path);

// "HKEY_CURRENT_USER" or "HKEY_LOCAL_MACHINE".
const char* HiveFullName(registry::Hive hive);

// One key to export: its path below the hive and its values in the order to write.
struct KeyValues {
  std::string path;
  std::vector<registry::NamedValue> values;
};

enum class Encoding {
  Utf16Le,  // With byte-order mark, as regedit writes: Windows reads it unchanged.
  Utf8,     // Without byte-order mark, for tools on this side.
};

// Writes a "Windows Registry Editor Version 5.00" file with one section per key,
// in the given order, values in the given order, lines ending in CR LF. Strings that are not valid UTF-8 are taken as Windows-1252;
// REG_SZ text with CR, LF or NUL is written as hex(1) so regedit reads it back.
std::string Write(registry::Hive hive, const std::vector<KeyValues>& keys, Encoding encoding);

}  // namespace qv::regfile

#endif
