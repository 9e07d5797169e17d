#include "platform/cursor_hud.h"

#include <mutex>

namespace corvane::platform {
namespace {
std::mutex& hudMutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<CursorHUD>& hudSlot() {
  static std::shared_ptr<CursorHUD> slot;
  return slot;
}
}  // namespace

std::shared_ptr<CursorHUD> cursorHUD() {
  std::lock_guard lock(hudMutex());
  return hudSlot();
}

void installCursorHUD(std::shared_ptr<CursorHUD> hud) {
  std::lock_guard lock(hudMutex());
  hudSlot() = std::move(hud);
}

}  // namespace corvane::platform
