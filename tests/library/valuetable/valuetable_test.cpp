#include "library/valuetable/valuetable.h"

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "library/support/messages.h"
#include "library/valuetable/valuetable_internal.h"
#include "platform/eventlog/eventlog.h"
#include "tests/common/test_support.h"

namespace {

using qv::testing::ReadFile;
using qv::testing::TempDir;
using qv::testing::WriteFile;

// Owns one handle for the length of a test.
class Table {
 public:
  ~Table() { ValueTable_Free(handle_); }
  ValueTableHandle* get() { return handle_; }
  ValueTableHandle** address() { return &handle_; }

  // The property's text, or nullopt when the call gives 0.
  std::optional<std::string> Get(const char* name, int attribute = 0) {
    char* text = reinterpret_cast<char*>(1);
    int length = -1;
    if (!ValueTable_GetProperty(name, &text, &length, attribute, handle_)) {
      EXPECT_EQ(text, nullptr);
      return std::nullopt;
    }
    std::string value(text);
    EXPECT_EQ(length, static_cast<int>(value.size()));
    EXPECT_EQ(ValueTable_FreeProperty(&text), 1);
    EXPECT_EQ(text, nullptr);
    return value;
  }

  void AddRow(const std::vector<std::pair<const char*, const char*>>& properties) {
    ASSERT_EQ(ValueTable_AddRow(handle_), 1);
    for (const auto& [name, value] : properties) {
      ASSERT_EQ(ValueTable_SetProperty(name, value, 0, handle_), 1) << name;
    }
  }

  // The values of one property over all rows, in walking order.
  std::vector<std::string> Column(const char* name) {
    std::vector<std::string> values;
    for (int more = ValueTable_FindFirstRow(handle_); more; more = ValueTable_FindNextRow(handle_)) {
      values.push_back(Get(name).value_or("<none>"));
    }
    return values;
  }

 private:
  ValueTableHandle* handle_ = nullptr;
};

TEST(ValueTable, MissingFileOpensEmptyAndSavesAnEmptyBaseElement) {
  TempDir dir;
  std::string path = dir.File("table.xml");
  Table table;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
  ASSERT_NE(table.get(), nullptr);
  EXPECT_EQ(ValueTable_FindFirstRow(table.get()), 0);
  EXPECT_EQ(ValueTable_FindNextRow(table.get()), 0);
  ASSERT_EQ(ValueTable_Save(table.get()), 1);

  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_file(path.c_str()));
  EXPECT_STREQ(saved.document_element().name(), "BASEELEMENT");
  EXPECT_FALSE(saved.document_element().first_child());
}

TEST(ValueTable, RowsAreWalkedInTheOrderAddedAndSurviveSaveAndReopen) {
  TempDir dir;
  std::string path = dir.File("table.xml");
  {
    Table table;
    ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
    table.AddRow({{"NAME", "first"}, {"ID", "1"}});
    table.AddRow({{"NAME", "second"}, {"ID", "2"}});
    EXPECT_EQ(table.Column("NAME"), (std::vector<std::string>{"first", "second"}));
    ASSERT_EQ(ValueTable_Save(table.get()), 1);
  }
  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_file(path.c_str()));
  pugi::xml_node row = saved.child("BASEELEMENT").child("ELEMENT");
  EXPECT_STREQ(row.child_value("NAME"), "first");
  EXPECT_STREQ(row.next_sibling("ELEMENT").child_value("ID"), "2");

  Table reopened;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), reopened.address()), 1);
  EXPECT_EQ(reopened.Get("NAME"), "first");  // current row is the first row
  EXPECT_EQ(reopened.Column("ID"), (std::vector<std::string>{"1", "2"}));
}

