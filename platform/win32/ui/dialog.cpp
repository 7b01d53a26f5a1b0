#include "platform/win32/ui/dialog.h"

#include <commctrl.h>

#include <cstdio>

#include "platform/ui/dialog_layout.h"
#include "platform/ui/progress.h"
#include "platform/win32/ui/dialogs.h"

namespace qv::ui {
namespace {

// Posted to a modal dialog for each command of its fill section in turn.
constexpr UINT kFillStep = WM_APP + 1;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

// An empty dialog in the dialogs' font; the controls are made when it starts.
std::vector<WORD> EmptyTemplate(bool modal) {
  DLGTEMPLATE head{};
  head.style = DS_SETFONT | DS_MODALFRAME | DS_3DLOOK | WS_POPUP | WS_CAPTION | WS_SYSMENU | (modal ? 0 : DS_NOIDLEMSG);
  std::vector<WORD> words(sizeof head / sizeof(WORD));
  memcpy(words.data(), &head, sizeof head);
  words.push_back(0);  // no menu
  words.push_back(0);  // the standard dialog class
  words.push_back(0);  // no caption yet
  words.push_back(8);  // the font's size in points
  for (const wchar_t* c = L"MS Shell Dlg"; *c; ++c) words.push_back(static_cast<WORD>(*c));
  words.push_back(0);
  return words;
}

std::wstring TextOf(HWND hwnd) {
  const int length = GetWindowTextLengthW(hwnd);
  std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
  const int got = GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
  text.resize(static_cast<size_t>(got > 0 ? got : 0));
  return text;
}

void SetTextIfChanged(HWND hwnd, const std::string& text) {
  const std::wstring wide = WideText(text);
  if (TextOf(hwnd) != wide) SetWindowTextW(hwnd, wide.c_str());
}

}  // namespace

std::wstring WideText(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
  return wide;
}

std::string Utf8Text(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size > 0 ? size : 0), '\0');
  if (size > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr, nullptr);
  }
  return utf8;
}

Dialog::Dialog(Window& window, const FillSection* fill) : window_(window), fill_(fill) {}

Dialog::~Dialog() { Destroy(); }

bool Dialog::Make(const std::vector<WORD>& dialogTemplate, HWND owner, bool modal) {
  modal_ = modal;
  const auto* data = reinterpret_cast<const DLGTEMPLATE*>(dialogTemplate.data());
  if (modal) {
    const INT_PTR result = DialogBoxIndirectParamW(ThisModule(), data, owner, &Dialog::Procedure,
                                                   reinterpret_cast<LPARAM>(this));
    return result != -1;
  }
  return CreateDialogIndirectParamW(ThisModule(), data, owner, &Dialog::Procedure, reinterpret_cast<LPARAM>(this)) !=
         nullptr;
}

bool Dialog::RunModal(HWND owner) { return Make(EmptyTemplate(true), owner, true); }

bool Dialog::Create(HWND owner) { return Make(EmptyTemplate(false), owner, false); }

void Dialog::Show() {
  if (hwnd_ == nullptr) return;
  ShowWindow(hwnd_, SW_SHOWNORMAL);
  UpdateWindow(hwnd_);
}

void Dialog::Conceal() {
  if (hwnd_ != nullptr && IsWindowVisible(hwnd_)) ShowWindow(hwnd_, SW_HIDE);
}

void Dialog::Destroy() {
  if (hwnd_ != nullptr && !modal_) DestroyWindow(hwnd_);
}

bool Dialog::Contains(HWND target) const {
  return hwnd_ != nullptr && target != nullptr && (target == hwnd_ || IsChild(hwnd_, target));
}

Dialog::Item* Dialog::ItemOf(const Control* control) {
  for (Item& item : items_) {
    if (item.control == control) return &item;
  }
  return nullptr;
}

INT_PTR CALLBACK Dialog::Procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  Dialog* self = nullptr;
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<Dialog*>(lParam);
    SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
    self->hwnd_ = hwnd;
  } else {
    self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(hwnd, DWLP_USER));
  }
  if (self == nullptr) return FALSE;
  INT_PTR result = FALSE;
  // Nothing thrown by a handler may cross the system's code.
  try {
    result = self->Handle(message, wParam, lParam);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "The window \"%s\" failed: %s\n", self->window_.caption.c_str(), e.what());
    result = TRUE;
  } catch (...) {
    result = TRUE;
  }
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrW(hwnd, DWLP_USER, 0);
    self->hwnd_ = nullptr;
    self->items_.clear();
  }
  return result;
}

