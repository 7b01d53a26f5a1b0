// Any XML text opens as a value table (or an empty one) that can be walked,
// searched and changed; property texts never exceed their 1023 bytes, and a
// property that can be written reads back as written.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "library/valuetable/valuetable.h"
#include "library/valuetable/valuetable_internal.h"
#include "platform/codepage/codepage.h"

namespace {

std::string Get(const char* name, int attribute, ValueTableHandle* table, bool* found) {
  char* text = nullptr;
  int length = -1;
  *found = ValueTable_GetProperty(name, &text, &length, attribute, table) == 1;
  if (!*found) {
    if (text != nullptr) abort();
    return "";
  }
  if (length < 0 || length > 1023 || std::strlen(text) != static_cast<size_t>(length)) abort();
  std::string value(text, static_cast<size_t>(length));
  ValueTable_FreeProperty(&text);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The table's diagnostics go to the standard output; keep the run quiet.
  if (!std::freopen("/dev/null", "w", stdout)) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string xml(reinterpret_cast<const char*>(data), size);
  ValueTableHandle* table = nullptr;
  if (ValueTable_OpenFile("/nonexistent/fuzz.xml", &table) != 1) abort();
  if (ValueTable_OpenBuffer(xml.c_str(), nullptr, table) != 1) abort();

  // The names of each row's children and attributes, learnt from the DOM.
  pugi::xml_document mirror;
  mirror.load_string(xml.c_str());
  std::vector<std::string> names;
  for (pugi::xml_node row : mirror.document_element().children()) {
    for (pugi::xml_node child : row.children()) names.emplace_back(child.name());
    for (pugi::xml_attribute attribute : row.attributes()) names.emplace_back(attribute.name());
    if (names.size() > 64) break;
  }

  int rows = 0;
  for (int more = ValueTable_FindFirstRow(table); more && rows < 256;
       more = ValueTable_FindNextRow(table), ++rows) {
    for (const std::string& name : names) {
      bool found = false;
      std::string value = Get(name.c_str(), 0, table, &found);
      Get(name.c_str(), 1, table, &found);
      if (!value.empty()) ValueTable_SetRowByPropValue(name.c_str(), value.c_str(), nullptr);
    }
  }

  // Searching by a value taken from the input never breaks the expression.
  std::string value = std::string(xml.c_str()).substr(0, 64);
  for (const std::string& name : names) {
    if (ValueTable_SetRowByPropValue(name.c_str(), value.c_str(), table) == 1) {
      ValueTable_DeleteRow(table);
      break;
    }
  }

  // A fresh row takes any text (in the system code page) that an XML file
  // can hold, and gives it back byte for byte.
  if (ValueTable_AddRow(table) == 1) {
    bool set = ValueTable_SetProperty("FUZZ", value.c_str(), 0, table) == 1;
    if (set != qvaiso::valuetable::IsXmlText(qv::codepage::ToUtf8(value))) abort();
    if (set) {
      bool found = false;
      if (Get("FUZZ", 0, table, &found) != value || !found) abort();
      if (ValueTable_SetRowByPropValue("FUZZ", value.c_str(), table) != 1) abort();
    }
  }
  ValueTable_Free(table);
  return 0;
}