TEST(ValueTable, SetRowByPropValueFindsTheFirstMatchOrLeavesNoCurrentRow) {
  Table table;
  ASSERT_EQ(ValueTable_OpenFile("/nonexistent-dir/x.xml", table.address()), 1);
  ASSERT_EQ(ValueTable_OpenBuffer(
                "<BASEELEMENT><ELEMENT><K>a</K><V>1</V></ELEMENT><ELEMENT><K>b</K><V>2</V></ELEMENT>"
                "<ELEMENT><K>b</K><V>3</V></ELEMENT></BASEELEMENT>",
                nullptr, table.get()),
            1);
  ASSERT_EQ(ValueTable_SetRowByPropValue("K", "b", table.get()), 1);
  EXPECT_EQ(table.Get("V"), "2");
  EXPECT_EQ(ValueTable_FindNextRow(table.get()), 1);
  EXPECT_EQ(table.Get("V"), "3");

  EXPECT_EQ(ValueTable_SetRowByPropValue("K", "zzz", table.get()), 0);
  EXPECT_EQ(table.Get("V"), std::nullopt);
  EXPECT_EQ(ValueTable_SetProperty("V", "9", 0, table.get()), 0);
  EXPECT_EQ(ValueTable_DeleteRow(table.get()), 0);
  EXPECT_EQ(ValueTable_FindNextRow(table.get()), 0);
  EXPECT_EQ(ValueTable_SetRowByPropValue("K", nullptr, table.get()), 0);
  EXPECT_EQ(ValueTable_SetRowByPropValue("K[", "a", table.get()), 0);  // malformed name
}

TEST(ValueTable, QuotesInASearchedValueAreDataNotExpression) {
  Table table;
  ASSERT_EQ(ValueTable_OpenFile("/nonexistent-dir/x.xml", table.address()), 1);
  table.AddRow({{"K", "plain"}});
  table.AddRow({{"K", "say \"hi\""}});
  table.AddRow({{"K", "it's"}});
  table.AddRow({{"K", "both \" and '"}});

  ASSERT_EQ(ValueTable_SetRowByPropValue("K", "say \"hi\"", table.get()), 1);
  EXPECT_EQ(table.Get("K"), "say \"hi\"");
  ASSERT_EQ(ValueTable_SetRowByPropValue("K", "it's", table.get()), 1);
  EXPECT_EQ(table.Get("K"), "it's");
  ASSERT_EQ(ValueTable_SetRowByPropValue("K", "both \" and '", table.get()), 1);
  EXPECT_EQ(table.Get("K"), "both \" and '");
  // A value crafted to widen the predicate matches nothing.
  EXPECT_EQ(ValueTable_SetRowByPropValue("K", "x\" or \"1\"=\"1", table.get()), 0);
  EXPECT_EQ(ValueTable_SetRowByPropValue("K", "x' or '1'='1", table.get()), 0);
}

TEST(ValueTable, GetPropertyOfAMissingPropertyGivesZeroAndNullText) {
  Table table;
  ASSERT_EQ(ValueTable_OpenFile("/nonexistent-dir/x.xml", table.address()), 1);
  table.AddRow({{"A", "1"}});
  EXPECT_EQ(table.Get("B"), std::nullopt);
  EXPECT_EQ(ValueTable_GetProperty("A", nullptr, nullptr, 0, table.get()), 0);
}

TEST(ValueTable, LongValuesAreCutTo1023BytesAndNeverInsideACharacter) {
  Table table;
  ASSERT_EQ(ValueTable_OpenFile("/nonexistent-dir/x.xml", table.address()), 1);
  std::string ascii(1500, 'x');
  ascii[1022] = 'L';
  table.AddRow({{"A", ascii.c_str()}});
  EXPECT_EQ(table.Get("A"), ascii.substr(0, 1023));

  // The limit counts bytes of the code page: "é" is one byte in Windows-1252
  // (two in the document's UTF-8), so it fits as the 1023rd.
  std::string accented = std::string(1022, 'x') + "\xE9" + "tail";
  ASSERT_EQ(ValueTable_SetProperty("B", accented.c_str(), 0, table.get()), 1);
  EXPECT_EQ(table.Get("B"), std::string(1022, 'x') + "\xE9");

  // In a code page of two-byte characters, a character the cut would split
  // is left out.
  qv::testing::ScopedEnv japanese("QUORVIA_CODEPAGE", "CP932");
  std::string wide = std::string(1022, 'x') + "\x93\xfa" + "tail";  // "日"
  ASSERT_EQ(ValueTable_SetProperty("C", wide.c_str(), 0, table.get()), 1);
  EXPECT_EQ(table.Get("C"), std::string(1022, 'x'));
}

