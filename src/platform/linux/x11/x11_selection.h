#pragma once
// The X11 selection source for clips. One X connection of its own, used only
// by its own thread, which also serves the user's saved clipboard back after a
// simulated copy (X has no clipboard store: whoever owns CLIPBOARD answers
// every paste).
//
// The copy path: wait until no modifier is held; save every CLIPBOARD target
// (INCR transfers included, each target capped in size and time); XTest
// Ctrl+C; learn of the new owner through XFixes; read the text, the HTML and
// the page address targets; then take CLIPBOARD back and serve what was saved.
// Terminals (by WM_CLASS) never get Ctrl+C: their PRIMARY selection is read.
#include <memory>
#include <string>

#include "core/result.h"
#include "platform/clip_selection.h"

namespace corvane::platform {

// Uses $DISPLAY (or `display` when given). Fails without XFixes or XTest.
Result<std::shared_ptr<SelectionSource>> makeX11SelectionSource(std::string display = {});

// Whether a window class (either WM_CLASS string, any case) is a terminal.
bool isTerminalClass(const std::string& windowClass);

}  // namespace corvane::platform
