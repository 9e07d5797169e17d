#pragma once
// The status panel near the pointer, the parts that need no toolkit: where it
// goes, how it looks and when it goes away, and the wiring that makes it the
// panel of user notices and of account statuses. The GTK panel is
// cursor_hud_gtk.h.
#include <chrono>
#include <memory>
#include <string>

#include "platform/cursor_hud.h"
#include "shell/geometry.h"

namespace corvane::shell {

struct HudStyle {
  static constexpr double kFontPoints = 13;
  static constexpr double kPadWidth = 20;   // label width + 20
  static constexpr double kPadHeight = 15;  // label height + 15
  static constexpr double kLabelX = 10, kLabelY = 7.5;
  static constexpr double kCornerRadius = 8;
  static constexpr double kBackgroundWhite = 0.12, kBackgroundAlpha = 0.92;
  static constexpr double kRise = 6;  // shown this far above its place, then settles
  static constexpr auto kFadeIn = std::chrono::milliseconds(180);
  static constexpr auto kHold = std::chrono::milliseconds(1100);
  static constexpr auto kFadeOut = std::chrono::milliseconds(250);
};

struct Rgb {
  double r, g, b;
};
Rgb hudTextColour(bool success);

// The panel's frame (top-left origin, y down) on the visible frame `screen`
// for a pointer at (px, py): beside and below the pointer, or centred 44
// points under the top; always 8 points inside the screen.
Rect hudFrame(const Rect& screen, double px, double py, const Size& panel, bool atTop);

// Account statuses start with "✓" when they report a success.
bool statusIsSuccess(const std::string& text);

// Makes `hud` the panel of user notices (records::installStatusPanel) and of
// account statuses (account::setStatusPresenter); nullptr takes both back.
void installStatusPanels(std::shared_ptr<platform::CursorHUD> hud);

}  // namespace corvane::shell
