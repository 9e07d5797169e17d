#pragma once
// The window group of the catalogue: commands that act on the tray window
// through the shell hooks. Each posts its work to the main queue and answers
// null at once; without the hooks (the headless runner) nothing happens.
#include "bridge/command.h"
#include "bridge/shell_hooks.h"

namespace corvane::bridge {

// Grid sizes arrive as integers up to 2^53; anything past this is larger than
// any screen, so they are clamped here before they become ints.
inline constexpr int kMaxGridWindowSide = 1 << 20;

// The six sizes of "fit_grid_window", or the failure the page sees when one is
// not greater than 0.
Result<GridWindowCandidates> gridWindowCandidates(const Json& args);

void installWindowCommands(Router& router);

}  // namespace corvane::bridge
