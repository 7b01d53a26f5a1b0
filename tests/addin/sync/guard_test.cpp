// The mass-deletion guard: a run that would delete more than half of what the
// conversion table ties to the server (and at least 10) asks first, in either
// direction; a run nobody can be asked in skips those deletions.
#include <algorithm>
#include <tuple>

#include "addin/sync/deletion_guard.h"
#include "tests/addin/sync/sync_fixture.h"

namespace qvsync::testing {
namespace {

using qv::ui::Answer;
using Strings = std::vector<std::string>;

constexpr int kTasks = 25;

class GuardTest : public SyncFixture, public ::testing::WithParamInterface<bool> {
 protected:
  GuardTest() {
    Config().batchMode = GetParam() ? 1 : 0;
    Config().calendarSyncMode = Config().contactSyncMode = 0;
    // Someone is at the screen: Outlook runs with its explorer window.
    Attended(true);
    for (int i = 0; i < kTasks; ++i) qv::outlook::AddItem(Folder("TASK"), {{"Subject", Name(i)}});
    Sync();
    EXPECT_EQ(ServerItems("TASK").size(), static_cast<size_t>(kTasks));
    Advance();
    ClearLog();
  }

  static std::string Name(int i) { return "Task " + std::to_string(100 + i); }

  // Deletes items `from` to `to` (not included) on the server; the first
  // `count` with one argument.
  void DeleteOnServer(int from, int to) {
    for (int i = from; i < to; ++i) {
      for (const auto& item : ServerItems("TASK"))
        if (Field(item, "Subject") == Name(i)) servlet_.DeleteItem(kUser, item.uid);
    }
  }
  void DeleteOnServer(int count) { DeleteOnServer(0, count); }
  // Changes items `from` to `to` (not included) in Outlook.
  void EditInOutlook(int from, int to) {
    for (int i = from; i < to; ++i) {
      Variant item = OutlookItem("TASK", Name(i));
      item.put("Body", "changed");
      item.call("Save");
    }
  }
  void DeleteInOutlook(int count) {
    for (int i = 0; i < count; ++i) OutlookItem("TASK", Name(i)).call("Delete");
  }
  size_t OnServer() { return ServerItems("TASK").size(); }
  size_t InOutlook() const { return OutlookSubjects("TASK").size(); }
};

TEST_P(GuardTest, AServerListMissingMostItemsAsksBeforeDeletingThemFromOutlook) {
  DeleteOnServer(15);  // 60%
  ui_.QueueAnswer(Answer::No);
  Sync();
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text, "The server no longer lists 15 of your 25 synchronized tasks. Delete them from Outlook?");
  EXPECT_EQ(ui_.boxes()[0].title, "Quorvia Synchronization");
  EXPECT_EQ(ui_.boxes()[0].buttons, qv::ui::Buttons::YesNo);
  EXPECT_EQ(ui_.boxes()[0].icon, qv::ui::Icon::Exclamation);
  EXPECT_EQ(InOutlook(), 25u);
  EXPECT_EQ(OnServer(), 10u);  // nothing was sent back either
  EXPECT_TRUE(Logged("Deletion Guard: The server no longer lists 15 of your 25 synchronized tasks. Delete them "
                     "from Outlook? Answered No; kept."));

  // No kept the rows: the next run asks again, and Yes lets them go.
  ui_.Clear();
  ui_.QueueAnswer(Answer::Yes);
  Sync();
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(InOutlook(), 10u);
  EXPECT_EQ(DeletedSubjects().size(), 15u);
  EXPECT_EQ(OnServer(), 10u);
  ui_.Clear();
  Sync();
  EXPECT_TRUE(ui_.boxes().empty());
}

TEST_P(GuardTest, OutlookMissingMostItemsAsksBeforeDeletingThemFromTheServer) {
  DeleteInOutlook(15);
  ui_.QueueAnswer(Answer::No);
  Sync();
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text, "15 of your 25 synchronized tasks are no longer in Outlook. Delete them from the server?");
  EXPECT_EQ(ui_.boxes()[0].icon, qv::ui::Icon::Exclamation);
  EXPECT_EQ(OnServer(), 25u);
  EXPECT_EQ(InOutlook(), 10u);  // and none came back as a duplicate
  const auto requests = servlet_.Requests();
  EXPECT_TRUE(std::none_of(requests.begin(), requests.end(), [](const auto& request) {
    return request.command.rfind("DELETE", 0) == 0 || request.body.find("DELETE") != std::string::npos;
  }));

  ui_.Clear();
  ui_.QueueAnswer(Answer::Yes);
  Sync();
  EXPECT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(OnServer(), 10u);
  EXPECT_EQ(InOutlook(), 10u);
}

TEST_P(GuardTest, AtFortyPercentTheServersDeletionsGoAheadWithoutAQuestion) {
  DeleteOnServer(10);  // 40%
  Sync();
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(InOutlook(), 15u);
  EXPECT_FALSE(LoggedContaining("Deletion Guard"));
}

TEST_P(GuardTest, AtFortyPercentOutlooksDeletionsGoAheadWithoutAQuestion) {
  DeleteInOutlook(10);
  Sync();
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(OnServer(), 15u);
  EXPECT_FALSE(LoggedContaining("Deletion Guard"));
}

TEST_P(GuardTest, FewerThanTenDeletionsNeverAsk) {
  Config().deletionGuard = 0;
  DeleteOnServer(16);
  Sync();
  EXPECT_EQ(InOutlook(), 9u);
  Config().deletionGuard = 1;
  Advance();
  // Six of the nine left (two thirds, but fewer than ten).
  DeleteOnServer(16, 22);
  Sync();
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(InOutlook(), 3u);
}

