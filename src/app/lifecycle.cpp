#include "app/lifecycle.h"

#include "insights/stats.h"

namespace corvane::app {

void finishPendingWork() { insights::Stats::flushShared(); }

}  // namespace corvane::app
