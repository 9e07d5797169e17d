#include "records/commands.h"

namespace corvane::records {
void installRecordsCommands(bridge::Router& router) { (void)router; }
}  // namespace corvane::records
