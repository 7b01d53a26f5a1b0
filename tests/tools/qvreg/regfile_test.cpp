// The .reg reader and writer on their own, without a hive.
#include "tools/qvreg/regfile.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>
#include <vector>

namespace qv::regfile {
namespace {

using registry::Change;
using registry::Hive;
using registry::NamedValue;
using registry::Value;
using registry::ValueType;

std::string Bytes(std::initializer_list<int> bytes) {
  std::string out;
  for (int b : bytes) out.push_back(static_cast<char>(b));
  return out;
}

Value Dword(uint32_t n) { return Value{ValueType::Dword, Bytes({int(n & 255), int(n >> 8 & 255), int(n >> 16 & 255), int(n >> 24)})}; }

// UTF-8 to another encoding, independently of the code under test.
std::string Encode(const std::string& utf8, const char* to) {
  iconv_t cd = iconv_open(to, "UTF-8");
  std::string out(utf8.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t in_left = utf8.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  iconv(cd, &in, &in_left, &dst, &dst_left);
  iconv_close(cd);
  out.resize(out.size() - dst_left);
  return out;
}

Document MustParse(const std::string& text) {
  Document document;
  ParseError error;
  EXPECT_TRUE(Parse(text, &document, &error)) << "line " << error.line << ": " << error.message;
  return document;
}

// Every value form regedit writes, with comments, blank lines and CR LF.
const char kAllForms[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; the add-in's settings\r\n"
    "[HKEY_CURRENT_USER\\Software\\Quorvia\\Outlook Sync]\r\n"
    "@=\"default text\"\r\n"
    "\"Quoted \\\"name\\\"\"=\"C:\\\\Mail \\\"root\\\"\"\r\n"
    "\"Port\"=dword:0000000a\r\n"
    "\"Big\"=DWORD:FFFFFFFF\r\n"
    "\"Blob\"=hex:00,01,fe,\\\r\n"
    "  FF\r\n"
    "\"Path\"=hex(2):25,00,41,00,25,00,00,00\r\n"
    "\"List\"=hex(7):61,00,00,00,e9,00,00,00,00,00\r\n"
    "\"Gone\"=-\r\n"
    "\r\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Quorvia\\Old]\r\n"
    "[HKLM\\SOFTWARE\\Quorvia\\Quorvia\\]\r\n"
    "\"Application Directory\"=\"/opt/quorvia\"\r\n";

TEST(RegFileParse, ReadsEveryValueFormInFileOrder) {
  Document document = MustParse(kAllForms);
  EXPECT_EQ(document.format, Format::Regedit5);
  const std::string key = "Software\\Quorvia\\Outlook Sync";
  struct Expected {
    Hive hive;
    Change::Kind kind;
    std::string path, name;
    Value value;
    int line;
  };
  const std::vector<Expected> expected = {
      {Hive::CurrentUser, Change::Kind::CreateKey, key, "", {}, 4},
      {Hive::CurrentUser, Change::Kind::SetValue, key, "", {ValueType::String, "default text"}, 5},
      {Hive::CurrentUser, Change::Kind::SetValue, key, "Quoted \"name\"", {ValueType::String, "C:\\Mail \"root\""}, 6},
      {Hive::CurrentUser, Change::Kind::SetValue, key, "Port", Dword(10), 7},
      {Hive::CurrentUser, Change::Kind::SetValue, key, "Big", Dword(0xFFFFFFFF), 8},
      {Hive::CurrentUser, Change::Kind::SetValue, key, "Blob", {ValueType::Binary, Bytes({0, 1, 0xfe, 0xff})}, 9},
      {Hive::CurrentUser, Change::Kind::SetValue, key, "Path", {ValueType::ExpandString, "%A%"}, 11},
      {Hive::CurrentUser, Change::Kind::SetValue, key, "List", {ValueType::MultiString, std::string("a\0\xC3\xA9\0", 5)}, 12},
      {Hive::CurrentUser, Change::Kind::DeleteValue, key, "Gone", {}, 13},
      {Hive::LocalMachine, Change::Kind::DeleteTree, "SOFTWARE\\Quorvia\\Old", "", {}, 15},
      {Hive::LocalMachine, Change::Kind::CreateKey, "SOFTWARE\\Quorvia\\Quorvia", "", {}, 16},
      {Hive::LocalMachine, Change::Kind::SetValue, "SOFTWARE\\Quorvia\\Quorvia", "Application Directory",
       {ValueType::String, "/opt/quorvia"}, 17},
  };
  ASSERT_EQ(document.entries.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    const Entry& entry = document.entries[i];
    EXPECT_EQ(entry.hive, expected[i].hive);
    EXPECT_EQ(entry.change.kind, expected[i].kind);
    EXPECT_EQ(entry.change.path, expected[i].path);
    EXPECT_EQ(entry.change.name, expected[i].name);
    EXPECT_EQ(entry.change.value, expected[i].value);
    EXPECT_EQ(entry.line, expected[i].line);
  }
  std::vector<Change> machine = ChangesFor(document, Hive::LocalMachine);
  ASSERT_EQ(machine.size(), 3u);
  EXPECT_EQ(machine[0].kind, Change::Kind::DeleteTree);
  EXPECT_EQ(ChangesFor(document, Hive::CurrentUser).size(), 9u);
}

TEST(RegFileParse, EveryEncodingOfTheSameFileMeansTheSame) {
  const std::string text =
      "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Q]\n"
      "\"Name\"=\"Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80\"\n";
  Document plain = MustParse(text);
  ASSERT_EQ(plain.entries.size(), 2u);
  EXPECT_EQ(plain.entries[1].change.value.data, "Zo\xC3\xAB \xE2\x82\xAC \xF0\x9F\x98\x80");
  for (const std::string& variant : {"\xEF\xBB\xBF" + text, "\xFF\xFE" + Encode(text, "UTF-16LE"),
                                     "\xFE\xFF" + Encode(text, "UTF-16BE")}) {
    Document document = MustParse(variant);
    ASSERT_EQ(document.entries.size(), 2u);
    EXPECT_EQ(document.entries[1].change.value, plain.entries[1].change.value);
  }
}

TEST(RegFileParse, EightBitTextIsUtf8WhenValidElseWindows1252) {
  // A REGEDIT4 file from Windows: 8-bit text and string data in code page 1252.
  Document document = MustParse(
      "REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Caf\xE9]\r\n\"Name\"=\"\x80 5\"\r\n"
      "\"Exp\"=hex(2):25,e9,25,00\r\n\"List\"=hex(7):61,00,81,00,00\r\n");
  EXPECT_EQ(document.format, Format::Regedit4);
  ASSERT_EQ(document.entries.size(), 4u);
  EXPECT_EQ(document.entries[0].change.path, "Software\\Caf\xC3\xA9");
  EXPECT_EQ(document.entries[1].change.value.data, "\xE2\x82\xAC 5");  // The euro sign.
  EXPECT_EQ(document.entries[2].change.value, (Value{ValueType::ExpandString, "%\xC3\xA9%"}));
  // 0x81 is undefined in 1252; Windows maps it to U+0081.
  EXPECT_EQ(document.entries[3].change.value, (Value{ValueType::MultiString, std::string("a\0\xC2\x81\0", 5)}));

  // The same file saved as UTF-8 by an editor on this side.
  Document utf8 = MustParse("REGEDIT4\n[HKEY_CURRENT_USER\\Software\\Caf\xC3\xA9]\n\"Name\"=\"\xE2\x82\xAC 5\"\n");
  ASSERT_EQ(utf8.entries.size(), 2u);
  EXPECT_EQ(utf8.entries[0].change.path, document.entries[0].change.path);
  EXPECT_EQ(utf8.entries[1].change.value, document.entries[1].change.value);
}

TEST(RegFileParse, StringAndListDataKeepTheirTerminatorsStraight) {
  Document document = MustParse(
      "Windows Registry Editor Version 5.00\n[HKCU\\K]\n"
      "\"sz\"=hex(1):61,00,00,00\n"
      "\"empty list\"=hex(7):00,00\n"
      "\"one empty string\"=hex(7):00,00,00,00\n"
      "\"unterminated list\"=hex(7):61,00\n"
      "\"dword as hex\"=hex(4):01,02,03,04\n"
      "\"none\"=hex(0):\n"
      "\"empty binary\"=hex:\n");
  ASSERT_EQ(document.entries.size(), 8u);
  EXPECT_EQ(document.entries[1].change.value, (Value{ValueType::String, "a"}));
  EXPECT_EQ(document.entries[2].change.value, (Value{ValueType::MultiString, ""}));
  EXPECT_EQ(document.entries[3].change.value, (Value{ValueType::MultiString, std::string("\0", 1)}));
  EXPECT_EQ(document.entries[4].change.value, (Value{ValueType::MultiString, std::string("a\0", 2)}));
  EXPECT_EQ(document.entries[5].change.value, Dword(0x04030201));
  EXPECT_EQ(document.entries[6].change.value, (Value{ValueType::None, ""}));
  EXPECT_EQ(document.entries[7].change.value, (Value{ValueType::Binary, ""}));
}

TEST(RegFileParse, FaultsNameTheirLineAndYieldNothing) {
  struct Case {
    std::string text;
    int line;
    std::string message;  // A part of the message.
  };
  const std::string h = "Windows Registry Editor Version 5.00\n\n";
  const std::vector<Case> cases = {
      {"", 1, "first line"},
      {"Windows Registry Editor Version 4.00\n", 1, "first line"},
      {h + "\"a\"=\"b\"\n", 3, "before the first [key]"},
      {h + "[HKEY_CLASSES_ROOT\\x]\n", 3, "HKEY_CLASSES_ROOT"},
      {h + "[HKCU\\a\\\\b]\n", 3, "empty level"},
      {h + "[HKCU\\a\n", 3, "closing ]"},
      {h + "[HKCU\\a] x\n", 3, "after the closing ]"},
      {h + "[-HKEY_CURRENT_USER]\n", 3, "root"},
      {h + "[-HKCU\\a]\n\"v\"=\"x\"\n", 4, "key deletion"},
      {h + "[HKCU\\a]\n\"v\"=\"unterminated\n", 4, "without closing"},
      {h + "[HKCU\\a]\n\"v\"=\"C:\\temp\"\n", 4, "unknown escape"},
      {h + "[HKCU\\a]\n\"v\"=\"x\" y\n", 4, "after the closing"},
      {h + "[HKCU\\a]\n\"v\" \"x\"\n", 4, "expected ="},
      {h + "[HKCU\\a]\n\"v\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {h + "[HKCU\\a]\n\"v\"=dword:\n", 4, "1 to 8 hex digits"},
      {h + "[HKCU\\a]\n\"v\"=dword:12g4\n", 4, "1 to 8 hex digits"},
      {h + "[HKCU\\a]\n\"v\"=hex:01,02,\\\n  03,zz\n", 5, "\"zz\" is not a hex byte"},
      {h + "[HKCU\\a]\n\"v\"=hex:01,,02\n", 4, "empty byte"},
      {h + "[HKCU\\a]\n\"v\"=hex:123\n", 4, "not a hex byte"},
      {h + "[HKCU\\a]\n\"v\"=hex:01,\\", 4, "past the end"},
      {h + "[HKCU\\a]\n\"v\"=hex(4):01,02,03\n", 4, "exactly 4 bytes"},
      {h + "[HKCU\\a]\n\"v\"=hex(b):01,02,03,04,05,06,07,08\n", 4, "hex(b) is not supported"},
      {h + "[HKCU\\a]\n\"v\"=hex(2:00\n", 4, "hex(N)"},
      {h + "[HKCU\\a]\n\"v\"=hex(2):41\n", 4, "odd number"},
      {h + "[HKCU\\a]\n\"v\"=hex(2):00,d8,41,00\n", 4, "not valid UTF-16"},
      {h + "[HKCU\\a]\n\"v\"=text\n", 4, "unknown value data"},
      {h + "[HKCU\\a]\n\"v\\0w\"=\"x\"\n", 4, "NUL"},
      {h + "[HKCU\\a]\nstray words\n", 4, "expected a [key] line"},
      {h + std::string("[HKCU\\a]\n\"v\"=\"a\0b\"\n", 19), 4, "NUL character"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Document document;
    document.entries.resize(3);  // Must come back empty.
    ParseError error;
    EXPECT_FALSE(Parse(c.text, &document, &error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_NE(error.message.find(c.message), std::string::npos) << error.message;
    EXPECT_TRUE(document.entries.empty());
  }
}

TEST(RegFileParse, EncodingFaultsNameTheirLine) {
  ParseError error;
  Document document;
  // An unpaired surrogate on line 3 of a UTF-16LE file.
  std::string utf16 = "\xFF\xFE" + Encode("Windows Registry Editor Version 5.00\r\n\r\n[HKCU\\", "UTF-16LE") +
                      Bytes({0x00, 0xD8}) + Encode("]\r\n", "UTF-16LE");
  EXPECT_FALSE(Parse(utf16, &document, &error));
  EXPECT_EQ(error.line, 3);
  // An odd number of bytes.
  EXPECT_FALSE(Parse("\xFF\xFE" + Encode("Windows Registry Editor Version 5.00\r\n", "UTF-16LE") + "x", &document,
                     &error));
  EXPECT_EQ(error.line, 2);
  // A UTF-8 byte-order mark promises UTF-8.
  EXPECT_FALSE(Parse("\xEF\xBB\xBFWindows Registry Editor Version 5.00\n[HKCU\\a]\n\"v\"=\"\xE9\"\n", &document,
                     &error));
  EXPECT_EQ(error.line, 3);
}

TEST(RegFileKeyName, SplitsHiveAndPath) {
  Hive hive;
  std::string path;
  ASSERT_TRUE(SplitKeyName("hkey_local_machine\\SOFTWARE\\Quorvia\\", &hive, &path));
  EXPECT_EQ(hive, Hive::LocalMachine);
  EXPECT_EQ(path, "SOFTWARE\\Quorvia");
  ASSERT_TRUE(SplitKeyName("HKCU", &hive, &path));
  EXPECT_EQ(hive, Hive::CurrentUser);
  EXPECT_EQ(path, "");
  EXPECT_FALSE(SplitKeyName("HKCUX\\a", &hive, &path));
  EXPECT_FALSE(SplitKeyName("HKU\\a", &hive, &path));
  EXPECT_FALSE(SplitKeyName("HKCU\\a\\\\b", &hive, &path));
}

TEST(RegFileWrite, WritesWhatRegeditWrites) {
  std::vector<KeyValues> keys = {
      {"", {}},
      {"Software\\Q",
       {{"Port", Dword(80)},
        {"", Value{ValueType::String, "d"}},
        {"Say \"hi\"", Value{ValueType::String, "C:\\x \xC3\xA9"}},
        {"Bin", Value{ValueType::Binary, std::string(30, '\xAB')}},
        {"Exp", Value{ValueType::ExpandString, "%A%"}},
        {"List", Value{ValueType::MultiString, std::string("a\0b\0", 4)}},
        {"Lines", Value{ValueType::String, "a\nb"}}}},
  };
  std::string text = Write(Hive::CurrentUser, keys, Encoding::Utf8);
  const std::string bin_line1 = "\"Bin\"=hex:" + [] {
    std::string s;
    for (int i = 0; i < 23; ++i) s += "ab,";
    return s;
  }() + "\\\r\n";
  const std::string bin_line2 = "  ab,ab,ab,ab,ab,ab,ab\r\n";
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_CURRENT_USER]\r\n\r\n"
            "[HKEY_CURRENT_USER\\Software\\Q]\r\n"
            "\"Port\"=dword:00000050\r\n"
            "@=\"d\"\r\n"
            "\"Say \\\"hi\\\"\"=\"C:\\\\x \xC3\xA9\"\r\n" +
                bin_line1 + bin_line2 +
                "\"Exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
                "\"List\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                "\"Lines\"=hex(1):61,00,0a,00,62,00,00,00\r\n"
                "\r\n");
  // No line is longer than regedit's 80 columns.
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    EXPECT_LE(end - start, 80u);
  }
  // The regedit form: UTF-16LE with byte-order mark, otherwise the same text.
  EXPECT_EQ(Write(Hive::CurrentUser, keys, Encoding::Utf16Le), "\xFF\xFE" + Encode(text, "UTF-16LE"));
}

TEST(RegFileWrite, RoundTripsEveryTypeAndAwkwardText) {
  std::vector<NamedValue> values = {
      {"", Value{ValueType::String, ""}},
      {"quote\"back\\slash", Value{ValueType::String, "\"\\\"\\\\ \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80"}},
      {"crlf", Value{ValueType::String, std::string("a\r\nb\0c", 6)}},
      {"name\nwith line", Value{ValueType::Dword, Bytes({1, 2, 3, 4})}},
      {"three bytes", Value{ValueType::Binary, Bytes({1, 2, 3})}},
      {"bin", Value{ValueType::Binary, std::string("\0\xff\x10", 3)}},
      {"empty list", Value{ValueType::MultiString, ""}},
      {"list", Value{ValueType::MultiString, std::string("\0x\0\0", 4)}},
      {"exp", Value{ValueType::ExpandString, "%PATH%;\xC3\xA9"}},
      {"none", Value{ValueType::None, "zz"}},
  };
  std::vector<KeyValues> keys = {{"a]b\\c d", values}, {"a]b\\c d\\\xC3\xA9", {}}};
  for (Encoding encoding : {Encoding::Utf8, Encoding::Utf16Le}) {
    Document document = MustParse(Write(Hive::LocalMachine, keys, encoding));
    std::vector<NamedValue> read;
    std::vector<std::string> created;
    for (const Entry& entry : document.entries) {
      EXPECT_EQ(entry.hive, Hive::LocalMachine);
      if (entry.change.kind == Change::Kind::CreateKey) created.push_back(entry.change.path);
      if (entry.change.kind == Change::Kind::SetValue) read.push_back({entry.change.name, entry.change.value});
    }
    EXPECT_EQ(created, (std::vector<std::string>{"a]b\\c d", "a]b\\c d\\\xC3\xA9"}));
    EXPECT_EQ(read, values);
  }
}

TEST(RegFileWrite, TextThatIsNotUtf8IsTakenAsWindows1252) {
  std::string text = Write(Hive::CurrentUser, {{"K\xE9", {{"n\xE9", Value{ValueType::String, "\x80"}}}}},
                           Encoding::Utf8);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\K\xC3\xA9]\r\n\"n\xC3\xA9\"=\"\xE2\x82\xAC\"\r\n"), std::string::npos)
      << text;
}

}  // namespace
}  // namespace qv::regfile
