#pragma once
// Settings, notification log and application log commands.
#include "bridge/command.h"

namespace corvane::records {
void installRecordsCommands(bridge::Router& router);
}  // namespace corvane::records
