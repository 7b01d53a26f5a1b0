// Drives a program's dialogs from inside it, as a person at the screen would:
// finds the dialog that takes input and acts on it from a thread timer, so
// from inside whatever modal loop is running. Tests under Wine only; Wine
// needs a display (scripts/test-windows.sh starts Xvfb).
#ifndef QV_TESTS_WINDOWS_DIALOG_DRIVER_H
#define QV_TESTS_WINDOWS_DIALOG_DRIVER_H

#include <windows.h>
#undef MessageBox

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qv::testing {

inline std::string TextOf(HWND hwnd) {
  wchar_t buffer[2048] = {};
  GetWindowTextW(hwnd, buffer, 2048);
  char utf8[8192] = {};
  WideCharToMultiByte(CP_UTF8, 0, buffer, -1, utf8, sizeof utf8, nullptr, nullptr);
  return utf8;
}

inline std::string ClassOf(HWND hwnd) {
  char name[64] = {};
  GetClassNameA(hwnd, name, sizeof name);
  return name;
}

// The dialog of this thread that takes input: shown, enabled (a dialog under
// a box is disabled), nullptr when there is none.
inline HWND TopDialog() {
  HWND found = nullptr;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND hwnd, LPARAM out) -> BOOL {
        if (ClassOf(hwnd) == "#32770" && IsWindowVisible(hwnd) && IsWindowEnabled(hwnd)) {
          *reinterpret_cast<HWND*>(out) = hwnd;
          return FALSE;
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

// The first child of `dialog` of `windowClass` whose text is `text`.
inline HWND ChildWithText(HWND dialog, const std::string& windowClass, const std::string& text) {
  for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) == windowClass && TextOf(child) == text) return child;
  }
  return nullptr;
}

// A person at the screen: each step waits for the dialog on top it is meant
// for (returns false until then) and acts on it. Steps run from a thread
// timer, so from inside whatever modal loop is running, boxes shown by a
// step's own click included. A person who is still waiting after ten seconds
// gives up and presses Escape on whatever is on top, so that a fault fails the
// test instead of hanging it.
class Person {
 public:
  using Step = std::function<bool(HWND top)>;
  explicit Person(std::vector<Step> steps) : steps_(std::move(steps)) {
    current_ = this;
    since_ = std::chrono::steady_clock::now();
    timer_ = SetTimer(nullptr, 0, 30, &Person::Tick);
  }
  ~Person() {
    KillTimer(nullptr, timer_);
    current_ = nullptr;
  }
  bool Finished() const { return next_ == steps_.size(); }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    Person* self = current_;
    if (self == nullptr) return;
    HWND top = TopDialog();
    if (top == nullptr) return;
    if (self->next_ >= self->steps_.size() ||
        std::chrono::steady_clock::now() - self->since_ > std::chrono::seconds(10)) {
      if (!self->Finished()) ADD_FAILURE() << "step " << self->next_ << " never found its window";
      self->next_ = self->steps_.size();
      PostMessageW(top, WM_COMMAND, IDCANCEL, 0);
      return;
    }
    // Taken before it runs: a click that opens a box returns only once the
    // box is gone, and the next step answers that box from a nested tick.
    const size_t mine = self->next_++;
    if (!self->steps_[mine](top)) self->next_ = mine;
  }

  static inline Person* current_ = nullptr;
  std::vector<Step> steps_;
  size_t next_ = 0;
  UINT_PTR timer_ = 0;
  std::chrono::steady_clock::time_point since_;
};

}  // namespace qv::testing

#endif
