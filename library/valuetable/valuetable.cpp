#include "library/valuetable/valuetable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include <pugixml.hpp>

#include "library/support/messages.h"
#include "library/support/support.h"
#include "library/valuetable/valuetable_internal.h"
#include "platform/codepage/codepage.h"

// One open table. Owns its document and, after ValueTable_DeleteRow, a copy of
// the removed row that stays the current row. Lives on whichever thread its
// caller uses; it has no lock.
struct ValueTableHandle {
  std::unique_ptr<pugi::xml_document> document;  // null until a table is opened
  pugi::xml_node current;                        // the current row, or none
  pugi::xml_document removedRow;  // holds the detached current row after a delete
  bool currentRemoved = false;
  std::string fileName;  // empty for a table opened from a buffer
};

namespace qvaiso::valuetable {
namespace {

constexpr int kPropertyBufferSize = 1024;
constexpr const char* kBaseElement = "BASEELEMENT";
constexpr const char* kRowElement = "ELEMENT";
// Whitespace-only text between elements is layout, not data (as in the
// platform parser). Line ends are normalised as every XML parser does (a CR
// that is data is written as "&#13;"); comments, processing instructions and
// the document type are kept, so a save writes them back.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_comments | pugi::parse_pi |
                                   pugi::parse_declaration | pugi::parse_doctype;

// Texts cross the exports in the system code page; the document holds UTF-8.
std::string FromCaller(const char* text) { return qv::codepage::ToUtf8(text); }

// A value for a caller: its code-page form, at most `limit` bytes, never
// ending in part of a character.
std::string ToCaller(std::string_view utf8, std::size_t limit) {
  std::string bytes = qv::codepage::FromUtf8(utf8);
  if (bytes.size() <= limit) return bytes;
  // Too long: convert character by character up to the limit (a character
  // may take more than one byte in some code pages).
  std::string cut;
  std::size_t at = 0;
  while (at < utf8.size()) {
    std::size_t end = at + 1;
    while (end < utf8.size() && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) ++end;
    std::string one = qv::codepage::FromUtf8(utf8.substr(at, end - at));
    if (cut.size() + one.size() > limit) break;
    cut += one;
    at = end;
  }
  return cut;
}

// Rows are the element and text children of the document element; comments
// and processing instructions between them are not rows.
bool IsRow(const pugi::xml_node& node) {
  return node.type() != pugi::node_comment && node.type() != pugi::node_pi &&
         node.type() != pugi::node_declaration && node.type() != pugi::node_doctype;
}

pugi::xml_node RowFrom(pugi::xml_node node) {
  while (node && !IsRow(node)) node = node.next_sibling();
  return node;
}

std::atomic<bool> g_failNextCreation{false};

XmlParserVersion ReadXmlParserSetting() {
  std::string version =
      ReadMachineString("SOFTWARE\\Quorvia\\Quorvia\\Providers\\Store", "XML Version");
  if (!version.empty() && version[0] == '4') return XmlParserVersion::V40;
  if (!version.empty() && version[0] == '6') return XmlParserVersion::V60;
  return XmlParserVersion::V30;
}

void ReportCreationFailure(int errorCode) {
  char message[64];
  std::snprintf(message, sizeof message, "[%d] Error creating DOM instance", errorCode);
  ReportSystemEvent(kEventInformation, "Quorvia", nullptr, kEventIdInformation, message);
  std::printf(
      "Quorvia Folder Indexing Library is not compatible with the version of XML installed on "
      "this computer");
  std::fflush(stdout);
}

// A fresh, empty document, or null after reporting why not.
std::unique_ptr<pugi::xml_document> CreateDocument() {
  (void)SelectedXmlParser();
  if (g_failNextCreation.exchange(false)) {
    ReportCreationFailure(ENOMEM);
    return nullptr;
  }
  std::unique_ptr<pugi::xml_document> document(new (std::nothrow) pugi::xml_document);
  if (!document) ReportCreationFailure(ENOMEM);
  return document;
}

ValueTableHandle& DefaultTable() {
  static ValueTableHandle table;
  return table;
}

ValueTableHandle& Resolve(ValueTableHandle* handle) { return handle ? *handle : DefaultTable(); }

void SetCurrent(ValueTableHandle& table, pugi::xml_node row) {
  table.current = row;
  table.currentRemoved = false;
}

pugi::xml_node FirstRow(const pugi::xml_document& document) {
  return RowFrom(document.document_element().first_child());
}

// Line and column (both from 1) of a byte offset in `text`.
void LineAndColumn(const std::string& text, std::ptrdiff_t offset, long* line, long* column) {
  *line = 1;
  *column = 1;
  if (offset < 0) return;
  std::size_t end = std::min(static_cast<std::size_t>(offset), text.size());
  for (std::size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') {
      ++*line;
      *column = 1;
    } else {
      ++*column;
    }
  }
}

void PrintLoadError(unsigned code, long line, long column, const char* reason) {
  std::printf("Error:\n");
  std::printf("Code = 0x%x\n", code);
  std::printf("Source = Line : %ld; Char : %ld\n", line, column);
  std::printf("Error Description = %s\n", reason);
  std::fflush(stdout);
}

// Reads a whole file into `text`; 0, or the errno of the failure.
int ReadWholeFile(const std::string& path, std::string* text) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  int error = ::fstat(fd, &info) == 0 ? 0 : errno;
  if (error == 0 && S_ISDIR(info.st_mode)) error = EISDIR;
  if (error == 0) {
    text->resize(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    while (true) {
      if (done == text->size()) text->resize(done + 65536);  // the file grew
      ssize_t got = ::read(fd, text->data() + done, text->size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        error = errno;
        break;
      }
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    text->resize(done);
  }
  ::close(fd);
  return error;
}

// Loads an existing file into `document`; true when it loaded and has a
// document element. Prints the parser's diagnostics otherwise.
bool LoadFile(pugi::xml_document& document, const std::string& path) {
  std::string text;
  if (int error = ReadWholeFile(path, &text); error != 0) {
    if (error == ENOENT) return false;  // gone since it was seen: no error
    PrintLoadError(static_cast<unsigned>(error), 0, 0, std::strerror(error));
    return false;
  }
  pugi::xml_parse_result result = document.load_buffer(text.data(), text.size(), kParseOptions);
  if (!result) {
    long line = 0;
    long column = 0;
    LineAndColumn(text, result.offset, &line, &column);
    PrintLoadError(static_cast<unsigned>(result.status), line, column, result.description());
    return false;
  }
  if (!document.document_element()) {
    std::printf(
        "Error: The document \"%s\" was loaded, but the documentElement could not be accessed. "
        "There may be invalid permissions set on this object.\n",
        path.c_str());
    std::fflush(stdout);
    return false;
  }
  return true;
}

// Makes `document` an empty table unless it has a document element already.
bool MakeEmptyTable(pugi::xml_document& document) {
  if (document.document_element()) return true;
  if (!document.append_child(kBaseElement)) {
    std::printf("pCurrentNode->appendChild(pNode) Failed: %ld\n",
                static_cast<long>(LastErrorCode()));
    std::fflush(stdout);
    return false;
  }
  return true;
}

int OpenFileInto(ValueTableHandle& table, const char* path) {
  std::unique_ptr<pugi::xml_document> document = CreateDocument();
  if (!document) return 0;
  table.document = std::move(document);
  table.fileName = path;
  SetCurrent(table, pugi::xml_node());

  struct stat info {};
  bool loaded = ::stat(path, &info) == 0 && LoadFile(*table.document, path);
  if (!loaded) {
    table.document->reset();
    if (!MakeEmptyTable(*table.document)) return 0;
  }
  SetCurrent(table, FirstRow(*table.document));
  return 1;
}

int OpenBufferInto(ValueTableHandle& table, const char* xml) {
  std::unique_ptr<pugi::xml_document> document = CreateDocument();
  if (!document) return 0;
  table.document = std::move(document);
  table.fileName.clear();
  SetCurrent(table, pugi::xml_node());

  pugi::xml_parse_result result = table.document->load_string(xml, kParseOptions);
  if (!result || !table.document->document_element()) {
    table.document->reset();
    if (!MakeEmptyTable(*table.document)) return 0;
  }
  SetCurrent(table, FirstRow(*table.document));
  return 1;
}

// The node of a property of `row`: the child element named `name`, or, for a
// name that is a path rather than a plain name, the first node the relative
// XPath expression selects.
pugi::xpath_node LocateProperty(const pugi::xml_node& row, const char* name) {
  if (IsElementName(name)) return pugi::xpath_node(row.child(name));
  try {
    return row.select_node(name);
  } catch (const pugi::xpath_exception&) {
    return pugi::xpath_node();
  }
}

void PrintNoValue() {
  std::printf("GetXMLNodeString: Node passed does not have a value/text\n");
  std::fflush(stdout);
}

// The value of a property node: the value of its first child (the attribute's
// value for an attribute).
std::string PropertyValue(const pugi::xpath_node& node) {
  if (node.attribute()) {
    if (*node.attribute().value() == '\0') PrintNoValue();
    return node.attribute().value();
  }
  pugi::xml_node first = node.node().first_child();
  if (!first) {
    PrintNoValue();
    return "";
  }
  return first.value();
}

bool IsWhitespaceOnly(const char* text) {
  if (*text == '\0') return false;
  for (; *text; ++text) {
    if (*text != ' ' && *text != '\t' && *text != '\n' && *text != '\r') return false;
  }
  return true;
}

// Sets the text of a property element. A value of whitespace only is kept as
// CDATA, which every parser preserves; other values as plain text. A value
// with a CR is always plain text, where the CR is written as "&#13;" (in
// CDATA every parser would read it as LF).
bool WritePropertyText(pugi::xml_node element, const char* value) {
  pugi::xml_node first = element.first_child();
  bool keepAsCdata = IsWhitespaceOnly(value) && std::strchr(value, '\r') == nullptr;
  if (first && first.type() != pugi::node_pcdata && first.type() != pugi::node_cdata) {
    return false;  // the property holds elements, not text
  }
  if (first && first.type() != (keepAsCdata ? pugi::node_cdata : pugi::node_pcdata)) {
    element.remove_child(first);
    first = pugi::xml_node();
  }
  if (!first) {
    first = element.prepend_child(keepAsCdata ? pugi::node_cdata : pugi::node_pcdata);
    if (!first) return false;
  }
  return first.set_value(value);
}

}  // namespace

XmlParserVersion SelectedXmlParser() {
  static const XmlParserVersion version = ReadXmlParserSetting();
  return version;
}

bool IsElementName(std::string_view name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c >= 0x80;
    bool other = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!(letter || (i > 0 && other))) return false;
  }
  // "xml" in any case is reserved, but reading such names is harmless and
  // files written elsewhere may use them.
  return IsXmlText(name);
}