TEST(ValueTable, SettingAnExistingPropertyReplacesItsText) {
  TempDir dir;
  std::string path = dir.File("t.xml");
  Table table;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
  table.AddRow({{"A", "old"}});
  ASSERT_EQ(ValueTable_SetProperty("A", "new", 0, table.get()), 1);
  EXPECT_EQ(table.Get("A"), "new");
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  pugi::xml_document saved;
  ASSERT_TRUE(saved.load_file(path.c_str()));
  pugi::xml_node row = saved.child("BASEELEMENT").child("ELEMENT");
  EXPECT_EQ(std::distance(row.children("A").begin(), row.children("A").end()), 1);
  EXPECT_STREQ(row.child_value("A"), "new");
}

TEST(ValueTable, DeleteRowKeepsTheDetachedRowUntilTheWalkRestarts) {
  Table table;
  ASSERT_EQ(ValueTable_OpenBuffer("<BASEELEMENT><ELEMENT><N>1</N></ELEMENT><ELEMENT><N>2</N>"
                                  "</ELEMENT><ELEMENT><N>3</N></ELEMENT></BASEELEMENT>",
                                  nullptr, nullptr),
            1);
  // The default table serves null handles.
  ASSERT_EQ(ValueTable_SetRowByPropValue("N", "1", nullptr), 1);
  ASSERT_EQ(ValueTable_DeleteRow(nullptr), 1);
  char* text = nullptr;
  ASSERT_EQ(ValueTable_GetProperty("N", &text, nullptr, 0, nullptr), 1);  // still readable
  EXPECT_STREQ(text, "1");
  ValueTable_FreeProperty(&text);
  EXPECT_EQ(ValueTable_DeleteRow(nullptr), 0);  // already removed
  EXPECT_EQ(ValueTable_FindNextRow(nullptr), 0);
  ASSERT_EQ(ValueTable_FindFirstRow(nullptr), 1);
  ASSERT_EQ(ValueTable_GetProperty("N", &text, nullptr, 0, nullptr), 1);
  EXPECT_STREQ(text, "2");
  ValueTable_FreeProperty(&text);
}

TEST(ValueTable, BufferTablesReadAttributesAndRefuseToSave) {
  Table table;
  ASSERT_EQ(ValueTable_OpenFile("/nonexistent-dir/x.xml", table.address()), 1);
  ASSERT_EQ(ValueTable_OpenBuffer("<BASEELEMENT><ELEMENT id='7'><A/></ELEMENT></BASEELEMENT>",
                                  nullptr, table.get()),
            1);
  EXPECT_EQ(table.Get("id", 1), "7");
  EXPECT_EQ(table.Get("id", 0), std::nullopt);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(table.Get("A"), "");  // an element without text
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "GetXMLNodeString: Node passed does not have a value/text\n");
  ASSERT_EQ(ValueTable_SetProperty("A", "set", 0, table.get()), 1);
  EXPECT_EQ(ValueTable_Save(table.get()), 0);  // no file name

  // Text that does not parse gives an empty table.
  ASSERT_EQ(ValueTable_OpenBuffer("<BASEELEMENT><oops></BASEELEMENT>", nullptr, table.get()), 1);
  EXPECT_EQ(ValueTable_FindFirstRow(table.get()), 0);
  EXPECT_EQ(ValueTable_AddRow(table.get()), 1);
  EXPECT_EQ(ValueTable_OpenBuffer(nullptr, nullptr, table.get()), 0);
}

