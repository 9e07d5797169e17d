#include "app/command_router.h"

#include "account/commands.h"
#include "ai/commands.h"
#include "bridge/window_commands.h"
#include "capture/commands.h"
#include "insights/commands.h"
#include "integration/commands.h"
#include "media/commands.h"
#include "notes/commands.h"
#include "notes/notes_access.h"
#include "records/app_log.h"
#include "records/commands.h"

namespace corvane::app {

const bridge::Router& commandRouter() {
  static const bridge::Router router = [] {
    bridge::Router r;
    bridge::installWindowCommands(r);
    records::installRecordsCommands(r);
    records::installAppLogCommands(r);
    insights::installInsightsCommands(r);
    notes::installNotesCommands(r);
    media::installMediaCommands(r);
    ai::installAiCommands(r);
    account::installAccountCommands(r);
    notes::installNotesAccessCommands(r);
    integration::installIntegrationCommands(r);
    capture::installCaptureCommands(r);
    return r;
  }();
  return router;
}

}  // namespace corvane::app
