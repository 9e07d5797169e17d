#pragma once
// Usage statistics commands.
#include "bridge/command.h"

namespace corvane::insights {
void installInsightsCommands(bridge::Router& router);
}  // namespace corvane::insights
