#include "shell/status_panel.h"

#include <algorithm>

#include "account/account_service.h"
#include "records/notices.h"

namespace corvane::shell {

Rgb hudTextColour(bool success) { return success ? Rgb{91 / 255.0, 108 / 255.0, 1.0} : Rgb{0.8, 0.25, 0.2}; }

Rect hudFrame(const Rect& screen, double px, double py, const Size& panel, bool atTop) {
  double x = atTop ? screen.x + screen.width / 2 - panel.width / 2 : px + 14;
  double y = atTop ? screen.y + 44 : py + 8;
  // Clamp the far edge first so a panel wider than the screen keeps its start visible.
  x = std::max(std::min(x, screen.x + screen.width - panel.width - 8), screen.x + 8);
  y = std::max(std::min(y, screen.y + screen.height - panel.height - 8), screen.y + 8);
  return {x, y, panel.width, panel.height};
}

bool statusIsSuccess(const std::string& text) { return text.rfind("✓", 0) == 0; }

void installStatusPanels(std::shared_ptr<platform::CursorHUD> hud) {
  platform::installCursorHUD(hud);
  if (!hud) {
    records::installStatusPanel({});
    account::setStatusPresenter({});
    return;
  }
  records::installStatusPanel([hud](const std::string& text, bool failure) { hud->show(text, !failure, false); });
  account::setStatusPresenter([hud](std::string_view text) {
    std::string s(text);
    hud->show(s, statusIsSuccess(s), false);
  });
}

}  // namespace corvane::shell
