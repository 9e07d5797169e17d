#include "records/commands.h"

#include "records/notification_log.h"
#include "records/settings_commands.h"

namespace corvane::records {

void installRecordsCommands(bridge::Router& router) {
  installSettingsCommands(router);
  installNotificationLogCommands(router);
}

}  // namespace corvane::records
