// The remote family served locally: registry exports without a host, and
// service control against the in-process service manager.
#include <gtest/gtest.h>

#include <cstring>

#include "library/remote/channel.h"
#include "library/remote/remote.h"
#include "platform/registry/registry.h"
#include "platform/services/services.h"
#include "tests/common/test_support.h"

namespace {

using qv::registry::Hive;
using qv::registry::Key;
using qv::services::FakeManager;
using qv::services::State;

class LocalRegistryTest : public qv::testing::RegistryTest {
 protected:
  void SetUp() override { qvaiso::remote::ResetSessionForTesting(); }
  void TearDown() override { qvaiso::remote::ResetSessionForTesting(); }
};

TEST_F(LocalRegistryTest, StringsAndNumbersRoundTripThroughHklm) {
  EXPECT_EQ(SetRemoteRegistryString("", "SOFTWARE\\Quorvia\\Quorvia\\Test", "Name", "value 1"), 1);
  char output[4096];
  EXPECT_EQ(GetRemoteRegistryString(nullptr, "SOFTWARE\\Quorvia\\Quorvia\\Test", "Name", output), 1);
  EXPECT_STREQ(output, "value 1");
  const uint32_t written = 4242;
  EXPECT_EQ(SetRemoteRegistryWord("", "SOFTWARE\\Quorvia\\Quorvia\\Test", "Count", &written), 1);
  uint32_t read = 0;
  EXPECT_EQ(GetRemoteRegistryWord("", "SOFTWARE\\Quorvia\\Quorvia\\Test", "Count", &read), 1);
  EXPECT_EQ(read, 4242u);
  // The value really is in HKLM.
  Key key;
  ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\Test",
                      qv::registry::Access::Read, &key),
            qv::registry::Status::Ok);
  std::string text;
  EXPECT_EQ(key.GetString("Name", &text), qv::registry::Status::Ok);
  EXPECT_EQ(text, "value 1");
}

TEST_F(LocalRegistryTest, MissingValuesFailWithEmptyOutputAndKeptDefault) {
  char output[4096] = "stale";
  EXPECT_EQ(GetRemoteRegistryString("", "SOFTWARE\\Nothing", "Here", output), 0);
  EXPECT_STREQ(output, "");
  uint32_t number = 17;
  EXPECT_EQ(GetRemoteRegistryWord("", "SOFTWARE\\Nothing", "Here", &number), 0);
  EXPECT_EQ(number, 17u);
  EXPECT_EQ(GetRemoteRegistryString("", nullptr, "Here", output), 0);
  EXPECT_EQ(SetRemoteRegistryWord("", "SOFTWARE\\X", "Y", nullptr), 0);
}

TEST_F(LocalRegistryTest, ThirtyTwoBitViewPathNamesTheSameKey) {
  EXPECT_EQ(SetRemoteRegistryString("", "Software\\Wow6432Node\\Quorvia\\Quorvia", "Mail Root",
                                    "/srv/mail"),
            1);
  char output[4096];
  EXPECT_EQ(GetRemoteRegistryString("", "Software\\Quorvia\\Quorvia", "Mail Root", output), 1);
  EXPECT_STREQ(output, "/srv/mail");
  EXPECT_EQ(GetRemoteRegistryString("", "SOFTWARE\\WOW6432NODE\\QUORVIA\\Quorvia", "Mail Root",
                                    output),
            1);
  EXPECT_STREQ(output, "/srv/mail");
}

TEST_F(LocalRegistryTest, FailedLocalWriteIsReportedAsFailure) {
  // An empty level in the middle makes the key path malformed.
  EXPECT_EQ(SetRemoteRegistryString("", "SOFTWARE\\\\Broken", "Name", "v"), 0);
  const uint32_t number = 1;
  EXPECT_EQ(SetRemoteRegistryWord("", "SOFTWARE\\\\Broken", "Name", &number), 0);
}

class LocalServiceTest : public qv::testing::RegistryTest {
 protected:
  void SetUp() override {
    qvaiso::remote::ResetSessionForTesting();
    qv::services::SetFakeManagerForTesting(&manager_);
  }
  void TearDown() override { qv::services::SetFakeManagerForTesting(nullptr); }

  void Register(const std::string& group, const std::string& subkey, const std::string& service,
                const std::string& displayName = "") {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Quorvia\\Quorvia\\" + group + "\\" + subkey,
                          &key),
              qv::registry::Status::Ok);
    if (!service.empty()) key.SetString("ServiceName", service);
    if (!displayName.empty()) {
      Key services;
      ASSERT_EQ(Key::Create(Hive::LocalMachine, "SYSTEM\\CurrentControlSet\\Services\\" + service,
                            &services),
                qv::registry::Status::Ok);
      services.SetString("DisplayName", displayName);
    }
  }

  static ServiceRecord Named(const char* name) {
    ServiceRecord record{};
    std::strncpy(record.serviceName, name, sizeof record.serviceName - 1);
    return record;
  }

  FakeManager manager_;
};

