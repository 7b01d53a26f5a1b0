// Where a window's controls go when a front end draws the window itself (the
// dialogs of Windows): positions and sizes in the front end's pixels, worked
// out from the window's own list of controls and the front end's font.
//
// Rules, in the order Controls() lists the controls:
//   - a label before the control it names (its buddy) sits at the left of it,
//     the labels of a window in one column; before a text box of several
//     lines, above it;
//   - a label after its buddy, and a text box or list that no label names,
//     continue the row before them ("Restrict to the last [14] days.");
//   - a frame holds the rows after it, up to the next frame;
//   - every other control takes a row of its own: a label without a buddy
//     wrapped to the window's width (a hidden one keeps room for two lines,
//     to be shown later), a check box, a progress bar;
//   - the buttons go in one row at the bottom, on the right, in their order.
// Pure geometry: no state, no drawing.
#ifndef QV_PLATFORM_UI_DIALOG_LAYOUT_H
#define QV_PLATFORM_UI_DIALOG_LAYOUT_H

#include <functional>
#include <string>
#include <vector>

#include "platform/ui/ui.h"

namespace qv::ui {

struct LayoutRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// The front end's font, as the layout needs it.
struct LayoutMetrics {
  // The dialog base units: pixels per 4 horizontal and per 8 vertical
  // dialog units (an average character's width and height).
  int baseX = 6;
  int baseY = 13;
  // The width of one line of text, and the height of a text wrapped to `width`.
  std::function<int(const std::string& text)> textWidth;
  std::function<int(const std::string& text, int width)> textHeight;
};

struct PlacedControl {
  Control* control = nullptr;  // not owned
  LayoutRect rect;
};

struct DialogLayout {
  int width = 0;   // the client area
  int height = 0;
  std::vector<PlacedControl> controls;  // in the order of Controls()
};

DialogLayout LayOutWindow(Window& window, const LayoutMetrics& metrics);

}  // namespace qv::ui

#endif