bool IsXmlText(std::string_view text) { return qvaiso::IsXmlText(text); }

void FailNextDocumentCreationForTesting() { g_failNextCreation = true; }

}  // namespace qvaiso::valuetable

using namespace qvaiso::valuetable;

// Every export catches everything: no exception leaves the library.
#define QV_GUARD(body)   \
  try {                  \
    body                 \
  } catch (...) {        \
    return 0;            \
  }

int ValueTable_OpenFile(const char* path, ValueTableHandle** handle) {
  QV_GUARD({
    if (path == nullptr) return 0;
    if (handle == nullptr) return OpenFileInto(DefaultTable(), path);
    if (*handle != nullptr) return OpenFileInto(**handle, path);
    std::unique_ptr<ValueTableHandle> created(new (std::nothrow) ValueTableHandle);
    if (!created || !OpenFileInto(*created, path)) return 0;
    *handle = created.release();
    return 1;
  })
}

int ValueTable_OpenBuffer(const char* xml, const char* /*reserved*/, ValueTableHandle* handle) {
  QV_GUARD({
    if (xml == nullptr) return 0;
    return OpenBufferInto(Resolve(handle), xml);
  })
}

int ValueTable_FindFirstRow(ValueTableHandle* handle) {
  QV_GUARD({
    ValueTableHandle& table = Resolve(handle);
    if (!table.document) return 0;
    SetCurrent(table, FirstRow(*table.document));
    return table.current ? 1 : 0;
  })
}

