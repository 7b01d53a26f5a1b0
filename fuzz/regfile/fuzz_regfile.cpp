// The .reg parser takes any bytes without fault; whatever it accepts, the
// writer writes so that the parser reads back the same keys and values, in
// both encodings.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/qvreg/regfile.h"

namespace {

using qv::registry::Change;
using qv::registry::Hive;
using qv::regfile::Document;
using qv::regfile::Entry;

// The key creations and value writes of one hive, as the writer is given them:
// a section per change.
std::vector<qv::regfile::KeyValues> Sections(const Document& document, Hive hive) {
  std::vector<qv::regfile::KeyValues> keys;
  for (const Entry& entry : document.entries) {
    if (entry.hive != hive) continue;
    if (entry.change.kind == Change::Kind::CreateKey) keys.push_back({entry.change.path, {}});
    if (entry.change.kind == Change::Kind::SetValue) {
      keys.push_back({entry.change.path, {{entry.change.name, entry.change.value}}});
    }
  }
  return keys;
}

// The same, as the parser reads a written file back: every section opens its key.
std::vector<Change> Expected(const std::vector<qv::regfile::KeyValues>& keys) {
  std::vector<Change> changes;
  for (const auto& key : keys) {
    changes.push_back(Change{Change::Kind::CreateKey, key.path, "", {}});
    for (const auto& named : key.values) changes.push_back(Change{Change::Kind::SetValue, key.path, named.name, named.value});
  }
  return changes;
}

bool Same(const Change& a, const Change& b) {
  return a.kind == b.kind && a.path == b.path && a.name == b.name && a.value == b.value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Document document;
  qv::regfile::ParseError error;
  if (!qv::regfile::Parse(std::string_view(reinterpret_cast<const char*>(data), size), &document, &error)) {
    if (error.line < 1 || error.message.empty() || !document.entries.empty()) abort();
    return 0;
  }
  for (Hive hive : {Hive::CurrentUser, Hive::LocalMachine}) {
    std::vector<qv::regfile::KeyValues> keys = Sections(document, hive);
    std::vector<Change> expected = Expected(keys);
    for (auto encoding : {qv::regfile::Encoding::Utf8, qv::regfile::Encoding::Utf16Le}) {
      Document again;
      if (!qv::regfile::Parse(qv::regfile::Write(hive, keys, encoding), &again, &error)) abort();
      std::vector<Change> read = qv::regfile::ChangesFor(again, hive);
      if (read.size() != expected.size() || again.entries.size() != expected.size()) abort();
      for (size_t i = 0; i < read.size(); ++i) {
        if (!Same(read[i], expected[i])) abort();
      }
    }
  }
  return 0;
}
