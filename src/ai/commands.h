#pragma once
// AI commands: "run_ai", "cancel_ai", "test_ai_provider". Also fills the
// settings services with the AI executable location and availability.
#include "bridge/command.h"

namespace corvane::ai {
void installAiCommands(bridge::Router& router);
}  // namespace corvane::ai
