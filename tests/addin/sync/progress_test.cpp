#include "addin/sync/progress.h"

#include <signal.h>

#include <cstdio>
#include <cstdlib>

#include "platform/ui/terminal_progress.h"
#include "tests/common/test_support.h"

namespace qvsync {
namespace {

using qv::ui::ScriptedProgress;
using Kind = ScriptedProgress::Event::Kind;

class SyncProgressTest : public ::testing::Test {
 protected:
  SyncProgressTest() : scoped_(&scripted_) { SyncCancelled = false; }
  ~SyncProgressTest() override { CloseSyncProgress(); }
  ScriptedProgress scripted_;
  qv::ui::ScopedProgressFrontEnd scoped_;
};

TEST_F(SyncProgressTest, EachOperationLoadsTheWindowAndCloseUnloadsIt) {
  ASSERT_EQ(LoadedSyncProgress(), nullptr);
  SetSyncStatus("Validating Object: A");
  ASSERT_NE(LoadedSyncProgress(), nullptr);
  EXPECT_EQ(LoadedSyncProgress()->caption, "Synchronization in Progress");
  EXPECT_FALSE(scripted_.shown());  // loaded, not shown
  EXPECT_FALSE(LoadedSyncProgress()->pgActivity.visible);
  CloseSyncProgress();
  EXPECT_EQ(LoadedSyncProgress(), nullptr);
  CloseSyncProgress();  // again: nothing to do, no failure
  SetSyncProgressValue(1);
  ASSERT_NE(LoadedSyncProgress(), nullptr);  // a fresh window
  EXPECT_EQ(LoadedSyncProgress()->lblAction.caption, "");
}

TEST_F(SyncProgressTest, OperationsReachTheFrontEndInOrder) {
  SetSyncProgressTitle("Synchronizing Tasks..");
  ShowSyncProgress();
  EXPECT_TRUE(scripted_.shown());
  EXPECT_TRUE(LoadedSyncProgress()->pgActivity.visible);
  SetSyncProgressMax(3);
  for (long i = 1; i <= 3; ++i) {
    SetSyncProgressValue(i);
    SetSyncStatus("Validating Object: item " + std::to_string(i));
  }
  CloseSyncProgress();
  EXPECT_FALSE(scripted_.shown());
  EXPECT_EQ(scripted_.Texts(Kind::Caption), (std::vector<std::string>{"Synchronizing Tasks.."}));
  EXPECT_EQ(scripted_.Numbers(Kind::Max), (std::vector<long>{3}));
  EXPECT_EQ(scripted_.Numbers(Kind::Value), (std::vector<long>{1, 2, 3}));
  EXPECT_EQ(scripted_.Texts(Kind::Status).back(), "Validating Object: item 3");
  EXPECT_EQ(scripted_.doEventsCalls(), 3);  // pending events run at each value, only there
  EXPECT_EQ(scripted_.events().back().kind, Kind::Hidden);
}

TEST_F(SyncProgressTest, TheBarKeepsItsValueInRangeAndIgnoresAMaximumBelowOne) {
  ShowSyncProgress();
  SetSyncProgressMax(0);
  SetSyncProgressMax(-4);
  EXPECT_EQ(LoadedSyncProgress()->pgActivity.max, 100);
  SetSyncProgressMax(5);
  SetSyncProgressValue(9);
  EXPECT_EQ(LoadedSyncProgress()->pgActivity.value, 5);
  SetSyncProgressValue(-1);
  EXPECT_EQ(LoadedSyncProgress()->pgActivity.value, 0);
  SetSyncProgressValue(4);
  SetSyncProgressMax(2);  // a smaller maximum takes the value with it
  EXPECT_EQ(LoadedSyncProgress()->pgActivity.value, 2);
}

TEST_F(SyncProgressTest, CancelSetsTheFlagClosesTheWindowAndTheLoopStopsAtItsNextCheck) {
  scripted_.CancelWhen([](const qv::ui::ProgressSnapshot& s, int) { return s.value == 3; });
  SetSyncProgressTitle("Synchronizing Tasks..");
  ShowSyncProgress();
  SetSyncProgressMax(10);
  long handled = 0;
  for (long i = 1; i <= 10; ++i) {
    SetSyncProgressValue(i);
    if (SyncCancelled) break;
    ++handled;
  }
  EXPECT_TRUE(SyncCancelled);
  EXPECT_EQ(handled, 2);
  EXPECT_FALSE(scripted_.shown());         // Cancel closed the window
  ASSERT_NE(LoadedSyncProgress(), nullptr);  // the run unloads it
  SetSyncProgressValue(4);                   // a hidden window cannot be pressed again
  EXPECT_EQ(scripted_.cancelPresses(), 1);
  CloseSyncProgress();
  EXPECT_EQ(LoadedSyncProgress(), nullptr);
  ShowSyncProgress();  // the next pass may show a fresh window again
  EXPECT_TRUE(scripted_.shown());
}

TEST(SyncProgressTerminal, CtrlCDuringARunSetsSyncCancelledAtTheNextValue) {
  char* buffer = nullptr;
  size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  {
    qv::ui::TerminalProgress terminal(nullptr, out);
    terminal.SetLive(false);
    qv::ui::ScopedProgressFrontEnd scoped(&terminal);
    SyncCancelled = false;
    SetSyncProgressTitle("Synchronizing Contacts..");
    ShowSyncProgress();
    SetSyncProgressMax(5);
    long handled = 0;
    for (long i = 1; i <= 5; ++i) {
      SetSyncProgressValue(i);
      if (SyncCancelled) break;
      SetSyncStatus("Validating Object: " + std::to_string(i));
      if (i == 2) raise(SIGINT);
      ++handled;
    }
    EXPECT_TRUE(SyncCancelled);
    EXPECT_EQ(handled, 2);
    CloseSyncProgress();
  }
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  EXPECT_EQ(text,
            "Press Ctrl-C to cancel.\n"
            "Synchronizing Contacts..\n"
            "  [1/5] Validating Object: 1\n"
            "  [2/5] Validating Object: 2\n"
            "Cancel pressed: the synchronization stops at its next check.\n");
  SyncCancelled = false;
}

}  // namespace
}  // namespace qvsync