INT_PTR Dialog::Handle(UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG: {
      Build();
      Refresh();
      if (fill_ != nullptr) PostMessageW(hwnd_, kFillStep, 0, 0);
      // The focus the window's loading chose, else the dialog's first stop.
      return focused_ == nullptr ? TRUE : FALSE;
    }
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_CLOSE:
      ReadTexts();
      window_.OnClose();
      AfterAction();
      return TRUE;
    case kFillStep:
      RunFillStep();
      return TRUE;
    default:
      return FALSE;
  }
}

void Dialog::Build() {
  static const bool commonControls = [] {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    return InitCommonControlsEx(&classes) != FALSE;
  }();
  (void)commonControls;
  font_ = reinterpret_cast<HFONT>(SendMessageW(hwnd_, WM_GETFONT, 0, 0));
  RECT base{0, 0, 4, 8};
  MapDialogRect(hwnd_, &base);
  HDC dc = GetDC(hwnd_);
  HGDIOBJ previous = SelectObject(dc, font_);
  LayoutMetrics metrics;
  metrics.baseX = base.right > 0 ? base.right : 6;
  metrics.baseY = base.bottom > 0 ? base.bottom : 13;
  metrics.textWidth = [dc](const std::string& text) {
    const std::wstring wide = WideText(text);
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &size);
    return static_cast<int>(size.cx);
  };
  metrics.textHeight = [dc](const std::string& text, int width) {
    const std::wstring wide = WideText(text.empty() ? std::string(" ") : text);
    RECT rect{0, 0, width, 0};
    DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &rect,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EDITCONTROL);
    return static_cast<int>(rect.bottom);
  };
  const DialogLayout layout = LayOutWindow(window_, metrics);
  const int lineHeight = metrics.textHeight("Ag", 1000);
  SelectObject(dc, previous);
  ReleaseDC(hwnd_, dc);

  HMODULE module = ThisModule();
  Button* defaultButton = nullptr;
  for (size_t i = 0; i < layout.controls.size(); ++i) {
    Control* control = layout.controls[i].control;
    const LayoutRect& rect = layout.controls[i].rect;
    DWORD style = WS_CHILD | (control->visible ? WS_VISIBLE : 0) | (control->enabled ? 0 : WS_DISABLED);
    DWORD exStyle = 0;
    const wchar_t* windowClass = L"STATIC";
    int height = rect.height;
    std::string text = control->caption;
    if (auto* label = dynamic_cast<Label*>(control)) {
      // A label that names a field keeps its access key; any other label is
      // plain text (a server's text may hold an "&").
      style |= SS_LEFT | (label->buddy != nullptr ? 0 : SS_NOPREFIX);
    } else if (dynamic_cast<Frame*>(control)) {
      windowClass = L"BUTTON";
      style |= BS_GROUPBOX;
    } else if (auto* box = dynamic_cast<TextBox*>(control)) {
      windowClass = L"EDIT";
      exStyle = WS_EX_CLIENTEDGE;
      style |= WS_TABSTOP | ES_AUTOHSCROLL | (box->password ? ES_PASSWORD : 0) | (box->locked ? ES_READONLY : 0);
      if (box->multiLine) style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN | WS_VSCROLL;
      text = box->text;
    } else if (dynamic_cast<CheckBox*>(control)) {
      windowClass = L"BUTTON";
      style |= BS_AUTOCHECKBOX | WS_TABSTOP;
    } else if (auto* combo = dynamic_cast<ComboBox*>(control)) {
      windowClass = L"COMBOBOX";
      style |= CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP;
      // The height of a drop-down list's window includes its open list.
      const int shown = static_cast<int>(combo->items.size() < 8 ? combo->items.size() : 8);
      height += (shown > 0 ? shown : 1) * lineHeight + 4;
      text.clear();
    } else if (dynamic_cast<ProgressBar*>(control)) {
      windowClass = PROGRESS_CLASSW;
      text.clear();
    } else if (auto* button = dynamic_cast<Button*>(control)) {
      windowClass = L"BUTTON";
      style |= WS_TABSTOP | (button->isDefault ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
      if (button->isDefault && defaultButton == nullptr) defaultButton = button;
    }
    const int id = kFirstControlId + static_cast<int>(i);
    HWND child = CreateWindowExW(exStyle, windowClass, WideText(text).c_str(), style, rect.x, rect.y, rect.width,
                                 height, hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), module, nullptr);
    if (child != nullptr) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    if (auto* box = dynamic_cast<TextBox*>(control); box && box->maxLength > 0 && child) {
      SendMessageW(child, EM_LIMITTEXT, static_cast<WPARAM>(box->maxLength), 0);
    }
    items_.push_back(Item{control, child, {}});
  }
  if (defaultButton != nullptr) {
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i].control == defaultButton) SendMessageW(hwnd_, DM_SETDEFID, kFirstControlId + i, 0);
    }
  }

  // The frame around the client area the layout asked for, in the middle of
  // the owner (or of the screen).
  RECT frame{0, 0, layout.width, layout.height};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongW(hwnd_, GWL_EXSTYLE)));
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  RECT area{};
  HWND owner = GetWindow(hwnd_, GW_OWNER);
  if (owner == nullptr || !IsWindowVisible(owner) || !GetWindowRect(owner, &area)) {
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  }
  const int x = area.left + ((area.right - area.left) - width) / 2;
  const int y = area.top + ((area.bottom - area.top) - height) / 2;
  SetWindowPos(hwnd_, nullptr, x > 0 ? x : 0, y > 0 ? y : 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void Dialog::Refresh() {
  if (hwnd_ == nullptr) return;
  syncing_ = true;
  SetTextIfChanged(hwnd_, window_.caption);
  for (Item& item : items_) {
    Control& control = *item.control;
    HWND hwnd = item.hwnd;
    if (hwnd == nullptr) continue;
    const bool visible = (GetWindowLongW(hwnd, GWL_STYLE) & WS_VISIBLE) != 0;
    if (visible != control.visible) ShowWindow(hwnd, control.visible ? SW_SHOWNA : SW_HIDE);
    if ((IsWindowEnabled(hwnd) != FALSE) != control.enabled) EnableWindow(hwnd, control.enabled);
    if (auto* box = dynamic_cast<TextBox*>(&control)) {
      SetTextIfChanged(hwnd, box->text);
    } else if (auto* check = dynamic_cast<CheckBox*>(&control)) {
      SetTextIfChanged(hwnd, check->caption);
      const bool ticked = SendMessageW(hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED;
      if (ticked != check->value) SendMessageW(hwnd, BM_SETCHECK, check->value ? BST_CHECKED : BST_UNCHECKED, 0);
    } else if (auto* combo = dynamic_cast<ComboBox*>(&control)) {
      if (item.entries != combo->items) {
        SendMessageW(hwnd, CB_RESETCONTENT, 0, 0);
        for (const std::string& entry : combo->items) {
          SendMessageW(hwnd, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideText(entry).c_str()));
        }
        item.entries = combo->items;
      }
      if (SendMessageW(hwnd, CB_GETCURSEL, 0, 0) != combo->listIndex) {
        SendMessageW(hwnd, CB_SETCURSEL, static_cast<WPARAM>(combo->listIndex), 0);
      }
    } else if (auto* bar = dynamic_cast<ProgressBar*>(&control)) {
      PBRANGE range{};
      SendMessageW(hwnd, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&range));
      if (range.iLow != bar->min || range.iHigh != bar->max) {
        SendMessageW(hwnd, PBM_SETRANGE32, static_cast<WPARAM>(bar->min), static_cast<LPARAM>(bar->max));
      }
      if (SendMessageW(hwnd, PBM_GETPOS, 0, 0) != bar->value) {
        SendMessageW(hwnd, PBM_SETPOS, static_cast<WPARAM>(bar->value), 0);
      }
    } else {
      SetTextIfChanged(hwnd, control.caption);
    }
  }
  // The focus a handler (or the window's loading) moved.
  if (window_.focused != nullptr && window_.focused != focused_) {
    focused_ = window_.focused;
    if (Item* item = ItemOf(focused_); item && item->hwnd && IsWindowVisible(item->hwnd) && IsWindowEnabled(item->hwnd)) {
      SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item->hwnd), TRUE);
      if (dynamic_cast<TextBox*>(focused_)) SendMessageW(item->hwnd, EM_SETSEL, 0, -1);
    }
  }
  syncing_ = false;
}

