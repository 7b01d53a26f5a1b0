#include "library/abuse/abuse.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "library/abuse/abuse_internal.h"
#include "library/support/messages.h"
#include "library/support/support.h"
#include "platform/registry/registry.h"
#include "tests/common/test_support.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::registry::Status;
using qvaiso::abuse::EntryCountForTesting;
using qvaiso::abuse::FindEntryForTesting;

constexpr const char* kSecurity = "SOFTWARE\\Quorvia\\Quorvia\\Security";
constexpr uint32_t kStart = 1'700'000'000;

std::atomic<uint32_t> g_now{kStart};
uint32_t TestClock() { return g_now.load(); }

class AbuseRegisterTest : public qv::testing::RegistryTest {
 protected:
  AbuseRegisterTest() {
    g_now = kStart;
    qvaiso::abuse::SetClockForTesting(&TestClock);
    Key root;
    EXPECT_EQ(Key::Create(Hive::LocalMachine, qvaiso::kMachineRoot, &root), Status::Ok);
    EXPECT_EQ(root.SetString("Configuration Directory", config_.path()), Status::Ok);
    SetDword(qvaiso::kMachineRoot, "System Messages Enabled", 1);
    SetDword(kSecurity, "Abuse Detection Status", 1);
    Reload();
  }
  ~AbuseRegisterTest() override {
    qvaiso::abuse::SetClockForTesting(nullptr);
    qv::registry::DeleteKeyTree(Hive::LocalMachine, kSecurity);
    Reload();
  }

  static void SetDword(const char* path, const char* name, uint32_t value) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, path, &key), Status::Ok);
    ASSERT_EQ(key.SetDword(name, value), Status::Ok);
  }

  static void Reload() {
    qvaiso::ResetConfigurationDirectoryForTesting();
    qvaiso::ResetSystemMessageSettingsForTesting();
    qvaiso::abuse::ResetAbuseRegisterForTesting();
  }

  static void Whitelist(uint32_t status, const std::vector<std::string>& patterns) {
    SetDword("SOFTWARE\\Quorvia\\Quorvia\\CONNECTORS\\SMTP", "IP White Listing Status", status);
    Key list;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\Connectors\\SMTP\\White List",
                          &list),
              Status::Ok);
    for (const std::string& pattern : patterns) ASSERT_EQ(list.SetString(pattern, ""), Status::Ok);
  }

  // The texts of the stored system messages, newest first.
  std::vector<std::string> Messages() {
    pugi::xml_document document;
    document.load_file(config_.File("Messages/Messages.xml").c_str());
    std::vector<std::string> texts;
    for (pugi::xml_node message : document.child("SystemMessages").child("Messages").children()) {
      texts.push_back(std::string(message.attribute("id").value()) + " " +
                      message.child_value("Message") + " " + message.child_value("Severity"));
    }
    return texts;
  }

  qv::testing::TempDir config_;
};

TEST_F(AbuseRegisterTest, TheEleventhReportAtThreshold10ReachesIt) {
  for (int report = 1; report <= 10; ++report) {
    EXPECT_EQ(AbuseRegister_AddEntry("192.0.2.7", "smtp"), 1) << report;
    EXPECT_EQ(AbuseRegister_FindEntryByIPAddress("192.0.2.7"), 0) << report;
  }
  EXPECT_EQ(Messages().size(), 0u);
  EXPECT_EQ(AbuseRegister_AddEntry("192.0.2.7", "smtp"), 2);
  EXPECT_EQ(AbuseRegister_FindEntryByIPAddress("192.0.2.7"), 1);
  EXPECT_EQ(FindEntryForTesting("192.0.2.7")->count, 10u);
  EXPECT_EQ(Messages(), (std::vector<std::string>{"29 Abuse detected from 192.0.2.7 by smtp Critical"}));
  EXPECT_EQ(AbuseRegister_AddEntry("192.0.2.7", nullptr), 2);
  EXPECT_EQ(Messages().front(), "29 Abuse detected from 192.0.2.7 Critical");
  EXPECT_EQ(AbuseRegister_AddEntry("192.0.2.7", ""), 2);  // an empty name is no name
  EXPECT_EQ(Messages().front(), "29 Abuse detected from 192.0.2.7 Critical");
  // Code-page text in the message is written as the file's UTF-8.
  EXPECT_EQ(AbuseRegister_AddEntry("192.0.2.7", "caf\xE9"), 2);
  EXPECT_EQ(Messages().front(), "29 Abuse detected from 192.0.2.7 by caf\xC3\xA9 Critical");
  // Other addresses are counted apart.
  EXPECT_EQ(AbuseRegister_FindEntryByIPAddress("192.0.2.8"), 0);
}

