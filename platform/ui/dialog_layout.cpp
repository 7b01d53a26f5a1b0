#include "platform/ui/dialog_layout.h"

#include <algorithm>

#include "platform/ui/progress.h"

namespace qv::ui {
namespace {

// Lays the rows out from the top; the controls of a row are centred on its
// height when the row ends.
class Rows {
 public:
  Rows(const LayoutMetrics& metrics, std::vector<PlacedControl>* placed) : m_(metrics), placed_(placed) {}

  int X(int units) const { return units * m_.baseX / 4; }
  int Y(int units) const { return units * m_.baseY / 8; }

  // Starts a row at the left edge `left` and puts `index` into it.
  void Start(size_t index, int left, int width, int height) {
    End();
    top_ = next_;
    right_ = left;
    height_ = 0;
    Add(index, left, width, height);
  }
  // Adds `index` to the row, after what it holds.
  void Continue(size_t index, int width, int height) {
    if (row_.empty()) return Start(index, right_, width, height);
    Add(index, right_ + X(3), width, height);
  }
  // Adds `index` to the row at `x`.
  void Place(size_t index, int x, int width, int height) { Add(index, x, width, height); }
  // Ends the row; the next one starts below it.
  void End() {
    if (row_.empty()) return;
    for (size_t index : row_) {
      LayoutRect& rect = (*placed_)[index].rect;
      rect.y = top_ + (height_ - rect.height) / 2;
    }
    row_.clear();
    next_ = top_ + height_ + Y(4);
  }
  // Moves the next row down (a frame's caption) or up (the gap a frame's
  // bottom edge takes the place of).
  void Skip(int pixels) {
    End();
    next_ += pixels;
  }
  int next() const { return next_; }
  void set_next(int y) { next_ = y; }

 private:
  void Add(size_t index, int x, int width, int height) {
    (*placed_)[index].rect = LayoutRect{x, top_, width, height};
    right_ = x + width;
    height_ = std::max(height_, height);
    row_.push_back(index);
  }

  const LayoutMetrics& m_;
  std::vector<PlacedControl>* placed_;
  std::vector<size_t> row_;
  int top_ = 0;
  int next_ = 0;
  int right_ = 0;
  int height_ = 0;
};

bool IsField(const Control* control) {
  return dynamic_cast<const TextBox*>(control) != nullptr || dynamic_cast<const ComboBox*>(control) != nullptr;
}

bool IsMultiLine(const Control* control) {
  const auto* box = dynamic_cast<const TextBox*>(control);
  return box != nullptr && box->multiLine;
}

const Label* AsLabel(const Control* control) { return dynamic_cast<const Label*>(control); }

}  // namespace

DialogLayout LayOutWindow(Window& window, const LayoutMetrics& m) {
  const std::vector<Control*> controls = window.Controls();
  DialogLayout layout;
  for (Control* control : controls) layout.controls.push_back(PlacedControl{control, {}});
  Rows rows(m, &layout.controls);
  const auto X = [&](int units) { return rows.X(units); };
  const auto Y = [&](int units) { return rows.Y(units); };
  const int lineHeight = std::max(m.textHeight("Ag", 1 << 20), Y(8));
  const int margin = X(7);
  const int fieldHeight = Y(14);
  const int buttonHeight = Y(14);
  const int frameIndent = X(6);

  // The buttons' row decides the least width; the labels in front of their
  // fields make one column.
  std::vector<size_t> buttons;
  int buttonsWidth = 0;
  int labelColumn = 0;
  for (size_t i = 0; i < controls.size(); ++i) {
    if (dynamic_cast<Button*>(controls[i])) {
      buttons.push_back(i);
      const int width = std::max(X(50), m.textWidth(PlainCaption(controls[i]->caption)) + X(12));
      layout.controls[i].rect.width = width;
      buttonsWidth += width + (buttonsWidth > 0 ? X(4) : 0);
    }
    const Label* label = AsLabel(controls[i]);
    if (label && i + 1 < controls.size() && label->buddy == controls[i + 1] && !IsMultiLine(controls[i + 1])) {
      labelColumn = std::max(labelColumn, m.textWidth(PlainCaption(label->caption)) + X(4));
    }
  }
  const int width = std::max({X(250), buttonsWidth, labelColumn + X(120)});

  int left = margin;
  int inner = width;
  long frame = -1;  // the open frame's index
  rows.set_next(margin);
  const auto closeFrame = [&] {
    if (frame < 0) return;
    rows.End();
    LayoutRect& rect = layout.controls[static_cast<size_t>(frame)].rect;
    rect.height = rows.next() - rect.y;
    rows.set_next(rect.y + rect.height + Y(4));
    frame = -1;
    left = margin;
    inner = width;
  };

  for (size_t i = 0; i < controls.size(); ++i) {
    Control* control = controls[i];
    if (dynamic_cast<Button*>(control)) continue;
    const Control* before = i > 0 ? controls[i - 1] : nullptr;
    const Label* label = AsLabel(control);
    if (dynamic_cast<Frame*>(control)) {
      closeFrame();
      rows.End();
      frame = static_cast<long>(i);
      layout.controls[i].rect = LayoutRect{margin, rows.next(), width, 0};
      rows.Skip(lineHeight + Y(2));
      left = margin + frameIndent;
      inner = width - 2 * frameIndent;
    } else if (label && i + 1 < controls.size() && label->buddy == controls[i + 1]) {
      Control* buddy = controls[i + 1];
      if (IsMultiLine(buddy)) {
        rows.Start(i, left, inner, lineHeight);
        rows.Start(i + 1, left, inner, 5 * lineHeight + Y(6));
      } else {
        rows.Start(i, left, labelColumn - X(4), lineHeight);
        rows.Place(i + 1, left + labelColumn, inner - labelColumn, IsField(buddy) ? fieldHeight : lineHeight);
      }
      ++i;
    } else if (label && label->buddy != nullptr && label->buddy == before) {
      rows.Continue(i, m.textWidth(PlainCaption(label->caption)) + X(2), lineHeight);
    } else if (IsField(control) && !(AsLabel(before) && AsLabel(before)->buddy == control)) {
      // A field without a label in front of it: short, on the row before.
      rows.Continue(i, X(30), fieldHeight);
    } else if (label) {
      const int lines = control->visible && !control->caption.empty() ? 1 : 2;
      const int height = std::max(m.textHeight(PlainCaption(control->caption), inner), lines * lineHeight);
      rows.Start(i, left, inner, height);
    } else if (dynamic_cast<CheckBox*>(control)) {
      rows.Start(i, left, std::min(inner, m.textWidth(PlainCaption(control->caption)) + X(14)), Y(10));
    } else if (dynamic_cast<ProgressBar*>(control)) {
      rows.Start(i, left, inner, Y(10));
    } else {
      rows.Start(i, left, inner, lineHeight);
    }
  }
  closeFrame();
  rows.End();

  // The buttons, right-aligned in one row.
  int y = rows.next() + Y(3);
  int x = margin + width - buttonsWidth;
  for (size_t index : buttons) {
    LayoutRect& rect = layout.controls[index].rect;
    rect = LayoutRect{x, y, rect.width, buttonHeight};
    x += rect.width + X(4);
  }
  layout.width = width + 2 * margin;
  layout.height = (buttons.empty() ? rows.next() : y + buttonHeight) + margin;
  return layout;
}

}  // namespace qv::ui
