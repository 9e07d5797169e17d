#pragma once
// AI run commands.
#include "bridge/command.h"

namespace corvane::ai {
void installAiCommands(bridge::Router& router);
}  // namespace corvane::ai
