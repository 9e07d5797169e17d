#include "notes/commands.h"

#include "notes/note_commands.h"

namespace corvane::notes {

void installNotesCommands(bridge::Router& router) {
  registerNoteCommands(router);
  connectSettingsServices();
}

}  // namespace corvane::notes