TEST_F(LocalServiceTest, EnumerationWalksConnectorsThenAgentsAndSkipsUnnamedSubkeys) {
  Register("CONNECTORS", "A-SMTP", "QuorviaSMTP", "Quorvia SMTP Connector");
  Register("CONNECTORS", "B-Broken", "");  // no ServiceName: skipped
  Register("CONNECTORS", "C-POP3", "QuorviaPOP3");
  Register("Agents", "Spam", "QuorviaSpam", "Quorvia Spam Agent");
  manager_.Add("QuorviaSMTP", State::Running);
  manager_.Add("QuorviaPOP3", State::Stopped);
  manager_.Add("QuorviaSpam", State::Paused);

  ServiceRecord record{};
  ASSERT_EQ(QVServiceFindFirst(&record), 1);
  EXPECT_STREQ(record.serviceName, "QuorviaSMTP");
  EXPECT_STREQ(record.displayName, "Quorvia SMTP Connector");
  EXPECT_EQ(record.state, 4u);
  ASSERT_EQ(QVServiceFindNext(&record), 1);
  EXPECT_STREQ(record.serviceName, "QuorviaPOP3");
  EXPECT_STREQ(record.displayName, "");
  EXPECT_EQ(record.state, 1u);
  ASSERT_EQ(QVServiceFindNext(&record), 1);
  EXPECT_STREQ(record.serviceName, "QuorviaSpam");
  EXPECT_EQ(record.state, 7u);
  EXPECT_EQ(QVServiceFindNext(&record), 0);
  // FindFirst starts over.
  ASSERT_EQ(QVServiceFindFirst(&record), 1);
  EXPECT_STREQ(record.serviceName, "QuorviaSMTP");
}

TEST_F(LocalServiceTest, EnumeratedNamesCarryNothingAfterTheirTerminator) {
  Register("CONNECTORS", "A", "QuorviaLongServiceName");
  Register("CONNECTORS", "B", "Q");
  manager_.Add("QuorviaLongServiceName");
  manager_.Add("Q");
  ServiceRecord record{};
  ASSERT_EQ(QVServiceFindFirst(&record), 1);
  std::memset(record.serviceName, 0, sizeof record.serviceName);
  ASSERT_EQ(QVServiceFindNext(&record), 1);
  // The record crosses to remote callers whole: no bytes of earlier reads.
  EXPECT_STREQ(record.serviceName, "Q");
  const std::string tail(record.serviceName + 2, sizeof record.serviceName - 2);
  EXPECT_EQ(tail, std::string(tail.size(), '\0'));
}

TEST_F(LocalServiceTest, AServiceWithoutStatusDoesNotInheritThePreviousOne) {
  Register("CONNECTORS", "A", "QuorviaSMTP", "Quorvia SMTP Connector");
  Register("CONNECTORS", "B", "QuorviaGone");  // registered, unknown to the manager
  manager_.Add("QuorviaSMTP", State::Running);
  ServiceRecord record{};
  ::testing::internal::CaptureStdout();
  ASSERT_EQ(QVServiceFindFirst(&record), 1);
  EXPECT_EQ(record.state, 4u);
  ASSERT_EQ(QVServiceFindNext(&record), 1);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ERROR: COULDN'T ACCESS SERVICE\n");
  EXPECT_STREQ(record.serviceName, "QuorviaGone");
  EXPECT_STREQ(record.displayName, "");
  EXPECT_EQ(record.state, 0u);
}

TEST_F(LocalServiceTest, StartStopAndStatusPrintTheirMessages) {
  manager_.Add("QuorviaIMAP", State::Stopped);
  ServiceRecord record = Named("QuorviaIMAP");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(QVServiceStart(&record), 1);
  EXPECT_EQ(QVServiceStart(&record), 0);  // already running
  EXPECT_EQ(QVServiceGetStatus(&record), 1);
  EXPECT_EQ(record.state, 4u);
  EXPECT_EQ(QVServiceStop(&record), 1);
  EXPECT_EQ(QVServiceStop(&record), 0);
  manager_.SetFailing("QuorviaIMAP", true);
  EXPECT_EQ(QVServiceGetStatus(&record), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "STATUS: Service Started\n"
            "ERROR: COULDN'T START SERVICE\n"
            "STATUS: Service Stopped\n"
            "ERROR: COULDN'T STOP SERVICE\n"
            "ERROR: COULDN'T SERVICE_QUERY_STATUS SERVICE\n");
  EXPECT_EQ(manager_.StateOf("QuorviaIMAP"), State::Stopped);
}

TEST_F(LocalServiceTest, UnknownServiceAndUnreachableManager) {
  ServiceRecord record = Named("NoSuchService");
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(QVServiceGetStatus(&record), 0);
  manager_.SetUnavailable(true);
  EXPECT_EQ(QVServiceStart(&record), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ERROR: COULDN'T ACCESS SERVICE\nERROR: COULDN'T OPEN SCM\n");
  EXPECT_EQ(QVServiceStart(nullptr), 0);
}

TEST_F(LocalServiceTest, UnterminatedServiceNameIsReadWithinItsField) {
  ServiceRecord record;
  std::memset(&record, 'x', sizeof record);
  manager_.Add(std::string(256, 'x'), State::Running);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(QVServiceGetStatus(&record), 1);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(record.state, 4u);
}

}  // namespace