TEST(ValueTable, AFileThatDoesNotParsePrintsTheParserErrorAndOpensEmpty) {
  TempDir dir;
  std::string path = dir.File("bad.xml");
  ASSERT_TRUE(WriteFile(path, "<BASEELEMENT>\n  <ELEMENT>\n</BASEELEMENT>"));
  Table table;
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("Error:\nCode = 0x", 0), 0u) << out;
  EXPECT_NE(out.find("\nSource = Line : 3; Char : 3\nError Description = "), std::string::npos)
      << out;
  EXPECT_EQ(ValueTable_FindFirstRow(table.get()), 0);
}

TEST(ValueTable, FailedSaveReturnsZeroAndKeepsTheOldFile) {
  TempDir dir;
  std::string path = dir.File("t.xml");
  Table table;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
  table.AddRow({{"A", "1"}});
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  std::string before = ReadFile(path);

  ASSERT_EQ(ValueTable_SetProperty("A", "2", 0, table.get()), 1);
  if (::geteuid() != 0) {  // root writes into a read-only folder anyway
    ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
    EXPECT_EQ(ValueTable_Save(table.get()), 0);
    EXPECT_EQ(ReadFile(path), before);
    ::chmod(dir.path().c_str(), 0700);
  }

  // A path whose folder does not exist cannot be saved either.
  Table elsewhere;
  ASSERT_EQ(ValueTable_OpenFile(dir.File("no/such/t.xml").c_str(), elsewhere.address()), 1);
  EXPECT_EQ(ValueTable_Save(elsewhere.get()), 0);
  // No temporary file is left behind.
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1);
}

TEST(ValueTable, ASaveCutShortLeavesTheOldFileWhole) {
  TempDir dir;
  std::string path = dir.File("t.xml");
  Table table;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
  table.AddRow({{"A", "old"}});
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  std::string before = ReadFile(path);
  ASSERT_EQ(ValueTable_SetProperty("A", "new", 0, table.get()), 1);
  for (long cut : {0L, 1L, 30L, static_cast<long>(before.size()) - 1}) {
    qvaiso::FailAtomicWritesAfterForTesting(cut);
    EXPECT_EQ(ValueTable_Save(table.get()), 0) << cut;
    qvaiso::FailAtomicWritesAfterForTesting(-1);
    EXPECT_EQ(ReadFile(path), before) << cut;
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  EXPECT_NE(ReadFile(path).find("<A>new</A>"), std::string::npos);
}

TEST(ValueTable, NamesAndValuesAFileCannotHoldAreRefused) {
  TempDir dir;
  std::string path = dir.File("t.xml");
  Table table;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
  ASSERT_EQ(ValueTable_AddRow(table.get()), 1);
  EXPECT_EQ(ValueTable_SetProperty("two words", "v", 0, table.get()), 0);
  EXPECT_EQ(ValueTable_SetProperty("1st", "v", 0, table.get()), 0);
  // Control characters have no place in an XML 1.0 file: refused.
  EXPECT_EQ(ValueTable_SetProperty("A", "\x01", 0, table.get()), 0);
  EXPECT_EQ(ValueTable_SetProperty("A", "a\x1b[0m", 0, table.get()), 0);
  // What is accepted comes back byte for byte after a save and reopen; texts
  // are in the system code page (Windows-1252 here: "é", "€", "Ã").
  const char* kept = "  <&>\"' \xE9\x80\xC3\r\n end\r  ";
  ASSERT_EQ(ValueTable_SetProperty("A", kept, 0, table.get()), 1);
  ASSERT_EQ(ValueTable_SetProperty("B", "   ", 0, table.get()), 1);
  ASSERT_EQ(ValueTable_SetProperty("C", " \r\n ", 0, table.get()), 1);
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  Table reopened;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), reopened.address()), 1);
  EXPECT_EQ(reopened.Get("A"), kept);
  EXPECT_EQ(reopened.Get("B"), "   ");
  EXPECT_EQ(reopened.Get("C"), " \r\n ");
}

