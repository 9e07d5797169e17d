#pragma once
// What the tray window controller needs from the windowing system. The GTK
// layer implements it over a GtkWindow and X11's EWMH properties; tests use a
// fake that records every call.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "shell/geometry.h"

namespace corvane::shell {

// The application that was in front: on X11, its active top-level window.
struct ForeignApp {
  uint64_t window = 0;
  int64_t pid = 0;
  bool operator==(const ForeignApp&) const = default;
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // Work areas of the monitors, the primary first; empty when none is known.
  virtual std::vector<Rect> visibleFrames() = 0;
  // The monitor the window is on (index into visibleFrames()).
  virtual std::optional<size_t> windowScreen() = 0;
  virtual Rect frame() = 0;
  // Moves/resizes the window, animated over `seconds` (0: at once); `done`
  // runs on the main thread when the frame has been applied.
  virtual void setFrame(const Rect& frame, double seconds, std::function<void()> done) = 0;
  virtual void setMinimumSize(const Size& size) = 0;
  virtual bool isVisible() = 0;
  // Maps, raises and focuses the window.
  virtual void orderFront() = 0;
  virtual void orderOut() = 0;
  // The active window when it belongs to another application; nullopt when
  // none is active or it is ours. `ownIsFront` is set when ours is active.
  virtual std::optional<ForeignApp> frontmostApp(bool& ownIsFront) = 0;
  virtual bool isRunning(const ForeignApp& app) = 0;
  virtual void activate(const ForeignApp& app) = 0;
  virtual void evaluateScript(const std::string& script) = 0;
};

}  // namespace corvane::shell