TEST_F(AbuseRegisterTest, ThresholdComesFromTheSettingsReadAtLoad) {
  SetDword(kSecurity, "Abuse Instance Threshold", 2);
  EXPECT_EQ(AbuseRegister_AddEntry("a", nullptr), 1);
  EXPECT_EQ(AbuseRegister_AddEntry("a", nullptr), 1);
  EXPECT_EQ(AbuseRegister_AddEntry("a", nullptr), 1);  // still the settings of the load
  Reload();
  EXPECT_EQ(AbuseRegister_AddEntry("a", nullptr), 1);
  EXPECT_EQ(AbuseRegister_AddEntry("a", nullptr), 1);
  EXPECT_EQ(AbuseRegister_AddEntry("a", nullptr), 2);
}

TEST_F(AbuseRegisterTest, AnEntryOneMaximumAgeOldExpiresAtLookup) {
  SetDword(kSecurity, "Abuse Instance Threshold", 1);
  SetDword(kSecurity, "Abuse Instance Maximum Age", 100);
  SetDword(kSecurity, "Abuse Instance Purge Frequency", 1000000);
  Reload();
  EXPECT_EQ(AbuseRegister_AddEntry("198.51.100.1", nullptr), 1);
  EXPECT_EQ(AbuseRegister_AddEntry("198.51.100.1", nullptr), 2);
  g_now = kStart + 99;
  EXPECT_EQ(AbuseRegister_FindEntryByIPAddress("198.51.100.1"), 1);
  g_now = kStart + 100;
  EXPECT_EQ(AbuseRegister_FindEntryByIPAddress("198.51.100.1"), 0);
  EXPECT_FALSE(FindEntryForTesting("198.51.100.1"));
  EXPECT_EQ(AbuseRegister_AddEntry("198.51.100.1", nullptr), 1);  // starts again at count 0
  EXPECT_EQ(FindEntryForTesting("198.51.100.1")->count, 0u);
  EXPECT_EQ(FindEntryForTesting("198.51.100.1")->firstReport, kStart + 100);
}

TEST_F(AbuseRegisterTest, DisabledRegisterRecordsNothing) {
  SetDword(kSecurity, "Abuse Detection Status", 0);
  Reload();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(AbuseRegister_AddEntry("192.0.2.1", nullptr), 1);
  EXPECT_EQ(EntryCountForTesting(), 0u);
  EXPECT_EQ(AbuseRegister_FindEntryByIPAddress("192.0.2.1"), 0);
  EXPECT_EQ(AbuseRegister_RemoveEntry("192.0.2.1"), 0);
  EXPECT_EQ(AbuseRegister_PurgeEntries(), 1);
}

TEST_F(AbuseRegisterTest, WhitelistedAddressesAreNotRecorded) {
  Whitelist(1, {"10.1.*.*", "2001:db8::*"});
  EXPECT_EQ(AbuseRegister_AddEntry("10.1.2.3", nullptr), 0);
  EXPECT_EQ(AbuseRegister_AddEntry("2001:db8::77", nullptr), 0);
  EXPECT_EQ(EntryCountForTesting(), 0u);
  EXPECT_EQ(AbuseRegister_AddEntry("10.2.2.3", nullptr), 1);
  EXPECT_EQ(AbuseRegister_AddEntry("2001:db8::1:77", nullptr), 1);
  EXPECT_EQ(EntryCountForTesting(), 2u);

  Whitelist(0, {});
  EXPECT_EQ(AbuseRegister_AddEntry("10.1.2.3", nullptr), 1);
  EXPECT_TRUE(FindEntryForTesting("10.1.2.3"));
}

TEST_F(AbuseRegisterTest, APatternThatCoversTooLittleDoesNotWhitelist) {
  // A "*" before a dot matches nothing, so the long pattern would match, but a
  // pattern name over 255 characters is not read.
  std::string tooLong = "10" + std::string(300, '*') + ".1.2.3";
  ASSERT_TRUE(qvaiso::abuse::MatchesWhitelistPattern("10.1.2.3", tooLong));
  Whitelist(1, {"10.1.*", tooLong});
  EXPECT_EQ(AbuseRegister_AddEntry("10.1.2.3", nullptr), 1);
}

