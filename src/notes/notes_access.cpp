#include "notes/notes_access.h"

#include "notes/script_runner.h"

namespace corvane::notes {

void installNotesAccessCommands(bridge::Router& router) {
  router.add(bridge::HandlerGroup::Capture, "request_notes_access", [](const Json&) -> bridge::CommandResult {
    // The reply is the state before the user answers any prompt; the
    // permission poll reports a change later.
    return bridge::replyJson(Json(notesAutomationGranted(true)));
  });
}

}  // namespace corvane::notes
