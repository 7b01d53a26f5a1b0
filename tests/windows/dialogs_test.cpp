// The add-in's windows as Windows dialogs, driven as a person drives them:
// a timer on the test's thread looks at the dialog on top (the one that takes
// input) from inside its modal loop and types into its edit boxes, clicks
// its buttons and picks from its lists with window messages; the test then
// checks what the window's handlers did, on screen and in the model.
#include "platform/win32/ui/dialogs.h"  // first: <windows.h> without its MessageBox macro

#include <commctrl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "addin/config/config_dialog.h"
#include "addin/config/sync_config.h"
#include "addin/sync/progress.h"
#include "addin/windows.h"
#include "platform/ui/process_notes.h"
#include "platform/win32/ui/dialog.h"
#include "tests/windows/dialog_driver.h"

namespace qvsync {
namespace {

using qv::ui::Control;
using qv::ui::Window;
using qv::testing::ClassOf;
using qv::testing::Person;
using qv::testing::TextOf;
using qv::testing::TopDialog;

// A control of our dialog, by the model's control.
HWND Item(HWND dialog, Window& window, const Control& control) {
  const std::vector<Control*> controls = window.Controls();
  for (size_t i = 0; i < controls.size(); ++i) {
    if (controls[i] == &control) return GetDlgItem(dialog, qv::ui::kFirstControlId + static_cast<int>(i));
  }
  return nullptr;
}

void Type(HWND edit, const std::string& text) {
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(qv::ui::WideText(text).c_str()));
}
void Click(HWND button) { SendMessageW(button, BM_CLICK, 0, 0); }

// With QV_SCREENSHOTS=FOLDER (scripts/windows-screenshots.sh), the window as
// it is on screen, frame included, into FOLDER/NAME.bmp.
void Snap(HWND window, const std::string& name) {
  const char* folder = std::getenv("QV_SCREENSHOTS");
  if (folder == nullptr || *folder == '\0') return;
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
  RECT rect{};
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  BITMAPINFOHEADER head{sizeof head, width, height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&head), DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  GdiFlush();
  const DWORD size = static_cast<DWORD>(width) * static_cast<DWORD>(height) * 4;
  BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof file + sizeof head + size), 0, 0,
                        static_cast<DWORD>(sizeof file + sizeof head)};
  if (FILE* out = std::fopen((std::string(folder) + "/" + name + ".bmp").c_str(), "wb")) {
    std::fwrite(&file, sizeof file, 1, out);
    std::fwrite(&head, sizeof head, 1, out);
    std::fwrite(bits, 1, size, out);
    std::fclose(out);
  }
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
}

// A message box as the person sees it.
struct BoxSeen {
  std::string title, text;
  HICON icon = nullptr;
  int focused = 0;  // the ID of the button with the focus: the default one
};

BoxSeen Look(HWND box) {
  BoxSeen seen;
  seen.title = TextOf(box);
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != "Static") continue;
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      seen.icon = reinterpret_cast<HICON>(SendMessageW(child, STM_GETICON, 0, 0));
    } else if (seen.text.empty()) {
      seen.text = TextOf(child);
    }
  }
  seen.focused = GetDlgCtrlID(GetFocus());
  return seen;
}

// A step for a box titled `title`: records it and presses `button`.
Person::Step AnswerBox(const std::string& title, BoxSeen* seen, int button = IDOK) {
  return [=](HWND top) {
    if (TextOf(top) != title) return false;
    *seen = Look(top);
    Snap(top, "MessageBox");
    PostMessageW(top, WM_COMMAND, button, 0);
    return true;
  };
}

// A step for `window`'s dialog: `act` on it once it is on top.
Person::Step OnWindow(Window& window, std::function<void(HWND top)> act) {
  return [&window, act](HWND top) {
    if (TextOf(top) != window.caption) return false;
    act(top);
    return true;
  };
}

class DialogsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = Config();
    qv::ui::EraseProcessNote("QUORVIA_UI_ANSWER");
  }
  void TearDown() override { Config() = saved_; }
  SyncConfig saved_;
};

TEST_F(DialogsTest, BoxesShowTheirIconAndDefaultButton) {
  struct Case {
    qv::ui::Buttons buttons;
    qv::ui::Icon icon;
    qv::ui::DefaultButton default_;
    LPCSTR systemIcon;
    int focused;
  } cases[] = {
      {qv::ui::Buttons::YesNo, qv::ui::Icon::Question, qv::ui::DefaultButton::Second, IDI_QUESTION, IDNO},
      {qv::ui::Buttons::YesNoCancel, qv::ui::Icon::Exclamation, qv::ui::DefaultButton::Third, IDI_EXCLAMATION,
       IDCANCEL},
      {qv::ui::Buttons::OKCancel, qv::ui::Icon::Critical, qv::ui::DefaultButton::First, IDI_HAND, IDOK},
      // A default the box has no button for is its first.
      {qv::ui::Buttons::OK, qv::ui::Icon::Information, qv::ui::DefaultButton::Third, IDI_ASTERISK, IDOK},
  };
  for (const Case& c : cases) {
    BoxSeen seen;
    Person person({AnswerBox("Question", &seen, IDCANCEL)});
    qv::ui::ShowMessage("Delete them?", "Question", c.buttons, c.icon, c.default_);
    EXPECT_TRUE(person.Finished());
    EXPECT_EQ(seen.text, "Delete them?");
    EXPECT_EQ(seen.icon, LoadIconA(nullptr, c.systemIcon)) << static_cast<int>(c.icon);
    EXPECT_EQ(seen.focused, c.focused) << static_cast<int>(c.buttons);
  }
}

