#include "library/remote/wire.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace qvaiso::wire;

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

TEST(WireTest, RequestTextsAreByteExact) {
  EXPECT_EQ(AuthRequest("Basic", "admin:pw"),
            "<DATA><METHOD>AUTH</METHOD><PROTOCOL>Basic</PROTOCOL><CREDENTIALS>admin:pw"
            "</CREDENTIALS><REALM></REALM><Library>QVAIAU.DLL</Library></DATA>");
  EXPECT_EQ(LoadRequest("QVAISO.DLL"),
            "<DATA><METHOD>LOAD</METHOD><LIBRARY>QVAISO.DLL</LIBRARY></DATA>");
  EXPECT_EQ(Request(Request::Method::Exec, "QVServiceStop").Text(),
            "<DATA><METHOD>EXEC</METHOD><FUNCTION>QVServiceStop</FUNCTION><PARAMETERS>"
            "</PARAMETERS></DATA>");
}

TEST(WireTest, ParametersGoInOrderWithTheirRawSizes) {
  Request request(Request::Method::Setting, "SetRegistryWord");
  request.AddString("SOFTWARE\\Quorvia");
  request.AddString("");
  request.AddNumber(0x01020304);
  const std::string text = request.Text();
  ASSERT_EQ(text.rfind("<DATA><METHOD>SETTING</METHOD><FUNCTION>SetRegistryWord</FUNCTION>"
                       "<PARAMETERS><PARAMETER1 SIZE=18>",
                       0),
            0u);
  EXPECT_LT(text.find("<PARAMETER1 "), text.find("<PARAMETER2 SIZE=2>"));
  EXPECT_LT(text.find("<PARAMETER2 "), text.find("<PARAMETER3 SIZE=4>"));
  EXPECT_EQ(ReadParameter(text, 1, 100), std::string("SOFTWARE\\Quorvia\0\0", 18));
  EXPECT_EQ(ReadParameter(text, 2, 100), std::string("\0\0", 2));
  EXPECT_EQ(ReadParameter(text, 3, 100), std::string("\x04\x03\x02\x01", 4));
}

TEST(WireTest, EmptyParameterGoesWithSizeZero) {
  EXPECT_EQ(EncodeParameter(1, {}), "<PARAMETER1 SIZE=0></PARAMETER1>");
  EXPECT_EQ(ReadParameter("<PARAMETER1 SIZE=0></PARAMETER1>", 1, 10), std::string());
}

TEST(WireTest, ParameterLookupIsNotFooledByLongerNumbers) {
  const std::string reply = EncodeParameter(12, Bytes("twelve")) + EncodeParameter(1, Bytes("one"));
  EXPECT_EQ(ReadParameter(reply, 1, 100), "one");
  EXPECT_EQ(ReadParameter(reply, 12, 100), "twelve");
  EXPECT_FALSE(ReadParameter(reply, 2, 100));
}

TEST(WireTest, MalformedParametersAreAbsent) {
  const std::string good = EncodeParameter(0, Bytes("abcd"));
  // Closing tag missing.
  EXPECT_FALSE(ReadParameter(good.substr(0, good.size() - 3), 0, 100));
  // SIZE that is no number, or disagrees with what the text decodes to.
  std::string badSize = good;
  badSize.replace(badSize.find("SIZE=4"), 6, "SIZE=x");
  EXPECT_FALSE(ReadParameter(badSize, 0, 100));
  std::string wrongSize = good;
  wrongSize.replace(wrongSize.find("SIZE=4"), 6, "SIZE=5");
  EXPECT_FALSE(ReadParameter(wrongSize, 0, 100));
  // Not base64.
  EXPECT_FALSE(ReadParameter("<PARAMETER0 SIZE=4>!!!!</PARAMETER0>", 0, 100));
  // More than the caller takes.
  EXPECT_FALSE(ReadParameter(good, 0, 3));
}

TEST(WireTest, ElementTextAndReplies) {
  EXPECT_EQ(ElementText("<DATA><METHOD>PING</METHOD></DATA>", "METHOD"), "PING");
  EXPECT_FALSE(ElementText("<DATA><METHOD>PING</DATA>", "METHOD"));
  EXPECT_EQ(SuccessReply(""), std::string(kSuccess));
  EXPECT_EQ(FailureReply("a<b>"), "<DATA><STATUS>FAILURE</STATUS><ERROR>a_b_</ERROR></DATA>");
}

}  // namespace