void Dialog::OnCommand(int id, int code) {
  if (syncing_) return;
  // A handler that moves the focus does so by naming the field; the same
  // field as before counts as a move too.
  Control* before = window_.focused;
  window_.focused = nullptr;
  focused_ = nullptr;
  const auto restoreFocus = [&] {
    if (window_.focused == nullptr) {
      window_.focused = before;
      focused_ = before;
    }
  };
  if (id == IDCANCEL) {
    ReadTexts();
    // Escape and the close box: the window's cancel button, else closing.
    Button* cancel = nullptr;
    for (Item& item : items_) {
      auto* button = dynamic_cast<Button*>(item.control);
      if (button && button->isCancel && button->enabled && button->visible) cancel = button;
    }
    if (cancel != nullptr) {
      cancel->Click();
    } else {
      window_.OnClose();
    }
    restoreFocus();
    AfterAction();
    return;
  }
  const long index = static_cast<long>(id) - kFirstControlId;
  if (index < 0 || index >= static_cast<long>(items_.size())) return restoreFocus();
  Item& item = items_[static_cast<size_t>(index)];
  bool acted = false;
  if (code == BN_CLICKED || code == CBN_SELCHANGE) ReadTexts();
  if (auto* button = dynamic_cast<Button*>(item.control); button && code == BN_CLICKED) {
    button->Click();
    acted = true;
  } else if (auto* check = dynamic_cast<CheckBox*>(item.control); check && code == BN_CLICKED) {
    check->Set(SendMessageW(item.hwnd, BM_GETCHECK, 0, 0) == BST_CHECKED);
    acted = true;
  } else if (auto* combo = dynamic_cast<ComboBox*>(item.control); combo && code == CBN_SELCHANGE) {
    combo->Choose(static_cast<int>(SendMessageW(item.hwnd, CB_GETCURSEL, 0, 0)));
    acted = true;
  } else if (auto* box = dynamic_cast<TextBox*>(item.control); box && code == EN_CHANGE) {
    box->text = Utf8Text(TextOf(item.hwnd));
  }
  restoreFocus();
  if (acted) AfterAction();
}