TEST_P(GuardTest, ARunNobodyCanBeAskedInSkipsTheDeletionsAndSaysWhy) {
  DeleteOnServer(15);
  Attended(false);  // Outlook started for automation
  Sync();
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(InOutlook(), 25u);
  EXPECT_TRUE(Logged(
      "Deletion Guard: The server no longer lists 15 of your 25 synchronized tasks. Delete them from Outlook? "
      "Skipped without asking (automation run); the items and their conversion rows are kept for the next "
      "synchronization."));

  Attended(true);
  CurrentSyncOccasion() = SyncOccasion::StartUp;
  Sync();
  CurrentSyncOccasion() = SyncOccasion::Command;
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(InOutlook(), 25u);
  EXPECT_TRUE(LoggedContaining("Skipped without asking (start-up run)"));
}

TEST_P(GuardTest, TheGuardTurnedOffDeletesWithoutAsking) {
  Config().deletionGuard = 0;
  DeleteOnServer(15);
  Sync();
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(InOutlook(), 10u);
}

// Items changed in Outlook that the server has lost: each edit is answered
// "removed", which deletes the item in Outlook. Most of the table at once is
// the same question as a cut list, asked once per run, with the same answers.
TEST_P(GuardTest, EditsAnsweredRemovedForMostItemsAskBeforeDeletingThemFromOutlook) {
  DeleteOnServer(15);
  EditInOutlook(0, 15);
  ui_.QueueAnswer(Answer::No);
  Sync();
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(ui_.boxes()[0].text, "The server no longer lists 15 of your 25 synchronized tasks. Delete them from Outlook?");
  EXPECT_EQ(InOutlook(), 25u);
  EXPECT_TRUE(DeletedSubjects().empty());
  EXPECT_EQ(OnServer(), 10u) << "nothing was added back";

  // Kept with their rows: changed again, the next run asks again and Yes
  // lets them go.
  Advance();
  EditInOutlook(0, 15);
  ui_.Clear();
  ui_.QueueAnswer(Answer::Yes);
  Sync();
  ASSERT_EQ(ui_.boxes().size(), 1u);
  EXPECT_EQ(InOutlook(), 10u);
  EXPECT_EQ(DeletedSubjects().size(), 15u);
  EXPECT_EQ(OnServer(), 10u);

  // Below the threshold an edit answered "removed" deletes at once.
  Advance();
  DeleteOnServer(15, 17);  // two more of the ten left
  EditInOutlook(15, 17);
  ui_.Clear();
  Sync();
  EXPECT_TRUE(ui_.boxes().empty());
  EXPECT_EQ(InOutlook(), 8u);
}

INSTANTIATE_TEST_SUITE_P(Modes, GuardTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? std::string("Batch") : std::string("Direct"); });

}  // namespace
}  // namespace qvsync::testing

namespace qvsync::testing {
namespace {

// The guard's two boundaries, at least ten deletions and more than half of
// what the table ties (2N > M), end to end: the server deletes N of M tasks.
struct Boundary {
  int tied, deleted;
  bool asks;
};

class GuardBoundaryTest : public SyncFixture, public ::testing::WithParamInterface<Boundary> {};

TEST_P(GuardBoundaryTest, TheQuestionComesAtTenDeletionsOfMoreThanHalf) {
  const Boundary b = GetParam();
  Config().calendarSyncMode = Config().contactSyncMode = 0;
  Attended(true);
  for (int i = 0; i < b.tied; ++i) qv::outlook::AddItem(Folder("TASK"), {{"Subject", "Task " + std::to_string(i)}});
  Sync();
  auto items = servlet_.ListItems(kUser, "TASK");
  ASSERT_EQ(items.size(), static_cast<size_t>(b.tied));
  for (int i = 0; i < b.deleted; ++i) servlet_.DeleteItem(kUser, items[static_cast<size_t>(i)].uid);
  Advance();
  ui_.QueueAnswer(qv::ui::Answer::No);
  Sync();
  EXPECT_EQ(ui_.boxes().size(), b.asks ? 1u : 0u);
  EXPECT_EQ(OutlookSubjects("TASK").size(), static_cast<size_t>(b.asks ? b.tied : b.tied - b.deleted));
}

INSTANTIATE_TEST_SUITE_P(Boundaries, GuardBoundaryTest,
                         ::testing::Values(Boundary{20, 10, false},   // ten, exactly half
                                           Boundary{19, 10, true},    // ten, just over half
                                           Boundary{17, 9, false},    // nine, over half
                                           Boundary{22, 11, false},   // eleven, exactly half
                                           Boundary{21, 11, true}),   // eleven, just over half
                         [](const auto& info) {
                           return std::to_string(info.param.deleted) + "Of" + std::to_string(info.param.tied);
                         });

// The same rule on its own, for both sides, where nobody can be asked (the
// deletions that would need a question are held back).
TEST(DeletionGuard, HoldsBackTenOrMoreDeletionsOfMoreThanHalfOnEitherSide) {
  Config() = SyncConfig{};
  for (DeletionSide side : {DeletionSide::Outlook, DeletionSide::Server}) {
    for (const auto& [count, tied, allowed] :
         std::vector<std::tuple<size_t, size_t, bool>>{{10, 20, true}, {10, 19, false}, {9, 9, true},
                                                       {11, 22, true}, {11, 21, false}, {0, 0, true}}) {
      DeletionGuard guard("TASK");
      EXPECT_EQ(guard.Allows(side, count, tied), allowed) << count << " of " << tied;
    }
  }
  Config().deletionGuard = 0;
  EXPECT_TRUE(DeletionGuard("TASK").Allows(DeletionSide::Outlook, 10, 10));
  Config() = SyncConfig{};
}

}  // namespace
}  // namespace qvsync::testing
