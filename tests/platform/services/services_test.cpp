#include "platform/services/services.h"

#include <gtest/gtest.h>

#include "tests/common/test_support.h"

namespace {

using namespace qv::services;

TEST(ServicesTest, ServiceNamesBecomeUnits) {
  EXPECT_EQ(UnitName("QuorviaSMTP"), "QuorviaSMTP.service");
  EXPECT_EQ(UnitName("quorvia-imap.service"), "quorvia-imap.service");
  EXPECT_EQ(UnitName("quorvia.target"), "quorvia.target");
  EXPECT_EQ(UnitName(".service"), ".service.service");
}

TEST(ServicesTest, SystemdStatesMapOntoTheSevenStateNumbers) {
  EXPECT_EQ(StateFromSystemd("active", "running", "running"), State::Running);
  EXPECT_EQ(StateFromSystemd("reloading", "reload", ""), State::Running);
  EXPECT_EQ(StateFromSystemd("inactive", "dead", ""), State::Stopped);
  EXPECT_EQ(StateFromSystemd("failed", "failed", ""), State::Stopped);
  EXPECT_EQ(StateFromSystemd("activating", "start-pre", ""), State::StartPending);
  EXPECT_EQ(StateFromSystemd("deactivating", "stop-sigterm", ""), State::StopPending);
  EXPECT_EQ(StateFromSystemd("active", "running", "freezing"), State::PausePending);
  EXPECT_EQ(StateFromSystemd("active", "running", "frozen"), State::Paused);
  EXPECT_EQ(StateFromSystemd("active", "running", "thawing"), State::ContinuePending);
}

TEST(ServicesTest, StartsOnlyStoppedServicesAndStopsOnlyStartedOnes) {
  // Both managers refuse what the Windows manager refuses; systemd alone
  // would accept a start of a running unit as a no-op and report success.
  EXPECT_FALSE(RefusesTransition(State::Stopped, true));
  EXPECT_TRUE(RefusesTransition(State::Running, true));
  EXPECT_TRUE(RefusesTransition(State::StartPending, true));
  EXPECT_TRUE(RefusesTransition(State::Paused, true));
  EXPECT_TRUE(RefusesTransition(State::Stopped, false));
  EXPECT_FALSE(RefusesTransition(State::Running, false));
  EXPECT_FALSE(RefusesTransition(State::Paused, false));
  EXPECT_FALSE(RefusesTransition(State::StartPending, false));
}

TEST(ServicesTest, FakeManagerStartsStopsAndRefuses) {
  FakeManager fake;
  SetFakeManagerForTesting(&fake);
  fake.Add("A", State::Stopped);
  auto manager = OpenManager();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->Find("A"), Outcome::Ok);
  EXPECT_EQ(manager->Find("B"), Outcome::NoService);
  EXPECT_EQ(manager->Start("A"), Outcome::Ok);
  EXPECT_EQ(manager->Start("A"), Outcome::Failed);
  State state;
  EXPECT_EQ(manager->QueryState("A", &state), Outcome::Ok);
  EXPECT_EQ(state, State::Running);
  EXPECT_EQ(manager->Stop("A"), Outcome::Ok);
  EXPECT_EQ(manager->Stop("A"), Outcome::Failed);
  EXPECT_EQ(fake.StateOf("A"), State::Stopped);
  fake.SetFailing("A", true);
  EXPECT_EQ(manager->QueryState("A", &state), Outcome::Failed);
  fake.SetUnavailable(true);
  EXPECT_EQ(OpenManager(), nullptr);
  SetFakeManagerForTesting(nullptr);
}

TEST(ServicesTest, UnreachableSystemBusGivesNoManager) {
  qv::testing::TempDir dir;
  qv::testing::ScopedEnv bus("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.File("no-bus"));
  EXPECT_EQ(OpenSystemdManager(), nullptr);
  EXPECT_EQ(OpenManager(), nullptr);
}

}  // namespace
