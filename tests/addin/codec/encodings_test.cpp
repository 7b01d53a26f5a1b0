#include "addin/codec/encodings.h"

#include <gtest/gtest.h>

#include "addin/codec/strings.h"
#include "tests/common/test_support.h"

namespace {

using qvsync::B64Decode;
using qvsync::B64Encode;
using qvsync::DecodeEncodedWord;
using qvsync::DecodeQuotedPrintable;
using qvsync::EscapeValue;
using qvsync::FormatServerDate;
using qvsync::GetToken;
using qvsync::LocalDateTime;
using qvsync::ParseServerDate;

// Every test runs in the default Western European code page.
class EncodingsTest : public ::testing::Test {
 protected:
  qv::testing::ScopedEnv codepage_{"QUORVIA_CODEPAGE", std::nullopt};
};

TEST(GetToken, CountsPiecesFromOne) {
  EXPECT_EQ(GetToken("a\tb\tc", "\t", 1), "a");
  EXPECT_EQ(GetToken("a\tb\tc", "\t", 3), "c");
  EXPECT_EQ(GetToken("a\tb\tc", "\t", 4), "");
  EXPECT_EQ(GetToken("a\tb\tc", "\t", 0), "");
  EXPECT_EQ(GetToken("a\t\tc", "\t", 2), "");
  EXPECT_EQ(GetToken("x::y", "::", 2), "y");
  EXPECT_EQ(GetToken("aXb", "x", 2), "");  // case-sensitive
  EXPECT_EQ(GetToken("abc", "", 1), "abc");
  EXPECT_EQ(GetToken("", "\t", 1), "");
}

TEST_F(EncodingsTest, EscapeValueExamples) {
  EXPECT_EQ(EscapeValue("a b&c"), "a+b%u0026c");
  EXPECT_EQ(EscapeValue("x=1?y"), "x=1?y");
  EXPECT_EQ(EscapeValue("50%"), "50%u0025");
  EXPECT_EQ(EscapeValue(""), "");
  EXPECT_EQ(EscapeValue("\r\n"), "%u000D%u000A");
  EXPECT_EQ(EscapeValue("\xC3\xA9\xE2\x82\xAC"), "%u00E9%u20AC");
  EXPECT_EQ(EscapeValue("+;|@#\"'"), "%u002B%u003B%u007C%u0040%u0023%u0022%u0027");
  const std::string safe =
      "1234567890ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz:/.?=_-$(){}~";
  EXPECT_EQ(EscapeValue(safe), safe);
}

TEST_F(EncodingsTest, EscapeValueWritesSurrogateHalvesSeparately) {
  EXPECT_EQ(EscapeValue("\xF0\x9F\x98\x80"), "%uD83D%uDE00");  // U+1F600
  EXPECT_EQ(EscapeValue("\xF4\x8F\xBF\xBF"), "%uDBFF%uDFFF");  // U+10FFFF
  EXPECT_EQ(EscapeValue("a\xFF" "b"), "a%uFFFDb");             // an invalid byte
}

TEST_F(EncodingsTest, EscapeValueHasNoLengthLimit) {
  std::string text(40000, 'a');
  text += "&";
  std::string escaped = EscapeValue(text);
  EXPECT_EQ(escaped.size(), 40006u);
  EXPECT_EQ(escaped.substr(40000), "%u0026");
  for (unsigned char c : EscapeValue(std::string(70000, '\x01'))) ASSERT_LT(c, 0x80);
}

TEST_F(EncodingsTest, FormatServerDate) {
  EXPECT_EQ(FormatServerDate({2013, 1, 5, 9, 7, 0}), "2013-01-05-09-07");
  EXPECT_EQ(FormatServerDate({2013, 5, 21, 14, 30, 59}), "2013-05-21-14-30");
  EXPECT_EQ(FormatServerDate({999, 12, 31, 23, 59, 0}), "0999-12-31-23-59");
}

TEST_F(EncodingsTest, ParseServerDate) {
  EXPECT_EQ(ParseServerDate("2013-05-21-14-30", -60), (LocalDateTime{2013, 5, 21, 13, 30, 0}));
  EXPECT_EQ(ParseServerDate("2013-05-21", 0), (LocalDateTime{2013, 5, 21, 0, 0, 0}));
  EXPECT_EQ(ParseServerDate("2013-05-21-14-30-99", 0), (LocalDateTime{2013, 5, 21, 14, 30, 0}));
  EXPECT_EQ(ParseServerDate("2013-12-31-23-30", 45), (LocalDateTime{2014, 1, 1, 0, 15, 0}));
  EXPECT_EQ(ParseServerDate("2013-01-01-00-10", -20), (LocalDateTime{2012, 12, 31, 23, 50, 0}));
}

TEST_F(EncodingsTest, ParseServerDateCarriesOver) {
  EXPECT_EQ(ParseServerDate("2013-13-01", 0), (LocalDateTime{2014, 1, 1, 0, 0, 0}));
  EXPECT_EQ(ParseServerDate("2013-03-00", 0), (LocalDateTime{2013, 2, 28, 0, 0, 0}));
  EXPECT_EQ(ParseServerDate("2012-03-00", 0), (LocalDateTime{2012, 2, 29, 0, 0, 0}));
  EXPECT_EQ(ParseServerDate("2013-00-15", 0), (LocalDateTime{2012, 12, 15, 0, 0, 0}));
  EXPECT_EQ(ParseServerDate("2013-02-31", 0), (LocalDateTime{2013, 3, 3, 0, 0, 0}));
  EXPECT_EQ(ParseServerDate("2013-25-01", 0), (LocalDateTime{2015, 1, 1, 0, 0, 0}));
  EXPECT_EQ(ParseServerDate("2013-05-21-24-75", 0), (LocalDateTime{2013, 5, 22, 1, 15, 0}));
}

TEST_F(EncodingsTest, ParseServerDateFallsBackToNow) {
  // Unreadable dates give the current time; compare with a window around the call.
  for (const char* text : {"", "2013-05-21-14", "2013-05", "abc-05-21", "2013-x-21",
                           "2013-05-21-14-xx", "20000-01-01", "0050-01-01",
                           "9999-12-31-23-59" /* the offset carries it past 9999 */}) {
    LocalDateTime before = qvsync::NowLocal();
    LocalDateTime parsed = ParseServerDate(text, 600);
    LocalDateTime after = qvsync::NowLocal();
    EXPECT_TRUE(parsed == before || parsed == after) << text;
  }
}

TEST_F(EncodingsTest, B64EncodeExamples) {
  EXPECT_EQ(B64Encode("abc"), "YWJj");
  EXPECT_EQ(B64Encode("a"), "YQ==");
  EXPECT_EQ(B64Encode("ab"), "YWI=");
  EXPECT_EQ(B64Encode(""), "");
  std::string line57 = B64Encode(std::string(57, 'x'));
  EXPECT_EQ(line57.size(), 76u);
  EXPECT_EQ(line57.find('\r'), std::string::npos);
  std::string line58 = B64Encode(std::string(58, 'x'));
  ASSERT_EQ(line58.size(), 76u + 2 + 4);
  EXPECT_EQ(line58.substr(76, 2), "\r\n");
  EXPECT_NE(line58.back(), '\n');
  // An exact multiple of 76 characters ends with a line break.
  std::string line114 = B64Encode(std::string(114, 'x'));
  ASSERT_EQ(line114.size(), 152u + 4);
  EXPECT_EQ(line114.substr(76, 2), "\r\n");
  EXPECT_EQ(line114.substr(154), "\r\n");
}

TEST_F(EncodingsTest, B64DecodeIsLenient) {
  EXPECT_EQ(B64Decode("YW\r\nJj"), "abc");
  EXPECT_EQ(B64Decode("YQ=="), "a");
  EXPECT_EQ(B64Decode("YWI="), "ab");
  EXPECT_EQ(B64Decode("Y"), "");
  EXPECT_EQ(B64Decode("YW\nJj"), "abc");  // line breaks as an XML parser leaves them
  EXPECT_EQ(B64Decode("!!!!"), std::string(3, '\0'));
  EXPECT_EQ(B64Decode("Y=W=J=j"), "abc");
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  EXPECT_EQ(B64Decode(B64Encode(bytes)), bytes);
}

TEST_F(EncodingsTest, DecodeEncodedWordExamples) {
  EXPECT_EQ(DecodeEncodedWord("Re: =?iso-8859-1?q?Caf=E9_bar?="), "Re: Caf\xC3\xA9 bar");
  EXPECT_EQ(DecodeEncodedWord("=?utf-8?b?Q2Fmw6k=?="), "=?utf-8?b?Q2Fmw6k=?=");
  EXPECT_EQ(DecodeEncodedWord("plain"), "plain");
  EXPECT_EQ(DecodeEncodedWord(" ?= before =? "), " ?= before =? ");
  // Only what is an encoded word is one.
  EXPECT_EQ(DecodeEncodedWord("x=?y?=z"), "x=?y?=z");
  EXPECT_EQ(DecodeEncodedWord("=?x?q?=E9t"), "=?x?q?=E9t");
  EXPECT_EQ(DecodeEncodedWord("Why? =?utf-8?q?x y?="), "Why? =?utf-8?q?x y?=");
  EXPECT_EQ(DecodeEncodedWord("=?a;b?q?x?= =?u?qq?x?= =?\xC3\xA9?q?x?="), "=?a;b?q?x?= =?u?qq?x?= =?\xC3\xA9?q?x?=");
  EXPECT_EQ(DecodeEncodedWord("=?x?z?raw?="), "raw");
}

// Each word in the character set it names; spaces next to plain words kept,
// spaces between two words dropped.
TEST_F(EncodingsTest, DecodeEncodedWordPerCharset) {
  const struct {
    const char* text;
    const char* decoded;
  } cases[] = {
      {"=?utf-8?q?Caf=C3=A9?=", "Caf\xC3\xA9"},
      {"=?UTF-8?Q?=E2=82=AC?=", "\xE2\x82\xAC"},
      {"=?iso-8859-2?q?=B9?=", "\xC5\xA1"},
      {"=?windows-1251?q?=C4=E0?=", "\xD0\x94\xD0\xB0"},
      {"=?cp1250?q?=8A?=", "\xC5\xA0"},
      {"=?iso-8859-15?q?=A4?=", "\xE2\x82\xAC"},
      {"=?utf-8*en?q?=C3=A9?=", "\xC3\xA9"},
      {"=?x-unknown?q?=E9?=", "\xC3\xA9"},   // an unknown set: the code page
      {"=?utf-8?q?=E9?=", "\xEF\xBF\xBD"},   // not UTF-8: a replacement character
      {"  =?ISO-8859-1?Q?a_b?= tail  ", "  a b tail  "},
      {"Re: =?utf-8?q?Caf=C3=A9?= au lait", "Re: Caf\xC3\xA9 au lait"},
      {"=?utf-8?q?a?= =?utf-8?q?b?=\t=?utf-8?q?c?=", "abc"},
      {"=?utf-8?q?a?= x =?utf-8?q?b?=", "a x b"},
      {"=?x?q?=E9t=E9?= end", "\xC3\xA9t\xC3\xA9 end"},
      {"=?x?q?a=3Db?= =?x?b?Yw==?=", "a=b =?x?b?Yw==?="},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeEncodedWord(c.text), c.decoded) << c.text;
  std::string charset;
  DecodeEncodedWord("x =?ISO-8859-2?Q?a?= =?utf-8?q?b?=", &charset);
  EXPECT_EQ(charset, "iso-8859-2");
}

TEST_F(EncodingsTest, DecodeQuotedPrintableExamples) {
  EXPECT_EQ(DecodeQuotedPrintable("a=3Db"), "a=b");
  // Escaped quotation marks, ampersands and less-than signs are those characters.
  EXPECT_EQ(DecodeQuotedPrintable("say =22hi=22"), "say \"hi\"");
  EXPECT_EQ(DecodeQuotedPrintable("=26=3C=41=80"), "&<A\xE2\x82\xAC");
  EXPECT_EQ(DecodeQuotedPrintable("=E9t=E9"), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(DecodeQuotedPrintable("line=\r\nnext"), "linenext");
  EXPECT_EQ(DecodeQuotedPrintable("line=\nnext"), "linenext");
  EXPECT_EQ(DecodeQuotedPrintable("end="), "end");
  EXPECT_EQ(DecodeQuotedPrintable("a=20\r\nb"), "a \r\nb");
  EXPECT_EQ(DecodeQuotedPrintable("=e9"), "\xC3\xA9");
  EXPECT_EQ(DecodeQuotedPrintable("~3D~"), "~3D~");
  EXPECT_EQ(DecodeQuotedPrintable("=C3=A9", "utf-8"), "\xC3\xA9");
}

TEST_F(EncodingsTest, DecodeQuotedPrintableKeepsInvalidEscapes) {
  EXPECT_EQ(DecodeQuotedPrintable("1+1=2 and =E9"), "1+1=2 and \xC3\xA9");
  EXPECT_EQ(DecodeQuotedPrintable("=G1=1"), "=G1=1");
  EXPECT_EQ(DecodeQuotedPrintable("x=\ry =Z"), "x=\ry =Z");
  EXPECT_EQ(DecodeQuotedPrintable("caf\xC3\xA9=20"), "caf\xC3\xA9 ");
}

TEST_F(EncodingsTest, QuotedPrintableUsesTheConfiguredCodePage) {
  qv::testing::ScopedEnv latin2("QUORVIA_CODEPAGE", "ISO-8859-2");
  EXPECT_EQ(DecodeQuotedPrintable("=B9"), "\xC5\xA1");
}

}  // namespace