int ValueTable_FindNextRow(ValueTableHandle* handle) {
  QV_GUARD({
    ValueTableHandle& table = Resolve(handle);
    if (!table.current) return 0;
    // A removed row has no siblings any more.
    SetCurrent(table, table.currentRemoved ? pugi::xml_node() : RowFrom(table.current.next_sibling()));
    return table.current ? 1 : 0;
  })
}

int ValueTable_SetRowByPropValue(const char* name, const char* value, ValueTableHandle* handle) {
  QV_GUARD({
    ValueTableHandle& table = Resolve(handle);
    SetCurrent(table, pugi::xml_node());
    if (!table.document || name == nullptr || value == nullptr) return 0;
    // The value is bound as an XPath variable: it is compared as data and can
    // never change the structure of the expression, whatever quotes it holds.
    pugi::xpath_variable_set variables;
    if (!variables.set("value", FromCaller(value).c_str())) return 0;
    std::string expression =
        std::string(kBaseElement) + "/" + kRowElement + "[" + FromCaller(name) + "=$value]";
    try {
      pugi::xpath_query query(expression.c_str(), &variables);
      SetCurrent(table, table.document->select_node(query).node());
    } catch (const pugi::xpath_exception&) {
      return 0;
    }
    return table.current ? 1 : 0;
  })
}