TEST_F(DialogsTest, AboutShowsItsTextsAndOkClosesIt) {
  frmAbout about;
  std::string version;
  Person person({OnWindow(about, [&](HWND top) {
    Snap(top, "frmAbout");
    version = TextOf(Item(top, about, about.lblVersion));
    Click(Item(top, about, about.cmdOK));
  })});
  about.ShowModal();
  EXPECT_TRUE(person.Finished());
  EXPECT_EQ(version, about.lblVersion.caption);
  EXPECT_FALSE(about.IsShown());
}

TEST_F(DialogsTest, ChangePasswordChecksWhatWasTypedAndCancelSendsNothing) {
  frmChangePassword window;
  BoxSeen noCurrent, mismatch;
  bool focusOnCurrent = false;
  Person person({
      OnWindow(window, [&](HWND top) {
        Snap(top, "frmChangePassword");
        Type(Item(top, window, window.txtNewPassword), "new one");
        Type(Item(top, window, window.txtConfirmNewPassword), "new 1");
        Click(Item(top, window, window.cmdChangePassword));
      }),
      AnswerBox("Warning", &noCurrent),
      OnWindow(window, [&](HWND top) {
        focusOnCurrent = GetFocus() == Item(top, window, window.txtCurrentPassword);
        Type(Item(top, window, window.txtCurrentPassword), "old");
        Click(Item(top, window, window.cmdChangePassword));
      }),
      AnswerBox("New Password Confirmation Failure", &mismatch),
      OnWindow(window, [&](HWND top) {
        Click(Item(top, window, window.cmdCancel));
      }),
  });
  window.ShowModal();
  EXPECT_TRUE(person.Finished());
  // What was typed reached the handler, which checked it in order, refused it
  // and kept the window open until Cancel.
  EXPECT_EQ(noCurrent.text, "Please enter the current password to change.");
  EXPECT_TRUE(focusOnCurrent);
  EXPECT_EQ(mismatch.icon, LoadIconA(nullptr, IDI_EXCLAMATION));
  EXPECT_NE(mismatch.text.find("does not match"), std::string::npos) << mismatch.text;
  EXPECT_EQ(window.txtCurrentPassword.text, "old");
  EXPECT_EQ(window.txtConfirmNewPassword.text, "new 1");
  EXPECT_FALSE(window.IsShown());
}

TEST_F(DialogsTest, ConfigShowsTheSettingsRunsItsHandlersAndCancelKeepsThem) {
  Config().host = "mail.example.com";
  Config().username = "alice";
  Config().password = "secret";
  Config().direction = 1;
  Config().troubleshootingMode = 0;
  frmConfig window;
  std::string hostShown;
  LRESULT directionShown = -1;
  bool viewBefore = true, viewAfter = false;
  BoxSeen noPassword, badName;
  bool focusOnPassword = false;
  Person person({
      OnWindow(window, [&](HWND top) {
        Snap(top, "frmConfig");
        hostShown = TextOf(Item(top, window, window.txtHostName));
        directionShown = SendMessageW(Item(top, window, window.cboDirection), CB_GETCURSEL, 0, 0);
        viewBefore = IsWindowEnabled(Item(top, window, window.cmdView));
        Click(Item(top, window, window.chkTroubleshoot));
        viewAfter = IsWindowEnabled(Item(top, window, window.cmdView));
        HWND direction = Item(top, window, window.cboDirection);
        SendMessageW(direction, CB_SETCURSEL, 2, 0);
        SendMessageW(top, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(direction), CBN_SELCHANGE),
                     reinterpret_cast<LPARAM>(direction));
        Type(Item(top, window, window.txtPassword), "");
        Click(Item(top, window, window.cmdOK));
      }),
      AnswerBox("Warning", &noPassword),
      OnWindow(window, [&](HWND top) {
        focusOnPassword = GetFocus() == Item(top, window, window.txtPassword);
        Type(Item(top, window, window.txtPassword), "secret2");
        Type(Item(top, window, window.txtHostName), "mail example");
        Click(Item(top, window, window.cmdOK));
      }),
      AnswerBox("Error", &badName),
      OnWindow(window, [&](HWND top) {
        Click(Item(top, window, window.cmdCancel));
      }),
  });
  window.ShowModal();
  EXPECT_TRUE(person.Finished());
  EXPECT_EQ(hostShown, "mail.example.com");
  EXPECT_EQ(directionShown, 1);
  EXPECT_FALSE(viewBefore);
  EXPECT_TRUE(viewAfter);
  EXPECT_TRUE(window.chkTroubleshoot.value);
  EXPECT_EQ(window.cboDirection.listIndex, 2);
  EXPECT_EQ(noPassword.text, "Please enter a password for this server.");
  EXPECT_TRUE(focusOnPassword);
  EXPECT_EQ(badName.text, "Please enter a valid server name to connect to.");
  EXPECT_EQ(window.txtHostName.text, "mail example");
  // Cancel wrote nothing back.
  EXPECT_EQ(Config().host, "mail.example.com");
  EXPECT_EQ(Config().password, "secret");
  EXPECT_EQ(Config().direction, 1);
  EXPECT_FALSE(window.accepted);
}

