#pragma once
// "request_notes_access": whether Notes may be automated, asking with a prompt.
#include "bridge/command.h"

namespace corvane::notes {

void installNotesAccessCommands(bridge::Router& router);

}  // namespace corvane::notes