void Dialog::ReadTexts() {
  for (Item& item : items_) {
    auto* box = dynamic_cast<TextBox*>(item.control);
    if (box != nullptr && item.hwnd != nullptr) box->text = Utf8Text(TextOf(item.hwnd));
  }
}

void Dialog::AfterAction() {
  if (hwnd_ == nullptr) return;
  if (modal_ && !window_.IsShown()) {
    EndDialog(hwnd_, 0);
    return;
  }
  Refresh();
}

void Dialog::RunFillStep() {
  if (fill_ == nullptr || hwnd_ == nullptr || !window_.IsShown()) return;
  if (fillNext_ >= fill_->commands.size()) return EndFill("");
  const FillCommand& command = fill_->commands[fillNext_++];
  FillAction action;
  std::string error;
  if (!ResolveCommand(window_, command.text, &action, &error)) {
    return EndFill("Fill script, line " + std::to_string(command.line) + ": " + error);
  }
  // As a person: to the control first, then the action on it.
  Item* item = ItemOf(action.control);
  HWND target = item != nullptr ? item->hwnd : nullptr;
  const WPARAM id = item != nullptr ? static_cast<WPARAM>(kFirstControlId + (item - items_.data())) : 0;
  if (target != nullptr) SendMessageW(hwnd_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(target), TRUE);
  switch (action.kind) {
    case FillAction::Close:
      SendMessageW(hwnd_, WM_CLOSE, 0, 0);
      break;
    case FillAction::Click:
      SendMessageW(target, BM_CLICK, 0, 0);
      break;
    case FillAction::SetText:
      // As typed over the whole text: the box reports the change.
      SendMessageW(target, EM_SETSEL, 0, -1);
      SendMessageW(target, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(WideText(action.text).c_str()));
      break;
    case FillAction::Tick:
      if ((SendMessageW(target, BM_GETCHECK, 0, 0) == BST_CHECKED) != action.ticked) {
        SendMessageW(target, BM_CLICK, 0, 0);
      } else {
        SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(target));
      }
      break;
    case FillAction::Choose:
      SendMessageW(target, CB_SETCURSEL, static_cast<WPARAM>(action.index), 0);
      SendMessageW(hwnd_, WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(target));
      break;
  }
  if (hwnd_ != nullptr && window_.IsShown()) PostMessageW(hwnd_, kFillStep, 0, 0);
}

void Dialog::EndFill(const std::string& failure) {
  // A section that failed, or one that left its window open: the window is
  // closed without anything pressed, and the host learns it was not completed.
  if (!failure.empty()) {
    std::fprintf(stderr, "%s; the window \"%s\" is closed.\n", failure.c_str(), window_.caption.c_str());
    std::fflush(stderr);
  }
  MarkFillIncomplete();
  fill_ = nullptr;
  window_.OnClose();
  AfterAction();
}

}  // namespace qv::ui
