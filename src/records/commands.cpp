#include "records/commands.h"

#include "records/settings_commands.h"

namespace corvane::records {

void installRecordsCommands(bridge::Router& router) { installSettingsCommands(router); }

}  // namespace corvane::records
