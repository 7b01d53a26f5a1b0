#include <gtest/gtest.h>

#include <string>

#include "library/abuse/abuse.h"
#include "library/abuse/abuse_internal.h"

namespace {

using qvaiso::abuse::Ipv6Groups;
using qvaiso::abuse::MatchesWhitelistPattern;
using qvaiso::abuse::ParseIPv6;

TEST(ValidIPv6Address, AcceptsFullAndCompressedForms) {
  for (const char* text : {"::1", "::", "1::", "fe80::1:2", "2001:DB8:0:0:8:800:200C:417A",
                           "0:0:0:0:0:0:0:1", "1:2:3:4:5:6:7::", "ffff::ffff"}) {
    EXPECT_EQ(ValidIPv6Address(text, 0, 0), 1) << text;
  }
}

TEST(ValidIPv6Address, RejectsMalformedForms) {
  for (const char* text : {"", "12345::1", "1::2::3", ":::", "1:2:3:4:5:6:7", ":1:2:3:4:5:6:7",
                           "1:2:3:4:5:6:7:", "1:2:3:4:5:6:7:8:9", "1:2:3:4::5:6:7:8", "g::1",
                           "::ffff:1.2.3.4", "fe80::1%eth0", "*::1", "1:2"}) {
    EXPECT_EQ(ValidIPv6Address(text, 0, 0), 0) << text;
  }
  EXPECT_EQ(ValidIPv6Address(nullptr, 1, 1), 0);
  std::string huge(100000, '1');
  EXPECT_EQ(ValidIPv6Address(huge.c_str(), 1, 1), 0);
}

TEST(ValidIPv6Address, FlagsAllowWildcardsAndPartialAddresses) {
  EXPECT_EQ(ValidIPv6Address("2001:db8:*:*:*:*:*:*", 1, 0), 1);
  EXPECT_EQ(ValidIPv6Address("2001:db8:*:*:*:*:*:*", 0, 0), 0);
  EXPECT_EQ(ValidIPv6Address("2001:db8::*", 1, 0), 1);
  EXPECT_EQ(ValidIPv6Address("2001:db8:**::", 1, 0), 0);
  EXPECT_EQ(ValidIPv6Address("2001:db8", 0, 1), 1);
  EXPECT_EQ(ValidIPv6Address("2001:db8", 0, 0), 0);
  EXPECT_EQ(ValidIPv6Address("2001:db8:*", 1, 1), 1);
  EXPECT_EQ(ValidIPv6Address("1:2:3:4:5:6:7:8:9", 0, 1), 0);
}

TEST(ParseIPv6, DoubleColonExpandsToTheMissingZeroGroups) {
  Ipv6Groups parsed;
  ASSERT_TRUE(ParseIPv6("1:2::7:8", false, false, &parsed));
  EXPECT_EQ(parsed.groups, (std::array<int, 8>{1, 2, 0, 0, 0, 0, 7, 8}));
  ASSERT_TRUE(ParseIPv6("FFFF::*", true, false, &parsed));
  EXPECT_EQ(parsed.groups, (std::array<int, 8>{0xffff, 0, 0, 0, 0, 0, 0, -1}));
}

TEST(WhitelistPattern, DottedWildcardsMatchOneWholeComponent) {
  EXPECT_TRUE(MatchesWhitelistPattern("10.1.2.3", "10.1.*.*"));
  EXPECT_FALSE(MatchesWhitelistPattern("10.1.2.3", "10.1.*"));
  EXPECT_TRUE(MatchesWhitelistPattern("10.1.2.3", "10.1.2.3"));
  EXPECT_TRUE(MatchesWhitelistPattern("10.1.2.3", "*.*.*.*"));
  EXPECT_FALSE(MatchesWhitelistPattern("10.1.2.3", "10.1.2.30"));
  EXPECT_FALSE(MatchesWhitelistPattern("10.1.2.30", "10.1.2.3"));
  EXPECT_TRUE(MatchesWhitelistPattern("10.1.23.5", "10.1.2*.5"));
  EXPECT_FALSE(MatchesWhitelistPattern("10.1.2.3", ""));
}

TEST(WhitelistPattern, Ipv6GroupsCompareNumerically) {
  EXPECT_TRUE(MatchesWhitelistPattern("2001:db8::5", "2001:0DB8:0:0:0:0:0:*"));
  EXPECT_TRUE(MatchesWhitelistPattern("2001:db8::ffff", "2001:db8::*"));
  EXPECT_FALSE(MatchesWhitelistPattern("2001:db9::5", "2001:db8::*"));
  EXPECT_FALSE(MatchesWhitelistPattern("2001:db8::5", "2001:db8::6"));
  EXPECT_FALSE(MatchesWhitelistPattern("2001:db8::5", "10.*.*.*"));
  EXPECT_FALSE(MatchesWhitelistPattern("not::an::address", "*::*"));
}

}  // namespace
