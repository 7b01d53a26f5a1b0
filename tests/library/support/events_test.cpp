#include <cerrno>

#include "library/support/support.h"
#include "platform/eventlog/eventlog.h"
#include "tests/common/test_support.h"

namespace qvaiso {
namespace {

using qv::eventlog::EventType;

TEST(ReportSystemEvent, WritesTheFixedFirstStringAndTheMessage) {
  qv::eventlog::ScopedCapture capture;
  errno = 13;
  ReportSystemEvent(kEventError, "", "ignored", kEventIdError, "Load failed");
  EXPECT_EQ(errno, 13) << "reporting must not change the caller's last error";
  errno = 0;
  ReportSystemEvent(kEventInformation, "Quorvia Store", nullptr, kEventIdInformation, nullptr);
  ReportSystemEvent(kEventWarning, nullptr, nullptr, 5, "w");

  auto entries = capture.sink().entries();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].type, EventType::Error);
  EXPECT_EQ(entries[0].source, "Quorvia");
  EXPECT_EQ(entries[0].category, 0);
  EXPECT_EQ(entries[0].eventId, 10000u);
  EXPECT_EQ(entries[0].strings,
            (std::vector<std::string>{"Quorvia System Option Provider error: 13", "Load failed"}));
  EXPECT_EQ(entries[1].type, EventType::Information);
  EXPECT_EQ(entries[1].source, "Quorvia Store");
  EXPECT_EQ(entries[1].eventId, 0x40000001u);
  EXPECT_EQ(entries[1].strings,
            (std::vector<std::string>{"Quorvia System Option Provider error: 0", ""}));
  EXPECT_EQ(entries[2].type, EventType::Warning);
  EXPECT_EQ(entries[2].source, "Quorvia");
}

TEST(ReportSystemEvent, WritesNothingWhenTheSourceCannotBeRegistered) {
  qv::eventlog::ScopedCapture capture;
  capture.sink().RefuseSources(true);
  ReportSystemEvent(kEventError, "Quorvia", nullptr, kEventIdError, "lost");
  EXPECT_TRUE(capture.sink().entries().empty());
}

}  // namespace
}  // namespace qvaiso