// What python3's XML parser reads from a value table: one line per property,
// "name=hex of its UTF-8 value"; "ERROR ..." when the file does not parse.
std::string ReadByPython(const std::string& path) {
  const std::string command =
      "PYTHONIOENCODING=utf-8 python3 -c 'import sys, xml.etree.ElementTree as E\n"
      "try:\n"
      "  root = E.parse(sys.argv[1]).getroot()\n"
      "except Exception as e:\n"
      "  print(\"ERROR\", e); sys.exit(0)\n"
      "for row in root:\n"
      "  for p in row: print(p.tag + \"=\" + (p.text or \"\").encode(\"utf-8\").hex())\n' " +
      path;
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
    pclose(pipe);
  }
  return output;
}

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

TEST(ValueTable, AStandardParserReadsTheSavedFileToTheSameValues) {
  TempDir dir;
  const std::string path = dir.File("t.xml");
  Table table;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
  table.AddRow({{"Name", "caf\xE9"}, {"Text", "a<&>b\rc\r\nd\te"}, {"Blank", " \r "}});
  table.AddRow({{"caf\xE9", "\x80 100"}});
  EXPECT_EQ(ValueTable_SetProperty("Bad", "bell\x07", 0, table.get()), 0);
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  // The values as UTF-8: "é" C3 A9, "€" E2 82 AC; every CR kept.
  EXPECT_EQ(ReadByPython(path), "Name=" + Hex("caf\xC3\xA9") + "\n" +
                                    "Text=" + Hex("a<&>b\rc\r\nd\te") + "\n" +
                                    "Blank=" + Hex(" \r ") + "\n" +
                                    "caf\xC3\xA9=" + Hex("\xE2\x82\xAC 100") + "\n");
  // And this library reads it back to the caller's bytes.
  Table reopened;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), reopened.address()), 1);
  EXPECT_EQ(reopened.Get("Text"), "a<&>b\rc\r\nd\te");
  EXPECT_EQ(ValueTable_SetRowByPropValue("Name", "caf\xE9", reopened.get()), 1);
}

TEST(ValueTable, LineEndsAreReadAsEveryParserReadsThemAndMarkupOutsideRowsSurvives) {
  TempDir dir;
  const std::string path = dir.File("t.xml");
  ASSERT_TRUE(WriteFile(path,
                        "<?xml version=\"1.0\"?>\r\n"
                        "<!DOCTYPE BASEELEMENT>\r\n"
                        "<!-- kept by hand -->\r\n"
                        "<?app hint?>\r\n"
                        "<BASEELEMENT>\r\n"
                        "  <!-- the first row -->\r\n"
                        "  <ELEMENT><A>one\r\ntwo\rthree</A></ELEMENT>\r\n"
                        "  <ELEMENT><A>2</A></ELEMENT>\r\n"
                        "</BASEELEMENT>\r\n"));
  Table table;
  ASSERT_EQ(ValueTable_OpenFile(path.c_str(), table.address()), 1);
  EXPECT_EQ(table.Column("A"), (std::vector<std::string>{"one\ntwo\nthree", "2"}));
  ASSERT_EQ(ValueTable_FindFirstRow(table.get()), 1);
  ASSERT_EQ(ValueTable_SetProperty("B", "x", 0, table.get()), 1);
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  const std::string saved = ReadFile(path);
  for (const char* kept : {"<!DOCTYPE BASEELEMENT>", "<!-- kept by hand -->", "<?app hint?>",
                           "<!-- the first row -->"}) {
    EXPECT_NE(saved.find(kept), std::string::npos) << kept << "\n" << saved;
  }
  EXPECT_EQ(ReadByPython(path), "A=" + Hex("one\ntwo\nthree") + "\nB=" + Hex("x") + "\nA=" +
                                    Hex("2") + "\n");
}

