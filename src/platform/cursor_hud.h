#pragma once
// The small status panel near the mouse pointer: one short message at a time,
// shown without taking focus and gone after a moment. The desktop shell
// installs the real panel; capture, exports and accounts report through it.
#include <memory>
#include <string>

namespace corvane::platform {

class CursorHUD {
 public:
  virtual ~CursorHUD() = default;
  // Callable from any thread. `atTop` centres it at the top of the screen
  // instead of beside the pointer. A new message replaces the shown one.
  virtual void show(const std::string& text, bool success, bool atTop) = 0;
};

// The installed panel (nullptr when none is).
std::shared_ptr<CursorHUD> cursorHUD();
void installCursorHUD(std::shared_ptr<CursorHUD> hud);

}  // namespace corvane::platform
