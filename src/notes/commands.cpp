#include "notes/commands.h"

namespace corvane::notes {
void installNotesCommands(bridge::Router& router) { (void)router; }
}  // namespace corvane::notes
