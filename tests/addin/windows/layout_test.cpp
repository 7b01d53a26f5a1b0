// The add-in's windows as a front end that draws them itself lays them out
// (platform/ui/dialog_layout.h): whatever the font, every control lies inside
// the window, no two controls cover each other, a frame holds the rows after
// it, and the buttons share one row below everything else.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "addin/config/config_dialog.h"
#include "addin/sync/progress.h"
#include "addin/windows.h"
#include "platform/ui/dialog_layout.h"

namespace qvsync {
namespace {

using qv::ui::LayoutRect;

bool Overlap(const LayoutRect& a, const LayoutRect& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}
bool Inside(const LayoutRect& inner, const LayoutRect& outer) {
  return inner.x >= outer.x && inner.y >= outer.y && inner.x + inner.width <= outer.x + outer.width &&
         inner.y + inner.height <= outer.y + outer.height;
}

TEST(DialogLayout, ControlsStayInsideApartAndInTheirFramesForAnyFont) {
  std::vector<std::unique_ptr<qv::ui::Window>> windows;
  windows.push_back(std::make_unique<frmConfig>());
  windows.push_back(std::make_unique<frmChangePassword>());
  windows.push_back(std::make_unique<frmAutoResponse>());
  windows.push_back(std::make_unique<frmAbout>());
  windows.push_back(std::make_unique<frmProgress>());
  // A narrow small font, the usual one, and a wide large one.
  for (const std::pair<int, int>& font : {std::pair{4, 9}, std::pair{6, 13}, std::pair{11, 24}}) {
    const int baseX = font.first, baseY = font.second;
    qv::ui::LayoutMetrics metrics;
    metrics.baseX = baseX;
    metrics.baseY = baseY;
    metrics.textWidth = [=](const std::string& text) { return static_cast<int>(text.size()) * baseX; };
    metrics.textHeight = [=](const std::string& text, int width) {
      const int perLine = std::max(1, width / baseX);
      return std::max<int>(1, (static_cast<int>(text.size()) + perLine - 1) / perLine) * baseY;
    };
    for (auto& window : windows) {
      const qv::ui::DialogLayout layout = qv::ui::LayOutWindow(*window, metrics);
      const LayoutRect client{0, 0, layout.width, layout.height};
      const std::string where = window->name + " at " + std::to_string(baseX) + "x" + std::to_string(baseY);
      const LayoutRect* frame = nullptr;
      int lowestAboveButtons = 0, buttonsTop = -1;
      for (size_t i = 0; i < layout.controls.size(); ++i) {
        const auto& [control, rect] = layout.controls[i];
        EXPECT_TRUE(Inside(rect, client)) << where << ": " << control->name;
        EXPECT_GT(rect.width, 0) << where << ": " << control->name;
        if (dynamic_cast<qv::ui::Frame*>(control)) {
          frame = &rect;
          continue;
        }
        if (dynamic_cast<qv::ui::Button*>(control)) {
          if (buttonsTop < 0) buttonsTop = rect.y;
          EXPECT_EQ(rect.y, buttonsTop) << where << ": " << control->name;
          continue;
        }
        lowestAboveButtons = std::max(lowestAboveButtons, rect.y + rect.height);
        if (frame != nullptr && rect.y >= frame->y && rect.y < frame->y + frame->height) {
          EXPECT_TRUE(Inside(rect, *frame)) << where << ": " << control->name;
        }
        for (size_t j = 0; j < i; ++j) {
          const auto& [other, otherRect] = layout.controls[j];
          if (dynamic_cast<qv::ui::Frame*>(other)) continue;
          EXPECT_FALSE(Overlap(rect, otherRect)) << where << ": " << control->name << " on " << other->name;
        }
      }
      ASSERT_GE(buttonsTop, 0) << where;
      EXPECT_GE(buttonsTop, lowestAboveButtons) << where;
    }
  }
}

}  // namespace
}  // namespace qvsync
