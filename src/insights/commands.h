#pragma once
// Usage statistics commands: "get_stats" and "get_insights".
#include "bridge/command.h"

namespace corvane::insights {
void installInsightsCommands(bridge::Router& router);
}  // namespace corvane::insights
