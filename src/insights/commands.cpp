#include "insights/commands.h"

namespace corvane::insights {
void installInsightsCommands(bridge::Router& router) { (void)router; }
}  // namespace corvane::insights
