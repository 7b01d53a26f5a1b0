#include "tools/qvadmind/request.h"

#include <gtest/gtest.h>

#include "library/remote/wire.h"

namespace {

using namespace qvadmind;
using qvaiso::wire::Request;

TEST(RequestTest, ReadsEveryMethodTheClientSends) {
  qvadmind::Request parsed;
  std::string reason;
  ASSERT_TRUE(ParseRequest(qvaiso::wire::AuthRequest("Basic", "u:p"), &parsed, &reason)) << reason;
  EXPECT_EQ(parsed.method, Method::Auth);
  EXPECT_EQ(parsed.protocol, "Basic");
  EXPECT_EQ(parsed.credentials, "u:p");
  ASSERT_TRUE(ParseRequest(qvaiso::wire::LoadRequest("QVAISO.DLL"), &parsed, &reason));
  EXPECT_EQ(parsed.method, Method::Load);
  EXPECT_EQ(parsed.library, "QVAISO.DLL");
  ASSERT_TRUE(ParseRequest(qvaiso::wire::kPing, &parsed, &reason));
  EXPECT_EQ(parsed.method, Method::Ping);
  ASSERT_TRUE(ParseRequest(qvaiso::wire::kQuit, &parsed, &reason));
  EXPECT_EQ(parsed.method, Method::Quit);

  Request call(Request::Method::Setting, "GetRegistryWord");
  call.AddString("SOFTWARE\\Q");
  call.AddString("");
  call.AddNumber(5);
  ASSERT_TRUE(ParseRequest(call.Text(), &parsed, &reason)) << reason;
  EXPECT_EQ(parsed.method, Method::Setting);
  EXPECT_EQ(parsed.function, "GetRegistryWord");
  ASSERT_EQ(parsed.parameters.size(), 3u);
  EXPECT_EQ(parsed.parameters[1], std::string("SOFTWARE\\Q\0\0", 12));
  EXPECT_EQ(parsed.parameters[3], std::string("\x05\0\0\0", 4));
}

TEST(RequestTest, RefusesMalformedRequests) {
  const std::string good =
      "<DATA><METHOD>EXEC</METHOD><FUNCTION>F</FUNCTION><PARAMETERS>" +
      qvaiso::wire::EncodeParameter(1, std::span<const uint8_t>(
                                           reinterpret_cast<const uint8_t*>("abcd"), 4)) +
      "</PARAMETERS></DATA>";
  qvadmind::Request parsed;
  std::string reason;
  ASSERT_TRUE(ParseRequest(good, &parsed, &reason)) << reason;

  const std::vector<std::string> bad = {
      "",
      "<DATA>",
      "<DATA><METHOD>DROP</METHOD></DATA>",
      "<DATA><METHOD>PING</METHOD></DATA>trailing",
      "<DATA><METHOD>PING</METHOD>",
      "<DATA><METHOD>AUTH</METHOD><PROTOCOL>x</PROTOCOL></DATA>",
      "<DATA><METHOD>EXEC</METHOD><FUNCTION>F</FUNCTION></DATA>",
      // Parameters out of order, with a bad size, a size that disagrees
      // with the decoded bytes, or too large.
      "<DATA><METHOD>EXEC</METHOD><FUNCTION>F</FUNCTION><PARAMETERS><PARAMETER2 SIZE=0>"
      "</PARAMETER2></PARAMETERS></DATA>",
      "<DATA><METHOD>EXEC</METHOD><FUNCTION>F</FUNCTION><PARAMETERS><PARAMETER1 SIZE=-1>"
      "</PARAMETER1></PARAMETERS></DATA>",
      std::string(good).replace(good.find("SIZE=4"), 6, "SIZE=3"),
      std::string(good).replace(good.find("SIZE=4"), 6, "SIZE=99999"),
      "<DATA><METHOD>EXEC</METHOD><FUNCTION>F<X></FUNCTION><PARAMETERS></PARAMETERS></DATA>",
      "<DATA><METHOD>PING</METHOD></DATA>" + std::string(kMaxRequestBytes, ' '),
  };
  for (const std::string& text : bad) {
    EXPECT_FALSE(ParseRequest(text, &parsed, &reason)) << text.substr(0, 120);
    EXPECT_FALSE(reason.empty());
  }
}

TEST(RequestTest, FindsTheEndOfTheFirstRequest) {
  EXPECT_EQ(CompleteRequestLength("<DATA><METHOD>PING</METHOD></DA"), 0u);
  const std::string two = std::string(qvaiso::wire::kPing) + std::string(qvaiso::wire::kQuit);
  EXPECT_EQ(CompleteRequestLength(two), qvaiso::wire::kPing.size());
}

}  // namespace