TEST_F(DialogsTest, AutoResponseWithTheServerDownSaysSoAndTakesWhatIsTyped) {
  // Port 1 of loopback: nobody listens there.
  Config().host = "127.0.0.1:1";
  Config().username = "alice";
  Config().password = "secret";

  frmAutoResponse window;
  BoxSeen failure;
  bool tickedShown = false;
  Person person({
      AnswerBox("Error", &failure),
      OnWindow(window, [&](HWND top) {
        Click(Item(top, window, window.chkEnabled));
        tickedShown = SendMessageW(Item(top, window, window.chkEnabled), BM_GETCHECK, 0, 0) == BST_CHECKED;
        Type(Item(top, window, window.txtSubject), "Away");
        Type(Item(top, window, window.txtBody), "Back on Monday.\r\nAlice");
        Snap(top, "frmAutoResponse");
        Click(Item(top, window, window.cmdCancel));
      }),
  });
  window.ShowModal();
  EXPECT_TRUE(person.Finished());
  EXPECT_EQ(failure.text.rfind("Could not log into the server.", 0), 0u) << failure.text;
  EXPECT_EQ(failure.icon, LoadIconA(nullptr, IDI_ASTERISK));
  EXPECT_TRUE(tickedShown);
  EXPECT_TRUE(window.chkEnabled.value);
  EXPECT_EQ(window.txtSubject.text, "Away");
  EXPECT_EQ(window.txtBody.text, "Back on Monday.\r\nAlice");
  EXPECT_FALSE(window.IsShown());
}

// The run goes on while the window is up; a Cancel posted to it is taken
// while a progress update lets messages through, and the run learns of it at
// the update that let it through.
TEST_F(DialogsTest, ProgressCancelPostedDuringARunStopsItAtTheNextUpdate) {
  SyncCancelled = false;
  SetSyncProgressTitle("Synchronizing Contacts");
  ShowSyncProgress();
  SetSyncProgressMax(10);
  frmProgress* window = LoadedSyncProgress();
  ASSERT_NE(window, nullptr);
  HWND dialog = TopDialog();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(TextOf(dialog), "Synchronizing Contacts");
  HWND cancel = Item(dialog, *window, window->cmdCancel);
  HWND bar = Item(dialog, *window, window->pgActivity);
  int stoppedAt = 0;
  for (int item = 1; item <= 10 && stoppedAt == 0; ++item) {
    SetSyncStatus("Item " + std::to_string(item));
    if (item == 4) {
      EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 3);
      EXPECT_EQ(TextOf(Item(dialog, *window, window->lblAction)), "Item 4");
      Snap(dialog, "frmProgress");
      PostMessageW(cancel, BM_CLICK, 0, 0);
    }
    SetSyncProgressValue(item);
    if (SyncCancelled) stoppedAt = item;
  }
  EXPECT_EQ(stoppedAt, 4);
  EXPECT_FALSE(IsWindow(dialog) && IsWindowVisible(dialog));
  CloseSyncProgress();
  SyncCancelled = false;
}

// A wait for the server shows its window after half a second; its Cancel,
// pressed while the waiting caller polls, ends the wait.
TEST_F(DialogsTest, AWaitShowsItsWindowAndItsCancelEndsIt) {
  qv::ui::FrontEnd& front = qv::ui::PlatformFrontEnd();
  std::string what;
  Person person({[&](HWND top) {
    if (TextOf(top) != "Please wait") return false;
    for (HWND child = GetWindow(top, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      if (ClassOf(child) == "Static") what = TextOf(child);
      if (ClassOf(child) == "Button") Click(child);
    }
    return true;
  }});
  const auto start = std::chrono::steady_clock::now();
  front.BeginWait("Connecting to mail.example.com ...");
  bool cancelled = false;
  while (!cancelled && std::chrono::steady_clock::now() - start < std::chrono::seconds(10)) {
    Sleep(100);
    cancelled = front.WaitCancelled();
  }
  front.EndWait();
  EXPECT_TRUE(cancelled);
  EXPECT_TRUE(person.Finished());
  EXPECT_EQ(what, "Connecting to mail.example.com ...");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(TopDialog(), nullptr);
}

}  // namespace
}  // namespace qvsync
