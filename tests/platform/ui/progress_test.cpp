#include "platform/ui/terminal_front_end.h"
#include "platform/ui/terminal_progress.h"

#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/common/test_support.h"

namespace qv::ui {
namespace {

// A progress window in the manner of the add-in's.
class SampleProgress : public ProgressWindow {
 public:
  SampleProgress() {
    caption = "Working";
    bar.visible = true;
    cmdCancel.isCancel = true;
    cmdCancel.onClick = [this] { ++cancelClicks; };
  }
  std::vector<Control*> Controls() override { return {&lblStatus, &bar, &cmdCancel}; }
  Label& StatusLabel() override { return lblStatus; }
  ProgressBar& Bar() override { return bar; }
  Button& CancelButton() override { return cmdCancel; }

  Label lblStatus{"lblStatus"};
  ProgressBar bar{"bar"};
  Button cmdCancel{"cmdCancel"};
  int cancelClicks = 0;
};

// Captures what a TerminalProgress prints.
class Captured {
 public:
  Captured() : out_(open_memstream(&buffer_, &size_)) {}
  ~Captured() {
    std::fclose(out_);
    std::free(buffer_);
  }
  std::FILE* out() { return out_; }
  std::string Text() {
    std::fflush(out_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  size_t size_ = 0;
  std::FILE* out_;
};

TEST(ProgressBarText, FillsInProportionAndStaysInsideItsCells) {
  EXPECT_EQ(TerminalProgress::BarText(0, 10, 10), "[..........]");
  EXPECT_EQ(TerminalProgress::BarText(5, 10, 10), "[#####.....]");
  EXPECT_EQ(TerminalProgress::BarText(10, 10, 4), "[####]");
  EXPECT_EQ(TerminalProgress::BarText(99, 10, 4), "[####]");   // beyond the maximum
  EXPECT_EQ(TerminalProgress::BarText(-3, 10, 4), "[....]");   // below zero
  EXPECT_EQ(TerminalProgress::BarText(3, 0, 4), "[....]");     // no maximum yet
}

TEST(TerminalProgressPlain, PrintsCaptionAndEachNewStatusWithTheCountAndNoEscapes) {
  Captured captured;
  TerminalProgress terminal(nullptr, captured.out());
  terminal.SetLive(false);
  SampleProgress window;
  window.bar.max = 3;
  terminal.Show(window);
  for (long i = 1; i <= 3; ++i) {
    window.bar.value = i;
    terminal.Repaint(window);
    window.lblStatus.caption = i == 2 ? "Validating Object: B" : "Validating Object: A";
    terminal.Repaint(window);
    terminal.DoEvents(window);
  }
  window.caption = "Next\tclass\x1b[2J";  // control characters never reach the output
  terminal.Repaint(window);
  terminal.Hide(window);
  window.lblStatus.caption = "after hiding";
  terminal.Repaint(window);  // a hidden window is not drawn
  EXPECT_EQ(captured.Text(),
            "Press Ctrl-C to cancel.\n"
            "Working\n"
            "  [1/3] Validating Object: A\n"
            "  [2/3] Validating Object: B\n"
            "  [3/3] Validating Object: A\n"
            "Next class?[2J\n");
}

TEST(TerminalProgressLive, RedrawsOneLineCutToTheWidthWithoutSplittingACharacter) {
  Captured captured;
  TerminalProgress terminal(nullptr, captured.out());
  terminal.SetLive(true);
  terminal.SetWidth(81);  // cuts inside the status's last characters
  SampleProgress window;
  window.caption = "Synchronizing Contacts..";
  window.bar.max = 10;
  window.bar.value = 4;
  window.lblStatus.caption = "Validating Object: \xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
  terminal.Show(window);
  terminal.Hide(window);
  std::string text = captured.Text();
  const std::string hint = "Press Ctrl-C to cancel.\n";  // said once, before the live line
  ASSERT_EQ(text.rfind(hint + "\r\x1b[K", 0), 0u) << text;
  text.erase(0, hint.size());
  EXPECT_NE(text.find("Synchronizing Contacts..  [########............]"), std::string::npos) << text;
  ASSERT_EQ(text.back(), '\n');  // hiding ends the line
  // Every drawn line fits in 80 columns and ends on a whole UTF-8 character.
  size_t start = 0;
  while ((start = text.find("\r\x1b[K", start)) != std::string::npos) {
    start += 4;
    size_t end = text.find_first_of("\r\n", start);
    std::string line = text.substr(start, end - start);
    EXPECT_LE(line.size(), 80u);
    ASSERT_FALSE(line.empty());
    EXPECT_NE(static_cast<unsigned char>(line.back()), 0xC3) << line;
  }
}

TEST(TerminalProgressInterrupt, CtrlCPressesCancelAtTheNextDoEventsAndIsReleasedAfterHide) {
  struct sigaction before {};
  sigaction(SIGINT, nullptr, &before);
  Captured captured;
  TerminalProgress terminal(nullptr, captured.out());
  terminal.SetLive(false);
  SampleProgress window;
  terminal.Show(window);
  raise(SIGINT);  // the process lives on
  EXPECT_EQ(window.cancelClicks, 0);
  terminal.DoEvents(window);
  EXPECT_EQ(window.cancelClicks, 1);
  terminal.DoEvents(window);  // one press, one click
  EXPECT_EQ(window.cancelClicks, 1);
  EXPECT_NE(captured.Text().find("Cancel pressed"), std::string::npos);
  terminal.Hide(window);
  EXPECT_EQ(window.cancelClicks, 1);
  // A press after the last DoEvents is not dropped when the window goes.
  terminal.Show(window);
  raise(SIGINT);
  terminal.Hide(window);
  EXPECT_EQ(window.cancelClicks, 2);
  struct sigaction after {};
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

// Ctrl-C while a request waits for the server ends the wait at once, and,
// while a progress window is shown, presses its Cancel too; without one the
// press goes with the wait.
TEST(TerminalWaitInterrupt, CtrlCEndsTheWaitAndPressesAShownProgressWindowsCancel) {
  struct sigaction before {};
  sigaction(SIGINT, nullptr, &before);
  Captured captured;
  TerminalFrontEnd boxes(nullptr, captured.out());
  TerminalProgress terminal(nullptr, captured.out());
  terminal.SetLive(false);
  SampleProgress window;
  terminal.Show(window);
  boxes.BeginWait("Connecting to mail.example.com ...");
  EXPECT_FALSE(boxes.WaitCancelled());
  raise(SIGINT);  // the process lives on
  EXPECT_TRUE(boxes.WaitCancelled());
  boxes.EndWait();
  terminal.DoEvents(window);
  EXPECT_EQ(window.cancelClicks, 1);
  terminal.Hide(window);

  boxes.BeginWait("Connecting to mail.example.com ...");
  raise(SIGINT);
  EXPECT_TRUE(boxes.WaitCancelled());
  boxes.EndWait();
  boxes.BeginWait("Connecting to mail.example.com ...");
  EXPECT_FALSE(boxes.WaitCancelled()) << "a press ends one wait, not the next";
  boxes.EndWait();
  struct sigaction after {};
  sigaction(SIGINT, nullptr, &after);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST(TerminalProgressInterruptDeathTest, SecondCtrlCBeforeTheRunNoticesEndsTheProcess) {
  EXPECT_EXIT(
      {
        TerminalProgress terminal(nullptr, stderr);
        terminal.SetLive(false);
        SampleProgress window;
        terminal.Show(window);
        raise(SIGINT);
        raise(SIGINT);
        std::exit(0);
      },
      ::testing::KilledBySignal(SIGINT), "");
}

TEST(TerminalProgressKeys, CancelKeyAtATerminalPressesCancelAndTheModesComeBack) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  std::FILE* in = std::fopen(ptsname(master), "r+");
  ASSERT_NE(in, nullptr);
  Captured captured;
  {
    TerminalProgress terminal(in, captured.out());
    terminal.SetLive(true);
    SampleProgress window;
    terminal.Show(window);
    struct termios modes {};
    ASSERT_EQ(tcgetattr(fileno(in), &modes), 0);
    EXPECT_EQ(modes.c_lflag & (ICANON | ECHO), 0u);  // key by key, no echo
    ASSERT_EQ(write(master, "x", 1), 1);
    usleep(20000);
    terminal.DoEvents(window);
    EXPECT_EQ(window.cancelClicks, 0);  // any other key does nothing
    ASSERT_EQ(write(master, "c", 1), 1);
    // The terminal passes the key on in its own time: a loaded machine may
    // need more than one look.
    for (int tries = 0; tries < 200 && window.cancelClicks == 0; ++tries) {
      usleep(10000);
      terminal.DoEvents(window);
    }
    EXPECT_EQ(window.cancelClicks, 1);
    terminal.Hide(window);
    ASSERT_EQ(tcgetattr(fileno(in), &modes), 0);
    EXPECT_NE(modes.c_lflag & ICANON, 0u);
    EXPECT_NE(modes.c_lflag & ECHO, 0u);
  }
  std::fclose(in);
  close(master);
}

TEST(ScriptedProgress, RecordsChangesInOrderAndPressesCancelOnceWhenAsked) {
  ScriptedProgress scripted;
  scripted.CancelWhen([](const ProgressSnapshot& s, int) { return s.value == 2; });
  SampleProgress window;
  window.caption = "Tasks";
  scripted.Repaint(window);
  scripted.Show(window);
  window.bar.max = 5;
  scripted.Repaint(window);
  for (long i = 1; i <= 4; ++i) {
    window.bar.value = i;
    scripted.Repaint(window);
    scripted.DoEvents(window);
  }
  window.lblStatus.caption = "done";
  scripted.Repaint(window);
  scripted.Hide(window);
  scripted.DoEvents(window);
  EXPECT_EQ(window.cancelClicks, 1);
  EXPECT_EQ(scripted.cancelPresses(), 1);
  EXPECT_EQ(scripted.doEventsCalls(), 5);
  EXPECT_EQ(scripted.Numbers(ScriptedProgress::Event::Value), (std::vector<long>{1, 2, 3, 4}));
  EXPECT_EQ(scripted.Texts(ScriptedProgress::Event::Status), (std::vector<std::string>{"done"}));
  using K = ScriptedProgress::Event;
  std::vector<K::Kind> kinds;
  for (const auto& e : scripted.events()) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<K::Kind>{K::Caption, K::Shown, K::Max, K::Value, K::Value, K::Cancelled, K::Value,
                                         K::Value, K::Status, K::Hidden}));
}

TEST(ScriptedProgress, AHiddenWindowCannotBeCancelled) {
  ScriptedProgress scripted;
  scripted.CancelAtDoEvents(1);
  SampleProgress window;
  scripted.DoEvents(window);
  EXPECT_EQ(window.cancelClicks, 0);
}

}  // namespace
}  // namespace qv::ui