TEST_F(AbuseRegisterTest, The201stAddressIsPurgedInAddressOrder) {
  SetDword(kSecurity, "Abuse Instance Purge Frequency", 1000000);
  Reload();
  char address[32];
  for (int i = 0; i < 201; ++i) {
    std::snprintf(address, sizeof address, "10.0.%d.%d", i / 100, i % 100 + 100);
    ASSERT_EQ(AbuseRegister_AddEntry(address, nullptr), 1);
  }
  EXPECT_EQ(EntryCountForTesting(), 201u);
  EXPECT_EQ(AbuseRegister_PurgeEntries(), 1);
  EXPECT_EQ(EntryCountForTesting(), 200u);
  EXPECT_FALSE(FindEntryForTesting("10.0.0.100"));  // first in address order, though fresh
  EXPECT_TRUE(FindEntryForTesting("10.0.0.101"));
  EXPECT_TRUE(FindEntryForTesting("10.0.2.100"));

  // The 201st address of a full register goes at the next report.
  ASSERT_EQ(AbuseRegister_AddEntry("9.9.9.9", nullptr), 1);
  EXPECT_EQ(EntryCountForTesting(), 201u);
  ASSERT_EQ(AbuseRegister_AddEntry("9.9.9.9", nullptr), 1);
  EXPECT_EQ(EntryCountForTesting(), 200u);
  EXPECT_FALSE(FindEntryForTesting("10.0.0.101"));
}

TEST_F(AbuseRegisterTest, ARegularPurgeRemovesOnlyExpiredEntries) {
  SetDword(kSecurity, "Abuse Instance Maximum Age", 50);
  SetDword(kSecurity, "Abuse Instance Purge Frequency", 60);
  Reload();
  AbuseRegister_AddEntry("old", nullptr);
  g_now = kStart + 30;
  AbuseRegister_AddEntry("young", nullptr);
  g_now = kStart + 59;
  EXPECT_EQ(AbuseRegister_PurgeEntries(), 1);  // not due yet
  EXPECT_EQ(EntryCountForTesting(), 2u);
  g_now = kStart + 60;
  EXPECT_EQ(AbuseRegister_PurgeEntries(), 1);
  EXPECT_FALSE(FindEntryForTesting("old"));
  EXPECT_TRUE(FindEntryForTesting("young"));
}

TEST_F(AbuseRegisterTest, RemoveEntryAndRefusedAddresses) {
  AbuseRegister_AddEntry("192.0.2.1", nullptr);
  EXPECT_EQ(AbuseRegister_RemoveEntry("192.0.2.1"), 1);
  EXPECT_EQ(AbuseRegister_RemoveEntry("192.0.2.1"), 0);

  std::string huge(1 << 20, '1');
  EXPECT_EQ(AbuseRegister_AddEntry(nullptr, nullptr), 0);
  EXPECT_EQ(AbuseRegister_AddEntry(huge.c_str(), nullptr), 0);
  EXPECT_EQ(AbuseRegister_FindEntryByIPAddress(nullptr), 0);
  EXPECT_EQ(AbuseRegister_FindEntryByIPAddress(huge.c_str()), 0);
  EXPECT_EQ(AbuseRegister_RemoveEntry(nullptr), 0);
  EXPECT_EQ(EntryCountForTesting(), 0u);
  std::string longest(255, '7');
  EXPECT_EQ(AbuseRegister_AddEntry(longest.c_str(), nullptr), 1);
}

TEST_F(AbuseRegisterTest, ConcurrentReportsAreAllCounted) {
  SetDword(kSecurity, "Abuse Instance Threshold", 1000000);
  Reload();
  constexpr int kThreads = 8;
  constexpr int kAddresses = 150;  // below the capacity: nothing is purged
  constexpr int kRounds = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      char address[32];
      for (int round = 0; round < kRounds; ++round) {
        for (int a = 0; a < kAddresses; ++a) {
          int index = (a + t * 17) % kAddresses;
          std::snprintf(address, sizeof address, "172.16.%d.%d", index / 250, index % 250);
          AbuseRegister_AddEntry(address, "bench");
          AbuseRegister_FindEntryByIPAddress(address);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(EntryCountForTesting(), static_cast<size_t>(kAddresses));
  char address[32];
  for (int index = 0; index < kAddresses; ++index) {
    std::snprintf(address, sizeof address, "172.16.%d.%d", index / 250, index % 250);
    auto entry = FindEntryForTesting(address);
    ASSERT_TRUE(entry) << address;
    EXPECT_EQ(entry->count, static_cast<uint32_t>(kThreads * kRounds - 1)) << address;
  }
}

}  // namespace
