#pragma once
// The status panel near the pointer as a GTK popup: override-redirect, never
// focused, letting every click through. Each message is also written to the
// application log with the activity "hud".
#include <memory>

#include "platform/cursor_hud.h"

namespace corvane::shell {

// Shows on the main queue, whatever thread calls.
std::shared_ptr<platform::CursorHUD> makeGtkCursorHUD();

}  // namespace corvane::shell