TEST(ValueTable, SavesKeepTheFilesModeAndWriteThroughASymbolicLink) {
  TempDir dir;
  const std::string target = dir.File("real.xml");
  const std::string link = dir.File("link.xml");
  {
    Table table;
    ASSERT_EQ(ValueTable_OpenFile(target.c_str(), table.address()), 1);
    table.AddRow({{"A", "1"}});
    ASSERT_EQ(ValueTable_Save(table.get()), 1);
  }
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  ASSERT_EQ(symlink("real.xml", link.c_str()), 0);  // relative, as links usually are
  Table table;
  ASSERT_EQ(ValueTable_OpenFile(link.c_str(), table.address()), 1);
  ASSERT_EQ(ValueTable_SetProperty("A", "2", 0, table.get()), 1);
  ASSERT_EQ(ValueTable_Save(table.get()), 1);
  struct stat info {};
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(stat(target.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  Table reread;
  ASSERT_EQ(ValueTable_OpenFile(target.c_str(), reread.address()), 1);
  EXPECT_EQ(reread.Get("A"), "2");
  // Nothing else was left in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            2);
}

TEST(ValueTable, ParserCreationFailureIsReportedAndOpenFails) {
  qv::eventlog::ScopedCapture capture;
  qvaiso::valuetable::FailNextDocumentCreationForTesting();
  ValueTableHandle* handle = nullptr;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(ValueTable_OpenFile("/nonexistent-dir/x.xml", &handle), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Quorvia Folder Indexing Library is not compatible with the version of XML installed "
            "on this computer");
  EXPECT_EQ(handle, nullptr);
  auto entries = capture.sink().entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].eventId, 0x40000001u);
  EXPECT_EQ(entries[0].source, "Quorvia");
  ASSERT_EQ(entries[0].strings.size(), 2u);
  EXPECT_EQ(entries[0].strings[1], "[12] Error creating DOM instance");
}

TEST(ValueTable, DeleteFileAndNullArguments) {
  TempDir dir;
  std::string path = dir.File("t.xml");
  ASSERT_TRUE(WriteFile(path, "<BASEELEMENT/>"));
  EXPECT_EQ(ValueTable_DeleteFile(path.c_str()), 1);
  EXPECT_EQ(ValueTable_DeleteFile(path.c_str()), 0);
  EXPECT_EQ(ValueTable_DeleteFile(nullptr), 0);
  EXPECT_EQ(ValueTable_OpenFile(nullptr, nullptr), 0);
  EXPECT_EQ(ValueTable_FreeProperty(nullptr), 0);
  EXPECT_EQ(ValueTable_Free(nullptr), 1);
  EXPECT_EQ(ValueTable_Close(nullptr), 1);
}

TEST(ValueTableNames, ElementNamesAndXmlText) {
  using qvaiso::valuetable::IsElementName;
  using qvaiso::valuetable::IsXmlText;
  EXPECT_TRUE(IsElementName("NAME_1.x-y"));
  EXPECT_TRUE(IsElementName("\xC3\xA9t\xC3\xA9"));
  EXPECT_FALSE(IsElementName(""));
  EXPECT_FALSE(IsElementName("-a"));
  EXPECT_FALSE(IsElementName("a:b"));
  EXPECT_FALSE(IsElementName("a/b"));
  EXPECT_TRUE(IsXmlText("\t\n\r \xF0\x9F\x98\x80"));
  EXPECT_FALSE(IsXmlText("\xED\xA0\x80"));  // a surrogate
  EXPECT_FALSE(IsXmlText("\xEF\xBF\xBE"));  // U+FFFE
  EXPECT_FALSE(IsXmlText("\xF4\x90\x80\x80"));  // past U+10FFFF
}

}  // namespace
