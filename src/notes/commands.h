#pragma once
// Note commands.
#include "bridge/command.h"

namespace corvane::notes {
void installNotesCommands(bridge::Router& router);
}  // namespace corvane::notes
