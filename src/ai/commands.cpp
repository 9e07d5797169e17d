#include "ai/commands.h"

namespace corvane::ai {
void installAiCommands(bridge::Router& router) { (void)router; }
}  // namespace corvane::ai
