#include "platform/codepage/codepage.h"

#include <gtest/gtest.h>

#include "tests/common/test_support.h"

namespace {

using qv::testing::ScopedEnv;

TEST(CodePage, DefaultIsWindows1252) {
  ScopedEnv env("QUORVIA_CODEPAGE", std::nullopt);
  EXPECT_EQ(qv::codepage::SystemCodePageName(), "WINDOWS-1252");
  EXPECT_EQ(qv::codepage::FromUtf8("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xE9 \x80");
  EXPECT_EQ(qv::codepage::ToUtf8("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
}

TEST(CodePage, CharactersTheCodePageLacksBecomeQuestionMarks) {
  ScopedEnv env("QUORVIA_CODEPAGE", std::nullopt);
  // CJK, an emoji (four bytes), an invalid byte and a truncated sequence.
  EXPECT_EQ(qv::codepage::FromUtf8("a\xE4\xB8\xAD" "b\xF0\x9F\x98\x80" "c\xFF" "d\xC3"), "a?b?c?d?");
}

TEST(CodePage, UndefinedBytesSurviveARoundTrip) {
  ScopedEnv env("QUORVIA_CODEPAGE", std::nullopt);
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  std::string text = qv::codepage::ToUtf8(all);
  EXPECT_TRUE(qv::codepage::IsValidUtf8(text));
  EXPECT_EQ(qv::codepage::FromUtf8(text), all);
}

TEST(CodePage, ConfiguredThroughTheEnvironment) {
  ScopedEnv env("QUORVIA_CODEPAGE", "ISO-8859-2");
  EXPECT_EQ(qv::codepage::SystemCodePageName(), "ISO-8859-2");
  // 0xB9 is "s with caron" in Latin-2, a superscript one in Windows-1252.
  EXPECT_EQ(qv::codepage::ToUtf8("\xB9"), "\xC5\xA1");
  EXPECT_EQ(qv::codepage::FromUtf8("\xC5\xA1"), "\xB9");
}

TEST(CodePage, UnknownNameFallsBackToTheDefault) {
  ScopedEnv env("QUORVIA_CODEPAGE", "NO-SUCH-CODEPAGE");
  EXPECT_EQ(qv::codepage::SystemCodePageName(), "WINDOWS-1252");
  EXPECT_EQ(qv::codepage::ToUtf8("\xE9"), "\xC3\xA9");
}

TEST(CodePage, LongTextsConvertWhole) {
  ScopedEnv env("QUORVIA_CODEPAGE", std::nullopt);
  std::string latin(5000, '\xE9');
  std::string text = qv::codepage::ToUtf8(latin);
  EXPECT_EQ(text.size(), 10000u);
  EXPECT_EQ(qv::codepage::FromUtf8(text), latin);
}

TEST(CodePage, Utf8Validation) {
  EXPECT_TRUE(qv::codepage::IsValidUtf8(""));
  EXPECT_TRUE(qv::codepage::IsValidUtf8("plain \xC3\xA9 \xF0\x9F\x98\x80"));
  EXPECT_FALSE(qv::codepage::IsValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(qv::codepage::IsValidUtf8("\xED\xA0\x80"));      // a surrogate half
  EXPECT_FALSE(qv::codepage::IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(qv::codepage::IsValidUtf8("\xE9t\xE9"));         // Latin-1 bytes
}

}  // namespace

namespace {

TEST(AppendUtf8, WritesEveryLengthAndReplacesWhatIsNoCharacter) {
  std::string out;
  for (unsigned cp : {0x41u, 0xE9u, 0x20ACu, 0x1F600u, 0xD800u, 0x110000u}) qv::codepage::AppendUtf8(out, cp);
  EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_TRUE(qv::codepage::IsValidUtf8(out));
}

TEST(CodePage, NamedCharacterSetsAndStrayBytes) {
  ScopedEnv env("QUORVIA_CODEPAGE", std::nullopt);
  EXPECT_EQ(qv::codepage::CharsetToUtf8("KOI8-R", "\xC1"), "\xD0\xB0");
  EXPECT_EQ(qv::codepage::CharsetToUtf8("latin1", "\xE9"), "\xC3\xA9");
  EXPECT_EQ(qv::codepage::CharsetToUtf8("us-ascii", "a\xE9"), "a\xEF\xBF\xBD");
  for (const char* unknown : {"iso-8859-12", "windows-1249", "x-made-up", "../../etc/utf-8", ""})
    EXPECT_EQ(qv::codepage::CharsetToUtf8(unknown, "a"), std::nullopt) << unknown;
  // Only the bytes that are not UTF-8 are read in the code page.
  EXPECT_EQ(qv::codepage::Utf8OrCodePageToUtf8("\xC3\xA9\xE9\x80 \xF0\x9F\x98\x80\xF0"),
            "\xC3\xA9\xC3\xA9\xE2\x82\xAC \xF0\x9F\x98\x80\xC3\xB0");
}

}  // namespace
