#include <cerrno>

#include "library/support/support.h"
#include "platform/eventlog/eventlog.h"
#include "tests/common/test_support.h"

namespace qvaiso {
namespace {

using qv::eventlog::EventType;

TEST(ReportSystemEvent, WritesTheFixedFirstStringAndTheMessage) {
  qv::eventlog::ScopedCapture capture;
  errno = EACCES;
  ReportSystemEvent(kEventError, "", "ignored", kEventIdError, "Load failed");
  EXPECT_EQ(errno, EACCES) << "reporting must not change the caller's last error";
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
            (std::vector<std::string>{"Quorvia System Option Provider error: 5", "Load failed"}));
  EXPECT_EQ(entries[1].type, EventType::Information);
  EXPECT_EQ(entries[1].source, "Quorvia Store");
  EXPECT_EQ(entries[1].eventId, 0x40000001u);
  EXPECT_EQ(entries[1].strings,
            (std::vector<std::string>{"Quorvia System Option Provider error: 0", ""}));
  EXPECT_EQ(entries[2].type, EventType::Warning);
  EXPECT_EQ(entries[2].source, "Quorvia");
}

TEST(ReportSystemEvent, TheLastErrorIsTheWindowsNumberOfTheFailure) {
  EXPECT_EQ(WindowsErrorFromErrno(ENOENT), 2);
  EXPECT_EQ(WindowsErrorFromErrno(ENOTDIR), 3);
  EXPECT_EQ(WindowsErrorFromErrno(EPERM), 5);
  EXPECT_EQ(WindowsErrorFromErrno(EWOULDBLOCK), 32);
  EXPECT_EQ(WindowsErrorFromErrno(ENAMETOOLONG), 206);
  EXPECT_EQ(WindowsErrorFromErrno(0), 0);
  qv::eventlog::ScopedCapture capture;
  errno = ENOENT;
  SetLastErrorCode(127);  // set by a failure errno does not describe: used once
  ReportSystemEvent(kEventError, nullptr, nullptr, kEventIdError, "a");
  EXPECT_EQ(errno, ENOENT);
  ReportSystemEvent(kEventError, nullptr, nullptr, kEventIdError, "b");
  auto entries = capture.sink().entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].strings[0], "Quorvia System Option Provider error: 127");
  EXPECT_EQ(entries[1].strings[0], "Quorvia System Option Provider error: 2");
  errno = 0;
}

TEST(ReportSystemEvent, WritesNothingWhenTheSourceCannotBeRegistered) {
  qv::eventlog::ScopedCapture capture;
  capture.sink().RefuseSources(true);
  ReportSystemEvent(kEventError, "Quorvia", nullptr, kEventIdError, "lost");
  EXPECT_TRUE(capture.sink().entries().empty());
}

}  // namespace
}  // namespace qvaiso