int ValueTable_GetProperty(const char* name, char** text, int* length, int attribute,
                           ValueTableHandle* handle) {
  QV_GUARD({
    if (text == nullptr) return 0;
    *text = nullptr;
    ValueTableHandle& table = Resolve(handle);
    if (name == nullptr || !table.current) return 0;
    const std::string propertyName = FromCaller(name);
    pugi::xpath_node node =
        attribute ? pugi::xpath_node(table.current.attribute(propertyName.c_str()), table.current)
                  : LocateProperty(table.current, propertyName.c_str());
    if (!node) return 0;
    const std::string value = ToCaller(PropertyValue(node), kPropertyBufferSize - 1);
    const std::size_t size = value.size();
    char* buffer = new (std::nothrow) char[kPropertyBufferSize];
    if (buffer == nullptr) return 0;
    std::memcpy(buffer, value.data(), size);
    buffer[size] = '\0';
    *text = buffer;
    if (length != nullptr) *length = static_cast<int>(size);
    return 1;
  })
}

int ValueTable_FreeProperty(char** text) {
  if (text == nullptr) return 0;
  delete[] *text;
  *text = nullptr;
  return 1;
}

int ValueTable_SetProperty(const char* name, const char* value, int /*reserved*/,
                           ValueTableHandle* handle) {
  QV_GUARD({
    ValueTableHandle& table = Resolve(handle);
    if (!table.current || table.current.type() != pugi::node_element) return 0;
    if (name == nullptr || value == nullptr) return 0;
    // A value with a character XML cannot hold is refused: it could not be
    // saved and read back.
    const std::string text = FromCaller(value);
    const std::string propertyName = FromCaller(name);
    if (!IsXmlText(text)) return 0;

    pugi::xml_node element;
    if (IsElementName(propertyName)) {
      element = table.current.child(propertyName.c_str());
      if (!element) element = table.current.append_child(propertyName.c_str());
    } else {
      element = LocateProperty(table.current, propertyName.c_str()).node();  // a path to an existing element
    }
    if (!element || element.type() != pugi::node_element) return 0;
    return WritePropertyText(element, text.c_str()) ? 1 : 0;
  })
}

int ValueTable_AddRow(ValueTableHandle* handle) {
  QV_GUARD({
    ValueTableHandle& table = Resolve(handle);
    if (!table.document) return 0;
    pugi::xml_node base = table.document->child(kBaseElement);
    if (!base) return 0;
    pugi::xml_node row = base.append_child(kRowElement);
    if (!row) return 0;
    SetCurrent(table, row);
    return 1;
  })
}

int ValueTable_DeleteRow(ValueTableHandle* handle) {
  QV_GUARD({
    ValueTableHandle& table = Resolve(handle);
    if (!table.current || table.currentRemoved) return 0;
    pugi::xml_node parent = table.current.parent();
    if (!parent) return 0;
    // Keep a detached copy as the current row before the node is destroyed.
    table.removedRow.reset();
    pugi::xml_node detached = table.removedRow.append_copy(table.current);
    if (!detached || !parent.remove_child(table.current)) return 0;
    table.current = detached;
    table.currentRemoved = true;
    return 1;
  })
}

int ValueTable_Save(ValueTableHandle* handle) {
  QV_GUARD({
    ValueTableHandle& table = Resolve(handle);
    if (!table.document || table.fileName.empty()) return 0;
    return qvaiso::WriteFileAtomically(table.fileName, qvaiso::XmlFileText(*table.document)) ? 1 : 0;
  })
}

int ValueTable_Close(ValueTableHandle* /*handle*/) { return 1; }

int ValueTable_Free(ValueTableHandle* handle) {
  delete handle;
  return 1;
}

int ValueTable_DeleteFile(const char* path) {
  if (path == nullptr) return 0;
  return ::unlink(path) == 0 ? 1 : 0;
}
