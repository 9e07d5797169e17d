#include "insights/commands.h"

#include "insights/stats.h"

namespace corvane::insights {

void installInsightsCommands(bridge::Router& router) {
  using bridge::CommandResult;
  using bridge::HandlerGroup;
  router.add(HandlerGroup::StatsAndAccount, "get_stats",
             [](const Json&) -> CommandResult { return Stats::shared().totalsJSON(); });
  router.add(HandlerGroup::StatsAndAccount, "get_insights",
             [](const Json&) -> CommandResult { return Stats::shared().insightsJSON(); });
}

}  // namespace corvane::insights
